#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Scripting/ScriptFunctionRef.h"

class Resource;
class ScriptContext;
struct ScriptFunctionEntry;

enum ScriptVMType : uint32_t
{
    None = 0,
    Lua = 1,
    Squirrel = 2,
};

// A range of registry entries of one namespace (see ScriptFunctionRegistry.h).
using ScriptModuleRange = std::vector<const ScriptFunctionEntry*>;

// The interface through which the server drives a script VM: a resource's main VM or one of its
// script threads. Getters take 1-based script argument positions.
class ScriptVM
{
public:
    ScriptVM(Resource* resource, bool isMain);
    virtual ~ScriptVM();

    virtual uint32_t GetType() = 0;
    Resource* GetResource() const { return resource; }
    virtual void LoadBuiltins() = 0;
    virtual bool LoadScript(const std::string& name, const std::string& code) = 0;
    virtual int32_t GetArgCount() = 0;
    virtual uint32_t GetArgType(int32_t position) = 0;
    virtual bool GetTable(int32_t position, std::map<std::string, std::string>& out) = 0;
    virtual bool GetFunction(int32_t position, ScriptFunctionRef& out) = 0;
    virtual bool GetString(int32_t position, std::string& out) = 0;
    virtual bool GetBool(int32_t position, bool& out) = 0;
    virtual bool GetFloat(int32_t position, float& out) = 0;
    virtual bool GetInt(int32_t position, int32_t& out) = 0;
    virtual bool GetUInt(int32_t position, uint32_t& out) = 0;
    virtual void PushUInt64(const uint64_t& value) = 0;
    virtual void PushInt64(const int64_t& value) = 0;
    virtual void PushString(const std::string& value) = 0;
    virtual void PushCString(const char* value) = 0;
    virtual void PushFloat(const float& value) = 0;
    virtual void PushULong(const uint32_t& value) = 0;
    virtual void PushLong(const int32_t& value) = 0;
    virtual void PushUInt(const uint32_t& value) = 0;
    virtual void PushInt(const int32_t& value) = 0;
    virtual void PushBool(const bool& value) = 0;
    virtual void PushNewArray() = 0;
    virtual void ArraySet(int32_t index) = 0;
    virtual void RegisterModule(const std::string& name, const ScriptModuleRange& functions) = 0;
    virtual bool PushFunction(const ScriptFunctionRef& function) = 0;
    virtual bool CallGlobal(const std::string& name, const ScriptContext& args, ScriptContext* results) = 0;
    virtual bool Call(uint32_t argCount, int32_t resultCount) = 0;
    virtual int32_t GetMemoryUsage() = 0;
    virtual int32_t CreateThread() = 0;
    virtual int32_t PauseThread(uint32_t ms) = 0;
    virtual int32_t RaiseError(const std::string& message) = 0;
    virtual void ProcessThreads() = 0;

    bool IsMain() const { return isMain; }
    void* GetState() const { return state; }
    const std::vector<ScriptVM*>& GetThreads() const { return threads; }

    // Identifies a main VM together with its thread objects (they share one script state), so that
    // a function reference filled by one VM is never pushed into another, even one that took over
    // the same memory after the first was closed.
    uint64_t GetFamilyId() const { return familyId; }

    // The VM (main VM or thread object) whose raw state this is; null for an unknown state.
    // Constant time: every VM keeps its entry up to date through SetState.
    static ScriptVM* FromState(void* raw);

    ScriptVM(const ScriptVM&) = delete;
    ScriptVM& operator=(const ScriptVM&) = delete;

protected:
    // Sets the raw state and keeps the raw state -> VM lookup in step; null removes the entry.
    void SetState(void* raw);
    // Deletes the thread objects in list order. A derived main VM calls it before it closes the
    // state that its threads live in; the base destructor calls it again (then a no-op).
    void DestroyThreads();

    Resource* resource;
    bool isMain;
    std::vector<ScriptVM*> threads; // owned by a main VM, in creation order
    void* state = nullptr;
    uint64_t familyId; // a new one per constructed VM; thread objects take their main VM's
};

// Bounds how deeply calls into script VMs nest on one thread, over all VMs together. Each VM limits
// only its own nesting, so resources whose exports or event handlers call each other in a ring would
// otherwise nest until the thread runs out of C stack. Every entry into a VM while script code may
// already be running (the VMs' Call and CallGlobal, a Squirrel thread called from a script) holds one
// for the time of the call.
class ScriptCallDepth
{
public:
    // Calls nested at once on a thread. A chain of exports or events through 100 resources takes 100
    // (each hop is one call). 200 hops, each VM nested in itself as deeply as it allows, take about
    // 25 MiB of C stack (in the sanitizer build too), well within the main loop's (Main.cpp).
    static constexpr int kLimit = 200;
    // The error of a refused call.
    static constexpr const char* kRefusal = "script calls nested too deeply across resources";

    ScriptCallDepth();
    ~ScriptCallDepth();
    // False when this call would pass the limit: the caller must not enter the VM.
    bool Allowed() const;
    // Logs that the call into `target` was refused; false, for the caller to return.
    static bool Refuse(const ScriptVM& target);

    ScriptCallDepth(const ScriptCallDepth&) = delete;
    ScriptCallDepth& operator=(const ScriptCallDepth&) = delete;
};
