// Resources with a real Lua VM: script order, exports, the start failure path, and event arguments
// as Lua handlers see them. Handlers are subscribed from C++ (a global Lua function taken by
// reference), so these tests do not depend on the script API's Events module.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lua5.4/lua.hpp>

#include "LogCapture.h"
#include "Network/ServerEvents.h"
#include "ResourceTestUtil.h"
#include "Scripting/LuaVM.h"

namespace
{

using restest::TempBase;
using restest::TestServer;

// Subscribes the global Lua function `function` of the resource to `event`.
void SubscribeGlobal(Resource* resource, const std::string& event, const char* function,
                     bool allowRemote = false)
{
    auto* vm = static_cast<LuaVM*>(resource->GetVM());
    lua_State* state = vm->GetLuaState();
    const int top = lua_gettop(state);
    lua_getglobal(state, function);
    ScriptFunctionRef reference;
    ASSERT_TRUE(vm->GetFunction(top + 1, reference)) << function;
    lua_settop(state, top);
    resource->AddHandler(event, reference, allowRemote);
}

// The text of a global variable of the resource's Lua state.
std::string GlobalText(Resource* resource, const char* name)
{
    lua_State* state = static_cast<LuaVM*>(resource->GetVM())->GetLuaState();
    const int top = lua_gettop(state);
    lua_getglobal(state, name);
    size_t length = 0;
    const char* text = lua_tolstring(state, -1, &length);
    std::string value = text != nullptr ? std::string(text, length) : "<not text>";
    lua_settop(state, top);
    return value;
}

// Defines global functions that append "name(args joined by |);" to the global `log`.
std::string Recorders(const std::vector<std::string>& names)
{
    std::string code = "log = ''\n"
                       "local function recorder(name) return function(...)\n"
                       "  local parts = {}\n"
                       "  for i = 1, select('#', ...) do parts[#parts + 1] = tostring((select(i, ...))) end\n"
                       "  log = log .. name .. '(' .. table.concat(parts, '|') .. ');'\n"
                       "end end\n";
    for (const std::string& name : names)
        code += name + " = recorder('" + name + "')\n";
    return code;
}

class ResourceLuaTest : public ::testing::Test
{
protected:
    void SetUp() override { restest::ResetSettings(); }

    TempBase base;
    TestServer server{true};
};

TEST_F(ResourceLuaTest, ServerAndSharedScriptsRunInMetaOrder)
{
    base.WriteResource("res", R"(<meta type="lua">
  <script src="first.lua" type="server"/>
  <file src="readme.txt"/>
  <script src="client.lua" type="client"/>
  <script src="shared.lua" type="shared"/>
  <script src="last.lua" type="server"/>
</meta>)",
                       {{"first.lua", "trace = 'first;'"},
                        {"client.lua", "trace = trace .. 'client;'"},
                        {"shared.lua", "trace = trace .. 'shared;'"},
                        {"last.lua", "trace = trace .. 'last;'"},
                        {"readme.txt", "not lua"}});
    Resource* resource = server.StartResource("res");
    ASSERT_NE(resource, nullptr);
    EXPECT_EQ(GlobalText(resource, "trace"), "first;shared;last;");
}

TEST_F(ResourceLuaTest, ExportsAreCalledOnlyWhenServerSideAndStarted)
{
    base.WriteResource("res", R"(<meta type="lua">
  <script src="main.lua" type="server"/>
  <export function="add" type="server"/>
  <export function="both" type="shared"/>
  <export function="clientOnly" type="client"/>
  <export function="missing" type="server"/>
</meta>)",
                       {{"main.lua", "function add(a, b) return a + b, 'sum' end\n"
                                     "function both() return true end\n"
                                     "function clientOnly() return 1 end\n"}});
    Resource* resource = server.Manager().CreateResource("res");
    ASSERT_TRUE(resource->Load());
    ScriptContext args;
    args.AddInt(2);
    args.AddInt(3);
    ScriptContext results;
    EXPECT_FALSE(resource->CallExport("add", args, results)) << "loaded, not started";

    ASSERT_TRUE(resource->Start());
    ASSERT_TRUE(resource->CallExport("add", args, results));
    EXPECT_EQ(results.ints, (std::map<uint64_t, int32_t>{{0, 5}}));
    EXPECT_EQ(results.strings, (std::map<uint64_t, std::string>{{1, "sum"}}));

    ScriptContext more;
    EXPECT_TRUE(resource->CallExport("both", ScriptContext(), more));
    EXPECT_FALSE(resource->CallExport("clientOnly", ScriptContext(), more));
    EXPECT_FALSE(resource->CallExport("missing", ScriptContext(), more));
    EXPECT_FALSE(resource->CallExport("notExported", ScriptContext(), more));
}

TEST_F(ResourceLuaTest, FailingServerScriptLeavesTheResourceLoadedWithoutVM)
{
    base.WriteResource("res", R"(<meta type="lua">
  <script src="good.lua" type="server"/>
  <script src="bad.lua" type="server"/>
</meta>)",
                       {{"good.lua", "x = 1"}, {"bad.lua", "this is not lua"}});
    Resource* resource = server.Manager().CreateResource("res");
    ASSERT_TRUE(resource->Load());
    for (bool unreadable : {false, true})
    {
        if (unreadable)
            std::filesystem::remove(base.folder / "resources/res/bad.lua");
        LogCapture log;
        EXPECT_FALSE(resource->Start());
        EXPECT_TRUE(resource->IsLoaded());
        EXPECT_FALSE(resource->IsStarted());
        EXPECT_EQ(resource->GetVM(), nullptr);
        EXPECT_EQ(resource->GetHandlerCount(), 0u);
        EXPECT_FALSE(log.Contains("[Resource] Started resource"));
        auto errors = log.Messages(spdlog::level::err);
        if (unreadable)
            EXPECT_EQ(errors,
                      (std::vector<std::string>{"[ResourceFile] Failed to open bad.lua of resource res.",
                                                "[Resource] Unable to open bad.lua of resource res."}));
        else
            EXPECT_EQ(errors.size(), 1u) << "the VM's own line only";
    }
}

TEST_F(ResourceLuaTest, EventArgumentsReachLuaHandlers)
{
    base.WriteResource(
        "watcher", R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)",
        {{"main.lua", Recorders({"onStart", "onDisconnect", "onPing", "onLocalPing", "onStop"})}});
    base.WriteResource("other", R"(<meta type="lua"/>)");
    Resource* watcher = server.StartResource("watcher");
    ASSERT_NE(watcher, nullptr);
    SubscribeGlobal(watcher, "resourceStart", "onStart");
    SubscribeGlobal(watcher, "playerDisconnect", "onDisconnect");
    SubscribeGlobal(watcher, "ping", "onPing", true);
    SubscribeGlobal(watcher, "ping", "onLocalPing", false);
    SubscribeGlobal(watcher, "resourceStop", "onStop");
    server.Manager().Process(); // its own resourceStart came before the subscription

    ASSERT_NE(server.StartResource("other"), nullptr);
    QueuePlayerDisconnect(3, "Nick", 2);
    ScriptContext args;
    args.AddInt(5);
    args.AddString("five");
    args.AddBool(true);
    args.AddFloat(0.5f);
    QueueRemoteEvent("ping", 7, args.Pack());
    LogCapture log;
    QueueRemoteEvent("ping", 8, "\xc1"); // not an argument pack: queued all the same, without arguments
    EXPECT_TRUE(log.Contains("[ScriptContext] Packet data deserialization failed:"));
    server.Manager().Process();
    server.Manager().StopResource("other");

    EXPECT_EQ(GlobalText(watcher, "log"),
              "onStart(other);onDisconnect(3|Nick|2);onPing(5|five|true|0.5);onPing();"
              "onStop(other);");
}

} // namespace
