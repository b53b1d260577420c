#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

class Resource;
class ScriptContext;

// Observers told about every queued or triggered event (name, arguments). Nothing registers one;
// they exist so tools can watch the event flow without touching the raising code.
using EventHook = std::function<void(const std::string&, const ScriptContext&)>;

// The process-wide half of the event system: raises an event on every resource and keeps the
// per-thread cancel state of triggered events. `ResourceManager` is its one implementation.
class ResourceEventManager
{
public:
    // A snapshot of name -> resource (not owning); callers iterate the copy.
    virtual std::unordered_map<std::string, Resource*> GetResources() = 0;

    // Queues the event on every resource that has a handler for it right now; it runs in each
    // resource's next pass and can't be canceled.
    void QueueEvent(const std::string& name, uint16_t source, bool remote, const ScriptContext& args);
    // Runs every resource's handlers at once on this thread; false when a handler canceled it.
    bool TriggerEvent(const std::string& name, uint16_t source, bool remote, const ScriptContext& args);
    // Cancels the innermost trigger running on this thread; nothing when none runs.
    void CancelEvent();
    // Whether the last trigger that finished on this thread was canceled.
    bool WasLastCanceled();

    static std::vector<EventHook> EventQueuedHooks;
    static std::vector<EventHook> EventTriggeredHooks;

protected:
    ResourceEventManager() = default;
    ~ResourceEventManager() = default;
    ResourceEventManager(const ResourceEventManager&) = delete;
    ResourceEventManager& operator=(const ResourceEventManager&) = delete;
};
