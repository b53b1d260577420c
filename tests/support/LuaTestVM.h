#pragma once

// A Lua resource for script tests: a Resource named "testres" (or as given) owning a main LuaVM,
// with two test modules installed instead of the real API:
//   Test.Run(...)        runs the body set with SetTestBody on the VM found for the calling state
//   Thread.Create(f)     the VM's CreateThread
//   Thread.Pause(ms)     GetUInt(1), then the VM's PauseThread
// Run executes a chunk; the Global* helpers read globals straight from the Lua state.

#include <cstdint>
#include <functional>
#include <string>

#include <lua5.4/lua.hpp>

#include "Resources/Resource.h"
#include "Scripting/LuaVM.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptVM.h"

using ScriptTestBody = std::function<int32_t(ScriptVM*)>;

// Replaces the body of Test.Run (process-wide; tests run one at a time).
void SetTestBody(ScriptTestBody body);

// Installs `run` as Test.Run and the shared Thread module; both test VMs use it.
void InstallTestModules(ScriptVM& vm, const ScriptFunctionEntry& run);

class LuaTestVM
{
public:
    explicit LuaTestVM(const std::string& name = "testres");
    ~LuaTestVM();

    LuaVM& VM() { return *static_cast<LuaVM*>(resource.GetVM()); }
    lua_State* L() { return VM().GetLuaState(); }

    bool Run(const std::string& code, const std::string& chunk = "test.lua")
    {
        return VM().LoadScript(chunk, code);
    }

    std::string GlobalString(const char* name);
    int64_t GlobalInt(const char* name);
    bool GlobalBool(const char* name);
    int GlobalType(const char* name);

    Resource resource;
};
