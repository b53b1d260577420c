#pragma once

#include <cstdint>
#include <string>

#include "Scripting/ScriptVM.h"

struct lua_State;
class ScriptContextAccess;

// Lua's stack primitives for ScriptContext (LuaContextAccess.cpp).
const ScriptContextAccess& GetLuaContextAccess();

// ScriptVM over a Lua 5.4 state: a resource's main VM (this class) or, through LuaThread, one of
// its script threads (a coroutine of the main state).
//
// Script errors of natives. A Lua error is a longjmp, which must not cross the C++ frames of a
// native (their destructors would not run). So RaiseError, the failing getters, GetTable and
// ReadArrayElements record the error on the VM and return (RaiseError gives -1), the native returns
// its negative result at once, and the Lua trampoline of the native raises the recorded error as
// soon as the native has returned. Seen from the script nothing differs: the native does nothing
// after the error, and the error carries the same text as a direct raise (Lua's own "bad argument"
// texts for failed argument checks).
class LuaVM : public ScriptVM
{
public:
    // A main VM: creates and prepares the Lua state.
    explicit LuaVM(Resource* resource);
    ~LuaVM() override;

    uint32_t GetType() override;
    void LoadBuiltins() override;
    bool LoadScript(const std::string& name, const std::string& code) override;
    int32_t GetArgCount() override;
    uint32_t GetArgType(int32_t position) override;
    // On failure also records "Expected a table" or "Expected string keys and values", which the
    // trampoline raises if the native then returns its error result (nothing is raised otherwise).
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
    // Only references filled by this VM or its threads (same family) are pushed.
    bool PushFunction(const ScriptFunctionRef& function) override;
    bool CallGlobal(const std::string& name, const ScriptContext& args, ScriptContext* results) override;
    bool Call(uint32_t argCount, int32_t resultCount) override;
    int32_t GetMemoryUsage() override;
    int32_t CreateThread() override;
    int32_t PauseThread(uint32_t ms) override;
    // Records the message for the trampoline and gives -1 (see above).
    int32_t RaiseError(const std::string& message) override;
    void ProcessThreads() override;

    lua_State* GetLuaState() const { return static_cast<lua_State*>(state); }

    // Record the error that Lua's argument checks (luaL_checktype and friends) would raise for the
    // argument at `position`, with the same text: "<where>bad argument #n to 'f' (<message>)", where
    // a type error's message is "<expected> expected, got <type>". Give false, for the getter.
    bool RecordTypeError(int32_t position, const char* expected);
    bool RecordArgumentError(int32_t position, const std::string& message);

    // Used by the trampoline: pushes the recorded error text and forgets it; a generic text naming
    // the function when nothing was recorded.
    void PushRecordedError(const char* functionName);

    // A ScriptContext::Push onto this VM could not push all its values (the Lua stack is full). The
    // call that follows fails instead of reading values that are not there (per calling thread).
    static void MarkIncompletePush();
    static bool TakeIncompletePush();

protected:
    struct NoState
    {
    };
    // Thread objects: no state of their own making.
    LuaVM(Resource* resource, NoState);

    std::string ResourceName() const;

private:
    std::string recordedError;
    bool hasRecordedError = false;
};
