#include "SquirrelTestVM.h"

#include <memory>
#include <utility>

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

const ScriptFunctionEntry runEntry("Test", "Run", &TestRun, ScriptFunctionEntry::Unregistered{});

// Pushes root-table slot `name`; false (nothing pushed) when it is missing.
bool PushGlobal(HSQUIRRELVM v, const char* name)
{
    sq_pushroottable(v);
    sq_pushstring(v, name, -1);
    if (SQ_FAILED(sq_rawget(v, -2)))
    {
        sq_poptop(v);
        return false;
    }
    sq_remove(v, -2);
    return true;
}
} // namespace

void SetSquirrelTestBody(ScriptTestBody body)
{
    Body() = std::move(body);
}

SquirrelTestVM::SquirrelTestVM(const std::string& name) : resource(name)
{
    resource.vm = std::make_unique<SquirrelVM>(&resource);
    InstallTestModules(VM(), runEntry);
}

SquirrelTestVM::~SquirrelTestVM()
{
    SetSquirrelTestBody(nullptr);
}

std::string SquirrelTestVM::GlobalString(const char* name)
{
    HSQUIRRELVM v = V();
    SQInteger top = sq_gettop(v);
    if (!PushGlobal(v, name))
        return "<missing>";
    std::string text;
    const SQChar* value = nullptr;
    SQInteger length = 0;
    if (SQ_SUCCEEDED(sq_tostring(v, -1)) && SQ_SUCCEEDED(sq_getstringandsize(v, -1, &value, &length)))
        text.assign(value, static_cast<size_t>(length));
    sq_settop(v, top);
    return text;
}

int64_t SquirrelTestVM::GlobalInt(const char* name)
{
    HSQUIRRELVM v = V();
    SQInteger top = sq_gettop(v);
    SQInteger value = 0;
    if (PushGlobal(v, name))
        sq_getinteger(v, -1, &value);
    sq_settop(v, top);
    return value;
}

bool SquirrelTestVM::GlobalBool(const char* name)
{
    HSQUIRRELVM v = V();
    SQInteger top = sq_gettop(v);
    SQBool value = SQFalse;
    if (PushGlobal(v, name))
        sq_tobool(v, -1, &value);
    sq_settop(v, top);
    return value != SQFalse;
}

SQObjectType SquirrelTestVM::GlobalType(const char* name)
{
    HSQUIRRELVM v = V();
    SQInteger top = sq_gettop(v);
    SQObjectType type = OT_NULL;
    if (PushGlobal(v, name))
        type = sq_gettype(v, -1);
    sq_settop(v, top);
    return type;
}
