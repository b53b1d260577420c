#include "Network/Packets.h"

#include <chrono>
#include <utility>

PacketEnvelope::PacketEnvelope(uint32_t kind, int32_t identifier, std::string body)
    : kind(kind), identifier(identifier),
      time(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count())),
      body(std::move(body))
{
}
