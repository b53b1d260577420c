#include "Resources/ResourceEventManager.h"

#include <deque>
#include <memory>

#include <spdlog/spdlog.h>

#include "Resources/Resource.h"
#include "Scripting/ScriptContext.h"

std::vector<EventHook> ResourceEventManager::EventQueuedHooks;
std::vector<EventHook> ResourceEventManager::EventTriggeredHooks;

namespace
{
// Per thread, so triggers running on different threads never cancel each other.
thread_local std::deque<bool*> cancelStack;
thread_local bool lastCanceled = false;

void Notify(const std::vector<EventHook>& hooks, const std::string& name, const ScriptContext& args)
{
    for (const EventHook& hook : hooks)
        hook(name, args);
}
} // namespace

void ResourceEventManager::QueueEvent(const std::string& name, uint16_t source, bool remote,
                                      const ScriptContext& args)
{
    spdlog::trace("[ResourceEventManager] Queue event {}.", name);
    Notify(EventQueuedHooks, name, args);
    std::shared_ptr<const ScriptContext> shared;
    for (const auto& [resourceName, resource] : GetResources())
        resource->QueueEvent(name, source, remote, args, shared);
}

bool ResourceEventManager::TriggerEvent(const std::string& name, uint16_t source, bool remote,
                                        const ScriptContext& args)
{
    spdlog::trace("[ResourceEventManager] Trigger event {}.", name);
    bool canceled = false;
    cancelStack.push_back(&canceled);

    // A handler that throws (a failed allocation, say) must not leave a dangling flag on the stack.
    struct PopOnExit
    {
        ~PopOnExit() { cancelStack.pop_back(); }
    } popOnExit;

    Notify(EventTriggeredHooks, name, args);
    for (const auto& [resourceName, resource] : GetResources())
        resource->TriggerEvent(name, source, remote, args);

    lastCanceled = canceled;
    return !canceled;
}

void ResourceEventManager::CancelEvent()
{
    if (!cancelStack.empty())
        *cancelStack.back() = true;
}

bool ResourceEventManager::WasLastCanceled()
{
    return lastCanceled;
}
