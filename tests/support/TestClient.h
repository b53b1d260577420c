#pragma once

// A game client for tests and benchmarks: one ENet host with a single peer to a server on
// 127.0.0.1, two channels, served by a thread of its own.
//
// Typical use:
//
//     TestClient client;
//     ASSERT_TRUE(client.Connect(server.Port()));
//     auto info = client.WaitFor<ServerInfoPacket>();   // decoded welcome packet
//     ASSERT_TRUE(info);
//     client.Send(ClientInfoPacket{"alice"});           // channel 0, reliable, enveloped
//     auto join = client.WaitFor<PlayerJoinPacket>(
//         [](const PlayerJoinPacket& p) { return p.name == "alice"; });
//     client.SendGamePacket(1, 2, "xyz");               // channel 1, unsequenced
//     client.Disconnect();                              // graceful; the server sees data 0
//
// Everything received is recorded in arrival order, per packet: channel, raw bytes, the envelope
// identifier of a readable channel-0 packet, and the arrival time. Waiting calls look at the whole
// record (packets received before the call count too); ClearReceived() starts afresh. Each waiting
// call takes a timeout and returns false / nullopt when it runs out, so a test fails instead of
// hanging.
//
// Threads: the ENet host and peer are touched only by the client's own thread (and by Connect and
// the destructor while that thread does not run). Every public method may be called from any
// thread; sends are handed to the client's thread and leave within about a millisecond, in the
// order they were made. Sends made before Connect() has returned true are lost, as ENet drops
// packets for a peer that is not connected yet.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <enet/enet.h>

#include "Network/NetPacket.h"
#include "Network/PacketWriter.h"
#include "Network/Packets.h"

class TestClient
{
public:
    using Duration = std::chrono::milliseconds;
    using Clock = std::chrono::steady_clock;
    static constexpr Duration kDefaultTimeout{5000};

    struct Received
    {
        uint8_t channel = 0;
        uint32_t flags = 0; // ENet's flags as received (how the sender sent it)
        std::string bytes;
        // The envelope identifier of a channel-0 packet that reads as [int, ...]; none otherwise.
        std::optional<int32_t> identifier;
        Clock::time_point at;
    };

    TestClient();
    // Tells the server at once (an unacknowledged disconnect with data 0) when still connected.
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // Connects to 127.0.0.1:port and waits until ENet reports the connection. A client connects
    // once; false on timeout (the attempt is abandoned).
    bool Connect(uint16_t port, Duration timeout = kDefaultTimeout);
    bool IsConnected() const;

    // Channel 0, reliable: the packet record packed exactly as the server packs its own.
    template <typename T> void Send(const T& packet)
    {
        SendRaw(0, PackPacket(packet), ENET_PACKET_FLAG_RELIABLE);
    }
    // Any bytes on any channel with the given ENet flags (channel 1 defaults to unsequenced).
    void SendRaw(uint8_t channel, const std::string& bytes, uint32_t flags);
    void SendRaw(uint8_t channel, const std::string& bytes)
    {
        SendRaw(channel, bytes, channel == 0 ? ENET_PACKET_FLAG_RELIABLE : ENET_PACKET_FLAG_UNSEQUENCED);
    }
    // A channel-1 game packet {source, target, data} addressed to another client.
    void SendGamePacket(uint16_t sourceId, uint16_t targetId, const std::string& data);

    // Snapshot of everything received so far, in arrival order.
    std::vector<Received> Packets() const;
    std::vector<Received> Packets(uint8_t channel) const;
    void ClearReceived();

    // Every received channel-0 packet with T's identifier whose body decodes as T, in order.
    template <typename T> std::vector<T> All() const
    {
        std::vector<T> result;
        for (const Received& packet : Packets(0))
        {
            if (auto decoded = Decode<T>(packet))
                result.push_back(*decoded);
        }
        return result;
    }

    // Waits for a received packet of T's identifier that decodes and satisfies `match` (any, when
    // empty); returns the first such packet in arrival order.
    template <typename T>
    std::optional<T> WaitFor(const std::function<bool(const T&)>& match = {},
                             Duration timeout = kDefaultTimeout)
    {
        std::optional<T> found;
        WaitUntil(
            [&]
            {
                for (const Received& packet : received)
                {
                    if (auto decoded = Decode<T>(packet); decoded && (!match || match(*decoded)))
                    {
                        found = decoded;
                        return true;
                    }
                }
                return false;
            },
            timeout);
        return found;
    }

    // Waits until at least `count` packets of T's identifier satisfying `match` have arrived.
    template <typename T>
    bool WaitForCount(size_t count, const std::function<bool(const T&)>& match = {},
                      Duration timeout = kDefaultTimeout)
    {
        return WaitUntil(
            [&]
            {
                size_t seen = 0;
                for (const Received& packet : received)
                {
                    if (auto decoded = Decode<T>(packet); decoded && (!match || match(*decoded)))
                        ++seen;
                }
                return seen >= count;
            },
            timeout);
    }

    // Waits for any received packet that satisfies `match`.
    std::optional<Received> WaitForPacket(const std::function<bool(const Received&)>& match,
                                          Duration timeout = kDefaultTimeout);

    // Reads a received channel-0 packet as T: nullopt when its identifier is not T's or its body
    // does not decode (the reader then logs its warning).
    template <typename T> static std::optional<T> Decode(const Received& packet)
    {
        if (packet.channel != 0 || packet.identifier != T{}.identifier)
            return std::nullopt;
        PacketEnvelope envelope;
        if (!NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(packet.bytes.data()),
                                            packet.bytes.size(), envelope))
            return std::nullopt;
        T record;
        if (!NetPacket::Deserialize(record, envelope))
            return std::nullopt;
        return record;
    }

    // Waits until the server ends the connection (or it times out); then DisconnectData() holds the
    // data of ENet's disconnect event.
    bool WaitForDisconnect(Duration timeout = kDefaultTimeout);
    std::optional<uint32_t> DisconnectData() const;
    // How many packets had arrived when the disconnect came; none while connected.
    std::optional<size_t> PacketsBeforeDisconnect() const;

    // Graceful disconnect with the given data; waits for the server's acknowledgement. False when it
    // does not come in time (the peer is then reset).
    bool Disconnect(uint32_t data = 0, Duration timeout = kDefaultTimeout);
    // Vanishes without a word, like a crashed game: the server notices only by its time-out.
    void Drop();

private:
    struct Action
    {
        enum Kind
        {
            Send,
            Disconnect,
            Reset,
        } kind = Send;
        uint8_t channel = 0;
        uint32_t flags = 0;
        uint32_t data = 0;
        std::string bytes;
    };

    void Run();
    void RunActions();
    void HandleEvent(const ENetEvent& event);
    void Push(Action action);
    void Stop();
    // Waits, with the lock held while `ready` runs, until it is true or the timeout passes.
    bool WaitUntil(const std::function<bool()>& ready, Duration timeout);

    // Owned by the client's thread once it runs.
    ENetHost* host = nullptr;
    ENetPeer* peer = nullptr;
    std::thread thread;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Action> actions;
    std::vector<Received> received;
    bool stopRequested = false;
    bool connected = false;
    bool disconnected = false;
    std::optional<uint32_t> disconnectData;
    std::optional<size_t> packetsBeforeDisconnect;
};
