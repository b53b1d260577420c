#pragma once

// A game client for tests: one ENet peer to a server on 127.0.0.1, two channels, served by a thread
// of its own.
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
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <enet/enet.h>

#include "Network/NetPacket.h"
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
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // Connects once, to 127.0.0.1:port; false on timeout.
    bool Connect(uint16_t port, Duration timeout = kDefaultTimeout);
    bool IsConnected() const { return Get(connected) && !Get(disconnected); }

    // Channel 0, reliable, packed as the server packs its own.
    template <typename T> void Send(const T& packet) { SendRaw(0, PackPacket(packet)); }
    // Any bytes on any channel; channel 0 reliable and the others unsequenced unless `flags` are given.
    void SendRaw(uint8_t channel, const std::string& bytes, uint32_t flags);
    void SendRaw(uint8_t channel, const std::string& bytes)
    {
        SendRaw(channel, bytes, channel == 0 ? ENET_PACKET_FLAG_RELIABLE : ENET_PACKET_FLAG_UNSEQUENCED);
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
    bool WaitUntil(const std::function<bool(const Arrivals&)>& ready, Duration timeout = kDefaultTimeout);
    // The first packet received that satisfies `match`.
    std::optional<Received> WaitForPacket(const std::function<bool(const Received&)>& match,
                                          Duration timeout = kDefaultTimeout);
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
    bool Disconnect(uint32_t data = 0, Duration timeout = kDefaultTimeout);

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
    void Run();
    void Drop();

    ENetHost* host = nullptr;
    ENetPeer* peer = nullptr;
    std::thread thread;
    mutable std::mutex mutex; // guards the host and everything below
    std::condition_variable changed;
    Arrivals received;
    bool stop = false, connected = false, disconnected = false;
    std::optional<uint32_t> disconnectData;
    std::optional<size_t> packetsBefore;
};
