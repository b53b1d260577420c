#include "Scripting/ScriptContext.h"

#include <algorithm>
#include <type_traits>

#include <spdlog/spdlog.h>

#include "Network/MessagePack.h"

// The data half of ScriptContext: appending, Pack and Unpack. Reading from and pushing onto script
// VMs lives in ScriptContextVM.cpp.

namespace
{
// Appends never overwrite: a context built only by appending keeps `types` gap-free and each value
// map in step with it; a context taken from Unpack may not be, and then the first entry stays.
template <typename V>
void Append(ScriptContext& context, std::map<uint64_t, V>& values, V value, ScriptValueType type)
{
    uint64_t index = context.types.size();
    values.emplace(index, std::move(value));
    context.types.emplace(index, type);
}

using MessagePack::Packer;

void PackValue(Packer& packer, int32_t value)
{
    packer.pack_int32(value);
}

void PackValue(Packer& packer, float value)
{
    MessagePack::PackFloat32(packer, value);
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

template <typename V> void PackMap(Packer& packer, const std::map<uint64_t, V>& map)
{
    packer.pack_map(MessagePack::CheckedSize(map.size()));
    for (const auto& [index, value] : map)
    {
        packer.pack_uint64(index);
        PackValue(packer, value);
    }
}

// The members of the packed form, in their order.
enum Member : uint32_t
{
    kTypes,
    kInts,
    kFloats,
    kBools,
    kStrings,
    kTables,
    kArrays,
    kMemberCount,
};

uint32_t MemberOf(int32_t type)
{
    switch (type)
    {
    case Int:
        return kInts;
    case Float:
        return kFloats;
    case Bool:
        return kBools;
    case String:
        return kStrings;
    case Table:
        return kTables;
    case Array:
        return kArrays;
    default:
        return kMemberCount;
    }
}

// Reads a packed context in place and hands every map entry, in the order of the bytes, to
// sink(member, index, value), the value converted for its member: int32_t (types, ints), float,
// bool, or a view of the bytes (strings, tables, arrays). Fewer than seven members are fine, more
// are ignored; any other form throws the decoder's type mismatch.
template <typename Sink> void ReadPacked(MessagePack::Reader& reader, Sink&& sink)
{
    const uint32_t members = std::min<uint32_t>(reader.ArrayHeader(), kMemberCount);
    for (uint32_t member = 0; member < members; ++member)
    {
        const uint32_t entries = reader.MapHeader();
        for (uint32_t i = 0; i < entries; ++i)
        {
            const uint64_t index = MessagePack::AsUInt64(reader.Next());
            const msgpack::object value = reader.Next();
            if (member == kTypes || member == kInts)
                sink(member, index, MessagePack::AsInt32(value));
            else if (member == kFloats)
                sink(member, index, MessagePack::AsFloat(value));
            else if (member == kBools)
                sink(member, index, MessagePack::AsBool(value));
            else
                sink(member, index, MessagePack::AsByteView(value));
        }
    }
}

void WarnUnpackFailed(const std::string& error)
{
    spdlog::warn("[ScriptContext] Packet data deserialization failed: {}.", error);
}
} // namespace

void ScriptContext::AddString(const std::string& value)
{
    Append(*this, strings, value, String);
}

void ScriptContext::AddInt(int32_t value)
{
    Append(*this, ints, value, Int);
}

void ScriptContext::AddFloat(float value)
{
    Append(*this, floats, value, Float);
}

void ScriptContext::AddBool(bool value)
{
    Append(*this, bools, value, Bool);
}

std::string ScriptContext::Pack() const
{
    MessagePack::StringBuffer buffer;
    Packer packer(buffer);
    packer.pack_array(7);
    PackMap(packer, types);
    PackMap(packer, ints);
    PackMap(packer, floats);
    PackMap(packer, bools);
    PackMap(packer, strings);
    PackMap(packer, tables);
    PackMap(packer, arrays);
    return std::move(buffer.data);
}

bool ScriptContext::Unpack(std::string_view bytes)
{
    ScriptContext decoded;
    std::string error;
    bool ok = MessagePack::ReadInPlace(
        bytes,
        [&decoded](MessagePack::Reader& reader)
        {
            // A repeated key: the later value wins.
            ReadPacked(
                reader,
                [&decoded](uint32_t member, uint64_t index, auto value)
                {
                    using V = decltype(value);
                    if constexpr (std::is_same_v<V, int32_t>)
                        (member == kTypes ? decoded.types : decoded.ints).insert_or_assign(index, value);
                    else if constexpr (std::is_same_v<V, float>)
                        decoded.floats.insert_or_assign(index, value);
                    else if constexpr (std::is_same_v<V, bool>)
                        decoded.bools.insert_or_assign(index, value);
                    else
                    {
                        auto& map = member == kStrings  ? decoded.strings
                                    : member == kTables ? decoded.tables
                                                        : decoded.arrays;
                        map.insert_or_assign(index, std::string(value));
                    }
                });
        },
        error);
    if (!ok)
    {
        WarnUnpackFailed(error);
        return false;
    }
    *this = std::move(decoded);
    return true;
}

bool ScriptContext::UnpackSingle(std::string_view packed, Single& single)
{
    Single read;
    std::string error;
    bool ok = MessagePack::ReadInPlace(
        packed,
        [&read](MessagePack::Reader& reader)
        {
            // The same rules as Unpack, keeping only what a one-value context needs: whether `types`
            // holds exactly one index, and the last entry under it in the map of its kind (`types`
            // comes first, so the kind is known before the other maps are read).
            Value& value = read.value;
            ReadPacked(reader,
                       [&](uint32_t member, uint64_t index, auto entry)
                       {
                           using V = decltype(entry);
                           if constexpr (std::is_same_v<V, int32_t>)
                           {
                               if (member == kTypes)
                               {
                                   if (read.count == 0 || index == value.index)
                                   {
                                       read.count = std::max<size_t>(read.count, 1);
                                       value.index = index;
                                       value.type = entry;
                                   }
                                   else
                                       read.count = 2;
                                   return;
                               }
                           }
                           if (read.count == 0 || index != value.index || member != MemberOf(value.type))
                               return;
                           value.present = true;
                           if constexpr (std::is_same_v<V, int32_t>)
                               value.integer = entry;
                           else if constexpr (std::is_same_v<V, float>)
                               value.real = entry;
                           else if constexpr (std::is_same_v<V, bool>)
                               value.boolean = entry;
                           else
                               value.bytes = entry;
                       });
        },
        error);
    if (!ok)
    {
        WarnUnpackFailed(error);
        return false;
    }
    single = read;
    return true;
}

ScriptContext::Value ScriptContext::Find(uint64_t index, int32_t type) const
{
    Value value;
    value.index = index;
    value.type = type;
    auto find = [&](const auto& map, auto& into)
    {
        if (auto found = map.find(index); found != map.end())
        {
            value.present = true;
            into = found->second;
        }
    };
    switch (type)
    {
    case Int:
        find(ints, value.integer);
        break;
    case Float:
        find(floats, value.real);
        break;
    case Bool:
        find(bools, value.boolean);
        break;
    case String:
        find(strings, value.bytes);
        break;
    case Table:
        find(tables, value.bytes);
        break;
    case Array:
        find(arrays, value.bytes);
        break;
    default:
        break;
    }
    return value;
}
