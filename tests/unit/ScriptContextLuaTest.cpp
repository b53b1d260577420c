// ScriptContext against a Lua VM: reading script values into a context, pushing contexts back as
// script values, and what happens to received contexts that break the rules.

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "Bytes.h"
#include "LogCapture.h"
#include "LuaTestVM.h"
#include "Network/MessagePack.h"
#include "Scripting/ScriptContext.h"

namespace
{
// dump gives a canonical text of values (table keys sorted); depth counts the tables in a value.
const char* kHelpers = R"lua(
function dump(v)
    if type(v) == "string" then return string.format("%q", v) end
    if type(v) == "number" then return math.type(v) .. ":" .. tostring(v) end
    if type(v) ~= "table" then return tostring(v) end
    local parts = {}
    for k, e in pairs(v) do parts[#parts + 1] = dump(k) .. "=" .. dump(e) end
    table.sort(parts)
    return "{" .. table.concat(parts, ",") .. "}"
end
function dumpAll(...)
    local parts = {}
    for i = 1, select("#", ...) do parts[i] = dump((select(i, ...))) end
    return select("#", ...) .. ":" .. table.concat(parts, " ")
end
function depth(v) return select(2, dump(v):gsub("{", "")) end
)lua";

template <typename Fill> ScriptContext Make(Fill fill)
{
    ScriptContext context;
    fill(context);
    return context;
}

std::string PackedString(const std::string& value)
{
    return Make([&value](ScriptContext& c) { c.AddString(value); }).Pack();
}

// A packed table built independently of the code under test.
std::string PackedTable(const std::vector<std::string>& keys, const std::vector<std::string>& values)
{
    MessagePack::StringBuffer buffer;
    MessagePack::Packer packer(buffer);
    packer.pack_array(2);
    for (const std::vector<std::string>* list : {&keys, &values})
    {
        packer.pack_array(static_cast<uint32_t>(list->size()));
        for (const std::string& item : *list)
            MessagePack::PackStr(packer, item);
    }
    return buffer.data;
}

ScriptContext WithTable(const std::string& packed)
{
    return Make([&packed](ScriptContext& c) { c.types[0] = Table, c.tables[0] = packed; });
}

class ScriptContextLuaTest : public ::testing::Test
{
protected:
    LogCapture log;
    LuaTestVM lua;
    ScriptContext captured;
    ScriptContext toPush;

    void SetUp() override { ASSERT_TRUE(lua.Run(kHelpers, "helpers.lua")); }

    // Test.Run reads its arguments into `captured`, and pushes them back when `echo` is set.
    void Capture(bool echo = false)
    {
        SetTestBody(
            [this, echo](ScriptVM* vm)
            {
                captured = ScriptContext();
                for (int32_t i = 1; i <= vm->GetArgCount(); ++i)
                    captured.Read(vm, i);
                if (echo)
                    captured.Push(vm);
                return echo ? static_cast<int32_t>(captured.Count()) : 0;
            });
    }
    // Test.Run pushes `context`.
    void Pushes(const ScriptContext& context)
    {
        toPush = context;
        SetTestBody(
            [this](ScriptVM* vm)
            {
                toPush.Push(vm);
                return static_cast<int32_t>(toPush.Count());
            });
    }
    std::string Dumped(const ScriptContext& context)
    {
        Pushes(context);
        EXPECT_TRUE(lua.Run("result = dumpAll(Test.Run())"));
        return lua.GlobalString("result");
    }
    std::vector<std::string> Warnings() const { return log.Messages(spdlog::level::warn); }
};

TEST_F(ScriptContextLuaTest, ReadsValuesAndSkipsUnsupportedOnes)
{
    const std::vector<std::pair<std::string, ScriptContext>> cases = {
        {"nil", Make([](ScriptContext& c) { c.types[0] = Null; })},
        {"4294967297", Make([](ScriptContext& c) { c.AddInt(1); })},
        {"math.tointeger(2^31)",
         Make([](ScriptContext& c) { c.AddInt(std::numeric_limits<int32_t>::min()); })},
        {"0.1", Make([](ScriptContext& c) { c.AddFloat(0.1f); })},
        {"1e300", Make([](ScriptContext& c) { c.AddFloat(std::numeric_limits<float>::infinity()); })},
        {"'a\\0b'", Make([](ScriptContext& c) { c.AddString("a"); })},
        // The packed table of the field x holding true, byte for byte.
        {"{ x = true }",
         WithTable(FromHex("92 91 ad 97 81 00 07 80 80 80 81 00 a1 78 80 80 91 ac 97 81 00 04 80 80 81 00 c3 "
                           "80 80 80"))},
    };
    Capture();
    for (const auto& [expression, expected] : cases)
    {
        ASSERT_TRUE(lua.Run("Test.Run(" + expression + ")")) << expression;
        EXPECT_EQ(captured.Pack(), expected.Pack()) << expression;
    }
    ASSERT_TRUE(lua.Run("Test.Run(1, print, io.stdout, 2)"));
    EXPECT_EQ(captured.ints, (std::map<uint64_t, int32_t>{{0, 1}, {1, 2}}));
    EXPECT_EQ(Warnings(),
              (std::vector<std::string>{"[ScriptContext] Read - unsupported argument type: function",
                                        "[ScriptContext] Read - unsupported argument type: userdata"}));
}

TEST_F(ScriptContextLuaTest, LuaValuesRoundTrip)
{
    const std::vector<std::string> values = {
        "{ a = 1, b = 'two', c = 3.5, d = true, e = false, s = '' }",
        "{ nested = { deeper = { deepest = 'x' } }, list = { 10, 20 }, empty = { { {} } } }",
        "{ [1] = 'one', [3] = 'three', [-7] = 'minus', [0.5] = 'half', [true] = 'yes', [false] = 'no' }",
    };
    Capture(true);
    for (const std::string& value : values)
    {
        ASSERT_TRUE(lua.Run("v = " + value +
                            " a, b = Test.Run(1, v) same = dump(v) == dump(b) and math.type(a) == 'integer'"))
            << value;
        EXPECT_TRUE(lua.GlobalBool("same")) << value;
    }
    EXPECT_TRUE(Warnings().empty());
}

// Zero bytes cut strings; contexts that break the rules still push one value per entry.
TEST_F(ScriptContextLuaTest, PushesOneValuePerEntry)
{
    ScriptContext everyKind;
    everyKind.AddInt(-5);
    everyKind.AddFloat(1.5f);
    everyKind.AddBool(true);
    everyKind.AddString(std::string("s\0t", 3));
    everyKind.types[4] = Null;
    const std::string a = PackedString("a");
    const std::string one = Make([](ScriptContext& c) { c.AddInt(1); }).Pack();
    const std::string twoValues = Make([](ScriptContext& c) { c.AddInt(1), c.AddInt(2); }).Pack();
    const std::string nilKey = Make([](ScriptContext& c) { c.types[0] = Null; }).Pack();
    const std::string nanKey = Make([](ScriptContext& c) { c.AddFloat(std::nanf("")); }).Pack();
    using Case = std::tuple<std::string, ScriptContext, std::string, std::vector<std::string>>;
    const std::vector<Case> cases = {
        {"every kind", everyKind, "5:integer:-5 float:1.5 true \"s\" nil", {}},
        {"unknown type code",
         Make([](ScriptContext& c) { c.types[0] = 9; }),
         "1:nil",
         {"[ScriptContext] Push - unsupported argument type: 9"}},
        {"table that does not decode",
         WithTable(FromHex("c1")),
         "1:nil",
         {"[ScriptContext] Packet data deserialization failed: parse error."}},
        {"table of the wrong form",
         WithTable(FromHex("91 05")),
         "1:nil",
         {"[ScriptContext] Packet data deserialization failed: bad cast."}},
        {"fewer values than keys",
         WithTable(PackedTable({a, PackedString("b")}, {one})),
         "1:{\"a\"=integer:1}",
         {}},
        {"nil key", WithTable(PackedTable({nilKey, a}, {one, one})), "1:{\"a\"=integer:1}", {}},
        {"NaN key", WithTable(PackedTable({nanKey, a}, {one, one})), "1:{\"a\"=integer:1}", {}},
        {"value of two values", WithTable(PackedTable({a}, {twoValues})), "1:{}", {}},
    };
    for (const auto& [what, context, dumped, warnings] : cases)
    {
        log.Clear();
        EXPECT_EQ(Dumped(context), dumped) << what;
        EXPECT_EQ(Warnings(), warnings) << what;
        EXPECT_EQ(lua_gettop(lua.L()), 0) << what;
    }
}

TEST_F(ScriptContextLuaTest, NestingIsBoundedAndSelfContainingTablesAreRefused)
{
    const std::string read = "[ScriptContext] Read - ";
    auto chain = [](int levels)
    { return "v = {} local c = v for i = 2, " + std::to_string(levels) + " do c.n = {} c = c.n end"; };
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {chain(64), 64, ""},
        {chain(65), 64, read + "tables nested deeper than 64 levels are not supported"},
        {"v = { n = { x = 1 } } v.n.n = v", 2, read + "a table that contains itself is not supported"},
        // The same table twice, side by side, is no cycle.
        {"local s = { 1 } v = { a = s, b = s, n = { n = s } }", 5, ""},
    };
    Capture(true);
    for (const auto& [build, tables, warning] : cases)
    {
        log.Clear();
        ASSERT_TRUE(lua.Run(build + " d = depth(Test.Run(v))")) << build;
        EXPECT_EQ(lua.GlobalInt("d"), tables) << build;
        EXPECT_EQ(Warnings(), warning.empty() ? std::vector<std::string>{} : std::vector{warning}) << build;
    }
    // A received table 70 levels deep is cut at the same bound on the way out.
    std::string packed = PackedTable({PackedString("n")}, {PackedString("leaf")});
    for (int level = 0; level < 69; ++level)
        packed = PackedTable({PackedString("n")}, {WithTable(packed).Pack()});
    Pushes(WithTable(packed));
    ASSERT_TRUE(lua.Run("d = depth(Test.Run())"));
    EXPECT_EQ(lua.GlobalInt("d"), 64);
    EXPECT_EQ(Warnings(),
              std::vector<std::string>{
                  "[ScriptContext] Push - tables nested deeper than 64 levels are not supported"});
}

TEST_F(ScriptContextLuaTest, ReadArrayElementsTakesTheSequenceOnly)
{
    bool ok = false;
    SetTestBody(
        [this, &ok](ScriptVM* vm)
        {
            captured = ScriptContext();
            captured.AddString("before");
            ok = captured.ReadArrayElements(vm, 2);
            return ok ? 0 : -1;
        });
    ASSERT_TRUE(lua.Run("Test.Run('x', { 10, nil, 'a', x = 5 })"));
    EXPECT_TRUE(ok);
    EXPECT_EQ(captured.types, (std::map<uint64_t, int32_t>{{0, String}, {1, Int}, {2, Null}, {3, String}}));
    ASSERT_TRUE(lua.Run("ok, err = pcall(Test.Run, 'x', 5)"));
    EXPECT_FALSE(ok);
    EXPECT_EQ(lua.GlobalString("err"), "bad argument #2 to '?' (table expected, got number)");
    EXPECT_EQ(captured.Count(), 1u);
}
} // namespace
