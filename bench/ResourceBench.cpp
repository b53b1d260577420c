// Resource benchmarks, in-process:
//  1. loading a resource of 100 client scripts of 10 KiB each with a non-empty secret (every script
//     encrypted and checksummed; the key is derived once for the secret, not once per file);
//  2. events per second: events queued to a Lua handler that counts them, then processed in the
//     resource's pass.

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <lua5.4/lua.hpp>
#include <spdlog/spdlog.h>

#include "Resources/Resource.h"
#include "Resources/ResourceManager.h"
#include "Scripting/LuaVM.h"
#include "Scripting/ScriptContext.h"
#include "Server/Server.h"
#include "Server/Settings.h"

namespace
{
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Write(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void WriteScriptResource(const fs::path& base, const std::string& name, int scripts, size_t scriptSize)
{
    std::string meta = "<meta type=\"lua\">\n";
    std::string body(scriptSize, ' ');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>('a' + (i * 7 + i / 13) % 26);
    for (int i = 0; i < scripts; ++i)
    {
        const std::string path = "client/script" + std::to_string(i) + ".lua";
        meta += "  <script src=\"" + path + "\" type=\"client\"/>\n";
        Write(base / "resources" / name / path, "-- " + std::to_string(i) + "\n" + body);
    }
    Write(base / "resources" / name / "meta.xml", meta + "</meta>\n");
}

void BenchLoad(const fs::path& base, ResourceManager& manager)
{
    constexpr int kScripts = 100;
    constexpr size_t kSize = 10 * 1024;
    WriteScriptResource(base, "first", kScripts, kSize);
    WriteScriptResource(base, "second", kScripts, kSize);

    const uint64_t derivationsBefore = ResourceFile::GetKeyDerivationCount();
    auto start = Clock::now();
    Resource* first = manager.CreateResource("first");
    bool loaded = first->Load();
    const double firstMs = MillisecondsSince(start);

    start = Clock::now();
    Resource* second = manager.CreateResource("second");
    loaded = second->Load() && loaded;
    const double secondMs = MillisecondsSince(start);

    std::printf("load: %d client scripts x %zu KiB, secret set: %s\n", kScripts, kSize / 1024,
                loaded ? "ok" : "FAILED");
    std::printf("  first resource (derives the key): %8.2f ms\n", firstMs);
    std::printf("  second resource (key cached):     %8.2f ms (%.3f ms per script)\n", secondMs,
                secondMs / kScripts);
    std::printf("  key derivations for both loads:   %llu\n",
                static_cast<unsigned long long>(ResourceFile::GetKeyDerivationCount() - derivationsBefore));
}

void BenchEvents(const fs::path& base, ResourceManager& manager)
{
    Write(base / "resources/counter/meta.xml",
          "<meta type=\"lua\"><script src=\"main.lua\" type=\"server\"/></meta>");
    Write(base / "resources/counter/main.lua", "count = 0\nfunction onTick(n) count = count + 1 end\n");
    Resource* counter = manager.CreateResource("counter");
    if (!counter->Load() || !counter->Start())
    {
        std::printf("events: resource failed to start\n");
        return;
    }
    manager.Process(); // its own resourceStart

    auto* vm = static_cast<LuaVM*>(counter->GetVM());
    lua_State* state = vm->GetLuaState();
    const int top = lua_gettop(state);
    lua_getglobal(state, "onTick");
    ScriptFunctionRef handler;
    vm->GetFunction(top + 1, handler);
    lua_settop(state, top);
    counter->AddHandler("tick", handler, false);

    ScriptContext args;
    args.AddInt(1);
    constexpr int kEvents = 200000;
    constexpr int kBatch = 100; // events queued per main-loop pass

    auto start = Clock::now();
    for (int i = 0; i < kEvents; i += kBatch)
    {
        for (int j = 0; j < kBatch; ++j)
            manager.QueueEvent("tick", kServerEventSource, false, args);
        manager.Process();
    }
    const double ms = MillisecondsSince(start);

    lua_getglobal(state, "count");
    const long long counted = static_cast<long long>(lua_tointeger(state, -1));
    lua_settop(state, top);
    std::printf("events: %d queued + processed (batches of %d, one int argument) in %.1f ms\n", kEvents,
                kBatch, ms);
    std::printf("  %.0f events/s; the Lua handler counted %lld\n", kEvents / (ms / 1000.0), counted);

    start = Clock::now();
    for (int i = 0; i < kEvents; ++i)
        manager.TriggerEvent("tick", kServerEventSource, false, args);
    const double triggerMs = MillisecondsSince(start);
    std::printf("  triggered directly: %.0f events/s\n", kEvents / (triggerMs / 1000.0));
}
} // namespace

int main()
{
    spdlog::set_level(spdlog::level::warn);
    std::string pattern = (fs::temp_directory_path() / "lnf-resource-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return 1;
    const fs::path base = pattern;

    Settings::ResetForTesting();
    Settings::SetDefaults(false);
    Settings::SetFromString("secret", "bench secret " + std::to_string(std::rand()));
    Resource::SetBaseDirectoryForTesting(base);

    {
        Server server;
        server.resourceManager = std::make_unique<ResourceManager>();
        BenchLoad(base, *server.resourceManager);
        BenchEvents(base, *server.resourceManager);
    }

    Resource::SetBaseDirectoryForTesting({});
    fs::remove_all(base);
    return 0;
}
