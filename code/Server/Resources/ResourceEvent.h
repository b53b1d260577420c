#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <tbb/concurrent_queue.h>

#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptFunctionRef.h"

class ResourceEventManager;
class ScriptVM;

// Client id that stands for "no client": the server itself is the source of the event.
constexpr uint16_t kServerEventSource = 65535;

// One subscription of a script function to an event name.
struct EventHandler
{
    ScriptFunctionRef function;
    bool allowRemote = false; // only such handlers run for events sent by a game client
};

// An event waiting in a resource's queue for the resource's next pass.
struct QueuedEvent
{
    std::string name;
    uint16_t source = kServerEventSource;
    bool remote = false;
    // Shared by the queues of every resource that takes the event: read only.
    std::shared_ptr<const ScriptContext> args;
};

// The per-resource half of the event system: the resource's handlers, its queue of queued events
// and the source of the event it handled last. `Resource` is its one implementation.
class ResourceEvent
{
public:
    virtual ScriptVM* GetVM() = 0;
    virtual std::string GetName() = 0;

    void AddHandler(const std::string& name, ScriptFunctionRef function, bool allowRemote);
    // Drops every handler and every queued event without running anything.
    void ClearEvents();
    // Stores the event only when a handler for its name exists right now. The first resource that
    // stores it makes `shared`, the copy of args that the others then store too.
    void QueueEvent(const std::string& name, uint16_t source, bool remote, const ScriptContext& args,
                    std::shared_ptr<const ScriptContext>& shared);
    // Runs the handlers of the name at once on the calling thread.
    void TriggerEvent(const std::string& name, uint16_t source, bool remote, const ScriptContext& args);
    // Runs queued events first in, first out, including those queued while it runs.
    void ProcessQueue();

    // Client id of the source of the event this resource handled last (65535 = the server).
    uint16_t GetSource() const { return source; }
    size_t GetHandlerCount() const { return handlers.size(); }
    bool HasQueuedEvents() const { return !eventQueue.empty(); }

protected:
    ResourceEvent() = default;
    ~ResourceEvent() = default;
    ResourceEvent(const ResourceEvent&) = delete;
    ResourceEvent& operator=(const ResourceEvent&) = delete;

    // Handlers of one name keep their order of subscription (multimap inserts equal keys last).
    std::multimap<std::string, EventHandler> handlers;
    tbb::concurrent_queue<QueuedEvent> eventQueue;
    uint16_t source = kServerEventSource;

private:
    friend class ResourceEventManager;

    // Tells the manager about every event name this resource has handlers for, so that raising an
    // event visits only the resources that handle it; none while the resource is not enrolled.
    ResourceEventManager* manager = nullptr;
    // Creation order among the manager's resources, unique for the life of the manager.
    uint64_t serial = 0;
};
