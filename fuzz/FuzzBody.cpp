// Bodies of the packets clients send: the first byte picks the reader, the rest is the body. A body
// that reads must re-pack into a body that reads back to the same record.

#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "Network/NetPacket.h"
#include "Network/PacketWriter.h"

namespace
{
template <typename T> void Check(const std::string& body)
{
    PacketEnvelope envelope;
    envelope.identifier = T{}.identifier;
    envelope.body = body;
    T record;
    if (!NetPacket::Deserialize(record, envelope))
        return;
    envelope.body = PackBody(record);
    T again;
    FUZZ_CHECK(NetPacket::Deserialize(again, envelope));
    FUZZ_CHECK(PackBody(again) == envelope.body);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SilenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 7)
    {
    case 0:
        Check<ClientInfoPacket>(body);
        break;
    case 1:
        Check<HostVotePacket>(body);
        break;
    case 2:
        Check<HostClaimPacket>(body);
        break;
    case 3:
        Check<HostRequestPacket>(body);
        break;
    case 4:
        Check<EventTriggerPacket>(body);
        break;
    case 5:
        Check<ChatMessagePacket>(body);
        break;
    default:
        Check<SessionActivePacket>(body);
        break;
    }
    return 0;
}
