#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <squirrel.h>

class ScriptVM;

// A script function written once for both languages. It receives the raw VM state (lua_State* or
// HSQUIRRELVM) untyped and returns the number of results it pushed, or a negative error result:
//   ScriptVM* vm = FindScriptVM(state);
//   if (vm == nullptr) return 0;
//   uint32_t id; if (!vm->GetUInt(1, id)) return -1;        // the getter has recorded its error
//   if (...) return vm->RaiseError(fmt::format("Client with ID {} doesn't exist.", int32_t(id)));
//   vm->PushBool(true); return 1;
// In Lua an error result is raised by the function's trampoline after the native has returned
// (a Lua error is a longjmp and must not cross the native's C++ frames); in Squirrel the negative
// result is handed to the VM, which raises the error recorded as its last error.
using ScriptFunctionNative = int32_t (*)(void* state);
using ScriptNativeFunction = ScriptFunctionNative;

// What a native returns to suspend the calling script thread (PauseThread's result). Equal to
// Squirrel's internal SQ_SUSPEND_FLAG, which sq_suspendvm returns; the Lua trampoline turns it
// into a yield.
constexpr int32_t kScriptSuspendResult = -666;

// One script function, registered under its namespace as a static object before main:
//   static ScriptFunctionEntry entry("Chat", "SendMessage", &ScriptChatSendMessage);
struct ScriptFunctionEntry
{
    // Registers the entry in the process-wide registry.
    ScriptFunctionEntry(std::string nameSpace, std::string name, ScriptFunctionNative native);

    // An entry kept out of the registry, for a module installed into one VM by hand (tests, tools).
    struct Unregistered
    {
    };
    ScriptFunctionEntry(std::string nameSpace, std::string name, ScriptFunctionNative native, Unregistered);

    ScriptFunctionEntry(const ScriptFunctionEntry&) = delete;
    ScriptFunctionEntry& operator=(const ScriptFunctionEntry&) = delete;

    std::string nameSpace;
    std::string name;
    ScriptFunctionNative native;
};

// Namespace (bytewise order) -> entries; entries of one namespace keep their registration order.
// Does not own the entries.
using ScriptFunctionRegistry = std::multimap<std::string, const ScriptFunctionEntry*>;

// The registry, created on first use (whichever static entry registers first).
ScriptFunctionRegistry& GetScriptFunctionRegistry();

// Installs every namespace of the registry, in namespace order, through the VM's RegisterModule.
void RegisterScriptModules(ScriptVM* vm);

// The VM (main VM or script thread object) whose raw state this is; null when no VM owns it.
ScriptVM* FindScriptVM(void* raw);

// Squirrel side of the calling convention, for SquirrelVM::RegisterModule: pushes a native closure
// that runs the entry's native and hands its result to Squirrel unchanged (so -1 raises the last
// error and kScriptSuspendResult suspends). The closure carries the entry as its one free variable,
// which it removes from the stack before the native runs, so the native sees exactly `this` and the
// arguments. Exceptions thrown by a native become the script error.
void PushSquirrelScriptFunction(HSQUIRRELVM vm, const ScriptFunctionEntry& entry);
SQInteger SquirrelScriptFunctionTrampoline(HSQUIRRELVM vm);
