#pragma once

#include <string>

#include "Network/Packets.h"

// Writers of the game packets, byte for byte: each value in its smallest MessagePack encoding
// (unsigned families for non-negative numbers, str never bin). A body is the array of the packet's
// fields followed by its identifier; a channel-0 payload is [identifier, body as str].
std::string PackBody(const ClientInfoPacket& packet);
std::string PackBody(const ServerInfoPacket& packet);
std::string PackBody(const PlayerJoinPacket& packet);
std::string PackBody(const PlayerLeavePacket& packet);
std::string PackBody(const HostVotePacket& packet);
std::string PackBody(const HostClaimPacket& packet);
std::string PackBody(const HostRequestPacket& packet);
std::string PackBody(const HostResponsePacket& packet);
std::string PackBody(const GamePacket& packet); // the whole channel-1 payload
std::string PackBody(const ResourceInfoPacket& packet);
std::string PackBody(const ResourceStopPacket& packet);
std::string PackBody(const EventTriggerPacket& packet);
std::string PackBody(const ChatMessagePacket& packet);
std::string PackBody(const KickReasonPacket& packet);
std::string PackBody(const SessionHostPacket& packet);
std::string PackBody(const SessionActivePacket& packet);
std::string PackBody(const PlayerNamePacket& packet);

std::string PackEnvelope(const PacketEnvelope& envelope);

// The whole channel-0 payload of a packet record.
template <typename T>
std::string PackPacket(const T& packet)
{
    return PackEnvelope(PacketEnvelope(packet.kind, packet.identifier, PackBody(packet)));
}
