#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include <enet/enet.h>
#include <tbb/concurrent_queue.h>

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
class Network
{
public:
    static constexpr uint8_t kChannelCount = 2;
    static constexpr size_t kMaxIncomingPacketSize = 0x2000000; // 32 MiB
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

    // Builds the reliable channel-0 packet for one peer and queues it for the worker.
    template <typename T> void SendPacket(const T& packet, uint16_t peerId);

    // Builds the reliable channel-0 packet for every connected peer and queues it for the worker.
    template <typename T> void BroadcastPacket(const T& packet);

    // ENet's round-trip time of the peer id as last published; the last known value once the peer
    // is gone, 0 for a peer id never seen.
    uint32_t GetPeerRoundTripTime(uint16_t peerId) const;

    // True when that connection still holds the peer id and ENet heard from it less than
    // `milliseconds` ago on ENet's own clock.
    bool WasPeerHeardWithin(uint16_t peerId, uint32_t connection, uint32_t milliseconds) const;

    WorkerState GetWorkerState() const { return workerState.load(std::memory_order_acquire); }

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
    void PublishPeer(uint16_t peerId, const PeerSlot& slot);
    void PublishPeers();

    // Main-thread phases.
    void ProcessConnects(ClientRegistry& registry);
    void ProcessIncoming(ClientRegistry* registry);
    void ProcessDisconnects(ClientRegistry& registry);
    void Relay(ClientRegistry& registry, const IncomingPacket& packet);

    uint32_t EnetTimeNow() const;
    void DropQueuedPackets();

    std::unordered_map<uint16_t, PeerSlot> peers; // worker only
    uint32_t lastConnection = 0;                  // worker only

    std::unique_ptr<PublishedPeer[]> published;
    std::atomic<WorkerState> workerState{WorkerState::Starting};
    bool workerStarted = false;
    std::atomic<bool> stopRequested{false};
    std::thread ownedWorker;
    std::function<uint32_t()> enetClockForTesting;
};

template <typename T> void Network::SendPacket(const T& packet, uint16_t peerId)
{
    std::string bytes = PackPacket(packet);
    ENetPacket* enetPacket = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    if (enetPacket)
        outgoing.push(OutgoingPacket{0, peerId, enetPacket, false});
}

template <typename T> void Network::BroadcastPacket(const T& packet)
{
    std::string bytes = PackPacket(packet);
    ENetPacket* enetPacket = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    if (enetPacket)
        outgoing.push(OutgoingPacket{0, 0, enetPacket, true});
}
