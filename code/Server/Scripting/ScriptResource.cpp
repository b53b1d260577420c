// Script module Resource: the state of resources and calls of their exported functions.

#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "Resources/Resource.h"
#include "Resources/ResourceManager.h"
#include "Scripting/ScriptApi.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptVM.h"
#include "Server/Server.h"

namespace
{
Resource* FindResource(const std::string& name)
{
    if (g_server == nullptr || !g_server->resourceManager)
        return nullptr;
    return g_server->resourceManager->GetResource(name);
}
} // namespace

// Resource.GetState(name): "unknown", "started", "loaded" or "stopped".
int32_t ScriptResourceGetState(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string name;
    if (!vm->GetString(1, name))
        return -1;
    const char* text = "unknown";
    if (Resource* resource = FindResource(name))
        text = resource->IsStarted() ? "started" : resource->IsLoaded() ? "loaded" : "stopped";
    vm->PushCString(text);
    return 1;
}

// Resource.Call(resource, function, args): every result of the export, run at once in the other VM.
int32_t ScriptResourceCall(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string resourceName;
    std::string function;
    ScriptContext args;
    if (!vm->GetString(1, resourceName) || !vm->GetString(2, function) || !args.ReadArrayElements(vm, 3))
        return -1;
    Resource* resource = FindResource(resourceName);
    if (resource == nullptr)
        return vm->RaiseError(fmt::format("Resource {} doesn't exist.", resourceName));
    ScriptContext results;
    if (!resource->CallExport(function, args, results))
        return vm->RaiseError(
            fmt::format("Failed to call exported function {} of resource {}.", function, resourceName));
    results.Push(vm);
    return static_cast<int32_t>(results.Count());
}

namespace
{
const ScriptFunctionEntry kGetState("Resource", "GetState", &ScriptResourceGetState);
const ScriptFunctionEntry kCall("Resource", "Call", &ScriptResourceCall);
} // namespace
