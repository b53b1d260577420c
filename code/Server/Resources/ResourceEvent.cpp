#include "Resources/ResourceEvent.h"

#include <spdlog/spdlog.h>

#include "Resources/ResourceEventManager.h"
#include "Scripting/ScriptVM.h"

void ResourceEvent::AddHandler(const std::string& name, ScriptFunctionRef function, bool allowRemote)
{
    spdlog::trace("[ResourceEvent] Add handler for event {} in resource {}.", name, GetName());
    const bool firstOfName = !handlers.contains(name);
    handlers.emplace(name, EventHandler{std::move(function), allowRemote});
    if (firstOfName && manager != nullptr)
        manager->AddSubscriber(name, this);
}

void ResourceEvent::ClearEvents()
{
    if (manager != nullptr)
        manager->RemoveSubscriptions(this);
    handlers.clear();
    // concurrent_queue::clear is not safe against concurrent pushes; popping is.
    QueuedEvent dropped;
    while (eventQueue.try_pop(dropped))
    {
    }
}

void ResourceEvent::QueueEvent(const std::string& name, uint16_t source, bool remote,
                               const ScriptContext& args, std::shared_ptr<const ScriptContext>& shared)
{
    if (handlers.find(name) == handlers.end())
        return;
    if (!shared)
        shared = std::make_shared<const ScriptContext>(args);
    eventQueue.push(QueuedEvent{name, source, remote, shared});
}

void ResourceEvent::TriggerEvent(const std::string& name, uint16_t source, bool remote,
                                 const ScriptContext& args)
{
    // Walk by name rather than up to the range's end iterator: a handler subscribed to this name during
    // the walk is inserted at the end of the name's range and runs in this walk, while handlers of other
    // names subscribed meanwhile (which may land right after the range) never run for this event.
    // Handlers are only ever added while a walk runs (clearing happens when the resource stops or fails
    // to start, never from a handler), so the iterator stays valid.
    for (auto it = handlers.lower_bound(name); it != handlers.end() && it->first == name; ++it)
    {
        const EventHandler& handler = it->second;
        if (remote && !handler.allowRemote)
        {
            spdlog::warn("[ResourceEvent] A handler of event {} in resource {} doesn't allow to be triggered "
                         "remotely.",
                         name, GetName());
            continue;
        }

        this->source = source;

        ScriptVM* vm = GetVM();
        if (vm == nullptr || !vm->PushFunction(handler.function))
        {
            spdlog::error("[ResourceEvent] Failed to push a handler function of event {} in resource {}.",
                          name, GetName());
            continue;
        }

        args.Push(vm);
        if (!vm->Call(static_cast<uint32_t>(args.types.size()), 0))
        {
            spdlog::error("[ResourceEvent] Failed to call a handler function of event {} in resource {}.",
                          name, GetName());
        }
    }
}

void ResourceEvent::ProcessQueue()
{
    QueuedEvent event;
    while (eventQueue.try_pop(event))
        TriggerEvent(event.name, event.source, event.remote, *event.args);
}
