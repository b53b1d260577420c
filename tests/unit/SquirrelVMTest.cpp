// The Squirrel VM: set-up, print and error output, loading scripts, argument getters and their
// recorded errors, pushes, calls into Squirrel, script threads and the `exports` prelude.

#include <map>
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
};

TEST_F(SquirrelVMTest, OpensTheStandardLibrariesButNotBlob)
{
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
    else if (mode == "function" && vm->GetFunction(2, function))
        vm->PushUInt(function.vmType);
    else if (mode == "table" && vm->GetTable(2, map))
    {
        for (const auto& [key, value] : map)
            s += key + "=" + value + ";";
        vm->PushString(s);
    }
    else
        return -1;
    return 1;
}

TEST_F(SquirrelVMTest, GettersConvertValuesOrRaiseTheirErrorInTheCallingScript)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"int\", 1e30", "-1"}, // saturates to the largest integer, whose low 32 bits are all set
        {"\"function\", function() {}", "2"},
        {"\"table\", { a = \"1\", pre = \"new\" }", "a=1;pre=kept;"}, // a key already there keeps its value
        {"\"float\", \"1.5\"", "Expected an float value"},
        {"\"function\", Test.Run", "Expected an function value"}, // a native closure
    };
    SetSquirrelTestBody(&RunGetter);
    for (const auto& [call, expected] : cases)
    {
        ASSERT_TRUE(
            sq.Run("try { ::result <- Test.Run(" + call + ").tostring(); } catch (e) { ::result <- e; }"))
            << call;
        EXPECT_EQ(sq.GlobalString("result"), expected) << call;
    }
    EXPECT_TRUE(Errors().empty()) << "caught errors are the script's business";
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
    // A failed call logs one line and still takes the closure away.
    sq_pushinteger(sq.V(), 99);
    ASSERT_TRUE(sq.VM().PushFunction(stored));
    EXPECT_FALSE(sq.VM().Call(0, 0));
    EXPECT_EQ(sq_gettop(sq.V()), 1);
    EXPECT_EQ(Errors(),
              (std::vector<std::string>{"[SquirrelVM] Failed to call function in resource testres:\n\t"
                                        "wrong number of parameters"}));
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
    // Destroying the main VM drops the paused thread without running it.
    std::vector<void*> states = {sq.VM().GetState(), sq.VM().GetThreads().at(0)->GetState()};
    log.Clear();
    sq.resource.vm.reset();
    for (void* state : states)
        EXPECT_EQ(FindScriptVM(state), nullptr);
    EXPECT_TRUE(log.Messages().empty());
}

// The exports prelude, over test stand-ins for Resource.GetState and Resource.Call

std::vector<std::string>* g_calls = nullptr; // "resource.function:argument count"

int32_t FakeGetState(void* raw)
{
    FindScriptVM(raw)->PushString("started");
    return 1;
}

int32_t FakeCall(void* raw)
{
    ScriptVM* vm = FindScriptVM(raw);
    std::string resource, function;
    ScriptContext args;
    if (!vm->GetString(1, resource) || !vm->GetString(2, function) || !args.ReadArrayElements(vm, 3))
        return -1;
    g_calls->push_back(resource + "." + function + ":" + std::to_string(args.Count()));
    vm->PushString(resource + "." + function);
    return 1;
}

const ScriptFunctionEntry getStateEntry("Resource", "GetState", &FakeGetState,
                                        ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry callEntry("Resource", "Call", &FakeCall, ScriptFunctionEntry::Unregistered{});

class SquirrelPreludeTest : public SquirrelVMTest
{
protected:
    std::vector<std::string> calls;

    void SetUp() override
    {
        g_calls = &calls;
        sq.VM().RegisterModule("Resource", {&getStateEntry, &callEntry});
        sq.VM().LoadBuiltins();
        ASSERT_TRUE(Errors().empty()) << Errors().front();
    }
    void TearDown() override { g_calls = nullptr; }
};

TEST_F(SquirrelPreludeTest, ExportsWorkInsideThreads)
{
    // The proxies are metamethods, during which Squirrel cannot grow the thread VM's stack: however
    // many locals the thread function has, the call must find room.
    for (int locals : {0, 13, 40})
    {
        std::string declarations;
        for (int i = 0; i < locals; ++i)
            declarations += fmt::format("local v{} = {}; ", i, i);
        calls.clear();
        ASSERT_TRUE(sq.Run("Thread.Create(function() { " + declarations +
                           "::a <- exports.X.f(1, 2); Thread.Pause(0); ::b <- exports.X.g(3); });"));
        Pass();
        Pass();
        EXPECT_EQ(calls, (std::vector<std::string>{"X.f:2", "X.g:1"})) << locals;
    }
    EXPECT_TRUE(Errors().empty());
}
} // namespace
