#pragma once

#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "Network/ClientRegistry.h"
#include "Server/Server.h"

// Small pieces shared by the script API modules.

// The client a script means by an id: the low 16 bits of the 32-bit value it passed.
inline Client* FindScriptClient(uint32_t id)
{
    if (g_server == nullptr || !g_server->clientRegistry)
        return nullptr;
    return g_server->clientRegistry->GetClient(static_cast<uint16_t>(id));
}

// The error for an id no client has, showing the value as the script passed it (signed).
inline std::string MissingClientMessage(uint32_t id)
{
    return fmt::format("Client with ID {} doesn't exist.", static_cast<int32_t>(id));
}
