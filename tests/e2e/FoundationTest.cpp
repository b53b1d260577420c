// Start-up of the real server binary: settings.xml handling, the banner, log levels and server.log.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ServerProcess.h"

namespace
{

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kStartTimeout = 10s;

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// The settings file path as the server prints it: the real program folder joined with the name.
std::string SettingsPathOf(const ServerProcess& server)
{
    return (fs::canonical(server.Folder()) / "settings.xml").string();
}

std::vector<std::string> Banner(int port, const std::string& host, int maxPlayers, const std::string& episode)
{
    return {
        "[Server] Version 1.6 Linux Server", "[Server] Port: " + std::to_string(port),
        "[Server] Host Address: " + host,    "[Server] Max Players: " + std::to_string(maxPlayers),
        "[Server] Episode: " + episode,
    };
}

// Whether `expected` appears in `messages` as consecutive entries.
bool ContainsRun(const std::vector<std::string>& messages, const std::vector<std::string>& expected)
{
    return std::search(messages.begin(), messages.end(), expected.begin(), expected.end()) != messages.end();
}

bool WaitForBannerEnd(ServerProcess& server)
{
    return server.WaitForLine("[Server] Episode: ", kStartTimeout);
}

TEST(Foundation, FirstStartCreatesTheDefaultSettingsFile)
{
    LNF_REQUIRE_PRIVATE_NETWORK();
    ServerProcess server;
    ASSERT_TRUE(server.Start(true));
    ASSERT_TRUE(WaitForBannerEnd(server)) << server.OutputText();

    auto messages = server.Messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
                         "[Settings] Settings file " + SettingsPathOf(server) +
                             " does not exist, it will now be created."),
              1)
        << server.OutputText();
    EXPECT_TRUE(ContainsRun(messages, Banner(9999, "127.0.0.1", 32, "IV"))) << server.OutputText();

    // The exact file is pinned by the unit tests; here it is enough that the binary wrote it.
    std::string written = server.ReadFile("settings.xml");
    EXPECT_EQ(CountOf(written, "</"), 11u) << written;
    EXPECT_NE(written.find("<port>9999</port>"), std::string::npos) << written;
    EXPECT_EQ(written.find("<resource"), std::string::npos);

    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(server.IsRunning()) << server.OutputText();
}

struct Variant
{
    const char* name;
    // Children of <settings> after listed=false and port={port}, or a whole file when it starts with
    // "<settings" or "<?". "{port}" stands for a free port; a file without it runs on 9999 in a private
    // network.
    std::string xml;
    int maxPlayers;
    const char* episode;
    std::vector<const char*> extraMessages;
};

// Starts every variant at once (they are independent servers), then checks each.
void RunVariants(const std::vector<Variant>& variants)
{
    struct Running
    {
        const Variant* variant;
        std::unique_ptr<ServerProcess> server;
        std::string xml;
        bool defaultPort;
    };
    std::vector<Running> running;
    for (const auto& variant : variants)
    {
        auto server = std::make_unique<ServerProcess>();
        const bool whole = variant.xml.starts_with("<settings") || variant.xml.starts_with("<?");
        std::string xml =
            whole ? variant.xml
                  : "<settings><listed>false</listed><port>{port}</port>" + variant.xml + "</settings>";
        const bool defaultPort = xml.find("{port}") == std::string::npos;
        xml = ReplaceAll(xml, "{port}", std::to_string(server->Port()));
        server->WriteFile("settings.xml", xml);
        ASSERT_TRUE(server->Start(defaultPort)) << variant.name;
        running.push_back({&variant, std::move(server), xml, defaultPort});
    }

    for (auto& [variant, server, xml, defaultPort] : running)
    {
        SCOPED_TRACE(variant->name);
        ASSERT_TRUE(WaitForBannerEnd(*server)) << server->OutputText();
        auto messages = server->Messages();
        int port = defaultPort ? 9999 : server->Port();
        EXPECT_TRUE(ContainsRun(messages, Banner(port, "127.0.0.1", variant->maxPlayers, variant->episode)))
            << server->OutputText();
        for (const char* extra : variant->extraMessages)
            EXPECT_EQ(std::count(messages.begin(), messages.end(), extra), 1) << extra << "\n"
                                                                              << server->OutputText();
        // Only the expected messages come before the banner: ignored values are silent.
        auto bannerStart = std::find(messages.begin(), messages.end(), "[Server] Version 1.6 Linux Server");
        EXPECT_EQ(static_cast<size_t>(bannerStart - messages.begin()), variant->extraMessages.size())
            << server->OutputText();
        EXPECT_EQ(server->ReadFile("settings.xml"), xml) << "an existing settings file is never rewritten";
    }
}

TEST(Foundation, SettingsFileVariantsShowInTheBanner)
{
    RunVariants({
        {"maxplayers 0 ignored", "<maxplayers>0</maxplayers>", 32, "IV", {}},
        {"maxplayers 100", "<maxplayers>100</maxplayers>", 100, "IV", {}},
        {"episode 1", "<episode>1</episode>", 32, "TLAD", {}},
        {"episode 2", "<episode>2</episode>", 32, "TBOGT", {}},
        {"repeated port, last valid wins",
         "<settings><listed>false</listed><port>1999</port><port>{port}</port><port>80</port></settings>",
         32,
         "IV",
         {}},
        {"unknown element",
         "<Port>1</Port><foo/>",
         32,
         "IV",
         {"[Settings] File setting Port does not exist.", "[Settings] File setting foo does not exist."}},
        {"other root name, declaration and comments",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- mine -->\r\n<lanternfall>\r\n"
         "\t<listed>false</listed>\r\n\t<!-- the port -->\r\n\t<port>{port}</port>\r\n</lanternfall>\r\n",
         32,
         "IV",
         {}},
        {"attributes and nested elements ignored",
         "<maxplayers max=\"1\">9<limit>50</limit></maxplayers><group><maxplayers>60</maxplayers></group>",
         9,
         "IV",
         {"[Settings] File setting group does not exist."}},
    });
}

TEST(Foundation, PortOutsideItsBoundsKeepsTheDefault)
{
    LNF_REQUIRE_PRIVATE_NETWORK();
    RunVariants(
        {{"port 80 ignored", "<settings><listed>false</listed><port>80</port></settings>", 32, "IV", {}}});
}

// 192.0.2.1 (a documentation address) is on no interface: the HTTP bind fails with an error after the
// level is applied, without any traffic. Messages of the settings load pass before the level applies.
void StartWithLogLevel(ServerProcess& server, const char* level)
{
    server.WriteSettings({{"loglevel", level}, {"bogus", "1"}, {"hostaddress", "192.0.2.1"}});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage("[Settings] File setting bogus does not exist.", kStartTimeout))
        << server.OutputText();
}

TEST(Foundation, LogLevelThreeHidesTheBannerButNotErrors)
{
    ServerProcess server;
    ASSERT_NO_FATAL_FAILURE(StartWithLogLevel(server, "3"));
    std::string bindError =
        "[HttpServer] Failed to bind HTTP server to 192.0.2.1:" + std::to_string(server.Port()) + ".";
    EXPECT_TRUE(server.WaitForMessage(bindError, kStartTimeout)) << server.OutputText();
    EXPECT_EQ(server.CountLines("[Server] Version"), 0u) << server.OutputText();
    EXPECT_EQ(server.CountLines("listening now"), 0u) << "info of later components is hidden too";
    EXPECT_TRUE(server.IsRunning());
}

TEST(Foundation, LogLevelSixSilencesEverythingAfterTheSettingsLoad)
{
    ServerProcess server;
    ASSERT_NO_FATAL_FAILURE(StartWithLogLevel(server, "6"));
    // Errors and console answers after the level is applied stay unwritten too.
    server.WriteLine("help");
    server.WriteLine("kick 5");
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(server.IsRunning());
    EXPECT_EQ(server.Lines().size(), 1u) << server.OutputText();

    std::string log = server.ReadFile("server.log");
    EXPECT_NE(log.find("[Settings] File setting bogus does not exist.\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("[Server]"), std::string::npos) << log;
}

TEST(Foundation, ServerLogIsAppendedWithCrLfLines)
{
    ServerProcess server;
    server.WriteSettings();
    server.WriteFile("server.log", "[00:00:00] from an earlier run\r\n");

    for (int run = 1; run <= 2; ++run)
    {
        ASSERT_TRUE(server.Start()) << "run " << run;
        // Output of both runs accumulates in the same ServerProcess.
        ASSERT_TRUE(server.WaitForCount("[Server] Episode: IV", static_cast<size_t>(run), kStartTimeout))
            << server.OutputText();
        ASSERT_TRUE(server.WaitForFile(
            "server.log", [run](const std::string& log)
            { return CountOf(log, "[Server] Episode: IV\r\n") == static_cast<size_t>(run); }));
        server.Stop();
    }

    std::string log = server.ReadFile("server.log");
    ASSERT_EQ(log.rfind("[00:00:00] from an earlier run\r\n", 0), 0u) << log;
    EXPECT_EQ(CountOf(log, "[Server] Version 1.6 Linux Server\r\n"), 2u) << "second run appended\n" << log;
    EXPECT_EQ(log.back(), '\n');
    size_t lineStart = 0;
    for (size_t end = log.find('\n'); end != std::string::npos; end = log.find('\n', lineStart))
    {
        EXPECT_TRUE(end > lineStart && log[end - 1] == '\r')
            << "line without CR LF: " << log.substr(lineStart, end - lineStart);
        lineStart = end + 1;
    }
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << "no colour codes in the file";

    // The console carries the same line ends.
    std::string raw = server.RawOutput();
    size_t banner = raw.find("[Server] Episode: IV");
    ASSERT_NE(banner, std::string::npos);
    size_t lineEnd = raw.find('\n', banner);
    ASSERT_NE(lineEnd, std::string::npos);
    EXPECT_EQ(raw[lineEnd - 1], '\r');
}

TEST(Foundation, UnparsableSettingsFileFailsTheStart)
{
    ServerProcess server;
    server.WriteFile("settings.xml", "<settings><listed>false</listed><port>1</settings>");
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(server.Start());

    auto code = server.WaitForExit(20s);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(code.has_value()) << server.OutputText();
    EXPECT_EQ(*code, 1);
    EXPECT_GE(elapsed, 9.5);

    EXPECT_EQ(server.Messages(),
              (std::vector<std::string>{
                  "[Settings] Failed to load settings file " + SettingsPathOf(server) + ".",
                  "[Server] Failed to open settings file.",
                  "Failed to start server! Exiting in 10 seconds..",
              }));
    EXPECT_EQ(server.ReadFile("settings.xml"), "<settings><listed>false</listed><port>1</settings>");
}

} // namespace
