// The console's number reading, and that a parsed command waits for the main thread's task queue
// (line splitting and the commands themselves are tested through the server's standard input).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "Network/ClientRegistry.h"
#include "Network/Network.h"
#include "Network/Session.h"
#include "Server/Console.h"
#include "Server/Server.h"
#include "Server/Settings.h"

namespace
{

TEST(ConsoleParse, LeadingIntegers)
{
    const std::vector<std::pair<std::string, std::optional<int32_t>>> cases = {
        {"3", 3},
        {"  3", 3},
        {"\t\n 12", 12},
        {"+7", 7},
        {"-1", -1},
        {"65539", 65539},
        {"42abc", 42},
        {"1 2", 1},
        {"0x10", 0},
        {"007", 7},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"4294967297", std::nullopt},
        {"99999999999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"-", std::nullopt},
        {"+-1", std::nullopt},
        {"- 1", std::nullopt},
        {"abc", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ParseLeadingInteger(text), expected) << "'" << text << "'";
}

TEST(ConsoleParse, CommandsRunOnTheMainThreadsNextPass)
{
    Settings::ResetForTesting();
    Settings::SetDefaults(false);
    Server server;
    server.sessions = std::make_unique<Session>();
    server.clientRegistry = std::make_unique<ClientRegistry>();
    server.network = std::make_unique<Network>(NetworkWorker::None);
    server.clientRegistry->AddClient(9, 90);
    LogCapture log;

    HandleConsoleCommand("kick 65537");
    HandleConsoleCommand("kick 2");
    HandleConsoleCommand("help");
    EXPECT_TRUE(log.Messages().empty()) << "nothing is carried out on the reading thread";
    NetworkCommand command;
    EXPECT_FALSE(server.network->commands.try_pop(command));

    server.tasks.RunPending();
    ASSERT_TRUE(server.network->commands.try_pop(command));
    EXPECT_EQ(command.kind, 0u);
    EXPECT_EQ(command.peerId, 9);
    EXPECT_EQ(command.reason, "");
    EXPECT_EQ(command.connection, 90u);
    EXPECT_FALSE(server.network->commands.try_pop(command));
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{"[Server] Client with ID 2 doesn't exist.",
                                                        "[Help] List of commands:", "[Help] start <resource>",
                                                        "[Help] stop <resource>", "[Help] restart <resource>",
                                                        "[Help] kick <playerid>"}));
    server.clientRegistry.reset();
}

} // namespace
