// Channel-0 payloads: the envelope reader, then the re-packed envelope must read back the same.

#include <cstdint>
#include <cstdlib>

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
    PacketEnvelope envelope;
    if (!NetPacket::DeserializeEnvelope(data, size, envelope))
        return 0;
    const std::string repacked = PackEnvelope(envelope);
    PacketEnvelope again;
    FUZZ_CHECK(NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(repacked.data()),
                                              repacked.size(), again));
    FUZZ_CHECK(again.identifier == envelope.identifier);
    FUZZ_CHECK(again.body == envelope.body);
    FUZZ_CHECK(PackEnvelope(again) == repacked);
    return 0;
}
