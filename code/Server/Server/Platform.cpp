#include "Server/Platform.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>

namespace
{
std::filesystem::path g_programDirectory;
std::mutex g_timeSourceMutex;
std::function<int64_t()> g_timeSource;
std::atomic<bool> g_hasTimeSource{false};
} // namespace

std::filesystem::path GetProgramDirectory()
{
    if (!g_programDirectory.empty())
        return g_programDirectory;

    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || executable.empty())
        return g_programDirectory;
    executable = std::filesystem::absolute(executable, error);
    if (error)
        return g_programDirectory;
    g_programDirectory = executable.parent_path();
    return g_programDirectory;
}

int64_t GetTimeMs()
{
    if (g_hasTimeSource.load(std::memory_order_acquire))
    {
        std::lock_guard lock(g_timeSourceMutex);
        if (g_timeSource)
            return g_timeSource();
    }
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 1000000;
}

void SetTimeSourceForTesting(std::function<int64_t()> source)
{
    std::lock_guard lock(g_timeSourceMutex);
    g_timeSource = std::move(source);
    g_hasTimeSource.store(static_cast<bool>(g_timeSource), std::memory_order_release);
}

int RunOnLargeStack(size_t stackBytes, const std::function<int()>& body)
{
    struct Job
    {
        const std::function<int()>* body;
        int result = 0;
    } job{&body};
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return body();
    pthread_t thread;
    int error = pthread_attr_setstacksize(&attributes, stackBytes);
    if (error == 0)
        error = pthread_create(
            &thread, &attributes,
            [](void* argument) -> void*
            {
                auto* running = static_cast<Job*>(argument);
                running->result = (*running->body)();
                return nullptr;
            },
            &job);
    pthread_attr_destroy(&attributes);
    if (error != 0)
    {
        spdlog::warn("[Server] Could not reserve a stack of {} MiB ({}); running with the default stack.",
                     stackBytes >> 20, std::strerror(error));
        return body();
    }
    pthread_join(thread, nullptr);
    return job.result;
}
