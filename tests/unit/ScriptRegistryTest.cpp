// The script-function registry, the raw state -> VM lookup and the Squirrel and Lua references of
// function records.

#include <memory>
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
#include "SquirrelTestVM.h"

namespace
{
template <int32_t N> int32_t PushN(void* raw)
{
    FindScriptVM(raw)->PushInt(N);
    return 1;
}

// Registered before main like the API modules. Namespaces are chosen to test the byte order:
// 'A' < '_' < 'a' < 0xC3.
const ScriptFunctionEntry first("RegTest", "First", &PushN<1>);
const ScriptFunctionEntry second("RegTest", "Second", &PushN<2>);
const ScriptFunctionEntry duplicateA("RegTest", "Dup", &PushN<1>);
const ScriptFunctionEntry duplicateB("RegTest", "Dup", &PushN<2>);
const ScriptFunctionEntry lower("RegTest_a", "F", &PushN<1>);
const ScriptFunctionEntry upper("RegTestA", "F", &PushN<1>);
const ScriptFunctionEntry accented("RegTest\xC3\xA9", "F", &PushN<1>);
const ScriptFunctionEntry underscore("RegTest_", "F", &PushN<1>);

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

TEST(ScriptRegistryTest, InstallsEveryNamespaceOnceInByteOrderKeepingRegistrationOrder)
{
    Resource resource("reg");
    auto vm = std::make_unique<RecordingVM>(&resource);
    RegisterScriptModules(vm.get());
    std::vector<std::string> ours;
    for (const auto& [name, functions] : vm->modules)
    {
        if (name.rfind("RegTest", 0) == 0)
            ours.push_back(name);
        if (name == "RegTest")
        {
            EXPECT_EQ(functions, (std::vector<std::string>{"First", "Second", "Dup", "Dup"}));
        }
    }
    EXPECT_EQ(ours,
              (std::vector<std::string>{"RegTest", "RegTestA", "RegTest_", "RegTest_a", "RegTest\xC3\xA9"}));
    // The later of two same-named functions wins.
    ASSERT_TRUE(vm->LoadScript("t.lua", "dup = RegTest.Dup()"));
    lua_getglobal(vm->GetLuaState(), "dup");
    EXPECT_EQ(lua_tointeger(vm->GetLuaState(), -1), 2);
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
// Function records holding Squirrel closures

// The closure's own count (sq_getrefcount reports only the VM's reference table).
SQUnsignedInteger RefCount(HSQOBJECT object)
{
    return object._unVal.pRefCounted->_uiRef;
}

HSQOBJECT RootClosure(SquirrelTestVM& squirrel, const char* name)
{
    HSQOBJECT object;
    sq_pushroottable(squirrel.V());
    sq_pushstring(squirrel.V(), name, -1);
    EXPECT_TRUE(SQ_SUCCEEDED(sq_get(squirrel.V(), -2)));
    sq_getstackobj(squirrel.V(), -1, &object);
    sq_settop(squirrel.V(), 0);
    return object;
}

TEST(ScriptRegistryTest, RecordsHoldOneSquirrelCountEachAndClosingAFamilyGivesItsOwnBack)
{
    SquirrelTestVM squirrel;
    ASSERT_TRUE(squirrel.Run("function a() {} function b() {}"));
    HSQOBJECT a = RootClosure(squirrel, "a");
    HSQOBJECT b = RootClosure(squirrel, "b");
    const SQUnsignedInteger baseA = RefCount(a);
    const SQUnsignedInteger baseB = RefCount(b);
    const uint64_t closingFamily = 0xC105ED00, stayingFamily = 0xC105ED01;
    auto record = std::make_unique<ScriptFunctionRef>();
    record->SetSquirrelFunction(a, closingFamily);
    {
        ScriptFunctionRef copy(*record);
        ScriptFunctionRef assigned;
        assigned = *record;
        ScriptFunctionRef moved(std::move(copy));
        assigned = assigned;
        record->SetSquirrelFunction(a, closingFamily); // refilling with the same closure
        EXPECT_EQ(RefCount(a), baseA + 3);
    }
    EXPECT_EQ(RefCount(a), baseA + 1);
    ScriptFunctionRef copy(*record);
    ScriptFunctionRef staying;
    staying.SetSquirrelFunction(b, stayingFamily);
    ScriptFunctionRef::ReleaseSquirrelFunctions(closingFamily);
    EXPECT_EQ(RefCount(a), baseA);
    EXPECT_EQ(RefCount(b), baseB + 1);
    EXPECT_EQ(record->vmType, 0u);
    EXPECT_EQ(sq_type(copy.sqFunction), OT_NULL);
    record.reset(); // gives nothing back twice
    EXPECT_EQ(RefCount(a), baseA);
    staying.Reset();
    EXPECT_EQ(RefCount(b), baseB);
}

TEST(ScriptRegistryTest, LuaRecordsGiveTheirRegistryEntryBackWithTheLastCopy)
{
    auto lua = std::make_unique<LuaTestVM>();
    ASSERT_TRUE(lua->Run("function f() end"));
    lua_State* L = lua->L();
    ScriptFunctionRef record;
    auto fill = [&]
    {
        lua_getglobal(L, "f");
        record.SetLuaFunction(luaL_ref(L, LUA_REGISTRYINDEX), lua->VM().GetFamilyId());
    };
    fill();
    const int32_t reference = record.luaRef;
    auto held = [&]
    {
        bool function = lua_rawgeti(L, LUA_REGISTRYINDEX, reference) == LUA_TFUNCTION;
        lua_pop(L, 1);
        return function;
    };
    {
        ScriptFunctionRef copy(record);
        ScriptFunctionRef assigned;
        assigned = record;
        ScriptFunctionRef moved(std::move(copy));
        assigned = assigned;
        record.Reset();
        EXPECT_TRUE(held());
    }
    EXPECT_FALSE(held());
    fill();
    lua.reset(); // a record that outlives its state gives nothing back
    record.Reset();
}
} // namespace
