#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

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

void WarnUndecodable(const std::string& error)
{
    spdlog::warn("[ScriptContext] Packet data deserialization failed: {}.", error);
}

// Room for a container being pushed: the container, a key or index, and a value. False, with the
// warning and a null in the container's place, when it is too deep or the stack cannot grow.
bool AdmitPush(const ScriptContextAccess& access, ScriptVM* vm, size_t depth, const char* what)
{
    if (depth >= ScriptContext::kMaxNesting)
    {
        spdlog::warn("[ScriptContext] Push - tables nested deeper than {} levels are not supported",
                     ScriptContext::kMaxNesting);
        access.PushNull(vm);
        return false;
    }
    // The container's own slot was reserved by the caller.
    if (!access.EnsureStack(vm, 3))
    {
        spdlog::warn("[ScriptContext] Push - the script stack is full, {} was left out", what);
        access.PushNull(vm);
        return false;
    }
    return true;
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
        PushValue(*access, vm, Find(index, type), 0);
}

void ScriptContext::PushValue(const ScriptContextAccess& access, ScriptVM* vm, const Value& value,
                              size_t depth)
{
    // A value missing from its map (possible in a received context) is pushed as a null.
    if (value.type >= Int && value.type <= String && !value.present)
    {
        access.PushNull(vm);
        return;
    }
    switch (value.type)
    {
    case Null:
        access.PushNull(vm);
        return;
    case Int:
        access.PushInt(vm, value.integer);
        return;
    case Float:
        access.PushFloat(vm, value.real);
        return;
    case Bool:
        access.PushBool(vm, value.boolean);
        return;
    case String:
        access.PushString(vm, value.bytes);
        return;
    case Table:
        PushTable(access, vm, value.bytes, depth);
        return;
    case Array:
        PushArray(access, vm, value.bytes, depth);
        return;
    default:
        spdlog::warn("[ScriptContext] Push - unsupported argument type: {}", value.type);
        access.PushNull(vm);
        return;
    }
}

void ScriptContext::PushSingle(const ScriptContextAccess& access, ScriptVM* vm, const Single& single,
                               size_t depth)
{
    if (single.count == 1)
        PushValue(access, vm, single.value, depth);
    else
        access.PushNull(vm);
}

void ScriptContext::PushTable(const ScriptContextAccess& access, ScriptVM* vm, std::string_view packed,
                              size_t depth)
{
    // The whole table is checked before anything is pushed: a list of keys and a list of values,
    // each of str or bin. Readers are then kept at the first key and the first value.
    MessagePack::Reader keys(packed);
    MessagePack::Reader values(packed);
    uint32_t keyCount = 0;
    uint32_t valueCount = 0;
    std::string error;
    auto list = [](MessagePack::Reader& reader, MessagePack::Reader& first, uint32_t& count)
    {
        count = reader.ArrayHeader();
        first = reader;
        for (uint32_t i = 0; i < count; ++i)
            reader.Bytes();
    };
    bool ok = MessagePack::ReadInPlace(
        packed,
        [&](MessagePack::Reader& reader)
        {
            const uint32_t parts = reader.ArrayHeader();
            if (parts > 0)
                list(reader, keys, keyCount);
            if (parts > 1)
                list(reader, values, valueCount);
        },
        error);
    if (!ok)
    {
        WarnUndecodable(error);
        access.PushNull(vm);
        return;
    }
    if (!AdmitPush(access, vm, depth, "a table"))
        return;
    access.PushNewTable(vm, keyCount);
    for (uint32_t i = 0; i < keyCount; ++i)
    {
        const std::string_view keyBytes = keys.Bytes();
        const std::string_view valueBytes = i < valueCount ? values.Bytes() : std::string_view();
        // A pair whose key is not exactly one value has no key to store under: left out. A missing
        // value (values shorter than keys, or not exactly one value) is stored as a null.
        Single key;
        if (!UnpackSingle(keyBytes, key) || key.count != 1)
            continue;
        Single value;
        if (i < valueCount)
            UnpackSingle(valueBytes, value);
        PushSingle(access, vm, key, depth + 1);
        PushSingle(access, vm, value, depth + 1);
        access.TableInsert(vm);
    }
}

void ScriptContext::PushArray(const ScriptContextAccess& access, ScriptVM* vm, std::string_view packed,
                              size_t depth)
{
    // Checked whole first: a map from position to str or bin. Positions go in ascending order, and a
    // repeated one takes its last element; the packer writes them ascending and once each, so only
    // other senders' arrays need the sorted copy of (position, view) pairs.
    MessagePack::Reader elements(packed);
    uint32_t count = 0;
    bool ascending = true;
    uint64_t previous = 0;
    std::string error;
    bool ok = MessagePack::ReadInPlace(
        packed,
        [&](MessagePack::Reader& reader)
        {
            if (reader.ArrayHeader() == 0)
                return;
            count = reader.MapHeader();
            elements = reader;
            for (uint32_t i = 0; i < count; ++i)
            {
                const uint64_t position = MessagePack::AsUInt64(reader.Next());
                reader.Bytes();
                ascending = ascending && (i == 0 || position > previous);
                previous = position;
            }
        },
        error);
    if (!ok)
    {
        WarnUndecodable(error);
        access.PushNull(vm);
        return;
    }
    if (!AdmitPush(access, vm, depth, "an array"))
        return;

    std::vector<std::pair<uint64_t, std::string_view>> sorted;
    if (!ascending)
    {
        sorted.reserve(count);
        for (uint32_t i = 0; i < count; ++i)
        {
            const uint64_t position = MessagePack::AsUInt64(elements.Next());
            sorted.emplace_back(position, elements.Bytes());
        }
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        // Of equal positions the last one stays: the later entry wins.
        auto last = std::unique(sorted.rbegin(), sorted.rend(),
                                [](const auto& a, const auto& b) { return a.first == b.first; });
        sorted.erase(sorted.begin(), last.base());
        count = static_cast<uint32_t>(sorted.size());
    }
    access.PushNewArray(vm, count);
    for (uint32_t i = 0; i < count; ++i)
    {
        uint64_t position = 0;
        std::string_view bytes;
        if (ascending)
        {
            position = MessagePack::AsUInt64(elements.Next());
            bytes = elements.Bytes();
        }
        else
            std::tie(position, bytes) = sorted[i];
        Single element;
        UnpackSingle(bytes, element);
        access.BeginArrayElement(vm, position);
        PushSingle(access, vm, element, depth + 1);
        access.EndArrayElement(vm, position);
    }
}
