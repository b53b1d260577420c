// The cost of the script calling convention: a native function called from Lua (the VM lookup,
// the trampoline, one argument read and one result pushed) with 1 and with 50 resources' VMs alive,
// and a ScriptContext read and push of a 20-value table (what events and exports do per call).

#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <lua5.4/lua.hpp>
#include <spdlog/spdlog.h>

#include "Resources/Resource.h"
#include "Scripting/LuaVM.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptFunctionRegistry.h"

namespace
{
int32_t BenchEcho(void* raw)
{
    ScriptVM* vm = FindScriptVM(raw);
    if (vm == nullptr)
        return 0;
    uint32_t value = 0;
    if (!vm->GetUInt(1, value))
        return -1;
    vm->PushUInt(value + 1);
    return 1;
}

const ScriptFunctionEntry echoEntry("Bench", "Echo", &BenchEcho, ScriptFunctionEntry::Unregistered{});

struct Resources
{
    std::vector<std::unique_ptr<Resource>> all;

    explicit Resources(int count)
    {
        for (int i = 0; i < count; ++i)
        {
            auto resource = std::make_unique<Resource>("bench" + std::to_string(i));
            resource->vm = std::make_unique<LuaVM>(resource.get());
            resource->vm->RegisterModule("Bench", {&echoEntry});
            all.push_back(std::move(resource));
        }
    }
    // The last one made, so that a walk over resources would have to pass all the others.
    LuaVM& Last() { return *static_cast<LuaVM*>(all.back()->GetVM()); }
};

void NativeCallFromLua(benchmark::State& state)
{
    spdlog::set_level(spdlog::level::off);
    Resources resources(static_cast<int>(state.range(0)));
    LuaVM& vm = resources.Last();
    constexpr int kCallsPerRun = 1000;
    if (!vm.LoadScript("bench.lua",
                       "function run(n) local x = 0 for i = 1, n do x = Bench.Echo(x) end return x end"))
        state.SkipWithError("script failed");
    lua_State* L = vm.GetLuaState();
    for (auto _ : state)
    {
        lua_getglobal(L, "run");
        lua_pushinteger(L, kCallsPerRun);
        if (lua_pcall(L, 1, 1, 0) != LUA_OK || lua_tointeger(L, -1) != kCallsPerRun)
            state.SkipWithError("call failed");
        lua_pop(L, 1);
    }
    state.SetItemsProcessed(state.iterations() * kCallsPerRun);
}
BENCHMARK(NativeCallFromLua)->Arg(1)->Arg(50);

void ContextReadPushTwentyValueTable(benchmark::State& state)
{
    spdlog::set_level(spdlog::level::off);
    Resources resources(1);
    LuaVM& vm = resources.Last();
    if (!vm.LoadScript("bench.lua",
                       "value = { 1, 2, 3, 4, 5, 1.5, 2.5, 3.5, 4.5, 5.5, true, false, 'a', 'bb', "
                       "'ccc', name = 'player', id = 17, x = 1.25, ok = true, tag = 'red' }"))
        state.SkipWithError("script failed");
    lua_State* L = vm.GetLuaState();
    lua_getglobal(L, "value");
    for (auto _ : state)
    {
        ScriptContext context;
        context.Read(&vm, -1);
        context.Push(&vm);
        lua_pop(L, 1);
        benchmark::DoNotOptimize(context);
    }
    lua_pop(L, 1);
}
BENCHMARK(ContextReadPushTwentyValueTable);
} // namespace
