#include "LuaTestVM.h"

#include <memory>

#include "Scripting/ScriptFunctionRegistry.h"

namespace
{
ScriptTestBody& Body()
{
    static ScriptTestBody body;
    return body;
}

int32_t TestRun(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr || !Body())
        return 0;
    return Body()(vm);
}

int32_t ThreadCreate(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    return vm == nullptr ? 0 : vm->CreateThread();
}

int32_t ThreadPause(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    uint32_t ms = 0;
    if (!vm->GetUInt(1, ms))
        return -1;
    return vm->PauseThread(ms);
}

const ScriptFunctionEntry runEntry("Test", "Run", &TestRun, ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry createEntry("Thread", "Create", &ThreadCreate, ScriptFunctionEntry::Unregistered{});
const ScriptFunctionEntry pauseEntry("Thread", "Pause", &ThreadPause, ScriptFunctionEntry::Unregistered{});
} // namespace

void InstallTestModules(ScriptVM& vm, const ScriptFunctionEntry& run)
{
    vm.RegisterModule("Test", {&run});
    vm.RegisterModule("Thread", {&createEntry, &pauseEntry});
}

void SetTestBody(ScriptTestBody body)
{
    Body() = std::move(body);
}

LuaTestVM::LuaTestVM(const std::string& name) : resource(name)
{
    resource.vm = std::make_unique<LuaVM>(&resource);
    InstallTestModules(VM(), runEntry);
}

LuaTestVM::~LuaTestVM()
{
    SetTestBody(nullptr);
}

std::string LuaTestVM::GlobalString(const char* name)
{
    lua_getglobal(L(), name);
    size_t length = 0;
    const char* text = lua_tolstring(L(), -1, &length);
    std::string value = text != nullptr ? std::string(text, length) : std::string("<not a string>");
    lua_pop(L(), 1);
    return value;
}

int64_t LuaTestVM::GlobalInt(const char* name)
{
    lua_getglobal(L(), name);
    int64_t value = lua_tointeger(L(), -1);
    lua_pop(L(), 1);
    return value;
}

bool LuaTestVM::GlobalBool(const char* name)
{
    lua_getglobal(L(), name);
    bool value = lua_toboolean(L(), -1) != 0;
    lua_pop(L(), 1);
    return value;
}

int LuaTestVM::GlobalType(const char* name)
{
    int type = lua_getglobal(L(), name);
    lua_pop(L(), 1);
    return type;
}
