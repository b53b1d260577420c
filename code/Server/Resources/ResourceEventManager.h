#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class Resource;
class ResourceEvent;
class ScriptContext;

// Observers told about every queued or triggered event (name, arguments). Nothing registers one;
// they exist so tools can watch the event flow without touching the raising code.
using EventHook = std::function<void(const std::string&, const ScriptContext&)>;

// The process-wide half of the event system: raises an event on every resource and keeps the
// per-thread cancel state of triggered events. `ResourceManager` is its one implementation.
//
// Raising an event visits only the resources that handle its name: each enrolled resource reports the
// first handler of a name and the clearing of its handlers, and the manager keeps, per name, the list
// of those resources in creation order. A list is replaced, never changed in place, so a walk keeps
// the list it started with: a resource created during the walk takes no part in it, and one stopped
// during the walk is skipped from then on.
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

    // A resource enters the walks when it is created (before any handler is added) and leaves them
    // before it is destroyed.
    void Enroll(ResourceEvent* resource);
    void Withdraw(ResourceEvent* resource);
    // Calls `visit` for every enrolled resource in creation order, under the rules of an event walk.
    template <typename Visit> void ForEachResource(Visit&& visit) { Walk(enrolled, visit); }

private:
    friend class ResourceEvent;

    struct Entry
    {
        ResourceEvent* resource;
        uint64_t serial;
    };
    // Sorted by serial, that is, in creation order.
    using EntryList = std::shared_ptr<const std::vector<Entry>>;

    // A copy of the list with the entry in its place, or without the entry of the serial.
    static EntryList With(const EntryList& list, Entry entry);
    static EntryList Without(const EntryList& list, uint64_t serial);

    void AddSubscriber(const std::string& name, ResourceEvent* resource);
    void RemoveSubscriptions(ResourceEvent* resource);
    bool IsEnrolled(uint64_t serial) const;

    template <typename Visit> void Walk(const EntryList& list, Visit& visit)
    {
        if (!list)
            return;
        const EntryList held = list;
        const uint64_t withdrawalsAtStart = withdrawals;
        for (const Entry& entry : *held)
        {
            // Only a withdrawal can leave a stale entry behind; the look-up runs only after one.
            if (withdrawals != withdrawalsAtStart && !IsEnrolled(entry.serial))
                continue;
            visit(entry.resource);
        }
    }

    EntryList enrolled;
    std::unordered_map<std::string, EntryList> subscribers;
    uint64_t nextSerial = 1;
    uint64_t withdrawals = 0;
};
