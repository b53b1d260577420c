// ScriptContext's data half: appending, the packed form byte for byte, and Unpack's tolerance.

#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "LogCapture.h"
#include "Scripting/ScriptContext.h"

namespace
{
ScriptContext Make(std::initializer_list<std::variant<int32_t, float, bool, std::string>> values)
{
    ScriptContext c;
    for (const auto& value : values)
    {
        if (auto* i = std::get_if<int32_t>(&value))
            c.AddInt(*i);
        else if (auto* f = std::get_if<float>(&value))
            c.AddFloat(*f);
        else if (auto* b = std::get_if<bool>(&value))
            c.AddBool(*b);
        else
            c.AddString(std::get<std::string>(value));
    }
    return c;
}

TEST(ScriptContextPack, Bytes)
{
    ScriptContext bigIndices;
    bigIndices.types = {{300, Null}, {4294967296ull, Null}};
    // The packed table {x = true}: a list of [key] and [value] contexts.
    ScriptContext table;
    table.types[0] = Table;
    table.tables[0] =
        FromHex("92 91 ad") + Make({std::string("x")}).Pack() + FromHex("91 ac") + Make({true}).Pack();

    const std::vector<std::pair<ScriptContext, std::string>> cases = {
        {ScriptContext(), "97 80 80 80 80 80 80 80"},
        {Make({5, std::string("abc")}), "97 82 00 02 01 07 81 00 05 80 80 81 01 a3 61 62 63 80 80"},
        {Make({200}), "97 81 00 02 81 00 cc c8 80 80 80 80 80"},
        {Make({-200}), "97 81 00 02 81 00 d1 ff 38 80 80 80 80 80"},
        // Whole and negative-zero floats stay floats.
        {Make({2.0f, -0.0f}), "97 82 00 03 01 03 80 82 00 ca 40 00 00 00 01 ca 80 00 00 00 80 80 80 80"},
        {Make({true, false}), "97 82 00 04 01 04 80 80 82 00 c3 01 c2 80 80 80"},
        {bigIndices, "97 82 cd 01 2c 01 cf 00 00 00 01 00 00 00 00 01 80 80 80 80 80 80"},
        {table, "97 81 00 05 80 80 80 80 81 00 be"
                " 92 91 ad 97 81 00 07 80 80 80 81 00 a1 78 80 80 91 ac 97 81 00 04 80 80 81 00 c3 80 80 80"
                " 80"},
    };
    for (const auto& [context, expected] : cases)
        EXPECT_EQ(ToHex(context.Pack()), expected);

    for (const auto& [length, header] : std::vector<std::pair<size_t, std::string>>{
             {31, "bf"}, {32, "d9 20"}, {256, "da 01 00"}, {65536, "db 00 01 00 00"}})
    {
        const std::string packed = Make({std::string(length, 's')}).Pack();
        EXPECT_EQ(ToHex(packed.substr(9, packed.size() - 11 - length)), header) << length;
    }
    ScriptContext sixteen;
    for (int i = 0; i < 16; ++i)
        sixteen.AddBool(true);
    EXPECT_EQ(ToHex(sixteen.Pack().substr(0, 4)), "97 de 00 10");
}

TEST(ScriptContextAppend, NeverOverwritesAReceivedContext)
{
    ScriptContext received;
    received.types = {{1, Bool}};
    received.ints = {{1, 7}};
    received.AddInt(9); // index 1: both maps already hold it
    EXPECT_EQ(received.types, (std::map<uint64_t, int32_t>{{1, Bool}}));
    EXPECT_EQ(received.ints, (std::map<uint64_t, int32_t>{{1, 7}}));
}

TEST(ScriptContextUnpack, RoundTrip)
{
    ScriptContext context =
        Make({std::numeric_limits<int32_t>::min(), 1.5f, std::numeric_limits<float>::infinity(), true,
              std::string("\0\xff", 2), std::string(70000, 'L')});
    context.types[context.Count()] = Null;
    const std::string packed = context.Pack();
    ScriptContext decoded;
    decoded.AddInt(42);
    ASSERT_TRUE(decoded.Unpack(packed));
    EXPECT_TRUE(decoded.Pack() == packed);
}

TEST(ScriptContextUnpack, Tolerance)
{
    const std::string empty = "97 80 80 80 80 80 80 80";
    const struct
    {
        const char* name;
        std::string bytes;
        bool ok;
        std::string expected; // ok: the decoded context re-packed; failure: the error text
    } cases[] = {
        {"no members", "90", true, empty},
        {"an eighth element is ignored", "98 80 80 80 80 80 80 80 c0", true, empty},
        {"float member as float64", "97 81 00 03 80 81 00 cb 3f f8 00 00 00 00 00 00 80 80 80 80", true,
         "97 81 00 03 80 81 00 ca 3f c0 00 00 80 80 80 80"},
        {"float member as integer", "97 81 00 03 80 81 00 d0 fe 80 80 80 80", true,
         "97 81 00 03 80 81 00 ca c0 00 00 00 80 80 80 80"},
        {"float64 beyond float range", "97 80 80 81 00 cb 7e 37 e4 3c 88 00 75 9c 80 80 80 80", true,
         "97 80 80 81 00 ca 7f 80 00 00 80 80 80 80"},
        // Read in place: every integer encoding, sign-extended; keys in any width.
        {"integers in every encoding",
         "97 80 85 00 d2 80 00 00 00 01 d3 ff ff ff ff ff ff ff 38 cd 01 2c cf 00 00 00 00 00 00 00 05"
         " 02 d0 05 03 d1 00 c8 80 80 80 80 80",
         true, "97 80 85 00 d2 80 00 00 00 01 d1 ff 38 02 05 03 cc c8 cd 01 2c 05 80 80 80 80 80"},
        {"bin for strings", "97 80 80 80 80 81 00 c4 01 78 80 80", true, "97 80 80 80 80 81 00 a1 78 80 80"},
        {"values without types are kept", "97 80 81 03 05 80 80 80 80 80", true,
         "97 80 81 03 05 80 80 80 80 80"},
        {"trailing bytes ignored", "97 80 80 80 80 80 80 80 c1 c1", true, empty},
        {"a negative key", "97 81 ff 02 80 80 80 80 80 80", false, "bad cast"},
        {"cut short", "97 81 00", false, "insufficient bytes"},
        {"invalid type byte", "97 c1", false, "parse error"},
        {"str 32 of 2^32-1", "97 80 80 80 80 81 00 db ff ff ff ff", false, "insufficient bytes"},
        {"nested 100000 deep", ToHex(std::string(100000, '\x91')) + " c0", false, "depth size overflow"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScriptContext context = Make({42, std::string("kept")});
        const std::string before = context.Pack();
        LogCapture log;
        ASSERT_EQ(context.Unpack(FromHex(c.bytes)), c.ok);
        if (c.ok)
            EXPECT_EQ(ToHex(context.Pack()), c.expected);
        else
            EXPECT_EQ(context.Pack(), before);
        EXPECT_EQ(log.Messages(),
                  c.ok ? std::vector<std::string>{}
                       : std::vector<std::string>{"[ScriptContext] Packet data deserialization "
                                                  "failed: " +
                                                  c.expected + "."});
    }
}
} // namespace
