#include "Scripting/LuaThread.h"

#include "Scripting/ScriptFunctionRegistry.h"

LuaThread::LuaThread(LuaVM& main, lua_State* coroutine, int32_t registryRef)
    : LuaVM(main.GetResource(), NoState{}), parent(main.GetLuaState()), registryRef(registryRef)
{
    familyId = main.GetFamilyId();
    SetState(coroutine);
}

// The coroutine belongs to the main state: its registry reference is given back by the pass that
// finds the thread ended, or vanishes with the state.
LuaThread::~LuaThread() = default;

int32_t LuaThread::PauseThread(uint32_t ms)
{
    pauseMs = static_cast<int32_t>(ms);
    return kScriptSuspendResult;
}
