#pragma once

#include "Network/Packets.h"

class Client;

namespace NetPacket
{
// Handles one channel-0 packet whose sender has been resolved already: the client of the
// connection the packet came from, or null when that connection holds no client id.
void HandleFromClient(const PacketEnvelope& envelope, Client* sender);
} // namespace NetPacket
