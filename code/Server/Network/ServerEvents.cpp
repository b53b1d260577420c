#include "Network/ServerEvents.h"

#include "Resources/Resource.h"
#include "Resources/ResourceManager.h"
#include "Scripting/ScriptContext.h"
#include "Server/Server.h"

void QueuePlayerDisconnect(uint16_t clientId, const std::string& name, uint32_t code)
{
    ScriptContext args;
    args.AddInt(clientId);
    args.AddString(name);
    args.AddInt(static_cast<int32_t>(code));
    g_server->resourceManager->QueueEvent("playerDisconnect", kServerEventSource, false, args);
}

void SendStartedResourceInfo(Client* client)
{
    for (const auto& [name, resource] : g_server->resourceManager->GetResources())
    {
        if (resource->IsStarted())
            resource->SendResourceInfo(client);
    }
}

void QueueRemoteEvent(const std::string& name, uint16_t source, const std::string& packedArgs)
{
    // Unreadable arguments have been reported by Unpack; the event still goes out, without them.
    ScriptContext args;
    args.Unpack(packedArgs);
    g_server->resourceManager->QueueEvent(name, source, true, args);
}
