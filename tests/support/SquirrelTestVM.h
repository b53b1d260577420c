#pragma once

// A Squirrel resource for script tests: a Resource named "testres" (or as given) owning a main
// SquirrelVM, with test modules installed instead of the real API:
//   Test.Run(...)        runs the body set with SetSquirrelTestBody on the VM found for the calling
//                        state (a main VM or a thread object)
//   Thread.Create(f)     the VM's CreateThread
//   Thread.Pause(ms)     GetUInt(1), then the VM's PauseThread
// Run executes a script; the Global* helpers read root-table slots straight from the VM.

#include <cstdint>
#include <string>

#include <squirrel.h>

#include "LuaTestVM.h"
#include "Resources/Resource.h"
#include "Scripting/SquirrelVM.h"

// Replaces the body of the Squirrel Test.Run (process-wide; tests run one at a time).
void SetSquirrelTestBody(ScriptTestBody body);

class SquirrelTestVM
{
public:
    explicit SquirrelTestVM(const std::string& name = "testres");
    ~SquirrelTestVM();

    SquirrelVM& VM() { return *static_cast<SquirrelVM*>(resource.GetVM()); }
    HSQUIRRELVM V() { return VM().GetSquirrelVM(); }

    bool Run(const std::string& code, const std::string& name = "test.nut")
    {
        return VM().LoadScript(name, code);
    }

    // The slot's value: a string as it is, anything else through Squirrel's tostring; "<missing>"
    // when the root table has no such slot.
    std::string GlobalString(const char* name);
    int64_t GlobalInt(const char* name);
    bool GlobalBool(const char* name);
    SQObjectType GlobalType(const char* name);

    Resource resource;
};
