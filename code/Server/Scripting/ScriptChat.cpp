// Script module Chat: chat lines from the server to one player or to everyone.

#include <cstdint>
#include <string>

#include "Network/Network.h"
#include "Network/Packets.h"
#include "Scripting/ScriptApi.h"
#include "Scripting/ScriptApiSupport.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptVM.h"

// Chat.SendMessage(clientId, text)
int32_t ScriptChatSendMessage(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    uint32_t id = 0;
    std::string text;
    if (!vm->GetUInt(1, id) || !vm->GetString(2, text))
        return -1;
    Client* client = FindScriptClient(id);
    if (client == nullptr)
        return vm->RaiseError(MissingClientMessage(id));
    if (g_server->network)
        g_server->network->SendPacket(ChatMessagePacket{text}, *client);
    return 0;
}

// Chat.BroadcastMessage(text): sent whatever the `chat` setting says.
int32_t ScriptChatBroadcastMessage(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string text;
    if (!vm->GetString(1, text))
        return -1;
    if (g_server != nullptr && g_server->network)
        g_server->network->BroadcastPacket(ChatMessagePacket{text});
    return 0;
}

namespace
{
const ScriptFunctionEntry kSendMessage("Chat", "SendMessage", &ScriptChatSendMessage);
const ScriptFunctionEntry kBroadcastMessage("Chat", "BroadcastMessage", &ScriptChatBroadcastMessage);
} // namespace
