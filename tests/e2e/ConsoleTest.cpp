// The operator console of the real server binary, driven through its standard input.

#include <chrono>
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
const char* kLuaMeta = R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)";

// User plus system CPU ticks of a process; the command name in /proc/<pid>/stat may hold blanks.
std::optional<long long> CpuTicks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skipped;
    long long utime = 0, stime = 0;
    for (int index = 3; index <= 13; ++index)
        fields >> skipped;
    if (!(fields >> utime >> stime))
        return std::nullopt;
    return utime + stime;
}

class ConsoleTest : public ::testing::Test
{
protected:
    // Writes the lines and a kick of a marker, and gives what was logged up to the marker's answer,
    // without the network and HTTP threads' lines.
    std::optional<Lines> Command(const Lines& lines)
    {
        size_t before = server.Messages().size();
        std::string marker = "marker" + std::to_string(++markers);
        for (const std::string& line : lines)
            server.WriteLine(line);
        std::string end = "[Server] Client with ID " + marker + " doesn't exist.";
        if (!server.WriteLine("kick " + marker) || !server.WaitForMessage(end))
            return std::nullopt;
        Lines messages = server.Messages();
        Lines answer;
        for (size_t index = before; index < messages.size() && messages[index] != end; ++index)
            if (messages[index].rfind("[Network]", 0) != 0 && messages[index].rfind("[HttpServer]", 0) != 0)
                answer.push_back(messages[index]);
        return answer;
    }

    void ExpectAnswers(const std::vector<std::pair<std::string, Lines>>& cases)
    {
        for (const auto& [line, expected] : cases)
            EXPECT_EQ(Command({line}), expected) << "line: '" << line << "'\n" << server.OutputText();
    }

    ServerProcess server;
    int markers = 0;
};

TEST_F(ConsoleTest, CommandsKicksAndTheEndOfInput)
{
    server.WriteFile("resources/demo/meta.xml", kLuaMeta);
    server.WriteFile(
        "resources/demo/main.lua",
        "Console.Log('loaded')\n"
        "Events.Subscribe('resourceStop', function(name) Console.Log('stopping ' .. name) end)\n");
    server.WriteFile("resources/broken/meta.xml",
                     R"(<meta type="lua"><script src="absent.lua" type="server"/></meta>)");
    server.WriteFile("resources/keeper/meta.xml", kLuaMeta);
    server.WriteFile("resources/keeper/main.lua",
                     "Events.Subscribe('resourceStop', function(name)\n"
                     "  if name == 'keeper' then Console.Log('refusing') Events.Cancel() end\n"
                     "end)\n");
    server.WriteSettings({{"resource", "keeper"}});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage(
        "[HttpServer] HTTP Server listening now on port " + std::to_string(server.Port()) + ".", 10s))
        << server.OutputText();
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully loaded resource keeper."));

    const Lines refused = {"[Script] keeper: refusing",
                           "[ResourceManager] Stopping of resource keeper was canceled."};
    ExpectAnswers({
        {"help", kHelp},
        {"?", kHelp},
        {"--usage", kHelp},
        {"help me please", kHelp},
        {"stop", {"[Help] stop <resource>"}},
        {"restart ", {"[Help] restart <resource>"}},
        {"kick", {"[Help] kick <playerid>"}},
        {"", {}},
        {" help", {}},
        {"Help", {}},
        {"stop  two  blanks", {"[Server] Stop resource  two  blanks."}},
        {"stop keeper", {"[Server] Stop resource keeper.", refused[0], refused[1]}},
        {"restart keeper", {"[Server] Restart resource keeper.", refused[0], refused[1]}},
        {"start keeper", {"[Server] Start resource keeper."}},
        {"start demo",
         {"[Server] Start resource demo.", "[Script] demo: loaded", "[Resource] Started resource demo.",
          "[Server] Successfully started resource demo."}},
        {"restart demo",
         {"[Server] Restart resource demo.", "[Script] demo: stopping demo",
          "[Resource] Stopped resource demo.", "[Script] demo: loaded", "[Resource] Started resource demo.",
          "[Server] Successfully restarted resource demo."}},
        {"stop demo",
         {"[Server] Stop resource demo.", "[Script] demo: stopping demo",
          "[Resource] Stopped resource demo."}},
        {"start broken",
         {"[Server] Start resource broken.",
          "[Resource] Could not find absent.lua declared in resource broken.",
          "[Server] Failed to load resource broken."}},
    });

    // Kicks take the low 16 bits of the number; 4294967297 is beyond 32 bits and kicks nobody.
    std::vector<std::unique_ptr<TestClient>> clients;
    for (uint16_t id = 1; id <= 2; ++id)
    {
        clients.push_back(std::make_unique<TestClient>());
        ASSERT_TRUE(clients.back()->Connect(server.Port()));
        auto welcome = clients.back()->WaitFor<ServerInfoPacket>();
        ASSERT_TRUE(welcome && welcome->serverId == id);
    }
    for (const std::string argument : {"-1", "abc", "4294967297"})
        EXPECT_EQ(Command({"kick " + argument}),
                  Lines{"[Server] Client with ID " + argument + " doesn't exist."});
    for (const auto& [argument, index] : {std::pair{"65538", 1}, std::pair{"1st", 0}})
    {
        EXPECT_EQ(Command({std::string("kick ") + argument}), Lines{});
        EXPECT_TRUE(clients[index]->WaitForDisconnect()) << argument;
        EXPECT_EQ(clients[index]->DisconnectData(), 2u) << argument;
    }

    // At the end of the input the lines before it are carried out, and the reader does not spin.
    ASSERT_TRUE(server.WriteLine("help"));
    server.CloseStdin();
    ASSERT_TRUE(server.WaitForCount("[Help] kick <playerid>", 6)) << server.OutputText();
    std::this_thread::sleep_for(200ms);
    auto before = CpuTicks(server.Pid());
    std::this_thread::sleep_for(1s);
    auto after = CpuTicks(server.Pid());
    ASSERT_TRUE(before && after);
    EXPECT_LT(*after - *before, 30) << "CPU ticks over one second (100 = one busy core)";
    TestClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    EXPECT_TRUE(client.WaitFor<ServerInfoPacket>());
}

} // namespace
