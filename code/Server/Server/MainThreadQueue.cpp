#include "Server/MainThreadQueue.h"

#include <algorithm>
#include <cstddef>

void MainThreadQueue::RunPending()
{
    size_t pending = static_cast<size_t>(std::max<std::ptrdiff_t>(tasks.unsafe_size(), 0));
    std::function<void()> task;
    while (pending-- > 0 && tasks.try_pop(task))
        task();
}
