// Script module Session: a look into the sessions (members, host, active players).

#include <cstdint>

#include "Network/Client.h"
#include "Network/Session.h"
#include "Scripting/ScriptApi.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptVM.h"
#include "Server/Server.h"

namespace
{
// Reads the session id at position 1 and finds its record (null when the session has no members).
bool ReadSession(ScriptVM* vm, const SessionRecord*& record)
{
    uint32_t id = 0;
    if (!vm->GetUInt(1, id))
        return false;
    record = nullptr;
    if (g_server != nullptr && g_server->sessions)
        record = g_server->sessions->Find(static_cast<int32_t>(id));
    return true;
}
} // namespace

// Session.GetSize(sessionId): 0 for a session that does not exist.
int32_t ScriptSessionGetSize(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    const SessionRecord* record = nullptr;
    if (!ReadSession(vm, record))
        return -1;
    if (record != nullptr)
        vm->PushUInt64(record->members.size());
    else
        vm->PushInt(0);
    return 1;
}

// Session.GetHostID(sessionId): 65535 when the session has no host or does not exist.
int32_t ScriptSessionGetHostID(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    const SessionRecord* record = nullptr;
    if (!ReadSession(vm, record))
        return -1;
    vm->PushInt(record != nullptr ? record->hostId : kNoHost);
    return 1;
}

// Session.GetActivePlayers(sessionId): the ids of the members whose session is active, ascending.
int32_t ScriptSessionGetActivePlayers(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    const SessionRecord* record = nullptr;
    if (!ReadSession(vm, record))
        return -1;
    vm->PushNewArray();
    if (record == nullptr)
        return 1;
    int32_t position = 1;
    for (const auto& [id, member] : record->members)
    {
        if (!member->sessionActive)
            continue;
        vm->PushInt(id);
        vm->ArraySet(position++);
    }
    return 1;
}

namespace
{
const ScriptFunctionEntry kGetSize("Session", "GetSize", &ScriptSessionGetSize);
const ScriptFunctionEntry kGetHostID("Session", "GetHostID", &ScriptSessionGetHostID);
const ScriptFunctionEntry kGetActivePlayers("Session", "GetActivePlayers", &ScriptSessionGetActivePlayers);
} // namespace
