// The Lua VM: state set-up, loading scripts, argument getters and their Lua errors, calls into
// Lua, script threads and the `exports` prelude.

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

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
    const std::vector<std::string> checks = {"package == nil", "require == nil",   "coroutine == nil",
                                             "dofile == nil",  "loadfile == nil",  "os.execute == nil",
                                             "os.exit == nil", "os.remove == nil", "os.getenv == nil",
                                             "os.time ~= nil", "io.open ~= nil",   "debug.traceback ~= nil"};
    for (const std::string& check : checks)
    {
        ASSERT_TRUE(lua.Run("check = " + check)) << check;
        EXPECT_TRUE(lua.GlobalBool("check")) << check;
    }
}

// LoadScript

TEST_F(LuaVMTest, LoadScriptLogsCompileAndRunErrors)
{
    const std::string prefix = "[LuaVM] Error loading script x.lua in resource testres: ";
    // Expected texts ending in "..." are prefixes (a traceback follows).
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"x = = 1",
         "[LuaVM] Error parsing script x.lua in resource testres: x.lua:1: unexpected symbol near '='"},
        {"\nerror('boom')", prefix + "x.lua:2: boom\nstack traceback:..."},
        {"error({})", prefix},
        // The traceback function passes a table on unchanged but turns nil into a bare traceback.
        {"error()", prefix + "stack traceback:..."},
    };
    for (const auto& [code, expected] : cases)
    {
        log.Clear();
        EXPECT_FALSE(lua.Run(code, "x.lua")) << code;
        std::vector<std::string> errors = Errors();
        ASSERT_EQ(errors.size(), 1u) << code;
        if (expected.ends_with("..."))
            EXPECT_TRUE(errors[0].starts_with(expected.substr(0, expected.size() - 3))) << errors[0];
        else
            EXPECT_EQ(errors[0], expected);
    }
}

TEST_F(LuaVMTest, LoadScriptRefusesPrecompiledChunks)
{
    ASSERT_TRUE(lua.Run("bytecode = string.dump(function() ran = true end)"));
    EXPECT_FALSE(lua.Run(lua.GlobalString("bytecode"), "bin.lua"));
    EXPECT_EQ(Errors(), (std::vector<std::string>{"[LuaVM] Error parsing script bin.lua in resource testres: "
                                                  "attempt to load a binary chunk (mode is 't')"}));
}

// Argument getters: values converted as Lua does, and Lua's own argument error texts, raised once
// the native has returned

int32_t RunGetter(ScriptVM* vm)
{
    std::string mode;
    vm->GetString(1, mode);
    int32_t i = 0;
    uint32_t u = 0;
    float f = 0;
    std::string s;
    bool b = true;
    ScriptFunctionRef function;
    ScriptContext array;
    std::map<std::string, std::string> map = {{"pre", "kept"}};
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
    else if (mode == "function" && vm->GetFunction(2, function))
        vm->PushString("function");
    else if (mode == "array" && array.ReadArrayElements(vm, 2))
        vm->PushUInt64(array.Count());
    else if (mode == "table" && vm->GetTable(2, map))
    {
        for (const auto& [key, value] : map)
            s += key + "=" + value + ";";
        vm->PushString(s);
    }
    else if (mode == "raise")
        return vm->RaiseError("100% %d %s done {}");
    else if (mode == "throw")
        throw std::runtime_error("kaboom");
    else if (mode == "pause")
        return vm->PauseThread(10);
    else
        return -1;
    return 1;
}

TEST_F(LuaVMTest, GettersConvertLikeLuaAndRaiseItsArgumentErrors)
{
    SetTestBody(&RunGetter);
    const std::string bad = "test.lua:1: bad argument #2 to 'Run' ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"'int', 4294967297", "1"},
        {"'uint', -1", "4294967295"},
        {"'float', 1e300", "inf"},
        {"'string', 'a\\0b'", "a|1"},
        {"'table', { a = '1', b = 2, [2.5] = 'x' }", "2.5=x;a=1;b=2;pre=kept;"},
        {"'table', { pre = 'new', [1] = 'x', ['1'] = 'x' }", "1=x;pre=new;"},
        {"'int', 'abc'", bad + "(number expected, got string)"},
        {"'int', 1.5", bad + "(number has no integer representation)"},
        {"'uint'", bad + "(number expected, got no value)"},
        {"'string', {}", bad + "(string expected, got table)"},
        {"'function', 'f'", bad + "(function expected, got string)"},
        {"'array', 5", bad + "(table expected, got number)"},
        {"'table', { a = true }", "Expected string keys and values"},
        {"'table', 'text'", "Expected a table"},
        // RaiseError raises the text unchanged: no format expansion, no position.
        {"'raise'", "100% %d %s done {}"},
        {"'fail'", "Script function Run failed."},
        {"'throw'", "kaboom"},
        {"'pause'", "PauseThread was used outside of a thread."}};
    for (const auto& [call, expected] : cases)
    {
        ASSERT_TRUE(lua.Run("ok, result = pcall(function() return Test.Run(" + call +
                            ") end) result = tostring(result)"))
            << call;
        EXPECT_EQ(lua.GlobalString("result"), expected) << call;
    }
    // Method syntax shifts the argument number as Lua's own checks do.
    ASSERT_TRUE(lua.Run("ok, result = pcall(function() return Test:Run() end)"));
    EXPECT_EQ(lua.GlobalString("result"),
              "test.lua:1: calling 'Run' on bad self (string expected, got table)");
    // The native does nothing after raising: code after the call in the same chunk does not run.
    EXPECT_FALSE(lua.Run("reached = false Test.Run('raise') reached = true"));
    EXPECT_FALSE(lua.GlobalBool("reached"));
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

    for (const char* name : {"missing", "number", "failing"})
        EXPECT_FALSE(lua.VM().CallGlobal(name, ScriptContext(), &results)) << name;
    EXPECT_EQ(results.Count(), 4u) << "failed calls add nothing";
}

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
    const std::vector<Case> cases = {{"50", 50, true},
                                     {"0", 0, false},
                                     {"2147483648", 0, false}, // negative in the signed field: no pause
                                     {"2147483647", 2147483647, true}};
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

TEST_F(LuaThreadTest, AThreadWhoseCoroutineIsNoLongerHeldIsDroppedUnresumed)
{
    ASSERT_TRUE(lua.Run("step = 0 Thread.Create(function() step = 1 end)"));
    lua_pushnil(lua.L());
    lua_rawseti(lua.L(), LUA_REGISTRYINDEX, static_cast<LuaThread*>(lua.VM().GetThreads()[0])->registryRef);
    lua_gc(lua.L(), LUA_GCCOLLECT);
    Pass();
    EXPECT_EQ(ThreadCount(), 0u);
    EXPECT_EQ(lua.GlobalInt("step"), 0);
    ASSERT_EQ(log.Messages(spdlog::level::warn).size(), 1u);
    EXPECT_TRUE(log.Messages(spdlog::level::warn)[0].ends_with("its coroutine is no longer held."));
}

TEST_F(LuaThreadTest, ThreadLifeIsLoggedAndEndsRemoveTheThread)
{
    const std::string prefix = "[LuaVM] Error running thread function in resource testres: ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"function() end", ""},
        {"function() error('oops', 0) end", prefix + "oops"},
        {"", prefix + "attempt to call a nil value"},
        {"function() Thread.Create(function() end) end",
         prefix + "CreateThread can not be used inside of a thread."},
    };
    for (const auto& [function, error] : cases)
    {
        log.Clear();
        ASSERT_TRUE(lua.Run("Thread.Create(" + function + ")"));
        ASSERT_EQ(ThreadCount(), 1u);
        Pass();
        EXPECT_EQ(ThreadCount(), 0u) << function;
        EXPECT_EQ(Errors(), error.empty() ? std::vector<std::string>{} : std::vector<std::string>{error});
    }
}

} // namespace
