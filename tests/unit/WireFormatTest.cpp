// Game packets on the wire: the writers' exact bytes, the readers' tolerance and their failures.

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "LogCapture.h"
#include "Network/NetPacket.h"
#include "Network/PacketWriter.h"

namespace
{
// Writers

TEST(WireFormatWrite, ChatMessageBodyAndPayload)
{
    ChatMessagePacket chat;
    chat.text = "hi";
    EXPECT_EQ(ToHex(PackBody(chat)), "92 a2 68 69 0c");
    EXPECT_EQ(ToHex(PackPacket(chat)), "92 0c a5 92 a2 68 69 0c");
    chat.text = std::string("a\0\xff", 3); // raw bytes, as str
    EXPECT_EQ(ToHex(PackBody(chat)), "92 a3 61 00 ff 0c");
    EXPECT_EQ(ToHex(PackPacket(HostRequestPacket{})), "92 06 a2 91 06");
}

bool ReadEnvelope(const std::string& payload, PacketEnvelope& envelope)
{
    return NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                                          envelope);
}

bool ReadGamePacket(const std::string& payload, GamePacket& packet)
{
    return NetPacket::DeserializeGamePacket(packet, reinterpret_cast<const uint8_t*>(payload.data()),
                                            payload.size());
}

// A packet of kind P with one field set, packed to hex.
template <typename P, typename Field, typename V> std::string With(Field field, V value)
{
    P packet;
    packet.*field = value;
    return ToHex(PackBody(packet));
}

std::map<uint64_t, std::string> Paths(uint64_t count)
{
    std::map<uint64_t, std::string> paths;
    for (uint64_t i = 0; i < count; ++i)
        paths[i] = "";
    return paths;
}

// Every integer and length boundary, written through a field of that kind (the ChatMessage's
// identifier stands for a plain int field). An expectation ending in "..." is a prefix.
TEST(WireFormatWrite, SmallestEncodings)
{
    const auto id = &ChatMessagePacket::identifier;
    const auto text = &ChatMessagePacket::text;
    const auto leaver = &PlayerLeavePacket::serverId;
    const auto paths = &ResourceInfoPacket::paths;
    const auto exports = &ResourceInfoPacket::exports;
    using Chat = ChatMessagePacket;
    using Info = ResourceInfoPacket;
    const std::pair<std::string, std::string> cases[] = {
        {With<Chat>(id, 0), "92 a0 00"},
        {With<Chat>(id, 127), "92 a0 7f"},
        {With<Chat>(id, 128), "92 a0 cc 80"}, // uint 8, never int 8/16
        {With<Chat>(id, 256), "92 a0 cd 01 00"},
        {With<Chat>(id, 65536), "92 a0 ce 00 01 00 00"},
        {With<Chat>(id, std::numeric_limits<int32_t>::max()), "92 a0 ce 7f ff ff ff"},
        {With<Chat>(id, -1), "92 a0 ff"},
        {With<Chat>(id, -32), "92 a0 e0"},
        {With<Chat>(id, -33), "92 a0 d0 df"},
        {With<Chat>(id, -129), "92 a0 d1 ff 7f"},
        {With<Chat>(id, -32768), "92 a0 d1 80 00"},
        {With<Chat>(id, -32769), "92 a0 d2 ff ff 7f ff"},
        {With<Chat>(id, std::numeric_limits<int32_t>::min()), "92 a0 d2 80 00 00 00"},
        {With<PlayerLeavePacket>(leaver, 128), "92 cc 80 03"},
        {With<PlayerLeavePacket>(leaver, 300), "92 cd 01 2c 03"},
        {With<Info>(paths, std::map<uint64_t, std::string>{{4294967295u, ""}}),
         "97 a0 00 81 ce ff ff ff ff a0 80 80 90 09"},
        {With<Info>(paths, std::map<uint64_t, std::string>{{4294967296ull, ""}}),
         "97 a0 00 81 cf 00 00 00 01 00 00 00 00 a0 80 80 90 09"},
        {With<Chat>(text, std::string()), "92 a0 0c"},
        {With<Chat>(text, std::string(31, 'x')), "92 bf ..."},    // fixstr
        {With<Chat>(text, std::string(32, 'x')), "92 d9 20 ..."}, // str 8
        {With<Chat>(text, std::string(256, 'x')), "92 da 01 00 ..."},
        {With<Chat>(text, std::string(65536, 'x')), "92 db 00 01 00 00 ..."},
        {With<Info>(exports, std::vector<std::string>(15)), "97 a0 00 80 80 80 9f ..."},
        {With<Info>(exports, std::vector<std::string>(16)), "97 a0 00 80 80 80 dc 00 10 ..."},
        {With<Info>(exports, std::vector<std::string>(65536)), "97 a0 00 80 80 80 dd 00 01 00 00 ..."},
        {With<Info>(paths, Paths(15)), "97 a0 00 8f ..."},
        {With<Info>(paths, Paths(16)), "97 a0 00 de 00 10 ..."},
    };
    for (const auto& [packed, expected] : cases)
    {
        if (expected.ends_with(" ..."))
            EXPECT_EQ(packed.substr(0, expected.size() - 4), expected.substr(0, expected.size() - 4));
        else
            EXPECT_EQ(packed, expected);
    }
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
    EXPECT_EQ(ToHex(PackEnvelope(first)), "92 0c a4 62 6f 64 79");
}

// Round trips of the richest kinds through the channel-0 readers (the rest are in the Bodies table)

void Fill(ServerInfoPacket& p)
{
    p.episode = 2;
    p.chat = true;
    p.serverId = 300;
    p.hostId = 65535;
    p.hostData = 4000000000u;
    p.secret = "tarragon";
    p.hostname = std::string(40, 'h');
    p.playerCount = 3;
    p.maxPlayers = 200;
    p.players = {{1, "a"}, {300, ""}, {65535, "z"}};
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
    p.exports = {"Start", "", std::string(300, 'e')};
}

template <typename T> class WireFormatRoundTrip : public ::testing::Test
{
};

using PacketTypes = ::testing::Types<ServerInfoPacket, GamePacket, ResourceInfoPacket>;
TYPED_TEST_SUITE(WireFormatRoundTrip, PacketTypes);

TYPED_TEST(WireFormatRoundTrip, PackThenRead)
{
    TypeParam sent;
    Fill(sent);
    const std::string payload = PackPacket(sent);

    LogCapture log;
    PacketEnvelope envelope;
    ASSERT_TRUE(ReadEnvelope(payload, envelope));
    EXPECT_EQ(envelope.identifier, sent.identifier);
    EXPECT_EQ(envelope.kind, 0u);
    EXPECT_EQ(envelope.time, 0u);
    EXPECT_EQ(envelope.body, PackBody(sent));

    TypeParam received;
    ASSERT_TRUE(NetPacket::Deserialize(received, envelope));
    // Re-packing compares every field, in wire order.
    EXPECT_EQ(ToHex(PackBody(received)), ToHex(PackBody(sent)));
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
    ASSERT_TRUE(ReadGamePacket(payload, received));
    EXPECT_EQ(ToHex(PackBody(received)), ToHex(payload));
    EXPECT_EQ(received.kind, kGamePacketKind);
}

TEST(WireFormatRoundTrip, ThirtyTwoMebibytePayload)
{
    ChatMessagePacket sent;
    sent.text = std::string(32u << 20, 'm');
    const std::string payload = PackPacket(sent);
    EXPECT_EQ(ToHex(payload.substr(0, 8)), "92 0c db 02 00 00 07 92");

    PacketEnvelope envelope;
    ASSERT_TRUE(ReadEnvelope(payload, envelope));
    ChatMessagePacket received;
    ASSERT_TRUE(NetPacket::Deserialize(received, envelope));
    EXPECT_TRUE(received.text == sent.text);
}

// Reader tolerance and failures

TEST(WireFormatRead, Envelope)
{
    const std::string deep = std::string(100000, '\x91');
    const struct
    {
        const char* name;
        std::string payload;
        bool ok;
        int32_t identifier; // when ok
        std::string body;   // when ok (hex)
        std::string error;  // when not ok
    } cases[] = {
        {"plain", FromHex("92 0c a5 92 a2 68 69 0c"), true, 12, "92 a2 68 69 0c", ""},
        {"empty array", FromHex("90"), true, 0, "", ""},
        {"identifier only", FromHex("91 0c"), true, 12, "", ""},
        {"extra elements ignored", FromHex("93 0c a1 90 c0"), true, 12, "90", ""},
        {"trailing bytes ignored", FromHex("92 0c a1 90 ff c1"), true, 12, "90", ""},
        {"bin body", FromHex("92 0c c4 02 91 0c"), true, 12, "91 0c", ""},
        {"identifier as uint 64", FromHex("92 cf 00 00 00 00 00 00 00 0c a0"), true, 12, "", ""},
        {"negative identifier", FromHex("92 d2 80 00 00 00 a0"), true, std::numeric_limits<int32_t>::min(),
         "", ""},
        {"map instead of array", FromHex("81 00 a0"), false, 0, "", "bad cast"},
        {"empty payload", "", false, 0, "", "insufficient bytes"},
        {"cut inside the body", FromHex("92 0c a5 92 a2"), false, 0, "", "insufficient bytes"},
        {"cut, then an invalid byte", FromHex("97 c1"), false, 0, "", "parse error"},
        {"invalid type byte inside", FromHex("92 c1 a0"), false, 0, "", "parse error"},
        {"identifier is a string", FromHex("92 a1 61 a0"), false, 0, "", "bad cast"},
        {"identifier is a float", FromHex("92 ca 41 40 00 00 a0"), false, 0, "", "bad cast"},
        {"identifier above int range", FromHex("92 ce 80 00 00 00 a0"), false, 0, "", "bad cast"},
        {"identifier below int range", FromHex("92 d3 ff ff ff ff 7f ff ff ff a0"), false, 0, "", "bad cast"},
        {"body is a number", FromHex("92 0c 05"), false, 0, "", "bad cast"},
        {"body is an array", FromHex("92 0c 91 0c"), false, 0, "", "bad cast"},
        {"array 32 of 2^32-1", FromHex("dd ff ff ff ff"), false, 0, "", "insufficient bytes"},
        {"str 32 of 2^32-1", FromHex("92 0c db ff ff ff ff 00"), false, 0, "", "insufficient bytes"},
        {"ext 32 of 2^32-1", FromHex("92 0c c9 ff ff ff ff 01"), false, 0, "", "insufficient bytes"},
        {"ext 32 beyond the bytes", FromHex("92 0c c9 00 00 10 00 01"), false, 0, "", "insufficient bytes"},
        {"nested 100000 deep, cut", deep, false, 0, "", "insufficient bytes"},
        {"nested 100000 deep", deep + FromHex("c0"), false, 0, "", "depth size overflow"},
        {"nested 64 deep decodes", std::string(63, '\x91') + FromHex("92 0c a0"), false, 0, "", "bad cast"},
        {"nested 65 deep", std::string(64, '\x91') + FromHex("92 0c a0"), false, 0, "",
         "depth size overflow"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        PacketEnvelope envelope(3, 99, "untouched");
        const PacketEnvelope before = envelope;
        LogCapture log;
        bool ok = ReadEnvelope(c.payload, envelope);
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
    const auto chat = As<ChatMessagePacket>();
    const auto vote = As<HostVotePacket>();
    const auto join = As<PlayerJoinPacket>();
    const auto active = As<SessionActivePacket>();
    const auto request = As<HostRequestPacket>();
    const auto resource = As<ResourceInfoPacket>();
    const auto client = As<ClientInfoPacket>();
    const auto event = As<EventTriggerPacket>();
    const auto server = As<ServerInfoPacket>();
    const std::string deep = ToHex(std::string(100000, '\x91'));

    return {
        {"chat", "92 a2 68 69 0c", true, "92 a2 68 69 0c", chat},
        {"bin accepted for str", "92 c4 02 68 69 0c", true, "92 a2 68 69 0c", chat},
        {"identifier as uint 8", "92 a2 68 69 cc 0c", true, "92 a2 68 69 0c", As(chatZeroId)},
        {"identifier differs from kind", "92 a0 05", true, "92 a0 05", chat},
        {"missing identifier keeps the default", "91 a2 68 69", true, "92 a2 68 69 0c", chat},
        {"empty array keeps all defaults", "90", true, "92 a0 0c", chat},
        {"invalid type byte among extras", "95 a2 68 69 0c c0 c1", false, "parse error", chat},
        {"extra elements of any type", "94 a2 68 69 0c c0 81 00 00", true, "92 a2 68 69 0c", chat},
        {"trailing bytes ignored", "92 a2 68 69 0c c1", true, "92 a2 68 69 0c", chat},
        {"nil for str", "92 c0 0c", false, "bad cast", chat},
        {"identifier not an int", "92 a2 68 69 a1 78", false, "bad cast", chat},
        {"identifier above int range", "92 a2 68 69 ce 80 00 00 00", false, "bad cast", chat},
        {"map instead of array", "81 00 a2 68 69", false, "bad cast", chat},
        {"empty body", "", false, "insufficient bytes", client},
        {"cut short", "92 a2 68", false, "insufficient bytes", chat},
        {"u32 at its maximum", "93 ce ff ff ff ff ce ff ff ff ff 04", true,
         "93 ce ff ff ff ff ce ff ff ff ff 04", vote},
        {"u32 from signed encodings", "93 d0 05 d3 00 00 00 00 00 00 00 07 04", true, "93 05 07 04", vote},
        {"u32 negative", "93 ff 05 04", false, "bad cast", vote},
        {"u32 above range", "93 05 cf 00 00 00 01 00 00 00 00 04", false, "bad cast", vote},
        {"u32 from a float", "93 05 ca 3f c0 00 00 04", false, "bad cast", vote},
        {"u16 at its maximum", "93 cd ff ff a1 61 02", true, "93 cd ff ff a1 61 02", join},
        {"u16 above 65535", "93 ce 00 01 00 00 a1 61 02", false, "bad cast", join},
        {"bool true", "92 c3 0f", true, "92 c3 0f", active},
        {"bool from an int", "92 01 0f", false, "bad cast", active},
        {"no fields, extras ignored", "93 06 07 08", true, "91 06", request},
        {"client info", "92 a4 4e 69 6b 6f 00", true, "92 a4 4e 69 6b 6f 00", client},
        {"event trigger", "93 a1 65 a3 97 80 80 0b", true, "93 a1 65 a3 97 80 80 0b", event},
        {"a late bad field leaves the record", "93 a1 65 05 0b", false, "bad cast", As(trigger)},
        {"players map, later key wins", "9b 00 c2 00 00 00 a0 a0 00 00 82 01 a1 61 01 a1 62 01", true,
         "9b 00 c2 00 00 00 a0 a0 00 00 81 01 a1 62 01", As(info)},
        {"players map, negative key", "9b 00 c2 00 00 00 a0 a0 00 00 81 ff a1 61 01", false, "bad cast",
         As(info)},
        {"players map as an array", "9b 00 c2 00 00 00 a0 a0 00 00 90 01", false, "bad cast", As(info)},
        {"exports holding a number", "97 a0 00 80 80 80 91 05 09", false, "bad cast", resource},
        {"map 32 of 2^32-1", "92 df ff ff ff ff 0c", false, "insufficient bytes", server},
        {"nested 100000 deep", deep + " c0", false, "depth size overflow", chat},
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
        EXPECT_FALSE(ReadGamePacket(bytes, packet));
        EXPECT_EQ(packet.sourceId, 5);
        EXPECT_EQ(packet.data, "keep");
        EXPECT_EQ(log.Messages(), std::vector<std::string>{
                                      "[NetPacket] Game packet data deserialization failed: " + error + "."});
    }

    GamePacket partial;
    const std::string bytes = FromHex("92 01 02");
    ASSERT_TRUE(ReadGamePacket(bytes, partial));
    EXPECT_EQ(partial.sourceId, 1);
    EXPECT_EQ(partial.targetId, 2);
    EXPECT_EQ(partial.data, "");
    EXPECT_EQ(partial.identifier, 8);
}

TEST(WireFormatRead, HostileSizesStayBounded)
{
    // A 32 MiB payload that is nothing but array headers, and one declaring a string far beyond it:
    // both must fail fast, without reserving memory for what they declare.
    const std::string nested = std::string((32u << 20) - 1, '\x91') + FromHex("c0");
    std::string longString = FromHex("92 0c db ff ff ff ff") + std::string(32u << 20, 's');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {nested, "depth size overflow"},
        {longString, "insufficient bytes"},
        {FromHex("dd 02 00 00 00") + std::string(1000, '\xc0'), "insufficient bytes"},
        {FromHex("dd 7f ff ff ff") + std::string(1, '\xc1'), "parse error"},
    };
    for (const auto& [payload, error] : cases)
    {
        LogCapture log;
        PacketEnvelope envelope;
        EXPECT_FALSE(ReadEnvelope(payload, envelope));
        EXPECT_EQ(log.Messages(),
                  std::vector<std::string>{"[NetPacket] Packet deserialization failed: " + error + "."});
    }
}
} // namespace
