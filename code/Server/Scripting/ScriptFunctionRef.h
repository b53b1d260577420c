#pragma once

#include <cstdint>

#include <squirrel.h>

// A script function held by native code (event handlers, callbacks, thread functions).
// Copying takes another reference count on a Squirrel closure; destruction gives it back.
// Records are used on the thread that owns the VMs only (the counts are not atomic).
struct ScriptFunctionRef
{
    ScriptFunctionRef();
    ScriptFunctionRef(const ScriptFunctionRef& other);
    ScriptFunctionRef& operator=(const ScriptFunctionRef& other);
    ScriptFunctionRef(ScriptFunctionRef&& other) noexcept;
    ScriptFunctionRef& operator=(ScriptFunctionRef&& other) noexcept;
    ~ScriptFunctionRef();

    // Fills the record with a Lua registry reference made by a VM of the given family. The registry
    // entry itself is never given back by the record: it lives until its Lua state is closed.
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

    int32_t luaRef = -1;
    HSQOBJECT sqFunction;
    uint32_t vmType = 0;   // ScriptVMType of the VM that filled it: 0 none, 1 Lua, 2 Squirrel
    uint64_t vmFamily = 0; // ScriptVM::GetFamilyId of the VM that filled it; 0 when empty

private:
    HSQUIRRELVM sqHolder = nullptr; // the VM whose reference table holds sqFunction, if any
    void HoldSquirrel();
    void ReleaseSquirrel();
};
