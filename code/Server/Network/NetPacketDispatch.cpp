#include "Network/NetPacketDispatch.h"

#include <cstdint>
#include <string>

#include <spdlog/spdlog.h>

#include "Network/Client.h"
#include "Network/ClientRegistry.h"
#include "Network/NetPacket.h"
#include "Network/Network.h"
#include "Network/ServerEvents.h"
#include "Network/Session.h"
#include "Server/Server.h"

namespace
{
// Cuts a name to the longest a player may have, without leaving half a UTF-8 character at its end.
void CutName(std::string& name)
{
    size_t size = Client::kMaxNameBytes;
    for (int back = 0; back < 3 && size > 0 && (static_cast<uint8_t>(name[size]) & 0xc0) == 0x80; ++back)
        --size;
    name.resize(size);
}

void HandleClientInfo(const PacketEnvelope& envelope, Client* sender)
{
    ClientInfoPacket packet;
    if (!NetPacket::Deserialize(packet, envelope))
        return;
    // A name as long as the packet would make every later welcome packet just as long.
    const size_t received = packet.name.size();
    if (received > Client::kMaxNameBytes)
        CutName(packet.name);
    spdlog::debug("[Debug] ClientInfo Packet: {}", packet.name);
    if (received > packet.name.size())
        spdlog::debug("[Debug] ClientInfo name of {} bytes cut to {} bytes.", received, packet.name.size());
    if (!sender)
        return;

    sender->name = packet.name;
    PlayerJoinPacket join;
    join.serverId = sender->serverId;
    join.name = sender->name;
    if (g_server->network)
        g_server->network->BroadcastPacket(join);
    if (g_server->resourceManager)
        SendStartedResourceInfo(sender);
}

void HandleHostVote(const PacketEnvelope& envelope, Client* sender)
{
    HostVotePacket packet;
    if (!NetPacket::Deserialize(packet, envelope))
        return;
    spdlog::debug("[Debug] HostVote Packet: {}, {}", packet.hostId, packet.hostData);
    if (sender && g_server->sessions)
        g_server->sessions->HostVote(sender->sessionId, packet.hostId, packet.hostData);
}

void HandleHostClaim(const PacketEnvelope& envelope, Client* sender)
{
    HostClaimPacket packet;
    if (!NetPacket::Deserialize(packet, envelope))
        return;
    if (sender && g_server->sessions)
        g_server->sessions->ClaimHost(sender->sessionId, sender, packet.hostData);
}

void HandleHostRequest(const PacketEnvelope& envelope, Client* sender)
{
    HostRequestPacket packet;
    if (!NetPacket::Deserialize(packet, envelope))
        return;
    spdlog::debug("[Debug] HostRequest Packet");
    if (sender && g_server->sessions)
        g_server->sessions->HostRequest(sender->sessionId, sender);
}

void HandleEventTrigger(const PacketEnvelope& envelope, Client* sender)
{
    EventTriggerPacket packet;
    if (!NetPacket::Deserialize(packet, envelope))
        return;
    spdlog::debug("[Debug] EventTrigger Packet: {}", packet.eventName);
    if (sender && g_server->resourceManager)
        QueueRemoteEvent(packet.eventName, sender->serverId, packet.args);
}

void HandleChatMessage(const PacketEnvelope& envelope)
{
    ChatMessagePacket packet;
    if (!NetPacket::Deserialize(packet, envelope))
        return;
    spdlog::debug("[Debug] ChatMessage Packet: {}", packet.text);

    // Echoed to everybody, the sender too, whatever the `chat` setting says: that setting only
    // tells the clients whether to show a chat at all.
    ChatMessagePacket echo;
    echo.text = packet.text;
    if (g_server->network)
        g_server->network->BroadcastPacket(echo);
}

void HandleSessionActive(const PacketEnvelope& envelope, Client* sender)
{
    SessionActivePacket packet;
    if (!NetPacket::Deserialize(packet, envelope))
        return;
    spdlog::debug("[Debug] SessionActive Packet: {}", packet.active);
    if (sender)
        sender->sessionActive = packet.active;
}
} // namespace

void NetPacket::Handle(const PacketEnvelope& envelope, uint16_t peerId)
{
    Client* sender = nullptr;
    if (g_server && g_server->clientRegistry)
        sender = g_server->clientRegistry->GetClientByPeer(peerId);
    HandleFromClient(envelope, sender);
}

void NetPacket::HandleFromClient(const PacketEnvelope& envelope, Client* sender)
{
    if (!g_server)
        return;
    switch (envelope.identifier)
    {
    case static_cast<int32_t>(PacketId::ClientInfo):
        HandleClientInfo(envelope, sender);
        break;
    case static_cast<int32_t>(PacketId::HostVote):
        HandleHostVote(envelope, sender);
        break;
    case static_cast<int32_t>(PacketId::HostClaim):
        HandleHostClaim(envelope, sender);
        break;
    case static_cast<int32_t>(PacketId::HostRequest):
        HandleHostRequest(envelope, sender);
        break;
    case static_cast<int32_t>(PacketId::EventTrigger):
        HandleEventTrigger(envelope, sender);
        break;
    case static_cast<int32_t>(PacketId::ChatMessage):
        HandleChatMessage(envelope);
        break;
    case static_cast<int32_t>(PacketId::SessionActive):
        HandleSessionActive(envelope, sender);
        break;
    default:
        spdlog::warn("[NetPacket] Unknown packet identifier: {}", envelope.identifier);
        break;
    }
}
