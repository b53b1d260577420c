#pragma once

#include <cstdint>

#include <squirrel.h>

#include "Scripting/SquirrelVM.h"

// One script thread of a Squirrel resource: a thread VM of the main VM, made from the closure given
// to Thread.Create and driven by the main VM's ProcessThreads. The thread VM is made, and started,
// on the first pass after creation; it shares the main VM's root table and family.
class SquirrelThread : public SquirrelVM
{
public:
    // Holds the closure (through the parent's reference table) until the object is destroyed.
    SquirrelThread(SquirrelVM& main, const HSQOBJECT& closure);
    ~SquirrelThread() override;

    // Records the pause and gives the suspend request of sq_suspendvm, which the native Thread.Pause
    // hands back to Squirrel so that the thread VM suspends.
    int32_t PauseThread(uint32_t ms) override;

    // Makes the thread VM. Nothing while the parent VM is busy (tried again on a later pass);
    // `created` or `failed` tells the outcome.
    void Create();
    // Runs the closure until it pauses or ends.
    void Start();
    // Wakes the thread VM once its pause has run out. False when the thread has ended (its reference
    // released): the object is to be removed.
    bool Resume();

    // Managed by the main VM's ProcessThreads.
    bool created = false;
    bool failed = false; // the thread VM could not be made or held
    HSQUIRRELVM parent;
    HSQOBJECT function;
    int64_t lastResumeMs = 0; // end of the first run or of the last wake-up
    int32_t pauseMs = 0;      // the last pause asked for (a u32 kept in a signed field)
    HSQOBJECT threadRef;

private:
    void ReleaseThread();
};
