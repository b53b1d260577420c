// The Lua VM: state set-up, loading scripts, argument getters and their Lua errors, calls into
// Lua, script threads and the `exports` prelude.

#include <cmath>
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

// ---------------------------------------------------------------------------------------------
// Set-up of the state

TEST_F(LuaVMTest, OpensOnlyTheAllowedLibrariesAndRemovesUnsafeFunctions)
{
    const std::vector<std::pair<std::string, bool>> checks = {
        {"package == nil", true},
        {"require == nil", true},
        {"coroutine == nil", true},
        {"dofile == nil", true},
        {"loadfile == nil", true},
        {"os.execute == nil", true},
        {"os.exit == nil", true},
        {"os.remove == nil", true},
        {"os.rename == nil", true},
        {"os.setlocale == nil", true},
        {"os.tmpname == nil", true},
        {"os.getenv == nil", true},
        {"type(os.time) == 'function'", true},
        {"type(os.clock) == 'function'", true},
        {"type(io.open) == 'function'", true},
        {"type(string.format) == 'function'", true},
        {"type(table.insert) == 'function'", true},
        {"type(math.floor) == 'function'", true},
        {"type(debug.traceback) == 'function'", true},
        {"type(utf8.char) == 'function'", true},
        {"type(print) == 'function'", true},
        {"type(load) == 'function'", true},
    };
    for (const auto& [expression, expected] : checks)
    {
        ASSERT_TRUE(lua.Run("check = " + expression)) << expression;
        EXPECT_EQ(lua.GlobalBool("check"), expected) << expression;
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
        if (c.expected.size() > 3 && c.expected.substr(c.expected.size() - 3) == "...")
            EXPECT_EQ(errors[0].rfind(c.expected.substr(0, c.expected.size() - 3), 0), 0u) << errors[0];
        else
            EXPECT_EQ(errors[0], c.expected);
        EXPECT_EQ(lua_gettop(lua.L()), 0) << c.name;
    }
}

TEST_F(LuaVMTest, LoadScriptRefusesPrecompiledChunks)
{
    ASSERT_TRUE(lua.Run("bytecode = string.dump(function() ran = true end)"));
    std::string bytecode = lua.GlobalString("bytecode");
    ASSERT_EQ(bytecode[0], '\x1b');
    EXPECT_FALSE(lua.Run(bytecode, "bin.lua"));
    EXPECT_EQ(Errors(), (std::vector<std::string>{"[LuaVM] Error parsing script bin.lua in resource testres: "
                                                  "attempt to load a binary chunk (mode is 't')"}));
    EXPECT_EQ(lua.GlobalType("ran"), LUA_TNIL);
}

TEST_F(LuaVMTest, LoadScriptStillRunsWhenTheTracebackIsGone)
{
    const std::vector<std::string> replacements = {
        "debug.traceback = 5",
        "debug = nil",
        "debug = setmetatable({}, { __index = function() error('no debug here') end })",
        "setmetatable(_G, { __index = function(_, k) error('undeclared ' .. k) end }) debug = nil",
    };
    for (const std::string& replacement : replacements)
    {
        LuaTestVM fresh;
        ASSERT_TRUE(fresh.Run(replacement)) << replacement;
        log.Clear();
        EXPECT_TRUE(fresh.Run("ran = 1")) << replacement;
        EXPECT_EQ(fresh.GlobalInt("ran"), 1);
        EXPECT_FALSE(fresh.Run("error('boom')", "x.lua"));
        EXPECT_EQ(Errors(), (std::vector<std::string>{
                                "[LuaVM] Error loading script x.lua in resource testres: x.lua:1: boom"}))
            << replacement;
        EXPECT_EQ(lua_gettop(fresh.L()), 0);
    }
}

// ---------------------------------------------------------------------------------------------
// Argument getters: Lua's own error texts, raised once the native has returned

enum class Check
{
    Int,
    UInt,
    Float,
    String,
    Function,
    ArgumentArray,
};

Check g_check = Check::Int;

int ReferenceRun(lua_State* L)
{
    switch (g_check)
    {
    case Check::Int:
    case Check::UInt:
        luaL_checkinteger(L, 1);
        break;
    case Check::Float:
        luaL_checknumber(L, 1);
        break;
    case Check::String:
        luaL_checkstring(L, 1);
        break;
    case Check::Function:
        luaL_checktype(L, 1, LUA_TFUNCTION);
        break;
    case Check::ArgumentArray:
        luaL_checktype(L, 1, LUA_TTABLE);
        break;
    }
    return 0;
}

int32_t RunCheck(ScriptVM* vm)
{
    int32_t i = 0;
    uint32_t u = 0;
    float f = 0;
    std::string s;
    ScriptFunctionRef function;
    ScriptContext context;
    switch (g_check)
    {
    case Check::Int:
        return vm->GetInt(1, i) ? 0 : -1;
    case Check::UInt:
        return vm->GetUInt(1, u) ? 0 : -1;
    case Check::Float:
        return vm->GetFloat(1, f) ? 0 : -1;
    case Check::String:
        return vm->GetString(1, s) ? 0 : -1;
    case Check::Function:
        return vm->GetFunction(1, function) ? 0 : -1;
    case Check::ArgumentArray:
        return context.ReadArrayElements(vm, 1) ? 0 : -1;
    }
    return 0;
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
    const std::vector<std::string> callForms = {
        "local r = {T}.Run(ARG)",       "local r = {T}:Run(ARG)",
        "return {T}.Run(ARG)",          "local f = {T}.Run local r = f(ARG)",
        "G = {T}.Run local r = G(ARG)",
    };
    const std::vector<std::string> arguments = {"'abc'", "1.5",   "nil",       "{}", "",
                                                "true",  "print", "io.stdout", "'7'"};
    const std::vector<Check> checks = {Check::Int,    Check::UInt,     Check::Float,
                                       Check::String, Check::Function, Check::ArgumentArray};
    auto replaceAll = [](std::string text, const std::string& from, const std::string& to)
    {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
        return text;
    };
    int compared = 0;
    for (Check check : checks)
    {
        g_check = check;
        for (const std::string& form : callForms)
        {
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
                ++compared;
            }
        }
    }
    EXPECT_EQ(compared, 6 * 5 * 9);
    // A sample, so that a regression in both at once would still show.
    g_check = Check::Int;
    ASSERT_TRUE(lua.Run("ok, err = pcall(function() local r = Test.Run('abc') end)", "sample.lua"));
    EXPECT_EQ(lua.GlobalString("err"),
              "sample.lua:1: bad argument #1 to 'Run' (number expected, got string)");
}

TEST_F(LuaVMTest, GettersReadValuesLikeLua)
{
    struct Case
    {
        std::string call;
        std::string expected; // tostring of what the native pushed back
    };
    SetTestBody(
        [](ScriptVM* vm)
        {
            std::string mode;
            vm->GetString(1, mode);
            if (mode == "int")
            {
                int32_t v = 0;
                if (!vm->GetInt(2, v))
                    return -1;
                vm->PushInt(v);
            }
            else if (mode == "uint")
            {
                uint32_t v = 0;
                if (!vm->GetUInt(2, v))
                    return -1;
                vm->PushUInt(v);
            }
            else if (mode == "float")
            {
                float v = 0;
                if (!vm->GetFloat(2, v))
                    return -1;
                vm->PushFloat(v);
            }
            else if (mode == "string")
            {
                std::string v;
                if (!vm->GetString(2, v))
                    return -1;
                vm->PushString(v + "|" + std::to_string(v.size()));
            }
            else if (mode == "bool")
            {
                bool v = true;
                vm->GetBool(2, v);
                vm->PushBool(v);
            }
            else if (mode == "type")
                vm->PushUInt(vm->GetArgType(2));
            else if (mode == "count")
                vm->PushInt(vm->GetArgCount());
            return 1;
        });
    const std::vector<Case> cases = {
        {"'int', 5", "5"},
        {"'int', 3.0", "3"},
        {"'int', '10'", "10"},
        {"'int', 4294967297", "1"},
        {"'int', -1", "-1"},
        {"'int', 2147483648", "-2147483648"},
        {"'uint', -1", "4294967295"},
        {"'float', 1.5", "1.5"},
        {"'float', 1e300", "inf"},
        {"'float', 7", "7.0"},
        {"'string', 5", "5|1"},
        {"'string', 'a\\0b'", "a|1"},
        {"'string', ''", "|0"},
        {"'bool', nil", "false"},
        {"'bool'", "false"},
        {"'bool', false", "false"},
        {"'bool', 0", "true"},
        {"'bool', {}", "true"},
        {"'type', 3", "2"},
        {"'type', 3.0", "2"},
        {"'type', 3.5", "3"},
        {"'type', true", "4"},
        {"'type', {}", "5"},
        {"'type', 's'", "7"},
        {"'type', nil", "0"},
        {"'type', print", "0"},
        {"'type'", "0"},
        {"'count', 1, nil, 3", "4"},
    };
    for (const Case& c : cases)
    {
        ASSERT_TRUE(lua.Run("result = tostring(Test.Run(" + c.call + "))")) << c.call;
        EXPECT_EQ(lua.GlobalString("result"), c.expected) << c.call;
    }
}

TEST_F(LuaVMTest, NativeFailuresBecomeLuaErrors)
{
    struct Case
    {
        ScriptTestBody body;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // RaiseError raises the text unchanged: no format expansion, no position.
        {[](ScriptVM* vm) { return vm->RaiseError("100% %d %s done {}"); }, "100% %d %s done {}"},
        {[](ScriptVM*) { return -1; }, "Script function Run failed."},
        {[](ScriptVM*) -> int32_t { throw std::runtime_error("kaboom"); }, "kaboom"},
        {[](ScriptVM*) { return 1; }, "stack overflow (too many results)"},
        {[](ScriptVM* vm) { return vm->PauseThread(10); }, "PauseThread was used outside of a thread."},
    };
    for (const Case& c : cases)
    {
        SetTestBody(c.body);
        ASSERT_TRUE(lua.Run("ok, err = pcall(Test.Run) after = 'continued'"));
        EXPECT_FALSE(lua.GlobalBool("ok"));
        EXPECT_EQ(lua.GlobalString("err"), c.expected);
        EXPECT_EQ(lua.GlobalString("after"), "continued");
    }
    // The native does nothing after raising: code after the call in the same chunk does not run.
    SetTestBody([](ScriptVM* vm) { return vm->RaiseError("stop"); });
    EXPECT_FALSE(lua.Run("reached = false Test.Run() reached = true", "stop.lua"));
    EXPECT_FALSE(lua.GlobalBool("reached"));
}

TEST_F(LuaVMTest, GetTableCopiesTextTablesAndRaisesOnlyWhenTheNativeFails)
{
    struct Case
    {
        std::string argument;
        std::string expected; // the map as k=v; or the error text
    };
    // Mode "hard" returns the error result after a failed GetTable, "soft" carries on.
    SetTestBody(
        [](ScriptVM* vm)
        {
            std::string mode;
            vm->GetString(1, mode);
            std::map<std::string, std::string> map = {{"pre", "kept"}};
            if (!vm->GetTable(2, map))
            {
                if (mode == "hard")
                    return -1;
                vm->PushString("soft failure");
                return 1;
            }
            std::string text;
            for (const auto& [key, value] : map)
                text += key + "=" + value + ";";
            vm->PushString(text);
            return 1;
        });
    const std::vector<Case> cases = {
        {"{ a = '1', b = 2 }", "a=1;b=2;pre=kept;"},
        {"{ 1, 2 }", "1=1;2=2;pre=kept;"},
        {"{ 1.5 }", "1=1.5;pre=kept;"},
        {"{ [2.5] = 'x' }", "2.5=x;pre=kept;"},
        {"{ pre = 'new' }", "pre=new;"},
        {"{}", "pre=kept;"},
        {"{ a = true }", "Expected string keys and values"},
        {"{ [true] = 'a' }", "Expected string keys and values"},
        {"{ a = {} }", "Expected string keys and values"},
        {"'text'", "Expected a table"},
        {"nil", "Expected a table"},
        {"", "Expected a table"},
    };
    for (const Case& c : cases)
    {
        std::string args = c.argument.empty() ? "" : ", " + c.argument;
        ASSERT_TRUE(lua.Run("ok, result = pcall(Test.Run, 'hard'" + args + ") result = tostring(result)"));
        EXPECT_EQ(lua.GlobalString("result"), c.expected) << c.argument;
        ASSERT_TRUE(lua.Run("result = Test.Run('soft'" + args + ")"));
        bool failed = c.expected.find('=') == std::string::npos;
        EXPECT_EQ(lua.GlobalString("result"), failed ? "soft failure" : c.expected) << c.argument;
    }
    // The number key 1 and the text key "1" land on one entry.
    ASSERT_TRUE(lua.Run("result = Test.Run('hard', { [1] = 'x', ['1'] = 'x' })"));
    EXPECT_EQ(lua.GlobalString("result"), "1=x;pre=kept;");
}

// ---------------------------------------------------------------------------------------------
// Function references, Call and CallGlobal

TEST_F(LuaVMTest, FunctionReferencesPushOnlyIntoTheirOwnVM)
{
    ScriptFunctionRef stored;
    SetTestBody([&stored](ScriptVM* vm) { return vm->GetFunction(1, stored) ? 0 : -1; });
    ASSERT_TRUE(lua.Run("Test.Run(function(a, b) sum = a + b end)"));
    EXPECT_EQ(stored.vmType, 1u);
    EXPECT_GE(stored.luaRef, 0);

    ASSERT_TRUE(lua.VM().PushFunction(stored));
    lua.VM().PushInt(2);
    lua.VM().PushInt(40);
    EXPECT_TRUE(lua.VM().Call(2, 0));
    EXPECT_EQ(lua.GlobalInt("sum"), 42);
    EXPECT_EQ(lua_gettop(lua.L()), 0);

    // Copies push the same function.
    ScriptFunctionRef copy = stored;
    ASSERT_TRUE(lua.VM().PushFunction(copy));
    lua_pop(lua.L(), 1);

    ScriptFunctionRef empty;
    EXPECT_FALSE(lua.VM().PushFunction(empty));
    LuaTestVM other;
    EXPECT_FALSE(other.VM().PushFunction(stored));
    EXPECT_EQ(lua_gettop(lua.L()), 0);
    EXPECT_EQ(lua_gettop(other.L()), 0);
}

TEST_F(LuaVMTest, CallLogsFailuresAndAlwaysTakesTheFunctionAndArgumentsAway)
{
    ASSERT_TRUE(lua.Run("function failing() error('bad') end\n"
                        "function tableError() error({}) end\n"
                        "function numberError() error(42, 0) end\n"
                        "function fine(x) seen = x end",
                        "fn.lua"));
    struct Case
    {
        const char* global;
        bool ok;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {"failing", false, "[LuaVM] Failed to call function in resource testres:\n\tfn.lua:1: bad"},
        {"tableError", false, "[LuaVM] Failed to call function in resource testres:\n\t"},
        {"numberError", false, "[LuaVM] Failed to call function in resource testres:\n\t42"},
        {"fine", true, ""},
    };
    for (const Case& c : cases)
    {
        log.Clear();
        lua_pushinteger(lua.L(), 99); // something of the caller's below the call
        lua_getglobal(lua.L(), c.global);
        lua.VM().PushInt(7);
        EXPECT_EQ(lua.VM().Call(1, 0), c.ok) << c.global;
        EXPECT_EQ(lua_gettop(lua.L()), 1) << c.global;
        lua_settop(lua.L(), 0);
        if (c.ok)
            EXPECT_TRUE(Errors().empty());
        else
            EXPECT_EQ(Errors(), std::vector<std::string>{c.logged});
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
    EXPECT_FALSE(lua.GlobalBool("called"));
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
    // And CallGlobal gives false.
    EXPECT_FALSE(lua.VM().CallGlobal("f", huge, nullptr));
    EXPECT_FALSE(lua.GlobalBool("called"));
}

TEST_F(LuaVMTest, CallGlobalAppendsResultsInOrderAndLeavesTheStackAsFound)
{
    ASSERT_TRUE(lua.Run("function three() return 1, 'two', 3.5 end\n"
                        "function none() end\n"
                        "function add(a, b) return a + b end\n"
                        "function failing() error('x') end\n"
                        "number = 5"));
    lua_pushinteger(lua.L(), 1); // the caller's own values stay
    ScriptContext results;
    EXPECT_TRUE(lua.VM().CallGlobal("three", ScriptContext(), &results));
    EXPECT_EQ(results.types, (std::map<uint64_t, int32_t>{{0, Int}, {1, String}, {2, Float}}));
    EXPECT_EQ(results.ints.at(0), 1);
    EXPECT_EQ(results.strings.at(1), "two");
    EXPECT_EQ(results.floats.at(2), 3.5f);

    ScriptContext kept;
    kept.AddInt(9);
    EXPECT_TRUE(lua.VM().CallGlobal("none", ScriptContext(), &kept));
    EXPECT_EQ(kept.Count(), 1u);

    ScriptContext args;
    args.AddInt(2);
    args.AddInt(3);
    ScriptContext sum;
    EXPECT_TRUE(lua.VM().CallGlobal("add", args, &sum));
    EXPECT_EQ(sum.ints.at(0), 5);
    EXPECT_TRUE(lua.VM().CallGlobal("add", args, nullptr));

    ScriptContext untouched;
    for (const char* name : {"missing", "number", "failing"})
        EXPECT_FALSE(lua.VM().CallGlobal(name, ScriptContext(), &untouched)) << name;
    EXPECT_EQ(untouched.Count(), 0u);
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(lua_gettop(lua.L()), 1);

    // Globals whose lookup raises (a "strict" mode) are missing, not a crash.
    ASSERT_TRUE(lua.Run("setmetatable(_G, { __index = function(_, k) error('undeclared ' .. k) end })"));
    EXPECT_FALSE(lua.VM().CallGlobal("missing", ScriptContext(), nullptr));
    EXPECT_TRUE(lua.VM().CallGlobal("three", ScriptContext(), nullptr));
    EXPECT_EQ(lua_gettop(lua.L()), 1);
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
        ASSERT_EQ(fresh.VM().GetThreads().size(), 1u);
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
    struct Case
    {
        std::string function;
        std::string error; // the error line, empty when none
    };
    const std::vector<Case> cases = {
        {"function() end", ""},
        {"function() error({}) end", "[LuaVM] Error running thread function in resource testres: "},
        {"function() error('oops', 0) end",
         "[LuaVM] Error running thread function in resource testres: oops"},
        {"5", "[LuaVM] Error running thread function in resource testres: attempt to call a number value"},
        {"", "[LuaVM] Error running thread function in resource testres: attempt to call a nil value"},
        {"function() Thread.Create(function() end) end", "[LuaVM] Error running thread function in resource "
                                                         "testres: CreateThread can not be used inside of a "
                                                         "thread."},
    };
    for (const Case& c : cases)
    {
        log.Clear();
        ASSERT_TRUE(lua.Run("Thread.Create(" + c.function + ")"));
        ASSERT_EQ(ThreadCount(), 1u);
        ScriptVM* thread = lua.VM().GetThreads()[0];
        void* coroutine = thread->GetState();
        EXPECT_EQ(FindScriptVM(coroutine), thread);
        Pass();
        EXPECT_EQ(ThreadCount(), 0u) << c.function;
        EXPECT_EQ(FindScriptVM(coroutine), nullptr);
        std::string address = fmt::format("{}", fmt::ptr(thread));
        EXPECT_EQ(log.Messages(spdlog::level::debug),
                  (std::vector<std::string>{"[LuaVM] Created Thread (" + address + ").",
                                            "[LuaVM] Destroying Thread (" + address + ")."}))
            << c.function;
        if (c.error.empty())
            EXPECT_TRUE(Errors().empty());
        else
            EXPECT_EQ(Errors(), std::vector<std::string>{c.error}) << c.function;
    }
}

TEST_F(LuaThreadTest, NativesInAThreadFindTheThreadObject)
{
    struct Seen
    {
        ScriptVM* vm;
        bool isMain;
        uint64_t family;
        Resource* resource;
    };
    std::vector<Seen> seen;
    SetTestBody(
        [&seen](ScriptVM* vm)
        {
            seen.push_back({vm, vm->IsMain(), vm->GetFamilyId(), vm->GetResource()});
            return 0;
        });
    ASSERT_TRUE(lua.Run("Test.Run() Thread.Create(function() Test.Run() Thread.Pause(0) Test.Run() end)"));
    Pass();
    Pass();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].vm, &lua.VM());
    EXPECT_FALSE(seen[1].isMain);
    EXPECT_EQ(seen[1].vm, seen[2].vm);
    EXPECT_EQ(seen[1].family, lua.VM().GetFamilyId());
    EXPECT_EQ(seen[1].resource, &lua.resource);
}

TEST_F(LuaThreadTest, ThreadsCreatedDuringAPassStartOnTheNextPass)
{
    // The running thread reaches the main state through a native (as an event handler would), and
    // the main state creates two more threads while the pass walks the list.
    SetTestBody(
        [](ScriptVM* vm)
        { return vm->GetResource()->GetVM()->CallGlobal("spawn", ScriptContext(), nullptr) ? 0 : -1; });
    ASSERT_TRUE(lua.Run(
        "log = ''\n"
        "function spawn()\n"
        "  Thread.Create(function() log = log .. 'b' end)\n"
        "  Thread.Create(function() log = log .. 'c' Thread.Pause(0) log = log .. 'C' end)\n"
        "end\n"
        "Thread.Create(function() log = log .. 'a' Test.Run() Thread.Pause(0) log = log .. 'A' end)"));
    Pass();
    EXPECT_EQ(lua.GlobalString("log"), "a");
    EXPECT_EQ(ThreadCount(), 3u);
    Pass();
    EXPECT_EQ(lua.GlobalString("log"), "aAbc");
    EXPECT_EQ(ThreadCount(), 1u);
    Pass();
    EXPECT_EQ(lua.GlobalString("log"), "aAbcC");
    EXPECT_EQ(ThreadCount(), 0u);
}

TEST_F(LuaThreadTest, DestroyingTheMainVMDropsPausedThreadsWithoutRunningThem)
{
    ASSERT_TRUE(lua.Run("runs = 0 for i = 1, 3 do Thread.Create(function() runs = runs + 1 "
                        "Thread.Pause(100000) runs = runs + 1 end) end"));
    Pass();
    EXPECT_EQ(lua.GlobalInt("runs"), 3);
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
    std::vector<std::string> stateQueries;
    std::vector<std::string> calls; // "resource.function:argument count"
};
PreludeWorld* g_world = nullptr;

int32_t FakeGetState(void* raw)
{
    ScriptVM* vm = FindScriptVM(raw);
    std::string name;
    if (vm == nullptr || !vm->GetString(1, name))
        return vm == nullptr ? 0 : -1;
    g_world->stateQueries.push_back(name);
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

TEST_F(PreludeTest, MethodSyntaxCallsTheExportWithEveryArgument)
{
    ASSERT_TRUE(lua.Run("a, b = exports.X:f(1, 'two', nil, 4) c, d = exports.X:g()"));
    EXPECT_EQ(lua.GlobalString("a"), "X.f");
    EXPECT_EQ(lua.GlobalInt("b"), 4);
    EXPECT_EQ(lua.GlobalInt("d"), 0);
    // Plain member syntax takes the first argument for the ignored proxy parameter.
    ASSERT_TRUE(lua.Run("exports.X.f(1, 2)"));
    EXPECT_EQ(world.calls, (std::vector<std::string>{"X.f:4", "X.g:0", "X.f:1"}));
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(PreludeTest, ProxyFieldsAndCaching)
{
    ASSERT_TRUE(lua.Run("res = exports.X.res\n"
                        "p = exports.X\n"
                        "sameFunction = p.f == p.f\n"
                        "newProxy = exports.X ~= exports.X"));
    EXPECT_EQ(lua.GlobalString("res"), "X");
    EXPECT_TRUE(lua.GlobalBool("sameFunction"));
    EXPECT_TRUE(lua.GlobalBool("newProxy"));
    EXPECT_TRUE(world.calls.empty());
}

TEST_F(PreludeTest, ResourcesThatAreNotStartedLogOncePerAccessAndGiveNil)
{
    struct Case
    {
        std::string name; // as written after `exports`
        std::string logged;
    };
    const std::vector<Case> cases = {
        {".L", "[Script] testres: exports: Call to non-running server resource (L)."},
        {".Nope", "[Script] testres: exports: Call to non-running server resource (Nope)."},
        {"[true]", "[Script] testres: exports: Call to non-running server resource (true)."},
    };
    for (const Case& c : cases)
    {
        log.Clear();
        ASSERT_TRUE(lua.Run("p = exports" + c.name + " r1 = p:f(1) r2 = p:g() r3 = p.f(1, 2)"));
        EXPECT_EQ(InfoLines(), std::vector<std::string>{c.logged}) << c.name;
        EXPECT_EQ(lua.GlobalType("r1"), LUA_TNIL);
        EXPECT_EQ(lua.GlobalType("r2"), LUA_TNIL);
        EXPECT_EQ(lua.GlobalType("r3"), LUA_TNIL);
    }
    EXPECT_TRUE(world.calls.empty());
}

TEST_F(PreludeTest, KeysThatAreNotTextAreAskedAsText)
{
    ASSERT_TRUE(lua.Run("r = exports[5]:f(1)"));
    EXPECT_EQ(world.stateQueries.front(), "5");
    EXPECT_EQ(world.calls, (std::vector<std::string>{"5.f:1"}));
    ASSERT_TRUE(lua.Run("r = exports.X[7](nil)"));
    EXPECT_EQ(world.calls.back(), "X.7:0");
}

TEST_F(PreludeTest, StateIsAskedAgainAtEveryCall)
{
    ASSERT_TRUE(lua.Run("p = exports.X first = p:f()"));
    world.states["X"] = "stopped";
    ASSERT_TRUE(lua.Run("second = p:f()"));
    EXPECT_EQ(lua.GlobalString("first"), "X.f");
    EXPECT_EQ(lua.GlobalType("second"), LUA_TNIL);
    EXPECT_EQ(world.calls.size(), 1u);
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(PreludeTest, ScriptsReplacingBuiltinsDoNotBreakExports)
{
    ASSERT_TRUE(
        lua.Run("tostring = nil type = nil setmetatable = nil a = exports[5]:f(1) b = exports.X:g()"));
    EXPECT_EQ(world.calls, (std::vector<std::string>{"5.f:1", "X.g:0"}));
}
} // namespace
