// The Lua VM: state set-up, loading scripts, argument getters and their Lua errors, calls into
// Lua, script threads and the `exports` prelude.

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "LuaTestVM.h"
#include "Scripting/LuaThread.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Server/Platform.h"

namespace
{
class LuaVMTest : public ::testing::Test
{
protected:
    LogCapture log;
    LuaTestVM lua;

    std::vector<std::string> Errors() const { return log.Messages(spdlog::level::err); }
};

TEST_F(LuaVMTest, OpensOnlyTheAllowedLibrariesAndRemovesUnsafeFunctions)
{
    const std::vector<std::string> checks = {
        "package == nil",   "require == nil",    "coroutine == nil",     "dofile == nil",
        "loadfile == nil",  "os.execute == nil", "os.exit == nil",       "os.remove == nil",
        "os.rename == nil", "os.getenv == nil",  "os.tmpname == nil",    "os.setlocale == nil",
        "os.time ~= nil",   "io.open ~= nil",    "string.format ~= nil", "debug.traceback ~= nil",
        "utf8.char ~= nil", "load ~= nil",
    };
    for (const std::string& check : checks)
    {
        ASSERT_TRUE(lua.Run("check = " + check)) << check;
        EXPECT_TRUE(lua.GlobalBool("check")) << check;
    }
}

// ---------------------------------------------------------------------------------------------
// LoadScript

TEST_F(LuaVMTest, LoadScriptLogsCompileAndRunErrors)
{
    struct Case
    {
        std::string name;
        std::string code;
        std::string expected; // exact message, or prefix when it ends with "..."
    };
    const std::vector<Case> cases = {
        {"bad.lua", "x = = 1",
         "[LuaVM] Error parsing script bad.lua in resource testres: bad.lua:1: unexpected symbol near '='"},
        {"run.lua", "\nerror('boom')",
         "[LuaVM] Error loading script run.lua in resource testres: run.lua:2: boom\nstack traceback:..."},
        {"table.lua", "error({})", "[LuaVM] Error loading script table.lua in resource testres: "},
        // The traceback function passes a table on unchanged but turns nil into a bare traceback.
        {"nil.lua", "error()",
         "[LuaVM] Error loading script nil.lua in resource testres: stack traceback:..."},
    };
    for (const Case& c : cases)
    {
        log.Clear();
        EXPECT_FALSE(lua.Run(c.code, c.name)) << c.name;
        std::vector<std::string> errors = Errors();
        ASSERT_EQ(errors.size(), 1u) << c.name;
        if (c.expected.ends_with("..."))
            EXPECT_TRUE(errors[0].starts_with(c.expected.substr(0, c.expected.size() - 3))) << errors[0];
        else
            EXPECT_EQ(errors[0], c.expected);
    }
}

TEST_F(LuaVMTest, LoadScriptRefusesPrecompiledChunks)
{
    ASSERT_TRUE(lua.Run("bytecode = string.dump(function() ran = true end)"));
    EXPECT_FALSE(lua.Run(lua.GlobalString("bytecode"), "bin.lua"));
    EXPECT_EQ(Errors(), (std::vector<std::string>{"[LuaVM] Error parsing script bin.lua in resource testres: "
                                                  "attempt to load a binary chunk (mode is 't')"}));
    EXPECT_EQ(lua.GlobalType("ran"), LUA_TNIL);
}

TEST_F(LuaVMTest, LoadScriptStillRunsWhenTheTracebackIsGone)
{
    for (const char* replacement :
         {"debug.traceback = 5", "debug = nil",
          "setmetatable(_G, { __index = function(_, k) error('undeclared ' .. k) end }) debug = nil"})
    {
        LuaTestVM fresh;
        ASSERT_TRUE(fresh.Run(replacement)) << replacement;
        log.Clear();
        EXPECT_FALSE(fresh.Run("error('boom')", "x.lua"));
        EXPECT_EQ(Errors(), (std::vector<std::string>{
                                "[LuaVM] Error loading script x.lua in resource testres: x.lua:1: boom"}))
            << replacement;
    }
}

// ---------------------------------------------------------------------------------------------
// Argument getters: Lua's own error texts, raised once the native has returned

enum class Check
{
    Int,
    Float,
    String,
    Function,
    ArgumentArray,
};

Check g_check = Check::Int;

int ReferenceRun(lua_State* L)
{
    if (g_check == Check::Int)
        luaL_checkinteger(L, 1);
    else if (g_check == Check::Float)
        luaL_checknumber(L, 1);
    else if (g_check == Check::String)
        luaL_checkstring(L, 1);
    else
        luaL_checktype(L, 1, g_check == Check::Function ? LUA_TFUNCTION : LUA_TTABLE);
    return 0;
}

int32_t RunCheck(ScriptVM* vm)
{
    int32_t i = 0;
    float f = 0;
    std::string s;
    ScriptFunctionRef function;
    ScriptContext context;
    bool ok = true;
    if (g_check == Check::Int)
        ok = vm->GetInt(1, i);
    else if (g_check == Check::Float)
        ok = vm->GetFloat(1, f);
    else if (g_check == Check::String)
        ok = vm->GetString(1, s);
    else if (g_check == Check::Function)
        ok = vm->GetFunction(1, function);
    else
        ok = context.ReadArrayElements(vm, 1);
    return ok ? 0 : -1;
}

TEST_F(LuaVMTest, FailedGettersRaiseTheSameTextsAsLuasArgumentChecks)
{
    lua_newtable(lua.L());
    lua_pushcfunction(lua.L(), &ReferenceRun);
    lua_setfield(lua.L(), -2, "Run");
    lua_setglobal(lua.L(), "Ref");
    SetTestBody(&RunCheck);

    // {T} becomes Ref (luaL_check*) and Test (our getters); both calls sit on one line so that the
    // position prefix matches too.
    const std::vector<std::string> callForms = {"local r = {T}.Run(ARG)", "local r = {T}:Run(ARG)",
                                                "local f = {T}.Run local r = f(ARG)"};
    const std::vector<std::string> arguments = {"'abc'", "1.5", "nil", "{}", "", "print", "'7'"};
    auto replaceAll = [](std::string text, const std::string& from, const std::string& to)
    {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
        return text;
    };
    for (Check check : {Check::Int, Check::Float, Check::String, Check::Function, Check::ArgumentArray})
    {
        g_check = check;
        for (const std::string& form : callForms)
            for (const std::string& argument : arguments)
            {
                std::string call = replaceAll(form, "ARG", argument);
                std::string script = "okRef, errRef = pcall(function() " + replaceAll(call, "{T}", "Ref") +
                                     " end) okOur, errOur = pcall(function() " +
                                     replaceAll(call, "{T}", "Test") +
                                     " end) errRef = tostring(errRef) errOur = tostring(errOur)";
                ASSERT_TRUE(lua.Run(script, "check.lua")) << script;
                EXPECT_EQ(lua.GlobalBool("okOur"), lua.GlobalBool("okRef")) << script;
                EXPECT_EQ(lua.GlobalString("errOur"), lua.GlobalString("errRef")) << script;
            }
    }
    // A sample, so that a regression in both at once would still show.
    g_check = Check::Int;
    ASSERT_TRUE(lua.Run("ok, err = pcall(function() local r = Test.Run('abc') end)", "sample.lua"));
    EXPECT_EQ(lua.GlobalString("err"),
              "sample.lua:1: bad argument #1 to 'Run' (number expected, got string)");
}

TEST_F(LuaVMTest, GettersConvertValuesLikeLua)
{
    SetTestBody(
        [](ScriptVM* vm)
        {
            std::string mode;
            vm->GetString(1, mode);
            int32_t i = 0;
            uint32_t u = 0;
            float f = 0;
            std::string s;
            bool b = true;
            if (mode == "int" && vm->GetInt(2, i))
                vm->PushInt(i);
            else if (mode == "uint" && vm->GetUInt(2, u))
                vm->PushUInt(u);
            else if (mode == "float" && vm->GetFloat(2, f))
                vm->PushFloat(f);
            else if (mode == "string" && vm->GetString(2, s))
                vm->PushString(s + "|" + std::to_string(s.size()));
            else if (mode == "bool")
                vm->PushBool(vm->GetBool(2, b) && b);
            else if (mode == "type")
                vm->PushUInt(vm->GetArgType(2));
            else
                return -1;
            return 1;
        });
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"'int', '10'", "10"},        {"'int', 4294967297", "1"},   {"'int', 2147483648", "-2147483648"},
        {"'uint', -1", "4294967295"}, {"'float', 1e300", "inf"},    {"'float', 7", "7.0"},
        {"'string', 5", "5|1"},       {"'string', 'a\\0b'", "a|1"}, {"'bool', nil", "false"},
        {"'bool', 0", "true"},        {"'type', 3", "2"},           {"'type', 3.5", "3"},
        {"'type', true", "4"},        {"'type', {}", "5"},          {"'type', 's'", "7"},
        {"'type', print", "0"},
    };
    for (const auto& [call, expected] : cases)
    {
        ASSERT_TRUE(lua.Run("result = tostring(Test.Run(" + call + "))")) << call;
        EXPECT_EQ(lua.GlobalString("result"), expected) << call;
    }
}

TEST_F(LuaVMTest, NativeFailuresBecomeLuaErrors)
{
    const std::vector<std::pair<ScriptTestBody, std::string>> cases = {
        // RaiseError raises the text unchanged: no format expansion, no position.
        {[](ScriptVM* vm) { return vm->RaiseError("100% %d %s done {}"); }, "100% %d %s done {}"},
        {[](ScriptVM*) { return -1; }, "Script function Run failed."},
        {[](ScriptVM*) -> int32_t { throw std::runtime_error("kaboom"); }, "kaboom"},
        {[](ScriptVM*) { return 1; }, "stack overflow (too many results)"},
        {[](ScriptVM* vm) { return vm->PauseThread(10); }, "PauseThread was used outside of a thread."},
    };
    for (const auto& [body, expected] : cases)
    {
        SetTestBody(body);
        ASSERT_TRUE(lua.Run("ok, err = pcall(Test.Run)"));
        EXPECT_EQ(lua.GlobalString("err"), expected);
    }
    // The native does nothing after raising: code after the call in the same chunk does not run.
    SetTestBody([](ScriptVM* vm) { return vm->RaiseError("stop"); });
    EXPECT_FALSE(lua.Run("reached = false Test.Run() reached = true", "stop.lua"));
    EXPECT_FALSE(lua.GlobalBool("reached"));
}

TEST_F(LuaVMTest, GetTableCopiesTextTablesAndRaisesOnlyWhenTheNativeFails)
{
    // Mode "hard" returns the error result after a failed GetTable, "soft" carries on.
    SetTestBody(
        [](ScriptVM* vm)
        {
            std::string mode;
            vm->GetString(1, mode);
            std::map<std::string, std::string> map = {{"pre", "kept"}};
            std::string text = "soft failure";
            if (vm->GetTable(2, map))
            {
                text.clear();
                for (const auto& [key, value] : map)
                    text += key + "=" + value + ";";
            }
            else if (mode == "hard")
                return -1;
            vm->PushString(text);
            return 1;
        });
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{ a = '1', b = 2 }", "a=1;b=2;pre=kept;"},
        {"{ [2.5] = 'x' }", "2.5=x;pre=kept;"},
        {"{ pre = 'new' }", "pre=new;"},
        {"{ [1] = 'x', ['1'] = 'x' }", "1=x;pre=kept;"},
        {"{ a = true }", "Expected string keys and values"},
        {"{ a = {} }", "Expected string keys and values"},
        {"nil", "Expected a table"},
    };
    for (const auto& [argument, expected] : cases)
    {
        ASSERT_TRUE(
            lua.Run("ok, result = pcall(Test.Run, 'hard', " + argument + ") result = tostring(result)"));
        EXPECT_EQ(lua.GlobalString("result"), expected) << argument;
        ASSERT_TRUE(lua.Run("result = Test.Run('soft', " + argument + ")"));
        EXPECT_EQ(lua.GlobalString("result"),
                  expected.find('=') == std::string::npos ? "soft failure" : expected)
            << argument;
    }
}

// ---------------------------------------------------------------------------------------------
// Function references, Call and CallGlobal

TEST_F(LuaVMTest, FunctionReferencesPushOnlyIntoTheirOwnVM)
{
    ScriptFunctionRef stored;
    SetTestBody([&stored](ScriptVM* vm) { return vm->GetFunction(1, stored) ? 0 : -1; });
    ASSERT_TRUE(lua.Run("Test.Run(function(a, b) sum = a + b end)"));
    ScriptFunctionRef copy = stored;
    ASSERT_TRUE(lua.VM().PushFunction(copy));
    lua.VM().PushInt(2);
    lua.VM().PushInt(40);
    EXPECT_TRUE(lua.VM().Call(2, 0));
    EXPECT_EQ(lua.GlobalInt("sum"), 42);

    EXPECT_FALSE(lua.VM().PushFunction(ScriptFunctionRef()));
    LuaTestVM other;
    EXPECT_FALSE(other.VM().PushFunction(stored));
}

TEST_F(LuaVMTest, CallLogsFailuresAndAlwaysTakesTheFunctionAndArgumentsAway)
{
    ASSERT_TRUE(lua.Run("function failing() error('bad') end\n"
                        "function tableError() error({}) end\n"
                        "function numberError() error(42, 0) end\n"
                        "function fine(x) seen = x end",
                        "fn.lua"));
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"failing", "[LuaVM] Failed to call function in resource testres:\n\tfn.lua:1: bad"},
        {"tableError", "[LuaVM] Failed to call function in resource testres:\n\t"},
        {"numberError", "[LuaVM] Failed to call function in resource testres:\n\t42"},
        {"fine", ""},
    };
    for (const auto& [global, logged] : cases)
    {
        log.Clear();
        lua_pushinteger(lua.L(), 99); // something of the caller's below the call
        lua_getglobal(lua.L(), global);
        lua.VM().PushInt(7);
        EXPECT_EQ(lua.VM().Call(1, 0), logged.empty()) << global;
        EXPECT_EQ(lua_gettop(lua.L()), 1) << global;
        lua_settop(lua.L(), 0);
        EXPECT_EQ(Errors(), logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{logged});
    }
    EXPECT_EQ(lua.GlobalInt("seen"), 7);
}

TEST_F(LuaVMTest, CallFailsCleanlyWhenTheArgumentsDoNotFitOnTheStack)
{
    ScriptContext huge;
    for (int i = 0; i < 1000001; ++i)
        huge.types.emplace(i, Null);
    ASSERT_TRUE(lua.Run("function f(...) called = true end"));
    lua_getglobal(lua.L(), "f");
    huge.Push(&lua.VM());
    EXPECT_FALSE(lua.VM().Call(static_cast<uint32_t>(huge.Count()), 0));
    EXPECT_EQ(lua_gettop(lua.L()), 0);
    EXPECT_TRUE(log.Contains("[ScriptContext] Push - too many values for the script stack: 1000001"));
    EXPECT_EQ(Errors(), (std::vector<std::string>{"[LuaVM] Failed to call function in resource testres:\n\t"
                                                  "stack overflow (too many arguments)"}));
    // The same context as a native's results is an error of the call, not a broken stack.
    SetTestBody(
        [&huge](ScriptVM* vm)
        {
            huge.Push(vm);
            return static_cast<int32_t>(huge.Count());
        });
    ASSERT_TRUE(lua.Run("ok, err = pcall(Test.Run)"));
    EXPECT_EQ(lua.GlobalString("err"), "stack overflow (too many results)");
    EXPECT_FALSE(lua.VM().CallGlobal("f", huge, nullptr));
    EXPECT_FALSE(lua.GlobalBool("called"));
}

TEST_F(LuaVMTest, CallGlobalAppendsResultsInOrder)
{
    ASSERT_TRUE(lua.Run("function three(a) return a, 'two', 3.5 end\n"
                        "function failing() error('x') end\n"
                        "number = 5"));
    ScriptContext args;
    args.AddInt(1);
    ScriptContext results;
    results.AddInt(9);
    EXPECT_TRUE(lua.VM().CallGlobal("three", args, &results));
    EXPECT_EQ(results.types, (std::map<uint64_t, int32_t>{{0, Int}, {1, Int}, {2, String}, {3, Float}}));
    EXPECT_EQ(results.ints.at(1), 1);
    EXPECT_EQ(results.strings.at(2), "two");

    ScriptContext untouched;
    for (const char* name : {"missing", "number", "failing"})
        EXPECT_FALSE(lua.VM().CallGlobal(name, ScriptContext(), &untouched)) << name;
    EXPECT_EQ(untouched.Count(), 0u);
    EXPECT_TRUE(Errors().empty());
    // Globals whose lookup raises (a "strict" mode) are missing, not a crash.
    ASSERT_TRUE(lua.Run("setmetatable(_G, { __index = function(_, k) error('undeclared ' .. k) end })"));
    EXPECT_FALSE(lua.VM().CallGlobal("missing", ScriptContext(), nullptr));
}

// ---------------------------------------------------------------------------------------------
// Script threads

class LuaThreadTest : public LuaVMTest
{
protected:
    int64_t now = 1000;

    void SetUp() override
    {
        SetTimeSourceForTesting([this] { return now; });
    }
    void TearDown() override { SetTimeSourceForTesting(nullptr); }

    void Pass() { lua.VM().ProcessThreads(); }
    size_t ThreadCount() { return lua.VM().GetThreads().size(); }
};

TEST_F(LuaThreadTest, PausedThreadsWaitTheirTimeThenRunToTheirEnd)
{
    struct Case
    {
        std::string pause;
        int64_t wait;    // ms after the pause until the thread runs on
        bool waitsAPass; // a pass just before `wait` leaves it paused
    };
    const std::vector<Case> cases = {
        {"50", 50, true},         {"1", 1, true},
        {"0", 0, false},          {"2147483648", 0, false}, // negative in the signed field: no pause
        {"4294967295", 0, false}, {"2147483647", 2147483647, true},
    };
    for (const Case& c : cases)
    {
        LuaTestVM fresh;
        ASSERT_TRUE(fresh.Run("step = 0 Thread.Create(function() step = 1 Thread.Pause(" + c.pause +
                              ") step = 2 end)"));
        EXPECT_EQ(fresh.GlobalInt("step"), 0) << "a thread starts on the next pass";
        now = 1000;
        fresh.VM().ProcessThreads();
        EXPECT_EQ(fresh.GlobalInt("step"), 1) << c.pause;
        if (c.waitsAPass)
        {
            now = 1000 + c.wait - 1;
            fresh.VM().ProcessThreads();
            EXPECT_EQ(fresh.GlobalInt("step"), 1) << c.pause;
        }
        now = 1000 + c.wait;
        fresh.VM().ProcessThreads();
        EXPECT_EQ(fresh.GlobalInt("step"), 2) << c.pause;
        EXPECT_TRUE(fresh.VM().GetThreads().empty()) << c.pause;
    }
}

TEST_F(LuaThreadTest, ThreadLifeIsLoggedAndEndsRemoveTheThread)
{
    const std::string prefix = "[LuaVM] Error running thread function in resource testres: ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"function() end", ""},
        {"function() error({}) end", prefix},
        {"function() error('oops', 0) end", prefix + "oops"},
        {"5", prefix + "attempt to call a number value"},
        {"", prefix + "attempt to call a nil value"},
        {"function() Thread.Create(function() end) end",
         prefix + "CreateThread can not be used inside of a thread."},
    };
    for (const auto& [function, error] : cases)
    {
        log.Clear();
        ASSERT_TRUE(lua.Run("Thread.Create(" + function + ")"));
        ASSERT_EQ(ThreadCount(), 1u);
        ScriptVM* thread = lua.VM().GetThreads()[0];
        void* coroutine = thread->GetState();
        Pass();
        EXPECT_EQ(ThreadCount(), 0u) << function;
        EXPECT_EQ(FindScriptVM(coroutine), nullptr);
        std::string address = fmt::format("{}", fmt::ptr(thread));
        EXPECT_EQ(log.Messages(spdlog::level::debug),
                  (std::vector<std::string>{"[LuaVM] Created Thread (" + address + ").",
                                            "[LuaVM] Destroying Thread (" + address + ")."}))
            << function;
        EXPECT_EQ(Errors(), error.empty() ? std::vector<std::string>{} : std::vector<std::string>{error});
    }
}

TEST_F(LuaThreadTest, ThreadsCreatedDuringAPassStartOnTheNextPass)
{
    // The running thread reaches the main state through a native (as an event handler would), and
    // the main state creates two more threads while the pass walks the list. Natives in the thread
    // see the thread object.
    std::vector<ScriptVM*> seen;
    SetTestBody(
        [&seen](ScriptVM* vm)
        {
            seen.push_back(vm);
            return vm->GetResource()->GetVM()->CallGlobal("spawn", ScriptContext(), nullptr) ? 0 : -1;
        });
    ASSERT_TRUE(lua.Run(
        "log = ''\n"
        "function spawn()\n"
        "  Thread.Create(function() log = log .. 'b' end)\n"
        "  Thread.Create(function() log = log .. 'c' Thread.Pause(0) log = log .. 'C' end)\n"
        "end\n"
        "Thread.Create(function() log = log .. 'a' Test.Run() Thread.Pause(0) log = log .. 'A' end)"));
    Pass();
    EXPECT_EQ(lua.GlobalString("log"), "a");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0]->IsMain());
    EXPECT_EQ(seen[0]->GetFamilyId(), lua.VM().GetFamilyId());
    Pass();
    EXPECT_EQ(lua.GlobalString("log"), "aAbc");
    Pass();
    EXPECT_EQ(lua.GlobalString("log"), "aAbcC");
    EXPECT_EQ(ThreadCount(), 0u);
}

TEST_F(LuaThreadTest, DestroyingTheMainVMDropsPausedThreadsWithoutRunningThem)
{
    ASSERT_TRUE(lua.Run("runs = 0 for i = 1, 3 do Thread.Create(function() runs = runs + 1 "
                        "Thread.Pause(100000) runs = runs + 1 end) end"));
    Pass();
    std::vector<void*> states = {lua.VM().GetState()};
    for (ScriptVM* thread : lua.VM().GetThreads())
        states.push_back(thread->GetState());
    log.Clear();
    lua.resource.vm.reset();
    for (void* state : states)
        EXPECT_EQ(FindScriptVM(state), nullptr);
    EXPECT_TRUE(log.Messages().empty());
}

// ---------------------------------------------------------------------------------------------
// The exports prelude, over test stand-ins for Resource.GetState, Resource.Call and Console.Log

struct PreludeWorld
{
    std::map<std::string, std::string> states;
    std::vector<std::string> calls; // "resource.function:argument count"
};
PreludeWorld* g_world = nullptr;

int32_t FakeGetState(void* raw)
{
    ScriptVM* vm = FindScriptVM(raw);
    std::string name;
    if (vm == nullptr || !vm->GetString(1, name))
        return vm == nullptr ? 0 : -1;
    auto found = g_world->states.find(name);
    vm->PushString(found == g_world->states.end() ? "unknown" : found->second);
    return 1;
}

int32_t FakeCall(void* raw)
{
    ScriptVM* vm = FindScriptVM(raw);
    std::string resource;
    std::string function;
    ScriptContext args;
    if (vm == nullptr)
        return 0;
    if (!vm->GetString(1, resource) || !vm->GetString(2, function) || !args.ReadArrayElements(vm, 3))
        return -1;
    g_world->calls.push_back(resource + "." + function + ":" + std::to_string(args.Count()));
    vm->PushString(resource + "." + function);
    vm->PushUInt64(args.Count());
    return 2;
}

int32_t FakeLog(void* raw)
{
    ScriptVM* vm = FindScriptVM(raw);
    std::string text;
    if (vm == nullptr || !vm->GetString(1, text))
        return vm == nullptr ? 0 : -1;
    spdlog::info("[Script] {}: {}", vm->GetResource()->GetName(), text);
    return 0;
}

const ScriptFunctionEntry getStateEntry("Resource", "GetState", &FakeGetState,
                                        ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry callEntry("Resource", "Call", &FakeCall, ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry logEntry("Console", "Log", &FakeLog, ScriptFunctionEntry::Unregistered{});

class PreludeTest : public LuaVMTest
{
protected:
    PreludeWorld world;

    void SetUp() override
    {
        g_world = &world;
        world.states = {{"X", "started"}, {"L", "loaded"}, {"5", "started"}};
        lua.VM().RegisterModule("Resource", {&getStateEntry, &callEntry});
        lua.VM().RegisterModule("Console", {&logEntry});
        lua.VM().LoadBuiltins();
        ASSERT_TRUE(Errors().empty());
        log.Clear();
    }
    void TearDown() override { g_world = nullptr; }

    std::vector<std::string> InfoLines() const { return log.Messages(spdlog::level::info); }
};

TEST_F(PreludeTest, CallsReachTheExportWithEveryArgument)
{
    ASSERT_TRUE(lua.Run("a, b = exports.X:f(1, 'two', nil, 4) c, d = exports.X:g()\n"
                        "exports.X.f(1, 2)\n" // member syntax: the first argument fills the proxy parameter
                        "e = exports[5]:f(1) exports.X[7](nil)\n"
                        "res = exports.X.res sameFunction = exports.X.f == exports.X.f"));
    EXPECT_EQ(lua.GlobalString("a"), "X.f");
    EXPECT_EQ(lua.GlobalInt("b"), 4);
    EXPECT_EQ(lua.GlobalInt("d"), 0);
    EXPECT_EQ(lua.GlobalString("e"), "5.f");
    EXPECT_EQ(lua.GlobalString("res"), "X");
    EXPECT_TRUE(lua.GlobalBool("sameFunction"));
    EXPECT_EQ(world.calls, (std::vector<std::string>{"X.f:4", "X.g:0", "X.f:1", "5.f:1", "X.7:0"}));
    EXPECT_TRUE(InfoLines().empty());
    // Scripts replacing builtins do not break exports.
    ASSERT_TRUE(lua.Run("tostring = nil type = nil setmetatable = nil exports[5]:f(1)"));
    EXPECT_EQ(world.calls.back(), "5.f:1");
}

TEST_F(PreludeTest, ResourcesThatAreNotStartedLogOncePerAccessAndGiveNil)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {".L", "[Script] testres: exports: Call to non-running server resource (L)."},
        {".Nope", "[Script] testres: exports: Call to non-running server resource (Nope)."},
        {"[true]", "[Script] testres: exports: Call to non-running server resource (true)."},
    };
    for (const auto& [name, logged] : cases)
    {
        log.Clear();
        ASSERT_TRUE(lua.Run("p = exports" + name + " r1 = p:f(1) r2 = p.f(1, 2)"));
        EXPECT_EQ(InfoLines(), std::vector<std::string>{logged}) << name;
        EXPECT_EQ(lua.GlobalType("r1"), LUA_TNIL);
        EXPECT_EQ(lua.GlobalType("r2"), LUA_TNIL);
    }
    // The state is asked again at every call.
    ASSERT_TRUE(lua.Run("p = exports.X first = p:f()"));
    world.states["X"] = "stopped";
    ASSERT_TRUE(lua.Run("second = p:f()"));
    EXPECT_EQ(lua.GlobalString("first"), "X.f");
    EXPECT_EQ(lua.GlobalType("second"), LUA_TNIL);
    EXPECT_EQ(world.calls.size(), 1u);
}
} // namespace
