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
std::vector<std::pair<std::string, std::string>> Elements(const std::string& xml)
{
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    EXPECT_EQ(document.Parse(xml.c_str(), xml.size()), tinyxml2::XML_SUCCESS) << xml;
    std::vector<std::pair<std::string, std::string>> elements;
    tinyxml2::XMLElement* root = document.RootElement();
    if (root == nullptr)
        return elements;
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

TEST_F(SettingsTest, IntegerTextIsReadLikeTheFileFormatWants)
{
    const struct
    {
        const char* key;
        const char* text;
        int32_t expected;
    } cases[] = {
        {"port", "1024", 1024},       // lower bound is inclusive
        {"port", "65535", 65535},     // upper bound is inclusive
        {"port", "1023", 9999},       // below: ignored
        {"port", "65536", 9999},      // above: ignored
        {"port", "  10000  ", 10000}, // blanks around
        {"port", "12000abc", 12000},  // stops at the first other character
        {"port", "+2000", 2000},
        {"port", "- 2000", 9999}, // sign must touch the digits
        {"port", "abc", 9999},    // no number at all
        {"port", "", 9999},
        {"port", "99999999999", 9999}, // beyond 32 bits
        {"port", "4294977295", 9999},  // would wrap to 10000 in 32 bits
        {"maxplayers", "0", 32},
        {"maxplayers", "101", 32},
        {"episode", "2", 2},
        {"episode", "3", 0},
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

TEST_F(SettingsTest, GettersNeverConvertAndTextForms)
{
    Settings::SetDefaults(false);
    Settings::AddInt("negative", -42, -100, 100);
    Setting ratio;
    ratio.type = Setting::Float;
    ratio.floatValue = 1.5f;
    Settings::InsertForTesting("ratio", ratio);
    Settings::SetFromString("resource", "a");

    EXPECT_EQ(Settings::GetInt("hostname"), 0);
    EXPECT_EQ(Settings::GetString("port"), "");
    EXPECT_FALSE(Settings::GetBool("port"));
    EXPECT_TRUE(Settings::GetList("hostname").empty());
    EXPECT_EQ(Settings::GetString("resource"), "");
    EXPECT_EQ(Settings::GetInt("absent"), 0);

    const std::pair<const char*, const char*> cases[] = {
        {"listed", "true"},    {"port", "9999"}, {"negative", "-42"},
        {"ratio", "1.500000"}, {"resource", ""}, {"absent", ""},
    };
    for (const auto& [key, expected] : cases)
        EXPECT_EQ(Settings::GetAsString(key), expected) << key;
    EXPECT_EQ(FloatToString(0.1f), "0.100000");
    EXPECT_EQ(FloatToString(1e10f), "10000000000.000000");
    EXPECT_EQ(FloatToString(1e-7f), "0.000000");
    EXPECT_EQ(FloatToString(3.4e38f).size(), 39u + 7u) << "no truncation of large values";
}

TEST_F(SettingsTest, DefaultsOfBothKeySets)
{
    Settings::SetDefaults(false);
    ASSERT_NE(Settings::Find("resource"), nullptr);
    EXPECT_EQ(Settings::Find("resource")->type, Setting::List);
    EXPECT_EQ(Settings::Find("nick"), nullptr);

    Settings::SetFromString("port", "10000");
    EXPECT_FALSE(Settings::AddInt("port", 1, 0, 2));
    EXPECT_FALSE(Settings::AddBool("port", true));
    Settings::SetDefaults(false);
    EXPECT_EQ(Settings::GetInt("port"), 10000);
    EXPECT_EQ(Settings::Find("port")->intMaximum, 65535);

    Settings::ResetForTesting();
    Settings::SetDefaults(true);
    EXPECT_EQ(Settings::GetString("ip"), "127.0.0.1");
    EXPECT_EQ(Settings::GetInt("chatKey"), 0);
    EXPECT_EQ(Settings::GetInt("loglevel"), 2);
    EXPECT_FALSE(Settings::GetBool("ackShortcut"));
    EXPECT_TRUE(Settings::GetBool("closeAtStart"));
    EXPECT_EQ(Settings::Find("hostname"), nullptr);
    EXPECT_EQ(Settings::Find("resource"), nullptr);
    Settings::SetFromString("chatKey", "3");
    EXPECT_EQ(Settings::GetInt("chatKey"), 0);
}

TEST_F(SettingsTest, FileVariants)
{
    // XML-specific forms; the value parsing itself is covered by the SetFromString tables.
    const struct
    {
        const char* name;
        const char* body;
        const char* key;
        std::string expected;
    } cases[] = {
        {"newlines around number", "<port>\n  10000\n</port>", "port", "10000"},
        {"empty bool", "<listed></listed>", "listed", "true"},
        {"self-closed bool", "<listed/>", "listed", "true"},
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
    };
    for (const auto& c : cases)
    {
        Settings::ResetForTesting();
        EXPECT_TRUE(LoadText(std::string("<settings>") + c.body + "</settings>")) << c.name;
        EXPECT_EQ(Settings::GetAsString(c.key), c.expected) << c.name;
    }
}

TEST_F(SettingsTest, AnyRootNameAndSurroundingNodesWork)
{
    ASSERT_TRUE(LoadText("<?xml version=\"1.0\"?>\n<!-- top -->\n<config mode=\"x\">\n  <!-- inner -->\n"
                         "  text outside\n  <port>10003</port>\n</config>\n<!-- tail -->\n"));
    EXPECT_EQ(Settings::GetInt("port"), 10003);
    Settings::ResetForTesting();
    EXPECT_TRUE(LoadText("<!-- nothing here -->"));
    EXPECT_EQ(Settings::GetInt("port"), 9999);
}

TEST_F(SettingsTest, UnknownElementsAreReportedOnceEachAndOthersStillApply)
{
    ASSERT_TRUE(
        LoadText("<settings><Port>1</Port><resource>a</resource><port>10000</port><bogus/><Port>2</Port>"
                 "<resource>b</resource><resource></resource></settings>"));
    EXPECT_EQ(Settings::GetInt("port"), 10000);
    EXPECT_EQ(Settings::GetList("resource"), (std::vector<std::string>{"a", "b", ""})) << "in document order";
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

TEST_F(SettingsTest, FolderOrUndeterminableExistenceFailsToLoad)
{
    fs::create_directory(SettingsPath());
    // A name longer than the file system allows: stat fails with an error, not "not found".
    for (const fs::path& path : {SettingsPath(), folder_ / std::string(300, 'a') / "settings.xml"})
    {
        LogCapture log;
        EXPECT_FALSE(Settings::Load(path, true, false));
        EXPECT_EQ(Logged(log), (std::vector<std::string>{"error|[Settings] Failed to load settings file " +
                                                         path.string() + "."}));
        EXPECT_EQ(Settings::GetInt("port"), 9999);
    }
}

TEST_F(SettingsTest, MissingFileFailsWithoutCreateOrWhenItCannotBeCreated)
{
    EXPECT_FALSE(Settings::Load(SettingsPath(), false, false));
    EXPECT_FALSE(fs::exists(SettingsPath()));
    EXPECT_EQ(Settings::GetInt("maxplayers"), 32) << "defaults are in the store";

    fs::path path = folder_ / "no-such-folder" / "settings.xml";
    EXPECT_FALSE(Settings::Load(path, true, false));
    EXPECT_EQ(
        Logged(log_),
        (std::vector<std::string>{
            "error|[Settings] Settings file " + SettingsPath().string() + " does not exist.",
            "info|[Settings] Settings file " + path.string() + " does not exist, it will now be created.",
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

    // Key order, one element per line, no declaration, no list keys.
    EXPECT_EQ(ReadBytes(SettingsPath()), "<settings>\n"
                                         "    <chat>true</chat>\n"
                                         "    <episode>0</episode>\n"
                                         "    <gamemode>Freeroam</gamemode>\n"
                                         "    <hostaddress>127.0.0.1</hostaddress>\n"
                                         "    <hostname>Lanternfall Server</hostname>\n"
                                         "    <listed>true</listed>\n"
                                         "    <loglevel>2</loglevel>\n"
                                         "    <maxplayers>32</maxplayers>\n"
                                         "    <port>9999</port>\n"
                                         "    <secret>tarragon</secret>\n"
                                         "</settings>\n");
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
    EXPECT_LT(written.find(">old<"), written.find(">new<")) << written;
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
