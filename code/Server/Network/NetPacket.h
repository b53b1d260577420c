#pragma once

#include <cstdint>

#include <enet.h>

#include "Network/Packets.h"

// Readers of received game packets and the dispatcher of channel-0 packets. Every reader is safe
// against hostile bytes: a failure logs its warning and returns false, leaving the output untouched.
namespace NetPacket
{
bool DeserializeEnvelope(const uint8_t* data, size_t length, PacketEnvelope& envelope);
bool DeserializeEnvelope(const ENetPacket* packet, PacketEnvelope& envelope);

// Reads the envelope's body into a record holding its defaults. Instantiated for every packet record.
template <typename T> bool Deserialize(T& packet, const PacketEnvelope& envelope);

bool DeserializeGamePacket(GamePacket& packet, const uint8_t* data, size_t length);
bool DeserializeGamePacket(GamePacket& packet, const ENetPacket* enetPacket);

// The target id of a channel-1 packet, read as DeserializeGamePacket reads it (the same failures,
// the same warning) but without copying the data, for the network worker: nothing is allocated
// unless the read fails.
bool ReadGameTarget(const uint8_t* data, size_t length, uint16_t& targetId);

// Handles one channel-0 packet of the client on that peer (main thread).
void Handle(const PacketEnvelope& envelope, uint16_t peerId);
} // namespace NetPacket
