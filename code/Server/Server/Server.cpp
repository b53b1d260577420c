#include "Server/Server.h"

#include <spdlog/spdlog.h>

#include "Server/Logging.h"
#include "Server/Platform.h"
#include "Server/Settings.h"
#include "Network/ClientRegistry.h"
#include "Network/HttpServer.h"
#include "Network/MasterList.h"
#include "Network/Network.h"
#include "Network/Session.h"
#include "Resources/Resource.h"
#include "Resources/ResourceManager.h"

Server* g_server = nullptr;

Server::Server()
{
    g_server = this;
}

Server::~Server()
{
    // Resources stop first: stopping tells the clients and unmounts from the HTTP server.
    resourceManager.reset();
    // The HTTP workers read the player count: stop them before the registry goes.
    httpServer.reset();
    // Clients leave their sessions as they go, so they must go before the session map.
    clientRegistry.reset();
    if (g_server == this)
        g_server = nullptr;
}

bool Server::Start()
{
    if (!Settings::Load(GetProgramDirectory() / "settings.xml", true, false))
    {
        spdlog::error("[Server] Failed to open settings file.");
        return false;
    }

    ApplyLogLevel(Settings::GetInt("loglevel"));

    spdlog::info("[Server] Version {} Linux Server", "1.6");
    spdlog::info("[Server] Port: {}", Settings::GetInt("port"));
    spdlog::info("[Server] Host Address: {}", Settings::GetString("hostaddress"));
    spdlog::info("[Server] Max Players: {}", Settings::GetInt("maxplayers"));
    switch (Settings::GetInt("episode"))
    {
    case 0:
        spdlog::info("[Server] Episode: IV");
        break;
    case 1:
        spdlog::info("[Server] Episode: TLAD");
        break;
    case 2:
        spdlog::info("[Server] Episode: TBOGT");
        break;
    default:
        break;
    }

    network = std::make_unique<Network>();
    clientRegistry = std::make_unique<ClientRegistry>();
    sessions = std::make_unique<Session>();
    resourceManager = std::make_unique<ResourceManager>();

    httpServer = std::make_unique<HttpServer>();
    httpServer->Start(Settings::GetString("hostaddress"), Settings::GetInt("port"));

    LoadResources();
    return true;
}

void Server::LoadResources()
{
    for (const std::string& name : Settings::GetList("resource"))
    {
        if (name.empty())
            continue;
        spdlog::info("[Server] Loading resource {}.", name);

        Resource* resource = resourceManager->CreateResource(name);
        if (resource == nullptr)
        {
            spdlog::error("[Server] Failed to create resource {}.", name);
            continue;
        }
        if (!resource->Load())
        {
            spdlog::error("[Server] Failed to load resource {}.", name);
            resourceManager->StopResource(name);
            continue;
        }
        if (!resource->Start())
        {
            spdlog::error("[Server] Failed to start resource {}.", name);
            resourceManager->StopResource(name);
            continue;
        }
        spdlog::info("[Server] Successfully loaded resource {}.", name);
    }
}

void Server::Process()
{
    tasks.RunPending();
    if (network)
        network->Process();
    if (resourceManager)
        resourceManager->Process();
    MasterList::Post();
}
