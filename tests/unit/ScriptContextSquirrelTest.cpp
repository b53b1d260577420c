// ScriptContext against a Squirrel VM: reading Squirrel values (arrays included) into a context,
// pushing contexts back as Squirrel values, and values crossing between Squirrel and Lua.

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "LogCapture.h"
#include "LuaTestVM.h"
#include "Network/MessagePack.h"
#include "Scripting/ScriptContext.h"
#include "SquirrelTestVM.h"

namespace
{
// Squirrel helpers: dump gives a canonical text of values (table keys sorted), dumpAll of every
// argument, depth follows the `n` chain of nested tables or arrays.
const char* kSquirrelHelpers = R"nut(
function join(parts) {
    local text = "";
    foreach (i, part in parts)
        text += (i > 0 ? "," : "") + part;
    return text;
}
function dump(v) {
    local t = typeof v;
    if (v == null)
        return "null";
    if (t == "string")
        return "\"" + v + "\"";
    if (t == "integer" || t == "float")
        return t + ":" + v;
    if (t == "array") {
        local parts = [];
        foreach (e in v)
            parts.append(dump(e));
        return "[" + join(parts) + "]";
    }
    if (t == "table") {
        local parts = [];
        foreach (k, e in v)
            parts.append(dump(k) + "=" + dump(e));
        parts.sort();
        return "{" + join(parts) + "}";
    }
    return "" + v;
}
function dumpAll(...) {
    local parts = [];
    foreach (v in vargv)
        parts.append(dump(v));
    return vargv.len() + ":" + join(parts);
}
function depth(v) {
    local d = 0;
    while (typeof v == "table") {
        d++;
        v = ("n" in v) ? v.n : null;
    }
    return d;
}
)nut";

// Lua's counterpart, for values that cross from Squirrel.
const char* kLuaHelpers = R"lua(
function dump(v)
    if type(v) == "string" then return string.format("%q", v) end
    if type(v) == "number" then return math.type(v) .. ":" .. tostring(v) end
    if type(v) ~= "table" then return tostring(v) end
    local parts = {}
    for k, e in pairs(v) do parts[#parts + 1] = dump(k) .. "=" .. dump(e) end
    table.sort(parts)
    return "{" .. table.concat(parts, ",") .. "}"
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

class ScriptContextSquirrelTest : public ::testing::Test
{
protected:
    LogCapture log;
    SquirrelTestVM sq;
    ScriptContext captured;
    ScriptContext toPush;

    void SetUp() override
    {
        ASSERT_TRUE(sq.Run(kSquirrelHelpers, "helpers.nut"));
        log.Clear();
    }

    // Test.Run reads every argument into `captured`.
    void Capture()
    {
        SetSquirrelTestBody(
            [this](ScriptVM* vm)
            {
                captured = ScriptContext();
                for (int32_t i = 1; i <= vm->GetArgCount(); ++i)
                    captured.Read(vm, i + 1);
                return 0;
            });
    }
    // Test.Run reads its one argument, sends it through its packed form and pushes it back.
    void Echo()
    {
        SetSquirrelTestBody(
            [this](ScriptVM* vm)
            {
                ScriptContext read;
                read.Read(vm, 2);
                captured = ScriptContext();
                EXPECT_TRUE(captured.Unpack(read.Pack()));
                captured.Push(vm);
                return static_cast<int32_t>(captured.Count());
            });
    }
    // Test.Run pushes `toPush` and returns the last value pushed; dumpAll sees all of them through
    // a second native.
    std::string Dumped(const ScriptContext& context)
    {
        toPush = context;
        SQInteger top = sq_gettop(sq.V());
        sq_pushroottable(sq.V());
        sq_pushstring(sq.V(), "dumpAll", -1);
        EXPECT_TRUE(SQ_SUCCEEDED(sq_get(sq.V(), -2)));
        sq_pushroottable(sq.V());
        toPush.Push(&sq.VM());
        std::string text = "<call failed>";
        if (SQ_SUCCEEDED(sq_call(sq.V(), static_cast<SQInteger>(toPush.Count()) + 1, SQTrue, SQFalse)))
        {
            const SQChar* value = nullptr;
            SQInteger length = 0;
            if (SQ_SUCCEEDED(sq_getstringandsize(sq.V(), -1, &value, &length)))
                text.assign(value, static_cast<size_t>(length));
        }
        sq_settop(sq.V(), top);
        return text;
    }
    std::vector<std::string> Warnings() const { return log.Messages(spdlog::level::warn); }
};

TEST_F(ScriptContextSquirrelTest, ReadsEveryKindOfValue)
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
    ScriptContext inner = WithArray(PackedArray({{0, OneInt(2).Pack()}, {1, OneInt(3).Pack()}}));
    const std::vector<Case> cases = {
        {"null", single(Null)},
        {"true", boolOf(true)},
        {"false", boolOf(false)},
        {"3", OneInt(3)},
        {"-1", OneInt(-1)},
        {"4294967297", OneInt(1)},
        {"2147483648", OneInt(std::numeric_limits<int32_t>::min())},
        {"1.5", floatOf(1.5f)},
        {"0.1", floatOf(0.1f)},
        {"3.0", floatOf(3.0f)},
        {"\"abc\"", OneString("abc")},
        {"\"a\\x00b\"", OneString("a")},
        {"\"\"", OneString("")},
        {"{}", table("92 90 90")},
        // The packed table of the field x holding true, byte for byte (the same as Lua's).
        {"{ x = true }",
         table("92 91 ad 97 81 00 07 80 80 80 81 00 a1 78 80 80 91 ac 97 81 00 04 80 80 81 00 c3 80 80 80")},
        {"[]", WithArray(FromHex("91 80"))},
        {"[1, [2, 3]]", WithArray(PackedArray({{0, OneInt(1).Pack()}, {1, inner.Pack()}}))},
    };
    Capture();
    for (const Case& c : cases)
    {
        ASSERT_TRUE(sq.Run("Test.Run(" + c.expression + ");")) << c.expression;
        EXPECT_EQ(captured.types, c.expected.types) << c.expression;
        EXPECT_EQ(captured.ints, c.expected.ints) << c.expression;
        EXPECT_EQ(captured.floats, c.expected.floats) << c.expression;
        EXPECT_EQ(captured.bools, c.expected.bools) << c.expression;
        EXPECT_EQ(captured.strings, c.expected.strings) << c.expression;
        EXPECT_EQ(captured.tables, c.expected.tables) << c.expression;
        EXPECT_EQ(captured.arrays, c.expected.arrays) << c.expression;
    }
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(ScriptContextSquirrelTest, UnsupportedValuesAreSkippedWithTheirTypeCode)
{
    Capture();
    ASSERT_TRUE(sq.Run("class C {}; Test.Run(1, function() {}, Test.Run, C, C(), 2);"));
    EXPECT_EQ(captured.types, (std::map<uint64_t, int32_t>{{0, Int}, {1, Int}}));
    EXPECT_EQ(captured.ints, (std::map<uint64_t, int32_t>{{0, 1}, {1, 2}}));
    EXPECT_EQ(Warnings(), (std::vector<std::string>{
                              "[ScriptContext] Read - unsupported argument type: 134217984", // closure
                              "[ScriptContext] Read - unsupported argument type: 134218240", // native closure
                              "[ScriptContext] Read - unsupported argument type: 134234112", // class
                              "[ScriptContext] Read - unsupported argument type: 167804928", // instance
                          }));
    // A stack index without a value appends nothing.
    SetSquirrelTestBody(
        [this](ScriptVM* vm)
        {
            captured = ScriptContext();
            captured.Read(vm, 5);
            captured.Read(vm, -5);
            return 0;
        });
    ASSERT_TRUE(sq.Run("Test.Run(1);"));
    EXPECT_EQ(captured.Count(), 0u);
}

TEST_F(ScriptContextSquirrelTest, SquirrelValuesRoundTripThroughTheirPackedForm)
{
    const std::vector<std::string> values = {
        "[1, [2, 3]]",
        "[]",
        "[null, true, 1.5, \"s\", [[[]]]]",
        "{}",
        "{ a = 1, b = \"two\", c = 3.5, d = true, e = false }",
        "{ nested = { deeper = { deepest = \"x\" } }, list = [10, 20] }",
        "{ [1] = \"one\", [3] = \"three\", [-7] = \"minus\" }",
        "{ [0.5] = \"half\", [true] = \"yes\", [false] = \"no\" }",
        "{ s = \"\", t = \"text\" }",
    };
    Echo();
    for (const std::string& value : values)
    {
        ASSERT_TRUE(
            sq.Run("local v = " + value + "; ::same <- dump(v) == dump(Test.Run(v)); ::seen <- dump(v);"))
            << value;
        EXPECT_TRUE(sq.GlobalBool("same")) << value << " " << sq.GlobalString("seen");
    }
    ASSERT_TRUE(sq.Run("::back <- dump(Test.Run([1, [2, 3]]));"));
    EXPECT_EQ(sq.GlobalString("back"), "[integer:1,[integer:2,integer:3]]");
    // Integer keys stay integers; a key that is itself a table comes back as a new table.
    ASSERT_TRUE(sq.Run("local b = Test.Run({ [2] = \"x\" }); foreach (k, e in b) ::keyType <- typeof k;"));
    EXPECT_EQ(sq.GlobalString("keyType"), "integer");
    ASSERT_TRUE(sq.Run("local b = Test.Run({ [[1]] = \"k\" }); foreach (k, e in b) ::key <- dump(k);"));
    EXPECT_EQ(sq.GlobalString("key"), "[integer:1]");
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(ScriptContextSquirrelTest, PushesEveryKindOfValueAndStringsWhole)
{
    ScriptContext context;
    context.AddInt(-5);
    context.AddFloat(1.5f);
    context.AddBool(true);
    context.AddString(std::string("s\0t", 3));
    context.types[4] = Null;
    context.AddInt(std::numeric_limits<int32_t>::min());
    context.AddString("");
    EXPECT_EQ(Dumped(context),
              "7:integer:-5,float:1.5,true,\"s" + std::string(1, '\0') + "t\",null,integer:-2147483648,\"\"");
}

TEST_F(ScriptContextSquirrelTest, ContextsThatBreakTheRulesStillPushOneValuePerEntry)
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
    const std::string one = OneInt(1).Pack();
    const std::string two = OneInt(2).Pack();
    const std::vector<Case> cases = {
        {"missing value", missingValue, "1:null", {}},
        {"unknown type code", unknownCode, "1:null", {"[ScriptContext] Push - unsupported argument type: 9"}},
        {"array that does not decode",
         WithArray(FromHex("92")),
         "1:null",
         {"[ScriptContext] Packet data deserialization failed: insufficient bytes."}},
        {"array position beyond its size",
         WithArray(PackedArray({{0, one}, {5, two}})),
         "1:[integer:1,null]",
         {}},
        {"array position beyond any array",
         WithArray(PackedArray({{0, one}, {0xFFFFFFFFFFFFFFFFull, two}})),
         "1:[integer:1,null]",
         {}},
        {"array element of two values", WithArray(PackedArray({{0, twoValues.Pack()}})), "1:[null]", {}},
        {"fewer values than keys",
         WithTable(PackedTable({a, two}, {one})),
         "1:{\"a\"=integer:1,integer:2=null}",
         {}},
        {"null key", WithTable(PackedTable({nullKey.Pack(), a}, {one, one})), "1:{\"a\"=integer:1}", {}},
        {"NaN key", WithTable(PackedTable({nanKey.Pack(), a}, {one, one})), "1:{\"a\"=integer:1}", {}},
        {"key of two values",
         WithTable(PackedTable({twoValues.Pack(), a}, {one, one})),
         "1:{\"a\"=integer:1}",
         {}},
    };
    for (const Case& c : cases)
    {
        log.Clear();
        EXPECT_EQ(Dumped(c.context), c.dumped) << c.what;
        EXPECT_EQ(Warnings(), c.warnings) << c.what;
        EXPECT_EQ(sq_gettop(sq.V()), 0) << c.what;
    }
}

TEST_F(ScriptContextSquirrelTest, ReadArrayElementsTakesSquirrelArraysOnly)
{
    bool ok = false;
    SetSquirrelTestBody(
        [this, &ok](ScriptVM* vm)
        {
            captured = ScriptContext();
            captured.AddString("before");
            ok = captured.ReadArrayElements(vm, 2);
            return ok ? 0 : -1;
        });
    struct Case
    {
        std::string argument;
        std::map<uint64_t, int32_t> types;
    };
    const std::vector<Case> cases = {
        {"[10, 20]", {{0, String}, {1, Int}, {2, Int}}},
        {"[]", {{0, String}}},
        {"[null, [1], { a = 1 }, \"s\", 2.5, true]",
         {{0, String}, {1, Null}, {2, Array}, {3, Table}, {4, String}, {5, Float}, {6, Bool}}},
    };
    for (const Case& c : cases)
    {
        ASSERT_TRUE(sq.Run("Test.Run(\"x\", " + c.argument + ");")) << c.argument;
        EXPECT_TRUE(ok);
        EXPECT_EQ(captured.types, c.types) << c.argument;
    }
    for (const std::string& argument : {std::string(", { a = 1 }"), std::string(", 5"), std::string("")})
    {
        ASSERT_TRUE(
            sq.Run("::error <- null; try { Test.Run(\"x\"" + argument + "); } catch (e) { ::error <- e; }"));
        EXPECT_FALSE(ok) << argument;
        EXPECT_EQ(sq.GlobalString("error"), "Expected an array value") << argument;
        EXPECT_EQ(captured.Count(), 1u);
    }
}

TEST_F(ScriptContextSquirrelTest, NestingIsBoundedAndSelfContainingContainersAreRefused)
{
    Echo();
    ASSERT_TRUE(sq.Run("local v = {}; local c = v; for (local i = 1; i < 70; i++) { c.n <- {}; c = c.n; }\n"
                       "::d <- depth(Test.Run(v));"));
    EXPECT_EQ(sq.GlobalInt("d"), 64);
    EXPECT_EQ(Warnings(),
              std::vector<std::string>{
                  "[ScriptContext] Read - tables nested deeper than 64 levels are not supported"});
    log.Clear();
    ASSERT_TRUE(sq.Run("local a = [1]; a.append(a); ::back <- dump(Test.Run(a));"));
    // The element that would have closed the cycle keeps its position, as a null.
    EXPECT_EQ(sq.GlobalString("back"), "[integer:1,null]");
    EXPECT_EQ(Warnings(), std::vector<std::string>{
                              "[ScriptContext] Read - a table that contains itself is not supported"});
}

// ---------------------------------------------------------------------------------------------
// Values crossing between the two languages

class ScriptContextCrossTest : public ScriptContextSquirrelTest
{
protected:
    LuaTestVM lua;

    void SetUp() override
    {
        ScriptContextSquirrelTest::SetUp();
        ASSERT_TRUE(lua.Run(kLuaHelpers, "helpers.lua"));
    }
};

TEST_F(ScriptContextCrossTest, LuaTablesBecomeSquirrelTablesWithIntegerKeys)
{
    ScriptContext fromLua;
    SetTestBody(
        [&fromLua](ScriptVM* vm)
        {
            fromLua.Read(vm, 1);
            return 0;
        });
    ASSERT_TRUE(lua.Run("Test.Run({ 10, 'a', x = 3, [2.5] = 'f', sub = { true } })"));
    ScriptContext received;
    ASSERT_TRUE(received.Unpack(fromLua.Pack()));
    EXPECT_EQ(
        Dumped(received),
        "1:{\"sub\"={integer:1=true},\"x\"=integer:3,float:2.5=\"f\",integer:1=integer:10,integer:2=\"a\"}");
}

TEST_F(ScriptContextCrossTest, SquirrelArraysBecomeLuaSequences)
{
    Capture();
    ASSERT_TRUE(sq.Run("Test.Run([10, \"a\", [1], { k = null }], \"z\\x00z\");"));
    ScriptContext received;
    ASSERT_TRUE(received.Unpack(captured.Pack()));
    toPush = received;
    SetTestBody(
        [this](ScriptVM* vm)
        {
            toPush.Push(vm);
            return static_cast<int32_t>(toPush.Count());
        });
    ASSERT_TRUE(lua.Run("local a, s = Test.Run() result = dump(a) .. ' ' .. dump(s)"));
    EXPECT_EQ(lua.GlobalString("result"),
              "{integer:1=integer:10,integer:2=\"a\",integer:3={integer:1=integer:1},integer:4={}} \"z\"");
}

TEST_F(ScriptContextCrossTest, StringsWithZeroBytesReachSquirrelWholeAndLuaCut)
{
    ScriptContext received;
    received.AddString(std::string("a\0b", 3));
    toPush = received;
    EXPECT_EQ(Dumped(received), "1:\"a" + std::string(1, '\0') + "b\"");
    SetTestBody(
        [this](ScriptVM* vm)
        {
            toPush.Push(vm);
            return 1;
        });
    ASSERT_TRUE(lua.Run("result = #Test.Run()"));
    EXPECT_EQ(lua.GlobalInt("result"), 1);
}
} // namespace
