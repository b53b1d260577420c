#pragma once

#include <memory>

#include "Server/MainThreadQueue.h"

class HttpServer;
class ResourceManager;
class Network;
class ClientRegistry;
class Session;

// The process-wide server object. It owns the five components for the life of the process; every
// other part of the program reaches them through the global `g_server`.
class Server
{
public:
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool Start();
    void LoadResources();
    void Process();

    std::unique_ptr<HttpServer> httpServer;
    std::unique_ptr<ResourceManager> resourceManager;
    std::unique_ptr<Network> network;
    std::unique_ptr<ClientRegistry> clientRegistry;
    std::unique_ptr<Session> sessions;

    // Work handed to the main thread by other threads; run at the start of every pass.
    MainThreadQueue tasks;
};

// The one server instance, registered by the Server constructor.
extern Server* g_server;
