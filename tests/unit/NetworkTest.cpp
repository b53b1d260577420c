// The network pass (connects, received packets, disconnects) driven through the queues, the
// worker's event handling, and the worker against a real ENet client.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "InProcessServer.h"
#include "LogCapture.h"
#include "Network/Client.h"
#include "Ports.h"
#include "Server/Settings.h"
#include "TestClient.h"

// Reaches the worker's event handling without a socket.
class NetworkTestAccess
{
public:
    static void HandleEvent(Network& network, const ENetEvent& event) { network.HandleEvent(event); }
};

namespace
{
using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& done)
{
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    return done();
}

ClientInfoPacket Named(const std::string& name)
{
    ClientInfoPacket packet;
    packet.name = name;
    return packet;
}

TEST(NetworkProcess, WelcomePacketDescribesTheServerAndItsPlayers)
{
    InProcessServer server({{"maxplayers", "5"}, {"episode", "2"}, {"secret", "s"}, {"hostname", "H"}});
    server.Connect(3, 1);
    server.Pass();
    auto first = InProcessServer::All<ServerInfoPacket>(server.Drain());
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(ToHex(PackBody(first[0].second)), "9b 02 c3 01 cd ff ff 00 a1 73 a1 48 01 05 81 01 a0 01");

    // The first player names itself and claims the host of session 0.
    server.Receive(3, 1, Named("alice"));
    HostClaimPacket claim;
    claim.hostData = 4242;
    server.Receive(3, 1, claim);
    server.Pass();
    server.Drain();
    server.Connect(4, 2);
    server.Pass();
    auto second = InProcessServer::All<ServerInfoPacket>(server.Drain());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(ToHex(PackBody(second[0].second)),
              "9b 02 c3 02 01 cd 10 92 a1 73 a1 48 02 05 82 01 a5 61 6c 69 63 65 02 a0 01");
}

TEST(NetworkProcess, ANewcomerOnTheDepartedPeersIdIsNeverTakenForIt)
{
    InProcessServer server({{"maxplayers", "1"}});
    server.Connect(0, 1);
    server.Pass();
    server.Drain();

    // Before the next pass: a last packet from alice, alice leaves, bob takes peer id 0 and sends.
    LogCapture log;
    server.Receive(0, 1, Named("alice2"));
    server.Receive(0, 2, Named("bob"));
    server.Disconnect(0, 1, 0);
    server.Connect(0, 2);
    server.Pass();
    EXPECT_TRUE(log.Contains("[Network] No slot free for peer 0."));
    auto joins = InProcessServer::All<PlayerJoinPacket>(server.Drain());
    ASSERT_EQ(joins.size(), 1u) << "bob holds no client id: his ClientInfo has no effect";
    EXPECT_EQ(joins[0].second.name, "alice2");

    log.Clear();
    server.Disconnect(0, 2, 0);
    server.Pass();
    EXPECT_TRUE(log.Messages().empty());
}

TEST(NetworkProcess, NewcomerRegisteredBeforeTheDepartedClientsDisconnectKeepsItsPlace)
{
    InProcessServer server({{"maxplayers", "2"}});
    server.Connect(0, 1);
    server.Pass();
    server.Disconnect(0, 1, 7);
    server.Connect(0, 2);
    server.Pass();
    EXPECT_NE(server.registry().GetClient(2), nullptr);
    EXPECT_EQ(server.registry().GetClient(1), nullptr);
}

std::string Game(uint16_t source, uint16_t target, const std::string& data)
{
    GamePacket packet;
    packet.sourceId = source;
    packet.targetId = target;
    packet.data = data;
    return PackBody(packet);
}

TEST(NetworkProcess, ChannelOneRelaysTheBytesUnchangedToTheTarget)
{
    // name, payload, from peer 5 (client 1) or 6 (refused: no slot), channel, relayed, warned
    const std::tuple<const char*, std::string, uint16_t, uint8_t, bool, bool> cases[] = {
        {"foreign source id, trailing bytes", Game(77, 1, "abc") + "\xc1", 5, 1, true, false},
        {"unknown target", Game(1, 2, "abc"), 5, 1, false, false},
        {"from a refused peer", Game(0, 1, "abc"), 6, 1, false, false},
        {"not MessagePack", "\xc1", 5, 1, false, true},
        {"other channels are dropped", PackPacket(Named("x")), 5, 2, false, false},
    };
    for (const auto& [name, payload, fromPeer, channel, relayed, warned] : cases)
    {
        SCOPED_TRACE(name);
        InProcessServer server({{"maxplayers", "1"}});
        server.Connect(5, 1);
        server.Connect(6, 2);
        server.Pass();
        server.Drain();

        LogCapture log;
        server.ReceiveRaw(fromPeer, fromPeer == 5 ? 1 : 2, channel, payload);
        server.Pass();
        auto sent = server.Drain();
        ASSERT_EQ(sent.size(), relayed ? 1u : 0u);
        EXPECT_TRUE(!relayed || (sent[0].peerId == 5 && sent[0].flags == 10u && sent[0].bytes == payload));
        EXPECT_EQ(log.Contains("[NetPacket] Game packet data deserialization failed: "), warned);
    }
}

TEST(NetworkWorkerEvents, ConnectionsAreNumberedAndPacketsCapped)
{
    InProcessServer server;
    Network& network = server.network();
    ENetPeer peer{};
    peer.incomingPeerID = 7;
    ENetEvent event{};
    event.type = ENET_EVENT_TYPE_CONNECT;
    event.peer = &peer;
    NetworkTestAccess::HandleEvent(network, event);
    NetworkTestAccess::HandleEvent(network, event); // the same slot again: a new connection
    PeerEvent first, second;
    ASSERT_TRUE(network.connects.try_pop(first));
    ASSERT_TRUE(network.connects.try_pop(second));
    EXPECT_NE(first.connection, second.connection);

    LogCapture log;
    event.type = ENET_EVENT_TYPE_RECEIVE;
    event.packet = enet_packet_create(nullptr, 0x2000000, 0);
    NetworkTestAccess::HandleEvent(network, event);
    event.packet = enet_packet_create(nullptr, 0x2000001, 0);
    NetworkTestAccess::HandleEvent(network, event);
    IncomingPacket queued;
    ASSERT_TRUE(network.incoming.try_pop(queued));
    EXPECT_EQ(queued.connection, second.connection);
    enet_packet_destroy(queued.packet);
    EXPECT_FALSE(network.incoming.try_pop(queued));
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>{"[Network] Incoming packet is too big (33554433 bytes)."});

    event.type = ENET_EVENT_TYPE_DISCONNECT;
    NetworkTestAccess::HandleEvent(network, event);
    NetworkTestAccess::HandleEvent(network, event); // already gone: nothing more
    PeerEvent gone;
    ASSERT_TRUE(network.disconnects.try_pop(gone));
    EXPECT_FALSE(network.disconnects.try_pop(gone));
}

// Runs before a worker starts, which reads the settings at once.
uint16_t UseFreePort()
{
    const uint16_t port = FreePort();
    Settings::ResetForTesting();
    Settings::SetDefaults(false);
    Settings::SetFromString("port", std::to_string(port));
    return port;
}

TEST(NetworkWorker, SendsThenAKickWithAReasonAndData2)
{
    const uint16_t port = UseFreePort();
    LogCapture log;
    Network network(NetworkWorker::Owned);
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    PeerEvent connect{};
    ASSERT_TRUE(WaitUntil([&] { return connect.connection != 0 || network.connects.try_pop(connect); }));

    ChatMessagePacket chat;
    network.SendPacket(chat, connect.peerId);
    network.SendPacket(chat, 3); // never connected
    ASSERT_TRUE(client.WaitForCount<ChatMessagePacket>(1));
    EXPECT_TRUE(log.WaitFor("[Network] Can't send packet, because peer with id 3 doesn't exist."));

    // Kicks aimed at another connection of that peer id, or at an unknown peer, are stale.
    network.commands.push(NetworkCommand{0, connect.peerId, "stale", connect.connection + 1});
    network.commands.push(NetworkCommand{0, 3, "", 0});
    network.commands.push(NetworkCommand{0, connect.peerId, "too loud", connect.connection});
    ASSERT_TRUE(client.WaitForDisconnect());
    EXPECT_EQ(client.DisconnectData(), 2u);
    EXPECT_EQ(client.PacketsBeforeDisconnect(), 2u) << "the chat and one reason";
    auto reason = client.WaitFor<KickReasonPacket>({}, 0ms);
    ASSERT_TRUE(reason);
    EXPECT_EQ(reason->reason, "too loud");
}

TEST(NetworkWorker, DestroyingStopsADetachedWorkerAndATakenPortFailsTheNext)
{
    UseFreePort();
    LogCapture log;
    const auto reaches = [](Network& network, Network::WorkerState state)
    { return WaitUntil([&] { return network.GetWorkerState() == state; }); };
    auto detached = std::make_unique<Network>();
    ASSERT_TRUE(reaches(*detached, Network::WorkerState::Running));
    detached.reset(); // frees the port
    Network first(NetworkWorker::Owned);
    ASSERT_TRUE(reaches(first, Network::WorkerState::Running));
    Network second(NetworkWorker::Owned);
    EXPECT_TRUE(reaches(second, Network::WorkerState::Failed));
    EXPECT_TRUE(
        log.Contains("[Network] Failed to create ENet server host. Please ensure you don't have a server "
                     "already running on the same IP and Port."));
}
} // namespace
