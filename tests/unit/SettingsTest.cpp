#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>
#include <tinyxml2.h>

#include "LogCapture.h"
#include "Server/Settings.h"

namespace
{

namespace fs = std::filesystem;

// Captured log lines as "level|message", so that tests pin the level along with the text.
std::vector<std::string> Logged(const LogCapture& capture)
{
    std::vector<std::string> lines;
    for (const auto& entry : capture.Entries())
    {
        auto level = spdlog::level::to_string_view(entry.level);
        lines.push_back(std::string(level.data(), level.size()) + "|" + entry.message);
    }
    return lines;
}

std::string ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteBytes(const fs::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Direct children of the root as (name, text) pairs, in document order.
std::vector<std::pair<std::string, std::string>> Elements(const std::string& xml,
                                                          std::string* rootName = nullptr)
{
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    EXPECT_EQ(document.Parse(xml.c_str(), xml.size()), tinyxml2::XML_SUCCESS) << xml;
    std::vector<std::pair<std::string, std::string>> elements;
    tinyxml2::XMLElement* root = document.RootElement();
    if (root == nullptr)
        return elements;
    if (rootName != nullptr)
        *rootName = root->Name();
    for (auto* child = root->FirstChildElement(); child != nullptr; child = child->NextSiblingElement())
        elements.emplace_back(child->Name(), child->GetText() != nullptr ? child->GetText() : "");
    return elements;
}

class SettingsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Settings::ResetForTesting();
        char pattern[] = "/tmp/lnf-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }

    void TearDown() override
    {
        Settings::ResetForTesting();
        std::error_code error;
        fs::remove_all(folder_, error);
    }

    fs::path SettingsPath() const { return folder_ / "settings.xml"; }

    // Loads a settings.xml with `content`, returning Load's result.
    bool LoadText(const std::string& content)
    {
        WriteBytes(SettingsPath(), content);
        return Settings::Load(SettingsPath(), true, false);
    }

    fs::path folder_;
    LogCapture log_;
};

// --- SetFromString -----------------------------------------------------------------------------

struct IntCase
{
    const char* key;
    const char* text;
    int32_t expected;
};

TEST_F(SettingsTest, IntegerTextIsReadLikeTheFileFormatWants)
{
    const IntCase cases[] = {
        {"port", "10000", 10000},
        {"port", "1024", 1024},       // lower bound is inclusive
        {"port", "65535", 65535},     // upper bound is inclusive
        {"port", "1023", 9999},       // below: ignored
        {"port", "65536", 9999},      // above: ignored
        {"port", "80", 9999},         // the typical mistake
        {"port", "  10000  ", 10000}, // blanks around
        {"port", "\t\r\n 10001", 10001},
        {"port", "12000abc", 12000}, // stops at the first other character
        {"port", "+2000", 2000},
        {"port", "- 2000", 9999}, // sign must touch the digits
        {"port", "abc", 9999},    // no number at all
        {"port", "", 9999},
        {"port", "   ", 9999},
        {"port", "-", 9999},
        {"port", "99999999999", 9999}, // beyond 32 bits
        {"port", "4294977295", 9999},  // would wrap to 10000 in 32 bits
        {"port", "-5", 9999},
        {"maxplayers", "0", 32},
        {"maxplayers", "101", 32},
        {"maxplayers", "100", 100},
        {"episode", "2", 2},
        {"episode", "3", 0},
        {"loglevel", "6", 6},
        {"signed", "-42", -42},
        {"signed", "-101", 0},
        {"wide", "-2147483648", INT32_MIN},
        {"wide", "2147483647", INT32_MAX},
        {"wide", "2147483648", 7},
        {"wide", "-2147483649", 7},
        {"wide", "000000000000000000012", 12},
    };
    for (const auto& c : cases)
    {
        Settings::ResetForTesting();
        Settings::SetDefaults(false);
        Settings::AddInt("signed", 0, -100, 100);
        Settings::AddInt("wide", 7, INT32_MIN, INT32_MAX);
        EXPECT_TRUE(Settings::SetFromString(c.key, c.text));
        EXPECT_EQ(Settings::GetInt(c.key), c.expected) << c.key << " <- \"" << c.text << "\"";
    }
    EXPECT_TRUE(Logged(log_).empty()) << "ignored numbers are not reported";
}

TEST_F(SettingsTest, OnlyZeroAndLowerCaseFalseAreFalse)
{
    const std::pair<const char*, bool> cases[] = {
        {"0", false}, {"false", false}, {"False", true},  {"FALSE", true},  {"", true},   {"no", true},
        {"1", true},  {"true", true},   {" false", true}, {"false ", true}, {"00", true},
    };
    Settings::SetDefaults(false);
    for (const auto& [text, expected] : cases)
    {
        // Start from the opposite value so that each case proves a change.
        Settings::SetFromString("listed", expected ? "0" : "1");
        ASSERT_EQ(Settings::GetBool("listed"), !expected);
        EXPECT_TRUE(Settings::SetFromString("listed", text));
        EXPECT_EQ(Settings::GetBool("listed"), expected) << "\"" << text << "\"";
    }
}

TEST_F(SettingsTest, StringsAreKeptVerbatimAndListsAppend)
{
    Settings::SetDefaults(false);
    const char* strings[] = {"  Padded Name  ", "", "a&b <c>", "\tTab\n"};
    for (const char* text : strings)
    {
        EXPECT_TRUE(Settings::SetFromString("hostname", text));
        EXPECT_EQ(Settings::GetString("hostname"), text);
    }

    for (const char* item : {"a", "b", "", "a"})
        EXPECT_TRUE(Settings::SetFromString("resource", item));
    EXPECT_EQ(Settings::GetList("resource"), (std::vector<std::string>{"a", "b", "", "a"}));

    EXPECT_FALSE(Settings::SetFromString("Port", "10000")) << "keys are case-sensitive";
    EXPECT_FALSE(Settings::SetFromString("nosuchkey", "1"));
    EXPECT_EQ(Settings::Find("nosuchkey"), nullptr);
    EXPECT_EQ(Settings::GetInt("port"), 9999);
}

TEST_F(SettingsTest, FloatSettingsParseWithinBounds)
{
    Setting ratio;
    ratio.type = Setting::Float;
    ratio.floatValue = 1.0f;
    ratio.floatMinimum = -1.0f;
    ratio.floatMaximum = 10.0f;

    const std::pair<const char*, float> cases[] = {
        {"2.5", 2.5f},  {" 3.25xyz", 3.25f}, {"-0.5", -0.5f}, {"+4", 4.0f}, {"1e1", 10.0f},
        {"10.5", 1.0f}, {"-1.5", 1.0f},      {"abc", 1.0f},   {"", 1.0f},   {"nan", 1.0f},
        {"1e40", 1.0f}, {"+-1", 1.0f},       {"--1", 1.0f},
    };
    for (const auto& [text, expected] : cases)
    {
        Settings::InsertForTesting("ratio", ratio);
        EXPECT_TRUE(Settings::SetFromString("ratio", text));
        EXPECT_EQ(Settings::Find("ratio")->floatValue, expected) << "\"" << text << "\"";
    }
}

// --- getters, text forms and the key sets ------------------------------------------------------

TEST_F(SettingsTest, GettersNeverConvertBetweenTypes)
{
    Settings::SetDefaults(false);
    Settings::SetFromString("resource", "a");

    EXPECT_EQ(Settings::GetInt("hostname"), 0);
    EXPECT_EQ(Settings::GetString("port"), "");
    EXPECT_FALSE(Settings::GetBool("port"));
    EXPECT_TRUE(Settings::GetList("hostname").empty());
    EXPECT_EQ(Settings::GetString("resource"), "");
    EXPECT_EQ(Settings::GetInt("absent"), 0);
    EXPECT_FALSE(Settings::GetBool("absent"));
    EXPECT_EQ(Settings::GetString("absent"), "");
    EXPECT_TRUE(Settings::GetList("absent").empty());
}

TEST_F(SettingsTest, TextForms)
{
    Settings::SetDefaults(false);
    Settings::AddInt("negative", -42, -100, 100);
    Settings::AddBool("off", false);
    Setting ratio;
    ratio.type = Setting::Float;
    ratio.floatValue = 1.5f;
    Settings::InsertForTesting("ratio", ratio);
    Settings::SetFromString("resource", "a");

    const std::pair<const char*, const char*> cases[] = {
        {"listed", "true"},
        {"off", "false"},
        {"port", "9999"},
        {"negative", "-42"},
        {"hostname", "Lanternfall Server"},
        {"ratio", "1.500000"},
        {"resource", ""},
        {"absent", ""},
    };
    for (const auto& [key, expected] : cases)
        EXPECT_EQ(Settings::GetAsString(key), expected) << key;
}

TEST_F(SettingsTest, FloatToStringUsesSixDecimals)
{
    const std::pair<float, const char*> cases[] = {
        {0.0f, "0.000000"},
        {1.5f, "1.500000"},
        {-2.25f, "-2.250000"},
        {0.1f, "0.100000"},
        {1e10f, "10000000000.000000"},
        {1e-7f, "0.000000"},
    };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(FloatToString(value), expected);
    EXPECT_EQ(FloatToString(3.4e38f).size(), 39u + 7u) << "no truncation of large values";
}

TEST_F(SettingsTest, DefaultsOfBothKeySets)
{
    Settings::SetDefaults(false);
    EXPECT_EQ(Settings::GetString("hostaddress"), "127.0.0.1");
    EXPECT_EQ(Settings::GetString("hostname"), "Lanternfall Server");
    EXPECT_EQ(Settings::GetString("gamemode"), "Freeroam");
    EXPECT_TRUE(Settings::GetBool("listed"));
    EXPECT_EQ(Settings::GetInt("port"), 9999);
    EXPECT_EQ(Settings::GetInt("maxplayers"), 32);
    EXPECT_EQ(Settings::GetInt("episode"), 0);
    EXPECT_EQ(Settings::GetString("secret"), "tarragon");
    EXPECT_EQ(Settings::GetInt("loglevel"), 2);
    EXPECT_TRUE(Settings::GetBool("chat"));
    ASSERT_NE(Settings::Find("resource"), nullptr);
    EXPECT_EQ(Settings::Find("resource")->type, Setting::List);
    EXPECT_EQ(Settings::Find("nick"), nullptr);

    // A second round keeps what is there.
    Settings::SetFromString("port", "10000");
    EXPECT_FALSE(Settings::AddInt("port", 1, 0, 2));
    EXPECT_FALSE(Settings::AddBool("port", true));
    Settings::SetDefaults(false);
    EXPECT_EQ(Settings::GetInt("port"), 10000);
    EXPECT_EQ(Settings::Find("port")->intMaximum, 65535);

    Settings::ResetForTesting();
    Settings::SetDefaults(true);
    EXPECT_EQ(Settings::GetString("ip"), "127.0.0.1");
    EXPECT_EQ(Settings::GetInt("port"), 9999);
    EXPECT_EQ(Settings::GetString("nick"), "");
    EXPECT_EQ(Settings::GetInt("chatKey"), 0);
    EXPECT_EQ(Settings::GetString("gamePath"), "");
    EXPECT_EQ(Settings::GetInt("loglevel"), 2);
    EXPECT_FALSE(Settings::GetBool("ackShortcut"));
    EXPECT_TRUE(Settings::GetBool("closeAtStart"));
    EXPECT_EQ(Settings::Find("hostname"), nullptr);
    EXPECT_EQ(Settings::Find("resource"), nullptr);
    Settings::SetFromString("chatKey", "3");
    EXPECT_EQ(Settings::GetInt("chatKey"), 0);
}

// --- Load ------------------------------------------------------------------------------------

struct LoadCase
{
    const char* name;
    const char* body; // children of <settings>, or a whole document when it starts with '<' + '?'/'!'
    const char* key;
    std::string expected; // GetAsString of key after load
};

TEST_F(SettingsTest, FileVariants)
{
    const LoadCase cases[] = {
        {"port out of bounds", "<port>80</port>", "port", "9999"},
        {"maxplayers zero", "<maxplayers>0</maxplayers>", "maxplayers", "32"},
        {"maxplayers 101", "<maxplayers>101</maxplayers>", "maxplayers", "32"},
        {"blanks around number", "<port> 10000 </port>", "port", "10000"},
        {"newlines around number", "<port>\n  10000\n</port>", "port", "10000"},
        {"capital False", "<listed>False</listed>", "listed", "true"},
        {"no", "<listed>no</listed>", "listed", "true"},
        {"empty bool", "<listed></listed>", "listed", "true"},
        {"self-closed bool", "<listed/>", "listed", "true"},
        {"false", "<listed>false</listed>", "listed", "false"},
        {"zero", "<listed>0</listed>", "listed", "false"},
        {"hostname blanks", "<hostname>  My Server  </hostname>", "hostname", "  My Server  "},
        {"entities", "<hostname>A &amp; B &lt;3</hostname>", "hostname", "A & B <3"},
        {"CDATA", "<hostname><![CDATA[<raw>]]></hostname>", "hostname", "<raw>"},
        {"two ports, last wins", "<port>10001</port><port>10002</port>", "port", "10002"},
        {"two ports, last invalid", "<port>10001</port><port>80</port>", "port", "10001"},
        {"capital P", "<Port>10000</Port>", "port", "9999"},
        {"attribute ignored", "<port value=\"20000\">10005</port>", "port", "10005"},
        {"nested element ignored", "<port>10006<extra>1</extra></port>", "port", "10006"},
        {"element first child", "<hostname><b>Bold</b></hostname>", "hostname", ""},
        {"comment before the text", "<port><!-- c -->10007</port>", "port", "10007"},
        {"grandchild not a setting", "<group><port>10008</port></group>", "port", "9999"},
        {"episode 2", "<episode>2</episode>", "episode", "2"},
        {"no number", "<port>none</port>", "port", "9999"},
        {"huge number", "<port>99999999999</port>", "port", "9999"},
    };
    for (const auto& c : cases)
    {
        Settings::ResetForTesting();
        EXPECT_TRUE(LoadText(std::string("<settings>") + c.body + "</settings>")) << c.name;
        EXPECT_EQ(Settings::GetAsString(c.key), c.expected) << c.name;
    }
}

TEST_F(SettingsTest, ListElementsAppendInDocumentOrder)
{
    ASSERT_TRUE(LoadText("<settings><resource>a</resource><port>10000</port><resource>b</resource>"
                         "<resource></resource></settings>"));
    EXPECT_EQ(Settings::GetList("resource"), (std::vector<std::string>{"a", "b", ""}));
}

TEST_F(SettingsTest, AnyRootNameAndSurroundingNodesWork)
{
    ASSERT_TRUE(LoadText("<?xml version=\"1.0\"?>\n<!-- top -->\n<config mode=\"x\">\n  <!-- inner -->\n"
                         "  text outside\n  <port>10003</port>\n</config>\n<!-- tail -->\n"));
    EXPECT_EQ(Settings::GetInt("port"), 10003);
}

TEST_F(SettingsTest, UnknownElementsAreReportedOnceEachAndOthersStillApply)
{
    ASSERT_TRUE(LoadText("<settings><Port>1</Port><port>10000</port><bogus/><Port>2</Port></settings>"));
    EXPECT_EQ(Settings::GetInt("port"), 10000);
    EXPECT_EQ(Logged(log_), (std::vector<std::string>{
                                "error|[Settings] File setting Port does not exist.",
                                "error|[Settings] File setting bogus does not exist.",
                                "error|[Settings] File setting Port does not exist.",
                            }));
}

TEST_F(SettingsTest, UnreadableFilesFailAndKeepDefaults)
{
    const std::pair<const char*, std::string> cases[] = {
        {"unclosed", "<settings><port>10000</port>"},
        {"mismatched", "<settings><port>10000</settings>"},
        {"empty file", ""},
        {"blanks only", "  \n"},
        {"not xml", "port=10000"},
    };
    for (const auto& [name, content] : cases)
    {
        Settings::ResetForTesting();
        LogCapture log;
        EXPECT_FALSE(LoadText(content)) << name;
        EXPECT_EQ(Settings::GetInt("port"), 9999) << name;
        EXPECT_EQ(Logged(log), (std::vector<std::string>{"error|[Settings] Failed to load settings file " +
                                                         SettingsPath().string() + "."}))
            << name;
        EXPECT_EQ(ReadBytes(SettingsPath()), content) << name << ": never rewritten";
        EXPECT_FALSE(Settings::Save(false)) << name << ": a failed load leaves the store unloaded";
    }
}

TEST_F(SettingsTest, DocumentWithoutElementsKeepsDefaults)
{
    EXPECT_TRUE(LoadText("<!-- nothing here -->"));
    EXPECT_EQ(Settings::GetInt("port"), 9999);
}

TEST_F(SettingsTest, FolderInPlaceOfTheFileFailsToLoad)
{
    fs::create_directory(SettingsPath());
    EXPECT_FALSE(Settings::Load(SettingsPath(), true, false));
    EXPECT_EQ(Logged(log_), (std::vector<std::string>{"error|[Settings] Failed to load settings file " +
                                                      SettingsPath().string() + "."}));
}

TEST_F(SettingsTest, UndeterminableExistenceFailsToLoad)
{
    // A name longer than the file system allows: stat fails with an error, not "not found".
    fs::path path = folder_ / std::string(300, 'a') / "settings.xml";
    EXPECT_FALSE(Settings::Load(path, true, false));
    EXPECT_EQ(Logged(log_), (std::vector<std::string>{"error|[Settings] Failed to load settings file " +
                                                      path.string() + "."}));
    EXPECT_EQ(Settings::GetInt("port"), 9999);
}

TEST_F(SettingsTest, MissingFileWithoutCreateFails)
{
    EXPECT_FALSE(Settings::Load(SettingsPath(), false, false));
    EXPECT_FALSE(fs::exists(SettingsPath()));
    EXPECT_EQ(Logged(log_), (std::vector<std::string>{"error|[Settings] Settings file " +
                                                      SettingsPath().string() + " does not exist."}));
    EXPECT_EQ(Settings::GetInt("maxplayers"), 32) << "defaults are in the store";
}

TEST_F(SettingsTest, MissingFileThatCannotBeCreatedFails)
{
    fs::path path = folder_ / "no-such-folder" / "settings.xml";
    EXPECT_FALSE(Settings::Load(path, true, false));
    EXPECT_EQ(Logged(log_), (std::vector<std::string>{
                                "info|[Settings] Settings file " + path.string() +
                                    " does not exist, it will now be created.",
                                "debug|[Settings] Failed to open settings file for writing.",
                                "error|[Settings] Failed to create settings file " + path.string() + ".",
                            }));
}

TEST_F(SettingsTest, FirstStartWritesTheTenDefaultsInKeyOrder)
{
    ASSERT_TRUE(Settings::Load(SettingsPath(), true, false));
    EXPECT_EQ(Logged(log_),
              (std::vector<std::string>{"info|[Settings] Settings file " + SettingsPath().string() +
                                        " does not exist, it will now be created."}));

    std::string written = ReadBytes(SettingsPath());
    std::string root;
    auto elements = Elements(written, &root);
    EXPECT_EQ(root, "settings");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"chat", "true"},
        {"episode", "0"},
        {"gamemode", "Freeroam"},
        {"hostaddress", "127.0.0.1"},
        {"hostname", "Lanternfall Server"},
        {"listed", "true"},
        {"loglevel", "2"},
        {"maxplayers", "32"},
        {"port", "9999"},
        {"secret", "tarragon"},
    };
    EXPECT_EQ(elements, expected) << written;
    EXPECT_EQ(written.find("resource"), std::string::npos);
    EXPECT_EQ(written.find("<?xml"), std::string::npos) << "no declaration";
    // One element per line, indented by the printer.
    for (const auto& [key, value] : expected)
        EXPECT_NE(written.find("\n    <" + key + ">" + value + "</" + key + ">\n"), std::string::npos) << key;
}

TEST_F(SettingsTest, ExistingFileIsNeverRewrittenByLoad)
{
    const std::string content =
        "<?xml version=\"1.0\"?>\r\n<!-- operator notes -->\r\n<server>\r\n"
        "\t<port>  10000  </port>\r\n\t<Port>1</Port>\r\n\t<unknown a=\"1\">x</unknown>\r\n"
        "\t<resource>a</resource>\r\n\t<listed>no</listed>\r\n</server>";
    ASSERT_TRUE(LoadText(content));
    EXPECT_EQ(ReadBytes(SettingsPath()), content);
    EXPECT_EQ(Settings::GetInt("port"), 10000);
    EXPECT_EQ(Settings::GetList("resource"), std::vector<std::string>{"a"});
}

TEST_F(SettingsTest, ChangesAfterLoadUpdateTheFileInPlace)
{
    ASSERT_TRUE(LoadText("<!-- keep -->\n<settings>\n<bogus>1</bogus>\n<port>10000</port>\n"
                         "<resource>old</resource>\n</settings>"));
    EXPECT_TRUE(Settings::SetFromString("port", "10001"));
    EXPECT_TRUE(Settings::SetFromString("resource", "new"));

    std::string written = ReadBytes(SettingsPath());
    EXPECT_NE(written.find("<!-- keep -->"), std::string::npos);
    auto elements = Elements(written);
    ASSERT_GE(elements.size(), 2u);
    EXPECT_EQ(elements[0], (std::pair<std::string, std::string>{"bogus", "1"})) << "unknown elements survive";
    EXPECT_EQ(elements[1], (std::pair<std::string, std::string>{"port", "10001"})) << "updated where it was";
    std::vector<std::string> resources;
    for (const auto& [name, text] : elements)
    {
        if (name == "resource")
            resources.push_back(text);
    }
    EXPECT_EQ(resources, (std::vector<std::string>{"old", "new"}));
    // Keys missing from the file are appended.
    EXPECT_NE(written.find("<hostname>Lanternfall Server</hostname>"), std::string::npos);
}

TEST_F(SettingsTest, SaveNeedsALoadOrForce)
{
    Settings::SetDefaults(false);
    EXPECT_FALSE(Settings::Save(false));
    EXPECT_FALSE(Settings::Save(true)) << "no path yet";

    ASSERT_TRUE(Settings::Load(SettingsPath(), true, false));
    Settings::ResetForTesting();
    EXPECT_EQ(Settings::Find("port"), nullptr);
    EXPECT_FALSE(Settings::Save(false));
}

} // namespace
