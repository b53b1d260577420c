#include "Scripting/SquirrelThread.h"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "Server/Platform.h"

// The stack size of a closure's function prototype is kept only in Squirrel's internal structures.
// clang-format off
#include <../squirrel/sqpcheader.h>
#include <../squirrel/sqvm.h>
#include <../squirrel/sqfuncproto.h>
#include <../squirrel/sqclosure.h>
// clang-format on

namespace
{
// Room made on a thread VM before its first run, as much as a main VM starts with. Squirrel cannot
// grow a stack while a metamethod runs (the `exports` proxies are metamethods): a thread VM sized
// only for its closure would fail such calls once its function has a dozen locals.
constexpr SQInteger kThreadStackRoom = 1024;

SQInteger PrototypeStackSize(const HSQOBJECT& closure)
{
    if (sq_type(closure) != OT_CLOSURE || closure._unVal.pClosure == nullptr)
        return 0;
    return closure._unVal.pClosure->_function->_stacksize;
}
} // namespace

SquirrelThread::SquirrelThread(SquirrelVM& main, const HSQOBJECT& closure)
    : SquirrelVM(main.GetResource(), NoState{}), parent(main.GetSquirrelVM()), function(closure)
{
    familyId = main.GetFamilyId();
    sq_resetobject(&threadRef);
    // Through the parent's reference table rather than a bare count: the garbage collector treats
    // that table as a root, so a script's collectgarbage() leaves the waiting closure intact.
    sq_addref(parent, &function);
}

SquirrelThread::~SquirrelThread()
{
    ReleaseThread();
    sq_release(parent, &function);
    sq_resetobject(&function);
}

int32_t SquirrelThread::PauseThread(uint32_t ms)
{
    pauseMs = static_cast<int32_t>(ms);
    return static_cast<int32_t>(sq_suspendvm(GetSquirrelVM()));
}

void SquirrelThread::Create()
{
    if (created || failed)
        return;
    if (sq_getvmstate(parent) != SQ_VMSTATE_IDLE)
        return;
    SQInteger top = sq_gettop(parent);
    SQInteger stackSize = std::max<SQInteger>(17, 2 * PrototypeStackSize(function) + 2);
    HSQUIRRELVM thread = nullptr;
    if (ReserveSquirrelStack(parent, 1))
        thread = sq_newthread(parent, stackSize);
    // sq_newthread leaves the thread object on the parent's stack: that object keeps the thread VM.
    if (thread == nullptr || sq_gettop(parent) != top + 1 || sq_gettype(parent, -1) != OT_THREAD ||
        SQ_FAILED(sq_getstackobj(parent, -1, &threadRef)))
    {
        sq_resetobject(&threadRef);
        sq_settop(parent, top);
        spdlog::error("[SquirrelThread] Failed to get thread reference.");
        failed = true;
        return;
    }
    sq_addref(parent, &threadRef);
    sq_poptop(parent);
    sq_pushobject(thread, function);
    SetState(thread);
    created = true;
}

void SquirrelThread::Start()
{
    HSQUIRRELVM thread = GetSquirrelVM();
    if (!ReserveSquirrelStack(thread, kThreadStackRoom))
    {
        sq_throwerror(thread, "Failed to call thread function.");
        lastResumeMs = GetTimeMs();
        return;
    }
    sq_pushroottable(thread);
    if (SQ_FAILED(sq_call(thread, 1, SQFalse, SQTrue)))
        sq_throwerror(thread, "Failed to call thread function.");
    lastResumeMs = GetTimeMs();
}

bool SquirrelThread::Resume()
{
    if (pauseMs > 0 && GetTimeMs() - lastResumeMs < static_cast<int64_t>(pauseMs))
        return true;
    HSQUIRRELVM thread = GetSquirrelVM();
    switch (sq_getvmstate(thread))
    {
    case SQ_VMSTATE_RUNNING:
        return true;
    case SQ_VMSTATE_SUSPENDED:
        if (SQ_SUCCEEDED(sq_wakeupvm(thread, SQFalse, SQFalse, SQTrue, SQFalse)))
        {
            lastResumeMs = GetTimeMs();
            return true;
        }
        ReleaseThread();
        return false;
    default: // idle: the closure has returned or failed
        ReleaseThread();
        return false;
    }
}

void SquirrelThread::ReleaseThread()
{
    if (sq_type(threadRef) == OT_NULL)
        return;
    // The thread VM may go with its last reference: nothing may find it by its state any more.
    SetState(nullptr);
    sq_release(parent, &threadRef);
    sq_resetobject(&threadRef);
}
