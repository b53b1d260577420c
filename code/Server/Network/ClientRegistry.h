#pragma once

#include <cstddef>

// Placeholder: replaced when the client registry lands. GetPlayerCount is read from any thread.
class ClientRegistry
{
public:
    size_t GetPlayerCount() const { return 0; }
};
