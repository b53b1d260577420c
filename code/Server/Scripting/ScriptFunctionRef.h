#pragma once

#include <cstdint>

#include <squirrel.h>

// A script function held by native code (event handlers, callbacks, thread functions).
// Copying takes another reference count on a Squirrel closure; destruction gives it back.
struct ScriptFunctionRef
{
    ScriptFunctionRef();
    ScriptFunctionRef(const ScriptFunctionRef& other);
    ScriptFunctionRef& operator=(const ScriptFunctionRef& other);
    ~ScriptFunctionRef();

    int32_t luaRef = -1;
    HSQOBJECT sqFunction;
    uint32_t vmType = 0; // ScriptVMType of the VM that filled it: 0 none, 1 Lua, 2 Squirrel
};
