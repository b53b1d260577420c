// Script module Events: subscriptions, events raised on the server at once, events sent to the game
// clients, and the cancel state of the running trigger.

#include <cstdint>
#include <string>
#include <utility>

#include "Network/Network.h"
#include "Network/Packets.h"
#include "Resources/Resource.h"
#include "Resources/ResourceManager.h"
#include "Scripting/ScriptApi.h"
#include "Scripting/ScriptApiSupport.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptVM.h"

namespace
{
ResourceManager* Manager()
{
    return g_server != nullptr ? g_server->resourceManager.get() : nullptr;
}
} // namespace

// Events.Subscribe(name, handler [, allowRemote])
int32_t ScriptEventsSubscribe(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string name;
    ScriptFunctionRef handler;
    if (!vm->GetString(1, name) || !vm->GetFunction(2, handler))
        return -1;
    bool allowRemote = false;
    if (vm->GetArgCount() > 2 && !vm->GetBool(3, allowRemote))
        return -1;
    if (Resource* resource = vm->GetResource())
        resource->AddHandler(name, std::move(handler), allowRemote);
    return 0;
}

// Events.Call(name, args): runs every resource's handlers now; false when one of them canceled.
int32_t ScriptEventsCall(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string name;
    ScriptContext args;
    if (!vm->GetString(1, name) || !args.ReadArrayElements(vm, 2))
        return -1;
    bool completed = true;
    if (ResourceManager* manager = Manager())
        completed = manager->TriggerEvent(name, kServerEventSource, false, args);
    vm->PushBool(completed);
    return 1;
}

// Events.CallRemote(name, clientId, args): the client is looked up once every argument was read.
int32_t ScriptEventsCallRemote(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string name;
    uint32_t id = 0;
    ScriptContext args;
    if (!vm->GetString(1, name) || !vm->GetUInt(2, id) || !args.ReadArrayElements(vm, 3))
        return -1;
    EventTriggerPacket packet{name, args.Pack()};
    Client* client = FindScriptClient(id);
    if (client == nullptr)
        return vm->RaiseError(MissingClientMessage(id));
    if (g_server->network)
        g_server->network->SendPacket(packet, *client);
    return 0;
}

// Events.BroadcastRemote(name, args): to every connected peer; no handler on the server runs.
int32_t ScriptEventsBroadcastRemote(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string name;
    ScriptContext args;
    if (!vm->GetString(1, name) || !args.ReadArrayElements(vm, 2))
        return -1;
    if (g_server != nullptr && g_server->network)
        g_server->network->BroadcastPacket(EventTriggerPacket{name, args.Pack()});
    return 0;
}

// Events.GetSource(): the client id behind the event this resource handled last (65535 = server).
int32_t ScriptEventsGetSource(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    Resource* resource = vm->GetResource();
    vm->PushInt(static_cast<int32_t>(resource != nullptr ? resource->GetSource() : kServerEventSource));
    return 1;
}

// Events.Cancel(): cancels the innermost trigger running on this thread, if any.
int32_t ScriptEventsCancel(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    if (ResourceManager* manager = Manager())
        manager->CancelEvent();
    return 0;
}

// Events.WasLastCanceled(): whether the last trigger that finished on this thread was canceled.
int32_t ScriptEventsWasLastCanceled(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    ResourceManager* manager = Manager();
    vm->PushBool(manager != nullptr && manager->WasLastCanceled());
    return 1;
}

namespace
{
const ScriptFunctionEntry kSubscribe("Events", "Subscribe", &ScriptEventsSubscribe);
const ScriptFunctionEntry kCall("Events", "Call", &ScriptEventsCall);
const ScriptFunctionEntry kCallRemote("Events", "CallRemote", &ScriptEventsCallRemote);
const ScriptFunctionEntry kBroadcastRemote("Events", "BroadcastRemote", &ScriptEventsBroadcastRemote);
const ScriptFunctionEntry kGetSource("Events", "GetSource", &ScriptEventsGetSource);
const ScriptFunctionEntry kCancel("Events", "Cancel", &ScriptEventsCancel);
const ScriptFunctionEntry kWasLastCanceled("Events", "WasLastCanceled", &ScriptEventsWasLastCanceled);
} // namespace
