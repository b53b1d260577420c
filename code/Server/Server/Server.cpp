#include "Server/Server.h"

#include <spdlog/spdlog.h>

#include "Server/Logging.h"
#include "Server/Platform.h"
#include "Server/Settings.h"
#include "Network/ClientRegistry.h"
#include "Network/HttpServer.h"
#include "Network/Network.h"
#include "Network/Session.h"
#include "Resources/ResourceManager.h"

Server* g_server = nullptr;

Server::Server()
{
    g_server = this;
}

Server::~Server() = default;

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

    LoadResources();
    return true;
}

void Server::LoadResources()
{
}

void Server::Process()
{
    tasks.RunPending();
}
