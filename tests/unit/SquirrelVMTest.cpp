// The Squirrel VM: set-up, print and error output, loading scripts, argument getters and their
// recorded errors, pushes, calls into Squirrel, script threads and the `exports` prelude.

#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
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

    int64_t now = 1000; // the clock threads see

    SquirrelVMTest()
    {
        log.Clear();
        SetTimeSourceForTesting([this] { return now; });
    }
    ~SquirrelVMTest() override { SetTimeSourceForTesting(nullptr); }

    void Pass() { sq.VM().ProcessThreads(); }
    size_t ThreadCount() { return sq.VM().GetThreads().size(); }

    std::vector<std::string> Errors() const { return log.Messages(spdlog::level::err); }
    SQInteger Top() { return sq_gettop(sq.V()); }
};

TEST_F(SquirrelVMTest, OpensTheStandardLibrariesButNotBlob)
{
    // The prelude is LoadBuiltins' business.
    ASSERT_TRUE(
        sq.Run("::check <- typeof format == \"function\" && typeof sqrt == \"function\" && typeof file == "
               "\"class\" && typeof clock == \"function\" && !(\"blob\" in getroottable()) && "
               "!(\"exports\" in getroottable());"));
    EXPECT_TRUE(sq.GlobalBool("check"));
}

TEST_F(SquirrelVMTest, PrintAndErrorGoToTheLogCutAt511Characters)
{
    const std::string x600(600, 'x');
    ASSERT_TRUE(sq.Run("print(\"100% %d \" + 5); print(format(\"%s\", \"" + x600 + "\")); error(\"oops\");"));
    std::vector<LogCapture::Entry> entries = log.Entries();
    ASSERT_EQ(entries.size(), 3u) << ::testing::PrintToString(log.Messages());
    EXPECT_EQ(entries[0].message, "[SquirrelVM] Print: 100% %d 5"); // not expanded again
    EXPECT_EQ(entries[1].message, "[SquirrelVM] Print: " + std::string(511, 'x'));
    EXPECT_EQ(entries[2].message, "[SquirrelVM] Error: oops");
}

TEST_F(SquirrelVMTest, LoadScriptReportsErrorsThroughTheHandlerAndOneLine)
{
    EXPECT_FALSE(sq.Run("local x = = 1;", "bad.nut"));
    EXPECT_EQ(Errors(),
              (std::vector<std::string>{
                  "[SquirrelVM] Error: @bad.nut line = (1) column = (11) : error expression expected\n",
                  "[SquirrelVM] Error parsing script bad.nut in resource testres: expression expected",
              }));

    log.Clear();
    EXPECT_FALSE(sq.Run("local answer = 42;\nthrow \"boom\";", "run.nut"));
    std::vector<std::string> errors = Errors();
    ASSERT_GE(errors.size(), 4u);
    EXPECT_EQ(errors[0], "[SquirrelVM] Error: \nAN ERROR HAS OCCURRED [boom]\n");
    EXPECT_EQ(errors[1], "[SquirrelVM] Error: \nCALLSTACK\n");
    EXPECT_EQ(errors[2], "[SquirrelVM] Error: *FUNCTION [main()] @run.nut line [2]\n");
    EXPECT_TRUE(log.Contains("[SquirrelVM] Error: [answer] 42\n"));
    EXPECT_EQ(errors.back(), "[SquirrelVM] Error loading script run.nut in resource testres: boom");

    // A thrown value that is not text still gives its text form.
    EXPECT_FALSE(sq.Run("throw 12;", "int.nut"));
    EXPECT_EQ(Errors().back(), "[SquirrelVM] Error loading script int.nut in resource testres: 12");
}

// Getters: values converted, and the errors they record for the calling script

int32_t RunGetter(ScriptVM* vm)
{
    std::string mode;
    if (!vm->GetString(1, mode))
        return -1;
    int32_t i = 0;
    uint32_t u = 0;
    float f = 0;
    std::string s;
    bool b = false;
    ScriptFunctionRef function;
    std::map<std::string, std::string> map = {{"pre", "kept"}};
    if (mode == "int" && vm->GetInt(2, i))
        vm->PushInt(i);
    else if (mode == "uint" && vm->GetUInt(2, u))
        vm->PushUInt(u);
    else if (mode == "float" && vm->GetFloat(2, f))
        vm->PushFloat(f);
    else if (mode == "string" && vm->GetString(2, s))
        vm->PushString(s + "|" + std::to_string(s.size()));
    else if (mode == "bool" && vm->GetBool(2, b))
        vm->PushBool(b);
    else if (mode == "function" && vm->GetFunction(2, function))
        vm->PushUInt(function.vmType);
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

TEST_F(SquirrelVMTest, GettersConvertValuesOrRaiseTheirErrorInTheCallingScript)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"int\", 1e30", "-1"}, // saturates to the largest integer, whose low 32 bits are all set
        {"\"uint\", -1", "4294967295"},
        {"\"string\", \"a\\x00b\"", "a|1"},
        {"\"function\", function() {}", "2"},
        {"\"table\", { a = \"1\", pre = \"new\" }", "a=1;pre=kept;"}, // a key already there keeps its value
        {"\"int\", \"abc\"", "Expected an integer value"},
        {"\"uint\"", "Expected an integer value"}, // missing argument
        {"\"float\", \"1.5\"", "Expected an float value"},
        {"\"bool\", 1", "Expected an bool value"},
        {"\"function\", Test.Run", "Expected an function value"}, // a native closure
        {"\"table\", { a = 1 }", "Expected string keys and values"},
        {"\"raise\"", "100% %d %s done {}"},
        {"\"pause\"", "PauseThread was used outside of a thread."},
        {"\"throw\"", "kaboom"},
    };
    SetSquirrelTestBody(&RunGetter);
    for (const auto& [call, expected] : cases)
    {
        ASSERT_TRUE(
            sq.Run("try { ::result <- Test.Run(" + call + ").tostring(); } catch (e) { ::result <- e; }"))
            << call;
        EXPECT_EQ(sq.GlobalString("result"), expected) << call;
    }
    // Caught errors are the script's business: no error-handler output. Uncaught, the error ends the
    // script like any other.
    EXPECT_TRUE(Errors().empty());
    EXPECT_FALSE(sq.Run("Test.Run(\"string\", 5); ::reached <- true;", "uncaught.nut"));
    EXPECT_EQ(Errors().back(),
              "[SquirrelVM] Error loading script uncaught.nut in resource testres: Expected an string value");
    EXPECT_EQ(sq.GlobalType("reached"), OT_NULL);
}

TEST_F(SquirrelVMTest, PushesKeepTheirWidths)
{
    SetSquirrelTestBody(
        [](ScriptVM* vm)
        {
            vm->PushNewArray();
            vm->PushUInt(4294967295u);
            vm->ArraySet(7); // appends, whatever the index
            vm->PushInt64(-5000000000);
            vm->ArraySet(0);
            vm->PushUInt64(5000000000u);
            vm->ArraySet(0);
            return 1;
        });
    ASSERT_TRUE(sq.Run("::v <- Test.Run(); ::ok <- v.len() == 3 && v[0] == 4294967295 && v[1] == -5000000000 "
                       "&& v[2] == 5000000000;"));
    EXPECT_TRUE(sq.GlobalBool("ok"));
}

TEST_F(SquirrelVMTest, FunctionReferencesPushWithTheRootTableAsThisAndOnlyIntoTheirOwnVM)
{
    ScriptFunctionRef stored;
    SetSquirrelTestBody([&stored](ScriptVM* vm) { return vm->GetFunction(1, stored) ? 0 : -1; });
    ASSERT_TRUE(sq.Run("Test.Run(function(a) { ::isRoot <- a == 7 && this == getroottable(); });"));
    ASSERT_TRUE(sq.VM().PushFunction(stored));
    sq.VM().PushInt(7);
    EXPECT_TRUE(sq.VM().Call(1, 0));
    EXPECT_TRUE(sq.GlobalBool("isRoot"));
    SquirrelTestVM other;
    EXPECT_FALSE(other.VM().PushFunction(stored));
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
    std::vector<ScriptFunctionRef> functions;
    SetSquirrelTestBody(
        [&functions](ScriptVM* vm)
        {
            functions.emplace_back();
            return vm->GetFunction(1, functions.back()) ? 0 : -1;
        });
    ASSERT_TRUE(
        sq.Run("Test.Run(function(x) { throw \"bad\"; }); Test.Run(function() {});\n"
               "Test.Run(function(...) { ::called <- true; }); Test.Run(function(x) { ::seen <- x; });"));
    ScriptContext one;
    one.AddInt(7);
    ScriptContext huge;
    for (int i = 0; i < 1000001; ++i)
        huge.types.emplace(i, Null);
    const std::string prefix = "[SquirrelVM] Failed to call function in resource testres:\n\t";
    const std::vector<std::tuple<size_t, const ScriptContext*, std::string>> cases = {
        {0, &one, prefix + "bad"},
        {1, &one, prefix + "wrong number of parameters"},
        {2, &huge, prefix + "stack overflow (too many arguments)"},
        {3, &one, ""},
    };
    for (const auto& [index, args, logged] : cases)
    {
        log.Clear();
        sq_pushinteger(sq.V(), 99); // something of the caller's below the call
        ASSERT_TRUE(sq.VM().PushFunction(functions.at(index)));
        args->Push(&sq.VM());
        EXPECT_EQ(sq.VM().Call(static_cast<uint32_t>(args->Count()), 0), logged.empty()) << logged;
        EXPECT_EQ(Top(), 1) << logged;
        sq_settop(sq.V(), 0);
        EXPECT_EQ(Errors(), logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{logged});
    }
    EXPECT_EQ(sq.GlobalType("called"), OT_NULL);
    EXPECT_EQ(sq.GlobalInt("seen"), 7);
}

TEST_F(SquirrelVMTest, CallGlobalGivesExactlyOneResultAndIsSilent)
{
    ASSERT_TRUE(sq.Run("function add(a, b) { return a + b; }\n"
                       "function none() {}\n"
                       "function failing() { throw \"x\"; }\n"
                       "number <- 5;"));
    ScriptContext args;
    args.AddInt(2);
    args.AddInt(3);
    ScriptContext results;
    EXPECT_TRUE(sq.VM().CallGlobal("add", args, &results));
    EXPECT_TRUE(sq.VM().CallGlobal("none", ScriptContext(), &results));
    EXPECT_EQ(results.types, (std::map<uint64_t, int32_t>{{0, Int}, {1, Null}}));

    for (const char* name : {"missing", "number", "failing", "add"}) // add: wrong arity
        EXPECT_FALSE(sq.VM().CallGlobal(name, ScriptContext(), &results)) << name;
    EXPECT_EQ(results.Count(), 2u);
    EXPECT_TRUE(log.Messages().empty());
}

using SquirrelThreadTest = SquirrelVMTest;

TEST_F(SquirrelThreadTest, ThreadsRunInTheirFirstPassPauseAndEndOnePassLater)
{
    ASSERT_TRUE(sq.Run("local t = { done = 2 }; ::step <- 0;\n"
                       "Thread.Create(function() { ::step = 1; Thread.Pause(50); ::step = t.done; });"));
    EXPECT_EQ(sq.GlobalInt("step"), 0);
    // Once the creating script has returned, only the thread object holds the closure (and through
    // it the captured table).
    ASSERT_TRUE(sq.Run("collectgarbage();"));

    Pass(); // made and started in the same pass
    EXPECT_EQ(sq.GlobalInt("step"), 1);
    void* threadVM = sq.VM().GetThreads().at(0)->GetState();

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
    // The thread function, the passes until the thread is gone, and whether the error handler spoke.
    const std::vector<std::tuple<std::string, size_t, bool>> cases = {
        {"function() {}", 2, false},
        {"function() { throw \"oops\"; }", 2, true},
        {"function() { Thread.Pause(0); }", 3, false},
        {"function() { Thread.Pause(0); throw \"late\"; }", 2, true}, // a failed wake-up: same pass
        {"function(a) {}", 2, true},                                  // wrong number of parameters
        {"function() { Thread.Create(function() {}); }", 2, true},
    };
    for (const auto& [function, passesToRemoval, handlerLines] : cases)
    {
        log.Clear();
        ASSERT_TRUE(sq.Run("Thread.Create(" + function + ");")) << function;
        std::string address = fmt::format("{}", fmt::ptr(sq.VM().GetThreads().at(0)));
        size_t passes = 0;
        for (; ThreadCount() > 0 && passes < 5; ++passes)
            Pass();
        EXPECT_EQ(passes, passesToRemoval) << function;
        EXPECT_EQ(log.Messages(spdlog::level::debug),
                  (std::vector<std::string>{"[SquirrelVM] Created Thread (" + address + ").",
                                            "[SquirrelVM] Destroying Thread (" + address + ")."}))
            << function;
        EXPECT_EQ(!Errors().empty(), handlerLines) << function;
    }
    EXPECT_TRUE(
        log.Contains("[SquirrelVM] Error: \nAN ERROR HAS OCCURRED [CreateThread can not be used inside of "
                     "a thread.]\n"));
}

TEST_F(SquirrelThreadTest, ThreadsCreatedDuringAPassStartOnTheNextPassAndDieWithTheVM)
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
        "  Thread.Create(function() { ::log += \"c\"; Thread.Pause(100000); ::log += \"C\"; });\n"
        "}\n"
        "Thread.Create(function() { ::log += \"a\"; Test.Run(1, 2); Thread.Pause(0); ::log += \"A\"; });"));
    Pass();
    EXPECT_EQ(sq.GlobalString("log"), "a");
    Pass();
    EXPECT_EQ(sq.GlobalString("log"), "aAbc");
    // Destroying the main VM drops the paused thread (and one never made) without running them.
    ASSERT_TRUE(sq.Run("Thread.Create(function() { ::log += \"!\"; });"));
    std::vector<void*> states = {sq.VM().GetState()};
    for (ScriptVM* thread : sq.VM().GetThreads())
        if (thread->GetState() != nullptr)
            states.push_back(thread->GetState());
    log.Clear();
    sq.resource.vm.reset();
    for (void* state : states)
        EXPECT_EQ(FindScriptVM(state), nullptr);
    EXPECT_TRUE(log.Messages().empty());
}

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
    if (!vm->GetString(1, name))
        return -1;
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
    if (!vm->GetString(1, text))
        return -1;
    spdlog::info("[Script] {}: {}", vm->GetResource()->GetName(), text);
    return 0;
}

const ScriptFunctionEntry getStateEntry("Resource", "GetState", &FakeGetState,
                                        ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry callEntry("Resource", "Call", &FakeCall, ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry logEntry("Console", "Log", &FakeLog, ScriptFunctionEntry::Unregistered{});

class SquirrelPreludeTest : public SquirrelVMTest
{
protected:
    PreludeWorld world;

    void SetUp() override
    {
        g_world = &world;
        world.states = {{"X", "started"}, {"L", "loaded"}, {"5", "started"}};
        sq.VM().RegisterModule("Resource", {&getStateEntry, &callEntry});
        sq.VM().RegisterModule("Console", {&logEntry});
        sq.VM().LoadBuiltins();
        ASSERT_TRUE(Errors().empty()) << Errors().front();
        log.Clear();
    }
    void TearDown() override { g_world = nullptr; }

    std::vector<std::string> InfoLines() const { return log.Messages(spdlog::level::info); }
};

TEST_F(SquirrelPreludeTest, MemberSyntaxCallsTheExportWithEveryArgument)
{
    ASSERT_TRUE(
        sq.Run("local p = exports.X;\n"
               "::seen <- [exports.X.f(1, \"two\", null, 4), exports[5].f(1), exports.X[7](), p.res,\n"
               "           typeof p.table, p.f != p.f, exports.X != exports.X, typeof ::exports];\n"
               "::seen <- ::seen.reduce(@(a, b) a + \" \" + b);"));
    EXPECT_EQ(sq.GlobalString("seen"), "X.f 5.f X.7 X table true true instance");
    EXPECT_EQ(world.calls, (std::vector<std::string>{"X.f:4", "5.f:1", "X.7:0"}));
    EXPECT_TRUE(InfoLines().empty());
}

TEST_F(SquirrelPreludeTest, ResourcesThatAreNotStartedLogOncePerAccessAndGiveNull)
{
    for (const auto& [access, name] :
         std::vector<std::pair<std::string, std::string>>{{".L", "L"}, {".Nope", "Nope"}, {"[true]", "true"}})
    {
        log.Clear();
        ASSERT_TRUE(sq.Run("local p = exports" + access + "; ::r <- p.f(1) == null && p.g() == null;"))
            << access;
        std::string logged = "[Script] testres: exports: Call to non-running server resource (" + name + ").";
        EXPECT_EQ(InfoLines(), std::vector<std::string>{logged});
        EXPECT_TRUE(sq.GlobalBool("r")) << access;
    }
    // The state is asked again at every call.
    ASSERT_TRUE(sq.Run("::p <- exports.X; ::first <- p.f();"));
    world.states["X"] = "stopped";
    ASSERT_TRUE(sq.Run("::second <- p.f();"));
    EXPECT_EQ(sq.GlobalString("first"), "X.f");
    EXPECT_EQ(sq.GlobalType("second"), OT_NULL);
    EXPECT_EQ(world.calls.size(), 1u);
}

TEST_F(SquirrelPreludeTest, ExportsWorkInsideThreads)
{
    // The proxies are metamethods, during which Squirrel cannot grow the thread VM's stack: however
    // many locals the thread function has, the call must find room.
    for (int locals : {0, 13, 40})
    {
        std::string declarations;
        for (int i = 0; i < locals; ++i)
            declarations += fmt::format("local v{} = {}; ", i, i);
        world.calls.clear();
        ASSERT_TRUE(sq.Run("Thread.Create(function() { " + declarations +
                           "::a <- exports.X.f(1, 2); Thread.Pause(0); ::b <- exports.X.g(3); });"));
        Pass();
        Pass();
        EXPECT_EQ(world.calls, (std::vector<std::string>{"X.f:2", "X.g:1"})) << locals;
    }
    EXPECT_TRUE(Errors().empty());
}
} // namespace
