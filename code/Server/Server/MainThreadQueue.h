#pragma once

#include <functional>

#include <tbb/concurrent_queue.h>

// Closures that other threads (console, HTTP workers, HTTP client pool) hand to the main thread.
// The main loop runs them at the start of each pass, so they never race the loop's own work.
class MainThreadQueue
{
public:
    void Post(std::function<void()> task) { tasks.push(std::move(task)); }

    // Runs the tasks queued when the call began, in order; tasks queued meanwhile wait for the next pass.
    void RunPending();

private:
    tbb::concurrent_queue<std::function<void()>> tasks;
};
