#include <algorithm>
#include <utility>

#include <spdlog/spdlog.h>

#include "Network/MessagePack.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptContextAccess.h"
#include "Scripting/ScriptVM.h"

// The VM half of ScriptContext: reading script values into a context and pushing a context's values
// onto a script stack. The algorithms here are language-neutral; each language supplies its stack
// primitives as a ScriptContextAccess (Lua: LuaContextAccess.cpp).

namespace
{
// Indexed by ScriptVMType; filled during static initialisation.
const ScriptContextAccess** AccessSlots()
{
    static const ScriptContextAccess* slots[3] = {};
    return slots;
}

const ScriptContextAccess* AccessFor(ScriptVM* vm)
{
    return vm == nullptr ? nullptr : FindScriptContextAccess(vm->GetType());
}

// Same rule as the Add functions: the next index is the count of `types`, nothing is overwritten.
template <typename V>
void Append(ScriptContext& context, std::map<uint64_t, V>& values, V value, ScriptValueType type)
{
    uint64_t index = context.types.size();
    values.emplace(index, std::move(value));
    context.types.emplace(index, type);
}

std::string PackTable(const std::vector<std::string>& keys, const std::vector<std::string>& values)
{
    MessagePack::StringBuffer buffer;
    MessagePack::Packer packer(buffer);
    packer.pack_array(2);
    packer.pack_array(MessagePack::CheckedSize(keys.size()));
    for (const std::string& key : keys)
        MessagePack::PackStr(packer, key);
    packer.pack_array(MessagePack::CheckedSize(values.size()));
    for (const std::string& value : values)
        MessagePack::PackStr(packer, value);
    return std::move(buffer.data);
}

std::string PackArray(const std::map<uint64_t, std::string>& elements)
{
    MessagePack::StringBuffer buffer;
    MessagePack::Packer packer(buffer);
    packer.pack_array(1);
    packer.pack_map(MessagePack::CheckedSize(elements.size()));
    for (const auto& [position, element] : elements)
    {
        packer.pack_uint64(position);
        MessagePack::PackStr(packer, element);
    }
    return std::move(buffer.data);
}

void ReadByteList(const msgpack::object& object, std::vector<std::string>& out)
{
    const msgpack::object_array& list = MessagePack::AsArray(object);
    out.reserve(list.size);
    for (uint32_t i = 0; i < list.size; ++i)
        out.push_back(MessagePack::AsBytes(list.ptr[i]));
}

bool DecodeTable(const std::string& bytes, std::vector<std::string>& keys, std::vector<std::string>& values)
{
    std::string error;
    bool ok = MessagePack::Read(
        bytes.data(), bytes.size(),
        [&](const msgpack::object& object)
        {
            const msgpack::object_array& parts = MessagePack::AsArray(object);
            if (parts.size > 0)
                ReadByteList(parts.ptr[0], keys);
            if (parts.size > 1)
                ReadByteList(parts.ptr[1], values);
        },
        error);
    if (!ok)
        spdlog::warn("[ScriptContext] Packet data deserialization failed: {}.", error);
    return ok;
}

bool DecodeArray(const std::string& bytes, std::map<uint64_t, std::string>& elements)
{
    std::string error;
    bool ok = MessagePack::Read(
        bytes.data(), bytes.size(),
        [&](const msgpack::object& object)
        {
            const msgpack::object_array& parts = MessagePack::AsArray(object);
            if (parts.size == 0)
                return;
            const msgpack::object_map& map = MessagePack::AsMap(parts.ptr[0]);
            for (uint32_t i = 0; i < map.size; ++i)
                elements.insert_or_assign(MessagePack::AsUInt64(map.ptr[i].key),
                                          MessagePack::AsBytes(map.ptr[i].val));
        },
        error);
    if (!ok)
        spdlog::warn("[ScriptContext] Packet data deserialization failed: {}.", error);
    return ok;
}

// A container may be read when it is not too deep and not one of the containers around it.
bool AdmitContainer(const std::vector<const void*>& path, const void* identity)
{
    if (path.size() >= ScriptContext::kMaxNesting)
    {
        spdlog::warn("[ScriptContext] Read - tables nested deeper than {} levels are not supported",
                     ScriptContext::kMaxNesting);
        return false;
    }
    if (identity != nullptr && std::find(path.begin(), path.end(), identity) != path.end())
    {
        spdlog::warn("[ScriptContext] Read - a table that contains itself is not supported");
        return false;
    }
    return true;
}
} // namespace

void RegisterScriptContextAccess(uint32_t vmType, const ScriptContextAccess* access)
{
    if (vmType < 3)
        AccessSlots()[vmType] = access;
}

const ScriptContextAccess* FindScriptContextAccess(uint32_t vmType)
{
    return vmType < 3 ? AccessSlots()[vmType] : nullptr;
}

void ScriptContext::Read(ScriptVM* vm, int32_t index)
{
    const ScriptContextAccess* access = AccessFor(vm);
    if (access == nullptr)
        return;
    ReadPath path;
    ReadValue(*access, vm, index, path);
}

bool ScriptContext::ReadArrayElements(ScriptVM* vm, int32_t position)
{
    const ScriptContextAccess* access = AccessFor(vm);
    if (access == nullptr)
        return true;
    ReadPath path;
    return access->WalkArgumentArray(vm, position, [&] { ReadValue(*access, vm, -1, path); });
}

void ScriptContext::ReadValue(const ScriptContextAccess& access, ScriptVM* vm, int32_t index, ReadPath& path)
{
    ScriptStackValue value = access.Inspect(vm, index);
    switch (value.kind)
    {
    case ScriptStackKind::None:
        return;
    case ScriptStackKind::Null:
        types.emplace(types.size(), Null);
        return;
    case ScriptStackKind::Bool:
        Append(*this, bools, value.boolean, Bool);
        return;
    case ScriptStackKind::Integer:
        // The low 32 bits, as a signed value.
        Append(*this, ints, static_cast<int32_t>(static_cast<uint32_t>(value.integer)), Int);
        return;
    case ScriptStackKind::Float:
        Append(*this, floats, ScriptNumberToFloat(value.number), Float);
        return;
    case ScriptStackKind::String:
        Append(*this, strings, std::string(value.text.substr(0, value.text.find('\0'))), String);
        return;
    case ScriptStackKind::Table:
        ReadTable(access, vm, index, value.identity, path);
        return;
    case ScriptStackKind::Array:
        ReadArray(access, vm, index, value.identity, path);
        return;
    case ScriptStackKind::Other:
        if (value.typeName != nullptr)
            spdlog::warn("[ScriptContext] Read - unsupported argument type: {}", value.typeName);
        else
            spdlog::warn("[ScriptContext] Read - unsupported argument type: {}", value.typeCode);
        return;
    }
}

void ScriptContext::ReadTable(const ScriptContextAccess& access, ScriptVM* vm, int32_t index,
                              const void* identity, ReadPath& path)
{
    if (!AdmitContainer(path, identity))
        return;
    std::vector<std::string> keys;
    std::vector<std::string> values;
    path.push_back(identity);
    bool walked = access.WalkTable(vm, index,
                                   [&]
                                   {
                                       ScriptContext key;
                                       key.ReadValue(access, vm, -2, path);
                                       keys.push_back(key.Pack());
                                       ScriptContext value;
                                       value.ReadValue(access, vm, -1, path);
                                       values.push_back(value.Pack());
                                   });
    path.pop_back();
    if (!walked)
    {
        spdlog::warn("[ScriptContext] Read - the script stack is full, a table was skipped");
        return;
    }
    Append(*this, tables, PackTable(keys, values), Table);
}

void ScriptContext::ReadArray(const ScriptContextAccess& access, ScriptVM* vm, int32_t index,
                              const void* identity, ReadPath& path)
{
    if (!AdmitContainer(path, identity))
        return;
    std::map<uint64_t, std::string> elements;
    path.push_back(identity);
    bool walked =
        access.WalkTable(vm, index,
                         [&]
                         {
                             ScriptStackValue position = access.Inspect(vm, -2);
                             ScriptContext element;
                             element.ReadValue(access, vm, -1, path);
                             // A position already present keeps its first bytes.
                             elements.emplace(static_cast<uint64_t>(position.integer), element.Pack());
                         });
    path.pop_back();
    if (!walked)
    {
        spdlog::warn("[ScriptContext] Read - the script stack is full, an array was skipped");
        return;
    }
    Append(*this, arrays, PackArray(elements), Array);
}

void ScriptContext::Push(ScriptVM* vm) const
{
    const ScriptContextAccess* access = AccessFor(vm);
    if (access == nullptr)
        return;
    // Every caller passes Count() as the argument count of the call that follows: either all the
    // values go onto the stack or none, and the VM is told so that the call fails cleanly.
    if (!access->EnsureStack(vm, types.size()))
    {
        spdlog::warn("[ScriptContext] Push - too many values for the script stack: {}", types.size());
        access->MarkIncompletePush(vm);
        return;
    }
    for (const auto& [index, type] : types)
        PushValue(*access, vm, index, type, 0);
}

void ScriptContext::PushValue(const ScriptContextAccess& access, ScriptVM* vm, uint64_t index, int32_t type,
                              size_t depth) const
{
    // A value missing from its map (possible in a received context) is pushed as a null.
    auto pushStored = [&](const auto& values, auto push)
    {
        if (auto found = values.find(index); found != values.end())
            push(found->second);
        else
            access.PushNull(vm);
    };
    switch (type)
    {
    case Null:
        access.PushNull(vm);
        return;
    case Int:
        pushStored(ints, [&](int32_t value) { access.PushInt(vm, value); });
        return;
    case Float:
        pushStored(floats, [&](float value) { access.PushFloat(vm, value); });
        return;
    case Bool:
        pushStored(bools, [&](bool value) { access.PushBool(vm, value); });
        return;
    case String:
        pushStored(strings, [&](const std::string& value) { access.PushString(vm, value); });
        return;
    case Table:
    {
        std::vector<std::string> keys;
        std::vector<std::string> values;
        auto found = tables.find(index);
        if (found != tables.end() && DecodeTable(found->second, keys, values))
            PushTable(access, vm, keys, values, depth);
        else
            access.PushNull(vm);
        return;
    }
    case Array:
    {
        std::map<uint64_t, std::string> elements;
        auto found = arrays.find(index);
        if (found != arrays.end() && DecodeArray(found->second, elements))
            PushArray(access, vm, elements, depth);
        else
            access.PushNull(vm);
        return;
    }
    default:
        spdlog::warn("[ScriptContext] Push - unsupported argument type: {}", type);
        access.PushNull(vm);
        return;
    }
}

void ScriptContext::PushSingle(const ScriptContextAccess& access, ScriptVM* vm, size_t depth) const
{
    if (types.size() == 1)
        PushValue(access, vm, types.begin()->first, types.begin()->second, depth);
    else
        access.PushNull(vm);
}

void ScriptContext::PushTable(const ScriptContextAccess& access, ScriptVM* vm,
                              const std::vector<std::string>& keys, const std::vector<std::string>& values,
                              size_t depth)
{
    if (depth >= kMaxNesting)
    {
        spdlog::warn("[ScriptContext] Push - tables nested deeper than {} levels are not supported",
                     kMaxNesting);
        access.PushNull(vm);
        return;
    }
    // The table, a key and a value; the table's own slot was reserved by the caller.
    if (!access.EnsureStack(vm, 3))
    {
        spdlog::warn("[ScriptContext] Push - the script stack is full, a table was left out");
        access.PushNull(vm);
        return;
    }
    access.PushNewTable(vm, keys.size());
    for (size_t i = 0; i < keys.size(); ++i)
    {
        // A pair whose key is not exactly one value has no key to store under: left out. A missing
        // value (values shorter than keys, or not exactly one value) is stored as a null.
        ScriptContext key;
        if (!key.Unpack(keys[i]) || key.Count() != 1)
            continue;
        ScriptContext value;
        if (i < values.size())
            value.Unpack(values[i]);
        key.PushSingle(access, vm, depth + 1);
        value.PushSingle(access, vm, depth + 1);
        access.TableInsert(vm);
    }
}

void ScriptContext::PushArray(const ScriptContextAccess& access, ScriptVM* vm,
                              const std::map<uint64_t, std::string>& positions, size_t depth)
{
    if (depth >= kMaxNesting)
    {
        spdlog::warn("[ScriptContext] Push - tables nested deeper than {} levels are not supported",
                     kMaxNesting);
        access.PushNull(vm);
        return;
    }
    // The array, an index and a value.
    if (!access.EnsureStack(vm, 3))
    {
        spdlog::warn("[ScriptContext] Push - the script stack is full, an array was left out");
        access.PushNull(vm);
        return;
    }
    access.PushNewArray(vm, positions.size());
    for (const auto& [position, bytes] : positions)
    {
        ScriptContext element;
        element.Unpack(bytes);
        access.BeginArrayElement(vm, position);
        element.PushSingle(access, vm, depth + 1);
        access.EndArrayElement(vm, position);
    }
}
