#include "Scripting/SquirrelVM.h"

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <sqstdaux.h>
#include <sqstdio.h>
#include <sqstdmath.h>
#include <sqstdstring.h>
#include <sqstdsystem.h>

#include "Resources/Resource.h"
#include "Scripting/Preludes.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptContextAccess.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/SquirrelThread.h"
#include "Server/Platform.h"

// The VM's error handler, its stack and the functions of native closures are kept only in
// Squirrel's internal structures (QuietCall, ReserveSquirrelStack and HardenLibrary below).
// clang-format off
#include <../squirrel/sqpcheader.h>
#include <../squirrel/sqvm.h>
#include <../squirrel/sqfuncproto.h>
#include <../squirrel/sqclosure.h>
// clang-format on

namespace
{
thread_local bool t_incompletePush = false;

constexpr SQInteger kInitialStackSize = 1024;
// One line of Squirrel's print and error output: 511 characters and the terminating zero.
constexpr size_t kOutputBufferSize = 512;

void PrintFunction(HSQUIRRELVM, const SQChar* format, ...)
{
    char buffer[kOutputBufferSize] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    spdlog::info("[SquirrelVM] Print: {}", buffer);
}

void ErrorFunction(HSQUIRRELVM, const SQChar* format, ...)
{
    char buffer[kOutputBufferSize] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    spdlog::error("[SquirrelVM] Error: {}", buffer);
}

// Room for one value a native pushes; when there is none the value is left out and the next call
// hears of it.
bool Room(HSQUIRRELVM v)
{
    if (ReserveSquirrelStack(v, 1))
        return true;
    SquirrelVM::MarkIncompletePush();
    return false;
}

// For a call whose errors are not to be raised: Squirrel still runs the error handler when such a
// call fails before its closure starts (wrong number of parameters) on a VM with no call running.
// The handler is set aside for the call; one that the called code installs itself stays.
class QuietCall
{
public:
    explicit QuietCall(HSQUIRRELVM v) : v(v), saved(v->_errorhandler) { v->_errorhandler.Null(); }
    ~QuietCall()
    {
        if (sq_type(v->_errorhandler) == OT_NULL)
            v->_errorhandler = saved;
    }
    QuietCall(const QuietCall&) = delete;
    QuietCall& operator=(const QuietCall&) = delete;

private:
    HSQUIRRELVM v;
    SQObjectPtr saved;
};

// The library functions that HardenLibrary puts a check in front of. Each is the same function of
// the library for every VM; kept when the first VM is made.
std::atomic<SQFUNCTION> g_suspend{nullptr};
std::atomic<SQFUNCTION> g_loadfile{nullptr};
std::atomic<SQFUNCTION> g_dofile{nullptr};
std::atomic<SQFUNCTION> g_closureAcall{nullptr};
std::atomic<SQFUNCTION> g_closurePacall{nullptr};
std::atomic<SQFUNCTION> g_threadCall{nullptr};
std::atomic<SQFUNCTION> g_threadWakeup{nullptr};
std::atomic<SQFUNCTION> g_threadWakeupThrow{nullptr};

// The checks. Each is given the library function it stands in front of, to call when the check
// passes.

SQInteger SuspendInThreadsOnly(HSQUIRRELVM v, SQFUNCTION suspend)
{
    // A resource's own VM must never stay suspended: its script threads wait for it to be idle, and
    // every later call into it would leave values behind on its stack.
    ScriptVM* vm = ScriptVM::FromState(v);
    if (vm != nullptr && vm->IsMain())
        return sq_throwerror(v, "suspend was used outside of a thread.");
    return suspend(v);
}

// loadfile(path) and dofile(path) also load precompiled closures, which Squirrel reads without any
// check: a crafted file would run arbitrary instructions. Only source text is loaded.
SQInteger SourceFilesOnly(HSQUIRRELVM v, SQFUNCTION load)
{
    const SQChar* path = nullptr;
    if (SQ_SUCCEEDED(sq_getstring(v, 2, &path)))
    {
        unsigned char tag[2] = {};
        if (std::FILE* file = std::fopen(path, "rb"))
        {
            size_t read = std::fread(tag, 1, sizeof(tag), file);
            std::fclose(file);
            if (read == sizeof(tag) && (tag[0] << 8 | tag[1]) == SQ_BYTECODE_STREAM_TAG)
                return sq_throwerror(v, "attempt to load a precompiled script");
        }
    }
    return load(v);
}

// closure.acall(array) and closure.pacall(array) push the closure and every element of the array
// before they call: the stack must hold them all.
SQInteger ArrayCallWithRoom(HSQUIRRELVM v, SQFUNCTION call)
{
    if (!ReserveSquirrelStack(v, sq_getsize(v, 2) + 1))
        return sq_throwerror(v, "stack overflow (array too long for a call)");
    return call(v);
}

// thread.call(...), thread.wakeup(...) and thread.wakeupthrow(...) run another VM (the thread)
// inside the calling script: they count as nested script calls, and the thread's stack must hold
// the values they move onto it.
SQInteger EnterThread(HSQUIRRELVM v, SQInteger slots, SQFUNCTION enter)
{
    ScriptCallDepth depth;
    if (!depth.Allowed())
        return sq_throwerror(v, ScriptCallDepth::kRefusal);
    HSQUIRRELVM thread = nullptr;
    if (SQ_FAILED(sq_getthread(v, 1, &thread)) || !ReserveSquirrelStack(thread, slots))
        return sq_throwerror(v, "stack overflow (too many arguments for the thread)");
    return enter(v);
}

SQInteger ThreadCallWithRoom(HSQUIRRELVM v, SQFUNCTION call)
{
    // The thread's root table and every argument.
    return EnterThread(v, sq_gettop(v) + 1, call);
}

SQInteger ThreadWakeupWithRoom(HSQUIRRELVM v, SQFUNCTION wakeup)
{
    // The value handed to the thread.
    return EnterThread(v, 2, wakeup);
}

using LibraryCheck = SQInteger (*)(HSQUIRRELVM, SQFUNCTION);

template <LibraryCheck Check, std::atomic<SQFUNCTION>& Original> SQInteger Checked(HSQUIRRELVM v)
{
    return Check(v, Original.load(std::memory_order_relaxed));
}

// Makes the native closure stored under `name` in the table on top of the stack run Check in front
// of its function, which Original keeps. The closure stays the same object, with its name and its
// parameter checks.
template <LibraryCheck Check, std::atomic<SQFUNCTION>& Original>
void PutCheckInFront(HSQUIRRELVM v, const char* name)
{
    sq_pushstring(v, name, -1);
    if (SQ_FAILED(sq_rawget(v, -2)))
        return;
    HSQOBJECT object;
    sq_resetobject(&object);
    SQFUNCTION checked = &Checked<Check, Original>;
    if (sq_gettype(v, -1) == OT_NATIVECLOSURE && SQ_SUCCEEDED(sq_getstackobj(v, -1, &object)) &&
        _nativeclosure(object)->_function != checked)
    {
        Original.store(_nativeclosure(object)->_function, std::memory_order_relaxed);
        _nativeclosure(object)->_function = checked;
    }
    sq_poptop(v);
}

// What scripts may not do with the standard libraries: run shell commands, remove or rename files,
// read the environment (removed); leave the resource's VM suspended, load precompiled closures, make
// the library push more values than a stack holds or nest VMs without bound (checks put in front).
void HardenLibrary(HSQUIRRELVM v)
{
    SQInteger top = sq_gettop(v);
    sq_pushroottable(v);
    for (const char* name : {"system", "remove", "rename", "getenv"})
    {
        sq_pushstring(v, name, -1);
        sq_deleteslot(v, -2, SQFalse);
    }
    PutCheckInFront<SuspendInThreadsOnly, g_suspend>(v, "suspend");
    PutCheckInFront<SourceFilesOnly, g_loadfile>(v, "loadfile");
    PutCheckInFront<SourceFilesOnly, g_dofile>(v, "dofile");
    sq_getdefaultdelegate(v, OT_CLOSURE);
    PutCheckInFront<ArrayCallWithRoom, g_closureAcall>(v, "acall");
    PutCheckInFront<ArrayCallWithRoom, g_closurePacall>(v, "pacall");
    sq_poptop(v);
    sq_getdefaultdelegate(v, OT_THREAD);
    PutCheckInFront<ThreadCallWithRoom, g_threadCall>(v, "call");
    PutCheckInFront<ThreadWakeupWithRoom, g_threadWakeup>(v, "wakeup");
    PutCheckInFront<ThreadWakeupWithRoom, g_threadWakeupThrow>(v, "wakeupthrow");
    sq_settop(v, top);
}

// A Squirrel float as an integer, truncated toward zero like Squirrel's own conversion, but
// saturating where that conversion is undefined.
int64_t FloatToInteger(SQFloat value)
{
    if (std::isnan(value))
        return 0;
    constexpr SQFloat kLimit = 9223372036854775808.0f; // 2^63
    if (value >= kLimit)
        return std::numeric_limits<int64_t>::max();
    if (value < -kLimit)
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}
} // namespace

SquirrelVM::SquirrelVM(Resource* resource) : ScriptVM(resource, true)
{
    // Here rather than by a static object of its own file, which a binary taking the server's code
    // from a static archive would leave out.
    RegisterScriptContextAccess(ScriptVMType::Squirrel, &GetSquirrelContextAccess());
    HSQUIRRELVM v = sq_open(kInitialStackSize);
    if (v == nullptr)
        throw std::bad_alloc();
    sqstd_seterrorhandlers(v);
    sq_setprintfunc(v, &PrintFunction, &ErrorFunction);
    sq_pushroottable(v);
    sqstd_register_stringlib(v);
    sqstd_register_mathlib(v);
    sqstd_register_iolib(v);
    sqstd_register_systemlib(v);
    sq_pop(v, 1);
    HardenLibrary(v);
    SetState(v);
    ScriptFunctionRef::RegisterSquirrelVM(familyId, v);
}

SquirrelVM::SquirrelVM(Resource* resource, NoState) : ScriptVM(resource, false) {}

SquirrelVM::~SquirrelVM()
{
    if (!isMain)
        return;
    // Threads first (their thread VMs belong to this VM), then every function record still holding
    // a closure of this VM: closing frees the closures whatever their counts. Out of the lookup
    // before closing, so nothing can find a VM that is going away.
    DestroyThreads();
    ScriptFunctionRef::UnregisterSquirrelVM(familyId);
    HSQUIRRELVM v = GetSquirrelVM();
    SetState(nullptr);
    if (v != nullptr)
        sq_close(v);
}

uint32_t SquirrelVM::GetType()
{
    return ScriptVMType::Squirrel;
}

std::string SquirrelVM::ResourceName() const
{
    return resource != nullptr ? resource->GetName() : std::string();
}

void SquirrelVM::LoadBuiltins()
{
    LoadScript(kSquirrelPreludeName, GetSquirrelPrelude());
}

bool SquirrelVM::LoadScript(const std::string& name, const std::string& code)
{
    HSQUIRRELVM v = GetSquirrelVM();
    SQInteger top = sq_gettop(v);
    if (!ReserveSquirrelStack(v, 2))
    {
        spdlog::error("[SquirrelVM] Error loading script {} in resource {}: {}", name, ResourceName(),
                      GetSquirrelLastError());
        return false;
    }
    std::string sourceName = "@" + name;
    if (SQ_FAILED(sq_compilebuffer(v, code.data(), static_cast<SQInteger>(code.size()), sourceName.c_str(),
                                   SQTrue)))
    {
        sq_settop(v, top);
        spdlog::error("[SquirrelVM] Error parsing script {} in resource {}: {}", name, ResourceName(),
                      GetSquirrelLastError());
        return false;
    }
    sq_pushroottable(v);
    if (SQ_FAILED(sq_call(v, 1, SQFalse, SQTrue)))
    {
        sq_settop(v, top);
        spdlog::error("[SquirrelVM] Error loading script {} in resource {}: {}", name, ResourceName(),
                      GetSquirrelLastError());
        return false;
    }
    sq_settop(v, top);
    return true;
}

int32_t SquirrelVM::GetArgCount()
{
    return static_cast<int32_t>(sq_gettop(GetSquirrelVM()) - 1);
}

uint32_t SquirrelVM::GetArgType(int32_t)
{
    return 0;
}

SQInteger SquirrelVM::ArgumentIndex(int32_t position)
{
    // Squirrel does not check stack indices: a slot above the top holds a stale value.
    if (position < 1 || static_cast<SQInteger>(position) + 1 > sq_gettop(GetSquirrelVM()))
        return 0;
    return static_cast<SQInteger>(position) + 1;
}

bool SquirrelVM::Fail(const char* message)
{
    sq_throwerror(GetSquirrelVM(), message);
    return false;
}

bool SquirrelVM::GetTable(int32_t position, std::map<std::string, std::string>& out)
{
    HSQUIRRELVM v = GetSquirrelVM();
    SQInteger index = ArgumentIndex(position);
    if (index == 0 || sq_gettype(v, index) != OT_TABLE)
        return Fail("Expected a table");
    SQInteger top = sq_gettop(v);
    if (!ReserveSquirrelStack(v, 4))
        return false;
    sq_push(v, index);
    sq_pushnull(v);
    while (SQ_SUCCEEDED(sq_next(v, -2)))
    {
        const SQChar* key = nullptr;
        const SQChar* value = nullptr;
        SQInteger keyLength = 0;
        SQInteger valueLength = 0;
        if (SQ_FAILED(sq_getstringandsize(v, -2, &key, &keyLength)) ||
            SQ_FAILED(sq_getstringandsize(v, -1, &value, &valueLength)))
        {
            sq_settop(v, top);
            return Fail("Expected string keys and values");
        }
        out.emplace(std::string(key, static_cast<size_t>(keyLength)),
                    std::string(value, static_cast<size_t>(valueLength)));
        sq_pop(v, 2);
    }
    sq_settop(v, top);
    return true;
}

bool SquirrelVM::GetFunction(int32_t position, ScriptFunctionRef& out)
{
    HSQUIRRELVM v = GetSquirrelVM();
    SQInteger index = ArgumentIndex(position);
    // Script closures only: a native closure has no place in a thread or a handler record.
    if (index == 0 || sq_gettype(v, index) != OT_CLOSURE)
        return Fail("Expected an function value");
    HSQOBJECT closure;
    sq_resetobject(&closure);
    sq_getstackobj(v, index, &closure);
    out.SetSquirrelFunction(closure, familyId);
    return true;
}

bool SquirrelVM::GetString(int32_t position, std::string& out)
{
    HSQUIRRELVM v = GetSquirrelVM();
    SQInteger index = ArgumentIndex(position);
    const SQChar* text = nullptr;
    SQInteger length = 0;
    if (index == 0 || SQ_FAILED(sq_getstringandsize(v, index, &text, &length)))
        return Fail("Expected an string value");
    out.assign(text, strnlen(text, static_cast<size_t>(length)));
    return true;
}

bool SquirrelVM::GetBool(int32_t position, bool& out)
{
    HSQUIRRELVM v = GetSquirrelVM();
    SQInteger index = ArgumentIndex(position);
    SQBool value = SQFalse;
    if (index == 0 || SQ_FAILED(sq_getbool(v, index, &value)))
        return Fail("Expected an bool value");
    out = value != SQFalse;
    return true;
}

bool SquirrelVM::GetFloat(int32_t position, float& out)
{
    HSQUIRRELVM v = GetSquirrelVM();
    SQInteger index = ArgumentIndex(position);
    SQFloat value = 0;
    if (index == 0 || SQ_FAILED(sq_getfloat(v, index, &value)))
        return Fail("Expected an float value");
    out = static_cast<float>(value);
    return true;
}

bool SquirrelVM::GetInt(int32_t position, int32_t& out)
{
    uint32_t value = 0;
    if (!GetUInt(position, value))
        return false;
    out = static_cast<int32_t>(value);
    return true;
}

bool SquirrelVM::GetUInt(int32_t position, uint32_t& out)
{
    // What sq_getinteger takes: integers, floats (truncated) and bools (0 or 1).
    HSQUIRRELVM v = GetSquirrelVM();
    SQInteger index = ArgumentIndex(position);
    int64_t value = 0;
    switch (index == 0 ? OT_NULL : sq_gettype(v, index))
    {
    case OT_INTEGER:
    {
        SQInteger integer = 0;
        sq_getinteger(v, index, &integer);
        value = integer;
        break;
    }
    case OT_FLOAT:
    {
        SQFloat number = 0;
        sq_getfloat(v, index, &number);
        value = FloatToInteger(number);
        break;
    }
    case OT_BOOL:
    {
        SQBool flag = SQFalse;
        sq_getbool(v, index, &flag);
        value = flag != SQFalse ? 1 : 0;
        break;
    }
    default:
        return Fail("Expected an integer value");
    }
    out = static_cast<uint32_t>(value);
    return true;
}

void SquirrelVM::PushUInt64(const uint64_t& value)
{
    if (Room(GetSquirrelVM()))
        sq_pushinteger(GetSquirrelVM(), static_cast<SQInteger>(value));
}

void SquirrelVM::PushInt64(const int64_t& value)
{
    if (Room(GetSquirrelVM()))
        sq_pushinteger(GetSquirrelVM(), static_cast<SQInteger>(value));
}

void SquirrelVM::PushString(const std::string& value)
{
    if (!Room(GetSquirrelVM()))
        return;
    // Every byte, zero bytes included.
    if (value.empty())
        sq_pushstring(GetSquirrelVM(), value.c_str(), -1);
    else
        sq_pushstring(GetSquirrelVM(), value.data(), static_cast<SQInteger>(value.size()));
}

void SquirrelVM::PushCString(const char* value)
{
    if (Room(GetSquirrelVM()))
        sq_pushstring(GetSquirrelVM(), value, -1);
}

void SquirrelVM::PushFloat(const float& value)
{
    if (Room(GetSquirrelVM()))
        sq_pushfloat(GetSquirrelVM(), static_cast<SQFloat>(value));
}

void SquirrelVM::PushULong(const uint32_t& value)
{
    if (Room(GetSquirrelVM()))
        sq_pushinteger(GetSquirrelVM(), static_cast<SQInteger>(value));
}

void SquirrelVM::PushLong(const int32_t& value)
{
    if (Room(GetSquirrelVM()))
        sq_pushinteger(GetSquirrelVM(), static_cast<SQInteger>(value));
}

void SquirrelVM::PushUInt(const uint32_t& value)
{
    if (Room(GetSquirrelVM()))
        sq_pushinteger(GetSquirrelVM(), static_cast<SQInteger>(value));
}

void SquirrelVM::PushInt(const int32_t& value)
{
    if (Room(GetSquirrelVM()))
        sq_pushinteger(GetSquirrelVM(), static_cast<SQInteger>(value));
}

void SquirrelVM::PushBool(const bool& value)
{
    if (Room(GetSquirrelVM()))
        sq_pushbool(GetSquirrelVM(), value ? SQTrue : SQFalse);
}

void SquirrelVM::PushNewArray()
{
    if (Room(GetSquirrelVM()))
        sq_newarray(GetSquirrelVM(), 0);
}

void SquirrelVM::ArraySet(int32_t)
{
    // Squirrel appends: elements must come in order.
    HSQUIRRELVM v = GetSquirrelVM();
    if (sq_gettop(v) >= 2 && sq_gettype(v, -2) == OT_ARRAY)
        sq_arrayappend(v, -2);
}

void SquirrelVM::RegisterModule(const std::string& name, const ScriptModuleRange& functions)
{
    HSQUIRRELVM v = GetSquirrelVM();
    SQInteger top = sq_gettop(v);
    if (!ReserveSquirrelStack(v, 6))
        return;
    sq_pushroottable(v);
    sq_pushstring(v, name.data(), static_cast<SQInteger>(name.size()));
    sq_newtable(v);
    for (const ScriptFunctionEntry* entry : functions)
    {
        sq_pushstring(v, entry->name.data(), static_cast<SQInteger>(entry->name.size()));
        PushSquirrelScriptFunction(v, *entry);
        sq_newslot(v, -3, SQFalse);
    }
    sq_newslot(v, -3, SQFalse);
    sq_settop(v, top);
}

bool SquirrelVM::PushFunction(const ScriptFunctionRef& function)
{
    HSQUIRRELVM v = GetSquirrelVM();
    // A call sequence starts here: a mark left by an earlier push (by a native) is not this call's.
    TakeIncompletePush();
    if (v == nullptr || function.vmType != ScriptVMType::Squirrel || function.vmFamily != familyId ||
        sq_type(function.sqFunction) != OT_CLOSURE)
        return false;
    if (!ReserveSquirrelStack(v, 2))
        return false;
    sq_pushobject(v, function.sqFunction);
    sq_pushroottable(v);
    return true;
}

bool SquirrelVM::CallGlobal(const std::string& name, const ScriptContext& args, ScriptContext* results)
{
    HSQUIRRELVM v = GetSquirrelVM();
    ScriptCallDepth depth;
    if (!depth.Allowed())
        return depth.Refuse(*this);
    SQInteger top = sq_gettop(v);
    if (!ReserveSquirrelStack(v, 4))
        return false;
    sq_pushroottable(v);
    sq_pushstring(v, name.data(), static_cast<SQInteger>(name.size()));
    if (SQ_FAILED(sq_get(v, -2)))
    {
        sq_settop(v, top);
        return false;
    }
    sq_pushroottable(v);
    TakeIncompletePush();
    args.Push(this);
    if (TakeIncompletePush())
    {
        sq_settop(v, top);
        return false;
    }
    bool called = false;
    {
        QuietCall quiet(v);
        called = SQ_SUCCEEDED(sq_call(v, static_cast<SQInteger>(args.Count()) + 1, SQTrue, SQFalse));
    }
    if (!called)
    {
        sq_settop(v, top);
        return false;
    }
    // Exactly one value: what the function returned, null when it returned nothing.
    if (results != nullptr)
        results->Read(this, -1);
    sq_settop(v, top);
    return true;
}

bool SquirrelVM::Call(uint32_t argCount, int32_t resultCount)
{
    HSQUIRRELVM v = GetSquirrelVM();
    if (TakeIncompletePush())
    {
        // The arguments never reached the stack: only the closure and `this` are there.
        sq_pop(v, 2);
        spdlog::error("[SquirrelVM] Failed to call function in resource {}:\n\t{}", ResourceName(),
                      "stack overflow (too many arguments)");
        return false;
    }
    // The closure, `this` and the arguments.
    if (static_cast<SQInteger>(argCount) + 2 > sq_gettop(v))
    {
        spdlog::error("[SquirrelVM] Failed to call function in resource {}:\n\t{}", ResourceName(),
                      "missing function or arguments on the stack");
        return false;
    }
    ScriptCallDepth depth;
    if (!depth.Allowed())
    {
        sq_pop(v, static_cast<SQInteger>(argCount) + 2);
        return depth.Refuse(*this);
    }
    bool wantResult = resultCount >= 1;
    bool called = false;
    {
        QuietCall quiet(v);
        called = SQ_SUCCEEDED(
            sq_call(v, static_cast<SQInteger>(argCount) + 1, wantResult ? SQTrue : SQFalse, SQFalse));
    }
    if (!called)
    {
        spdlog::error("[SquirrelVM] Failed to call function in resource {}:\n\t{}", ResourceName(),
                      GetSquirrelLastError());
        sq_poptop(v);
        return false;
    }
    // The closure goes; a result asked for stays on top.
    if (wantResult)
        sq_remove(v, -2);
    else
        sq_poptop(v);
    return true;
}

int32_t SquirrelVM::GetMemoryUsage()
{
    return 0;
}

int32_t SquirrelVM::CreateThread()
{
    if (!isMain)
        return RaiseError("CreateThread can not be used inside of a thread.");
    ScriptFunctionRef function;
    if (!GetFunction(1, function))
        return -1;
    auto* thread = new SquirrelThread(*this, function.sqFunction);
    threads.push_back(thread);
    spdlog::debug("[SquirrelVM] Created Thread ({}).", fmt::ptr(thread));
    return 0;
}

int32_t SquirrelVM::PauseThread(uint32_t)
{
    return RaiseError("PauseThread was used outside of a thread.");
}

int32_t SquirrelVM::RaiseError(const std::string& message)
{
    return static_cast<int32_t>(sq_throwerror(GetSquirrelVM(), message.c_str()));
}

void SquirrelVM::ProcessThreads()
{
    if (!isMain || threads.empty())
        return;
    // Threads created while this pass runs (by script code that a running thread triggers) are
    // appended behind `count` and handled from the next pass. Indices stay valid as the list grows.
    size_t count = threads.size();
    for (size_t i = 0; i < count;)
    {
        auto* thread = static_cast<SquirrelThread*>(threads[i]);
        bool keep = true;
        if (!thread->created)
        {
            thread->Create();
            if (thread->created)
                thread->Start();
            // A thread VM that could not be held would never run: dropped rather than retried.
            keep = !thread->failed;
        }
        else
        {
            keep = thread->Resume();
        }
        if (keep)
        {
            ++i;
            continue;
        }
        spdlog::debug("[SquirrelVM] Destroying Thread ({}).", fmt::ptr(thread));
        threads.erase(threads.begin() + static_cast<std::ptrdiff_t>(i));
        --count;
        delete thread;
    }
}

std::string SquirrelVM::GetSquirrelLastError()
{
    HSQUIRRELVM v = GetSquirrelVM();
    if (v == nullptr || !ReserveSquirrelStack(v, 2))
        return {};
    SQInteger top = sq_gettop(v);
    sq_getlasterror(v);
    std::string text;
    if (sq_gettype(v, -1) != OT_NULL && SQ_SUCCEEDED(sq_tostring(v, -1)))
    {
        const SQChar* value = nullptr;
        SQInteger length = 0;
        if (SQ_SUCCEEDED(sq_getstringandsize(v, -1, &value, &length)))
            text.assign(value, static_cast<size_t>(length));
    }
    sq_settop(v, top);
    return text;
}

void SquirrelVM::MarkIncompletePush()
{
    t_incompletePush = true;
}

bool SquirrelVM::TakeIncompletePush()
{
    bool incomplete = t_incompletePush;
    t_incompletePush = false;
    return incomplete;
}

bool ReserveSquirrelStack(HSQUIRRELVM v, SQInteger slots)
{
    if (v == nullptr || slots < 0 || slots > kMaxSquirrelStackSlots)
        return false;
    // The VM keeps MIN_STACK_OVERHEAD slots free above the top of every frame; so does this.
    SQInteger needed = v->_top + slots + MIN_STACK_OVERHEAD;
    if (needed <= static_cast<SQInteger>(v->_stack.size()))
        return true;
    // A running metamethod holds references into the stack, which moving it would leave dangling.
    if (v->_nmetamethodscall != 0 || needed > kMaxSquirrelStackSlots)
        return false;
    // As the VM grows its stack for a call: with room to spare, and the open outer variables (locals
    // captured by closures) moved along. sq_reservestack does neither, so the values of a native that
    // pushes past the initial stack would land beside captured locals that point into freed memory.
    v->_stack.resize(static_cast<SQUnsignedInteger>(needed + (MIN_STACK_OVERHEAD << 2)));
    v->RelocateOuters();
    return true;
}
