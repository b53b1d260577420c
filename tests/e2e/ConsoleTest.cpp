// The operator console of the real server binary, driven through its standard input: help and usage
// lines, resource commands with a Lua resource, a canceled stop, kicks, long lines and the end of
// the input.

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ServerProcess.h"
#include "TestClient.h"

namespace
{
using namespace std::chrono_literals;

using Lines = std::vector<std::string>;

const Lines kHelp = {"[Help] List of commands:", "[Help] start <resource>", "[Help] stop <resource>",
                     "[Help] restart <resource>", "[Help] kick <playerid>"};

Lines Concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// User plus system CPU time of a process in clock ticks, from /proc/<pid>/stat.
std::optional<long long> CpuTicks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold blanks; after it come field 3 (state) to 13, then utime and stime.
    size_t close = stat.rfind(')');
    std::istringstream fields(close == std::string::npos ? "" : stat.substr(close + 2));
    std::string skipped;
    long long utime = 0;
    long long stime = 0;
    for (int index = 3; index <= 13; ++index)
        fields >> skipped;
    if (!(fields >> utime >> stime))
        return std::nullopt;
    return utime + stime;
}

class ConsoleTest : public ::testing::Test
{
protected:
    bool StartServer(ServerProcess::SettingsList settings = {})
    {
        server.WriteSettings(settings);
        return server.Start() && server.WaitForMessage("[HttpServer] HTTP Server listening now on port " +
                                                           std::to_string(server.Port()) + ".",
                                                       10s);
    }

    // Writes the lines, then a kick of a marker name, and gives the messages logged from the first
    // line up to the marker's error line, without those of the network and HTTP threads (which may
    // come at any time).
    std::optional<Lines> Command(const Lines& lines)
    {
        size_t before = server.Messages().size();
        std::string marker = "marker" + std::to_string(++markers);
        for (const std::string& line : lines)
        {
            if (!server.WriteLine(line))
                return std::nullopt;
        }
        if (!server.WriteLine("kick " + marker))
            return std::nullopt;
        std::string end = "[Server] Client with ID " + marker + " doesn't exist.";
        if (!server.WaitForMessage(end))
            return std::nullopt;
        Lines messages = server.Messages();
        Lines answer;
        for (size_t index = before; index < messages.size(); ++index)
        {
            if (messages[index].rfind("[Network]", 0) != 0 && messages[index].rfind("[HttpServer]", 0) != 0)
                answer.push_back(messages[index]);
        }
        while (!answer.empty() && answer.back() != end)
            answer.pop_back();
        if (!answer.empty())
            answer.pop_back();
        return answer;
    }

    void ExpectAnswers(const std::vector<std::pair<std::string, Lines>>& cases)
    {
        for (const auto& [line, expected] : cases)
        {
            auto answer = Command({line});
            ASSERT_TRUE(answer) << line << "\n" << server.OutputText();
            EXPECT_EQ(*answer, expected) << "line: '" << line << "'";
        }
    }

    void WriteResource(const std::string& name, const std::string& meta, const std::string& script)
    {
        server.WriteFile("resources/" + name + "/meta.xml", meta);
        if (!script.empty())
            server.WriteFile("resources/" + name + "/main.lua", script);
    }

    ServerProcess server;
    int markers = 0;
};

const char* kLuaMeta = R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)";

TEST_F(ConsoleTest, HelpUsageAndLinesThatAreNoCommand)
{
    ASSERT_TRUE(StartServer()) << server.OutputText();
    const std::vector<std::pair<std::string, Lines>> cases = {
        {"help", kHelp},
        {"?", kHelp},
        {"--usage", kHelp},
        {"help me please", kHelp},
        {"start", {"[Help] start <resource>"}},
        {"start ", {"[Help] start <resource>"}},
        {"stop", {"[Help] stop <resource>"}},
        {"restart ", {"[Help] restart <resource>"}},
        {"kick", {"[Help] kick <playerid>"}},
        {"kick kick", {"[Help] kick <playerid>"}},
        {"", {}},
        {"   ", {}},
        {" help", {}},
        {"START demo", {}},
        {"Help", {}},
        {"helpme", {}},
        {"stop nothing", {"[Server] Stop resource nothing."}},
        // Only the first blank splits: the rest belongs to the argument.
        {"stop  two  blanks", {"[Server] Stop resource  two  blanks."}},
    };
    ExpectAnswers(cases);

    // Long lines arrive in 511-byte pieces; a piece of exactly 511 bytes leaves its newline alone,
    // an empty line that does nothing.
    const std::string first = "stop " + std::string(506, 'a');
    auto answer = Command({first + "kick " + std::string(84, 'b'), "stop " + std::string(506, 'c')});
    ASSERT_TRUE(answer) << server.OutputText();
    EXPECT_EQ(*answer, (Lines{"[Server] Stop resource " + std::string(506, 'a') + ".",
                              "[Server] Client with ID " + std::string(84, 'b') + " doesn't exist.",
                              "[Server] Stop resource " + std::string(506, 'c') + "."}));
    EXPECT_TRUE(server.IsRunning());
}

TEST_F(ConsoleTest, ResourcesStartStopAndRestart)
{
    WriteResource("demo", kLuaMeta,
                  "Console.Log('loaded')\n"
                  "Events.Subscribe('resourceStop', function(name) Console.Log('stopping ' .. name) end)\n");
    WriteResource("broken", R"(<meta type="lua"><script src="absent.lua" type="server"/></meta>)", "");
    WriteResource("failing", kLuaMeta, "Console.Log('failing runs')\nerror('boom')\n");
    WriteResource("keeper", kLuaMeta,
                  "Events.Subscribe('resourceStop', function(name)\n"
                  "  if name == 'keeper' then Console.Log('refusing') Events.Cancel() end\n"
                  "end)\n");
    ASSERT_TRUE(StartServer({{"resource", "keeper"}})) << server.OutputText();
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully loaded resource keeper."));

    const Lines started = {"[Script] demo: loaded", "[Resource] Started resource demo."};
    const Lines stopped = {"[Script] demo: stopping demo", "[Resource] Stopped resource demo."};
    const Lines refused = {"[Script] keeper: refusing",
                           "[ResourceManager] Stopping of resource keeper was canceled."};
    const std::vector<std::pair<std::string, Lines>> cases = {
        // A canceled stop keeps the old resource; a restart ends after its first lines.
        {"stop keeper", Concat({{"[Server] Stop resource keeper."}, refused})},
        {"restart keeper", Concat({{"[Server] Restart resource keeper."}, refused})},
        {"start keeper", {"[Server] Start resource keeper."}},
        {"start demo",
         Concat(
             {{"[Server] Start resource demo."}, started, {"[Server] Successfully started resource demo."}})},
        // The name is in use: nothing after the first line.
        {"start demo", {"[Server] Start resource demo."}},
        {"restart demo", Concat({{"[Server] Restart resource demo."},
                                 stopped,
                                 started,
                                 {"[Server] Successfully restarted resource demo."}})},
        {"stop demo", Concat({{"[Server] Stop resource demo."}, stopped})},
        {"stop demo", {"[Server] Stop resource demo."}},
        {"restart demo", Concat({{"[Server] Restart resource demo."},
                                 started,
                                 {"[Server] Successfully restarted resource demo."}})},
        {"start broken",
         {"[Server] Start resource broken.",
          "[Resource] Could not find absent.lua declared in resource broken.",
          "[Server] Failed to load resource broken."}},
    };
    ExpectAnswers(cases);

    // A failed start removes the resource again, so it can be tried once more.
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        auto answer = Command({"start failing"});
        ASSERT_TRUE(answer) << server.OutputText();
        ASSERT_GE(answer->size(), 4u) << server.OutputText();
        EXPECT_EQ((*answer)[0], "[Server] Start resource failing.");
        EXPECT_EQ((*answer)[1], "[Script] failing: failing runs");
        EXPECT_EQ((*answer)[2].rfind("[LuaVM] Error loading script main.lua in resource failing:", 0), 0u)
            << (*answer)[2];
        EXPECT_EQ(answer->back(), "[Server] Failed to load resource failing.");
    }
    auto restartBroken = Command({"restart broken"});
    ASSERT_TRUE(restartBroken);
    EXPECT_EQ(restartBroken->back(), "[Server] Failed to load resource broken.");
}

TEST_F(ConsoleTest, KickAddressesClientsByTheLow16BitsOfTheNumber)
{
    ASSERT_TRUE(StartServer()) << server.OutputText();
    std::vector<std::unique_ptr<TestClient>> clients;
    for (uint16_t id = 1; id <= 3; ++id)
    {
        clients.push_back(std::make_unique<TestClient>());
        ASSERT_TRUE(clients.back()->Connect(server.Port()));
        auto welcome = clients.back()->WaitFor<ServerInfoPacket>();
        ASSERT_TRUE(welcome);
        ASSERT_EQ(welcome->serverId, id);
    }

    // Client 65535, no such client, shown as typed, no number, beyond 32 bits (whose low 16 bits
    // would be client 1).
    for (const std::string argument : {"-1", "4", "  7", "abc", "4294967297"})
    {
        auto answer = Command({"kick " + argument});
        ASSERT_TRUE(answer) << server.OutputText();
        EXPECT_EQ(*answer, Lines{"[Server] Client with ID " + argument + " doesn't exist."});
    }
    for (const auto& client : clients)
        EXPECT_TRUE(client->IsConnected());

    // A successful kick logs nothing of the console's own; the worker disconnects the peer.
    const std::vector<std::pair<const char*, size_t>> kicks = {{"  3", 2}, {"65538", 1}, {"1st", 0}};
    for (const auto& [argument, index] : kicks)
    {
        auto answer = Command({std::string("kick ") + argument});
        ASSERT_TRUE(answer) << server.OutputText();
        EXPECT_TRUE(answer->empty()) << answer->front();
        EXPECT_TRUE(clients[index]->WaitForDisconnect()) << argument;
        EXPECT_EQ(clients[index]->DisconnectData(), 2u) << argument;
    }
    EXPECT_TRUE(server.WaitForCount("disconnected.", 3)) << server.OutputText();
}

TEST_F(ConsoleTest, EndOfInputLeavesTheServerRunningIdle)
{
    ASSERT_TRUE(StartServer()) << server.OutputText();
    // Lines before the end are still carried out.
    ASSERT_TRUE(server.WriteLine("help"));
    server.CloseStdin();
    ASSERT_TRUE(server.WaitForMessage("[Help] kick <playerid>")) << server.OutputText();
    std::this_thread::sleep_for(200ms);

    auto before = CpuTicks(server.Pid());
    ASSERT_TRUE(before);
    std::this_thread::sleep_for(1s);
    auto after = CpuTicks(server.Pid());
    ASSERT_TRUE(after);
    // An idle server uses a few ticks a second (100 ticks = one busy core); a reader spinning on the
    // ended input would take them all.
    EXPECT_LT(*after - *before, 30) << "CPU ticks over one second";
    EXPECT_TRUE(server.IsRunning());

    TestClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    EXPECT_TRUE(client.WaitFor<ServerInfoPacket>());
}

} // namespace
