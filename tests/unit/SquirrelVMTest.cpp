// The Squirrel VM: set-up, print and error output, loading scripts, argument getters and their
// recorded errors, pushes, calls into Squirrel, script threads and the `exports` prelude.

#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/SquirrelThread.h"
#include "Server/Platform.h"
#include "SquirrelTestVM.h"

namespace
{
class SquirrelVMTest : public ::testing::Test
{
protected:
    LogCapture log;
    SquirrelTestVM sq;

    SquirrelVMTest() { log.Clear(); }

    std::vector<std::string> Errors() const { return log.Messages(spdlog::level::err); }
    SQInteger Top() { return sq_gettop(sq.V()); }
};

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// ---------------------------------------------------------------------------------------------
// Set-up, print and error output

TEST_F(SquirrelVMTest, OpensTheStandardLibrariesButNotBlob)
{
    const std::vector<std::string> checks = {
        "typeof format == \"function\"",       // string library
        "typeof regexp == \"class\"",          // string library
        "typeof sqrt == \"function\"",         // math library
        "typeof PI == \"float\"",              // math library
        "typeof file == \"class\"",            // io library
        "typeof dofile == \"function\"",       // io library
        "typeof clock == \"function\"",        // system library
        "typeof date == \"function\"",         // system library
        "!(\"blob\" in getroottable())",       // no blob library
        "typeof print == \"function\"",        // base library
        "!(\"exports\" in getroottable())",    // the prelude is LoadBuiltins' business
        "getroottable().Thread.Create != null" // the test modules
    };
    for (const std::string& check : checks)
    {
        ASSERT_TRUE(sq.Run("::check <- " + check + ";")) << check;
        EXPECT_TRUE(sq.GlobalBool("check")) << check;
    }
    EXPECT_EQ(sq.VM().GetType(), 2u);
    EXPECT_TRUE(sq.VM().IsMain());
    EXPECT_EQ(sq.VM().GetMemoryUsage(), 0);
}

TEST_F(SquirrelVMTest, PrintAndErrorGoToTheLogCutAt511Characters)
{
    const std::string x600(600, 'x');
    ASSERT_TRUE(sq.Run("print(\"hello \" + 5); print(format(\"%s\", \"" + x600 + "\")); error(\"oops\");"));
    std::vector<LogCapture::Entry> entries = log.Entries();
    ASSERT_EQ(entries.size(), 3u) << ::testing::PrintToString(log.Messages());
    EXPECT_EQ(entries[0].level, spdlog::level::info);
    EXPECT_EQ(entries[0].message, "[SquirrelVM] Print: hello 5");
    EXPECT_EQ(entries[1].message, "[SquirrelVM] Print: " + std::string(511, 'x'));
    EXPECT_EQ(entries[2].level, spdlog::level::err);
    EXPECT_EQ(entries[2].message, "[SquirrelVM] Error: oops");
    // Format directives in printed text are not expanded again.
    log.Clear();
    ASSERT_TRUE(sq.Run("print(\"100% %d %s\");"));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"[SquirrelVM] Print: 100% %d %s"});
}

// ---------------------------------------------------------------------------------------------
// LoadScript

TEST_F(SquirrelVMTest, CompileErrorsAreReportedByTheHandlerAndOneLine)
{
    EXPECT_FALSE(sq.Run("local x = = 1;", "bad.nut"));
    EXPECT_EQ(Errors(),
              (std::vector<std::string>{
                  "[SquirrelVM] Error: @bad.nut line = (1) column = (11) : error expression expected\n",
                  "[SquirrelVM] Error parsing script bad.nut in resource testres: expression expected",
              }));
    EXPECT_EQ(Top(), 0);
}

TEST_F(SquirrelVMTest, RunErrorsAreReportedWithTheCallStackAndOneLine)
{
    EXPECT_FALSE(sq.Run("local answer = 42;\nthrow \"boom\";", "run.nut"));
    std::vector<std::string> errors = Errors();
    ASSERT_GE(errors.size(), 4u);
    EXPECT_EQ(errors.front(), "[SquirrelVM] Error: \nAN ERROR HAS OCCURRED [boom]\n");
    EXPECT_EQ(errors[1], "[SquirrelVM] Error: \nCALLSTACK\n");
    EXPECT_EQ(errors[2], "[SquirrelVM] Error: *FUNCTION [main()] @run.nut line [2]\n");
    EXPECT_TRUE(log.Contains("[SquirrelVM] Error: [answer] 42\n"));
    EXPECT_EQ(errors.back(), "[SquirrelVM] Error loading script run.nut in resource testres: boom");
    EXPECT_EQ(Top(), 0);

    // A thrown value that is not text still gives its text form; the top-level code ran up to the throw.
    log.Clear();
    EXPECT_FALSE(sq.Run("::before <- true; throw 12; ::after <- true;", "int.nut"));
    EXPECT_EQ(Errors().back(), "[SquirrelVM] Error loading script int.nut in resource testres: 12");
    EXPECT_TRUE(sq.GlobalBool("before"));
    EXPECT_EQ(sq.GlobalType("after"), OT_NULL);
}

// ---------------------------------------------------------------------------------------------
// Getters: values and the errors they record for the calling script

int32_t RunGetter(ScriptVM* vm)
{
    std::string mode;
    if (!vm->GetString(1, mode))
        return -1;
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
        bool v = false;
        if (!vm->GetBool(2, v))
            return -1;
        vm->PushBool(v);
    }
    else if (mode == "function")
    {
        ScriptFunctionRef v;
        if (!vm->GetFunction(2, v))
            return -1;
        vm->PushUInt(v.vmType);
    }
    else if (mode == "table")
    {
        std::map<std::string, std::string> v = {{"pre", "kept"}};
        if (!vm->GetTable(2, v))
            return -1;
        std::string text;
        for (const auto& [key, value] : v)
            text += key + "=" + value + ";";
        vm->PushString(text);
    }
    else if (mode == "count")
        vm->PushInt(vm->GetArgCount());
    else if (mode == "type")
        vm->PushUInt(vm->GetArgType(2));
    return 1;
}

TEST_F(SquirrelVMTest, GettersReadValuesLikeSquirrel)
{
    struct Case
    {
        std::string call;
        std::string expected; // Squirrel's tostring of the pushed result
    };
    const std::vector<Case> cases = {
        {"\"int\", 5", "5"},
        {"\"int\", -1", "-1"},
        {"\"int\", 4294967297", "1"},
        {"\"int\", 2147483648", "-2147483648"},
        {"\"int\", 3.7", "3"},
        {"\"int\", -3.7", "-3"},
        {"\"int\", 1e30", "-1"}, // saturates to the largest integer, whose low 32 bits are all set
        {"\"int\", true", "1"},
        {"\"uint\", -1", "4294967295"},
        {"\"float\", 1.5", "1.5"},
        {"\"float\", 7", "7"},
        {"\"string\", \"abc\"", "abc|3"},
        {"\"string\", \"a\\x00b\"", "a|1"},
        {"\"string\", \"\"", "|0"},
        {"\"bool\", true", "true"},
        {"\"bool\", false", "false"},
        {"\"function\", function() {}", "2"},
        {"\"table\", { a = \"1\", b = \"2\" }", "a=1;b=2;pre=kept;"},
        {"\"table\", { pre = \"new\" }", "pre=kept;"}, // a key already there keeps its value
        {"\"table\", {}", "pre=kept;"},
        {"\"count\", 1, null, 3", "4"},
        {"\"count\"", "1"},
        {"\"type\", 5", "0"},
    };
    SetSquirrelTestBody(&RunGetter);
    for (const Case& c : cases)
    {
        ASSERT_TRUE(sq.Run("::result <- Test.Run(" + c.call + ").tostring();")) << c.call;
        EXPECT_EQ(sq.GlobalString("result"), c.expected) << c.call;
    }
    EXPECT_TRUE(Errors().empty());
}

TEST_F(SquirrelVMTest, FailedGettersRaiseTheirErrorInTheCallingScript)
{
    struct Case
    {
        std::string call;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"\"int\", \"abc\"", "Expected an integer value"},
        {"\"int\", null", "Expected an integer value"},
        {"\"int\"", "Expected an integer value"}, // missing argument
        {"\"uint\", [1]", "Expected an integer value"},
        {"\"float\", \"1.5\"", "Expected an float value"},
        {"\"float\", true", "Expected an float value"},
        {"\"string\", 5", "Expected an string value"},
        {"\"string\", null", "Expected an string value"},
        {"\"bool\", 1", "Expected an bool value"},
        {"\"bool\", null", "Expected an bool value"},
        {"\"bool\"", "Expected an bool value"},
        {"\"function\", Test.Run", "Expected an function value"}, // a native closure
        {"\"function\", \"f\"", "Expected an function value"},
        {"\"table\", [\"a\"]", "Expected a table"},
        {"\"table\", \"a\"", "Expected a table"},
        {"\"table\", { a = 1 }", "Expected string keys and values"},
        {"\"table\", { [1] = \"a\" }", "Expected string keys and values"},
        {"5", "Expected an string value"},
    };
    SetSquirrelTestBody(&RunGetter);
    for (const Case& c : cases)
    {
        SQInteger top = Top();
        ASSERT_TRUE(sq.Run("::error <- \"none\"; try { Test.Run(" + c.call +
                           "); } catch (e) { ::error <- e; } ::after <- \"continued\";"))
            << c.call;
        EXPECT_EQ(sq.GlobalString("error"), c.error) << c.call;
        EXPECT_EQ(sq.GlobalString("after"), "continued");
        EXPECT_EQ(Top(), top);
    }
    // Caught errors are the script's business: no error-handler output.
    EXPECT_TRUE(Errors().empty());
    // Uncaught, the error ends the script like any other.
    EXPECT_FALSE(sq.Run("Test.Run(\"string\", 5); ::reached <- true;", "uncaught.nut"));
    EXPECT_EQ(Errors().back(),
              "[SquirrelVM] Error loading script uncaught.nut in resource testres: Expected an string value");
    EXPECT_EQ(sq.GlobalType("reached"), OT_NULL);
}

TEST_F(SquirrelVMTest, NativeFailuresReachTheScript)
{
    struct Case
    {
        ScriptTestBody body;
        std::string error;
    };
    const std::vector<Case> cases = {
        {[](ScriptVM* vm) { return vm->RaiseError("100% %d %s done {}"); }, "100% %d %s done {}"},
        {[](ScriptVM* vm) { return vm->PauseThread(10); }, "PauseThread was used outside of a thread."},
        {[](ScriptVM*) -> int32_t { throw std::runtime_error("kaboom"); }, "kaboom"},
    };
    for (const Case& c : cases)
    {
        SetSquirrelTestBody(c.body);
        ASSERT_TRUE(sq.Run("::error <- \"none\"; try { Test.Run(); } catch (e) { ::error <- e; }"));
        EXPECT_EQ(sq.GlobalString("error"), c.error);
    }
    // RaiseError gives the negative result that the native hands back.
    SetSquirrelTestBody(
        [](ScriptVM* vm)
        {
            int32_t result = vm->RaiseError("x");
            vm->PushInt(result);
            return 1;
        });
    ASSERT_TRUE(sq.Run("::result <- Test.Run();"));
    EXPECT_LT(sq.GlobalInt("result"), 0);
}

// ---------------------------------------------------------------------------------------------
// Pushes

TEST_F(SquirrelVMTest, PushesKeepWidthsAndEveryByte)
{
    struct Case
    {
        ScriptTestBody push;
        std::string check; // a Squirrel expression about `v`
    };
    const std::vector<Case> cases = {
        {[](ScriptVM* vm)
         {
             vm->PushString(std::string("a\0b", 3));
             return 1;
         },
         "v.len() == 3 && v[1] == 0"},
        {[](ScriptVM* vm)
         {
             vm->PushString("");
             return 1;
         },
         "v == \"\""},
        {[](ScriptVM* vm)
         {
             vm->PushCString("text");
             return 1;
         },
         "v == \"text\""},
        {[](ScriptVM* vm)
         {
             vm->PushUInt(4294967295u);
             return 1;
         },
         "v == 4294967295"},
        {[](ScriptVM* vm)
         {
             vm->PushULong(4294967295u);
             return 1;
         },
         "v == 4294967295"},
        {[](ScriptVM* vm)
         {
             vm->PushInt(-1);
             return 1;
         },
         "v == -1"},
        {[](ScriptVM* vm)
         {
             vm->PushLong(-2);
             return 1;
         },
         "v == -2"},
        {[](ScriptVM* vm)
         {
             vm->PushInt64(-5000000000);
             return 1;
         },
         "v == -5000000000"},
        {[](ScriptVM* vm)
         {
             vm->PushUInt64(5000000000u);
             return 1;
         },
         "v == 5000000000"},
        {[](ScriptVM* vm)
         {
             vm->PushFloat(1.5f);
             return 1;
         },
         "typeof v == \"float\" && v == 1.5"},
        {[](ScriptVM* vm)
         {
             vm->PushBool(true);
             return 1;
         },
         "v == true"},
        {[](ScriptVM* vm)
         {
             vm->PushNewArray();
             return 1;
         },
         "typeof v == \"array\" && v.len() == 0"},
        // ArraySet appends whatever index it is given.
        {[](ScriptVM* vm)
         {
             vm->PushNewArray();
             vm->PushInt(7);
             vm->ArraySet(5);
             vm->PushInt(8);
             vm->ArraySet(1);
             return 1;
         },
         "v.len() == 2 && v[0] == 7 && v[1] == 8"},
        {[](ScriptVM*) { return 0; }, "v == null"},
    };
    for (const Case& c : cases)
    {
        SetSquirrelTestBody(c.push);
        ASSERT_TRUE(sq.Run("local v = Test.Run(); ::ok <- " + c.check + ";")) << c.check;
        EXPECT_TRUE(sq.GlobalBool("ok")) << c.check;
    }
}

TEST_F(SquirrelVMTest, RegisterModuleCreatesOrReplacesARootTableSlot)
{
    static const ScriptFunctionEntry first(
        "Extra", "One", [](void*) -> int32_t { return 0; }, ScriptFunctionEntry::Unregistered{});
    static const ScriptFunctionEntry second(
        "Extra", "Two", [](void*) -> int32_t { return 0; }, ScriptFunctionEntry::Unregistered{});
    sq.VM().RegisterModule("Extra", {&first, &second});
    ASSERT_TRUE(sq.Run("::ok <- typeof Extra.One == \"function\" && typeof Extra.Two == \"function\";"));
    EXPECT_TRUE(sq.GlobalBool("ok"));
    sq.VM().RegisterModule("Extra", {&second});
    ASSERT_TRUE(sq.Run("::ok <- !(\"One\" in Extra) && \"Two\" in Extra;"));
    EXPECT_TRUE(sq.GlobalBool("ok"));
    EXPECT_EQ(Top(), 0);
}

// ---------------------------------------------------------------------------------------------
// Function references, Call and CallGlobal

TEST_F(SquirrelVMTest, FunctionReferencesPushWithTheRootTableAsThisAndOnlyIntoTheirOwnVM)
{
    ScriptFunctionRef stored;
    SetSquirrelTestBody([&stored](ScriptVM* vm) { return vm->GetFunction(1, stored) ? 0 : -1; });
    ASSERT_TRUE(sq.Run("Test.Run(function(a, b) { ::sum <- a + b; ::isRoot <- this == getroottable(); });"));
    EXPECT_EQ(stored.vmType, 2u);

    ASSERT_TRUE(sq.VM().PushFunction(stored));
    EXPECT_EQ(Top(), 2);
    sq.VM().PushInt(2);
    sq.VM().PushInt(40);
    EXPECT_TRUE(sq.VM().Call(2, 0));
    EXPECT_EQ(sq.GlobalInt("sum"), 42);
    EXPECT_TRUE(sq.GlobalBool("isRoot"));
    EXPECT_EQ(Top(), 0);

    ScriptFunctionRef empty;
    EXPECT_FALSE(sq.VM().PushFunction(empty));
    SquirrelTestVM other;
    EXPECT_FALSE(other.VM().PushFunction(stored));
    EXPECT_EQ(sq_gettop(other.V()), 0);
    EXPECT_EQ(Top(), 0);
}

// A closure held only by native code (an event handler, a callback) must survive the collector
// with its captured values intact, and releasing it afterwards must not corrupt the VM.
TEST_F(SquirrelVMTest, HeldFunctionsSurviveTheGarbageCollector)
{
    ScriptFunctionRef stored;
    SetSquirrelTestBody([&stored](ScriptVM* vm) { return vm->GetFunction(1, stored) ? 0 : -1; });
    ASSERT_TRUE(sq.Run("local c = {t = \"kept\"}; Test.Run(function() { ::seen <- c.t; });"));
    ScriptFunctionRef copy = stored;
    ASSERT_TRUE(sq.Run("collectgarbage();", "gc.nut"));
    ASSERT_TRUE(sq.VM().PushFunction(copy));
    EXPECT_TRUE(sq.VM().Call(0, 0));
    EXPECT_EQ(sq.GlobalString("seen"), "kept");
    stored.Reset();
    copy.Reset();
    EXPECT_TRUE(sq.Run("collectgarbage();", "gc.nut"));
}

TEST_F(SquirrelVMTest, CallLogsOneLineOnFailureAndAlwaysTakesTheClosureAway)
{
    ASSERT_TRUE(sq.Run("function failing(x) { throw \"bad\"; }\n"
                       "function fine(x) { ::seen <- x; return x * 2; }\n"
                       "function noArgs() {}"));
    struct Case
    {
        const char* global;
        bool ok;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {"failing", false, "[SquirrelVM] Failed to call function in resource testres:\n\tbad"},
        {"noArgs", false,
         "[SquirrelVM] Failed to call function in resource testres:\n\twrong number of parameters"},
        {"fine", true, ""},
    };
    for (const Case& c : cases)
    {
        log.Clear();
        sq_pushinteger(sq.V(), 99); // something of the caller's below the call
        sq_pushroottable(sq.V());
        sq_pushstring(sq.V(), c.global, -1);
        ASSERT_TRUE(SQ_SUCCEEDED(sq_get(sq.V(), -2)));
        sq_remove(sq.V(), -2);
        sq_pushroottable(sq.V());
        sq.VM().PushInt(7);
        EXPECT_EQ(sq.VM().Call(1, 0), c.ok) << c.global;
        EXPECT_EQ(Top(), 1) << c.global;
        sq_settop(sq.V(), 0);
        if (c.ok)
            EXPECT_TRUE(Errors().empty());
        else
            EXPECT_EQ(Errors(), std::vector<std::string>{c.logged}) << c.global;
    }
    EXPECT_EQ(sq.GlobalInt("seen"), 7);
}

TEST_F(SquirrelVMTest, CallGlobalGivesExactlyOneResult)
{
    ASSERT_TRUE(sq.Run("function add(a, b) { return a + b; }\n"
                       "function none() {}\n"
                       "function text() { return \"t\\x00u\"; }\n"
                       "function failing() { throw \"x\"; }\n"
                       "number <- 5;"));
    sq_pushinteger(sq.V(), 1); // the caller's own values stay
    ScriptContext args;
    args.AddInt(2);
    args.AddInt(3);
    ScriptContext sum;
    EXPECT_TRUE(sq.VM().CallGlobal("add", args, &sum));
    EXPECT_EQ(sum.types, (std::map<uint64_t, int32_t>{{0, Int}}));
    EXPECT_EQ(sum.ints.at(0), 5);

    ScriptContext nothing;
    EXPECT_TRUE(sq.VM().CallGlobal("none", ScriptContext(), &nothing));
    EXPECT_EQ(nothing.types, (std::map<uint64_t, int32_t>{{0, Null}}));

    ScriptContext text;
    EXPECT_TRUE(sq.VM().CallGlobal("text", ScriptContext(), &text));
    EXPECT_EQ(text.strings.at(0), "t");

    ScriptContext untouched;
    for (const char* name : {"missing", "number", "failing"})
        EXPECT_FALSE(sq.VM().CallGlobal(name, ScriptContext(), &untouched)) << name;
    // Wrong arity is a failed call too.
    EXPECT_FALSE(sq.VM().CallGlobal("add", ScriptContext(), &untouched));
    EXPECT_EQ(untouched.Count(), 0u);
    EXPECT_TRUE(log.Messages().empty()) << "CallGlobal is silent";
    EXPECT_EQ(Top(), 1);
}

TEST_F(SquirrelVMTest, CallFailsCleanlyWhenTheArgumentsDoNotFitOnTheStack)
{
    ScriptContext huge;
    for (int i = 0; i < 1000001; ++i)
        huge.types.emplace(i, Null);
    ASSERT_TRUE(sq.Run("function f(...) { ::called <- true; }"));
    EXPECT_FALSE(sq.VM().CallGlobal("f", huge, nullptr));
    EXPECT_EQ(Top(), 0);
    EXPECT_EQ(sq.GlobalType("called"), OT_NULL);

    ScriptFunctionRef stored;
    SetSquirrelTestBody([&stored](ScriptVM* vm) { return vm->GetFunction(1, stored) ? 0 : -1; });
    ASSERT_TRUE(sq.Run("Test.Run(f);"));
    log.Clear();
    ASSERT_TRUE(sq.VM().PushFunction(stored));
    huge.Push(&sq.VM());
    EXPECT_FALSE(sq.VM().Call(static_cast<uint32_t>(huge.Count()), 0));
    EXPECT_EQ(Top(), 0);
    EXPECT_EQ(sq.GlobalType("called"), OT_NULL);
    EXPECT_EQ(Errors(),
              (std::vector<std::string>{"[SquirrelVM] Failed to call function in resource testres:\n\t"
                                        "stack overflow (too many arguments)"}));
}

// ---------------------------------------------------------------------------------------------
// Script threads

class SquirrelThreadTest : public SquirrelVMTest
{
protected:
    int64_t now = 1000;

    void SetUp() override
    {
        SetTimeSourceForTesting([this] { return now; });
    }
    void TearDown() override { SetTimeSourceForTesting(nullptr); }

    void Pass() { sq.VM().ProcessThreads(); }
    size_t ThreadCount() { return sq.VM().GetThreads().size(); }
    std::string Address(size_t index) { return fmt::format("{}", fmt::ptr(sq.VM().GetThreads().at(index))); }
};

TEST_F(SquirrelThreadTest, ThreadsRunInTheirFirstPassPauseAndEndOnePassLater)
{
    ASSERT_TRUE(
        sq.Run("::step <- 0; Thread.Create(function() { ::step = 1; Thread.Pause(50); ::step = 2; });"));
    ASSERT_EQ(ThreadCount(), 1u);
    ScriptVM* thread = sq.VM().GetThreads()[0];
    EXPECT_EQ(thread->GetType(), 2u);
    EXPECT_FALSE(thread->IsMain());
    EXPECT_EQ(thread->GetState(), nullptr) << "the thread VM is made by the pass";
    EXPECT_EQ(sq.GlobalInt("step"), 0);

    Pass(); // made and started in the same pass
    EXPECT_EQ(sq.GlobalInt("step"), 1);
    void* threadVM = thread->GetState();
    ASSERT_NE(threadVM, nullptr);
    EXPECT_EQ(FindScriptVM(threadVM), thread);

    now += 49;
    Pass();
    EXPECT_EQ(sq.GlobalInt("step"), 1);
    now += 1;
    Pass(); // woken up: runs to its end
    EXPECT_EQ(sq.GlobalInt("step"), 2);
    EXPECT_EQ(ThreadCount(), 1u) << "its end is noticed on a later pass";
    // The pause asked for last still holds the ended thread until it has run out again.
    now += 49;
    Pass();
    EXPECT_EQ(ThreadCount(), 1u);
    now += 1;
    Pass();
    EXPECT_EQ(ThreadCount(), 0u);
    EXPECT_EQ(FindScriptVM(threadVM), nullptr);
}

TEST_F(SquirrelThreadTest, ThreadLifeIsLoggedAndEndsRemoveTheThread)
{
    struct Case
    {
        std::string function;
        size_t passesToRemoval;
        bool handlerLines; // the standard error handler reported an error
    };
    const std::vector<Case> cases = {
        {"function() {}", 2, false},
        {"function() { throw \"oops\"; }", 2, true},
        {"function() { Thread.Pause(0); }", 3, false},
        {"function() { Thread.Pause(0); throw \"late\"; }", 2, true}, // a failed wake-up: same pass
        {"function(a) {}", 2, true},                                  // wrong number of parameters
        {"function() { Thread.Create(function() {}); }", 2, true},
    };
    for (const Case& c : cases)
    {
        log.Clear();
        ASSERT_TRUE(sq.Run("Thread.Create(" + c.function + ");")) << c.function;
        ASSERT_EQ(ThreadCount(), 1u);
        std::string address = Address(0);
        size_t passes = 0;
        while (ThreadCount() > 0 && passes < 5)
        {
            Pass();
            ++passes;
        }
        EXPECT_EQ(passes, c.passesToRemoval) << c.function;
        EXPECT_EQ(log.Messages(spdlog::level::debug),
                  (std::vector<std::string>{"[SquirrelVM] Created Thread (" + address + ").",
                                            "[SquirrelVM] Destroying Thread (" + address + ")."}))
            << c.function;
        EXPECT_EQ(!Errors().empty(), c.handlerLines) << c.function;
        for (const std::string& error : Errors())
            EXPECT_TRUE(StartsWith(error, "[SquirrelVM] Error: ")) << error;
    }
    EXPECT_TRUE(
        log.Contains("[SquirrelVM] Error: \nAN ERROR HAS OCCURRED [CreateThread can not be used inside of "
                     "a thread.]\n"));
}

TEST_F(SquirrelThreadTest, CreateThreadTakesScriptClosuresOnly)
{
    for (const char* argument : {"5", "Test.Run", ""})
    {
        ASSERT_TRUE(sq.Run(std::string("::error <- null; try { Thread.Create(") + argument +
                           "); } catch (e) { ::error <- e; }"))
            << argument;
        EXPECT_EQ(sq.GlobalString("error"), "Expected an function value") << argument;
    }
    EXPECT_EQ(ThreadCount(), 0u);
}

TEST_F(SquirrelThreadTest, NativesInAThreadFindTheThreadObject)
{
    struct Seen
    {
        ScriptVM* vm;
        bool isMain;
        uint64_t family;
        Resource* resource;
        int32_t argCount;
    };
    std::vector<Seen> seen;
    SetSquirrelTestBody(
        [&seen](ScriptVM* vm)
        {
            seen.push_back({vm, vm->IsMain(), vm->GetFamilyId(), vm->GetResource(), vm->GetArgCount()});
            return 0;
        });
    ASSERT_TRUE(
        sq.Run("Test.Run(); Thread.Create(function() { Test.Run(1); Thread.Pause(0); Test.Run(1, 2); });"));
    Pass();
    Pass();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].vm, &sq.VM());
    EXPECT_FALSE(seen[1].isMain);
    EXPECT_EQ(seen[1].vm, seen[2].vm);
    EXPECT_EQ(seen[1].family, sq.VM().GetFamilyId());
    EXPECT_EQ(seen[1].resource, &sq.resource);
    EXPECT_EQ(seen[1].argCount, 1);
    EXPECT_EQ(seen[2].argCount, 2);
}

TEST_F(SquirrelThreadTest, ThreadsCreatedDuringAPassStartOnTheNextPass)
{
    // The running thread reaches the main VM through a native (as an event handler would), and the
    // main VM creates two more threads while the pass walks the list.
    SetSquirrelTestBody(
        [](ScriptVM* vm)
        { return vm->GetResource()->GetVM()->CallGlobal("spawn", ScriptContext(), nullptr) ? 0 : -1; });
    ASSERT_TRUE(sq.Run(
        "::log <- \"\";\n"
        "function spawn() {\n"
        "  Thread.Create(function() { ::log += \"b\"; });\n"
        "  Thread.Create(function() { ::log += \"c\"; Thread.Pause(0); ::log += \"C\"; });\n"
        "}\n"
        "Thread.Create(function() { ::log += \"a\"; Test.Run(); Thread.Pause(0); ::log += \"A\"; });"));
    Pass();
    EXPECT_EQ(sq.GlobalString("log"), "a");
    EXPECT_EQ(ThreadCount(), 3u);
    Pass();
    EXPECT_EQ(sq.GlobalString("log"), "aAbc");
    EXPECT_EQ(ThreadCount(), 3u);
    Pass();
    EXPECT_EQ(sq.GlobalString("log"), "aAbcC");
    EXPECT_EQ(ThreadCount(), 1u);
    Pass();
    EXPECT_EQ(ThreadCount(), 0u);
}

TEST_F(SquirrelThreadTest, WaitingClosuresSurviveTheGarbageCollector)
{
    // Once the creating script has returned, only the thread object holds the closure (and through
    // it the captured table).
    ASSERT_TRUE(sq.Run("local captured = { text = \"kept\" };\n"
                       "Thread.Create(function() { ::seen <- captured.text; });"));
    ASSERT_TRUE(sq.Run("::collected <- collectgarbage();"));
    Pass();
    EXPECT_EQ(sq.GlobalString("seen"), "kept");
    EXPECT_TRUE(Errors().empty());
}

TEST_F(SquirrelThreadTest, DestroyingTheMainVMDropsPausedThreadsWithoutRunningThem)
{
    ASSERT_TRUE(sq.Run("::runs <- 0; for (local i = 0; i < 3; i++) Thread.Create(function() { ::runs++; "
                       "Thread.Pause(100000); ::runs++; });"));
    Pass();
    EXPECT_EQ(sq.GlobalInt("runs"), 3);
    ASSERT_TRUE(sq.Run("Thread.Create(function() {});")); // never made
    std::vector<void*> states = {sq.VM().GetState()};
    for (ScriptVM* thread : sq.VM().GetThreads())
        if (thread->GetState() != nullptr)
            states.push_back(thread->GetState());
    EXPECT_EQ(states.size(), 4u);
    log.Clear();
    sq.resource.vm.reset();
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
    if (vm == nullptr)
        return 0;
    if (!vm->GetString(1, name))
        return -1;
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
    return 1;
}

int32_t FakeLog(void* raw)
{
    ScriptVM* vm = FindScriptVM(raw);
    std::string text;
    if (vm == nullptr)
        return 0;
    if (!vm->GetString(1, text))
        return -1;
    spdlog::info("[Script] {}: {}", vm->GetResource()->GetName(), text);
    return 0;
}

const ScriptFunctionEntry getStateEntry("Resource", "GetState", &FakeGetState,
                                        ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry callEntry("Resource", "Call", &FakeCall, ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry logEntry("Console", "Log", &FakeLog, ScriptFunctionEntry::Unregistered{});

class SquirrelPreludeTest : public SquirrelThreadTest
{
protected:
    PreludeWorld world;

    void SetUp() override
    {
        SquirrelThreadTest::SetUp();
        g_world = &world;
        world.states = {{"X", "started"}, {"L", "loaded"}, {"5", "started"}};
        sq.VM().RegisterModule("Resource", {&getStateEntry, &callEntry});
        sq.VM().RegisterModule("Console", {&logEntry});
        sq.VM().LoadBuiltins();
        ASSERT_TRUE(Errors().empty()) << Errors().front();
        log.Clear();
    }
    void TearDown() override
    {
        g_world = nullptr;
        SquirrelThreadTest::TearDown();
    }

    std::vector<std::string> InfoLines() const { return log.Messages(spdlog::level::info); }
};

TEST_F(SquirrelPreludeTest, MemberSyntaxCallsTheExportWithEveryArgument)
{
    ASSERT_TRUE(sq.Run("::a <- exports.X.f(1, \"two\", null, 4); ::b <- exports.X.g();"));
    EXPECT_EQ(world.calls, (std::vector<std::string>{"X.f:4", "X.g:0"}));
    EXPECT_EQ(sq.GlobalString("a"), "X.f");
    EXPECT_EQ(sq.GlobalString("b"), "X.g");
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(SquirrelPreludeTest, ProxyMembersAndFreshClosures)
{
    ASSERT_TRUE(sq.Run("::res <- exports.X.res;\n"
                       "local p = exports.X;\n"
                       "::tableIsTable <- typeof p.table == \"table\";\n"
                       "::newClosure <- p.f != p.f;\n"
                       "::newProxy <- exports.X != exports.X;\n"
                       "::exportsInRoot <- typeof ::exports == \"instance\";"));
    EXPECT_EQ(sq.GlobalString("res"), "X");
    EXPECT_TRUE(sq.GlobalBool("tableIsTable"));
    EXPECT_TRUE(sq.GlobalBool("newClosure"));
    EXPECT_TRUE(sq.GlobalBool("newProxy"));
    EXPECT_TRUE(sq.GlobalBool("exportsInRoot"));
    EXPECT_TRUE(world.calls.empty());
}

TEST_F(SquirrelPreludeTest, ResourcesThatAreNotStartedLogOncePerAccessAndGiveNull)
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
        ASSERT_TRUE(sq.Run("local p = exports" + c.name + "; ::r1 <- p.f(1); ::r2 <- p.g();")) << c.name;
        EXPECT_EQ(InfoLines(), std::vector<std::string>{c.logged}) << c.name;
        EXPECT_EQ(sq.GlobalType("r1"), OT_NULL);
        EXPECT_EQ(sq.GlobalType("r2"), OT_NULL);
    }
    EXPECT_TRUE(world.calls.empty());
}

TEST_F(SquirrelPreludeTest, KeysThatAreNotTextAreAskedAsTextAndStateIsAskedAtEveryCall)
{
    ASSERT_TRUE(sq.Run("::r <- exports[5].f(1);"));
    EXPECT_EQ(world.stateQueries.front(), "5");
    EXPECT_EQ(world.calls, (std::vector<std::string>{"5.f:1"}));
    ASSERT_TRUE(sq.Run("::r <- exports.X[7]();"));
    EXPECT_EQ(world.calls.back(), "X.7:0");

    ASSERT_TRUE(sq.Run("::p <- exports.X; ::first <- p.f();"));
    world.states["X"] = "stopped";
    ASSERT_TRUE(sq.Run("::second <- p.f();"));
    EXPECT_EQ(sq.GlobalString("first"), "X.f");
    EXPECT_EQ(sq.GlobalType("second"), OT_NULL);
    EXPECT_EQ(world.calls.size(), 3u);
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(SquirrelPreludeTest, ExportsWorkInsideThreads)
{
    // The proxies are metamethods, during which Squirrel cannot grow the thread VM's stack: however
    // many locals the thread function has, the call must find room.
    for (int locals : {0, 10, 13, 40})
    {
        std::string declarations;
        for (int i = 0; i < locals; ++i)
            declarations += fmt::format("local v{} = {}; ", i, i);
        world.calls.clear();
        ASSERT_TRUE(sq.Run("::a <- null; ::b <- null; Thread.Create(function() { " + declarations +
                           "::a <- exports.X.f(1, 2); Thread.Pause(0); ::b <- exports.X.g(3); });"));
        Pass();
        Pass();
        EXPECT_EQ(sq.GlobalString("a"), "X.f") << locals;
        EXPECT_EQ(sq.GlobalString("b"), "X.g") << locals;
        EXPECT_EQ(world.calls, (std::vector<std::string>{"X.f:2", "X.g:1"})) << locals;
    }
    EXPECT_TRUE(Errors().empty());
}
} // namespace
