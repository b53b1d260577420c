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

    // A time-out ends a connection as a disconnect does, with data 0.
    event.type = ENET_EVENT_TYPE_CONNECT;
    NetworkTestAccess::HandleEvent(network, event);
    PeerEvent third;
    ASSERT_TRUE(network.connects.try_pop(third));
    event.type = ENET_EVENT_TYPE_DISCONNECT_TIMEOUT;
    event.data = 5;
    NetworkTestAccess::HandleEvent(network, event);
    ASSERT_TRUE(network.disconnects.try_pop(gone));
    EXPECT_EQ(gone.connection, third.connection);
    EXPECT_EQ(gone.peerId, 7);
    EXPECT_EQ(gone.data, 5u); // the event's own data, which ENet sets to 0 for a time-out
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
    network.SendPacket(chat, Client(connect.peerId, 1, connect.connection));
    network.SendPacket(chat, Client(connect.peerId, 1, connect.connection + 1)); // an ended connection
    network.SendPacket(chat, Client(3, 2, 1));                                   // never connected
    ASSERT_TRUE(client.WaitForCount<ChatMessagePacket>(1));
    EXPECT_TRUE(log.WaitFor("[Network] Can't send packet, because peer with id 3 doesn't exist."));

    // Kicks aimed at another connection of that peer id, or at an unknown peer, are stale.
    network.commands.push(NetworkCommand{0, connect.peerId, "stale", connect.connection + 1});
    network.commands.push(NetworkCommand{0, 3, "", 0});
    network.commands.push(NetworkCommand{0, connect.peerId, "too loud", connect.connection});
    ASSERT_TRUE(client.WaitForDisconnect());
    EXPECT_EQ(client.DisconnectData(), 2u);
    EXPECT_EQ(client.PacketsBeforeDisconnect(), 2u) << "one chat and one reason";
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
std::string Game(uint16_t source, uint16_t target, const std::string& data)
{
    GamePacket packet;
    packet.sourceId = source;
    packet.targetId = target;
    packet.data = data;
    return PackBody(packet);
}

// The worker relays channel 1 itself, by target alone: here the sender holds no client id at all.
TEST(NetworkWorker, RelaysChannelOneByTargetAlone)
{
    const uint16_t port = UseFreePort();
    Network network(NetworkWorker::Owned);
    TestClient sender, target;
    ASSERT_TRUE(sender.Connect(port));
    ASSERT_TRUE(target.Connect(port));
    PeerEvent first{}, second{};
    ASSERT_TRUE(WaitUntil([&] { return first.connection != 0 || network.connects.try_pop(first); }));
    ASSERT_TRUE(WaitUntil([&] { return second.connection != 0 || network.connects.try_pop(second); }));
    network.PublishRelayTarget(1, second.peerId, second.connection);
    network.PublishRelayTarget(2, second.peerId, second.connection + 1); // that connection has ended
    network.PublishRelayTarget(3, second.peerId, second.connection);
    network.WithdrawRelayTarget(3);

    // name, payload (sent reliably), relayed, warned
    const std::tuple<const char*, std::string, bool, bool> cases[] = {
        {"foreign source id, trailing bytes", Game(77, 1, "abc") + "\xc1", true, false},
        {"ids in other encodings, nested extras", FromHex("95 d0 01 ce 00 00 00 01 c4 00 08 91 90"), true,
         false},
        {"unknown target", Game(1, 4, "abc"), false, false},
        {"withdrawn target", Game(1, 3, "abc"), false, false},
        {"the target's connection has ended", Game(1, 2, "abc"), false, false},
        {"not MessagePack", "\xc1", false, true},
        {"cut short", Game(1, 1, "abc").substr(0, 5), false, true},
    };
    LogCapture log;
    std::vector<std::string> expected;
    size_t warnings = 0;
    for (const auto& [name, payload, relayed, warned] : cases)
    {
        sender.SendRaw(1, payload, ENET_PACKET_FLAG_RELIABLE);
        if (relayed)
            expected.push_back(payload);
        warnings += warned ? 1 : 0;
    }
    const std::string last = Game(0, 1, "last");
    sender.SendRaw(1, last, ENET_PACKET_FLAG_RELIABLE);
    expected.push_back(last);
    ASSERT_TRUE(target.WaitForPacket([&](const TestClient::Received& p) { return p.bytes == last; }));
    std::vector<std::string> received;
    for (const TestClient::Received& packet : target.Packets(1))
    {
        EXPECT_EQ(packet.flags, uint32_t{ENET_PACKET_FLAG_UNSEQUENCED});
        received.push_back(packet.bytes);
    }
    EXPECT_EQ(received, expected);
    size_t logged = 0;
    for (const std::string& message : log.Messages())
        logged += message.starts_with("[NetPacket] Game packet data deserialization failed: ") ? 1 : 0;
    EXPECT_EQ(logged, warnings);
    EXPECT_TRUE(sender.Packets().empty());
    EXPECT_TRUE(network.incoming.empty()) << "channel 1 never waits for the main loop";
}
} // namespace

namespace
{
// Channel 1 is the worker's to relay and channel 0 the main loop's to read: a game packet on any other
// channel is queued for the main loop like channel 0, which reads nothing there.
TEST(NetworkProcess, OnlyChannelOneIsRelayedAndOnlyChannelZeroRead)
{
    InProcessServer server;
    server.Connect(5, 1);
    server.Pass();
    server.Drain();
    ENetPeer peer{};
    peer.incomingPeerID = 5;
    ENetEvent event{};
    event.type = ENET_EVENT_TYPE_RECEIVE;
    event.peer = &peer;
    event.channelID = 2;
    const std::string game = Game(1, 1, "abc");
    event.packet = enet_packet_create(game.data(), game.size(), ENET_PACKET_FLAG_RELIABLE);
    NetworkTestAccess::HandleEvent(server.network(), event);
    IncomingPacket queued;
    ASSERT_TRUE(server.network().incoming.try_pop(queued));
    EXPECT_EQ(std::pair(queued.channel, queued.peerId), std::pair(uint8_t{2}, uint16_t{5}));
    enet_packet_destroy(queued.packet);

    // On channel 0 a ClientInfo announces the player; on channel 2 it does nothing.
    server.ReceiveRaw(5, 1, 2, PackPacket(Named("x")));
    server.Pass();
    EXPECT_TRUE(server.Drain().empty());
    server.Receive(5, 1, Named("x"));
    server.Pass();
    EXPECT_EQ(InProcessServer::All<PlayerJoinPacket>(server.Drain()).size(), 1u);
}
} // namespace
