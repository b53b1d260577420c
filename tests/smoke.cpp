// Proves the script engines build and link: runs one line in Lua and one in Squirrel.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <lua5.4/lua.hpp>

#include <squirrel.h>

static char g_printed[256];

static void SquirrelPrint(HSQUIRRELVM, const SQChar* format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(g_printed, sizeof(g_printed), format, args);
    va_end(args);
}

int main()
{
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    if (luaL_dostring(L, "return 6 * 7") != LUA_OK || lua_tointeger(L, -1) != 42)
    {
        std::fprintf(stderr, "lua failed\n");
        return 1;
    }
    lua_close(L);

    static_assert(sizeof(SQInteger) == 8, "Squirrel must be built with 64-bit integers");
    HSQUIRRELVM v = sq_open(1024);
    sq_setprintfunc(v, SquirrelPrint, SquirrelPrint);
    const char* code = "print((6 * 7).tostring());";
    if (SQ_FAILED(sq_compilebuffer(v, code, (SQInteger)std::strlen(code), "smoke", SQTrue)))
        return 1;
    sq_pushroottable(v);
    if (SQ_FAILED(sq_call(v, 1, SQFalse, SQTrue)) || std::strcmp(g_printed, "42") != 0)
    {
        std::fprintf(stderr, "squirrel failed: '%s'\n", g_printed);
        return 1;
    }
    sq_close(v);
    std::puts("script engines ok");
    return 0;
}
