#pragma once

#include <cstdint>

#include <squirrel.h>

struct lua_State;

// A script function held by native code (event handlers, callbacks, thread functions).
// Copying takes another reference count on a Squirrel closure or a Lua registry reference;
// destruction gives it back, so a one-shot callback lets its function (and what that captured) go
// as soon as its last record is gone. Records are used on the thread that owns the VMs only (the
// counts are not atomic).
struct ScriptFunctionRef
{
    ScriptFunctionRef();
    ScriptFunctionRef(const ScriptFunctionRef& other);
    ScriptFunctionRef& operator=(const ScriptFunctionRef& other);
    ScriptFunctionRef(ScriptFunctionRef&& other) noexcept;
    ScriptFunctionRef& operator=(ScriptFunctionRef&& other) noexcept;
    ~ScriptFunctionRef();

    // Fills the record with a Lua registry reference made by a VM of the given family and takes it
    // over: the entry is given back (luaL_unref) when the last record holding it is destroyed or
    // reset, unless the state has been closed by then.
    void SetLuaFunction(int32_t reference, uint64_t family);
    // Fills the record with a Squirrel closure and takes one reference count on it.
    void SetSquirrelFunction(const HSQOBJECT& closure, uint64_t family);
    // Back to the empty record (the Squirrel count, if any, given back).
    void Reset();

    // Gives back, and empties, every record holding a closure of that VM family. A Squirrel VM
    // calls it before sq_close: closing frees every object of the VM whatever its count, so a record
    // that outlives the VM (a pending HTTP callback, say) must not touch its closure afterwards.
    static void ReleaseSquirrelFunctions(uint64_t family);

    // A Squirrel main VM announces itself so that records hold its closures through the VM's
    // reference table: a bare count is no root for the garbage collector, which would clear a held
    // closure's captured values on `collectgarbage()`. Unregistering releases the family's records.
    static void RegisterSquirrelVM(uint64_t family, HSQUIRRELVM vm);
    static void UnregisterSquirrelVM(uint64_t family);

    // A Lua main VM announces its state so that records can give their registry entries back; it
    // unregisters before closing the state, after which records of its family release nothing.
    static void RegisterLuaVM(uint64_t family, lua_State* state);
    static void UnregisterLuaVM(uint64_t family);

    int32_t luaRef = -1;
    HSQOBJECT sqFunction;
    uint32_t vmType = 0;   // ScriptVMType of the VM that filled it: 0 none, 1 Lua, 2 Squirrel
    uint64_t vmFamily = 0; // ScriptVM::GetFamilyId of the VM that filled it; 0 when empty

private:
    HSQUIRRELVM sqHolder = nullptr; // the VM whose reference table holds sqFunction, if any
    void HoldSquirrel();
    void ReleaseSquirrel();
    void HoldLua();
    void ReleaseLua();
    void Release();
};
