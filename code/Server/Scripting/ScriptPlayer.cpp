// Script module Player: what the server knows of a player (name, session, ping), and kicks.

#include <cstdint>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "Network/Network.h"
#include "Network/Packets.h"
#include "Scripting/ScriptApi.h"
#include "Scripting/ScriptApiSupport.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptVM.h"

namespace
{
constexpr uint32_t kSessionIdLimit = 65536;

// Reads the client id at position 1 and finds its client. False with the error result in `result`
// when the read fails or no client has the id.
bool ReadClient(ScriptVM* vm, Client*& client, int32_t& result)
{
    uint32_t id = 0;
    if (!vm->GetUInt(1, id))
    {
        result = -1;
        return false;
    }
    client = FindScriptClient(id);
    if (client == nullptr)
    {
        result = vm->RaiseError(MissingClientMessage(id));
        return false;
    }
    return true;
}

// The body of the natives that read one value of an existing client: pushes it as one result.
template <typename PushValue> int32_t PushClientValue(void* state, PushValue push)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    Client* client = nullptr;
    int32_t result = 0;
    if (!ReadClient(vm, client, result))
        return result;
    push(*vm, *client);
    return 1;
}
} // namespace

// Player.IsConnected(clientId): never raises for an unknown id.
int32_t ScriptPlayerIsConnected(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    uint32_t id = 0;
    if (!vm->GetUInt(1, id))
        return -1;
    vm->PushBool(FindScriptClient(id) != nullptr);
    return 1;
}

// Player.GetName(clientId): empty until the player named itself.
int32_t ScriptPlayerGetName(void* state)
{
    return PushClientValue(state, [](ScriptVM& vm, const Client& client) { vm.PushString(client.name); });
}

// Player.SetName(clientId, name): 1 to 18 bytes, checked before the lookup; told to everyone.
int32_t ScriptPlayerSetName(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    uint32_t id = 0;
    std::string name;
    if (!vm->GetUInt(1, id) || !vm->GetString(2, name))
        return -1;
    if (name.empty() || name.size() > Client::kMaxNameBytes)
        return vm->RaiseError("Invalid name (max 18 characters).");
    Client* client = FindScriptClient(id);
    if (client == nullptr)
        return vm->RaiseError(MissingClientMessage(id));
    client->name = name;
    if (g_server->network)
        g_server->network->BroadcastPacket(PlayerNamePacket{static_cast<uint16_t>(id), std::move(name)});
    return 0;
}

// Player.GetPing(clientId): ENet's round-trip time as the network worker last published it; the
// last known value once the peer is gone and the disconnect is not handled yet.
int32_t ScriptPlayerGetPing(void* state)
{
    return PushClientValue(
        state, [](ScriptVM& vm, const Client& client)
        { vm.PushUInt(g_server->network ? g_server->network->GetPeerRoundTripTime(client.peerId) : 0u); });
}

// Player.Kick(clientId [, reason]): queued to the network worker; the client stays registered until
// the network pass handles the disconnect.
int32_t ScriptPlayerKick(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    Client* client = nullptr;
    int32_t result = 0;
    if (!ReadClient(vm, client, result))
        return result;
    std::string reason;
    if (vm->GetArgCount() > 1 && !vm->GetString(2, reason))
        return -1;
    // Bound to the connection, so the kick never hits a newcomer that took over the peer id.
    if (g_server->network)
        g_server->network->commands.push(
            NetworkCommand{0, client->peerId, std::move(reason), client->connection});
    return 0;
}

// Player.SetSession(clientId, sessionId): 0 to 65535; an unknown client id does nothing.
int32_t ScriptPlayerSetSession(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    uint32_t id = 0;
    uint32_t sessionId = 0;
    if (!vm->GetUInt(1, id) || !vm->GetUInt(2, sessionId))
        return -1;
    if (sessionId >= kSessionIdLimit)
        return vm->RaiseError(fmt::format("Invalid session ID {}.", static_cast<int32_t>(sessionId)));
    if (g_server != nullptr && g_server->clientRegistry)
        g_server->clientRegistry->SetClientSession(static_cast<uint16_t>(id),
                                                   static_cast<int32_t>(sessionId));
    return 0;
}

// Player.GetSession(clientId)
int32_t ScriptPlayerGetSession(void* state)
{
    return PushClientValue(state, [](ScriptVM& vm, const Client& client) { vm.PushInt(client.sessionId); });
}

// Player.IsSessionActive(clientId)
int32_t ScriptPlayerIsSessionActive(void* state)
{
    return PushClientValue(state,
                           [](ScriptVM& vm, const Client& client) { vm.PushBool(client.sessionActive); });
}

namespace
{
const ScriptFunctionEntry kIsConnected("Player", "IsConnected", &ScriptPlayerIsConnected);
const ScriptFunctionEntry kGetName("Player", "GetName", &ScriptPlayerGetName);
const ScriptFunctionEntry kSetName("Player", "SetName", &ScriptPlayerSetName);
const ScriptFunctionEntry kGetPing("Player", "GetPing", &ScriptPlayerGetPing);
const ScriptFunctionEntry kKick("Player", "Kick", &ScriptPlayerKick);
const ScriptFunctionEntry kSetSession("Player", "SetSession", &ScriptPlayerSetSession);
const ScriptFunctionEntry kGetSession("Player", "GetSession", &ScriptPlayerGetSession);
const ScriptFunctionEntry kIsSessionActive("Player", "IsSessionActive", &ScriptPlayerIsSessionActive);
} // namespace
