#include "Scripting/ScriptFunctionRegistry.h"

#include <exception>
#include <utility>

#include "Scripting/ScriptVM.h"
#include "Scripting/SquirrelVM.h"

ScriptFunctionEntry::ScriptFunctionEntry(std::string nameSpace, std::string name, ScriptFunctionNative native)
    : nameSpace(std::move(nameSpace)), name(std::move(name)), native(native)
{
    // A multimap inserts an equal key after those already present: registration order is kept.
    GetScriptFunctionRegistry().emplace(this->nameSpace, this);
}

ScriptFunctionEntry::ScriptFunctionEntry(std::string nameSpace, std::string name, ScriptFunctionNative native,
                                         Unregistered)
    : nameSpace(std::move(nameSpace)), name(std::move(name)), native(native)
{
}

ScriptFunctionRegistry& GetScriptFunctionRegistry()
{
    // Function-local: constructed by the first static entry that registers, whatever the order of
    // static initialisation across files.
    static ScriptFunctionRegistry registry;
    return registry;
}

void RegisterScriptModules(ScriptVM* vm)
{
    const ScriptFunctionRegistry& registry = GetScriptFunctionRegistry();
    for (auto it = registry.begin(); it != registry.end();)
    {
        auto range = registry.equal_range(it->first);
        ScriptModuleRange functions;
        for (auto entry = range.first; entry != range.second; ++entry)
            functions.push_back(entry->second);
        vm->RegisterModule(it->first, functions);
        it = range.second;
    }
}

ScriptVM* FindScriptVM(void* raw)
{
    return ScriptVM::FromState(raw);
}

SQInteger SquirrelScriptFunctionTrampoline(HSQUIRRELVM vm)
{
    SQUserPointer pointer = nullptr;
    if (SQ_FAILED(sq_getuserpointer(vm, -1, &pointer)) || pointer == nullptr)
        return sq_throwerror(vm, "Script function without its registry entry.");
    sq_poptop(vm);
    const auto* entry = static_cast<const ScriptFunctionEntry*>(pointer);
    try
    {
        SQInteger result = entry->native(vm);
        // A result that could not be pushed whole must not hand the script one of its arguments.
        if (result > 0 && SquirrelVM::TakeIncompletePush())
            return sq_throwerror(vm, "stack overflow (too many results)");
        return result;
    }
    catch (const std::exception& error)
    {
        return sq_throwerror(vm, error.what());
    }
    catch (...)
    {
        return sq_throwerror(vm, "Script function failed.");
    }
}

void PushSquirrelScriptFunction(HSQUIRRELVM vm, const ScriptFunctionEntry& entry)
{
    sq_pushuserpointer(vm, const_cast<ScriptFunctionEntry*>(&entry));
    sq_newclosure(vm, &SquirrelScriptFunctionTrampoline, 1);
    sq_setnativeclosurename(vm, -1, entry.name.c_str());
}
