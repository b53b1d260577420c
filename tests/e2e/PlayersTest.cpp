// Players online against the real server binary: the welcome packet, names and chat, the channel-1
// relay, IPv6 and IPv4 players on one port, a client that vanishes, and a peer refused for want of a
// slot.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "Network/PacketWriter.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{
using namespace std::chrono_literals;
using namespace std::string_literals;

class PlayersTest : public ::testing::Test
{
protected:
    bool StartServer(ServerProcess::SettingsList settings)
    {
        settings.emplace_back("loglevel", "0");
        server.WriteSettings(settings);
        return server.Start() &&
               server.WaitForMessage("[Network] Worker thread successfully initialized ENet.", 10s);
    }

    // Connects and takes the welcome packet; with a name, also waits for the player's own PlayerJoin.
    std::unique_ptr<TestClient> Join(const std::string& name, ServerInfoPacket* welcome = nullptr,
                                     const char* ip = "127.0.0.1")
    {
        auto client = std::make_unique<TestClient>();
        if (!client->Connect(server.Port(), TestClient::kDefaultTimeout, ip))
            return nullptr;
        auto info = client->WaitFor<ServerInfoPacket>();
        if (!info)
            return nullptr;
        if (welcome)
            *welcome = *info;
        if (!name.empty())
        {
            client->Send(ClientInfoPacket{name});
            if (!client->WaitFor<PlayerJoinPacket>(
                    [&](const PlayerJoinPacket& p)
                    { return p.serverId == info->serverId && p.name == name; }))
                return nullptr;
        }
        return client;
    }

    // Sanitizer builds of the server report on its standard error, which the harness captures.
    void TearDown() override
    {
        for (const char* report : {"ThreadSanitizer", "AddressSanitizer", "runtime error:"})
            EXPECT_EQ(server.CountLines(report), 0u) << server.OutputText();
    }

    ServerProcess server;
};

TEST_F(PlayersTest, WelcomeChatAndTheChannelOneRelay)
{
    ASSERT_TRUE(StartServer({{"maxplayers", "3"},
                             {"episode", "1"},
                             {"chat", "false"},
                             {"secret", "pass phrase"},
                             {"hostname", "E2E Host"}}));
    ServerInfoPacket first;
    auto alice = Join("", &first);
    ASSERT_TRUE(alice);
    // episode 1, no chat, id 1, no host (65535, 0), secret, hostname, 1 of 3, {1: ""}
    EXPECT_EQ(ToHex(PackBody(first)), "9b 01 c2 01 cd ff ff 00 ab 70 61 73 73 20 70 68 72 61 73 65"
                                      " a8 45 32 45 20 48 6f 73 74 01 03 81 01 a0 01");
    EXPECT_TRUE(server.WaitForMessage("[Network] Peer 0 got server id 1."));
    alice->Send(ClientInfoPacket{"alice"});
    alice->Send(HostClaimPacket{99});
    ASSERT_TRUE(alice->WaitFor<HostVotePacket>([](const HostVotePacket& p)
                                               { return p.hostId == 1 && p.hostData == 99; }));
    ServerInfoPacket second;
    auto bob = Join("bob", &second);
    ASSERT_TRUE(bob);
    EXPECT_EQ(ToHex(PackBody(second)), "9b 01 c2 02 01 63 ab 70 61 73 73 20 70 68 72 61 73 65"
                                       " a8 45 32 45 20 48 6f 73 74 02 03 82 01 a5 61 6c 69 63 65 02 a0 01");

    // Chat reaches everyone, the sender included, even with the chat setting off.
    bob->Send(ChatMessagePacket{"hi all"});
    for (TestClient* client : {alice.get(), bob.get()})
        EXPECT_TRUE(client->WaitFor<ChatMessagePacket>([](const ChatMessagePacket& p)
                                                       { return p.text == "hi all"; }));
    EXPECT_TRUE(server.WaitForMessage("[Debug] ChatMessage Packet: hi all"));

    // Channel 1 goes to its target byte for byte, trailing bytes and a foreign source id included.
    GamePacket game;
    game.sourceId = 77;
    game.targetId = 2;
    game.data = std::string(200, '\0') + "payload";
    std::string bytes = PackBody(game) + "trailing";
    alice->SendRaw(1, bytes, ENET_PACKET_FLAG_RELIABLE);
    auto relayed = bob->WaitForPacket([](const TestClient::Received& p) { return p.channel == 1; });
    ASSERT_TRUE(relayed);
    EXPECT_EQ(relayed->bytes, bytes);
    alice->SendGamePacket(1, 9, "nobody");
    alice->SendRaw(1, "\xc1"s);
    EXPECT_TRUE(server.WaitForCount("[NetPacket] Game packet data deserialization failed: ", 1));
    bob->SendGamePacket(2, 1, "back");
    ASSERT_TRUE(alice->WaitForPacket([](const TestClient::Received& p) { return p.channel == 1; }));
    EXPECT_EQ(bob->Packets(1).size(), 1u);
    EXPECT_EQ(alice->Packets(1).size(), 1u);
}

// The game port listens on every IPv6 and IPv4 address: a player on ::1 and one on 127.0.0.1 share
// the server, in both directions.
TEST_F(PlayersTest, IPv6AndIPv4PlayersShareOnePort)
{
    ASSERT_TRUE(StartServer({{"maxplayers", "4"}}));
    struct Player
    {
        const char* ip;
        std::string name;
        std::unique_ptr<TestClient> client;
        uint16_t id = 0;
    };
    Player players[] = {{"::1", "six", nullptr}, {"127.0.0.1", "four", nullptr}};
    for (Player& player : players)
    {
        ServerInfoPacket welcome;
        player.client = Join("", &welcome, player.ip);
        ASSERT_TRUE(player.client) << player.ip;
        player.id = welcome.serverId;
        EXPECT_TRUE(server.WaitFor("[Network] Peer " + std::to_string(player.id - 1) + " is connecting."));
        EXPECT_TRUE(server.WaitFor("[Network] Peer " + std::to_string(player.id - 1) + " got server id " +
                                   std::to_string(player.id) + "."));
    }
    for (Player& player : players)
        player.client->Send(ClientInfoPacket{player.name});
    for (Player& to : players)
    {
        for (Player& from : players)
        {
            SCOPED_TRACE(std::string(from.ip) + " -> " + to.ip);
            EXPECT_TRUE(to.client->WaitFor<PlayerJoinPacket>(
                [&](const PlayerJoinPacket& p) { return p.serverId == from.id && p.name == from.name; }));
            if (&from == &to)
                continue;
            // Channel 1, byte for byte; then a chat line, which everybody hears.
            GamePacket game{from.id, to.id, std::string("\0from ") + from.ip};
            std::string bytes = PackBody(game);
            from.client->SendRaw(1, bytes);
            auto relayed = to.client->WaitForPacket([&](const TestClient::Received& p)
                                                    { return p.channel == 1 && p.bytes == bytes; });
            ASSERT_TRUE(relayed);
            EXPECT_EQ(relayed->flags & ENET_PACKET_FLAG_RELIABLE, 0u);
            from.client->Send(ChatMessagePacket{std::string("hello from ") + from.ip});
            for (Player& each : players)
                EXPECT_TRUE(each.client->WaitFor<ChatMessagePacket>(
                    [&](const ChatMessagePacket& p)
                    { return p.text == std::string("hello from ") + from.ip; }));
        }
    }

    // A kick ends the IPv6 player's connection with data 2; the IPv4 player sees it leave.
    ASSERT_TRUE(server.WriteLine("kick " + std::to_string(players[0].id)));
    ASSERT_TRUE(players[0].client->WaitForDisconnect());
    EXPECT_EQ(players[0].client->DisconnectData(), 2u);
    EXPECT_TRUE(server.WaitFor("[Network] Client six(" + std::to_string(players[0].id) + ") disconnected."));
    EXPECT_TRUE(players[1].client->WaitFor<PlayerLeavePacket>([&](const PlayerLeavePacket& p)
                                                              { return p.serverId == players[0].id; }));
}

// A client that vanishes without a disconnect (a crashed game) leaves once ENet gives up on it.
TEST_F(PlayersTest, AClientThatVanishesLeavesAfterTheTimeOut)
{
    ASSERT_TRUE(StartServer({{"maxplayers", "2"}}));
    auto ghost = Join("ghost", nullptr, "::1");
    auto stays = Join("stays");
    ASSERT_TRUE(ghost && stays);
    ghost->Vanish();
    // ENet's time-out is between 5 and 30 seconds, depending on the round trips it measured.
    EXPECT_TRUE(server.WaitFor("[Network] Peer 0 has disconnected.", 1, 40s));
    EXPECT_TRUE(server.WaitFor("[Network] Client ghost(1) disconnected."));
    EXPECT_TRUE(
        stays->WaitFor<PlayerLeavePacket>([](const PlayerLeavePacket& p) { return p.serverId == 1; }));
    ServerInfoPacket welcome;
    ASSERT_TRUE(Join("", &welcome, "::1"));
    EXPECT_EQ(welcome.serverId, 1);
}

// With one slot, a newcomer that connects right after the only player left, before the main loop
// handled that departure, finds no free id. The timing is raced until it happens.
TEST_F(PlayersTest, APeerRefusedForWantOfASlotStaysConnectedWithoutEffect)
{
    ASSERT_TRUE(StartServer({{"maxplayers", "1"}}));
    const std::string refusal = "[Network] No slot free for peer 0.";
    std::unique_ptr<TestClient> refused;
    size_t departures = 0;
    for (int attempt = 0; attempt < 40 && !refused; ++attempt)
    {
        auto leaver = Join("");
        ASSERT_TRUE(leaver) << "attempt " << attempt;
        size_t refusalsBefore = server.CountLines(refusal);
        std::thread leave([&leaver] { leaver->Disconnect(); });
        std::this_thread::sleep_for(std::chrono::microseconds(500 + 500 * (attempt % 8)));
        auto newcomer = std::make_unique<TestClient>();
        bool connected = newcomer->Connect(server.Port());
        leave.join();
        ASSERT_TRUE(connected) << "attempt " << attempt;
        ++departures;
        if (server.WaitForCount(refusal, refusalsBefore + 1, 300ms))
            refused = std::move(newcomer);
        else
        {
            ASSERT_TRUE(newcomer->Disconnect()) << "attempt " << attempt;
            ++departures;
        }
        // Until every departure is handled, the next attempt could be refused for the wrong reason.
        ASSERT_TRUE(server.WaitForCount("[Network] Client (1) disconnected.", departures));
    }
    ASSERT_TRUE(refused) << "the departure and the newcomer never met in one pass";

    // Only the chat echo answers it; its disconnect raises nothing and frees the slot.
    refused->Send(ClientInfoPacket{"ghost"});
    refused->Send(HostClaimPacket{1});
    refused->Send(ChatMessagePacket{"boo"});
    ASSERT_TRUE(
        refused->WaitFor<ChatMessagePacket>([](const ChatMessagePacket& p) { return p.text == "boo"; }));
    EXPECT_TRUE(refused->All<PlayerJoinPacket>().empty());
    EXPECT_TRUE(refused->All<HostVotePacket>().empty());
    EXPECT_TRUE(refused->All<ServerInfoPacket>().empty());
    size_t leftBefore = server.CountLines("[Network] Client ");
    size_t peersGone = server.CountLines("[Network] Peer 0 has disconnected.");
    ASSERT_TRUE(refused->Disconnect());
    EXPECT_TRUE(server.WaitForCount("[Network] Peer 0 has disconnected.", peersGone + 1));
    ServerInfoPacket welcome;
    ASSERT_TRUE(Join("", &welcome));
    EXPECT_EQ(welcome.serverId, 1);
    EXPECT_EQ(server.CountLines("[Network] Client "), leftBefore);
}
} // namespace
