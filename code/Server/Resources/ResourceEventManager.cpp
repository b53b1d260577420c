#include "Resources/ResourceEventManager.h"

#include <algorithm>
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
    // Queuing runs no script, so the current list can be walked as it is.
    auto found = subscribers.find(name);
    if (found == subscribers.end())
        return;
    std::shared_ptr<const ScriptContext> shared;
    for (const Entry& entry : *found->second)
        entry.resource->QueueEvent(name, source, remote, args, shared);
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
    auto found = subscribers.find(name);
    if (found != subscribers.end())
    {
        auto trigger = [&](ResourceEvent* resource) { resource->TriggerEvent(name, source, remote, args); };
        Walk(found->second, trigger);
    }

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

ResourceEventManager::EntryList ResourceEventManager::With(const EntryList& list, Entry entry)
{
    auto updated =
        list ? std::make_shared<std::vector<Entry>>(*list) : std::make_shared<std::vector<Entry>>();
    auto place = std::upper_bound(updated->begin(), updated->end(), entry.serial,
                                  [](uint64_t serial, const Entry& other) { return serial < other.serial; });
    updated->insert(place, entry);
    return updated;
}

ResourceEventManager::EntryList ResourceEventManager::Without(const EntryList& list, uint64_t serial)
{
    auto updated = std::make_shared<std::vector<Entry>>(*list);
    std::erase_if(*updated, [serial](const Entry& entry) { return entry.serial == serial; });
    return updated;
}

void ResourceEventManager::Enroll(ResourceEvent* resource)
{
    resource->manager = this;
    resource->serial = nextSerial++;
    enrolled = With(enrolled, Entry{resource, resource->serial});
}

void ResourceEventManager::Withdraw(ResourceEvent* resource)
{
    if (resource->manager != this)
        return;
    RemoveSubscriptions(resource);
    enrolled = Without(enrolled, resource->serial);
    resource->manager = nullptr;
    ++withdrawals;
}

void ResourceEventManager::AddSubscriber(const std::string& name, ResourceEvent* resource)
{
    EntryList& list = subscribers[name];
    list = With(list, Entry{resource, resource->serial});
}

void ResourceEventManager::RemoveSubscriptions(ResourceEvent* resource)
{
    const std::multimap<std::string, EventHandler>& handlers = resource->handlers;
    for (auto it = handlers.begin(); it != handlers.end(); it = handlers.upper_bound(it->first))
    {
        auto found = subscribers.find(it->first);
        if (found == subscribers.end())
            continue;
        if (found->second->size() == 1 && found->second->front().serial == resource->serial)
            subscribers.erase(found);
        else
            found->second = Without(found->second, resource->serial);
    }
}

bool ResourceEventManager::IsEnrolled(uint64_t serial) const
{
    return enrolled && std::binary_search(enrolled->begin(), enrolled->end(), Entry{nullptr, serial},
                                          [](const Entry& a, const Entry& b) { return a.serial < b.serial; });
}
