#include "Scripting/LuaVM.h"

#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <lua5.4/lua.hpp>
#include <spdlog/spdlog.h>

#include "Resources/Resource.h"
#include "Scripting/LuaThread.h"
#include "Scripting/Preludes.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptContextAccess.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Server/Platform.h"

namespace
{
thread_local bool t_incompletePush = false;

// The text of an error value: strings and numbers as text, anything else empty.
std::string ErrorValueText(lua_State* L, int index)
{
    int type = lua_type(L, index);
    if (type != LUA_TSTRING && type != LUA_TNUMBER)
        return {};
    size_t length = 0;
    const char* text = lua_tolstring(L, index, &length);
    return std::string(text, length);
}

// Run in protected mode: index 1 holds the global's name, index 2 (optional) a field of it.
int LookupGlobal(lua_State* L)
{
    bool hasField = lua_gettop(L) >= 2;
    lua_pushglobaltable(L);
    lua_pushvalue(L, 1);
    lua_gettable(L, -2);
    if (hasField)
    {
        lua_pushvalue(L, 2);
        lua_gettable(L, -2);
    }
    return 1;
}

// Pushes global `name` (or its field): nil when it is missing or when looking it up raised an
// error. Scripts may give the globals metamethods (a "strict" mode raising on unknown names), and an
// error outside a protected call would end the process.
void PushGlobal(lua_State* L, const std::string& name, const char* field = nullptr)
{
    lua_pushcfunction(L, &LookupGlobal);
    lua_pushlstring(L, name.data(), name.size());
    if (field != nullptr)
        lua_pushstring(L, field);
    if (lua_pcall(L, field != nullptr ? 2 : 1, 1, 0) != LUA_OK)
    {
        lua_pop(L, 1);
        lua_pushnil(L);
    }
}

std::string Where(lua_State* L, int level)
{
    luaL_where(L, level);
    std::string where = lua_tostring(L, -1);
    lua_pop(L, 1);
    return where;
}

// The table at the top holds, under a string key at most `level` tables deep, the value at
// objectIndex: gives the dotted path. The stack is left as found.
bool FindField(lua_State* L, int objectIndex, int level, std::string& name)
{
    if (level == 0 || !lua_istable(L, -1))
        return false;
    lua_pushnil(L);
    while (lua_next(L, -2) != 0)
    {
        if (lua_type(L, -2) == LUA_TSTRING)
        {
            if (lua_rawequal(L, objectIndex, -1))
            {
                name = lua_tostring(L, -2);
                lua_pop(L, 2);
                return true;
            }
            std::string inner;
            if (FindField(L, objectIndex, level - 1, inner))
            {
                name = std::string(lua_tostring(L, -2)) + "." + inner;
                lua_pop(L, 2);
                return true;
            }
        }
        lua_pop(L, 1);
    }
    return false;
}

// Where the running function is reachable from the loaded libraries ("string.format", "print").
bool GlobalFunctionName(lua_State* L, lua_Debug* ar, std::string& name)
{
    int top = lua_gettop(L);
    lua_getinfo(L, "f", ar);
    lua_pushliteral(L, LUA_LOADED_TABLE);
    lua_rawget(L, LUA_REGISTRYINDEX);
    bool found = FindField(L, top + 1, 2, name);
    lua_settop(L, top);
    if (found && name.rfind("_G.", 0) == 0)
        name.erase(0, 3);
    return found;
}

// The message of Lua's luaL_argerror for the running C function, without raising it.
std::string ArgumentErrorText(lua_State* L, int argument, const std::string& message)
{
    lua_Debug ar;
    if (!lua_checkstack(L, 8) || !lua_getstack(L, 0, &ar))
        return Where(L, 1) + fmt::format("bad argument #{} ({})", argument, message);
    lua_getinfo(L, "n", &ar);
    if (ar.namewhat != nullptr && std::strcmp(ar.namewhat, "method") == 0)
    {
        --argument; // self is not counted
        if (argument == 0)
            return Where(L, 1) +
                   fmt::format("calling '{}' on bad self ({})", ar.name ? ar.name : "(null)", message);
    }
    std::string name;
    if (ar.name != nullptr)
        name = ar.name;
    else if (!GlobalFunctionName(L, &ar, name))
        name = "?";
    return Where(L, 1) + fmt::format("bad argument #{} to '{}' ({})", argument, name, message);
}

// Room for one more value; otherwise the push is left out and the caller hears of it.
bool Room(lua_State* L)
{
    if (lua_checkstack(L, 1))
        return true;
    LuaVM::MarkIncompletePush();
    return false;
}

void PushNativeFailure(lua_State* L, const ScriptFunctionEntry* entry)
{
    ScriptVM* vm = FindScriptVM(L);
    if (vm != nullptr && vm->GetType() == ScriptVMType::Lua)
        static_cast<LuaVM*>(vm)->PushRecordedError(entry->name.c_str());
    else
        lua_pushfstring(L, "Script function %s failed.", entry->name.c_str());
}

void RecordNativeException(lua_State* L, const char* text)
{
    ScriptVM* vm = FindScriptVM(L);
    if (vm != nullptr && vm->GetType() == ScriptVMType::Lua)
        vm->RaiseError(text);
}

int32_t RunNative(const ScriptFunctionEntry* entry, lua_State* L)
{
    // Exceptions must not unwind through Lua's C frames.
    try
    {
        return entry->native(L);
    }
    catch (const std::exception& error)
    {
        RecordNativeException(L, error.what());
    }
    catch (...)
    {
        RecordNativeException(L, "Script function failed.");
    }
    return -1;
}

// The Lua face of every native. No C++ object is alive when lua_error or lua_yield leaves this frame.
int NativeTrampoline(const ScriptFunctionEntry* entry, lua_State* L)
{
    int32_t result = RunNative(entry, L);
    if (result >= 0)
    {
        if (!LuaVM::TakeIncompletePush() && result <= lua_gettop(L))
            return result;
        lua_pushliteral(L, "stack overflow (too many results)");
        return lua_error(L);
    }
    if (result == kScriptSuspendResult)
        return lua_yield(L, 0);
    PushNativeFailure(L, entry);
    return lua_error(L);
}

// Whether the registry still holds the coroutine under its reference, keeping it alive.
bool IsAnchored(lua_State* L, int32_t reference, lua_State* coroutine)
{
    if (!lua_checkstack(L, 1))
        return false;
    bool anchored =
        lua_rawgeti(L, LUA_REGISTRYINDEX, reference) == LUA_TTHREAD && lua_tothread(L, -1) == coroutine;
    lua_pop(L, 1);
    return anchored;
}

// Natives reach Lua as plain C functions without upvalues, so that nothing a script does to them
// (debug.setupvalue, debug.upvaluejoin) can change what the trampoline reads: each entry gets a
// slot of its own, and the slot's function knows its entry by its index.
constexpr size_t kNativeSlots = 256;
std::array<std::atomic<const ScriptFunctionEntry*>, kNativeSlots> g_nativeSlots{};

template <size_t Slot> int SlotTrampoline(lua_State* L)
{
    return NativeTrampoline(g_nativeSlots[Slot].load(std::memory_order_acquire), L);
}

template <size_t... Slots>
constexpr std::array<lua_CFunction, sizeof...(Slots)> MakeSlotTrampolines(std::index_sequence<Slots...>)
{
    return {&SlotTrampoline<Slots>...};
}

constexpr std::array<lua_CFunction, kNativeSlots> kSlotTrampolines =
    MakeSlotTrampolines(std::make_index_sequence<kNativeSlots>{});

// The Lua function of an entry; null once every slot is taken.
lua_CFunction TrampolineFor(const ScriptFunctionEntry* entry)
{
    static std::mutex mutex;
    static size_t used = 0;
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t slot = 0; slot < used; ++slot)
    {
        if (g_nativeSlots[slot].load(std::memory_order_relaxed) == entry)
            return kSlotTrampolines[slot];
    }
    if (used == kNativeSlots)
        return nullptr;
    g_nativeSlots[used].store(entry, std::memory_order_release);
    return kSlotTrampolines[used++];
}

// What scripts do not get. Scripts spawn no processes and end nothing (os.execute, io.popen), read
// no files by name through the base library, and never reach the registry: Lua's own libraries read
// entries there back unchecked (the globals, io's default files), and the server anchors its
// script threads and function references there.
struct RemovedFields
{
    const char* library;
    std::vector<const char*> fields;
};
const RemovedFields kRemovedFields[] = {
    {LUA_GNAME, {"dofile", "loadfile"}},
    {LUA_OSLIBNAME, {"execute", "exit", "remove", "rename", "setlocale", "tmpname", "getenv"}},
    {LUA_IOLIBNAME, {"popen", "stdin"}},
    {LUA_DBLIBNAME, {"getregistry"}},
};

void RemoveFields(lua_State* L, const RemovedFields& removed)
{
    if (lua_getglobal(L, removed.library) == LUA_TTABLE)
    {
        for (const char* field : removed.fields)
        {
            lua_pushnil(L);
            lua_setfield(L, -2, field);
        }
    }
    lua_pop(L, 1);
}

// The base library's load, kept where scripts cannot reach it.
constexpr const char* kBaseLoadKey = "lanternfall.load";

// `load` in text mode only: the VM runs precompiled chunks unchecked, so they are refused with Lua's
// own result (nil and "attempt to load a binary chunk (mode is 't')"). A mode the script gives keeps
// its restriction to binary chunks ("b" refuses every chunk). Arguments otherwise as the base load's.
int TextOnlyLoad(lua_State* L)
{
    if (lua_type(L, 1) != LUA_TSTRING && lua_type(L, 1) != LUA_TNUMBER)
        luaL_checktype(L, 1, LUA_TFUNCTION);
    luaL_optstring(L, 2, nullptr);
    const char* given = luaL_optstring(L, 3, "bt");
    const char* mode = std::strchr(given, 't') != nullptr ? "t" : "";
    if (lua_gettop(L) < 3)
        lua_settop(L, 3);
    lua_pushstring(L, mode);
    lua_replace(L, 3);
    if (lua_getfield(L, LUA_REGISTRYINDEX, kBaseLoadKey) != LUA_TFUNCTION)
        return luaL_error(L, "load is not available");
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

// Standard input belongs to the console thread: a script reading it would hold the main loop until
// the operator typed a line, and take that line away from the console. The default input becomes an
// empty file; where none can be opened, the reading functions that would use standard input go.
int DetachStandardInput(lua_State* L)
{
    lua_getglobal(L, LUA_IOLIBNAME);
    lua_getfield(L, -1, "input");
    lua_pushliteral(L, "/dev/null");
    lua_call(L, 1, 0);
    return 0;
}
} // namespace

LuaVM::LuaVM(Resource* resource) : ScriptVM(resource, true)
{
    // Here rather than by a static object of its own file: a binary that takes the server's code
    // from a static archive would leave such a file out, and with it the registration.
    RegisterScriptContextAccess(ScriptVMType::Lua, &GetLuaContextAccess());
    lua_State* L = luaL_newstate();
    if (L == nullptr)
        throw std::bad_alloc();
    static const luaL_Reg libraries[] = {
        {LUA_GNAME, luaopen_base},       {LUA_TABLIBNAME, luaopen_table}, {LUA_STRLIBNAME, luaopen_string},
        {LUA_MATHLIBNAME, luaopen_math}, {LUA_DBLIBNAME, luaopen_debug},  {LUA_UTF8LIBNAME, luaopen_utf8},
        {LUA_OSLIBNAME, luaopen_os},     {LUA_IOLIBNAME, luaopen_io},
    };
    for (const luaL_Reg& library : libraries)
    {
        luaL_requiref(L, library.name, library.func, 1);
        lua_pop(L, 1);
    }
    lua_getglobal(L, "load");
    lua_setfield(L, LUA_REGISTRYINDEX, kBaseLoadKey);
    lua_pushcfunction(L, &TextOnlyLoad);
    lua_setglobal(L, "load");
    lua_pushcfunction(L, &DetachStandardInput);
    if (lua_pcall(L, 0, 0, 0) != LUA_OK)
    {
        lua_pop(L, 1);
        RemoveFields(L, {LUA_IOLIBNAME, {"input", "lines", "read"}});
    }
    for (const RemovedFields& removed : kRemovedFields)
        RemoveFields(L, removed);
    SetState(L);
    ScriptFunctionRef::RegisterLuaVM(familyId, L);
}

LuaVM::LuaVM(Resource* resource, NoState) : ScriptVM(resource, false) {}

LuaVM::~LuaVM()
{
    if (!isMain)
        return;
    // Threads first (they live in this state), and out of the lookup before closing: finalizers
    // that run during lua_close and call natives find no VM and do nothing.
    DestroyThreads();
    ScriptFunctionRef::UnregisterLuaVM(familyId);
    lua_State* L = GetLuaState();
    SetState(nullptr);
    if (L != nullptr)
        lua_close(L);
}

uint32_t LuaVM::GetType()
{
    return ScriptVMType::Lua;
}

std::string LuaVM::ResourceName() const
{
    return resource != nullptr ? resource->GetName() : std::string();
}

void LuaVM::LoadBuiltins()
{
    LoadScript(kLuaPreludeName, GetLuaPrelude());
}

bool LuaVM::LoadScript(const std::string& name, const std::string& code)
{
    lua_State* L = GetLuaState();
    int top = lua_gettop(L);
    // debug.traceback as message handler; when a script has replaced it with something that is no
    // function, the chunk still runs, and an error is logged with its plain text.
    PushGlobal(L, LUA_DBLIBNAME, "traceback");
    int handler = 0;
    if (lua_isfunction(L, -1))
        handler = lua_gettop(L);
    else
        lua_pop(L, 1);

    std::string chunkName = "@" + name;
    if (luaL_loadbufferx(L, code.data(), code.size(), chunkName.c_str(), "t") != LUA_OK)
    {
        std::string text = ErrorValueText(L, -1);
        lua_settop(L, top);
        spdlog::error("[LuaVM] Error parsing script {} in resource {}: {}", name, ResourceName(), text);
        return false;
    }
    if (lua_pcall(L, 0, 0, handler) != LUA_OK)
    {
        std::string text = ErrorValueText(L, -1);
        lua_settop(L, top);
        spdlog::error("[LuaVM] Error loading script {} in resource {}: {}", name, ResourceName(), text);
        return false;
    }
    lua_settop(L, top);
    return true;
}

int32_t LuaVM::GetArgCount()
{
    return lua_gettop(GetLuaState());
}

uint32_t LuaVM::GetArgType(int32_t position)
{
    lua_State* L = GetLuaState();
    switch (lua_type(L, position))
    {
    case LUA_TNUMBER:
    {
        if (lua_isinteger(L, position))
            return ScriptValueType::Int;
        lua_Number number = lua_tonumber(L, position);
        return std::isfinite(number) && std::floor(number) == number ? ScriptValueType::Int
                                                                     : ScriptValueType::Float;
    }
    case LUA_TBOOLEAN:
        return ScriptValueType::Bool;
    case LUA_TTABLE:
        return ScriptValueType::Table;
    case LUA_TSTRING:
        return ScriptValueType::String;
    default:
        return 0;
    }
}

bool LuaVM::GetTable(int32_t position, std::map<std::string, std::string>& out)
{
    lua_State* L = GetLuaState();
    if (lua_type(L, position) != LUA_TTABLE)
    {
        RaiseError("Expected a table");
        return false;
    }
    if (!lua_checkstack(L, 3))
    {
        RaiseError("stack overflow");
        return false;
    }
    int table = lua_absindex(L, position);
    lua_pushnil(L);
    while (lua_next(L, table) != 0)
    {
        int keyType = lua_type(L, -2);
        int valueType = lua_type(L, -1);
        if ((keyType != LUA_TSTRING && keyType != LUA_TNUMBER) ||
            (valueType != LUA_TSTRING && valueType != LUA_TNUMBER))
        {
            lua_pop(L, 2);
            RaiseError("Expected string keys and values");
            return false;
        }
        // The key is turned into text on a copy: lua_next needs the original.
        lua_pushvalue(L, -2);
        size_t keyLength = 0;
        const char* key = lua_tolstring(L, -1, &keyLength);
        size_t valueLength = 0;
        const char* value = lua_tolstring(L, -2, &valueLength);
        out.insert_or_assign(std::string(key, keyLength), std::string(value, valueLength));
        lua_pop(L, 2);
    }
    return true;
}

bool LuaVM::GetFunction(int32_t position, ScriptFunctionRef& out)
{
    lua_State* L = GetLuaState();
    if (lua_type(L, position) != LUA_TFUNCTION)
        return RecordTypeError(position, lua_typename(L, LUA_TFUNCTION));
    if (!lua_checkstack(L, 1))
    {
        RaiseError("stack overflow");
        return false;
    }
    lua_pushvalue(L, position);
    out.SetLuaFunction(luaL_ref(L, LUA_REGISTRYINDEX), familyId);
    return true;
}

bool LuaVM::GetString(int32_t position, std::string& out)
{
    lua_State* L = GetLuaState();
    size_t length = 0;
    const char* text = lua_tolstring(L, position, &length);
    if (text == nullptr)
        return RecordTypeError(position, lua_typename(L, LUA_TSTRING));
    out.assign(text, strnlen(text, length));
    return true;
}

bool LuaVM::GetBool(int32_t position, bool& out)
{
    out = lua_toboolean(GetLuaState(), position) != 0;
    return true;
}

bool LuaVM::GetFloat(int32_t position, float& out)
{
    lua_State* L = GetLuaState();
    int isNumber = 0;
    lua_Number number = lua_tonumberx(L, position, &isNumber);
    if (!isNumber)
        return RecordTypeError(position, lua_typename(L, LUA_TNUMBER));
    out = ScriptNumberToFloat(number);
    return true;
}

bool LuaVM::GetInt(int32_t position, int32_t& out)
{
    uint32_t value = 0;
    if (!GetUInt(position, value))
        return false;
    out = static_cast<int32_t>(value);
    return true;
}

bool LuaVM::GetUInt(int32_t position, uint32_t& out)
{
    lua_State* L = GetLuaState();
    int isInteger = 0;
    lua_Integer value = lua_tointegerx(L, position, &isInteger);
    if (!isInteger)
    {
        if (lua_isnumber(L, position))
            return RecordArgumentError(position, "number has no integer representation");
        return RecordTypeError(position, lua_typename(L, LUA_TNUMBER));
    }
    out = static_cast<uint32_t>(value);
    return true;
}

void LuaVM::PushUInt64(const uint64_t& value)
{
    if (Room(GetLuaState()))
        lua_pushinteger(GetLuaState(), static_cast<lua_Integer>(value));
}

void LuaVM::PushInt64(const int64_t& value)
{
    if (Room(GetLuaState()))
        lua_pushinteger(GetLuaState(), value);
}

void LuaVM::PushString(const std::string& value)
{
    if (Room(GetLuaState()))
        lua_pushstring(GetLuaState(), value.c_str());
}

void LuaVM::PushCString(const char* value)
{
    if (Room(GetLuaState()))
        lua_pushstring(GetLuaState(), value);
}

void LuaVM::PushFloat(const float& value)
{
    if (Room(GetLuaState()))
        lua_pushnumber(GetLuaState(), static_cast<lua_Number>(value));
}

void LuaVM::PushULong(const uint32_t& value)
{
    if (Room(GetLuaState()))
        lua_pushinteger(GetLuaState(), static_cast<lua_Integer>(value));
}

void LuaVM::PushLong(const int32_t& value)
{
    if (Room(GetLuaState()))
        lua_pushinteger(GetLuaState(), static_cast<lua_Integer>(value));
}

void LuaVM::PushUInt(const uint32_t& value)
{
    if (Room(GetLuaState()))
        lua_pushinteger(GetLuaState(), static_cast<lua_Integer>(value));
}

void LuaVM::PushInt(const int32_t& value)
{
    if (Room(GetLuaState()))
        lua_pushinteger(GetLuaState(), static_cast<lua_Integer>(value));
}

void LuaVM::PushBool(const bool& value)
{
    if (Room(GetLuaState()))
        lua_pushboolean(GetLuaState(), value ? 1 : 0);
}

void LuaVM::PushNewArray()
{
    if (Room(GetLuaState()))
        lua_createtable(GetLuaState(), 0, 0);
}

void LuaVM::ArraySet(int32_t index)
{
    lua_State* L = GetLuaState();
    if (lua_gettop(L) >= 2 && lua_istable(L, -2))
        lua_rawseti(L, -2, index);
}

void LuaVM::RegisterModule(const std::string& name, const ScriptModuleRange& functions)
{
    lua_State* L = GetLuaState();
    lua_createtable(L, 0, static_cast<int>(std::min<size_t>(functions.size(), INT_MAX)));
    for (const ScriptFunctionEntry* entry : functions)
    {
        lua_CFunction function = TrampolineFor(entry);
        if (function == nullptr)
        {
            spdlog::error("[LuaVM] No room for script function {}.{}.", name, entry->name);
            continue;
        }
        lua_pushcfunction(L, function);
        lua_setfield(L, -2, entry->name.c_str());
    }
    // Raw: modules are installed before any script could give the globals metamethods.
    lua_pushglobaltable(L);
    lua_pushlstring(L, name.data(), name.size());
    lua_pushvalue(L, -3);
    lua_rawset(L, -3);
    lua_pop(L, 2);
}

bool LuaVM::PushFunction(const ScriptFunctionRef& function)
{
    lua_State* L = GetLuaState();
    if (L == nullptr || function.vmType != ScriptVMType::Lua || function.luaRef < 0 ||
        function.vmFamily != familyId)
        return false;
    if (!lua_checkstack(L, 1))
        return false;
    if (lua_rawgeti(L, LUA_REGISTRYINDEX, function.luaRef) != LUA_TFUNCTION)
    {
        lua_pop(L, 1);
        return false;
    }
    return true;
}

bool LuaVM::CallGlobal(const std::string& name, const ScriptContext& args, ScriptContext* results)
{
    lua_State* L = GetLuaState();
    ScriptCallDepth depth;
    if (!depth.Allowed())
        return depth.Refuse(*this);
    int top = lua_gettop(L);
    if (!lua_checkstack(L, 4))
        return false;
    PushGlobal(L, name);
    if (lua_isnil(L, -1))
    {
        lua_settop(L, top);
        return false;
    }
    args.Push(this);
    if (TakeIncompletePush())
    {
        lua_settop(L, top);
        return false;
    }
    if (lua_pcall(L, static_cast<int>(args.Count()), LUA_MULTRET, 0) != LUA_OK)
    {
        lua_settop(L, top);
        return false;
    }
    if (results != nullptr)
    {
        int last = lua_gettop(L);
        for (int index = top + 1; index <= last; ++index)
            results->Read(this, index);
    }
    lua_settop(L, top);
    return true;
}

bool LuaVM::Call(uint32_t argCount, int32_t resultCount)
{
    lua_State* L = GetLuaState();
    if (TakeIncompletePush())
    {
        // The arguments never reached the stack (Push left them all out): only the function is there.
        lua_pop(L, 1);
        spdlog::error("[LuaVM] Failed to call function in resource {}:\n\t{}", ResourceName(),
                      "stack overflow (too many arguments)");
        return false;
    }
    if (argCount >= static_cast<uint32_t>(lua_gettop(L)))
    {
        // Not the PushFunction, pushes, Call sequence: nothing to call, and nothing is taken away.
        spdlog::error("[LuaVM] Failed to call function in resource {}:\n\t{}", ResourceName(),
                      "missing function or arguments on the stack");
        return false;
    }
    ScriptCallDepth depth;
    if (!depth.Allowed())
    {
        lua_pop(L, static_cast<int>(argCount) + 1);
        return depth.Refuse(*this);
    }
    int results = resultCount < 0 ? LUA_MULTRET : resultCount;
    if (lua_pcall(L, static_cast<int>(argCount), results, 0) == LUA_OK)
        return true;
    std::string text = ErrorValueText(L, -1);
    lua_pop(L, 1);
    spdlog::error("[LuaVM] Failed to call function in resource {}:\n\t{}", ResourceName(), text);
    return false;
}

int32_t LuaVM::GetMemoryUsage()
{
    lua_State* L = GetLuaState();
    int64_t bytes = static_cast<int64_t>(lua_gc(L, LUA_GCCOUNT)) * 1024 + lua_gc(L, LUA_GCCOUNTB);
    return static_cast<int32_t>(bytes);
}

int32_t LuaVM::CreateThread()
{
    if (!isMain)
        return RaiseError("CreateThread can not be used inside of a thread.");
    lua_State* L = GetLuaState();
    if (!lua_checkstack(L, 2))
        return RaiseError("stack overflow");
    bool hasArgument = lua_gettop(L) >= 1;
    lua_State* coroutine = lua_newthread(L);
    // Whatever argument 1 is (nil when missing): a value that is no function fails at the first
    // resume.
    if (hasArgument)
        lua_pushvalue(L, 1);
    else
        lua_pushnil(L);
    lua_xmove(L, coroutine, 1);
    int32_t reference = luaL_ref(L, LUA_REGISTRYINDEX);
    auto* thread = new LuaThread(*this, coroutine, reference);
    threads.push_back(thread);
    spdlog::debug("[LuaVM] Created Thread ({}).", fmt::ptr(thread));
    return 0;
}

int32_t LuaVM::PauseThread(uint32_t)
{
    return RaiseError("PauseThread was used outside of a thread.");
}

int32_t LuaVM::RaiseError(const std::string& message)
{
    recordedError = message;
    hasRecordedError = true;
    return -1;
}

void LuaVM::ProcessThreads()
{
    if (!isMain || threads.empty())
        return;
    lua_State* L = GetLuaState();
    // Threads created while this pass runs (by script code that a resumed thread triggers) are
    // appended behind `count` and first resumed on the next pass. Indices stay valid as the list grows.
    size_t count = threads.size();
    for (size_t i = 0; i < count;)
    {
        auto* thread = static_cast<LuaThread*>(threads[i]);
        int64_t now = GetTimeMs();
        if (thread->pauseMs > 0 && now - thread->lastResumeMs < static_cast<int64_t>(thread->pauseMs))
        {
            ++i;
            continue;
        }
        lua_State* coroutine = thread->GetLuaState();
        if (IsAnchored(L, thread->registryRef, coroutine))
        {
            int resultCount = 0;
            int status = lua_resume(coroutine, L, 0, &resultCount);
            if (status == LUA_YIELD)
            {
                lua_pop(coroutine, resultCount);
                thread->lastResumeMs = GetTimeMs();
                ++i;
                continue;
            }
            if (status != LUA_OK)
            {
                std::string text = lua_type(coroutine, -1) == LUA_TSTRING ? lua_tostring(coroutine, -1) : "";
                spdlog::error("[LuaVM] Error running thread function in resource {}: {}", ResourceName(),
                              text);
            }
            luaL_unref(L, LUA_REGISTRYINDEX, thread->registryRef);
        }
        else
        {
            // Its coroutine may be freed already: neither resumed nor unreferenced.
            spdlog::warn("[LuaVM] Dropping thread ({}) of resource {}: its coroutine is no longer held.",
                         fmt::ptr(thread), ResourceName());
        }
        spdlog::debug("[LuaVM] Destroying Thread ({}).", fmt::ptr(thread));
        threads.erase(threads.begin() + static_cast<std::ptrdiff_t>(i));
        --count;
        delete thread;
    }
}

bool LuaVM::RecordTypeError(int32_t position, const char* expected)
{
    lua_State* L = GetLuaState();
    std::string typeName;
    int nameType = lua_checkstack(L, 2) ? luaL_getmetafield(L, position, "__name") : LUA_TNIL;
    if (nameType == LUA_TSTRING)
        typeName = lua_tostring(L, -1);
    else if (lua_type(L, position) == LUA_TLIGHTUSERDATA)
        typeName = "light userdata";
    else
        typeName = luaL_typename(L, position);
    if (nameType != LUA_TNIL)
        lua_pop(L, 1);
    return RecordArgumentError(position, fmt::format("{} expected, got {}", expected, typeName));
}

bool LuaVM::RecordArgumentError(int32_t position, const std::string& message)
{
    RaiseError(ArgumentErrorText(GetLuaState(), position, message));
    return false;
}

void LuaVM::PushRecordedError(const char* functionName)
{
    lua_State* L = GetLuaState();
    if (hasRecordedError)
        lua_pushlstring(L, recordedError.data(), recordedError.size());
    else
        lua_pushfstring(L, "Script function %s failed.", functionName);
    recordedError.clear();
    hasRecordedError = false;
}

void LuaVM::MarkIncompletePush()
{
    t_incompletePush = true;
}

bool LuaVM::TakeIncompletePush()
{
    bool incomplete = t_incompletePush;
    t_incompletePush = false;
    return incomplete;
}
