// ScriptContext against a Lua VM: reading script values into a context, pushing contexts back as
// script values, and what happens to received contexts that break the rules.

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "LogCapture.h"
#include "LuaTestVM.h"
#include "Network/MessagePack.h"
#include "Scripting/ScriptContext.h"

namespace
{
// Lua helpers: dump gives a canonical text of values (table keys sorted), deepEqual compares.
const char* kHelpers = R"lua(
function dump(v)
    if type(v) == "string" then return string.format("%q", v) end
    if type(v) == "number" then return math.type(v) .. ":" .. tostring(v) end
    if type(v) ~= "table" then return tostring(v) end
    local keys = {}
    for k in pairs(v) do keys[#keys + 1] = k end
    table.sort(keys, function(a, b) return dump(a) < dump(b) end)
    local parts = {}
    for _, k in ipairs(keys) do parts[#parts + 1] = dump(k) .. "=" .. dump(v[k]) end
    return "{" .. table.concat(parts, ",") .. "}"
end
function dumpAll(...)
    local parts = {}
    for i = 1, select("#", ...) do parts[i] = dump((select(i, ...))) end
    return select("#", ...) .. ":" .. table.concat(parts, " ")
end
function depth(t)
    local d = 0
    while type(t) == "table" do d = d + 1 t = t.n end
    return d
end
)lua";

ScriptContext OneInt(int32_t value)
{
    ScriptContext context;
    context.AddInt(value);
    return context;
}

ScriptContext OneString(const std::string& value)
{
    ScriptContext context;
    context.AddString(value);
    return context;
}

// The packed forms, built independently of the code under test.
std::string PackedTable(const std::vector<std::string>& keys, const std::vector<std::string>& values)
{
    MessagePack::StringBuffer buffer;
    MessagePack::Packer packer(buffer);
    packer.pack_array(2);
    packer.pack_array(static_cast<uint32_t>(keys.size()));
    for (const std::string& key : keys)
        MessagePack::PackStr(packer, key);
    packer.pack_array(static_cast<uint32_t>(values.size()));
    for (const std::string& value : values)
        MessagePack::PackStr(packer, value);
    return buffer.data;
}

std::string PackedArray(const std::map<uint64_t, std::string>& elements)
{
    MessagePack::StringBuffer buffer;
    MessagePack::Packer packer(buffer);
    packer.pack_array(1);
    packer.pack_map(static_cast<uint32_t>(elements.size()));
    for (const auto& [position, element] : elements)
    {
        packer.pack_uint64(position);
        MessagePack::PackStr(packer, element);
    }
    return buffer.data;
}

ScriptContext WithTable(const std::string& packed)
{
    ScriptContext context;
    context.types[0] = Table;
    context.tables[0] = packed;
    return context;
}

ScriptContext WithArray(const std::string& packed)
{
    ScriptContext context;
    context.types[0] = Array;
    context.arrays[0] = packed;
    return context;
}

class ScriptContextLuaTest : public ::testing::Test
{
protected:
    LogCapture log;
    LuaTestVM lua;
    ScriptContext captured;
    ScriptContext toPush;

    void SetUp() override { ASSERT_TRUE(lua.Run(kHelpers, "helpers.lua")); }

    // Test.Run reads every argument into `captured`.
    void Capture()
    {
        SetTestBody(
            [this](ScriptVM* vm)
            {
                captured = ScriptContext();
                for (int32_t i = 1; i <= vm->GetArgCount(); ++i)
                    captured.Read(vm, i);
                return 0;
            });
    }
    // Test.Run reads its arguments and pushes them back.
    void Echo()
    {
        SetTestBody(
            [this](ScriptVM* vm)
            {
                captured = ScriptContext();
                for (int32_t i = 1; i <= vm->GetArgCount(); ++i)
                    captured.Read(vm, i);
                captured.Push(vm);
                return static_cast<int32_t>(captured.Count());
            });
    }
    // Test.Run pushes `toPush`.
    void Pusher()
    {
        SetTestBody(
            [this](ScriptVM* vm)
            {
                toPush.Push(vm);
                return static_cast<int32_t>(toPush.Count());
            });
    }
    std::string Dumped(const ScriptContext& context)
    {
        toPush = context;
        Pusher();
        EXPECT_TRUE(lua.Run("result = dumpAll(Test.Run())"));
        return lua.GlobalString("result");
    }
    std::vector<std::string> Warnings() const { return log.Messages(spdlog::level::warn); }
};

TEST_F(ScriptContextLuaTest, ReadsEveryKindOfValue)
{
    struct Case
    {
        std::string expression;
        ScriptContext expected;
    };
    auto single = [](int32_t type)
    {
        ScriptContext c;
        c.types[0] = type;
        return c;
    };
    auto floatOf = [](float value)
    {
        ScriptContext c;
        c.AddFloat(value);
        return c;
    };
    auto boolOf = [](bool value)
    {
        ScriptContext c;
        c.AddBool(value);
        return c;
    };
    auto table = [](const std::string& hex) { return WithTable(FromHex(hex)); };
    const std::vector<Case> cases = {
        {"nil", single(Null)},
        {"true", boolOf(true)},
        {"false", boolOf(false)},
        {"3", OneInt(3)},
        {"-1", OneInt(-1)},
        {"4294967297", OneInt(1)},
        {"math.tointeger(2^31)", OneInt(std::numeric_limits<int32_t>::min())},
        {"3.0", floatOf(3.0f)},
        {"0.1", floatOf(0.1f)},
        {"1e300", floatOf(std::numeric_limits<float>::infinity())},
        {"-1e300", floatOf(-std::numeric_limits<float>::infinity())},
        {"'abc'", OneString("abc")},
        {"'a\\0b'", OneString("a")},
        {"''", OneString("")},
        {"{}", table("92 90 90")},
        // The packed table of the field x holding true, byte for byte.
        {"{ x = true }",
         table("92 91 ad 97 81 00 07 80 80 80 81 00 a1 78 80 80 91 ac 97 81 00 04 80 80 81 00 c3 80 80 80")},
    };
    Capture();
    for (const Case& c : cases)
    {
        ASSERT_TRUE(lua.Run("Test.Run(" + c.expression + ")")) << c.expression;
        EXPECT_EQ(captured.types, c.expected.types) << c.expression;
        EXPECT_EQ(captured.ints, c.expected.ints) << c.expression;
        EXPECT_EQ(captured.floats, c.expected.floats) << c.expression;
        EXPECT_EQ(captured.bools, c.expected.bools) << c.expression;
        EXPECT_EQ(captured.strings, c.expected.strings) << c.expression;
        EXPECT_EQ(captured.tables, c.expected.tables) << c.expression;
    }
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(ScriptContextLuaTest, UnsupportedValuesAreSkippedAndTakeNoIndex)
{
    Capture();
    ASSERT_TRUE(lua.Run("Test.Run(1, print, io.stdout, 2)"));
    EXPECT_EQ(captured.types, (std::map<uint64_t, int32_t>{{0, Int}, {1, Int}}));
    EXPECT_EQ(captured.ints, (std::map<uint64_t, int32_t>{{0, 1}, {1, 2}}));
    EXPECT_EQ(Warnings(),
              (std::vector<std::string>{"[ScriptContext] Read - unsupported argument type: function",
                                        "[ScriptContext] Read - unsupported argument type: userdata"}));
    // An index without a value appends nothing.
    SetTestBody(
        [this](ScriptVM* vm)
        {
            captured = ScriptContext();
            captured.Read(vm, 5);
            return 0;
        });
    ASSERT_TRUE(lua.Run("Test.Run(1)"));
    EXPECT_EQ(captured.Count(), 0u);
}

TEST_F(ScriptContextLuaTest, LuaValuesRoundTrip)
{
    const std::vector<std::string> values = {
        "{}",
        "{ 1, 2, 3 }",
        "{ a = 1, b = 'two', c = 3.5, d = true, e = false }",
        "{ nested = { deeper = { deepest = 'x' } }, list = { 10, 20 } }",
        "{ [1] = 'one', [3] = 'three', [-7] = 'minus' }",
        "{ [0.5] = 'half', [true] = 'yes', [false] = 'no' }",
        "{ { { {} } } }",
        "{ s = '', t = 'text' }",
    };
    Echo();
    for (const std::string& value : values)
    {
        ASSERT_TRUE(lua.Run("v = " + value +
                            " a, b, c = Test.Run(1, v, 'end') same = dump(v) == dump(b) and a == 1 "
                            "and math.type(a) == 'integer' and c == 'end'"))
            << value;
        EXPECT_TRUE(lua.GlobalBool("same")) << value;
    }
    // Zero bytes cut strings on the way in; a table key that is itself a table comes back as a new table.
    ASSERT_TRUE(lua.Run("b = Test.Run({ s = 'a\\0b' }) cut = b.s"));
    EXPECT_EQ(lua.GlobalString("cut"), "a");
    ASSERT_TRUE(lua.Run("b = Test.Run({ [{ 1 }] = 'k' }) k, v = next(b) keyIsTable = type(k) == 'table' and "
                        "k[1] == 1 and v == 'k'"));
    EXPECT_TRUE(lua.GlobalBool("keyIsTable"));
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(ScriptContextLuaTest, PushesEveryKindOfValue)
{
    ScriptContext context;
    context.AddInt(-5);
    context.AddFloat(1.5f);
    context.AddBool(true);
    context.AddString(std::string("s\0t", 3));
    context.types[4] = Null;
    context.AddInt(std::numeric_limits<int32_t>::min());
    EXPECT_EQ(Dumped(context), "6:integer:-5 float:1.5 true \"s\" nil integer:-2147483648");
}

TEST_F(ScriptContextLuaTest, ArraysBecomeTablesCountingFromOne)
{
    std::string inner = PackedArray({{0, OneInt(1).Pack()}, {1, OneInt(2).Pack()}});
    ScriptContext nested = WithArray(inner);
    std::string outer = PackedArray({{0, OneInt(10).Pack()}, {1, OneString("x").Pack()}, {2, nested.Pack()}});
    EXPECT_EQ(Dumped(WithArray(outer)),
              "1:{integer:1=integer:10,integer:2=\"x\",integer:3={integer:1=integer:1,integer:2=integer:2}}");
    // An element that is not exactly one value is a hole.
    ScriptContext two;
    two.AddInt(1);
    two.AddInt(2);
    std::string holes = PackedArray({{0, ScriptContext().Pack()}, {1, two.Pack()}, {2, OneInt(3).Pack()}});
    EXPECT_EQ(Dumped(WithArray(holes)), "1:{integer:3=integer:3}");
    EXPECT_EQ(Dumped(WithArray(FromHex("90"))), "1:{}");
}

TEST_F(ScriptContextLuaTest, ContextsThatBreakTheRulesStillPushOneValuePerEntry)
{
    struct Case
    {
        std::string what;
        ScriptContext context;
        std::string dumped;
        std::vector<std::string> warnings;
    };
    ScriptContext missingValue;
    missingValue.types[0] = Int;
    ScriptContext gap;
    gap.types[0] = Int;
    gap.ints[0] = 1;
    gap.types[5] = String;
    gap.strings[5] = "x";
    ScriptContext unknownCode;
    unknownCode.types[0] = 9;
    ScriptContext twoValues;
    twoValues.AddInt(1);
    twoValues.AddInt(2);
    ScriptContext nullKey;
    nullKey.types[0] = Null;
    ScriptContext nanKey;
    nanKey.AddFloat(std::numeric_limits<float>::quiet_NaN());
    const std::string a = OneString("a").Pack();
    const std::string b = OneString("b").Pack();
    const std::string one = OneInt(1).Pack();
    const std::vector<Case> cases = {
        {"missing value", missingValue, "1:nil", {}},
        {"gap in indices", gap, "2:integer:1 \"x\"", {}},
        {"unknown type code", unknownCode, "1:nil", {"[ScriptContext] Push - unsupported argument type: 9"}},
        {"table that does not decode",
         WithTable(FromHex("c1")),
         "1:nil",
         {"[ScriptContext] Packet data deserialization failed: parse error."}},
        {"table of the wrong form",
         WithTable(FromHex("91 05")),
         "1:nil",
         {"[ScriptContext] Packet data deserialization failed: bad cast."}},
        {"array that does not decode",
         WithArray(FromHex("92")),
         "1:nil",
         {"[ScriptContext] Packet data deserialization failed: insufficient bytes."}},
        {"fewer values than keys", WithTable(PackedTable({a, b}, {one})), "1:{\"a\"=integer:1}", {}},
        {"no values at all", WithTable(FromHex("91 91 ad") + a), "1:{}", {}},
        {"key of two values",
         WithTable(PackedTable({twoValues.Pack(), a}, {one, one})),
         "1:{\"a\"=integer:1}",
         {}},
        {"empty key",
         WithTable(PackedTable({ScriptContext().Pack(), a}, {one, one})),
         "1:{\"a\"=integer:1}",
         {}},
        {"nil key", WithTable(PackedTable({nullKey.Pack(), a}, {one, one})), "1:{\"a\"=integer:1}", {}},
        {"NaN key", WithTable(PackedTable({nanKey.Pack(), a}, {one, one})), "1:{\"a\"=integer:1}", {}},
        {"value of two values",
         WithTable(PackedTable({a, b}, {twoValues.Pack(), one})),
         "1:{\"b\"=integer:1}",
         {}},
        {"key that does not decode",
         WithTable(PackedTable({FromHex("c1"), a}, {one, one})),
         "1:{\"a\"=integer:1}",
         {"[ScriptContext] Packet data deserialization failed: parse error."}},
    };
    for (const Case& c : cases)
    {
        log.Clear();
        EXPECT_EQ(Dumped(c.context), c.dumped) << c.what;
        EXPECT_EQ(Warnings(), c.warnings) << c.what;
        EXPECT_EQ(lua_gettop(lua.L()), 0) << c.what;
    }
}

TEST_F(ScriptContextLuaTest, NestingIsBoundedAndSelfContainingTablesAreRefused)
{
    struct Case
    {
        std::string build; // makes `v`
        int depthBack;     // depth of the table that comes back
        std::string warning;
    };
    const std::string chain = "v = {} local c = v for i = 2, LEVELS do c.n = {} c = c.n end c.n = 'leaf'";
    auto levels = [&chain](int count)
    {
        std::string code = chain;
        code.replace(code.find("LEVELS"), 6, std::to_string(count));
        return code;
    };
    const std::vector<Case> cases = {
        {levels(64), 64, ""},
        {levels(65), 64, "[ScriptContext] Read - tables nested deeper than 64 levels are not supported"},
        {levels(500), 64, "[ScriptContext] Read - tables nested deeper than 64 levels are not supported"},
        {"v = { x = 1 } v.n = v", 1, "[ScriptContext] Read - a table that contains itself is not supported"},
        {"v = { n = { x = 1 } } v.n.n = v", 2,
         "[ScriptContext] Read - a table that contains itself is not supported"},
        // The same table twice, side by side, is no cycle.
        {"local s = { 1 } v = { a = s, b = s, n = { n = s } }", 3, ""},
    };
    Echo();
    for (const Case& c : cases)
    {
        log.Clear();
        ASSERT_TRUE(lua.Run(c.build + " back = Test.Run(v) d = depth(back)")) << c.build;
        EXPECT_EQ(lua.GlobalInt("d"), c.depthBack) << c.build;
        if (c.warning.empty())
            EXPECT_TRUE(Warnings().empty()) << c.build;
        else
            EXPECT_EQ(Warnings(), std::vector<std::string>{c.warning}) << c.build;
    }
    ASSERT_TRUE(
        lua.Run(levels(64) + " back = Test.Run(v) local c = back for i = 2, 64 do c = c.n end leaf = c.n"));
    EXPECT_EQ(lua.GlobalString("leaf"), "leaf");
}

TEST_F(ScriptContextLuaTest, DeeplyNestedReceivedTablesAreCutAtTheBound)
{
    // 70 tables, each holding the next under "n".
    std::string packed = PackedTable({OneString("n").Pack()}, {OneString("leaf").Pack()});
    for (int level = 0; level < 69; ++level)
        packed = PackedTable({OneString("n").Pack()}, {WithTable(packed).Pack()});
    toPush = WithTable(packed);
    Pusher();
    ASSERT_TRUE(lua.Run("d = depth(Test.Run())"));
    EXPECT_EQ(lua.GlobalInt("d"), 64);
    EXPECT_EQ(Warnings(),
              std::vector<std::string>{
                  "[ScriptContext] Push - tables nested deeper than 64 levels are not supported"});
}

TEST_F(ScriptContextLuaTest, ReadArrayElementsTakesTheSequenceOnly)
{
    struct Case
    {
        std::string argument;
        std::map<uint64_t, int32_t> types;
    };
    const std::vector<Case> cases = {
        {"{ 10, 20, x = 5 }", {{0, Int}, {1, Int}}},
        {"{ 1, nil, 3 }", {{0, Int}, {1, Null}, {2, Int}}},
        {"{}", {}},
        {"{ { 1 }, 'a', 2.5, true }", {{0, Table}, {1, String}, {2, Float}, {3, Bool}}},
        {"{ [2] = 'x' }", {}},
    };
    bool ok = false;
    SetTestBody(
        [this, &ok](ScriptVM* vm)
        {
            captured = ScriptContext();
            captured.AddString("before");
            ok = captured.ReadArrayElements(vm, 2);
            return ok ? 0 : -1;
        });
    for (const Case& c : cases)
    {
        ASSERT_TRUE(lua.Run("Test.Run('x', " + c.argument + ")")) << c.argument;
        EXPECT_TRUE(ok);
        std::map<uint64_t, int32_t> expected = {{0, String}};
        for (const auto& [index, type] : c.types)
            expected[index + 1] = type;
        EXPECT_EQ(captured.types, expected) << c.argument;
    }
    ASSERT_TRUE(lua.Run("ok, err = pcall(Test.Run, 'x', 5)"));
    EXPECT_FALSE(ok);
    EXPECT_EQ(lua.GlobalString("err"), "bad argument #2 to '?' (table expected, got number)");
    EXPECT_EQ(captured.Count(), 1u);
}
} // namespace
