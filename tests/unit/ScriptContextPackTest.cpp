// ScriptContext's data half: appending, the packed form byte for byte, and Unpack's tolerance.

#include <cmath>
#include <cstdint>
#include <cstring>
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

using Value = std::variant<int32_t, float, bool, std::string>;

ScriptContext Make(std::initializer_list<Value> values)
{
    ScriptContext c;
    for (const Value& value : values)
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

ScriptContext Make1(const std::string& value)
{
    return Make({value});
}

TEST(ScriptContextPack, Bytes)
{
    ScriptContext bigIndices;
    bigIndices.types = {{300, Null}, {4294967296ull, Null}};
    ScriptContext array;
    array.types[0] = Array;
    array.arrays[0] = FromHex("91 80");
    // The packed table {x = true}: a list of [key] and [value] contexts.
    const std::string key = Make1("x").Pack();
    const std::string value = Make({true}).Pack();
    EXPECT_EQ(ToHex(key), "97 81 00 07 80 80 80 81 00 a1 78 80 80");
    EXPECT_EQ(ToHex(value), "97 81 00 04 80 80 81 00 c3 80 80 80");
    ScriptContext table;
    table.types[0] = Table;
    table.tables[0] = FromHex("92 91 ad") + key + FromHex("91 ac") + value;

    const std::vector<std::pair<ScriptContext, std::string>> cases = {
        {ScriptContext(), "97 80 80 80 80 80 80 80"},
        {Make({5, std::string("abc")}), "97 82 00 02 01 07 81 00 05 80 80 81 01 a3 61 62 63 80 80"},
        {Make({200}), "97 81 00 02 81 00 cc c8 80 80 80 80 80"},
        {Make({-200}), "97 81 00 02 81 00 d1 ff 38 80 80 80 80 80"},
        {Make({std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()}),
         "97 82 00 02 01 02 82 00 d2 80 00 00 00 01 ce 7f ff ff ff 80 80 80 80 80"},
        // Whole and negative-zero floats stay floats.
        {Make({2.0f, -0.0f}), "97 82 00 03 01 03 80 82 00 ca 40 00 00 00 01 ca 80 00 00 00 80 80 80 80"},
        {Make({true, false}), "97 82 00 04 01 04 80 80 82 00 c3 01 c2 80 80 80"},
        {bigIndices, "97 82 cd 01 2c 01 cf 00 00 00 01 00 00 00 00 01 80 80 80 80 80 80"},
        {Make1(std::string("a\0b", 3)), "97 81 00 07 80 80 80 81 00 a3 61 00 62 80 80"},
        {table, "97 81 00 05 80 80 80 80 81 00 be"
                " 92 91 ad 97 81 00 07 80 80 80 81 00 a1 78 80 80 91 ac 97 81 00 04 80 80 81 00 c3 80 80 80"
                " 80"},
        {array, "97 81 00 06 80 80 80 80 80 81 00 a2 91 80"},
    };
    for (const auto& [context, expected] : cases)
        EXPECT_EQ(ToHex(context.Pack()), expected);
}

TEST(ScriptContextPack, StringHeaders)
{
    const std::vector<std::pair<size_t, std::string>> cases = {
        {31, "bf"}, {32, "d9 20"}, {256, "da 01 00"}, {65536, "db 00 01 00 00"}};
    for (const auto& [length, header] : cases)
    {
        std::string packed = Make1(std::string(length, 's')).Pack();
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
    context.tables[table] = FromHex("92 91 ad") + Make1("x").Pack() + FromHex("91 a0");
    context.types[table + 1] = Array;
    context.arrays[table + 1] = FromHex("91 81 00 ad") + Make1("y").Pack();

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
        {"seven empty maps", empty, true, empty},
        {"no members", "90", true, empty},
        {"only types and ints", "92 81 00 02 81 00 05", true, "97 81 00 02 81 00 05 80 80 80 80 80"},
        {"an eighth element is ignored", "98 80 80 80 80 80 80 80 c0", true, empty},
        {"float member as float64", "97 81 00 03 80 81 00 cb 3f f8 00 00 00 00 00 00 80 80 80 80", true,
         "97 81 00 03 80 81 00 ca 3f c0 00 00 80 80 80 80"},
        {"float member as integers", "97 82 00 03 01 03 80 82 00 05 01 d0 fe 80 80 80 80", true,
         "97 82 00 03 01 03 80 82 00 ca 40 a0 00 00 01 ca c0 00 00 00 80 80 80 80"},
        {"float64 beyond float range",
         "97 80 80 83 00 cb 7e 37 e4 3c 88 00 75 9c 01 cb c7 ef ff ff ef ff ff ff"
         " 02 cb c7 ef ff ff f0 00 00 00 80 80 80 80",
         true, "97 80 80 83 00 ca 7f 80 00 00 01 ca ff 7f ff ff 02 ca ff 80 00 00 80 80 80 80"},
        {"the later duplicate key wins", "97 82 00 02 00 07 80 80 80 80 80 80", true,
         "97 81 00 07 80 80 80 80 80 80"},
        {"bin for strings, tables, arrays", "97 80 80 80 80 81 00 c4 01 78 81 01 c4 00 81 02 c5 00 01 79",
         true, "97 80 80 80 80 81 00 a1 78 81 01 a0 81 02 a1 79"},
        {"largest key", "97 81 cf ff ff ff ff ff ff ff ff 01 80 80 80 80 80 80", true,
         "97 81 cf ff ff ff ff ff ff ff ff 01 80 80 80 80 80 80"},
        {"type codes are not checked", "97 82 00 00 01 e0 80 80 80 80 80 80", true,
         "97 82 00 00 01 e0 80 80 80 80 80 80"},
        {"values without types are kept", "97 80 81 03 05 80 80 80 80 80", true,
         "97 80 81 03 05 80 80 80 80 80"},
        {"trailing bytes ignored", "97 80 80 80 80 80 80 80 c1 c1", true, empty},
        {"a map instead of the array", "81 00 80", false, "bad cast"},
        {"a negative key", "97 81 ff 02 80 80 80 80 80 80", false, "bad cast"},
        {"a float key", "97 81 ca 00 00 00 00 02 80 80 80 80 80 80", false, "bad cast"},
        {"a nil member", "91 c0", false, "bad cast"},
        {"an int above 32 bits", "97 80 81 00 ce 80 00 00 00 80 80 80 80 80", false, "bad cast"},
        {"an int below 32 bits", "97 80 81 00 d3 ff ff ff ff 7f ff ff ff 80 80 80 80 80", false, "bad cast"},
        {"a float as int", "97 80 81 00 ca 3f c0 00 00 80 80 80 80 80", false, "bad cast"},
        {"a bool as int", "97 80 80 80 81 00 01 80 80 80", false, "bad cast"},
        {"a nested array as table", "97 80 80 80 80 80 81 00 90 80", false, "bad cast"},
        {"a bad last member", "97 80 80 80 80 80 80 81 00 c3", false, "bad cast"},
        {"empty bytes", "", false, "insufficient bytes"},
        {"cut short", "97 81 00", false, "insufficient bytes"},
        {"invalid type byte", "97 c1", false, "parse error"},
        {"str 32 of 2^32-1", "97 80 80 80 80 81 00 db ff ff ff ff", false, "insufficient bytes"},
        {"nested 100000 deep", ToHex(std::string(100000, '\x91')) + " c0", false, "depth size overflow"},
    };
    for (const auto& c : cases)
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
