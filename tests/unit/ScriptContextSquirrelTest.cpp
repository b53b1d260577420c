// ScriptContext against a Squirrel VM: reading Squirrel values (arrays included) into a context,
// pushing contexts back as Squirrel values, and values crossing between Squirrel and Lua.

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
std::string PackedArray(const std::vector<std::pair<uint64_t, std::string>>& elements)
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

    void SetUp() override { ASSERT_TRUE(sq.Run(kSquirrelHelpers, "helpers.nut")); }

    // Test.Run reads its arguments into `captured`, sends them through their packed form and pushes
    // the first back.
    void Capture()
    {
        SetSquirrelTestBody(
            [this](ScriptVM* vm)
            {
                captured = ScriptContext();
                for (int32_t i = 1; i <= vm->GetArgCount(); ++i)
                    captured.Read(vm, i + 1);
                EXPECT_TRUE(captured.Unpack(captured.Pack()));
                captured.Push(vm);
                return 1;
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

TEST_F(ScriptContextSquirrelTest, ReadsValues)
{
    const std::string inner = WithArray(PackedArray({{0, PackedInt(2)}, {1, PackedInt(3)}})).Pack();
    const std::vector<std::pair<std::string, ScriptContext>> cases = {
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
}

// Values come back as they went; the element that would close a cycle keeps its position, as a null.
TEST_F(ScriptContextSquirrelTest, SquirrelValuesRoundTripThroughTheirPackedForm)
{
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"[null, true, 1.5, \"\", [[[]]], { a = 1 }]", "", ""},
        {"{ [1] = \"one\", [-7] = \"minus\", [0.5] = \"half\", [true] = \"yes\", [false] = \"no\" }", "", ""},
        {"[1]; v.append(v)", "[integer:1,null]",
         "[ScriptContext] Read - a table that contains itself is not supported"},
    };
    Capture();
    for (const auto& [value, back, warning] : cases)
    {
        log.Clear();
        ASSERT_TRUE(sq.Run("local v = " + value + "; ::back <- dump(Test.Run(v));" +
                           (back.empty() ? "::same <- dump(v) == ::back;" : "")));
        EXPECT_EQ(back.empty() ? sq.GlobalBool("same") : sq.GlobalString("back") == back, true) << value;
        EXPECT_EQ(Warnings(), warning.empty() ? std::vector<std::string>{} : std::vector{warning}) << value;
    }
}

// Strings go whole; contexts that break the rules still push one value per entry.
TEST_F(ScriptContextSquirrelTest, PushesOneValuePerEntry)
{
    const ScriptContext everyKind = Make(
        [](ScriptContext& c) { c.AddBool(true), c.AddString(std::string("s\0t", 3)), c.types[2] = Null; });
    using Case = std::tuple<std::string, ScriptContext, std::string>;
    const std::vector<Case> cases = {
        {"every kind", everyKind, "3:true,\"s" + std::string(1, '\0') + "t\",null"},
        {"missing value", Make([](ScriptContext& c) { c.types[0] = Int; }), "1:null"},
        {"array position beyond any array",
         WithArray(PackedArray({{0, PackedInt(1)}, {0xFFFFFFFFFFFFFFFFull, PackedInt(2)}})),
         "1:[integer:1,null]"},
        {"array positions out of order and repeated: the last one wins",
         WithArray(PackedArray({{1, PackedInt(2)}, {0, PackedInt(1)}, {1, PackedInt(3)}})),
         "1:[integer:1,integer:3]"},
    };
    for (const auto& [what, context, dumped] : cases)
        EXPECT_EQ(Dumped(context), dumped) << what;
    EXPECT_TRUE(Warnings().empty());
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
    ASSERT_TRUE(sq.Run("try { Test.Run(\"x\", { a = 1 }); } catch (e) { ::error <- e; }"));
    EXPECT_FALSE(ok);
    EXPECT_EQ(sq.GlobalString("error"), "Expected an array value");
    EXPECT_EQ(captured.Count(), 1u);
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
    ASSERT_TRUE(lua.Run("t = Test.Run() ok = #t == 4 and t[1] == 10 and t[2] == 'a' and t[3][1] == 1 and "
                        "next(t[3], 1) == nil and math.type(t[1]) == 'integer' and next(t[4]) == nil"));
    EXPECT_TRUE(lua.GlobalBool("ok"));
}
} // namespace
