// The script-function registry, the raw state -> VM lookup, the Squirrel half of the calling
// convention and the Squirrel reference counts of function records.

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

// For the closures' own reference counts.
#include <../squirrel/sqpcheader.h>

#include "LogCapture.h"
#include "LuaTestVM.h"
#include "Scripting/ScriptFunctionRef.h"
#include "Scripting/ScriptFunctionRegistry.h"

namespace
{
int32_t PushOne(void* raw)
{
    ScriptVM* vm = FindScriptVM(raw);
    if (vm == nullptr)
        return 0;
    vm->PushInt(1);
    return 1;
}

int32_t PushTwo(void* raw)
{
    ScriptVM* vm = FindScriptVM(raw);
    if (vm == nullptr)
        return 0;
    vm->PushInt(2);
    return 1;
}

// Registered before main like the API modules. Namespaces are chosen to test the byte order:
// 'A' < '_' < 'a' < 0xC3.
const ScriptFunctionEntry first("RegTest", "First", &PushOne);
const ScriptFunctionEntry second("RegTest", "Second", &PushTwo);
const ScriptFunctionEntry duplicateA("RegTest", "Dup", &PushOne);
const ScriptFunctionEntry duplicateB("RegTest", "Dup", &PushTwo);
const ScriptFunctionEntry lower("RegTest_a", "F", &PushOne);
const ScriptFunctionEntry upper("RegTestA", "F", &PushOne);
const ScriptFunctionEntry accented("RegTest\xC3\xA9", "F", &PushOne);
const ScriptFunctionEntry underscore("RegTest_", "F", &PushOne);

// A Lua VM that notes what RegisterModule is given.
class RecordingVM : public LuaVM
{
public:
    using LuaVM::LuaVM;
    void RegisterModule(const std::string& name, const ScriptModuleRange& functions) override
    {
        std::vector<std::string> names;
        for (const ScriptFunctionEntry* entry : functions)
            names.push_back(entry->name);
        modules.emplace_back(name, names);
        LuaVM::RegisterModule(name, functions);
    }
    std::vector<std::pair<std::string, std::vector<std::string>>> modules;
};

TEST(ScriptRegistryTest, KeepsRegistrationOrderWithinANamespace)
{
    std::vector<std::string> names;
    auto range = GetScriptFunctionRegistry().equal_range("RegTest");
    for (auto it = range.first; it != range.second; ++it)
        names.push_back(it->second->name);
    EXPECT_EQ(names, (std::vector<std::string>{"First", "Second", "Dup", "Dup"}));
}

TEST(ScriptRegistryTest, InstallsEveryNamespaceInByteOrderAndTheLaterDuplicateWins)
{
    Resource resource("reg");
    auto vm = std::make_unique<RecordingVM>(&resource);
    RegisterScriptModules(vm.get());

    std::vector<std::string> order;
    for (const auto& [name, functions] : vm->modules)
        order.push_back(name);
    ASSERT_FALSE(order.empty());
    for (size_t i = 1; i < order.size(); ++i)
        EXPECT_LT(order[i - 1], order[i]) << "each namespace once, in byte order";
    std::vector<std::string> ours;
    for (const std::string& name : order)
        if (name.rfind("RegTest", 0) == 0)
            ours.push_back(name);
    EXPECT_EQ(ours,
              (std::vector<std::string>{"RegTest", "RegTestA", "RegTest_", "RegTest_a", "RegTest\xC3\xA9"}));
    for (const auto& [name, functions] : vm->modules)
    {
        if (name == "RegTest")
        {
            EXPECT_EQ(functions, (std::vector<std::string>{"First", "Second", "Dup", "Dup"}));
        }
    }

    ASSERT_TRUE(vm->LoadScript("t.lua", "a = RegTest.First() b = RegTest.Second() dup = RegTest.Dup()"));
    lua_State* L = vm->GetLuaState();
    for (auto [global, expected] : {std::pair{"a", 1}, std::pair{"b", 2}, std::pair{"dup", 2}})
    {
        lua_getglobal(L, global);
        EXPECT_EQ(lua_tointeger(L, -1), expected) << global;
        lua_pop(L, 1);
    }
}

TEST(ScriptRegistryTest, FindScriptVMKnowsExactlyTheLiveVMsAndThreads)
{
    LogCapture log;
    int unrelated = 0;
    EXPECT_EQ(FindScriptVM(nullptr), nullptr);
    EXPECT_EQ(FindScriptVM(&unrelated), nullptr);

    auto first = std::make_unique<LuaTestVM>("first");
    auto second = std::make_unique<LuaTestVM>("second");
    EXPECT_EQ(FindScriptVM(first->L()), &first->VM());
    EXPECT_EQ(FindScriptVM(second->L()), &second->VM());
    EXPECT_NE(first->VM().GetFamilyId(), second->VM().GetFamilyId());

    ASSERT_TRUE(
        first->Run("Thread.Create(function() Thread.Pause(1000000) end) Thread.Create(function() end)"));
    ASSERT_EQ(first->VM().GetThreads().size(), 2u);
    ScriptVM* paused = first->VM().GetThreads()[0];
    void* pausedState = paused->GetState();
    void* endingState = first->VM().GetThreads()[1]->GetState();
    EXPECT_EQ(FindScriptVM(pausedState), paused);
    EXPECT_NE(pausedState, first->L());

    first->VM().ProcessThreads(); // the second thread ends and goes
    EXPECT_EQ(FindScriptVM(endingState), nullptr);
    EXPECT_EQ(FindScriptVM(pausedState), paused);

    void* firstState = first->L();
    first.reset();
    EXPECT_EQ(FindScriptVM(firstState), nullptr);
    EXPECT_EQ(FindScriptVM(pausedState), nullptr);
    EXPECT_EQ(FindScriptVM(second->L()), &second->VM());
}

// ---------------------------------------------------------------------------------------------
// The Squirrel half of the calling convention, on a bare Squirrel VM

struct SquirrelVMHandle
{
    HSQUIRRELVM v = sq_open(1024);
    ~SquirrelVMHandle() { sq_close(v); }

    bool Run(const std::string& code)
    {
        SQInteger top = sq_gettop(v);
        bool ok = SQ_SUCCEEDED(
            sq_compilebuffer(v, code.c_str(), static_cast<SQInteger>(code.size()), "test", SQFalse));
        if (ok)
        {
            sq_pushroottable(v);
            ok = SQ_SUCCEEDED(sq_call(v, 1, SQFalse, SQFalse));
        }
        sq_settop(v, top);
        return ok;
    }
    std::string RootString(const char* name)
    {
        sq_pushroottable(v);
        sq_pushstring(v, name, -1);
        std::string value = "<missing>";
        const SQChar* text = nullptr;
        if (SQ_SUCCEEDED(sq_get(v, -2)) && SQ_SUCCEEDED(sq_tostring(v, -1)) &&
            SQ_SUCCEEDED(sq_getstring(v, -1, &text)))
            value = text;
        sq_settop(v, 0);
        return value;
    }
    HSQOBJECT RootObject(const char* name)
    {
        HSQOBJECT object;
        sq_resetobject(&object);
        sq_pushroottable(v);
        sq_pushstring(v, name, -1);
        if (SQ_SUCCEEDED(sq_get(v, -2)))
            sq_getstackobj(v, -1, &object);
        sq_settop(v, 0);
        return object;
    }
    // The object's own count (sq_getrefcount reports only the VM's reference table).
    static SQUnsignedInteger RefCount(HSQOBJECT object) { return object._unVal.pRefCounted->_uiRef; }
};

int32_t SquirrelArgCount(void* raw)
{
    auto v = static_cast<HSQUIRRELVM>(raw);
    sq_pushinteger(v, sq_gettop(v)); // `this` and the arguments, no free variable
    return 1;
}

int32_t SquirrelFails(void* raw)
{
    return static_cast<int32_t>(sq_throwerror(static_cast<HSQUIRRELVM>(raw), "Expected an integer value"));
}

int32_t SquirrelThrows(void*)
{
    throw std::runtime_error("native threw");
}

int32_t SquirrelNothing(void*)
{
    return 0;
}

const ScriptFunctionEntry argCountEntry("SqTest", "ArgCount", &SquirrelArgCount,
                                        ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry failsEntry("SqTest", "Fails", &SquirrelFails, ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry throwsEntry("SqTest", "Throws", &SquirrelThrows,
                                      ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry nothingEntry("SqTest", "Nothing", &SquirrelNothing,
                                       ScriptFunctionEntry::Unregistered{});

TEST(ScriptRegistryTest, SquirrelTrampolineHandsResultsAndErrorsToSquirrel)
{
    SquirrelVMHandle squirrel;
    sq_pushroottable(squirrel.v);
    for (const ScriptFunctionEntry* entry : {&argCountEntry, &failsEntry, &throwsEntry, &nothingEntry})
    {
        sq_pushstring(squirrel.v, entry->name.c_str(), -1);
        PushSquirrelScriptFunction(squirrel.v, *entry);
        sq_newslot(squirrel.v, -3, SQFalse);
    }
    sq_pop(squirrel.v, 1);

    struct Case
    {
        std::string code;
        std::string result;
    };
    const std::vector<Case> cases = {
        {"::result <- ArgCount(1, 2, 3);", "4"},
        {"::result <- ArgCount();", "1"},
        {"::result <- Nothing() == null ? \"null\" : \"value\";", "null"},
        {"try { Fails(); ::result <- \"no error\"; } catch (e) { ::result <- e; }",
         "Expected an integer value"},
        {"try { Throws(); ::result <- \"no error\"; } catch (e) { ::result <- e; }", "native threw"},
    };
    for (const Case& c : cases)
    {
        ASSERT_TRUE(squirrel.Run(c.code)) << c.code;
        EXPECT_EQ(squirrel.RootString("result"), c.result) << c.code;
    }
}

// ---------------------------------------------------------------------------------------------
// Function records holding Squirrel closures

TEST(ScriptRegistryTest, RecordsHoldOneSquirrelCountEachAndGiveItBack)
{
    SquirrelVMHandle squirrel;
    ASSERT_TRUE(squirrel.Run("function handler() { return 1; }"));
    HSQOBJECT closure = squirrel.RootObject("handler");
    ASSERT_EQ(sq_type(closure), OT_CLOSURE);
    const SQUnsignedInteger base = squirrel.RefCount(closure);
    {
        ScriptFunctionRef record;
        record.SetSquirrelFunction(closure, 7);
        EXPECT_EQ(record.vmType, 2u);
        EXPECT_EQ(squirrel.RefCount(closure), base + 1);
        {
            ScriptFunctionRef copy(record);
            ScriptFunctionRef assigned;
            assigned = record;
            EXPECT_EQ(squirrel.RefCount(closure), base + 3);
            ScriptFunctionRef moved(std::move(copy));
            EXPECT_EQ(squirrel.RefCount(closure), base + 3);
            assigned = assigned; // self-assignment changes nothing
            EXPECT_EQ(squirrel.RefCount(closure), base + 3);
            record.SetSquirrelFunction(closure, 7); // refilling with the same closure
            EXPECT_EQ(squirrel.RefCount(closure), base + 3);
        }
        EXPECT_EQ(squirrel.RefCount(closure), base + 1);
        std::vector<ScriptFunctionRef> many(5, record);
        EXPECT_EQ(squirrel.RefCount(closure), base + 6);
        many.clear();
        record.Reset();
        EXPECT_EQ(squirrel.RefCount(closure), base);
        EXPECT_EQ(record.vmType, 0u);
    }
    EXPECT_EQ(squirrel.RefCount(closure), base);
}

TEST(ScriptRegistryTest, ClosingAFamilyEmptiesItsRecordsOnly)
{
    SquirrelVMHandle squirrel;
    ASSERT_TRUE(squirrel.Run("function a() {} function b() {}"));
    HSQOBJECT a = squirrel.RootObject("a");
    HSQOBJECT b = squirrel.RootObject("b");
    const SQUnsignedInteger baseA = squirrel.RefCount(a);
    const SQUnsignedInteger baseB = squirrel.RefCount(b);
    auto closing = std::make_unique<ScriptFunctionRef>();
    closing->SetSquirrelFunction(a, 100);
    ScriptFunctionRef copy(*closing);
    ScriptFunctionRef staying;
    staying.SetSquirrelFunction(b, 101);

    ScriptFunctionRef::ReleaseSquirrelFunctions(100);
    EXPECT_EQ(squirrel.RefCount(a), baseA);
    EXPECT_EQ(squirrel.RefCount(b), baseB + 1);
    EXPECT_EQ(closing->vmType, 0u);
    EXPECT_EQ(sq_type(copy.sqFunction), OT_NULL);
    closing.reset(); // gives nothing back twice
    EXPECT_EQ(squirrel.RefCount(a), baseA);
    EXPECT_EQ(staying.vmType, 2u);
}

} // namespace
