// ScriptContext against a Squirrel VM: reading Squirrel values (arrays included) into a context,
// pushing contexts back as Squirrel values, and values crossing between Squirrel and Lua.

#include <algorithm>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <utility>
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
// dump gives a canonical text of values (table keys sorted), dumpAll of every argument.
const char* kSquirrelHelpers = R"nut(
function dump(v) {
    local t = typeof v;
    if (t == "string")
        return "\"" + v + "\"";
    if (t == "integer" || t == "float")
        return t + ":" + v;
    if (t != "array" && t != "table")
        return t == "null" ? t : "" + v;
    local parts = [];
    foreach (k, e in v)
        parts.append(t == "array" ? dump(e) : dump(k) + "=" + dump(e));
    if (t == "table")
        parts.sort();
    local text = "";
    foreach (i, part in parts)
        text += (i > 0 ? "," : "") + part;
    return t == "array" ? "[" + text + "]" : "{" + text + "}";
}
function dumpAll(...) {
    return vargv.len() + ":" + dump(vargv).slice(1, -1);
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

template <typename Fill> ScriptContext Make(Fill fill)
{
    ScriptContext context;
    fill(context);
    return context;
}

std::string PackedInt(int32_t value)
{
    return Make([value](ScriptContext& c) { c.AddInt(value); }).Pack();
}

// The packed forms, built independently of the code under test.
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

ScriptContext WithArray(const std::string& packed)
{
    return Make([&packed](ScriptContext& c) { c.types[0] = Array, c.arrays[0] = packed; });
}

class ScriptContextSquirrelTest : public ::testing::Test
{
protected:
    LogCapture log;
    SquirrelTestVM sq;
    LuaTestVM lua;
    ScriptContext captured;

    void SetUp() override
    {
        ASSERT_TRUE(sq.Run(kSquirrelHelpers, "helpers.nut"));
        ASSERT_TRUE(lua.Run(kLuaHelpers, "helpers.lua"));
    }

    // Test.Run reads its arguments into `captured`; with `echo` it sends them through their packed
    // form and pushes the first back.
    void Capture(bool echo = false)
    {
        SetSquirrelTestBody(
            [this, echo](ScriptVM* vm)
            {
                captured = ScriptContext();
                for (int32_t i = 1; i <= vm->GetArgCount(); ++i)
                    captured.Read(vm, i + 1);
                if (echo)
                {
                    EXPECT_TRUE(captured.Unpack(captured.Pack()));
                    captured.Push(vm);
                }
                return echo ? 1 : 0;
            });
    }
    // A native returns one value at most, so every pushed value goes straight into a call of dumpAll.
    std::string Dumped(const ScriptContext& context)
    {
        sq_pushroottable(sq.V());
        sq_pushstring(sq.V(), "dumpAll", -1);
        sq_get(sq.V(), -2);
        sq_pushroottable(sq.V());
        context.Push(&sq.VM());
        const SQChar* text = "<call failed>";
        SQInteger length = 13;
        if (SQ_SUCCEEDED(sq_call(sq.V(), static_cast<SQInteger>(context.Count()) + 1, SQTrue, SQFalse)))
            sq_getstringandsize(sq.V(), -1, &text, &length);
        std::string result(text, static_cast<size_t>(length));
        sq_settop(sq.V(), 0);
        return result;
    }
    std::vector<std::string> Warnings() const { return log.Messages(spdlog::level::warn); }
};

TEST_F(ScriptContextSquirrelTest, ReadsValuesAndSkipsUnsupportedOnes)
{
    const std::string inner = WithArray(PackedArray({{0, PackedInt(2)}, {1, PackedInt(3)}})).Pack();
    const std::vector<std::pair<std::string, ScriptContext>> cases = {
        {"null", Make([](ScriptContext& c) { c.types[0] = Null; })},
        {"4294967297", Make([](ScriptContext& c) { c.AddInt(1); })},
        {"\"a\\x00b\"", Make([](ScriptContext& c) { c.AddString("a"); })},
        {"[]", WithArray(FromHex("91 80"))},
        {"[1, [2, 3]]", WithArray(PackedArray({{0, PackedInt(1)}, {1, inner}}))},
    };
    Capture();
    for (const auto& [expression, expected] : cases)
    {
        ASSERT_TRUE(sq.Run("Test.Run(" + expression + ");")) << expression;
        EXPECT_EQ(captured.Pack(), expected.Pack()) << expression;
    }
    ASSERT_TRUE(sq.Run("class C {}; Test.Run(1, function() {}, Test.Run, C, C(), 2);"));
    EXPECT_EQ(captured.ints, (std::map<uint64_t, int32_t>{{0, 1}, {1, 2}}));
    EXPECT_EQ(Warnings(), (std::vector<std::string>{
                              "[ScriptContext] Read - unsupported argument type: 134217984", // closure
                              "[ScriptContext] Read - unsupported argument type: 134218240", // native closure
                              "[ScriptContext] Read - unsupported argument type: 134234112", // class
                              "[ScriptContext] Read - unsupported argument type: 167804928", // instance
                          }));
}

TEST_F(ScriptContextSquirrelTest, SquirrelValuesRoundTripThroughTheirPackedForm)
{
    const std::vector<std::string> values = {
        "[null, true, 1.5, \"\", [[[]]], { a = 1 }]",
        "{ a = 1, b = \"two\", nested = { deeper = { deepest = \"x\" } }, list = [10, 20] }",
        "{ [1] = \"one\", [-7] = \"minus\", [0.5] = \"half\", [true] = \"yes\", [false] = \"no\" }",
    };
    Capture(true);
    for (const std::string& value : values)
    {
        ASSERT_TRUE(sq.Run("local v = " + value + "; ::same <- dump(v) == dump(Test.Run(v));")) << value;
        EXPECT_TRUE(sq.GlobalBool("same")) << value;
    }
    EXPECT_TRUE(Warnings().empty());
}

// Strings go whole; contexts that break the rules still push one value per entry.
TEST_F(ScriptContextSquirrelTest, PushesOneValuePerEntry)
{
    ScriptContext everyKind;
    everyKind.AddInt(-5);
    everyKind.AddFloat(1.5f);
    everyKind.AddBool(true);
    everyKind.AddString(std::string("s\0t", 3));
    everyKind.types[4] = Null;
    const std::string twoValues = Make([](ScriptContext& c) { c.AddInt(1), c.AddInt(2); }).Pack();
    using Case = std::tuple<std::string, ScriptContext, std::string, std::vector<std::string>>;
    const std::vector<Case> cases = {
        {"every kind", everyKind, "5:integer:-5,float:1.5,true,\"s" + std::string(1, '\0') + "t\",null", {}},
        {"missing value", Make([](ScriptContext& c) { c.types[0] = Int; }), "1:null", {}},
        {"array that does not decode",
         WithArray(FromHex("92")),
         "1:null",
         {"[ScriptContext] Packet data deserialization failed: insufficient bytes."}},
        {"array position beyond any array",
         WithArray(PackedArray({{0, PackedInt(1)}, {0xFFFFFFFFFFFFFFFFull, PackedInt(2)}})),
         "1:[integer:1,null]",
         {}},
        {"array element of two values", WithArray(PackedArray({{0, twoValues}})), "1:[null]", {}},
    };
    for (const auto& [what, context, dumped, warnings] : cases)
    {
        log.Clear();
        EXPECT_EQ(Dumped(context), dumped) << what;
        EXPECT_EQ(Warnings(), warnings) << what;
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
            captured.Read(vm, 5); // stack slots that hold nothing append nothing
            captured.Read(vm, -5);
            ok = captured.ReadArrayElements(vm, 2);
            return ok ? 0 : -1;
        });
    ASSERT_TRUE(sq.Run("Test.Run(\"x\", [null, [1], { a = 1 }]);"));
    EXPECT_TRUE(ok);
    EXPECT_EQ(captured.types, (std::map<uint64_t, int32_t>{{0, String}, {1, Null}, {2, Array}, {3, Table}}));
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
    Capture(true);
    ASSERT_TRUE(sq.Run("local v = {}; local c = v; for (local i = 1; i < 70; i++) { c.n <- {}; c = c.n; }\n"
                       "::back <- dump(Test.Run(v));"));
    const std::string back = sq.GlobalString("back");
    EXPECT_EQ(std::count(back.begin(), back.end(), '{'), 64);
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

// Lua tables keep their integer keys in Squirrel; Squirrel arrays become Lua sequences.
TEST_F(ScriptContextSquirrelTest, ValuesCrossBetweenTheLanguagesThroughTheirPackedForm)
{
    ScriptContext received;
    SetTestBody(
        [&received](ScriptVM* vm)
        {
            if (vm->GetArgCount() == 0)
                received.Push(vm);
            else
                received.Read(vm, 1);
            return 1;
        });
    ASSERT_TRUE(lua.Run("Test.Run({ 10, 'a', x = 3, [2.5] = 'f', sub = { true } })"));
    ASSERT_TRUE(received.Unpack(received.Pack()));
    EXPECT_EQ(
        Dumped(received),
        "1:{\"sub\"={integer:1=true},\"x\"=integer:3,float:2.5=\"f\",integer:1=integer:10,integer:2=\"a\"}");

    Capture();
    ASSERT_TRUE(sq.Run("Test.Run([10, \"a\", [1], { k = null }]);"));
    ASSERT_TRUE(received.Unpack(captured.Pack()));
    ASSERT_TRUE(lua.Run("result = dump(Test.Run())"));
    EXPECT_EQ(lua.GlobalString("result"),
              "{integer:1=integer:10,integer:2=\"a\",integer:3={integer:1=integer:1},integer:4={}}");
}
} // namespace
