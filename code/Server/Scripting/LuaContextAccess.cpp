#include <algorithm>
#include <climits>
#include <cmath>

#include <lua5.4/lua.hpp>

#include "Scripting/LuaVM.h"
#include "Scripting/ScriptContextAccess.h"

// Lua's stack primitives for ScriptContext (see ScriptContextAccess.h). Every operation is raw:
// no metamethod of a script can run, and so none can raise an error outside a protected call.

namespace
{
lua_State* StateOf(ScriptVM* vm)
{
    return static_cast<lua_State*>(vm->GetState());
}

// Presizing is only a hint; a received table must not make one huge allocation up front.
int PresizeHint(size_t count)
{
    return static_cast<int>(std::min<size_t>(count, 4096));
}

class LuaContextAccess final : public ScriptContextAccess
{
public:
    ScriptStackValue Inspect(ScriptVM* vm, int32_t index) const override
    {
        lua_State* L = StateOf(vm);
        ScriptStackValue value;
        int type = lua_type(L, index);
        switch (type)
        {
        case LUA_TNONE:
            value.kind = ScriptStackKind::None;
            break;
        case LUA_TNIL:
            value.kind = ScriptStackKind::Null;
            break;
        case LUA_TBOOLEAN:
            value.kind = ScriptStackKind::Bool;
            value.boolean = lua_toboolean(L, index) != 0;
            break;
        case LUA_TNUMBER:
            if (lua_isinteger(L, index))
            {
                value.kind = ScriptStackKind::Integer;
                value.integer = lua_tointeger(L, index);
            }
            else
            {
                value.kind = ScriptStackKind::Float;
                value.number = lua_tonumber(L, index);
            }
            break;
        case LUA_TSTRING:
        {
            size_t length = 0;
            const char* text = lua_tolstring(L, index, &length);
            value.kind = ScriptStackKind::String;
            value.text = std::string_view(text, length);
            break;
        }
        case LUA_TTABLE:
            value.kind = ScriptStackKind::Table;
            value.identity = lua_topointer(L, index);
            break;
        default:
            value.kind = ScriptStackKind::Other;
            value.typeName = lua_typename(L, type);
            break;
        }
        return value;
    }

    bool WalkTable(ScriptVM* vm, int32_t index, ScriptVisitor visit) const override
    {
        lua_State* L = StateOf(vm);
        if (!lua_checkstack(L, 3))
            return false;
        int table = lua_absindex(L, index);
        lua_pushvalue(L, table);
        lua_pushnil(L);
        while (lua_next(L, -2) != 0)
        {
            visit();
            lua_pop(L, 1);
        }
        lua_pop(L, 1);
        return true;
    }

    bool WalkArgumentArray(ScriptVM* vm, int32_t position, ScriptVisitor visit) const override
    {
        lua_State* L = StateOf(vm);
        auto* luaVM = static_cast<LuaVM*>(vm);
        if (lua_type(L, position) != LUA_TTABLE)
            return luaVM->RecordTypeError(position, lua_typename(L, LUA_TTABLE));
        if (!lua_checkstack(L, 1))
        {
            luaVM->RaiseError("stack overflow");
            return false;
        }
        int table = lua_absindex(L, position);
        // 1 to the border; holes inside it read as nil, other keys are not elements.
        lua_Unsigned length = lua_rawlen(L, table);
        for (lua_Unsigned i = 1; i <= length; ++i)
        {
            lua_rawgeti(L, table, static_cast<lua_Integer>(i));
            visit();
            lua_pop(L, 1);
        }
        return true;
    }

    bool EnsureStack(ScriptVM* vm, size_t slots) const override
    {
        return slots < INT_MAX && lua_checkstack(StateOf(vm), static_cast<int>(slots));
    }

    void MarkIncompletePush(ScriptVM*) const override { LuaVM::MarkIncompletePush(); }

    void PushNull(ScriptVM* vm) const override { lua_pushnil(StateOf(vm)); }

    void PushBool(ScriptVM* vm, bool value) const override { lua_pushboolean(StateOf(vm), value ? 1 : 0); }

    void PushInt(ScriptVM* vm, int32_t value) const override
    {
        lua_pushinteger(StateOf(vm), static_cast<lua_Integer>(value));
    }

    void PushFloat(ScriptVM* vm, float value) const override
    {
        lua_pushnumber(StateOf(vm), static_cast<lua_Number>(value));
    }

    void PushString(ScriptVM* vm, std::string_view value) const override
    {
        // Lua receives a context string up to its first zero byte.
        lua_pushlstring(StateOf(vm), value.data(), std::min(value.find('\0'), value.size()));
    }

    void PushNewTable(ScriptVM* vm, size_t count) const override
    {
        lua_createtable(StateOf(vm), PresizeHint(count), 0);
    }

    void TableInsert(ScriptVM* vm) const override
    {
        lua_State* L = StateOf(vm);
        bool unusableKey = lua_isnil(L, -2) || (lua_type(L, -2) == LUA_TNUMBER && !lua_isinteger(L, -2) &&
                                                std::isnan(lua_tonumber(L, -2)));
        if (unusableKey)
            lua_pop(L, 2);
        else
            lua_rawset(L, -3);
    }

    // Lua has no array kind: an array becomes a table whose keys are the positions from 1.
    void PushNewArray(ScriptVM* vm, size_t count) const override
    {
        lua_createtable(StateOf(vm), PresizeHint(count), 0);
    }

    void BeginArrayElement(ScriptVM*, uint64_t) const override {}

    void EndArrayElement(ScriptVM* vm, uint64_t position) const override
    {
        lua_rawseti(StateOf(vm), -2, static_cast<lua_Integer>(position + 1));
    }
};

} // namespace

const ScriptContextAccess& GetLuaContextAccess()
{
    static const LuaContextAccess access;
    return access;
}
