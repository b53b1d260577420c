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

// In-place readers of single MessagePack values for ReadGameTarget. Each takes only the encodings
// it knows and returns false for anything else, including a value cut short; the caller then lets
// the full decoder judge the bytes.
class PlainReader
{
public:
    PlainReader(const uint8_t* data, size_t length) : at(data), end(data + length) {}

    bool ArrayHeader(size_t& count)
    {
        if (at == end || (*at & 0xf0) != 0x90)
            return false;
        count = *at++ & 0x0f;
        return true;
    }

    bool UInt(uint64_t& value)
    {
        if (at == end)
            return false;
        const uint8_t type = *at++;
        if (type <= 0x7f)
        {
            value = type;
            return true;
        }
        if (type < 0xcc || type > 0xcf)
            return false;
        return BigEndian(size_t{1} << (type - 0xcc), value);
    }

    bool Int(int64_t& value)
    {
        if (at == end)
            return false;
        const uint8_t type = *at;
        if (type >= 0xe0)
        {
            ++at;
            value = static_cast<int8_t>(type);
            return true;
        }
        if (type < 0xd0 || type > 0xd2)
        {
            uint64_t unsignedValue = 0;
            if (!UInt(unsignedValue) || unsignedValue > static_cast<uint64_t>(INT64_MAX))
                return false;
            value = static_cast<int64_t>(unsignedValue);
            return true;
        }
        ++at;
        const size_t size = size_t{1} << (type - 0xd0);
        uint64_t bits = 0;
        if (!BigEndian(size, bits))
            return false;
        // Sign-extend from the encoded width.
        const unsigned shift = static_cast<unsigned>(64 - 8 * size);
        value = static_cast<int64_t>(bits << shift) >> shift;
        return true;
    }

    // A str or bin value, skipped.
    bool SkipBytes()
    {
        if (at == end)
            return false;
        const uint8_t type = *at++;
        uint64_t size = 0;
        if (type >= 0xa0 && type <= 0xbf)
            size = type & 0x1f;
        else if (type >= 0xd9 && type <= 0xdb)
        {
            if (!BigEndian(size_t{1} << (type - 0xd9), size))
                return false;
        }
        else if (type >= 0xc4 && type <= 0xc6)
        {
            if (!BigEndian(size_t{1} << (type - 0xc4), size))
                return false;
        }
        else
            return false;
        if (size > static_cast<uint64_t>(end - at))
            return false;
        at += size;
        return true;
    }

private:
    bool BigEndian(size_t size, uint64_t& value)
    {
        if (size > static_cast<size_t>(end - at))
            return false;
        value = 0;
        for (size_t i = 0; i < size; ++i)
            value = (value << 8) | *at++;
        return true;
    }

    const uint8_t* at;
    const uint8_t* end;
};

// The usual channel-1 form: [source, target, data, identifier] or a prefix of it, with nothing
// nested. Whatever this accepts, the full decoder accepts with the same target id.
bool ReadPlainGameTarget(const uint8_t* data, size_t length, uint16_t& targetId)
{
    PlainReader reader(data, length);
    size_t count = 0;
    if (!reader.ArrayHeader(count) || count > 4)
        return false;
    uint64_t source = 0, target = 0;
    int64_t identifier = 0;
    if (count > 0 && (!reader.UInt(source) || source > UINT16_MAX))
        return false;
    if (count > 1 && (!reader.UInt(target) || target > UINT16_MAX))
        return false;
    if (count > 2 && !reader.SkipBytes())
        return false;
    if (count > 3 && (!reader.Int(identifier) || identifier < INT32_MIN || identifier > INT32_MAX))
        return false;
    targetId = static_cast<uint16_t>(target);
    return true;
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
    std::string error;
    if (ReadBody(packet, data, length, error))
        return true;
    spdlog::warn("[NetPacket] Game packet data deserialization failed: {}.", error);
    return false;
}

bool ReadGameTarget(const uint8_t* data, size_t length, uint16_t& targetId)
{
    if (ReadPlainGameTarget(data, length, targetId))
        return true;
    GamePacket packet;
    if (!DeserializeGamePacket(packet, data, length))
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
