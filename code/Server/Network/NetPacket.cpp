#include "Network/NetPacket.h"

#include <cstdint>
#include <string>
#include <string_view>

#include <spdlog/spdlog.h>

#include "Network/MessagePack.h"
#include "Network/PacketFields.h"

// NetPacket::Handle lives in NetPacketDispatch.cpp.

namespace
{
// Received packets are read in place: no tree of decoded values is built, so what a packet costs
// while it is read stays close to its own size whatever it holds.
using MessagePack::Reader;

void ReadValue(Reader& reader, int32_t& value)
{
    value = MessagePack::AsInt32(reader.Next());
}

void ReadValue(Reader& reader, uint16_t& value)
{
    value = MessagePack::AsUInt16(reader.Next());
}

void ReadValue(Reader& reader, uint32_t& value)
{
    value = MessagePack::AsUInt32(reader.Next());
}

void ReadValue(Reader& reader, uint64_t& value)
{
    value = MessagePack::AsUInt64(reader.Next());
}

void ReadValue(Reader& reader, bool& value)
{
    value = MessagePack::AsBool(reader.Next());
}

void ReadValue(Reader& reader, std::string& value)
{
    value = reader.Bytes();
}

void ReadValue(Reader& reader, std::string_view& value)
{
    value = reader.Bytes();
}

// A GamePacket whose data stays in the received bytes: the network worker reads channel-1 packets
// without copying them.
struct GamePacketView
{
    uint16_t sourceId = 0;
    uint16_t targetId = 0;
    std::string_view data;
    int32_t identifier = GamePacket{}.identifier;
};

template <typename Visit> void ForEachField(GamePacketView& packet, Visit&& visit)
{
    visit(packet.sourceId);
    visit(packet.targetId);
    visit(packet.data);
}

template <typename K, typename V> void ReadValue(Reader& reader, std::map<K, V>& map)
{
    const uint32_t entries = reader.MapHeader();
    std::map<K, V> result;
    for (uint32_t i = 0; i < entries; ++i)
    {
        K key{};
        ReadValue(reader, key);
        ReadValue(reader, result[key]); // a repeated key: the later value wins
    }
    map = std::move(result);
}

void ReadValue(Reader& reader, std::vector<std::string>& values)
{
    std::vector<std::string> result(reader.ArrayHeader());
    for (std::string& value : result)
        ReadValue(reader, value);
    values = std::move(result);
}

// Fills `record` (holding its defaults) from the body array: one element per field, then the
// identifier. Missing trailing elements keep their defaults; extra ones are ignored.
template <typename T> void ReadRecord(Reader& reader, T& record)
{
    const uint32_t elements = reader.ArrayHeader();
    uint32_t index = 0;
    auto next = [&](auto& field)
    {
        if (index < elements)
            ReadValue(reader, field);
        ++index;
    };
    ForEachField(record, next);
    next(record.identifier);
}

template <typename T> bool ReadBody(T& packet, const uint8_t* data, size_t length, std::string& error)
{
    T record = packet;
    bool ok = MessagePack::ReadInPlace(
        std::string_view(reinterpret_cast<const char*>(data), length),
        [&record](Reader& reader) { ReadRecord(reader, record); }, error);
    if (ok)
        packet = std::move(record);
    return ok;
}
// A channel-1 payload into a GamePacket or a GamePacketView; false after the warning.
template <typename T> bool ReadGameBody(T& packet, const uint8_t* data, size_t length)
{
    std::string error;
    if (ReadBody(packet, data, length, error))
        return true;
    spdlog::warn("[NetPacket] Game packet data deserialization failed: {}.", error);
    return false;
}
} // namespace

namespace NetPacket
{
bool DeserializeEnvelope(const uint8_t* data, size_t length, PacketEnvelope& envelope)
{
    int32_t identifier = 0;
    std::string body;
    std::string error;
    bool ok = MessagePack::ReadInPlace(
        std::string_view(reinterpret_cast<const char*>(data), length),
        [&](Reader& reader)
        {
            const uint32_t elements = reader.ArrayHeader();
            if (elements > 0)
                identifier = MessagePack::AsInt32(reader.Next());
            if (elements > 1)
                body = reader.Bytes();
        },
        error);
    if (!ok)
    {
        spdlog::warn("[NetPacket] Packet deserialization failed: {}.", error);
        return false;
    }
    envelope = PacketEnvelope();
    envelope.identifier = identifier;
    envelope.body = std::move(body);
    return true;
}

bool DeserializeEnvelope(const ENetPacket* packet, PacketEnvelope& envelope)
{
    if (packet == nullptr)
        return DeserializeEnvelope(nullptr, 0, envelope);
    return DeserializeEnvelope(packet->data, packet->dataLength, envelope);
}

template <typename T> bool Deserialize(T& packet, const PacketEnvelope& envelope)
{
    std::string error;
    if (ReadBody(packet, reinterpret_cast<const uint8_t*>(envelope.body.data()), envelope.body.size(), error))
        return true;
    spdlog::warn("[NetPacket] Packet data deserialization failed: {}.", error);
    return false;
}

template bool Deserialize(ClientInfoPacket&, const PacketEnvelope&);
template bool Deserialize(ServerInfoPacket&, const PacketEnvelope&);
template bool Deserialize(PlayerJoinPacket&, const PacketEnvelope&);
template bool Deserialize(PlayerLeavePacket&, const PacketEnvelope&);
template bool Deserialize(HostVotePacket&, const PacketEnvelope&);
template bool Deserialize(HostClaimPacket&, const PacketEnvelope&);
template bool Deserialize(HostRequestPacket&, const PacketEnvelope&);
template bool Deserialize(HostResponsePacket&, const PacketEnvelope&);
template bool Deserialize(GamePacket&, const PacketEnvelope&);
template bool Deserialize(ResourceInfoPacket&, const PacketEnvelope&);
template bool Deserialize(ResourceStopPacket&, const PacketEnvelope&);
template bool Deserialize(EventTriggerPacket&, const PacketEnvelope&);
template bool Deserialize(ChatMessagePacket&, const PacketEnvelope&);
template bool Deserialize(KickReasonPacket&, const PacketEnvelope&);
template bool Deserialize(SessionHostPacket&, const PacketEnvelope&);
template bool Deserialize(SessionActivePacket&, const PacketEnvelope&);
template bool Deserialize(PlayerNamePacket&, const PacketEnvelope&);

bool DeserializeGamePacket(GamePacket& packet, const uint8_t* data, size_t length)
{
    return ReadGameBody(packet, data, length);
}

bool ReadGameTarget(const uint8_t* data, size_t length, uint16_t& targetId)
{
    GamePacketView packet;
    if (!ReadGameBody(packet, data, length))
        return false;
    targetId = packet.targetId;
    return true;
}

bool DeserializeGamePacket(GamePacket& packet, const ENetPacket* enetPacket)
{
    if (enetPacket == nullptr)
        return DeserializeGamePacket(packet, nullptr, 0);
    return DeserializeGamePacket(packet, enetPacket->data, enetPacket->dataLength);
}
} // namespace NetPacket
