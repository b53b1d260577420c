// Script module Console: lines written by scripts to the server log.

#include <cstdint>
#include <string>

#include <spdlog/spdlog.h>

#include "Resources/Resource.h"
#include "Scripting/ScriptApi.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptVM.h"

// Console.Log(text): the text is an argument of the line, never its format.
int32_t ScriptConsoleLog(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string text;
    if (!vm->GetString(1, text))
        return -1;
    Resource* resource = vm->GetResource();
    spdlog::info("[Script] {}: {}", resource != nullptr ? resource->GetName() : std::string(), text);
    return 0;
}

namespace
{
const ScriptFunctionEntry kLog("Console", "Log", &ScriptConsoleLog);
} // namespace
