#include "Network/PacketWriter.h"

#include <type_traits>

#include "Network/MessagePack.h"
#include "Network/PacketFields.h"

namespace
{
using MessagePack::Packer;

// Each value in its smallest encoding; msgpack's packer already puts non-negative signed values in
// the unsigned families and strings in fixstr/str8/str16/str32.
void PackValue(Packer& packer, int32_t value)
{
    packer.pack_int32(value);
}

void PackValue(Packer& packer, uint16_t value)
{
    packer.pack_uint16(value);
}

void PackValue(Packer& packer, uint32_t value)
{
    packer.pack_uint32(value);
}

void PackValue(Packer& packer, uint64_t value)
{
    packer.pack_uint64(value);
}

void PackValue(Packer& packer, bool value)
{
    if (value)
        packer.pack_true();
    else
        packer.pack_false();
}

void PackValue(Packer& packer, const std::string& value)
{
    MessagePack::PackStr(packer, value);
}

template <typename K, typename V> void PackValue(Packer& packer, const std::map<K, V>& map)
{
    // std::map iterates in ascending key order, which the resource maps' readers expect.
    packer.pack_map(MessagePack::CheckedSize(map.size()));
    for (const auto& [key, value] : map)
    {
        PackValue(packer, key);
        PackValue(packer, value);
    }
}

void PackValue(Packer& packer, const std::vector<std::string>& values)
{
    packer.pack_array(MessagePack::CheckedSize(values.size()));
    for (const std::string& value : values)
        PackValue(packer, value);
}

template <typename T> std::string PackRecord(const T& packet)
{
    MessagePack::StringBuffer buffer;
    Packer packer(buffer);
    packer.pack_array(static_cast<uint32_t>(FieldCount<T>() + 1));
    ForEachField(packet, [&packer](const auto& field) { PackValue(packer, field); });
    PackValue(packer, packet.identifier);
    return std::move(buffer.data);
}
} // namespace

std::string PackBody(const ClientInfoPacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const ServerInfoPacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const PlayerJoinPacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const PlayerLeavePacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const HostVotePacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const HostClaimPacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const HostRequestPacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const HostResponsePacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const GamePacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const ResourceInfoPacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const ResourceStopPacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const EventTriggerPacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const ChatMessagePacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const KickReasonPacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const SessionHostPacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const SessionActivePacket& packet)
{
    return PackRecord(packet);
}

std::string PackBody(const PlayerNamePacket& packet)
{
    return PackRecord(packet);
}

std::string PackEnvelope(const PacketEnvelope& envelope)
{
    MessagePack::StringBuffer buffer;
    Packer packer(buffer);
    packer.pack_array(2);
    PackValue(packer, envelope.identifier);
    PackValue(packer, envelope.body);
    return std::move(buffer.data);
}
