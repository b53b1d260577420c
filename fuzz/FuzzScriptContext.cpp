// Packed argument packs: whatever Unpack accepts must Pack into bytes that unpack to the same
// context (same bytes again), and push exactly one script value per entry whatever its nested tables
// and arrays hold; whatever it refuses must leave the context as it was.

#include <cstdint>
#include <memory>
#include <string>

#include <lua5.4/lua.hpp>

#include "FuzzSupport.h"
#include "Resources/Resource.h"
#include "Scripting/LuaVM.h"
#include "Scripting/ScriptContext.h"

namespace
{
LuaVM& FuzzVM()
{
    static Resource resource("fuzz");
    if (!resource.vm)
        resource.vm = std::make_unique<LuaVM>(&resource);
    return *static_cast<LuaVM*>(resource.vm.get());
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SilenceLogging();
    FuzzVM();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    ScriptContext context;
    context.AddInt(7);
    context.AddString("kept");
    const std::string before = context.Pack();
    if (!context.Unpack(bytes))
    {
        FUZZ_CHECK(context.Pack() == before);
        return 0;
    }
    const std::string packed = context.Pack();
    ScriptContext again;
    FUZZ_CHECK(again.Unpack(packed));
    FUZZ_CHECK(again.Pack() == packed);
    FUZZ_CHECK(again.Count() == context.Count());

    // All the values or, when the stack cannot take them, none.
    lua_State* L = FuzzVM().GetLuaState();
    const int top = lua_gettop(L);
    context.Push(&FuzzVM());
    const int pushed = lua_gettop(L) - top;
    FUZZ_CHECK(static_cast<size_t>(pushed) == context.Count() || pushed == 0);
    lua_settop(L, top);
    return 0;
}
