// ScriptContext's data half: appending, the packed form byte for byte, and Unpack's tolerance.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "LogCapture.h"
#include "Scripting/ScriptContext.h"

namespace
{
uint32_t Bits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Compares two contexts member by member, floats by their bits (NaN included).
void ExpectSameContext(const ScriptContext& a, const ScriptContext& b)
{
    EXPECT_EQ(a.types, b.types);
    EXPECT_EQ(a.ints, b.ints);
    ASSERT_EQ(a.floats.size(), b.floats.size());
    for (auto ia = a.floats.begin(), ib = b.floats.begin(); ia != a.floats.end(); ++ia, ++ib)
    {
        EXPECT_EQ(ia->first, ib->first);
        EXPECT_EQ(Bits(ia->second), Bits(ib->second)) << "index " << ia->first;
    }
    EXPECT_EQ(a.bools, b.bools);
    EXPECT_EQ(a.strings, b.strings);
    EXPECT_EQ(a.tables, b.tables);
    EXPECT_EQ(a.arrays, b.arrays);
}

ScriptContext OneString(const std::string& value)
{
    ScriptContext context;
    context.AddString(value);
    return context;
}

struct PackCase
{
    const char* name;
    std::function<ScriptContext()> build;
    std::string expected;
};

TEST(ScriptContextPack, Bytes)
{
    const std::vector<PackCase> cases = {
        {"empty", [] { return ScriptContext(); }, "97 80 80 80 80 80 80 80"},
        {"Int 5 then String abc",
         []
         {
             ScriptContext c;
             c.AddInt(5);
             c.AddString("abc");
             return c;
         },
         "97 82 00 02 01 07 81 00 05 80 80 81 01 a3 61 62 63 80 80"},
        {"Int 200",
         []
         {
             ScriptContext c;
             c.AddInt(200);
             return c;
         },
         "97 81 00 02 81 00 cc c8 80 80 80 80 80"},
        {"Int -1",
         []
         {
             ScriptContext c;
             c.AddInt(-1);
             return c;
         },
         "97 81 00 02 81 00 ff 80 80 80 80 80"},
        {"Int -200",
         []
         {
             ScriptContext c;
             c.AddInt(-200);
             return c;
         },
         "97 81 00 02 81 00 d1 ff 38 80 80 80 80 80"},
        {"Int min and max",
         []
         {
             ScriptContext c;
             c.AddInt(std::numeric_limits<int32_t>::min());
             c.AddInt(std::numeric_limits<int32_t>::max());
             return c;
         },
         "97 82 00 02 01 02 82 00 d2 80 00 00 00 01 ce 7f ff ff ff 80 80 80 80 80"},
        {"Float 1.5",
         []
         {
             ScriptContext c;
             c.AddFloat(1.5f);
             return c;
         },
         "97 81 00 03 80 81 00 ca 3f c0 00 00 80 80 80 80"},
        {"Float 2 and -0 stay floats",
         []
         {
             ScriptContext c;
             c.AddFloat(2.0f);
             c.AddFloat(-0.0f);
             return c;
         },
         "97 82 00 03 01 03 80 82 00 ca 40 00 00 00 01 ca 80 00 00 00 80 80 80 80"},
        {"Bool true and false",
         []
         {
             ScriptContext c;
             c.AddBool(true);
             c.AddBool(false);
             return c;
         },
         "97 82 00 04 01 04 80 80 82 00 c3 01 c2 80 80 80"},
        {"index 300 as a key",
         []
         {
             ScriptContext c;
             c.types[300] = Null;
             return c;
         },
         "97 81 cd 01 2c 01 80 80 80 80 80 80"},
        {"index 2^32 as a key",
         []
         {
             ScriptContext c;
             c.types[4294967296ull] = Null;
             return c;
         },
         "97 81 cf 00 00 00 01 00 00 00 00 01 80 80 80 80 80 80"},
        {"String with a zero byte", [] { return OneString(std::string("a\0b", 3)); },
         "97 81 00 07 80 80 80 81 00 a3 61 00 62 80 80"},
        {"the packed table of {x = true}",
         []
         {
             ScriptContext key = OneString("x");
             ScriptContext value;
             value.AddBool(true);
             std::string keyBytes = key.Pack();
             std::string valueBytes = value.Pack();
             EXPECT_EQ(ToHex(keyBytes), "97 81 00 07 80 80 80 81 00 a1 78 80 80");
             EXPECT_EQ(ToHex(valueBytes), "97 81 00 04 80 80 81 00 c3 80 80 80");
             ScriptContext c;
             c.types[0] = Table;
             c.tables[0] = FromHex("92 91 ad") + keyBytes + FromHex("91 ac") + valueBytes;
             return c;
         },
         "97 81 00 05 80 80 80 80 81 00 be"
         " 92 91 ad 97 81 00 07 80 80 80 81 00 a1 78 80 80 91 ac 97 81 00 04 80 80 81 00 c3 80 80 80"
         " 80"},
        {"array member",
         []
         {
             ScriptContext c;
             c.types[0] = Array;
             c.arrays[0] = FromHex("91 80");
             return c;
         },
         "97 81 00 06 80 80 80 80 80 81 00 a2 91 80"},
    };
    for (const PackCase& c : cases)
        EXPECT_EQ(ToHex(c.build().Pack()), c.expected) << c.name;
}

TEST(ScriptContextPack, StringHeaders)
{
    const std::vector<std::pair<size_t, std::string>> cases = {
        {31, "bf"}, {32, "d9 20"}, {255, "d9 ff"}, {256, "da 01 00"}, {65536, "db 00 01 00 00"}};
    for (const auto& [length, header] : cases)
    {
        std::string packed = OneString(std::string(length, 's')).Pack();
        // 97 81 00 07 80 80 80 81 00 <header> <bytes> 80 80
        const size_t headerSize = packed.size() - 9 - length - 2;
        EXPECT_EQ(ToHex(packed.substr(9, headerSize)), header) << length;
    }
}

TEST(ScriptContextPack, MapHeaders)
{
    ScriptContext context;
    for (int i = 0; i < 16; ++i)
        context.AddBool(true);
    std::string packed = context.Pack();
    EXPECT_EQ(ToHex(packed.substr(0, 4)), "97 de 00 10");

    for (int i = 16; i < 65536; ++i)
        context.AddInt(i);
    packed = context.Pack();
    EXPECT_EQ(ToHex(packed.substr(0, 6)), "97 df 00 01 00 00");
}

// ---------------------------------------------------------------------------------------------

TEST(ScriptContextAppend, IndexIsTheCountOfTypesAndNothingIsOverwritten)
{
    ScriptContext context;
    context.AddInt(1);
    context.AddFloat(2.5f);
    context.AddBool(true);
    context.AddString("four");
    EXPECT_EQ(context.Count(), 4u);
    EXPECT_EQ(context.types, (std::map<uint64_t, int32_t>{{0, Int}, {1, Float}, {2, Bool}, {3, String}}));

    // A received context may break the invariants; appending still never overwrites.
    ScriptContext received;
    received.types = {{1, Bool}};
    received.ints = {{1, 7}};
    received.AddInt(9); // index 1: both maps already hold it
    EXPECT_EQ(received.types, (std::map<uint64_t, int32_t>{{1, Bool}}));
    EXPECT_EQ(received.ints, (std::map<uint64_t, int32_t>{{1, 7}}));
    received.AddString("s"); // still index 1, now new in `strings` only
    EXPECT_EQ(received.strings, (std::map<uint64_t, std::string>{{1, "s"}}));
    EXPECT_EQ(received.Count(), 1u);
}

TEST(ScriptContextAppend, CopiesAreDeepAndSelfAssignmentKeepsValues)
{
    ScriptContext original;
    original.AddString("a");
    ScriptContext copy(original);
    copy.AddInt(2);
    copy.strings[0] = "changed";
    EXPECT_EQ(original.Count(), 1u);
    EXPECT_EQ(original.strings.at(0), "a");

    ScriptContext assigned;
    assigned = original;
    ScriptContext& alias = assigned;
    assigned = alias;
    EXPECT_EQ(ToHex(assigned.Pack()), ToHex(original.Pack()));
}

// ---------------------------------------------------------------------------------------------

TEST(ScriptContextUnpack, RoundTripOfEveryValueType)
{
    ScriptContext context;
    context.types[0] = Null;
    context.AddInt(std::numeric_limits<int32_t>::min());
    context.AddInt(-33);
    context.AddInt(65536);
    for (float f : {0.0f, -0.0f, 1.5f, std::numeric_limits<float>::max(),
                    std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()})
        context.AddFloat(f);
    context.AddBool(false);
    context.AddBool(true);
    context.AddString("");
    context.AddString(std::string("\0\xff\xc1", 3));
    context.AddString(std::string(70000, 'L'));
    const uint64_t table = context.Count();
    context.types[table] = Table;
    context.tables[table] = FromHex("92 91 ad") + OneString("x").Pack() + FromHex("91 a0");
    context.types[table + 1] = Array;
    context.arrays[table + 1] = FromHex("91 81 00 ad") + OneString("y").Pack();

    const std::string packed = context.Pack();
    ScriptContext decoded;
    decoded.AddInt(42);
    LogCapture log;
    ASSERT_TRUE(decoded.Unpack(packed));
    EXPECT_TRUE(log.Messages().empty());
    ExpectSameContext(decoded, context);
    EXPECT_TRUE(decoded.Pack() == packed);

    ScriptContext empty;
    ASSERT_TRUE(decoded.Unpack(empty.Pack()));
    EXPECT_EQ(decoded.Count(), 0u);
    ExpectSameContext(decoded, empty);
}

struct UnpackCase
{
    const char* name;
    std::string bytes; // hex
    bool ok;
    std::string expected; // ok: the decoded context re-packed; failure: the error text
};

TEST(ScriptContextUnpack, Tolerance)
{
    const std::string empty = "97 80 80 80 80 80 80 80";
    const std::vector<UnpackCase> cases = {
        {"seven empty maps", empty, true, empty},
        {"no members", "90", true, empty},
        {"only types and ints", "92 81 00 02 81 00 05", true, "97 81 00 02 81 00 05 80 80 80 80 80"},
        {"an eighth element is ignored", "98 80 80 80 80 80 80 80 c0", true, empty},
        {"float member as float64", "97 81 00 03 80 81 00 cb 3f f8 00 00 00 00 00 00 80 80 80 80", true,
         "97 81 00 03 80 81 00 ca 3f c0 00 00 80 80 80 80"},
        {"float member as integers", "97 82 00 03 01 03 80 82 00 05 01 d0 fe 80 80 80 80", true,
         "97 82 00 03 01 03 80 82 00 ca 40 a0 00 00 01 ca c0 00 00 00 80 80 80 80"},
        {"float64 rounded to nearest", "97 80 80 81 00 cb 3f b9 99 99 99 99 99 9a 80 80 80 80", true,
         "97 80 80 81 00 ca 3d cc cc cd 80 80 80 80"},
        {"float64 beyond float range",
         "97 80 80 83 00 cb 7e 37 e4 3c 88 00 75 9c 01 cb c7 ef ff ff ef ff ff ff"
         " 02 cb c7 ef ff ff f0 00 00 00 80 80 80 80",
         true, "97 80 80 83 00 ca 7f 80 00 00 01 ca ff 7f ff ff 02 ca ff 80 00 00 80 80 80 80"},
        {"the later duplicate key wins", "97 82 00 02 00 07 80 80 80 80 80 80", true,
         "97 81 00 07 80 80 80 80 80 80"},
        {"bin for strings, tables, arrays", "97 80 80 80 80 81 00 c4 01 78 81 01 c4 00 81 02 c5 00 01 79",
         true, "97 80 80 80 80 81 00 a1 78 81 01 a0 81 02 a1 79"},
        {"keys in signed encodings", "97 81 d0 05 01 80 80 80 80 80 80", true,
         "97 81 05 01 80 80 80 80 80 80"},
        {"largest key", "97 81 cf ff ff ff ff ff ff ff ff 01 80 80 80 80 80 80", true,
         "97 81 cf ff ff ff ff ff ff ff ff 01 80 80 80 80 80 80"},
        {"type codes are not checked", "97 82 00 00 01 e0 80 80 80 80 80 80", true,
         "97 82 00 00 01 e0 80 80 80 80 80 80"},
        {"values without types are kept", "97 80 81 03 05 80 80 80 80 80", true,
         "97 80 81 03 05 80 80 80 80 80"},
        {"trailing bytes ignored", "97 80 80 80 80 80 80 80 c1 c1", true, empty},
        {"a map instead of the array", "81 00 80", false, "bad cast"},
        {"a negative key", "97 81 ff 02 80 80 80 80 80 80", false, "bad cast"},
        {"a string key", "97 81 a1 30 02 80 80 80 80 80 80", false, "bad cast"},
        {"a float key", "97 81 ca 00 00 00 00 02 80 80 80 80 80 80", false, "bad cast"},
        {"a nil member", "91 c0", false, "bad cast"},
        {"an array member", "92 80 90", false, "bad cast"},
        {"an int above 32 bits", "97 80 81 00 ce 80 00 00 00 80 80 80 80 80", false, "bad cast"},
        {"an int below 32 bits", "97 80 81 00 d3 ff ff ff ff 7f ff ff ff 80 80 80 80 80", false, "bad cast"},
        {"a float as int", "97 80 81 00 ca 3f c0 00 00 80 80 80 80 80", false, "bad cast"},
        {"a nil float", "97 80 80 81 00 c0 80 80 80 80", false, "bad cast"},
        {"a bool as int", "97 80 80 80 81 00 01 80 80 80", false, "bad cast"},
        {"a number as string", "97 80 80 80 80 81 00 05 80 80", false, "bad cast"},
        {"a nested array as table", "97 80 80 80 80 80 81 00 90 80", false, "bad cast"},
        {"a bad last member", "97 80 80 80 80 80 80 81 00 c3", false, "bad cast"},
        {"empty bytes", "", false, "insufficient bytes"},
        {"cut short", "97 81 00", false, "insufficient bytes"},
        {"invalid type byte", "97 c1", false, "parse error"},
        {"array 32 of 2^32-1", "dd ff ff ff ff", false, "insufficient bytes"},
        {"map 32 of 2^32-1", "97 df ff ff ff ff", false, "insufficient bytes"},
        {"str 32 of 2^32-1", "97 80 80 80 80 81 00 db ff ff ff ff", false, "insufficient bytes"},
        {"nested 100000 deep", ToHex(std::string(100000, '\x91')) + " c0", false, "depth size overflow"},
    };
    for (const UnpackCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScriptContext context;
        context.AddInt(42);
        context.AddString("kept");
        const ScriptContext before = context;

        LogCapture log;
        ASSERT_EQ(context.Unpack(FromHex(c.bytes)), c.ok);
        if (c.ok)
        {
            EXPECT_EQ(ToHex(context.Pack()), c.expected);
            EXPECT_TRUE(log.Messages().empty());
        }
        else
        {
            ExpectSameContext(context, before);
            EXPECT_EQ(log.Messages(spdlog::level::warn),
                      std::vector<std::string>{
                          "[ScriptContext] Packet data deserialization failed: " + c.expected + "."});
            EXPECT_EQ(log.Messages().size(), 1u);
        }
    }
}
} // namespace
