// Script module Thread: script threads, run by the resource's pass on the main thread.

#include <cstdint>

#include "Scripting/ScriptApi.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptVM.h"

// Thread.Create(function): the VM reads the function itself.
int32_t ScriptThreadCreate(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    return vm->CreateThread();
}

// Thread.Pause(milliseconds): suspends the calling script thread.
int32_t ScriptThreadPause(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    uint32_t milliseconds = 0;
    if (!vm->GetUInt(1, milliseconds))
        return -1;
    return vm->PauseThread(milliseconds);
}

namespace
{
const ScriptFunctionEntry kCreate("Thread", "Create", &ScriptThreadCreate);
const ScriptFunctionEntry kPause("Thread", "Pause", &ScriptThreadPause);
} // namespace
