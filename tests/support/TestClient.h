#pragma once

// A game client for tests: one ENet peer to a server on 127.0.0.1 (or ::1), two channels, served by
// a thread of its own.
//
//     TestClient client;
//     ASSERT_TRUE(client.Connect(server.Port()));
//     auto info = client.WaitFor<ServerInfoPacket>();   // the decoded welcome
//     client.Send(ClientInfoPacket{"alice"});           // channel 0, reliable, enveloped
//     client.Disconnect();                              // graceful, data 0
//
// Every packet received is kept in arrival order; waits look at all of them (earlier ones too) and
// give up after their timeout. Any thread may call any method; sends leave within a millisecond,
// in order.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <enet.h>

#include "Network/NetPacket.h"
#include "Network/Network.h"
#include "Network/PacketWriter.h"
#include "PacketPeek.h"

class TestClient
{
public:
    using Duration = std::chrono::milliseconds;
    static constexpr Duration kDefaultTimeout{5000};
    struct Received
    {
        uint8_t channel = 0;
        uint32_t flags = 0; // ENet's flags, as the server sent it
        std::string bytes;
    };
    using Arrivals = std::vector<Received>;

    TestClient() { enet_initialize(); }
    // Tells a server still connected (an unacknowledged disconnect, data 0).
    ~TestClient()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        if (connected && !disconnected)
            enet_peer_disconnect_now(peer, 0);
        if (host != nullptr)
            enet_host_destroy(host);
    }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // Connects once, to address:port (an IPv4 or IPv6 literal); false on timeout.
    bool Connect(uint16_t port, Duration timeout = kDefaultTimeout, const char* ip = "127.0.0.1")
    {
        ENetAddress address{};
        address.port = port;
        // This ENet's enet_address_set_host_ip reads IPv6 text only; enet_address_set_host takes an
        // IPv4 literal too, as ::ffff:a.b.c.d.
        if (enet_address_set_host(&address, ip) != 0)
            return false;
        if (host != nullptr || (host = enet_host_create(nullptr, 1, 2, 0, 0)) == nullptr ||
            (peer = enet_host_connect(host, &address, 2, 0)) == nullptr)
            return false;
        // Room for packets above the server's limit, which tests send to see them refused.
        host->maximumPacketSize = 2 * Network::kMaxIncomingPacketSize;
        thread = std::thread(&TestClient::Run, this);
        return WaitUntil([this](const Arrivals&) { return connected; }, timeout) || Drop();
    }
    bool IsConnected() const { return Get(connected) && !Get(disconnected); }

    // Channel 0, reliable, packed as the server packs its own.
    template <typename T> void Send(const T& packet) { SendRaw(0, PackPacket(packet)); }
    // Any bytes on any channel with ENet's `flags`: by default reliable on channel 0, else unsequenced.
    void SendRaw(uint8_t channel, const std::string& bytes, std::optional<uint32_t> flags = std::nullopt)
    {
        uint32_t byChannel = channel == 0 ? ENET_PACKET_FLAG_RELIABLE : ENET_PACKET_FLAG_UNSEQUENCED;
        std::lock_guard lock(mutex);
        ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), flags.value_or(byChannel));
        if (peer == nullptr || enet_peer_send(peer, channel, packet) < 0)
            enet_packet_destroy(packet);
    }

    Arrivals Packets() const { return Get(received); }
    Arrivals Packets(uint8_t channel) const
    {
        Arrivals all = Packets();
        std::erase_if(all, [&](const Received& packet) { return packet.channel != channel; });
        return all;
    }
    // The received channel-0 packets that read as T, in order.
    template <typename T> std::vector<T> All() const
    {
        std::vector<T> all;
        for (const Received& packet : Packets())
        {
            if (auto decoded = Decode<T>(packet))
                all.push_back(*decoded);
        }
        return all;
    }
    // Waits until `ready` holds for the packets received so far.
    bool WaitUntil(const std::function<bool(const Arrivals&)>& ready, Duration timeout = kDefaultTimeout)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return ready(received); });
    }
    // The first packet received that satisfies `match`.
    std::optional<Received> WaitForPacket(const std::function<bool(const Received&)>& match,
                                          Duration timeout = kDefaultTimeout)
    {
        std::optional<Received> found;
        auto first = [&](const Arrivals& all)
        {
            auto it = std::find_if(all.begin(), all.end(), match);
            if (it != all.end())
                found = *it;
            return found.has_value();
        };
        WaitUntil(first, timeout);
        return found;
    }
    // The first received T that satisfies `match` (any T when empty).
    template <typename T>
    std::optional<T> WaitFor(const std::function<bool(const T&)>& match = {},
                             Duration timeout = kDefaultTimeout)
    {
        auto found = WaitForPacket(
            [&](const Received& packet) { return Decode<T>(packet, match).has_value(); }, timeout);
        return found ? Decode<T>(*found) : std::nullopt;
    }
    // A channel-0 packet as T if it reads as T and satisfies `match`, without a warning for another T.
    template <typename T>
    static std::optional<T> Decode(const Received& packet, const std::function<bool(const T&)>& match = {})
    {
        PacketEnvelope envelope;
        T record;
        if (packet.channel != 0 || PeekEnvelopeIdentifier(packet.bytes) != T{}.identifier ||
            !NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(packet.bytes.data()),
                                            packet.bytes.size(), envelope) ||
            !NetPacket::Deserialize(record, envelope) || (match && !match(record)))
            return std::nullopt;
        return record;
    }

    // Waits until the server ends the connection; then DisconnectData() holds the event's data and
    // PacketsBeforeDisconnect() how many packets had arrived before it.
    bool WaitForDisconnect(Duration timeout = kDefaultTimeout)
    {
        return WaitUntil([this](const Arrivals&) { return disconnected; }, timeout);
    }
    std::optional<uint32_t> DisconnectData() const { return Get(disconnectData); }
    std::optional<size_t> PacketsBeforeDisconnect() const { return Get(packetsBefore); }
    // Graceful disconnect; false when the server does not acknowledge in time (the peer is then reset).
    bool Disconnect(uint32_t data = 0, Duration timeout = kDefaultTimeout)
    {
        {
            std::lock_guard lock(mutex);
            if (!connected || disconnected)
                return false;
            enet_peer_disconnect(peer, data);
        }
        return WaitForDisconnect(timeout) || Drop();
    }

    // Vanishes as a crashed game does, without telling the server.
    void Vanish() { Drop(); }

    // Earlier names, kept until their callers use the ones above.
    void SendGamePacket(uint16_t sourceId, uint16_t targetId, const std::string& data)
    {
        SendRaw(1, PackBody(GamePacket{sourceId, targetId, data}));
    }
    template <typename T>
    bool WaitForCount(size_t count, const std::function<bool(const T&)>& match = {},
                      Duration timeout = kDefaultTimeout)
    {
        auto matches = [&](const Received& packet) { return Decode<T>(packet, match).has_value(); };
        return WaitUntil([&](const Arrivals& all)
                         { return size_t(std::count_if(all.begin(), all.end(), matches)) >= count; },
                         timeout);
    }

private:
    template <typename T> T Get(const T& field) const
    {
        std::lock_guard lock(mutex);
        return field;
    }
    void Run()
    {
        for (std::unique_lock lock(mutex); !stop; lock.lock())
        {
            for (ENetEvent event; enet_host_service(host, &event, 0) > 0; changed.notify_all())
            {
                connected = connected || event.type == ENET_EVENT_TYPE_CONNECT;
                // A time-out has an event type of its own in this ENet.
                bool ended = event.type == ENET_EVENT_TYPE_DISCONNECT ||
                             event.type == ENET_EVENT_TYPE_DISCONNECT_TIMEOUT;
                if (ended && !std::exchange(disconnected, true))
                {
                    disconnectData = event.data;
                    packetsBefore = received.size();
                }
                if (event.type != ENET_EVENT_TYPE_RECEIVE)
                    continue;
                auto* data = reinterpret_cast<const char*>(event.packet->data);
                received.push_back(
                    {event.channelID, event.packet->flags, {data, data + event.packet->dataLength}});
                enet_packet_destroy(event.packet);
            }
            lock.unlock();
            std::this_thread::sleep_for(Duration(1));
        }
    }
    // Vanishes without a word, as a crashed game does; false, for `return ... || Drop();`.
    bool Drop()
    {
        std::lock_guard lock(mutex);
        enet_peer_reset(peer);
        if (!std::exchange(disconnected, true))
            packetsBefore = received.size();
        changed.notify_all();
        return false;
    }

    ENetHost* host = nullptr;
    ENetPeer* peer = nullptr;
    std::thread thread;
    std::atomic<bool> stop = false;
    mutable std::mutex mutex; // guards the ENet host and peer, and everything below
    std::condition_variable changed;
    Arrivals received;
    bool connected = false, disconnected = false;
    std::optional<uint32_t> disconnectData;
    std::optional<size_t> packetsBefore;
};
