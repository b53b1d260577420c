// Packed argument packs: whatever Unpack accepts must Pack into bytes that unpack to the same
// context (same bytes again); whatever it refuses must leave the context as it was.

#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "Scripting/ScriptContext.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SilenceLogging();
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
    return 0;
}
