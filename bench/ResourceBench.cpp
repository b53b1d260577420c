// Resource benchmarks, in-process, each beside its yardstick from the same run:
//  - ResourceEvents/N: events queued to one Lua handler and run in the resources' passes, with N
//    resources started (the others with handlers of their own for other names). Events per second
//    should stay flat in N; `triggered` gives the rate of Events.Call-style triggers.
//  - ResourceLoadCache: Load and Start of a resource of 100 client scripts of 10 KiB with a secret: on
//    a fresh cache and with a new secret (one key derivation, as at a server start), on existing cache
//    files with another new secret (derivation, every file rewritten), and again with that secret (the
//    key known, every file up to date: a restart of an unchanged resource). Yardstick: one PBKDF2
//    derivation plus the AES-EAX of the same 100 scripts; each `_ratio` is a load time over it.
//    `files_ms` shows the file system's floor for a fresh cache: the same 100 files written plainly.

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/sha.h>
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

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Write(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A temporary program folder with a server object whose resources live there.
class BenchServer
{
public:
    explicit BenchServer(const std::string& secret)
    {
        spdlog::set_level(spdlog::level::warn);
        std::string pattern = (fs::temp_directory_path() / "lnf-resource-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            base = pattern;
        Settings::ResetForTesting();
        Settings::SetDefaults(false);
        Settings::SetFromString("secret", secret);
        Resource::SetBaseDirectoryForTesting(base);
        server.resourceManager = std::make_unique<ResourceManager>();
    }
    ~BenchServer()
    {
        server.resourceManager.reset();
        Resource::SetBaseDirectoryForTesting({});
        if (!base.empty())
            fs::remove_all(base);
    }

    ResourceManager& Manager() { return *server.resourceManager; }
    Resource* Start(const std::string& name)
    {
        Resource* resource = Manager().CreateResource(name);
        if (resource != nullptr && resource->Load() && resource->Start())
            return resource;
        Manager().StopResource(name);
        return nullptr;
    }

    fs::path base;
    Server server;
};

void ResourceEvents(benchmark::State& state)
{
    BenchServer bench("");
    const auto others = static_cast<int>(state.range(0)) - 1;
    for (int i = 0; i < others; ++i)
    {
        const std::string name = "other" + std::to_string(i);
        Write(bench.base / "resources" / name / "meta.xml",
              R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)");
        Write(bench.base / "resources" / name / "main.lua",
              "Events.Subscribe('resourceStart', function() end)\n"
              "Events.Subscribe('" +
                  name + "', function() end)\n");
        if (bench.Start(name) == nullptr)
            return state.SkipWithError("a resource failed to start");
    }
    Write(bench.base / "resources/counter/meta.xml",
          R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)");
    Write(bench.base / "resources/counter/main.lua",
          "count = 0\nEvents.Subscribe('tick', function(n) count = count + n end)\n");
    Resource* counter = bench.Start("counter");
    if (counter == nullptr)
        return state.SkipWithError("the counting resource failed to start");
    bench.Manager().Process(); // the resourceStart events

    ScriptContext args;
    args.AddInt(1);
    constexpr int kBatch = 100; // events queued per main-loop pass
    for (auto _ : state)
    {
        for (int j = 0; j < kBatch; ++j)
            bench.Manager().QueueEvent("tick", kServerEventSource, false, args);
        bench.Manager().Process();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);

    constexpr int kTriggers = 100000;
    const auto start = Clock::now();
    for (int i = 0; i < kTriggers; ++i)
        bench.Manager().TriggerEvent("tick", kServerEventSource, false, args);
    state.counters["triggered"] = benchmark::Counter(kTriggers / SecondsSince(start));

    lua_State* lua = static_cast<LuaVM*>(counter->GetVM())->GetLuaState();
    lua_getglobal(lua, "count");
    const lua_Integer counted = lua_tointeger(lua, -1);
    lua_pop(lua, 1);
    if (counted != static_cast<lua_Integer>(state.iterations()) * kBatch + kTriggers)
        state.SkipWithError("the handler missed events");
}
BENCHMARK(ResourceEvents)->Arg(1)->Arg(50)->Arg(100)->Unit(benchmark::kMicrosecond);

void ResourceLoadCache(benchmark::State& state)
{
    constexpr int kScripts = 100;
    constexpr size_t kSize = 10 * 1024;
    BenchServer bench("");
    std::string meta = "<meta type=\"lua\">\n";
    std::vector<std::string> bodies;
    for (int i = 0; i < kScripts; ++i)
    {
        std::string body = "-- " + std::to_string(i) + "\n";
        while (body.size() < kSize)
            body += static_cast<char>('a' + (body.size() * 7 + body.size() / 13) % 26);
        const std::string path = "client/script" + std::to_string(i) + ".lua";
        meta += "  <script src=\"" + path + "\" type=\"client\"/>\n";
        Write(bench.base / "resources/big" / path, body);
        bodies.push_back(std::move(body));
    }
    Write(bench.base / "resources/big/meta.xml", meta + "</meta>\n");

    // fresh: no cache folder; rewrite: the files exist with other bytes (another secret); restart: the
    // files exist with the same bytes and the key is known (a console restart of an unchanged resource).
    double yardstick = 0, files = 0, fresh = 0, rewrite = 0, restart = 0;
    int round = 0;
    for (auto _ : state)
    {
        const std::string secret = "bench secret " + std::to_string(round++);
        auto start = Clock::now();
        CacheKeyMaterial key{};
        CryptoPP::PKCS5_PBKDF2_HMAC<CryptoPP::SHA256>().DeriveKey(
            key.data(), key.size(), 0, reinterpret_cast<const CryptoPP::byte*>(secret.data()), secret.size(),
            nullptr, 0, 15000);
        std::vector<std::string> encrypted;
        for (const std::string& body : bodies)
            encrypted.push_back(ResourceFile::EncryptForCache(body, key));
        yardstick += SecondsSince(start);

        // Each round in a program folder of its own that shares the resources: deleting the last round's
        // cache would make the file system pay for recently deleted inodes, which a first start doesn't.
        const fs::path folder = bench.base / ("round" + std::to_string(round));
        fs::create_directories(folder);
        fs::create_directory_symlink(bench.base / "resources", folder / "resources");
        Resource::SetBaseDirectoryForTesting(folder);

        // The file system's own part of a fresh cache: the same files written plainly to a new folder.
        start = Clock::now();
        fs::create_directories(folder / "plain/client");
        for (size_t i = 0; i < encrypted.size(); ++i)
            std::ofstream(folder / "plain/client" / std::to_string(i), std::ios::binary) << encrypted[i];
        files += SecondsSince(start);

        for (auto [total, secretOfLoad] : {std::pair{&fresh, secret}, std::pair{&rewrite, secret + " again"},
                                           std::pair{&restart, secret + " again"}})
        {
            Settings::SetFromString("secret", secretOfLoad);
            start = Clock::now();
            const bool started = bench.Start("big") != nullptr;
            *total += SecondsSince(start);
            bench.Manager().StopResource("big");
            if (!started)
                return state.SkipWithError("the resource failed to load");
        }
    }
    const double rounds = static_cast<double>(state.iterations());
    state.counters["yardstick_ms"] = yardstick * 1000 / rounds;
    state.counters["files_ms"] = files * 1000 / rounds;
    for (auto [name, total] :
         {std::pair{"fresh", fresh}, std::pair{"rewrite", rewrite}, std::pair{"restart", restart}})
    {
        state.counters[std::string(name) + "_ms"] = total * 1000 / rounds;
        state.counters[std::string(name) + "_ratio"] = total / yardstick;
    }
}
BENCHMARK(ResourceLoadCache)->Unit(benchmark::kMillisecond)->Iterations(10);
} // namespace
