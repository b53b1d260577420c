#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

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

    bool LoadText(const std::string& content)
    {
        std::ofstream(SettingsPath(), std::ios::binary | std::ios::trunc) << content;
        return Settings::Load(SettingsPath(), true, false);
    }

    fs::path folder_;
    LogCapture log_;
};

TEST_F(SettingsTest, ValueTextIsParsedPerType)
{
    // Bounds are inclusive; out-of-range or unparsable text is ignored silently; parsing stops at the
    // first other character; a sign must touch the digits; no 32-bit wrap (4294977295 is 10000 + 2^32).
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"port", "1024", "1024"},
        {"port", "1023", "9999"},
        {"port", "  10000  ", "10000"},
        {"port", "12000abc", "12000"},
        {"port", "- 2000", "9999"},
        {"port", "4294977295", "9999"},
        {"listed", "0", "false"},
        {"listed", "false", "false"},
        {"listed", "False", "true"},
        {"listed", "", "true"},
        {"hostname", "  a&b <c>\t", "  a&b <c>\t"},
        {"ratio", " 3.25xyz", "3.250000"},
        {"ratio", "10.5", "1.000000"}};
    Setting ratio;
    ratio.type = Setting::Float;
    ratio.floatValue = 1.0f;
    ratio.floatMinimum = -1.0f;
    ratio.floatMaximum = 10.0f;
    for (const auto& [key, text, expected] : cases)
    {
        Settings::ResetForTesting();
        Settings::SetDefaults(false);
        Settings::InsertForTesting("ratio", ratio);
        EXPECT_TRUE(Settings::SetFromString(key, text));
        EXPECT_EQ(Settings::GetAsString(key), expected) << key << " <- \"" << text << "\"";
    }
    EXPECT_TRUE(Logged(log_).empty());
}

TEST_F(SettingsTest, ListsKeysGettersAndDefaults)
{
    Settings::SetDefaults(false);
    for (const char* item : {"a", "", "a"})
        EXPECT_TRUE(Settings::SetFromString("resource", item));
    EXPECT_EQ(Settings::GetList("resource"), (std::vector<std::string>{"a", "", "a"}));
    EXPECT_FALSE(Settings::SetFromString("Port", "10000")) << "keys are case-sensitive";
    EXPECT_EQ(Settings::GetString("port"), "") << "getters never convert";
    EXPECT_EQ(FloatToString(3.4e38f).size(), 39u + 7u) << "no truncation of large values";
    Settings::SetFromString("port", "10000");
    Settings::SetDefaults(false);
    EXPECT_EQ(Settings::GetInt("port"), 10000) << "defaults never overwrite";

    Settings::ResetForTesting();
    Settings::SetDefaults(true);
    EXPECT_EQ(Settings::GetString("ip"), "127.0.0.1");
    EXPECT_EQ(Settings::Find("hostname"), nullptr);
    Settings::SetFromString("chatKey", "3");
    EXPECT_EQ(Settings::GetInt("chatKey"), 0);
}

TEST_F(SettingsTest, FileVariants)
{
    const std::tuple<const char*, const char*, const char*, std::string> cases[] = {
        {"self-closed bool", "<listed/>", "listed", "true"},
        {"entities and blanks", "<hostname> A &amp; B </hostname>", "hostname", " A & B "},
        {"CDATA", "<hostname><![CDATA[<raw>]]></hostname>", "hostname", "<raw>"},
        {"last valid", "<port>10001</port><port>10002</port><port>80</port>", "port", "10002"},
        {"element first child", "<hostname><b>Bold</b></hostname>", "hostname", ""},
        {"grandchild not a setting", "<group><port>10008</port></group>", "port", "9999"},
    };
    for (const auto& [name, body, key, expected] : cases)
    {
        Settings::ResetForTesting();
        EXPECT_TRUE(LoadText("<!-- top --><any>" + std::string(body) + "</any>")) << name;
        EXPECT_EQ(Settings::GetAsString(key), expected) << name;
    }
}

TEST_F(SettingsTest, UnknownElementsAreReportedOnceEachAndOthersStillApply)
{
    ASSERT_TRUE(LoadText("<settings><Port>1</Port><resource>a</resource><port>10000</port><bogus/>"
                         "<resource>b</resource></settings>"));
    EXPECT_EQ(Settings::GetInt("port"), 10000);
    EXPECT_EQ(Settings::GetList("resource"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Logged(log_), (std::vector<std::string>{
                                "error|[Settings] File setting Port does not exist.",
                                "error|[Settings] File setting bogus does not exist.",
                            }));
}

TEST_F(SettingsTest, UnreadableFilesAndFoldersFailToLoadAndKeepDefaults)
{
    const std::string broken = "<settings><port>10000</port>";
    std::ofstream(SettingsPath(), std::ios::binary) << broken;
    fs::create_directory(folder_ / "folder.xml");
    // A name longer than the file system allows: stat fails with an error, not "not found".
    for (const fs::path& path :
         {SettingsPath(), folder_ / "folder.xml", folder_ / std::string(300, 'a') / "s.xml"})
    {
        LogCapture log;
        EXPECT_FALSE(Settings::Load(path, true, false));
        EXPECT_EQ(Settings::GetInt("port"), 9999);
        EXPECT_EQ(Logged(log), (std::vector<std::string>{"error|[Settings] Failed to load settings file " +
                                                         path.string() + "."}));
        EXPECT_FALSE(Settings::Save(false)) << "a failed load leaves the store unloaded";
    }
    EXPECT_EQ(ReadBytes(SettingsPath()), broken) << "never rewritten";
}

TEST_F(SettingsTest, MissingFileFailsWithoutCreateOrWhenItCannotBeCreated)
{
    EXPECT_FALSE(Settings::Load(SettingsPath(), false, false));
    EXPECT_FALSE(fs::exists(SettingsPath()));

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

TEST_F(SettingsTest, LoadNeverRewritesButLaterChangesUpdateInPlace)
{
    const std::string content = "<!-- keep -->\r\n<server>\r\n\t<bogus>1</bogus>\r\n\t<port>10000</port>\r\n"
                                "\t<resource>old</resource>\r\n</server>";
    ASSERT_TRUE(LoadText(content));
    EXPECT_EQ(ReadBytes(SettingsPath()), content);

    EXPECT_TRUE(Settings::SetFromString("port", "10001"));
    EXPECT_TRUE(Settings::SetFromString("resource", "new"));
    const std::string written = ReadBytes(SettingsPath());
    for (const char* kept : {"<!-- keep -->", "<bogus>1</bogus>", "<hostname>Lanternfall Server</hostname>"})
        EXPECT_NE(written.find(kept), std::string::npos) << kept;
    EXPECT_LT(written.find("<bogus>"), written.find("<port>10001</port>")) << "updated where it was";
    EXPECT_LT(written.find(">old<"), written.find(">new<")) << written;
}

} // namespace
