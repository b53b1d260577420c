// Game packets on the wire: the writers' exact bytes, the readers' tolerance and their failures.

#include <cctype>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "LogCapture.h"
#include "Network/NetPacket.h"
#include "Network/PacketWriter.h"

namespace
{
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

TEST(WireFormatWrite, Packets)
{
    ChatMessagePacket chat;
    chat.text = "hi";
    EXPECT_EQ(ToHex(PackPacket(chat)), "92 0c a5 92 a2 68 69 0c");
    EXPECT_EQ(ToHex(PackPacket(HostRequestPacket{})), "92 06 a2 91 06");
    EXPECT_EQ(ToHex(PackEnvelope(PacketEnvelope(3, 12, "body"))), "92 0c a4 62 6f 64 79");

    ResourceInfoPacket info;
    info.name = "demo";
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

// Integer and length boundaries, through a field of that kind. An expectation ending in "..." is a prefix.
TEST(WireFormatWrite, SmallestEncodings)
{
    const auto id = &ChatMessagePacket::identifier;
    const auto text = &ChatMessagePacket::text;
    const auto leaver = &PlayerLeavePacket::serverId;
    const auto exports = &ResourceInfoPacket::exports;
    using Chat = ChatMessagePacket;
    using Info = ResourceInfoPacket;
    const std::pair<std::string, std::string> cases[] = {
        {With<Chat>(id, 127), "92 a0 7f"},
        {With<Chat>(id, 128), "92 a0 cc 80"}, // uint 8, never int 8/16
        {With<Chat>(id, -1), "92 a0 ff"},
        {With<Chat>(id, -33), "92 a0 d0 df"},
        {With<Chat>(id, std::numeric_limits<int32_t>::min()), "92 a0 d2 80 00 00 00"},
        {With<PlayerLeavePacket>(leaver, 200), "92 cc c8 03"},
        {With<PlayerLeavePacket>(leaver, 300), "92 cd 01 2c 03"},
        {With<Info>(&ResourceInfoPacket::paths, std::map<uint64_t, std::string>{{4294967296ull, ""}}),
         "97 a0 00 81 cf 00 00 00 01 00 00 00 00 a0 80 80 90 09"},
        {With<Chat>(text, std::string(31, 'x')), "92 bf ..."},
        {With<Chat>(text, std::string(32, 'x')), "92 d9 20 ..."},
        {With<Chat>(text, std::string(256, 'x')), "92 da 01 00 ..."},
        {With<Info>(exports, std::vector<std::string>(16)), "97 a0 00 80 80 80 dc 00 10 ..."},
    };
    for (const auto& [packed, expected] : cases)
    {
        if (expected.ends_with(" ..."))
            EXPECT_EQ(packed.substr(0, expected.size() - 4), expected.substr(0, expected.size() - 4));
        else
            EXPECT_EQ(packed, expected);
    }
}

TEST(WireFormatRoundTrip, RichestPacketsAndThirtyTwoMebibytes)
{
    ServerInfoPacket info;
    info.hostData = 4000000000u;
    info.hostname = std::string(40, 'h');
    info.players = {{1, "a"}, {65535, "z"}};
    ResourceInfoPacket resource;
    resource.paths = {{4294967296ull, "far"}};
    resource.exports = {"Start", std::string(300, 'e')};
    ChatMessagePacket chat;
    chat.text = std::string(32u << 20, 'm');

    const auto check = [](const auto& sent)
    {
        PacketEnvelope envelope;
        ASSERT_TRUE(ReadEnvelope(PackPacket(sent), envelope));
        std::remove_cvref_t<decltype(sent)> received;
        ASSERT_TRUE(NetPacket::Deserialize(received, envelope));
        EXPECT_TRUE(PackBody(received) == PackBody(sent)); // every field, in wire order
    };
    check(info);
    check(resource);
    check(chat);

    GamePacket game;
    game.sourceId = 1;
    game.targetId = 65535;
    game.data = std::string("\x00\x01\xc1", 3);
    EXPECT_EQ(ToHex(PackBody(game)), "94 01 cd ff ff a3 00 01 c1 08");
    GamePacket received;
    ASSERT_TRUE(ReadGamePacket(PackBody(game), received));
    EXPECT_EQ(PackBody(received), PackBody(game));
}

TEST(WireFormatRead, Envelope)
{
    const std::string deep = std::string(100000, '\x91');
    const struct
    {
        const char* name;
        std::string payload;
        bool ok;
        int32_t identifier; // when ok
        std::string body;   // ok: hex; failure: the error text
    } cases[] = {
        {"identifier only", FromHex("91 0c"), true, 12, ""},
        {"extras and trailing bytes ignored", FromHex("93 0c a1 90 c0 c1"), true, 12, "90"},
        {"identifier as uint 64", FromHex("92 cf 00 00 00 00 00 00 00 0c a0"), true, 12, ""},
        {"empty payload", "", false, 0, "insufficient bytes"},
        {"invalid type byte", FromHex("92 c1 a0"), false, 0, "parse error"},
        {"identifier above int range", FromHex("92 ce 80 00 00 00 a0"), false, 0, "bad cast"},
        {"str 32 of 2^32-1", FromHex("92 0c db ff ff ff ff 00"), false, 0, "insufficient bytes"},
        {"nested 100000 deep", deep + FromHex("c0"), false, 0, "depth size overflow"},
        {"nested 65 deep", std::string(64, '\x91') + FromHex("92 0c a0"), false, 0, "depth size overflow"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        PacketEnvelope envelope(3, 99, "untouched");
        LogCapture log;
        ASSERT_EQ(ReadEnvelope(c.payload, envelope), c.ok);
        if (c.ok)
        {
            EXPECT_EQ(envelope.identifier, c.identifier);
            EXPECT_EQ(ToHex(envelope.body), c.body);
            EXPECT_TRUE(log.Messages().empty());
        }
        else
        {
            EXPECT_EQ(envelope.body, "untouched");
            EXPECT_EQ(log.Messages(),
                      std::vector<std::string>{"[NetPacket] Packet deserialization failed: " + c.body + "."});
        }
    }

    const std::string payload = FromHex("92 06 a2 91 06");
    ENetPacket* packet = enet_packet_create(payload.data(), payload.size(), 0);
    PacketEnvelope envelope;
    EXPECT_TRUE(NetPacket::DeserializeEnvelope(packet, envelope));
    EXPECT_EQ(ToHex(envelope.body), "91 06");
    enet_packet_destroy(packet);
}

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

TEST(WireFormatRead, Bodies)
{
    EventTriggerPacket trigger;
    trigger.eventName = "keep";
    ServerInfoPacket info;
    info.players = {{9, "old"}};
    const auto chat = As<ChatMessagePacket>();
    const auto vote = As<HostVotePacket>();
    const struct
    {
        const char* name;
        std::string body;
        bool ok;
        std::string expected; // ok: the record re-packed; failure: the error text
        std::function<std::string(const std::string&, bool&)> read;
    } cases[] = {
        {"bin accepted for str", "92 c4 02 68 69 0c", true, "92 a2 68 69 0c", chat},
        {"missing identifier keeps the default", "91 a2 68 69", true, "92 a2 68 69 0c", chat},
        {"extras of any type, trailing bytes", "94 a2 68 69 0c c0 81 00 00 c1", true, "92 a2 68 69 0c", chat},
        {"u32 from signed encodings", "93 d0 05 d3 00 00 00 00 00 00 00 07 04", true, "93 05 07 04", vote},
        {"u32 negative", "93 ff 05 04", false, "bad cast", vote},
        {"u16 above 65535", "93 ce 00 01 00 00 a1 61 02", false, "bad cast", As<PlayerJoinPacket>()},
        {"bool from an int", "92 01 0f", false, "bad cast", As<SessionActivePacket>()},
        {"a late bad field leaves the record", "93 a1 65 05 0b", false, "bad cast", As(trigger)},
        {"players map, later key wins", "9b 00 c2 00 00 00 a0 a0 00 00 82 01 a1 61 01 a1 62 01", true,
         "9b 00 c2 00 00 00 a0 a0 00 00 81 01 a1 62 01", As(info)},
        {"cut short", "92 a2 68", false, "insufficient bytes", chat},
        {"invalid type byte among extras", "95 a2 68 69 0c c0 c1", false, "parse error", chat},
        {"nested 100000 deep", ToHex(std::string(100000, '\x91')) + " c0", false, "depth size overflow",
         chat},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        bool ok = false;
        const std::string untouched = c.read(FromHex("90"), ok);
        LogCapture log;
        const std::string result = c.read(FromHex(c.body), ok);
        ASSERT_EQ(ok, c.ok);
        EXPECT_EQ(result, c.ok ? c.expected : untouched);
        EXPECT_EQ(log.Messages(), c.ok ? std::vector<std::string>{}
                                       : std::vector<std::string>{"[NetPacket] Packet data deserialization "
                                                                  "failed: " +
                                                                  c.expected + "."});
    }
}

// The worker's in-place read of the target id must agree with the full reader, warnings included.
TEST(WireFormatRead, GamePacketTargets)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"94 01 02 a3 61 62 63 08", "2"},
        {"93 01 cd 01 2c c4 00", "300"},
        {"91 05", "0"},
        {"95 d0 01 ce 00 00 00 03 c4 00 08 91 90", "3"},
        {"94 01 ce 00 01 00 00 a0 08", "bad cast"},
        {"94 01 02 a0 ce 80 00 00 00", "bad cast"},
        {"94 01 02 a5 00", "insufficient bytes"},
        {"c1", "parse error"},
    };
    for (const auto& [hex, result] : cases)
    {
        SCOPED_TRACE(hex);
        const std::string payload = FromHex(hex);
        const bool ok = std::isdigit(static_cast<unsigned char>(result[0])) != 0;
        const std::vector<std::string> warnings =
            ok ? std::vector<std::string>{}
               : std::vector<std::string>{"[NetPacket] Game packet data deserialization failed: " + result +
                                          "."};
        GamePacket packet;
        packet.data = "keep";
        LogCapture log;
        EXPECT_EQ(ReadGamePacket(payload, packet), ok);
        EXPECT_EQ(ok ? std::to_string(packet.targetId) : packet.data, ok ? result : "keep");
        EXPECT_EQ(log.Messages(), warnings);

        log.Clear();
        uint16_t target = 9;
        EXPECT_EQ(NetPacket::ReadGameTarget(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                                            target),
                  ok);
        EXPECT_EQ(std::to_string(target), ok ? result : "9");
        EXPECT_EQ(log.Messages(), warnings);
    }
}

TEST(WireFormatRead, HostileSizesStayBounded)
{
    // Both fail fast, without reserving memory for what they declare.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string((32u << 20) - 1, '\x91') + FromHex("c0"), "depth size overflow"},
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
