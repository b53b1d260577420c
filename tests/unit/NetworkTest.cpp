// The network pass (connects, received packets, disconnects) driven through the queues, the
// worker's event handling, and the worker's kick path against a real ENet client.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
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
    InProcessServer server({{"maxplayers", "5"},
                            {"episode", "2"},
                            {"chat", "false"},
                            {"secret", "s3cret"},
                            {"hostname", "Test Host"}});
    LogCapture log;
    server.Connect(3, 1);
    server.Pass();
    auto sent = server.Drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].peerId, 3);
    EXPECT_FALSE(sent[0].broadcast);
    EXPECT_EQ(sent[0].flags, static_cast<uint32_t>(ENET_PACKET_FLAG_RELIABLE));
    auto first = InProcessServer::Decode<ServerInfoPacket>(sent[0]);
    ASSERT_TRUE(first);
    // episode 2, no chat, id 1, no host (65535, 0), secret, hostname, 1 of 5, {1: ""}
    EXPECT_EQ(ToHex(PackBody(*first)), "9b 02 c2 01 cd ff ff 00 a6 73 33 63 72 65 74"
                                       " a9 54 65 73 74 20 48 6f 73 74 01 05 81 01 a0 01");
    EXPECT_TRUE(log.Contains("[Network] Peer 3 got server id 1."));

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
    EXPECT_EQ(second[0].first.peerId, 4);
    EXPECT_EQ(ToHex(PackBody(second[0].second)), "9b 02 c2 02 01 cd 10 92 a6 73 33 63 72 65 74"
                                                 " a9 54 65 73 74 20 48 6f 73 74 02 05"
                                                 " 82 01 a5 61 6c 69 63 65 02 a0 01");
}

TEST(NetworkProcess, ANewcomerOnTheDepartedPeersIdIsNeverTakenForIt)
{
    InProcessServer server({{"maxplayers", "1"}});
    server.Connect(0, 1);
    server.Pass();
    server.Receive(0, 1, Named("alice"));
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
    EXPECT_TRUE(log.Contains("[Network] Client alice2(1) disconnected."));
    EXPECT_EQ(server.registry().GetPlayerCount(), 0u);
    auto sent = server.Drain();
    auto joins = InProcessServer::All<PlayerJoinPacket>(sent);
    ASSERT_EQ(joins.size(), 1u) << "bob holds no client id: his ClientInfo has no effect";
    EXPECT_EQ(joins[0].second.name, "alice2");
    auto leaves = InProcessServer::All<PlayerLeavePacket>(sent);
    ASSERT_EQ(leaves.size(), 1u);
    EXPECT_TRUE(leaves[0].first.broadcast);
    EXPECT_EQ(leaves[0].second.serverId, 1);

    // Bob's own disconnect raises nothing.
    log.Clear();
    server.Disconnect(0, 2, 0);
    server.Pass();
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_TRUE(server.Drain().empty());
}

TEST(NetworkProcess, NewcomerRegisteredBeforeTheDepartedClientsDisconnectKeepsItsPlace)
{
    InProcessServer server({{"maxplayers", "2"}});
    server.Connect(0, 1);
    server.Pass();
    server.Drain();

    server.Disconnect(0, 1, 7);
    server.Connect(0, 2);
    server.Pass();
    Client* newcomer = server.registry().GetClientByPeer(0);
    ASSERT_NE(newcomer, nullptr);
    EXPECT_EQ(newcomer->serverId, 2);
    EXPECT_EQ(newcomer->connection, 2u);
    EXPECT_EQ(server.registry().GetClient(1), nullptr);
    EXPECT_EQ(server.sessions().Find(0)->members.size(), 1u);
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
    const struct
    {
        const char* name;
        std::string payload;
        uint16_t fromPeer;
        uint32_t fromConnection;
        uint8_t channel;
        bool relayed;
        bool warned;
    } cases[] = {
        {"to itself", Game(1, 1, std::string(200, 'x')), 5, 1, 1, true, false},
        {"foreign source id", Game(77, 1, "abc"), 5, 1, 1, true, false},
        {"trailing bytes kept", Game(1, 1, "abc") + "\xc1\x01", 5, 1, 1, true, false},
        {"unknown target", Game(1, 2, "abc"), 5, 1, 1, false, false},
        {"from a refused peer", Game(0, 1, "abc"), 6, 2, 1, false, false},
        {"not MessagePack", "\xc1", 5, 1, 1, false, true},
        {"empty", "", 5, 1, 1, false, true},
        {"cut short", Game(1, 1, "abcdef").substr(0, 5), 5, 1, 1, false, true},
        {"wrong types", "\x93\xa1x\x01\xa1y", 5, 1, 1, false, true},
        {"other channels are dropped", PackPacket(Named("x")), 5, 1, 2, false, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        InProcessServer server({{"maxplayers", "1"}});
        server.Connect(5, 1); // client 1 on peer 5
        server.Connect(6, 2); // refused: no slot
        server.Pass();
        server.Drain();

        LogCapture log;
        server.ReceiveRaw(c.fromPeer, c.fromConnection, c.channel, c.payload);
        server.Pass();
        auto sent = server.Drain();
        ASSERT_EQ(sent.size(), c.relayed ? 1u : 0u);
        if (c.relayed)
        {
            EXPECT_EQ(sent[0].channel, 1);
            EXPECT_EQ(sent[0].peerId, 5);
            EXPECT_FALSE(sent[0].broadcast);
            EXPECT_EQ(sent[0].flags, 10u);
            EXPECT_EQ(sent[0].bytes, c.payload);
        }
        EXPECT_EQ(log.Messages().size(), c.warned ? 1u : 0u) << testing::PrintToString(log.Messages());
        EXPECT_EQ(log.Contains("[NetPacket] Game packet data deserialization failed: "), c.warned);
    }
}

// Worker event handling

TEST(NetworkWorkerEvents, ConnectionsAreNumberedPublishedAndPacketsCapped)
{
    InProcessServer server;
    Network& network = server.network();
    ENetPeer peer{};
    peer.incomingPeerID = 7;
    peer.roundTripTime = 33;
    peer.lastReceiveTime = 1000;
    network.SetEnetClockForTesting([] { return 1500u; });

    ENetEvent event{};
    event.type = ENET_EVENT_TYPE_CONNECT;
    event.peer = &peer;
    NetworkTestAccess::HandleEvent(network, event);
    NetworkTestAccess::HandleEvent(network, event); // the same slot again: a new connection
    PeerEvent first, second;
    ASSERT_TRUE(network.connects.try_pop(first));
    ASSERT_TRUE(network.connects.try_pop(second));
    EXPECT_EQ(first.peerId, 7);
    EXPECT_NE(first.connection, second.connection);
    EXPECT_EQ(network.GetPeerRoundTripTime(7), 33u);
    EXPECT_TRUE(network.WasPeerHeardWithin(7, second.connection, 1000));
    EXPECT_FALSE(network.WasPeerHeardWithin(7, first.connection, 1000));

    // Received packets are capped at 32 MiB and tagged with the connection.
    LogCapture log;
    event.type = ENET_EVENT_TYPE_RECEIVE;
    event.channelID = 1;
    event.packet = enet_packet_create(nullptr, 0x2000000, 0);
    NetworkTestAccess::HandleEvent(network, event);
    event.packet = enet_packet_create(nullptr, 0x2000001, 0);
    NetworkTestAccess::HandleEvent(network, event);
    event.packet = nullptr;
    NetworkTestAccess::HandleEvent(network, event);
    IncomingPacket queued;
    ASSERT_TRUE(network.incoming.try_pop(queued));
    EXPECT_EQ(queued.packet->dataLength, 0x2000000u);
    EXPECT_EQ(queued.channel, 1);
    EXPECT_EQ(queued.connection, second.connection);
    enet_packet_destroy(queued.packet);
    EXPECT_FALSE(network.incoming.try_pop(queued));
    EXPECT_EQ(log.Messages(spdlog::level::warn),
              (std::vector<std::string>{"[Network] Incoming packet is too big (33554433 bytes).",
                                        "[Network] Receive event did not supply us with a packet to work "
                                        "with. This should never happen."}));

    event.type = ENET_EVENT_TYPE_DISCONNECT;
    event.data = 9;
    NetworkTestAccess::HandleEvent(network, event);
    NetworkTestAccess::HandleEvent(network, event); // already gone: nothing more
    PeerEvent gone;
    ASSERT_TRUE(network.disconnects.try_pop(gone));
    EXPECT_EQ(gone.data, 9u);
    EXPECT_EQ(gone.connection, second.connection);
    EXPECT_FALSE(network.disconnects.try_pop(gone));
    EXPECT_FALSE(network.WasPeerHeardWithin(7, second.connection, 1000));

    ENetPeer stranger{};
    stranger.incomingPeerID = 8;
    event.peer = &stranger;
    NetworkTestAccess::HandleEvent(network, event);
    EXPECT_FALSE(network.disconnects.try_pop(gone));
}

// The worker against a real ENet client

class NetworkWorkerTest : public ::testing::Test
{
protected:
    // Runs before the worker starts, which reads the settings at once.
    static uint16_t Configure()
    {
        uint16_t port = FreePort();
        Settings::ResetForTesting();
        Settings::SetDefaults(false);
        Settings::SetFromString("port", std::to_string(port));
        Settings::SetFromString("maxplayers", "4");
        return port;
    }

    // Plays the main thread: the connect event of the next connection.
    PeerEvent NextConnect()
    {
        PeerEvent event{};
        WaitUntil([&] { return network->connects.try_pop(event); });
        return event;
    }

    PeerEvent NextDisconnect()
    {
        PeerEvent event{};
        WaitUntil([&] { return network->disconnects.try_pop(event); });
        return event;
    }

    uint16_t port = Configure();
    LogCapture log;
    std::unique_ptr<Network> network = std::make_unique<Network>(NetworkWorker::Owned);
};

TEST_F(NetworkWorkerTest, KickWithAReasonSendsItBeforeDisconnectingWithData2)
{
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    PeerEvent connect = NextConnect();
    ASSERT_NE(connect.connection, 0u);

    network->commands.push(NetworkCommand{0, connect.peerId, "too loud", connect.connection});
    ASSERT_TRUE(client.WaitForDisconnect());
    EXPECT_EQ(client.DisconnectData(), 2u);
    auto reason = client.WaitFor<KickReasonPacket>({}, 0ms);
    ASSERT_TRUE(reason);
    EXPECT_EQ(reason->reason, "too loud");
    EXPECT_EQ(client.PacketsBeforeDisconnect(), 1u);
    EXPECT_TRUE(log.Contains("[Network] Kicking peer " + std::to_string(connect.peerId) + "."));
}

TEST_F(NetworkWorkerTest, KickWithoutReasonDisconnectsAtOnceAndStaleKicksDoNothing)
{
    TestClient first;
    ASSERT_TRUE(first.Connect(port));
    PeerEvent connect = NextConnect();

    // A kick aimed at another connection of that peer id, and kicks of unknown peers: ignored.
    network->commands.push(NetworkCommand{0, connect.peerId, "", connect.connection + 1});
    network->commands.push(NetworkCommand{0, 3, "", 0});
    network->commands.push(NetworkCommand{1, connect.peerId, "", 0});
    network->commands.push(NetworkCommand{0, connect.peerId, "", 0});
    ASSERT_TRUE(first.WaitForDisconnect());
    EXPECT_EQ(first.DisconnectData(), 2u);
    EXPECT_TRUE(first.Packets().empty());
    EXPECT_EQ(log.Messages(spdlog::level::info).size(), 3u) << "two start-up lines and one kick";

    PeerEvent gone = NextDisconnect();
    EXPECT_EQ(gone.peerId, connect.peerId);
    EXPECT_EQ(gone.connection, connect.connection);

    // The peer is gone now: a kick for it is dropped without a word.
    log.Clear();
    network->commands.push(NetworkCommand{0, connect.peerId, "late", 0});
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(log.Contains("Kicking"));
}

TEST_F(NetworkWorkerTest, SendsReachTheirPeerAndPeerDataIsPublished)
{
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    PeerEvent connect = NextConnect();

    ChatMessagePacket chat;
    chat.text = "hello";
    network->SendPacket(chat, connect.peerId);
    network->SendPacket(chat, 3); // never connected
    network->BroadcastPacket(chat);
    ASSERT_TRUE(client.WaitForCount<ChatMessagePacket>(2));
    EXPECT_TRUE(log.WaitFor("[Network] Can't send packet, because peer with id 3 doesn't exist."));
    EXPECT_TRUE(network->WasPeerHeardWithin(connect.peerId, connect.connection, 1000));
    EXPECT_GT(network->GetPeerRoundTripTime(connect.peerId), 0u);

    ASSERT_TRUE(client.Disconnect(5));
    EXPECT_EQ(NextDisconnect().data, 5u);
    EXPECT_FALSE(network->WasPeerHeardWithin(connect.peerId, connect.connection, 1000));
}

TEST(NetworkWorker, ATakenPortEndsTheWorkerWithItsError)
{
    Settings::ResetForTesting();
    Settings::SetDefaults(false);
    uint16_t port = FreePort();
    Settings::SetFromString("port", std::to_string(port));
    LogCapture log;
    Network first(NetworkWorker::Owned);
    Network second(NetworkWorker::Owned);
    WaitUntil(
        [&]
        {
            return first.GetWorkerState() != Network::WorkerState::Starting &&
                   second.GetWorkerState() != Network::WorkerState::Starting;
        });
    int failed = (first.GetWorkerState() == Network::WorkerState::Failed) +
                 (second.GetWorkerState() == Network::WorkerState::Failed);
    EXPECT_EQ(failed, 1);
    EXPECT_TRUE(
        log.Contains("[Network] Failed to create ENet server host. Please ensure you don't have a server "
                     "already running on the same IP and Port."));
}

TEST(NetworkWorker, DestroyingANetworkStopsEvenADetachedWorkerFirst)
{
    Settings::ResetForTesting();
    Settings::SetDefaults(false);
    Settings::SetFromString("port", std::to_string(FreePort()));
    for (int round = 0; round < 3; ++round)
    {
        auto network = std::make_unique<Network>();
        if (round == 2)
        {
            WaitUntil([&] { return network->GetWorkerState() != Network::WorkerState::Starting; });
            EXPECT_EQ(network->GetWorkerState(), Network::WorkerState::Running);
        }
        network.reset(); // the port is free again for the next round
    }
}
} // namespace
