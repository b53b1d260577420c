#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include <enet.h>
#include <tbb/concurrent_queue.h>

#include "Network/Client.h"
#include "Network/PacketWriter.h"

class ClientRegistry;

// Queue elements exchanged between the network worker and the other threads.

struct NetworkCommand
{
    uint32_t kind = 0; // 0 = kick, the only kind
    uint16_t peerId = 0;
    std::string reason; // empty = kick without a reason
    // When not 0, the command applies only while that connection still holds the peer id, so a
    // kick aimed at a departed player never hits the newcomer that took over its peer id.
    uint32_t connection = 0;
};

struct PeerEvent
{
    uint16_t peerId = 0;
    uint32_t data = 0;       // 0 on connect; the disconnect event's data on disconnect
    uint32_t connection = 0; // identifies the connection, as ENet reuses peer ids
};

struct IncomingPacket
{
    uint8_t channel = 0;
    uint16_t peerId = 0;
    ENetPacket* packet = nullptr; // owned; the consumer destroys it
    uint32_t connection = 0;
};

struct OutgoingPacket
{
    uint8_t channel = 0;
    uint16_t peerId = 0;          // ignored when broadcasting
    ENetPacket* packet = nullptr; // ownership passes to the worker
    bool broadcast = false;
    // As for commands: when not 0, the packet is sent only while that connection still holds the
    // peer id, so nothing meant for a departed player reaches the newcomer on its peer id.
    uint32_t connection = 0;
};

// How a Network runs its worker. The server uses Detached (never stopped, as the server never
// destroys its Network); tests use None (queues only) or Owned (stopped and joined by the destructor).
enum class NetworkWorker
{
    Detached,
    None,
    Owned,
};

// The game transport: one ENet host served by a worker thread, and the main-thread pass.
//
// The worker is the only thread that touches the ENet host and its peers. Everything else goes
// through the five queues, and the two peer values the main thread needs (round-trip time and
// last-receive time) are published by the worker into atomics after every cycle.
//
// Channel-1 game packets never wait for the main loop: the worker relays each one itself to the
// connection of its target client, as published by the main thread in the relay table whenever a
// client is added or removed.
class Network
{
public:
    static constexpr uint8_t kChannelCount = 2;
    static constexpr size_t kMaxIncomingPacketSize = 0x2000000; // 32 MiB
    // ENet's own limit for what it reassembles, a little above ours: a packet just over our limit
    // reaches the worker, which reports and drops it, instead of ENet refusing it without a word.
    static constexpr size_t kMaxHostPacketSize = kMaxIncomingPacketSize + 0x100000;
    static constexpr uint32_t kKickDisconnectData = 2;
    static constexpr uint32_t kRelayFlags =
        ENET_PACKET_FLAG_UNSEQUENCED | ENET_PACKET_FLAG_UNRELIABLE_FRAGMENT;

    enum class WorkerState
    {
        Starting,
        Running,
        Failed,
        Stopped,
    };

    explicit Network(NetworkWorker worker = NetworkWorker::Detached);
    ~Network();
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    // The worker body: sets up the UDP host, then cycles until stopped (never, when detached).
    void WorkerThread();

    // One main-thread pass: connects, then received packets, then disconnects.
    void Process();

    // Builds the reliable channel-0 packet for the client and queues it for the worker. It leaves
    // only while the client's connection still holds its peer id.
    template <typename T> void SendPacket(const T& packet, const Client& client);

    // Builds the reliable channel-0 packet for every connected peer and queues it for the worker.
    template <typename T> void BroadcastPacket(const T& packet);

    // ENet's round-trip time of the peer id as last published; the last known value once the peer
    // is gone, 0 for a peer id never seen.
    uint32_t GetPeerRoundTripTime(uint16_t peerId) const;

    // True when that connection still holds the peer id and ENet heard from it less than
    // `milliseconds` ago on ENet's own clock.
    bool WasPeerHeardWithin(uint16_t peerId, uint32_t connection, uint32_t milliseconds) const;

    WorkerState GetWorkerState() const { return workerState.load(std::memory_order_acquire); }

    // The relay table, written by the main thread as clients come and go, read by the worker: where
    // channel-1 packets for a client id go. A client id without an entry receives nothing.
    void PublishRelayTarget(uint16_t clientId, uint16_t peerId, uint32_t connection);
    void WithdrawRelayTarget(uint16_t clientId);

    // The `maxplayers` setting. A benchmark build also takes LNF_BENCH_MAXPLAYERS from the
    // environment, beyond the setting's bounds, to load the relay with more clients.
    static int32_t MaxPlayers();

    // Tests stand in for the worker's publication and for ENet's clock.
    void PublishPeerForTesting(uint16_t peerId, bool connected, uint32_t connection, uint32_t roundTripTime,
                               uint32_t lastReceiveTime);
    void SetEnetClockForTesting(std::function<uint32_t()> clock) { enetClockForTesting = std::move(clock); }

    tbb::concurrent_queue<NetworkCommand> commands;
    tbb::concurrent_queue<PeerEvent> connects;
    tbb::concurrent_queue<PeerEvent> disconnects;
    tbb::concurrent_queue<IncomingPacket> incoming;
    tbb::concurrent_queue<OutgoingPacket> outgoing;

private:
    friend class NetworkTestAccess;

    // The worker's view of one peer id: the ENet peer while connected (null afterwards) and the
    // number of the connection that holds or last held it.
    struct PeerSlot
    {
        ENetPeer* peer = nullptr;
        uint32_t connection = 0;
    };

    // What the main thread may read of a peer id. `state` packs the connected flag (bit 32) with the
    // connection number (low 32 bits) so the two are never seen torn apart.
    struct PublishedPeer
    {
        std::atomic<uint64_t> state{0};
        std::atomic<uint32_t> roundTripTime{0};
        std::atomic<uint32_t> lastReceiveTime{0};
    };
    static constexpr size_t kPeerIdCount = ENET_PROTOCOL_MAXIMUM_PEER_ID + 1;

    // Worker steps.
    void RunCommands(ENetHost* host);
    void RunOutgoing(ENetHost* host);
    void ServiceHost(ENetHost* host);
    void HandleEvent(const ENetEvent& event);
    void RelayGamePacket(ENetPacket* packet);
    void PublishPeer(uint16_t peerId, const PeerSlot& slot);
    void PublishPeers(const ENetHost* host);

    // Main-thread phases.
    void ProcessConnects(ClientRegistry& registry);
    void ProcessIncoming(ClientRegistry* registry);
    void ProcessDisconnects(ClientRegistry& registry);

    uint32_t EnetTimeNow() const;
    void DropQueuedPackets();

    std::unordered_map<uint16_t, PeerSlot> peers; // worker only
    uint32_t lastConnection = 0;                  // worker only
    uint32_t lastPublishTime = 0;                 // worker only: ENet's clock at the last PublishPeers

    std::unique_ptr<PublishedPeer[]> published;
    // Per client id: peer id in bits 32-47 and connection number in the low 32 bits; 0 = none
    // (connection numbers are never 0).
    std::unique_ptr<std::atomic<uint64_t>[]> relayTargets;
    std::atomic<WorkerState> workerState{WorkerState::Starting};
    bool workerStarted = false;
    std::atomic<bool> stopRequested{false};
    std::thread ownedWorker;
    std::function<uint32_t()> enetClockForTesting;
};

template <typename T> void Network::SendPacket(const T& packet, const Client& client)
{
    std::string bytes = PackPacket(packet);
    ENetPacket* enetPacket = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    if (enetPacket)
        outgoing.push(OutgoingPacket{0, client.peerId, enetPacket, false, client.connection});
}

template <typename T> void Network::BroadcastPacket(const T& packet)
{
    std::string bytes = PackPacket(packet);
    ENetPacket* enetPacket = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    if (enetPacket)
        outgoing.push(OutgoingPacket{0, 0, enetPacket, true});
}
