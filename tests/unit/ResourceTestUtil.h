#pragma once

// Shared pieces of the resource and event tests: a private folder that stands in for the program
// folder, a server object with the slots the resource code uses, and a scriptable fake VM that lets
// event tests run C++ handlers (to cancel, nest and subscribe) where a script would.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Network/ClientRegistry.h"
#include "Network/Network.h"
#include "Network/Session.h"
#include "Resources/Resource.h"
#include "Resources/ResourceManager.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptVM.h"
#include "Server/Server.h"
#include "Server/Settings.h"

namespace restest
{

namespace fs = std::filesystem;

// A temporary folder used as the program folder of resources ("resources/..." and "cache/...").
class TempBase
{
public:
    TempBase()
    {
        std::string pattern = (fs::temp_directory_path() / "lnf-resource-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        folder = pattern;
        Resource::SetBaseDirectoryForTesting(folder);
    }
    ~TempBase()
    {
        Resource::SetBaseDirectoryForTesting({});
        std::error_code error;
        fs::remove_all(folder, error);
    }
    TempBase(const TempBase&) = delete;
    TempBase& operator=(const TempBase&) = delete;

    void Write(const std::string& relative, const std::string& content) const
    {
        fs::create_directories((folder / relative).parent_path());
        std::ofstream(folder / relative, std::ios::binary | std::ios::trunc) << content;
    }
    std::string Read(const std::string& relative) const
    {
        std::ifstream in(folder / relative, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    bool Exists(const std::string& relative) const { return fs::exists(folder / relative); }

    // Writes resources/{name}/meta.xml and every named file (content = its own path unless given).
    void WriteResource(const std::string& name, const std::string& meta,
                       const std::map<std::string, std::string>& files = {}) const
    {
        Write("resources/" + name + "/meta.xml", meta);
        for (const auto& [path, content] : files)
            Write("resources/" + name + "/" + path, content);
    }

    fs::path folder;
};

// Default settings (secret "tarragon") for every test that builds resources.
inline void ResetSettings(const std::string& secret = "tarragon")
{
    Settings::ResetForTesting();
    Settings::SetDefaults(false);
    Settings::SetFromString("secret", secret);
}

// What the fake VMs of one test do and saw. Handlers are C++ functions addressed by the `luaRef` of
// the ScriptFunctionRef that subscribed them.
struct FakeScripts
{
    // Called with the resource when a script of that name is loaded (to subscribe handlers).
    std::map<std::string, std::function<void(Resource*)>> onLoad;
    std::set<std::string> failingScripts;
    // Handler id -> body; receives the argument count and returns the call's success.
    std::map<int32_t, std::function<bool(uint32_t)>> handlers;

    std::vector<std::string> loaded; // "resource:script"
    std::vector<std::string> calls;  // "resource:handler id"
};

inline ScriptFunctionRef FakeHandler(int32_t id)
{
    ScriptFunctionRef function;
    function.luaRef = id;
    function.vmType = 1;
    return function;
}

class FakeVM : public ScriptVM
{
public:
    FakeVM(Resource* resource, FakeScripts& scripts) : ScriptVM(resource, true), scripts(scripts) {}

    uint32_t GetType() override { return 0; }
    void LoadBuiltins() override {}
    bool LoadScript(const std::string& name, const std::string&) override
    {
        scripts.loaded.push_back(resource->GetName() + ":" + name);
        if (scripts.failingScripts.contains(name))
            return false;
        auto hook = scripts.onLoad.find(name);
        if (hook != scripts.onLoad.end())
            hook->second(resource);
        return true;
    }
    int32_t GetArgCount() override { return 0; }
    uint32_t GetArgType(int32_t) override { return 0; }
    bool GetTable(int32_t, std::map<std::string, std::string>&) override { return false; }
    bool GetFunction(int32_t, ScriptFunctionRef&) override { return false; }
    bool GetString(int32_t, std::string&) override { return false; }
    bool GetBool(int32_t, bool&) override { return false; }
    bool GetFloat(int32_t, float&) override { return false; }
    bool GetInt(int32_t, int32_t&) override { return false; }
    bool GetUInt(int32_t, uint32_t&) override { return false; }
    void PushUInt64(const uint64_t&) override {}
    void PushInt64(const int64_t&) override {}
    void PushString(const std::string&) override {}
    void PushCString(const char*) override {}
    void PushFloat(const float&) override {}
    void PushULong(const uint32_t&) override {}
    void PushLong(const int32_t&) override {}
    void PushUInt(const uint32_t&) override {}
    void PushInt(const int32_t&) override {}
    void PushBool(const bool&) override {}
    void PushNewArray() override {}
    void ArraySet(int32_t) override {}
    void RegisterModule(const std::string&, const ScriptModuleRange&) override {}
    bool PushFunction(const ScriptFunctionRef& function) override
    {
        if (function.vmType != 1 || !scripts.handlers.contains(function.luaRef))
            return false;
        pushed = function.luaRef;
        return true;
    }
    bool CallGlobal(const std::string&, const ScriptContext&, ScriptContext*) override { return false; }
    bool Call(uint32_t argCount, int32_t) override
    {
        int32_t id = pushed;
        scripts.calls.push_back(resource->GetName() + ":" + std::to_string(id));
        return scripts.handlers.at(id)(argCount);
    }
    int32_t GetMemoryUsage() override { return 0; }
    int32_t CreateThread() override { return -1; }
    int32_t PauseThread(uint32_t) override { return -1; }
    int32_t RaiseError(const std::string&) override { return -1; }
    void ProcessThreads() override {}

private:
    FakeScripts& scripts;
    int32_t pushed = -1;
};

// Installs the fake VM for lua resources for the lifetime of the object.
class FakeVMScope
{
public:
    explicit FakeVMScope(FakeScripts& scripts)
    {
        Resource::SetVMFactoryForTesting(ResourceLua,
                                         [&scripts](Resource* resource) -> std::unique_ptr<ScriptVM>
                                         { return std::make_unique<FakeVM>(resource, scripts); });
    }
    ~FakeVMScope() { Resource::SetVMFactoryForTesting(ResourceLua, nullptr); }
    FakeVMScope(const FakeVMScope&) = delete;
    FakeVMScope& operator=(const FakeVMScope&) = delete;
};

// A server object with a resource manager and, on request, a queue-only network, a client registry
// and a session map. Resources are destroyed before the other slots go.
class TestServer
{
public:
    explicit TestServer(bool withNetwork = false)
    {
        if (withNetwork)
        {
            server.sessions = std::make_unique<Session>();
            server.clientRegistry = std::make_unique<ClientRegistry>();
            server.network = std::make_unique<Network>(NetworkWorker::None);
        }
        server.resourceManager = std::make_unique<ResourceManager>();
    }
    ~TestServer()
    {
        server.resourceManager.reset();
        TakeOutgoing();
    }

    ResourceManager& Manager() { return *server.resourceManager; }

    // Creates, loads and starts; null (and the resource removed) when a step fails.
    Resource* StartResource(const std::string& name)
    {
        Resource* resource = Manager().CreateResource(name);
        if (resource == nullptr)
            return nullptr;
        if (!resource->Load() || !resource->Start())
        {
            Manager().StopResource(name);
            return nullptr;
        }
        return resource;
    }

    // Takes every packet queued for sending: (peer id or -1 for a broadcast, channel-0 payload).
    std::vector<std::pair<int, std::string>> TakeOutgoing()
    {
        std::vector<std::pair<int, std::string>> packets;
        OutgoingPacket packet;
        while (server.network && server.network->outgoing.try_pop(packet))
        {
            packets.emplace_back(
                packet.broadcast ? -1 : packet.peerId,
                std::string(reinterpret_cast<const char*>(packet.packet->data), packet.packet->dataLength));
            enet_packet_destroy(packet.packet);
        }
        return packets;
    }

    Server server;
};

} // namespace restest
