#include "Network/Network.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>

#include <spdlog/spdlog.h>

#include "Network/Client.h"
#include "Network/ClientRegistry.h"
#include "Network/NetPacket.h"
#include "Network/NetPacketDispatch.h"
#include "Network/Packets.h"
#include "Network/ServerEvents.h"
#include "Network/Session.h"
#include "Server/Server.h"
#include "Server/Settings.h"

namespace
{
constexpr uint64_t kConnectedBit = uint64_t{1} << 32;
constexpr size_t kClientIdCount = 0x10000;

// Number of elements a queue holds now; a phase takes only those, so a flood arriving meanwhile
// waits for the next pass instead of holding the main thread.
template <typename Queue> size_t PendingCount(const Queue& queue)
{
    return static_cast<size_t>(std::max<std::ptrdiff_t>(queue.unsafe_size(), 0));
}

void DestroyUnsent(ENetPacket* packet)
{
    // ENet keeps a reference for every queued copy; an unsent packet has none.
    if (packet && packet->referenceCount == 0)
        enet_packet_destroy(packet);
}
} // namespace

Network::Network(NetworkWorker worker)
    : published(new PublishedPeer[kPeerIdCount]), relayTargets(new std::atomic<uint64_t>[kClientIdCount]())
{
    workerStarted = worker != NetworkWorker::None;
    if (worker == NetworkWorker::Detached)
        std::thread(&Network::WorkerThread, this).detach();
    else if (worker == NetworkWorker::Owned)
        ownedWorker = std::thread(&Network::WorkerThread, this);
}

Network::~Network()
{
    // The server never destroys its Network; a test that does must not leave a worker behind that
    // still uses this object, detached or not.
    stopRequested.store(true, std::memory_order_relaxed);
    if (ownedWorker.joinable())
        ownedWorker.join();
    else if (workerStarted)
    {
        while (GetWorkerState() != WorkerState::Failed && GetWorkerState() != WorkerState::Stopped)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    DropQueuedPackets();
}

void Network::WorkerThread()
{
    spdlog::info("[Network] Worker thread is initializing...");
    if (enet_initialize() != 0)
    {
        spdlog::error("[Network] Failed to initialize ENet.");
        workerState.store(WorkerState::Failed, std::memory_order_release);
        return;
    }
    spdlog::info("[Network] Worker thread successfully initialized ENet.");

    // Every local address: the IPv6 any address, scope id 0. ENet turns IPV6_V6ONLY off on its
    // socket, so IPv4 clients reach the same port (as ::ffff:a.b.c.d). `hostaddress` binds only
    // the HTTP server.
    ENetAddress address{};
    address.host = ENET_HOST_ANY;
    address.port = static_cast<uint16_t>(Settings::GetInt("port"));
    address.sin6_scope_id = 0;
    int32_t maxPlayers = MaxPlayers();
    ENetHost* host = nullptr;
    if (maxPlayers > 0)
        host = enet_host_create(&address, static_cast<size_t>(maxPlayers), kChannelCount, 0, 0);
    if (host)
        host->maximumPacketSize = kMaxHostPacketSize;
    if (!host)
    {
        spdlog::error("[Network] Failed to create ENet server host. Please ensure you don't have a server "
                      "already running on the same IP and Port.");
        enet_deinitialize();
        workerState.store(WorkerState::Failed, std::memory_order_release);
        return;
    }
    workerState.store(WorkerState::Running, std::memory_order_release);

    while (!stopRequested.load(std::memory_order_relaxed))
    {
        RunCommands(host);
        RunOutgoing(host);
        ServiceHost(host);
        PublishPeers(host);
    }

    enet_host_destroy(host);
    enet_deinitialize();
    for (auto& [peerId, slot] : peers)
        published[peerId].state.store(0, std::memory_order_release);
    peers.clear();
    workerState.store(WorkerState::Stopped, std::memory_order_release);
}

void Network::RunCommands(ENetHost* host)
{
    for (size_t pending = PendingCount(commands); pending > 0; --pending)
    {
        NetworkCommand command;
        if (!commands.try_pop(command))
            break;
        if (command.kind != 0)
            continue;
        auto found = peers.find(command.peerId);
        if (found == peers.end() || !found->second.peer)
            continue;
        if (command.connection != 0 && command.connection != found->second.connection)
            continue;

        ENetPeer* peer = found->second.peer;
        spdlog::info("[Network] Kicking peer {}.", command.peerId);
        if (command.reason.empty())
        {
            enet_peer_disconnect(peer, kKickDisconnectData);
            continue;
        }

        KickReasonPacket kick;
        kick.reason = command.reason;
        std::string bytes = PackPacket(kick);
        ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
        if (packet && enet_peer_send(peer, 0, packet) < 0)
            DestroyUnsent(packet);
        enet_host_flush(host);
        enet_peer_disconnect_later(peer, kKickDisconnectData);
    }
}

void Network::RunOutgoing(ENetHost* host)
{
    for (size_t pending = PendingCount(outgoing); pending > 0; --pending)
    {
        OutgoingPacket element;
        if (!outgoing.try_pop(element))
            break;
        if (!element.packet)
            continue;

        if (element.broadcast)
        {
            enet_host_broadcast(host, element.channel, element.packet);
            continue;
        }

        auto found = peers.find(element.peerId);
        if (found == peers.end())
        {
            spdlog::warn("[Network] Can't send packet, because peer with id {} doesn't exist.",
                         element.peerId);
            DestroyUnsent(element.packet);
            continue;
        }
        // Disconnected, or the peer id now belongs to another connection: nobody to send to.
        if (!found->second.peer ||
            (element.connection != 0 && element.connection != found->second.connection))
        {
            DestroyUnsent(element.packet);
            continue;
        }

        int result = enet_peer_send(found->second.peer, element.channel, element.packet);
        if (result < 0)
        {
            spdlog::warn("[Network] ENet error {} while sending packet to peer {}.", result, element.peerId);
            DestroyUnsent(element.packet);
        }
    }
}

void Network::ServiceHost(ENetHost* host)
{
    // Everything ENet has already dispatched first, then at most one event from a 1 ms wait.
    ENetEvent event;
    int result;
    while ((result = enet_host_check_events(host, &event)) > 0)
        HandleEvent(event);
    if (result < 0)
        return;
    if (enet_host_service(host, &event, 1) > 0)
        HandleEvent(event);
}

void Network::HandleEvent(const ENetEvent& event)
{
    switch (event.type)
    {
    case ENET_EVENT_TYPE_CONNECT:
    {
        uint16_t peerId = event.peer->incomingPeerID;
        spdlog::debug("[Network] Peer {} is connecting.", peerId);
        // Connection numbers skip 0, which stands for "any connection" in commands.
        if (++lastConnection == 0)
            ++lastConnection;
        PeerSlot slot{event.peer, lastConnection};
        // Published before the event is queued, so the main pass never sees a client whose peer
        // data is missing.
        PublishPeer(peerId, slot);
        connects.push(PeerEvent{peerId, 0, slot.connection});
        peers[peerId] = slot;
        break;
    }
    // This ENet reports a peer that timed out with an event type of its own (data 0), where
    // earlier versions reported a plain disconnect: both end the connection the same way.
    case ENET_EVENT_TYPE_DISCONNECT:
    case ENET_EVENT_TYPE_DISCONNECT_TIMEOUT:
    {
        uint16_t peerId = event.peer->incomingPeerID;
        auto found = peers.find(peerId);
        // A peer id without a live connection has nobody to report.
        if (found == peers.end() || !found->second.peer)
            break;
        spdlog::debug("[Network] Peer {} has disconnected.", peerId);
        disconnects.push(PeerEvent{peerId, event.data, found->second.connection});
        found->second.peer = nullptr;
        if (peerId < kPeerIdCount)
            published[peerId].state.store(found->second.connection, std::memory_order_release);
        break;
    }
    case ENET_EVENT_TYPE_RECEIVE:
    {
        if (!event.packet)
        {
            spdlog::warn("[Network] Receive event did not supply us with a packet to work with. This should "
                         "never happen.");
            break;
        }
        if (event.packet->dataLength > kMaxIncomingPacketSize)
        {
            spdlog::warn("[Network] Incoming packet is too big ({} bytes).", event.packet->dataLength);
            enet_packet_destroy(event.packet);
            break;
        }
        if (event.channelID == 1)
        {
            RelayGamePacket(event.packet);
            break;
        }
        uint16_t peerId = event.peer->incomingPeerID;
        auto found = peers.find(peerId);
        uint32_t connection = found != peers.end() ? found->second.connection : 0;
        incoming.push(IncomingPacket{event.channelID, peerId, event.packet, connection});
        break;
    }
    default:
        break;
    }
}

void Network::RelayGamePacket(ENetPacket* packet)
{
    // Relayed by target alone, whoever sent it: the sender need not hold a client id, and its
    // source id is passed on as written.
    uint16_t targetId = 0;
    if (!NetPacket::ReadGameTarget(packet->data, packet->dataLength, targetId))
    {
        enet_packet_destroy(packet);
        return;
    }
    const uint64_t target = relayTargets[targetId].load(std::memory_order_acquire);
    const uint16_t peerId = static_cast<uint16_t>(target >> 32);
    const uint32_t connection = static_cast<uint32_t>(target);
    auto found = connection != 0 ? peers.find(peerId) : peers.end();
    // No such client, or its connection has ended (and the peer id may belong to a newcomer).
    if (found == peers.end() || !found->second.peer || found->second.connection != connection)
    {
        enet_packet_destroy(packet);
        return;
    }
    // The received packet goes out as it is: same bytes, no copy, only the flags are the relay's own.
    // (This ENet allocates a packet's data in one block with the packet and cannot resize it; the
    // relay never needs to.)
    packet->flags = kRelayFlags;
    int result = enet_peer_send(found->second.peer, 1, packet);
    if (result < 0)
    {
        spdlog::warn("[Network] ENet error {} while sending packet to peer {}.", result, peerId);
        DestroyUnsent(packet);
    }
}

void Network::PublishRelayTarget(uint16_t clientId, uint16_t peerId, uint32_t connection)
{
    relayTargets[clientId].store((uint64_t{peerId} << 32) | connection, std::memory_order_release);
}

void Network::WithdrawRelayTarget(uint16_t clientId)
{
    relayTargets[clientId].store(0, std::memory_order_release);
}

int32_t Network::MaxPlayers()
{
#ifdef LNF_BENCH_BUILD
    if (const char* value = std::getenv("LNF_BENCH_MAXPLAYERS"))
        return std::atoi(value);
#endif
    return Settings::GetInt("maxplayers");
}

void Network::PublishPeer(uint16_t peerId, const PeerSlot& slot)
{
    if (peerId >= kPeerIdCount || !slot.peer)
        return;
    PublishedPeer& target = published[peerId];
    target.roundTripTime.store(slot.peer->roundTripTime, std::memory_order_relaxed);
    target.lastReceiveTime.store(slot.peer->lastReceiveTime, std::memory_order_relaxed);
    target.state.store(kConnectedBit | slot.connection, std::memory_order_release);
}

void Network::PublishPeers(const ENetHost* host)
{
    // ENet keeps both values in whole milliseconds of its service clock: once per tick is enough,
    // and under load the worker cycles far more often than that.
    if (host->serviceTime == lastPublishTime)
        return;
    lastPublishTime = host->serviceTime;
    for (const auto& [peerId, slot] : peers)
    {
        if (slot.peer && peerId < kPeerIdCount)
        {
            published[peerId].roundTripTime.store(slot.peer->roundTripTime, std::memory_order_relaxed);
            published[peerId].lastReceiveTime.store(slot.peer->lastReceiveTime, std::memory_order_relaxed);
        }
    }
}

uint32_t Network::GetPeerRoundTripTime(uint16_t peerId) const
{
    if (peerId >= kPeerIdCount)
        return 0;
    return published[peerId].roundTripTime.load(std::memory_order_relaxed);
}

bool Network::WasPeerHeardWithin(uint16_t peerId, uint32_t connection, uint32_t milliseconds) const
{
    if (peerId >= kPeerIdCount)
        return false;
    const PublishedPeer& peer = published[peerId];
    uint64_t state = peer.state.load(std::memory_order_acquire);
    if (!(state & kConnectedBit) || static_cast<uint32_t>(state) != connection)
        return false;
    uint32_t lastReceive = peer.lastReceiveTime.load(std::memory_order_relaxed);
    // ENet's clock wraps; the distance is taken in 32-bit arithmetic as ENet does.
    return static_cast<uint32_t>(EnetTimeNow() - lastReceive) < milliseconds;
}

void Network::PublishPeerForTesting(uint16_t peerId, bool connected, uint32_t connection,
                                    uint32_t roundTripTime, uint32_t lastReceiveTime)
{
    if (peerId >= kPeerIdCount)
        return;
    published[peerId].roundTripTime.store(roundTripTime, std::memory_order_relaxed);
    published[peerId].lastReceiveTime.store(lastReceiveTime, std::memory_order_relaxed);
    published[peerId].state.store((connected ? kConnectedBit : 0) | connection, std::memory_order_release);
}

uint32_t Network::EnetTimeNow() const
{
    // ENet's clock counts milliseconds from its first reading in this process (it has no
    // enet_time_set); peers' receive times are on the same clock.
    return enetClockForTesting ? enetClockForTesting() : enet_time_get();
}

void Network::Process()
{
    ClientRegistry* registry = g_server ? g_server->clientRegistry.get() : nullptr;
    if (registry)
        ProcessConnects(*registry);
    ProcessIncoming(registry);
    if (registry)
        ProcessDisconnects(*registry);
}

void Network::ProcessConnects(ClientRegistry& registry)
{
    for (size_t pending = PendingCount(connects); pending > 0; --pending)
    {
        PeerEvent event;
        if (!connects.try_pop(event))
            break;

        Client* client = registry.AddClient(event.peerId, event.connection);
        if (!client)
        {
            spdlog::warn("[Network] No slot free for peer {}.", event.peerId);
            continue;
        }

        ServerInfoPacket info;
        info.episode = Settings::GetInt("episode");
        info.chat = Settings::GetBool("chat");
        info.serverId = client->serverId;
        const SessionRecord* record =
            g_server->sessions ? g_server->sessions->Find(client->sessionId) : nullptr;
        info.hostId = record ? record->hostId : kNoHost;
        info.hostData = 0;
        info.secret = Settings::GetString("secret");
        info.hostname = Settings::GetString("hostname");
        info.playerCount = static_cast<int32_t>(registry.GetPlayerCount());
        info.maxPlayers = MaxPlayers();
        registry.ForEachClient(
            [&info](Client* each)
            {
                info.players[each->serverId] = each->name;
                if (each->serverId == info.hostId)
                    info.hostData = each->hostData;
            });
        SendPacket(info, *client);
        spdlog::debug("[Network] Peer {} got server id {}.", event.peerId, client->serverId);
    }
}

void Network::ProcessIncoming(ClientRegistry* registry)
{
    for (size_t pending = PendingCount(incoming); pending > 0; --pending)
    {
        IncomingPacket element;
        if (!incoming.try_pop(element))
            break;
        if (registry && element.packet)
        {
            if (element.channel == 0)
            {
                PacketEnvelope envelope;
                if (NetPacket::DeserializeEnvelope(element.packet, envelope))
                {
                    // Only the connection that sent the packet counts as its sender: not a newcomer
                    // that took over the peer id meanwhile.
                    Client* sender = registry->GetClientByConnection(element.peerId, element.connection);
                    NetPacket::HandleFromClient(envelope, sender);
                }
            }
        }
        if (element.packet)
            enet_packet_destroy(element.packet);
    }
}

void Network::ProcessDisconnects(ClientRegistry& registry)
{
    for (size_t pending = PendingCount(disconnects); pending > 0; --pending)
    {
        PeerEvent event;
        if (!disconnects.try_pop(event))
            break;

        Client* client = registry.GetClientByConnection(event.peerId, event.connection);
        if (!client)
            continue;
        uint16_t serverId = client->serverId;
        spdlog::info("[Network] Client {}({}) disconnected.", client->name, serverId);
        if (g_server->resourceManager)
            QueuePlayerDisconnect(serverId, client->name, event.data);

        PlayerLeavePacket leave;
        leave.serverId = serverId;
        BroadcastPacket(leave);
        registry.RemoveClient(serverId);
    }
}

void Network::DropQueuedPackets()
{
    IncomingPacket in;
    while (incoming.try_pop(in))
    {
        if (in.packet)
            enet_packet_destroy(in.packet);
    }
    OutgoingPacket out;
    while (outgoing.try_pop(out))
        DestroyUnsent(out.packet);
}
