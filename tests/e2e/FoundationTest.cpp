// Start-up of the real server binary: the first start, a broken settings.xml, log levels and server.log.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ServerProcess.h"

namespace
{
using namespace std::chrono_literals;

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

std::string SettingsPathOf(const ServerProcess& server)
{
    return (std::filesystem::canonical(server.Folder()) / "settings.xml").string();
}

TEST(Foundation, FirstStartCreatesTheDefaultSettingsFile)
{
    LNF_REQUIRE_PRIVATE_NETWORK();
    ServerProcess server;
    ASSERT_TRUE(server.Start(true));
    ASSERT_TRUE(server.WaitForLine("[Server] Episode: ", 10s)) << server.OutputText();

    const std::vector<std::string> expected = {"[Settings] Settings file " + SettingsPathOf(server) +
                                                   " does not exist, it will now be created.",
                                               "[Server] Version 1.6 Linux Server",
                                               "[Server] Port: 9999",
                                               "[Server] Host Address: 127.0.0.1",
                                               "[Server] Max Players: 32",
                                               "[Server] Episode: IV"};
    auto messages = server.Messages();
    EXPECT_NE(std::search(messages.begin(), messages.end(), expected.begin(), expected.end()), messages.end())
        << server.OutputText();

    std::string written = server.ReadFile("settings.xml");
    EXPECT_EQ(CountOf(written, "</"), 11u) << "ten elements and the root\n" << written;
    EXPECT_NE(written.find("<port>9999</port>"), std::string::npos) << written;
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(server.IsRunning()) << server.OutputText();
}

TEST(Foundation, UnparsableSettingsFileFailsTheStart)
{
    ServerProcess server;
    const std::string broken = "<settings><listed>false</listed><port>1</settings>";
    server.WriteFile("settings.xml", broken);
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(server.Start());

    auto code = server.WaitForExit(20s);
    ASSERT_TRUE(code.has_value()) << server.OutputText();
    EXPECT_EQ(*code, 1);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 9500ms);
    EXPECT_EQ(server.Messages(),
              (std::vector<std::string>{
                  "[Settings] Failed to load settings file " + SettingsPathOf(server) + ".",
                  "[Server] Failed to open settings file.",
                  "Failed to start server! Exiting in 10 seconds..",
              }));
    EXPECT_EQ(server.ReadFile("settings.xml"), broken);
}

// 192.0.2.1 is on no interface, so the HTTP bind fails with an error after the level is applied.
TEST(Foundation, LogLevelsThreeAndSix)
{
    ServerProcess three;
    ServerProcess six;
    for (auto [server, level] : {std::pair{&three, "3"}, std::pair{&six, "6"}})
    {
        server->WriteSettings({{"loglevel", level}, {"bogus", "1"}, {"hostaddress", "192.0.2.1"}});
        ASSERT_TRUE(server->Start());
    }
    for (ServerProcess* server : {&three, &six})
        ASSERT_TRUE(server->WaitForMessage("[Settings] File setting bogus does not exist.", 10s))
            << server->OutputText();

    EXPECT_TRUE(three.WaitForMessage(
        "[HttpServer] Failed to bind HTTP server to 192.0.2.1:" + std::to_string(three.Port()) + ".", 10s))
        << three.OutputText();
    EXPECT_EQ(three.CountLines("[Server] Version"), 0u) << three.OutputText();
    EXPECT_EQ(three.CountLines("listening now"), 0u);

    six.WriteLine("help");
    six.WriteLine("kick 5");
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(six.Lines().size(), 1u) << six.OutputText();
    std::string log = six.ReadFile("server.log");
    EXPECT_NE(log.find("[Settings] File setting bogus does not exist.\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("[Server]"), std::string::npos) << log;
    EXPECT_TRUE(three.IsRunning() && six.IsRunning());
}

TEST(Foundation, ServerLogIsAppendedWithCrLfLines)
{
    ServerProcess server;
    server.WriteSettings();
    server.WriteFile("server.log", "[00:00:00] from an earlier run\r\n");
    for (size_t run = 1; run <= 2; ++run)
    {
        ASSERT_TRUE(server.Start()) << "run " << run;
        ASSERT_TRUE(server.WaitForCount("[Server] Episode: IV", run, 10s)) << server.OutputText();
        ASSERT_TRUE(server.WaitForFile("server.log", [run](const std::string& log)
                                       { return CountOf(log, "[Server] Episode: IV\r\n") == run; }));
        server.Stop();
    }

    std::string log = server.ReadFile("server.log");
    ASSERT_EQ(log.rfind("[00:00:00] from an earlier run\r\n", 0), 0u) << log;
    EXPECT_EQ(CountOf(log, "[Server] Version 1.6 Linux Server\r\n"), 2u) << log;
    EXPECT_EQ(CountOf(log, "\n"), CountOf(log, "\r\n")) << log;
    EXPECT_EQ(log.back(), '\n');
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << "no colour codes in the file";
    std::string raw = server.RawOutput();
    size_t lineEnd = raw.find('\n', raw.find("[Server] Episode: IV"));
    ASSERT_NE(lineEnd, std::string::npos);
    EXPECT_EQ(raw[lineEnd - 1], '\r') << "the console has CR LF too";
}

} // namespace
