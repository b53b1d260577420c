#include <chrono>
#include <thread>

#include <spdlog/spdlog.h>

#include "Server/Console.h"
#include "Server/Logging.h"
#include "Server/Server.h"

int main()
{
    // Created once and never destroyed: the process has no orderly shutdown.
    Server* server = new Server();
    InitializeLogging();

    if (!server->Start())
    {
        spdlog::critical("Failed to start server! Exiting in 10 seconds..");
        std::this_thread::sleep_for(std::chrono::seconds(10));
        return 1;
    }

    StartConsoleInput();
    for (;;)
    {
        server->Process();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
