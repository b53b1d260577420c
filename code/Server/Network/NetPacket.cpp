#include "Network/NetPacket.h"

#include <string>

#include <spdlog/spdlog.h>

#include "Network/MessagePack.h"
#include "Network/PacketFields.h"

// NetPacket::Handle lives in NetPacketDispatch.cpp.

namespace
{
void ReadValue(const msgpack::object& object, int32_t& value)
{
    value = MessagePack::AsInt32(object);
}

void ReadValue(const msgpack::object& object, uint16_t& value)
{
    value = MessagePack::AsUInt16(object);
}

void ReadValue(const msgpack::object& object, uint32_t& value)
{
    value = MessagePack::AsUInt32(object);
}

void ReadValue(const msgpack::object& object, uint64_t& value)
{
    value = MessagePack::AsUInt64(object);
}

void ReadValue(const msgpack::object& object, bool& value)
{
    value = MessagePack::AsBool(object);
}

void ReadValue(const msgpack::object& object, std::string& value)
{
    value = MessagePack::AsBytes(object);
}

template <typename K, typename V> void ReadValue(const msgpack::object& object, std::map<K, V>& map)
{
    const msgpack::object_map& entries = MessagePack::AsMap(object);
    std::map<K, V> result;
    for (uint32_t i = 0; i < entries.size; ++i)
    {
        K key{};
        ReadValue(entries.ptr[i].key, key);
        ReadValue(entries.ptr[i].val, result[key]); // a repeated key: the later value wins
    }
    map = std::move(result);
}

void ReadValue(const msgpack::object& object, std::vector<std::string>& values)
{
    const msgpack::object_array& elements = MessagePack::AsArray(object);
    std::vector<std::string> result(elements.size);
    for (uint32_t i = 0; i < elements.size; ++i)
        ReadValue(elements.ptr[i], result[i]);
    values = std::move(result);
}

// Fills `record` (holding its defaults) from the body array: one element per field, then the
// identifier. Missing trailing elements keep their defaults; extra ones are ignored.
template <typename T> void ReadRecord(const msgpack::object& object, T& record)
{
    const msgpack::object_array& elements = MessagePack::AsArray(object);
    uint32_t index = 0;
    auto next = [&](auto& field)
    {
        if (index < elements.size)
            ReadValue(elements.ptr[index], field);
        ++index;
    };
    ForEachField(record, next);
    next(record.identifier);
}

template <typename T> bool ReadBody(T& packet, const uint8_t* data, size_t length, std::string& error)
{
    T record = packet;
    bool ok = MessagePack::Read(
        reinterpret_cast<const char*>(data), length,
        [&record](const msgpack::object& object) { ReadRecord(object, record); }, error);
    if (ok)
        packet = std::move(record);
    return ok;
}
} // namespace

namespace NetPacket
{
bool DeserializeEnvelope(const uint8_t* data, size_t length, PacketEnvelope& envelope)
{
    int32_t identifier = 0;
    std::string body;
    std::string error;
    bool ok = MessagePack::Read(
        reinterpret_cast<const char*>(data), length,
        [&](const msgpack::object& object)
        {
            const msgpack::object_array& elements = MessagePack::AsArray(object);
            if (elements.size > 0)
                identifier = MessagePack::AsInt32(elements.ptr[0]);
            if (elements.size > 1)
                body = MessagePack::AsBytes(elements.ptr[1]);
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
    std::string error;
    if (ReadBody(packet, data, length, error))
        return true;
    spdlog::warn("[NetPacket] Game packet data deserialization failed: {}.", error);
    return false;
}

bool DeserializeGamePacket(GamePacket& packet, const ENetPacket* enetPacket)
{
    if (enetPacket == nullptr)
        return DeserializeGamePacket(packet, nullptr, 0);
    return DeserializeGamePacket(packet, enetPacket->data, enetPacket->dataLength);
}
} // namespace NetPacket
