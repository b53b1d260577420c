#include "InProcessServer.h"

#include <stdexcept>

#include "Server/Platform.h"
#include "Server/Settings.h"

InProcessServer::InProcessServer(const SettingsList& settings)
{
    Settings::ResetForTesting();
    Settings::SetDefaults(false);
    for (const auto& [key, value] : settings)
    {
        if (!Settings::SetFromString(key, value))
            throw std::invalid_argument("InProcessServer: unknown setting " + key);
    }
    server.network = std::make_unique<Network>(NetworkWorker::None);
    server.clientRegistry = std::make_unique<ClientRegistry>();
    server.sessions = std::make_unique<Session>();
}

InProcessServer::~InProcessServer()
{
    SetTimeSourceForTesting({});
}

void InProcessServer::Connect(uint16_t peerId, uint32_t connection)
{
    server.network->connects.push(PeerEvent{peerId, 0, connection});
}

void InProcessServer::Disconnect(uint16_t peerId, uint32_t connection, uint32_t data)
{
    server.network->disconnects.push(PeerEvent{peerId, data, connection});
}

void InProcessServer::ReceiveRaw(uint16_t peerId, uint32_t connection, uint8_t channel,
                                 const std::string& bytes)
{
    ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    server.network->incoming.push(IncomingPacket{channel, peerId, packet, connection});
}

std::vector<InProcessServer::Sent> InProcessServer::Drain()
{
    std::vector<Sent> result;
    OutgoingPacket element;
    while (server.network->outgoing.try_pop(element))
    {
        Sent sent;
        sent.channel = element.channel;
        sent.peerId = element.peerId;
        sent.broadcast = element.broadcast;
        if (element.packet)
        {
            sent.flags = element.packet->flags;
            sent.bytes.assign(reinterpret_cast<const char*>(element.packet->data),
                              element.packet->dataLength);
            enet_packet_destroy(element.packet);
        }
        if (sent.channel == 0)
            sent.identifier = PeekEnvelopeIdentifier(sent.bytes);
        result.push_back(std::move(sent));
    }
    return result;
}
