#include <chrono>
#include <cstddef>
#include <thread>

#include <spdlog/spdlog.h>

#include "Server/Console.h"
#include "Server/Logging.h"
#include "Server/Platform.h"
#include "Server/Server.h"

namespace
{
// The stack of the thread that starts the server and runs its main loop, where all script code runs.
// Script data can nest without bound, and Squirrel frees and collects nested data recursively: a
// linked list of a million tables takes about 50 MiB of stack to collect and drop (more in the
// sanitizer build); the ten million that 1 GiB still holds take 3 GiB of memory. Nested calls
// between resources, bounded by ScriptCallDepth, take up to about 25 MiB. Only the pages in use are
// ever committed.
constexpr size_t kMainLoopStackBytes = size_t{1} << 30;

int Run(Server* server)
{
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
} // namespace

int main()
{
    // Created once and never destroyed: the process has no orderly shutdown.
    Server* server = new Server();
    InitializeLogging();
    return RunOnLargeStack(kMainLoopStackBytes, [server] { return Run(server); });
}
