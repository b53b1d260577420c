#pragma once

// Shared pieces of the in-process resource and script tests: a private folder that stands in for
// the program folder, default settings, and a server object with the slots the resource code uses.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>

#include "Network/ClientRegistry.h"
#include "Network/Network.h"
#include "Network/Session.h"
#include "Resources/Resource.h"
#include "Resources/ResourceManager.h"
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
        folder = mkdtemp(pattern.data()) != nullptr ? pattern : throw std::runtime_error("mkdtemp failed");
        Resource::SetBaseDirectoryForTesting(folder);
    }
    ~TempBase()
    {
        Resource::SetBaseDirectoryForTesting({});
        std::error_code error;
        fs::remove_all(folder, error);
    }
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
    // Writes resources/{name}/meta.xml and every named file.
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
    ~TestServer() { server.resourceManager.reset(), TakeOutgoing(); }

    ResourceManager& Manager() { return *server.resourceManager; }

    // Creates, loads and starts; null (and the resource removed) when a step fails.
    Resource* StartResource(const std::string& name)
    {
        Resource* resource = Manager().CreateResource(name);
        if (resource == nullptr || (resource->Load() && resource->Start()))
            return resource;
        Manager().StopResource(name);
        return nullptr;
    }

    // Takes every packet queued for sending: (peer id or -1 for a broadcast, channel-0 payload).
    std::vector<std::pair<int, std::string>> TakeOutgoing()
    {
        std::vector<std::pair<int, std::string>> packets;
        OutgoingPacket packet;
        while (server.network && server.network->outgoing.try_pop(packet))
        {
            const auto* data = reinterpret_cast<const char*>(packet.packet->data);
            packets.emplace_back(packet.broadcast ? -1 : packet.peerId,
                                 std::string(data, packet.packet->dataLength));
            enet_packet_destroy(packet.packet);
        }
        return packets;
    }

    Server server;
};

} // namespace restest
