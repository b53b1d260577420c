// Game packets on the wire: the writers' exact bytes, the readers' tolerance and their failures.

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "LogCapture.h"
#include "Network/NetPacket.h"
#include "Network/PacketWriter.h"

namespace
{
std::string Repeat(char c, size_t n)
{
    return std::string(n, c);
}

// ---------------------------------------------------------------------------------------------
// Writers

TEST(WireFormatWrite, ChatMessageBodyAndPayload)
{
    ChatMessagePacket chat;
    chat.text = "hi";
    EXPECT_EQ(ToHex(PackBody(chat)), "92 a2 68 69 0c");
    EXPECT_EQ(ToHex(PackPacket(chat)), "92 0c a5 92 a2 68 69 0c");
}

TEST(WireFormatWrite, HostRequestHasOnlyItsIdentifier)
{
    HostRequestPacket request;
    EXPECT_EQ(ToHex(PackBody(request)), "91 06");
    EXPECT_EQ(ToHex(PackPacket(request)), "92 06 a2 91 06");
}

struct EncodingCase
{
    const char* name;
    std::function<std::string()> pack;
    std::string expected;
};

// Every integer and length boundary, written through a field of that kind. The ChatMessage's
// identifier stands for a plain int field.
std::vector<EncodingCase> EncodingCases()
{
    auto intField = [](int32_t value)
    {
        return [value]
        {
            ChatMessagePacket p;
            p.identifier = value;
            return PackBody(p).substr(2); // after 92 a0
        };
    };
    auto u16Field = [](uint16_t value)
    {
        return [value]
        {
            PlayerLeavePacket p;
            p.serverId = value;
            std::string body = PackBody(p);
            return body.substr(1, body.size() - 2); // between 92 and the identifier 03
        };
    };
    auto u32Field = [](uint32_t value)
    {
        return [value]
        {
            HostClaimPacket p;
            p.hostData = value;
            std::string body = PackBody(p);
            return body.substr(1, body.size() - 2);
        };
    };
    auto u64Key = [](uint64_t value)
    {
        return [value]
        {
            ResourceInfoPacket p;
            p.paths[value] = "";
            std::string body = PackBody(p);
            return body.substr(4, body.size() - 4 - 5); // after 97 a0 00 81, before a0 80 80 90 09
        };
    };
    auto strField = [](size_t length)
    {
        return [length]
        {
            ChatMessagePacket p;
            p.text = Repeat('x', length);
            std::string body = PackBody(p);
            return body.substr(1, body.size() - 1 - length - 1); // the str header alone
        };
    };
    auto exportsArray = [](size_t count)
    {
        return [count]
        {
            ResourceInfoPacket p;
            p.exports.assign(count, "");
            std::string body = PackBody(p);
            return body.substr(6, body.size() - 6 - count - 1); // after 97 a0 00 80 80 80
        };
    };
    auto pathsMap = [](size_t count)
    {
        return [count]
        {
            ResourceInfoPacket p;
            for (uint64_t i = 0; i < count; ++i)
                p.paths[i] = "";
            std::string body = PackBody(p);
            size_t entries = 0;
            for (uint64_t i = 0; i < count; ++i)
                entries += (i < 128 ? 1 : i < 256 ? 2 : 3) + 1;
            return body.substr(3, body.size() - 3 - entries - 4); // after 97 a0 00, before 80 80 90 09
        };
    };
    return {
        {"int 0", intField(0), "00"},
        {"int 127", intField(127), "7f"},
        {"int 128 is uint 8, never int 8/16", intField(128), "cc 80"},
        {"int 255", intField(255), "cc ff"},
        {"int 256", intField(256), "cd 01 00"},
        {"int 65535", intField(65535), "cd ff ff"},
        {"int 65536", intField(65536), "ce 00 01 00 00"},
        {"int max", intField(std::numeric_limits<int32_t>::max()), "ce 7f ff ff ff"},
        {"int -1", intField(-1), "ff"},
        {"int -32", intField(-32), "e0"},
        {"int -33", intField(-33), "d0 df"},
        {"int -128", intField(-128), "d0 80"},
        {"int -129", intField(-129), "d1 ff 7f"},
        {"int -200", intField(-200), "d1 ff 38"},
        {"int -32768", intField(-32768), "d1 80 00"},
        {"int -32769", intField(-32769), "d2 ff ff 7f ff"},
        {"int min", intField(std::numeric_limits<int32_t>::min()), "d2 80 00 00 00"},
        {"u16 127", u16Field(127), "7f"},
        {"u16 128", u16Field(128), "cc 80"},
        {"u16 200", u16Field(200), "cc c8"},
        {"u16 300", u16Field(300), "cd 01 2c"},
        {"u16 65535", u16Field(65535), "cd ff ff"},
        {"u32 65535", u32Field(65535), "cd ff ff"},
        {"u32 65536", u32Field(65536), "ce 00 01 00 00"},
        {"u32 max", u32Field(4294967295u), "ce ff ff ff ff"},
        {"u64 300", u64Key(300), "cd 01 2c"},
        {"u64 2^32-1", u64Key(4294967295u), "ce ff ff ff ff"},
        {"u64 2^32", u64Key(4294967296ull), "cf 00 00 00 01 00 00 00 00"},
        {"str 0", strField(0), "a0"},
        {"str 31 is fixstr", strField(31), "bf"},
        {"str 32 is str 8", strField(32), "d9 20"},
        {"str 255", strField(255), "d9 ff"},
        {"str 256", strField(256), "da 01 00"},
        {"str 65535", strField(65535), "da ff ff"},
        {"str 65536", strField(65536), "db 00 01 00 00"},
        {"array 15", exportsArray(15), "9f"},
        {"array 16", exportsArray(16), "dc 00 10"},
        {"array 65536", exportsArray(65536), "dd 00 01 00 00"},
        {"map 15", pathsMap(15), "8f"},
        {"map 16", pathsMap(16), "de 00 10"},
    };
}

TEST(WireFormatWrite, SmallestEncodings)
{
    for (const EncodingCase& c : EncodingCases())
        EXPECT_EQ(ToHex(c.pack()), c.expected) << c.name;
}

TEST(WireFormatWrite, StringsAreRawBytesAsStr)
{
    ChatMessagePacket chat;
    chat.text = std::string("a\0\xff", 3);
    EXPECT_EQ(ToHex(PackBody(chat)), "92 a3 61 00 ff 0c");
}

TEST(WireFormatWrite, ServerInfoForTheOnlyClient)
{
    ServerInfoPacket info;
    info.episode = 1;
    info.chat = true;
    info.serverId = 1;
    info.hostId = 65535;
    info.hostData = 0;
    info.secret = "";
    info.hostname = "Lanternfall";
    info.playerCount = 1;
    info.maxPlayers = 32;
    info.players[1] = "";
    const std::string body =
        "9b 01 c3 01 cd ff ff 00 a0 ab 4c 61 6e 74 65 72 6e 66 61 6c 6c 01 20 81 01 a0 01";
    EXPECT_EQ(ToHex(PackBody(info)), body);
    EXPECT_EQ(ToHex(PackPacket(info)), "92 01 bb " + body);
}

TEST(WireFormatWrite, ResourceInfo)
{
    ResourceInfoPacket empty;
    empty.name = "demo";
    empty.scriptType = 1;
    EXPECT_EQ(ToHex(PackBody(empty)), "97 a4 64 65 6d 6f 01 80 80 80 90 09");

    ResourceInfoPacket info;
    info.name = "demo";
    info.scriptType = 0;
    info.paths = {{1, "b.png"}, {0, "a.lua"}};
    info.checksums = {{1, 5}, {0, 0xcbf43926u}};
    info.kinds = {{1, 3}, {0, 0}};
    info.exports = {"f"};
    EXPECT_EQ(ToHex(PackBody(info)), "97 a4 64 65 6d 6f 00"
                                     " 82 00 a5 61 2e 6c 75 61 01 a5 62 2e 70 6e 67"
                                     " 82 00 ce cb f4 39 26 01 05"
                                     " 82 00 00 01 03"
                                     " 91 a1 66 09");
}

TEST(WireFormatWrite, EnvelopeStampsMonotonicTime)
{
    PacketEnvelope first(3, 12, "body");
    PacketEnvelope second(3, 12, "body");
    EXPECT_GT(first.time, 0u);
    EXPECT_GE(second.time, first.time);
    EXPECT_EQ(first.kind, 3u);
    EXPECT_EQ(first.body, "body");
    EXPECT_EQ(ToHex(PackEnvelope(first)), "92 0c a4 62 6f 64 79");
}

// ---------------------------------------------------------------------------------------------
// Round trips of every packet kind through the channel-0 readers

void Fill(ClientInfoPacket& p)
{
    p.name = "Niko";
}
void Fill(ServerInfoPacket& p)
{
    p.episode = 2;
    p.chat = true;
    p.serverId = 300;
    p.hostId = 65535;
    p.hostData = 4000000000u;
    p.secret = "tarragon";
    p.hostname = Repeat('h', 40);
    p.playerCount = 3;
    p.maxPlayers = 200;
    p.players = {{1, "a"}, {300, ""}, {65535, "z"}};
}
void Fill(PlayerJoinPacket& p)
{
    p.serverId = 7;
    p.name = "Roman";
}
void Fill(PlayerLeavePacket& p)
{
    p.serverId = 200;
}
void Fill(HostVotePacket& p)
{
    p.hostId = 65535;
    p.hostData = 65535;
}
void Fill(HostClaimPacket& p)
{
    p.hostData = 0xdeadbeef;
}
void Fill(HostRequestPacket&) {}
void Fill(HostResponsePacket& p)
{
    p.status = "conflict";
}
void Fill(GamePacket& p)
{
    p.sourceId = 1;
    p.targetId = 65535;
    p.data = std::string("\x00\x01\xc1", 3);
}
void Fill(ResourceInfoPacket& p)
{
    p.name = "race";
    p.scriptType = 1;
    p.paths = {{0, "client.nut"}, {1, "map.xml"}, {4294967296ull, "far"}};
    p.checksums = {{0, 1}, {1, 0xffffffffu}, {4294967296ull, 0}};
    p.kinds = {{0, 0}, {1, 3}, {4294967296ull, 2}};
    p.exports = {"Start", "", Repeat('e', 300)};
}
void Fill(ResourceStopPacket& p)
{
    p.name = "race";
}
void Fill(EventTriggerPacket& p)
{
    p.eventName = "onRace";
    p.args = FromHex("97 80 80 80 80 80 80 80");
}
void Fill(ChatMessagePacket& p)
{
    p.text = Repeat('c', 1024);
}
void Fill(KickReasonPacket& p)
{
    p.reason = "bye";
}
void Fill(SessionHostPacket& p)
{
    p.hostId = 4;
    p.hostData = 128;
}
void Fill(SessionActivePacket& p)
{
    p.active = true;
}
void Fill(PlayerNamePacket& p)
{
    p.serverId = 2;
    p.name = "Luis";
}

template <typename T> class WireFormatRoundTrip : public ::testing::Test
{
};

using PacketTypes =
    ::testing::Types<ClientInfoPacket, ServerInfoPacket, PlayerJoinPacket, PlayerLeavePacket, HostVotePacket,
                     HostClaimPacket, HostRequestPacket, HostResponsePacket, GamePacket, ResourceInfoPacket,
                     ResourceStopPacket, EventTriggerPacket, ChatMessagePacket, KickReasonPacket,
                     SessionHostPacket, SessionActivePacket, PlayerNamePacket>;
TYPED_TEST_SUITE(WireFormatRoundTrip, PacketTypes);

TYPED_TEST(WireFormatRoundTrip, PackThenRead)
{
    TypeParam sent;
    Fill(sent);
    const std::string payload = PackPacket(sent);

    LogCapture log;
    PacketEnvelope envelope;
    ASSERT_TRUE(NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(payload.data()),
                                               payload.size(), envelope));
    EXPECT_EQ(envelope.identifier, sent.identifier);
    EXPECT_EQ(envelope.kind, 0u);
    EXPECT_EQ(envelope.time, 0u);
    EXPECT_EQ(envelope.body, PackBody(sent));

    TypeParam received;
    ASSERT_TRUE(NetPacket::Deserialize(received, envelope));
    // Re-packing compares every field, in wire order.
    EXPECT_EQ(ToHex(PackBody(received)), ToHex(PackBody(sent)));
    EXPECT_EQ(received.identifier, sent.identifier);
    EXPECT_EQ(received.kind, TypeParam{}.kind);
    EXPECT_TRUE(log.Messages().empty());
}

TEST(WireFormatRoundTrip, GamePacketOnChannelOne)
{
    GamePacket sent;
    Fill(sent);
    const std::string payload = PackBody(sent);
    EXPECT_EQ(ToHex(payload), "94 01 cd ff ff a3 00 01 c1 08");

    GamePacket received;
    ASSERT_TRUE(NetPacket::DeserializeGamePacket(received, reinterpret_cast<const uint8_t*>(payload.data()),
                                                 payload.size()));
    EXPECT_EQ(received.sourceId, 1);
    EXPECT_EQ(received.targetId, 65535);
    EXPECT_EQ(received.data, sent.data);
    EXPECT_EQ(received.identifier, 8);
    EXPECT_EQ(received.kind, kGamePacketKind);
}

TEST(WireFormatRoundTrip, ThirtyTwoMebibytePayload)
{
    ChatMessagePacket sent;
    sent.text = Repeat('m', 32u << 20);
    const std::string payload = PackPacket(sent);
    EXPECT_EQ(ToHex(payload.substr(0, 8)), "92 0c db 02 00 00 07 92");

    PacketEnvelope envelope;
    ASSERT_TRUE(NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(payload.data()),
                                               payload.size(), envelope));
    ChatMessagePacket received;
    ASSERT_TRUE(NetPacket::Deserialize(received, envelope));
    EXPECT_TRUE(received.text == sent.text);
}

// ---------------------------------------------------------------------------------------------
// Reader tolerance and failures

struct EnvelopeCase
{
    const char* name;
    std::string payload;
    bool ok;
    int32_t identifier; // when ok
    std::string body;   // when ok (hex)
    std::string error;  // when not ok
};

TEST(WireFormatRead, Envelope)
{
    const std::string deep = Repeat('\x91', 100000);
    const std::vector<EnvelopeCase> cases = {
        {"plain", FromHex("92 0c a5 92 a2 68 69 0c"), true, 12, "92 a2 68 69 0c", ""},
        {"empty array", FromHex("90"), true, 0, "", ""},
        {"identifier only", FromHex("91 0c"), true, 12, "", ""},
        {"extra elements ignored", FromHex("93 0c a1 90 c0"), true, 12, "90", ""},
        {"trailing bytes ignored", FromHex("92 0c a1 90 ff c1"), true, 12, "90", ""},
        {"bin body", FromHex("92 0c c4 02 91 0c"), true, 12, "91 0c", ""},
        {"identifier as int 8", FromHex("92 d0 0c a0"), true, 12, "", ""},
        {"identifier as uint 64", FromHex("92 cf 00 00 00 00 00 00 00 0c a0"), true, 12, "", ""},
        {"negative identifier", FromHex("92 d2 80 00 00 00 a0"), true, std::numeric_limits<int32_t>::min(),
         "", ""},
        {"body trailing id differs", FromHex("92 0c a2 91 06"), true, 12, "91 06", ""},
        {"map instead of array", FromHex("81 00 a0"), false, 0, "", "bad cast"},
        {"empty payload", "", false, 0, "", "insufficient bytes"},
        {"cut inside the body", FromHex("92 0c a5 92 a2"), false, 0, "", "insufficient bytes"},
        {"cut after the header", FromHex("92"), false, 0, "", "insufficient bytes"},
        {"cut, then an invalid byte", FromHex("97 c1"), false, 0, "", "parse error"},
        {"invalid type byte", FromHex("c1"), false, 0, "", "parse error"},
        {"invalid type byte inside", FromHex("92 c1 a0"), false, 0, "", "parse error"},
        {"identifier is a string", FromHex("92 a1 61 a0"), false, 0, "", "bad cast"},
        {"identifier is nil", FromHex("92 c0 a0"), false, 0, "", "bad cast"},
        {"identifier is a float", FromHex("92 ca 41 40 00 00 a0"), false, 0, "", "bad cast"},
        {"identifier above int range", FromHex("92 ce 80 00 00 00 a0"), false, 0, "", "bad cast"},
        {"identifier below int range", FromHex("92 d3 ff ff ff ff 7f ff ff ff a0"), false, 0, "", "bad cast"},
        {"body is a number", FromHex("92 0c 05"), false, 0, "", "bad cast"},
        {"body is an array", FromHex("92 0c 91 0c"), false, 0, "", "bad cast"},
        {"body is nil", FromHex("92 0c c0"), false, 0, "", "bad cast"},
        {"array 32 of 2^32-1", FromHex("dd ff ff ff ff"), false, 0, "", "insufficient bytes"},
        {"map 32 of 2^32-1", FromHex("df ff ff ff ff"), false, 0, "", "insufficient bytes"},
        {"array 16 beyond the bytes", FromHex("dc 00 10 00"), false, 0, "", "insufficient bytes"},
        {"str 32 of 2^32-1", FromHex("92 0c db ff ff ff ff 00"), false, 0, "", "insufficient bytes"},
        {"bin 32 of 2^32-1", FromHex("92 0c c6 ff ff ff ff 00"), false, 0, "", "insufficient bytes"},
        {"ext 32 of 2^32-1", FromHex("92 0c c9 ff ff ff ff 01"), false, 0, "", "insufficient bytes"},
        {"ext 32 beyond the bytes", FromHex("92 0c c9 00 00 10 00 01"), false, 0, "", "insufficient bytes"},
        {"nested 100000 deep, cut", deep, false, 0, "", "insufficient bytes"},
        {"nested 100000 deep", deep + FromHex("c0"), false, 0, "", "depth size overflow"},
        {"nested 64 deep decodes", Repeat('\x91', 63) + FromHex("92 0c a0"), false, 0, "", "bad cast"},
        {"nested 65 deep", Repeat('\x91', 64) + FromHex("92 0c a0"), false, 0, "", "depth size overflow"},
    };
    for (const EnvelopeCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        PacketEnvelope envelope(3, 99, "untouched");
        const PacketEnvelope before = envelope;
        LogCapture log;
        bool ok = NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(c.payload.data()),
                                                 c.payload.size(), envelope);
        ASSERT_EQ(ok, c.ok);
        if (c.ok)
        {
            EXPECT_EQ(envelope.identifier, c.identifier);
            EXPECT_EQ(ToHex(envelope.body), c.body);
            EXPECT_EQ(envelope.kind, 0u);
            EXPECT_EQ(envelope.time, 0u);
            EXPECT_TRUE(log.Messages().empty());
        }
        else
        {
            EXPECT_EQ(envelope.identifier, before.identifier);
            EXPECT_EQ(envelope.body, before.body);
            EXPECT_EQ(envelope.time, before.time);
            EXPECT_EQ(
                log.Messages(spdlog::level::warn),
                std::vector<std::string>{"[NetPacket] Packet deserialization failed: " + c.error + "."});
            EXPECT_EQ(log.Messages().size(), 1u);
        }
    }
}

TEST(WireFormatRead, EnvelopeFromEnetPacket)
{
    const std::string payload = FromHex("92 06 a2 91 06");
    ENetPacket* packet = enet_packet_create(payload.data(), payload.size(), ENET_PACKET_FLAG_RELIABLE);
    ASSERT_NE(packet, nullptr);
    PacketEnvelope envelope;
    EXPECT_TRUE(NetPacket::DeserializeEnvelope(packet, envelope));
    EXPECT_EQ(envelope.identifier, 6);
    EXPECT_EQ(ToHex(envelope.body), "91 06");
    enet_packet_destroy(packet);
}

struct BodyCase
{
    const char* name;
    std::string body; // hex
    bool ok;
    std::string expected; // ok: the record re-packed; failure: the error text
    std::function<std::string(const std::string&, bool&)> read;
};

// Reads `body` into a record preset to `preset` and returns it re-packed.
template <typename T> std::function<std::string(const std::string&, bool&)> As(T preset = T{})
{
    return [preset](const std::string& body, bool& ok)
    {
        T record = preset;
        PacketEnvelope envelope;
        envelope.identifier = record.identifier;
        envelope.body = body;
        ok = NetPacket::Deserialize(record, envelope);
        return ToHex(PackBody(record));
    };
}

std::vector<BodyCase> BodyCases()
{
    ChatMessagePacket chatZeroId;
    chatZeroId.identifier = 0;
    EventTriggerPacket trigger;
    trigger.eventName = "keep";
    trigger.args = "same";
    ServerInfoPacket info;
    info.players = {{9, "old"}};
    const std::string deep = ToHex(Repeat('\x91', 100000));

    return {
        {"chat", "92 a2 68 69 0c", true, "92 a2 68 69 0c", As<ChatMessagePacket>()},
        {"bin accepted for str", "92 c4 02 68 69 0c", true, "92 a2 68 69 0c", As<ChatMessagePacket>()},
        {"identifier as uint 8", "92 a2 68 69 cc 0c", true, "92 a2 68 69 0c", As(chatZeroId)},
        {"identifier as int 8", "92 a2 68 69 d0 0c", true, "92 a2 68 69 0c", As(chatZeroId)},
        {"identifier differs from kind", "92 a0 05", true, "92 a0 05", As<ChatMessagePacket>()},
        {"missing identifier keeps the default", "91 a2 68 69", true, "92 a2 68 69 0c",
         As<ChatMessagePacket>()},
        {"empty array keeps all defaults", "90", true, "92 a0 0c", As<ChatMessagePacket>()},
        {"invalid type byte among extras", "95 a2 68 69 0c c0 c1", false, "parse error",
         As<ChatMessagePacket>()},
        {"extra elements of any type", "94 a2 68 69 0c c0 81 00 00", true, "92 a2 68 69 0c",
         As<ChatMessagePacket>()},
        {"trailing bytes ignored", "92 a2 68 69 0c c1", true, "92 a2 68 69 0c", As<ChatMessagePacket>()},
        {"nil for str", "92 c0 0c", false, "bad cast", As<ChatMessagePacket>()},
        {"number for str", "92 05 0c", false, "bad cast", As<ChatMessagePacket>()},
        {"identifier not an int", "92 a2 68 69 a1 78", false, "bad cast", As<ChatMessagePacket>()},
        {"identifier nil", "92 a2 68 69 c0", false, "bad cast", As<ChatMessagePacket>()},
        {"identifier above int range", "92 a2 68 69 ce 80 00 00 00", false, "bad cast",
         As<ChatMessagePacket>()},
        {"map instead of array", "81 00 a2 68 69", false, "bad cast", As<ChatMessagePacket>()},
        {"empty body", "", false, "insufficient bytes", As<ClientInfoPacket>()},
        {"cut short", "92 a2 68", false, "insufficient bytes", As<ChatMessagePacket>()},
        {"invalid type byte", "c1", false, "parse error", As<ChatMessagePacket>()},
        {"u32 at its maximum", "93 ce ff ff ff ff ce ff ff ff ff 04", true,
         "93 ce ff ff ff ff ce ff ff ff ff 04", As<HostVotePacket>()},
        {"u32 from signed encodings", "93 d0 05 d3 00 00 00 00 00 00 00 07 04", true, "93 05 07 04",
         As<HostVotePacket>()},
        {"u32 negative", "93 ff 05 04", false, "bad cast", As<HostVotePacket>()},
        {"u32 above range", "93 05 cf 00 00 00 01 00 00 00 00 04", false, "bad cast", As<HostVotePacket>()},
        {"u32 from a float", "93 05 ca 3f c0 00 00 04", false, "bad cast", As<HostVotePacket>()},
        {"u32 nil", "93 c0 05 04", false, "bad cast", As<HostVotePacket>()},
        {"u32 single field", "92 cd 01 2c 05", true, "92 cd 01 2c 05", As<HostClaimPacket>()},
        {"u16 at its maximum", "93 cd ff ff a1 61 02", true, "93 cd ff ff a1 61 02", As<PlayerJoinPacket>()},
        {"u16 above 65535", "93 ce 00 01 00 00 a1 61 02", false, "bad cast", As<PlayerJoinPacket>()},
        {"u16 negative", "93 ff a1 61 02", false, "bad cast", As<PlayerJoinPacket>()},
        {"bool true", "92 c3 0f", true, "92 c3 0f", As<SessionActivePacket>()},
        {"bool from an int", "92 01 0f", false, "bad cast", As<SessionActivePacket>()},
        {"bool nil", "92 c0 0f", false, "bad cast", As<SessionActivePacket>()},
        {"no fields", "91 06", true, "91 06", As<HostRequestPacket>()},
        {"no fields, extras ignored", "93 06 07 08", true, "91 06", As<HostRequestPacket>()},
        {"client info", "92 a4 4e 69 6b 6f 00", true, "92 a4 4e 69 6b 6f 00", As<ClientInfoPacket>()},
        {"event trigger", "93 a1 65 a3 97 80 80 0b", true, "93 a1 65 a3 97 80 80 0b",
         As<EventTriggerPacket>()},
        {"a late bad field leaves the record", "93 a1 65 05 0b", false, "bad cast", As(trigger)},
        {"players map, later key wins", "9b 00 c2 00 00 00 a0 a0 00 00 82 01 a1 61 01 a1 62 01", true,
         "9b 00 c2 00 00 00 a0 a0 00 00 81 01 a1 62 01", As(info)},
        {"players map, negative key", "9b 00 c2 00 00 00 a0 a0 00 00 81 ff a1 61 01", false, "bad cast",
         As(info)},
        {"players map as an array", "9b 00 c2 00 00 00 a0 a0 00 00 90 01", false, "bad cast", As(info)},
        {"exports holding a number", "97 a0 00 80 80 80 91 05 09", false, "bad cast",
         As<ResourceInfoPacket>()},
        {"array 32 of 2^32-1", "dd ff ff ff ff", false, "insufficient bytes", As<ChatMessagePacket>()},
        {"map 32 of 2^32-1", "92 df ff ff ff ff 0c", false, "insufficient bytes", As<ServerInfoPacket>()},
        {"str 32 of 2^32-1", "92 db ff ff ff ff 0c", false, "insufficient bytes", As<ChatMessagePacket>()},
        {"nested 100000 deep", deep + " c0", false, "depth size overflow", As<ChatMessagePacket>()},
    };
}

TEST(WireFormatRead, Bodies)
{
    for (const BodyCase& c : BodyCases())
    {
        SCOPED_TRACE(c.name);
        bool ok = false;
        // The preset record re-packed, to show a failed read left it alone.
        std::string untouched = c.read(FromHex("90"), ok);
        ASSERT_TRUE(ok);

        LogCapture log;
        std::string result = c.read(FromHex(c.body), ok);
        ASSERT_EQ(ok, c.ok);
        if (c.ok)
        {
            EXPECT_EQ(result, c.expected);
            EXPECT_TRUE(log.Messages().empty());
        }
        else
        {
            EXPECT_EQ(result, untouched);
            EXPECT_EQ(log.Messages(spdlog::level::warn),
                      std::vector<std::string>{
                          "[NetPacket] Packet data deserialization failed: " + c.expected + "."});
            EXPECT_EQ(log.Messages().size(), 1u);
        }
    }
}

TEST(WireFormatRead, EmptyEnvelopeThenClientInfo)
{
    LogCapture log;
    const std::string payload = FromHex("90");
    PacketEnvelope envelope;
    ASSERT_TRUE(NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(payload.data()),
                                               payload.size(), envelope));
    ClientInfoPacket info;
    EXPECT_FALSE(NetPacket::Deserialize(info, envelope));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{
                                  "[NetPacket] Packet data deserialization failed: insufficient bytes."});
}

TEST(WireFormatRead, GamePacketFailures)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"94 01 ce 00 01 00 00 a0 08", "bad cast"},
        {"94 ff 02 a0 08", "bad cast"},
        {"94 01 02 05 08", "bad cast"},
        {"82 01 02 a0 08", "bad cast"},
        {"", "insufficient bytes"},
        {"94 01 02 a5 00", "insufficient bytes"},
        {"c1", "parse error"},
    };
    for (const auto& [hex, error] : cases)
    {
        SCOPED_TRACE(hex);
        GamePacket packet;
        packet.sourceId = 5;
        packet.data = "keep";
        const std::string bytes = FromHex(hex);
        LogCapture log;
        EXPECT_FALSE(NetPacket::DeserializeGamePacket(packet, reinterpret_cast<const uint8_t*>(bytes.data()),
                                                      bytes.size()));
        EXPECT_EQ(packet.sourceId, 5);
        EXPECT_EQ(packet.data, "keep");
        EXPECT_EQ(log.Messages(), std::vector<std::string>{
                                      "[NetPacket] Game packet data deserialization failed: " + error + "."});
    }

    GamePacket partial;
    const std::string bytes = FromHex("92 01 02");
    ASSERT_TRUE(NetPacket::DeserializeGamePacket(partial, reinterpret_cast<const uint8_t*>(bytes.data()),
                                                 bytes.size()));
    EXPECT_EQ(partial.sourceId, 1);
    EXPECT_EQ(partial.targetId, 2);
    EXPECT_EQ(partial.data, "");
    EXPECT_EQ(partial.identifier, 8);
}

TEST(WireFormatRead, HostileSizesStayBounded)
{
    // A 32 MiB payload that is nothing but array headers, and one declaring a string far beyond it:
    // both must fail fast, without reserving memory for what they declare.
    const std::string nested = Repeat('\x91', (32u << 20) - 1) + FromHex("c0");
    std::string longString = FromHex("92 0c db ff ff ff ff") + Repeat('s', 32u << 20);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {nested, "depth size overflow"},
        {longString, "insufficient bytes"},
        {FromHex("dd 02 00 00 00") + Repeat('\xc0', 1000), "insufficient bytes"},
        {FromHex("dd 7f ff ff ff") + Repeat('\xc1', 1), "parse error"},
    };
    for (const auto& [payload, error] : cases)
    {
        LogCapture log;
        PacketEnvelope envelope;
        EXPECT_FALSE(NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(payload.data()),
                                                    payload.size(), envelope));
        EXPECT_EQ(log.Messages(),
                  std::vector<std::string>{"[NetPacket] Packet deserialization failed: " + error + "."});
    }
}
} // namespace
