// Serves the HTTP front door alone for load measurements (tools/bench-http drives it with wrk):
// the real HttpServer with default settings, an empty client registry and one mounted folder.
//
//     HttpBench <port> <folder>     serves "/query", "/client" and <folder> at "/bench"
//
// Runs until it is killed.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include <spdlog/spdlog.h>

#include "Network/ClientRegistry.h"
#include "Network/HttpServer.h"
#include "Server/Server.h"
#include "Server/Settings.h"

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::cerr << "usage: HttpBench <port> <folder>\n";
        return 2;
    }
    int port = std::atoi(argv[1]);
    std::filesystem::path folder = argv[2];

    // Only warnings and worse: a debug line per download would measure the logger.
    spdlog::set_level(spdlog::level::warn);
    Settings::SetDefaults(false);

    auto* server = new Server();
    server->clientRegistry = std::make_unique<ClientRegistry>();
    server->httpServer = std::make_unique<HttpServer>();
    if (!server->httpServer->Mount("/bench", folder))
    {
        std::cerr << "HttpBench: cannot mount " << folder << "\n";
        return 1;
    }
    server->httpServer->Start("127.0.0.1", port);
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}
