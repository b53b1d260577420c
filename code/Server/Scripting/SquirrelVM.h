#pragma once

#include <cstdint>
#include <string>

#include <squirrel.h>

#include "Scripting/ScriptVM.h"

class ScriptContextAccess;

// Squirrel's stack primitives for ScriptContext (SquirrelContextAccess.cpp).
const ScriptContextAccess& GetSquirrelContextAccess();

// The most slots a VM's stack is grown to for values pushed from native code (16 bytes each).
constexpr SQInteger kMaxSquirrelStackSlots = 1000000;

// Makes room for `slots` more values above the top of the stack, for pushes from native code: use
// it instead of sq_reservestack, which leaves locals captured by closures pointing into the old
// stack. False when the stack cannot move (a metamethod is running) or would pass
// kMaxSquirrelStackSlots; the VM's last error is left as it was.
bool ReserveSquirrelStack(HSQUIRRELVM v, SQInteger slots);

// ScriptVM over a Squirrel VM: a resource's main VM (this class) or, through SquirrelThread, one of
// its script threads (a thread VM sharing the main VM's root table).
//
// Argument position p lives at stack index p + 1: index 1 holds `this`. Script errors of natives are
// recorded as the VM's last error (sq_throwerror); the native then returns its negative result and
// Squirrel raises the recorded error in the calling script.
//
// Squirrel's stack does not grow by itself when values are pushed from C: every push here makes
// room first (ReserveSquirrelStack), and a value that cannot get a slot is left out rather than
// written past the stack's end.
class SquirrelVM : public ScriptVM
{
public:
    // A main VM: opens and prepares the Squirrel VM.
    explicit SquirrelVM(Resource* resource);
    ~SquirrelVM() override;

    uint32_t GetType() override;
    void LoadBuiltins() override;
    bool LoadScript(const std::string& name, const std::string& code) override;
    int32_t GetArgCount() override;
    uint32_t GetArgType(int32_t position) override;
    bool GetTable(int32_t position, std::map<std::string, std::string>& out) override;
    bool GetFunction(int32_t position, ScriptFunctionRef& out) override;
    bool GetString(int32_t position, std::string& out) override;
    bool GetBool(int32_t position, bool& out) override;
    bool GetFloat(int32_t position, float& out) override;
    bool GetInt(int32_t position, int32_t& out) override;
    bool GetUInt(int32_t position, uint32_t& out) override;
    void PushUInt64(const uint64_t& value) override;
    void PushInt64(const int64_t& value) override;
    void PushString(const std::string& value) override;
    void PushCString(const char* value) override;
    void PushFloat(const float& value) override;
    void PushULong(const uint32_t& value) override;
    void PushLong(const int32_t& value) override;
    void PushUInt(const uint32_t& value) override;
    void PushInt(const int32_t& value) override;
    void PushBool(const bool& value) override;
    void PushNewArray() override;
    void ArraySet(int32_t index) override;
    void RegisterModule(const std::string& name, const ScriptModuleRange& functions) override;
    // Pushes the closure and the root table as `this`. Only closures taken by this VM or its threads
    // (same family) are pushed.
    bool PushFunction(const ScriptFunctionRef& function) override;
    bool CallGlobal(const std::string& name, const ScriptContext& args, ScriptContext* results) override;
    bool Call(uint32_t argCount, int32_t resultCount) override;
    int32_t GetMemoryUsage() override;
    int32_t CreateThread() override;
    int32_t PauseThread(uint32_t ms) override;
    int32_t RaiseError(const std::string& message) override;
    void ProcessThreads() override;

    HSQUIRRELVM GetSquirrelVM() const { return static_cast<HSQUIRRELVM>(state); }

    // The text form of the VM's last error; empty when there is none.
    std::string GetSquirrelLastError();

    // A ScriptContext::Push onto a Squirrel VM could not push all its values (the stack cannot
    // grow): the call that follows fails instead of taking values that are not there (per calling
    // thread).
    static void MarkIncompletePush();
    static bool TakeIncompletePush();

protected:
    struct NoState
    {
    };
    // Thread objects: no VM of their own making.
    SquirrelVM(Resource* resource, NoState);

    std::string ResourceName() const;
    // The stack slot of argument `position`, or 0 when the argument was not given.
    SQInteger ArgumentIndex(int32_t position);
    // Records `message` as the last error and gives false, for the getters.
    bool Fail(const char* message);
};
