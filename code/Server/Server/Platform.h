#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

// Folder of the running executable, computed once and cached; empty when it cannot be found
// (then settings.xml and server.log resolve against the working directory).
std::filesystem::path GetProgramDirectory();

// Monotonic clock in whole milliseconds; only differences are meaningful.
int64_t GetTimeMs();

// Tests replace the clock to step over time windows exactly; an empty function restores it.
void SetTimeSourceForTesting(std::function<int64_t()> source);

// Runs `body` on a new thread whose stack reserves `stackBytes` of address space (the system commits
// its pages only as they are touched), waits for it to end and gives its result. When no such thread
// can be made, logs a warning and runs `body` on the calling thread.
int RunOnLargeStack(size_t stackBytes, const std::function<int()>& body);

// Formats three values into a `{}` format text and logs the result at error level.
template <typename A, typename B, typename C>
void LogError(fmt::format_string<A, B, C> format, A&& a, B&& b, C&& c)
{
    spdlog::error(fmt::format(format, std::forward<A>(a), std::forward<B>(b), std::forward<C>(c)));
}

// Writes a message to standard error before any logger exists; aborts when fatal.
template <typename... Args>
void ReportError(bool fatal, fmt::format_string<Args...> format, Args&&... args)
{
    std::string message = fmt::format(format, std::forward<Args>(args)...);
    std::fprintf(stderr, fatal ? "[Fatal Error] %s" : "[Error] %s", message.c_str());
    std::fflush(stderr);
    if (fatal)
        std::abort();
}
