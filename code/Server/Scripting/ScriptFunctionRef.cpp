#include "Scripting/ScriptFunctionRef.h"

#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

// A closure of a registered Squirrel VM is held through that VM's reference table (a root for its
// garbage collector); one of an unknown VM through the object's own count, which needs no VM. The
// internal headers for the latter live next to the public include folder.
#include <../squirrel/sqpcheader.h>

#include <lua5.4/lua.hpp>

namespace
{
// Records that hold a Squirrel closure right now, for ReleaseSquirrelFunctions.
std::unordered_set<ScriptFunctionRef*>& SquirrelHolders()
{
    static auto* holders = new std::unordered_set<ScriptFunctionRef*>();
    return *holders;
}

std::unordered_map<uint64_t, HSQUIRRELVM>& SquirrelVMs()
{
    static auto* vms = new std::unordered_map<uint64_t, HSQUIRRELVM>();
    return *vms;
}

// A registered Lua state and how many records hold each of the registry references made for them.
struct LuaFamily
{
    lua_State* state = nullptr;
    std::unordered_map<int32_t, uint32_t> holders;
};

std::unordered_map<uint64_t, LuaFamily>& LuaFamilies()
{
    static auto* families = new std::unordered_map<uint64_t, LuaFamily>();
    return *families;
}

bool IsCounted(const HSQOBJECT& object)
{
    return ISREFCOUNTED(sq_type(object)) != 0;
}
} // namespace

ScriptFunctionRef::ScriptFunctionRef()
{
    sq_resetobject(&sqFunction);
}

ScriptFunctionRef::ScriptFunctionRef(const ScriptFunctionRef& other)
    : luaRef(other.luaRef), sqFunction(other.sqFunction), vmType(other.vmType), vmFamily(other.vmFamily)
{
    HoldSquirrel();
    HoldLua();
}

ScriptFunctionRef& ScriptFunctionRef::operator=(const ScriptFunctionRef& other)
{
    if (this != &other)
    {
        // Take the new count before giving the old one back: both may be the same closure.
        ScriptFunctionRef copy(other);
        *this = std::move(copy);
    }
    return *this;
}

ScriptFunctionRef::ScriptFunctionRef(ScriptFunctionRef&& other) noexcept
    : luaRef(other.luaRef), sqFunction(other.sqFunction), vmType(other.vmType), vmFamily(other.vmFamily),
      sqHolder(other.sqHolder)
{
    other.sqHolder = nullptr;
    if (IsCounted(other.sqFunction))
    {
        auto& holders = SquirrelHolders();
        holders.erase(&other);
        holders.insert(this);
    }
    sq_resetobject(&other.sqFunction);
    other.luaRef = -1;
    other.vmType = 0;
    other.vmFamily = 0;
}

ScriptFunctionRef& ScriptFunctionRef::operator=(ScriptFunctionRef&& other) noexcept
{
    if (this != &other)
    {
        Release();
        luaRef = other.luaRef;
        sqFunction = other.sqFunction;
        vmType = other.vmType;
        vmFamily = other.vmFamily;
        sqHolder = other.sqHolder;
        other.sqHolder = nullptr;
        if (IsCounted(other.sqFunction))
        {
            auto& holders = SquirrelHolders();
            holders.erase(&other);
            holders.insert(this);
        }
        sq_resetobject(&other.sqFunction);
        other.luaRef = -1;
        other.vmType = 0;
        other.vmFamily = 0;
    }
    return *this;
}

ScriptFunctionRef::~ScriptFunctionRef()
{
    Release();
}

void ScriptFunctionRef::SetLuaFunction(int32_t reference, uint64_t family)
{
    Release();
    luaRef = reference;
    vmType = 1;
    vmFamily = family;
    auto registered = LuaFamilies().find(family);
    if (reference >= 0 && registered != LuaFamilies().end())
        ++registered->second.holders[reference];
}

void ScriptFunctionRef::SetSquirrelFunction(const HSQOBJECT& closure, uint64_t family)
{
    // Taken before the old one is given back: the new closure may be the old one.
    ScriptFunctionRef previous(std::move(*this));
    sqFunction = closure;
    luaRef = -1;
    vmType = 2;
    vmFamily = family;
    HoldSquirrel();
}

void ScriptFunctionRef::Reset()
{
    Release();
    luaRef = -1;
    vmType = 0;
    vmFamily = 0;
}

void ScriptFunctionRef::ReleaseSquirrelFunctions(uint64_t family)
{
    std::vector<ScriptFunctionRef*> matching;
    for (ScriptFunctionRef* record : SquirrelHolders())
        if (record->vmFamily == family)
            matching.push_back(record);
    // Releasing can free a closure, whose destruction never reaches records; still, walk a copy.
    for (ScriptFunctionRef* record : matching)
        record->Reset();
}

void ScriptFunctionRef::RegisterSquirrelVM(uint64_t family, HSQUIRRELVM vm)
{
    SquirrelVMs()[family] = vm;
}

void ScriptFunctionRef::UnregisterSquirrelVM(uint64_t family)
{
    ReleaseSquirrelFunctions(family);
    SquirrelVMs().erase(family);
}

void ScriptFunctionRef::RegisterLuaVM(uint64_t family, lua_State* state)
{
    LuaFamilies()[family].state = state;
}

void ScriptFunctionRef::UnregisterLuaVM(uint64_t family)
{
    LuaFamilies().erase(family);
}

void ScriptFunctionRef::Release()
{
    ReleaseSquirrel();
    ReleaseLua();
}

void ScriptFunctionRef::HoldSquirrel()
{
    if (!IsCounted(sqFunction))
        return;
    auto vm = SquirrelVMs().find(vmFamily);
    sqHolder = vm != SquirrelVMs().end() ? vm->second : nullptr;
    if (sqHolder != nullptr)
        sq_addref(sqHolder, &sqFunction);
    else
        __AddRef(sqFunction._type, sqFunction._unVal);
    SquirrelHolders().insert(this);
}

void ScriptFunctionRef::ReleaseSquirrel()
{
    if (!IsCounted(sqFunction))
        return;
    SquirrelHolders().erase(this);
    HSQOBJECT held = sqFunction;
    HSQUIRRELVM holder = sqHolder;
    sq_resetobject(&sqFunction);
    sqHolder = nullptr;
    if (holder != nullptr)
        sq_release(holder, &held);
    else
        __Release(held._type, held._unVal);
}

// Only references that a record took over (SetLuaFunction) are counted; a record whose fields were
// filled by hand holds nothing.
void ScriptFunctionRef::HoldLua()
{
    if (vmType != 1 || luaRef < 0)
        return;
    auto family = LuaFamilies().find(vmFamily);
    if (family == LuaFamilies().end())
        return;
    auto holder = family->second.holders.find(luaRef);
    if (holder != family->second.holders.end())
        ++holder->second;
}

void ScriptFunctionRef::ReleaseLua()
{
    if (vmType != 1 || luaRef < 0)
        return;
    int32_t reference = luaRef;
    luaRef = -1;
    auto family = LuaFamilies().find(vmFamily);
    if (family == LuaFamilies().end())
        return;
    auto holder = family->second.holders.find(reference);
    if (holder == family->second.holders.end() || --holder->second > 0)
        return;
    family->second.holders.erase(holder);
    // The registry is shared by the main state and its coroutines. This may run inside a native,
    // on the main state or a script thread: luaL_unref works above whatever the main state's stack
    // holds and leaves it as found. Without room there, the entry stays until the state closes.
    lua_State* L = family->second.state;
    if (lua_checkstack(L, 2))
        luaL_unref(L, LUA_REGISTRYINDEX, reference);
}
