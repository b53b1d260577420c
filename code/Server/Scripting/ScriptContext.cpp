#include "Scripting/ScriptContext.h"

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

void ReadValue(const msgpack::object& object, int32_t& value)
{
    value = MessagePack::AsInt32(object);
}

void ReadValue(const msgpack::object& object, float& value)
{
    value = MessagePack::AsFloat(object);
}

void ReadValue(const msgpack::object& object, bool& value)
{
    value = MessagePack::AsBool(object);
}

void ReadValue(const msgpack::object& object, std::string& value)
{
    value = MessagePack::AsBytes(object);
}

template <typename V> void ReadMap(const msgpack::object& object, std::map<uint64_t, V>& map)
{
    const msgpack::object_map& entries = MessagePack::AsMap(object);
    for (uint32_t i = 0; i < entries.size; ++i)
    {
        V value{};
        ReadValue(entries.ptr[i].val, value);
        // A repeated key: the later value wins.
        map.insert_or_assign(MessagePack::AsUInt64(entries.ptr[i].key), std::move(value));
    }
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

bool ScriptContext::Unpack(const std::string& bytes)
{
    ScriptContext decoded;
    std::string error;
    bool ok = MessagePack::Read(
        bytes.data(), bytes.size(),
        [&decoded](const msgpack::object& object)
        {
            const msgpack::object_array& members = MessagePack::AsArray(object);
            // Fewer than seven members leave the rest empty; more are ignored.
            const uint32_t count = members.size;
            if (count > 0)
                ReadMap(members.ptr[0], decoded.types);
            if (count > 1)
                ReadMap(members.ptr[1], decoded.ints);
            if (count > 2)
                ReadMap(members.ptr[2], decoded.floats);
            if (count > 3)
                ReadMap(members.ptr[3], decoded.bools);
            if (count > 4)
                ReadMap(members.ptr[4], decoded.strings);
            if (count > 5)
                ReadMap(members.ptr[5], decoded.tables);
            if (count > 6)
                ReadMap(members.ptr[6], decoded.arrays);
        },
        error);
    if (!ok)
    {
        spdlog::warn("[ScriptContext] Packet data deserialization failed: {}.", error);
        return false;
    }
    *this = std::move(decoded);
    return true;
}
