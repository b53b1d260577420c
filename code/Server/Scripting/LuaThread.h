#pragma once

#include <cstdint>

#include "Scripting/LuaVM.h"

// One script thread of a Lua resource: a coroutine of the main state, made by Thread.Create and
// resumed by the main VM's ProcessThreads. Shares the main VM's globals and family.
class LuaThread : public LuaVM
{
public:
    // `coroutine` holds the thread function on its stack; `registryRef` keeps it alive.
    LuaThread(LuaVM& main, lua_State* coroutine, int32_t registryRef);
    ~LuaThread() override;

    // Records the pause and gives kScriptSuspendResult, which the native Thread.Pause returns and
    // the trampoline turns into a yield of the coroutine.
    int32_t PauseThread(uint32_t ms) override;

    // Managed by the main VM's ProcessThreads.
    lua_State* parent;
    int32_t registryRef;
    int64_t lastResumeMs = 0; // when the last resume returned with a yield
    int32_t pauseMs = 0;      // the last pause asked for (a u32 kept in a signed field)
};
