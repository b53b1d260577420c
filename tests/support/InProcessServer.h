#pragma once

// The network side of the server inside the test process, without sockets: a `Server` (which sets
// g_server) holding a Network without worker thread, a ClientRegistry and a Session map, on
// settings defaults plus the test's overrides. The test plays the network worker: it queues
// connects, received packets and disconnects, runs a pass, and drains what the server queued to
// send.
//
//     InProcessServer server({{"maxplayers", "2"}});
//     server.Connect(0, 1);                                   // peer 0, connection 1
//     server.Receive(0, 1, ClientInfoPacket{"alice"});        // channel 0, enveloped
//     server.Pass();                                          // Network::Process
//     auto sent = server.Drain();                             // everything queued to send
//     auto join = InProcessServer::Decode<PlayerJoinPacket>(sent.at(1));
//
// Settings are reset on construction; the controlled clock (if any) is restored on destruction.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Network/ClientRegistry.h"
#include "Network/NetPacket.h"
#include "Network/Network.h"
#include "Network/PacketWriter.h"
#include "Network/Session.h"
#include "PacketPeek.h"
#include "Server/Server.h"

class InProcessServer
{
public:
    using SettingsList = std::initializer_list<std::pair<std::string, std::string>>;

    struct Sent
    {
        uint8_t channel = 0;
        uint16_t peerId = 0;
        bool broadcast = false;
        uint32_t flags = 0;
        std::string bytes;
        std::optional<int32_t> identifier; // channel 0 only
    };

    explicit InProcessServer(const SettingsList& settings = {});
    ~InProcessServer();
    InProcessServer(const InProcessServer&) = delete;
    InProcessServer& operator=(const InProcessServer&) = delete;

    Network& network() { return *server.network; }
    ClientRegistry& registry() { return *server.clientRegistry; }
    Session& sessions() { return *server.sessions; }

    // What the worker would queue.
    void Connect(uint16_t peerId, uint32_t connection);
    void Disconnect(uint16_t peerId, uint32_t connection, uint32_t data = 0);
    void ReceiveRaw(uint16_t peerId, uint32_t connection, uint8_t channel, const std::string& bytes);
    template <typename T> void Receive(uint16_t peerId, uint32_t connection, const T& packet)
    {
        ReceiveRaw(peerId, connection, 0, PackPacket(packet));
    }

    // One Network::Process.
    void Pass() { server.network->Process(); }

    // Takes everything queued on the outgoing queue, in order (the ENet packets are freed).
    std::vector<Sent> Drain();

    // Reads a sent channel-0 packet as T; nullopt for another identifier or an unreadable body.
    template <typename T> static std::optional<T> Decode(const Sent& sent)
    {
        if (sent.channel != 0 || sent.identifier != T{}.identifier)
            return std::nullopt;
        PacketEnvelope envelope;
        if (!NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(sent.bytes.data()),
                                            sent.bytes.size(), envelope))
            return std::nullopt;
        T record;
        if (!NetPacket::Deserialize(record, envelope))
            return std::nullopt;
        return record;
    }

    // Decodes every sent packet of type T, with its addressee.
    template <typename T> static std::vector<std::pair<Sent, T>> All(const std::vector<Sent>& sent)
    {
        std::vector<std::pair<Sent, T>> result;
        for (const Sent& each : sent)
        {
            if (auto decoded = Decode<T>(each))
                result.emplace_back(each, *decoded);
        }
        return result;
    }

    Server server;
};
