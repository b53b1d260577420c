// Channel-1 payloads: the GamePacket reader, with the same re-pack property as the bodies.

#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "Network/NetPacket.h"
#include "Network/PacketWriter.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SilenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    GamePacket packet;
    if (!NetPacket::DeserializeGamePacket(packet, data, size))
        return 0;
    const std::string repacked = PackBody(packet);
    GamePacket again;
    FUZZ_CHECK(NetPacket::DeserializeGamePacket(again, reinterpret_cast<const uint8_t*>(repacked.data()),
                                                repacked.size()));
    FUZZ_CHECK(PackBody(again) == repacked);
    return 0;
}
