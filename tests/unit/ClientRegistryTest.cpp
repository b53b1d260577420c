// Client registry: id allocation, lookups by id, peer and connection, session moves.

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "InProcessServer.h"
#include "Network/Client.h"
#include "Server/Settings.h"

namespace
{
std::vector<uint16_t> Ids(const ClientRegistry& registry)
{
    std::vector<uint16_t> ids;
    registry.ForEachClient([&ids](Client* client) { ids.push_back(client->serverId); });
    return ids;
}

TEST(ClientRegistry, HandsOutTheLowestFreeIdUpToMaxPlayers)
{
    InProcessServer server({{"maxplayers", "4"}});
    ClientRegistry& registry = server.registry();
    for (uint16_t peer = 0; peer < 3; ++peer)
        ASSERT_EQ(registry.AddClient(peer)->serverId, peer + 1);

    ASSERT_TRUE(registry.RemoveClient(2));
    EXPECT_EQ(registry.AddClient(7)->serverId, 2);
    EXPECT_EQ(registry.AddClient(8)->serverId, 4);
    EXPECT_EQ(registry.AddClient(9), nullptr);
    EXPECT_EQ(registry.GetPlayerCount(), 4u);
    EXPECT_EQ(Ids(registry), (std::vector<uint16_t>{1, 2, 3, 4})) << "ascending, whatever the arrival";
    EXPECT_EQ(registry.GetClient(2)->peerId, 7);

    // The limit is read again on every call.
    ASSERT_TRUE(registry.RemoveClient(3));
    ASSERT_TRUE(Settings::SetFromString("maxplayers", "2"));
    EXPECT_EQ(registry.AddClient(10), nullptr);
    EXPECT_EQ(registry.GetPlayerCount(), 3u);
}

TEST(ClientRegistry, WithOnePlayerASecondGetsNothingAndTheFirstStays)
{
    InProcessServer server({{"maxplayers", "1"}});
    Client* first = server.registry().AddClient(0);
    EXPECT_EQ(server.registry().AddClient(1), nullptr);
    EXPECT_EQ(server.registry().GetClient(1), first);
    EXPECT_EQ(server.registry().GetClientByPeer(0), first);
}

TEST(ClientRegistry, LookupsByPeerAndConnectionAndRemoval)
{
    InProcessServer server;
    ClientRegistry& registry = server.registry();
    Client* departed = registry.AddClient(5, 1);
    Client* newcomer = registry.AddClient(5, 2); // a newcomer on the reused peer id

    EXPECT_EQ(registry.GetClientByPeer(5), newcomer);
    EXPECT_EQ(registry.GetClientByConnection(5, 1), departed);
    EXPECT_EQ(registry.GetClientByConnection(5, 2), newcomer);
    EXPECT_EQ(registry.GetClientByConnection(5, 3), nullptr);
    EXPECT_EQ(registry.GetClientByConnection(6, 1), nullptr);

    // Removing the departed client leaves the newcomer's peer entry alone.
    ASSERT_TRUE(registry.RemoveClient(1));
    EXPECT_EQ(registry.GetClientByPeer(5), newcomer);
    EXPECT_EQ(registry.GetClient(1), nullptr);
    EXPECT_EQ(registry.GetClientByConnection(5, 1), nullptr);
    EXPECT_FALSE(registry.RemoveClient(1));
    EXPECT_FALSE(registry.RemoveClient(65535));
    ASSERT_TRUE(registry.RemoveClient(2));
    EXPECT_EQ(registry.GetClientByPeer(5), nullptr);
    EXPECT_EQ(registry.GetPlayerCount(), 0u);
}

TEST(ClientRegistry, SetClientSessionTellsTheMovedClientItsNewHost)
{
    InProcessServer server;
    ClientRegistry& registry = server.registry();
    Client* mover = registry.AddClient(20);
    Client* other = registry.AddClient(21);
    Client* host = registry.AddClient(22);
    server.Drain();

    registry.SetClientSession(host->serverId, 9);
    server.sessions().ClaimHost(9, host, 7);
    mover->sessionActive = true;
    server.Drain();

    const struct
    {
        uint16_t serverId;
        int32_t sessionId;
        std::vector<std::pair<uint16_t, uint32_t>> expected; // SessionHost {host id, host data}
    } steps[] = {
        {mover->serverId, 4, {{65535, 65535}}}, // a session without host
        {mover->serverId, 9, {{3, 7}}},         // host 3 with host data 7
        {mover->serverId, 9, {}},               // already there: nothing
        {99, 9, {}},                            // no such client
    };
    for (const auto& step : steps)
    {
        registry.SetClientSession(step.serverId, step.sessionId);
        std::vector<std::pair<uint16_t, uint32_t>> got;
        for (const auto& [to, packet] : InProcessServer::All<SessionHostPacket>(server.Drain()))
        {
            EXPECT_EQ(to.peerId, mover->peerId);
            got.emplace_back(packet.hostId, packet.hostData);
        }
        EXPECT_EQ(got, step.expected) << "session " << step.sessionId;
    }
    EXPECT_EQ(mover->sessionId, 9);
    EXPECT_EQ(other->sessionId, 0);

    // Moving clears the session-active flag; staying keeps it.
    mover->sessionActive = true;
    registry.SetClientSession(mover->serverId, 9);
    EXPECT_TRUE(mover->sessionActive);
    registry.SetClientSession(mover->serverId, 0);
    EXPECT_FALSE(mover->sessionActive);
}
} // namespace
