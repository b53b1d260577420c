// ScriptContext against a Lua VM: reading script values into a context, pushing contexts back as
// script values, and what happens to received contexts that break the rules.

#include <algorithm>
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
// dump gives a canonical text of values (table keys sorted).
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
)lua";

template <typename Fill> ScriptContext Make(Fill fill)
{
    ScriptContext context;
    fill(context);
    return context;
}

std::string Packed(int32_t value)
{
    return Make([value](ScriptContext& c) { c.AddInt(value); }).Pack();
}

std::string Packed(const std::string& value)
{
    return Make([&value](ScriptContext& c) { c.AddString(value); }).Pack();
}

// A packed table built independently of the code under test, wrapped in a context.
ScriptContext WithTable(const std::vector<std::string>& keys, const std::vector<std::string>& values)
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
    return Make([&buffer](ScriptContext& c) { c.types[0] = Table, c.tables[0] = buffer.data; });
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

    void SetUp() override { ASSERT_TRUE(lua.Run(kHelpers, "helpers.lua")); }

    // Test.Run pushes `push`, or else reads its arguments into `captured` and pushes them back.
    std::string Dumped(const std::string& arguments, const ScriptContext* push = nullptr)
    {
        SetTestBody(
            [this, push](ScriptVM* vm)
            {
                captured = ScriptContext();
                for (int32_t i = 1; push == nullptr && i <= vm->GetArgCount(); ++i)
                    captured.Read(vm, i);
                (push != nullptr ? *push : captured).Push(vm);
                return static_cast<int32_t>((push != nullptr ? *push : captured).Count());
            });
        EXPECT_TRUE(lua.Run("result = dumpAll(Test.Run(" + arguments + "))")) << arguments;
        return lua.GlobalString("result");
    }
    // The warnings logged, and those expected: none, or just `text`.
    std::vector<std::string> Warnings() const { return log.Messages(spdlog::level::warn); }
    static std::vector<std::string> Only(const std::string& text)
    {
        return text.empty() ? std::vector<std::string>{}
                            : std::vector<std::string>{"[ScriptContext] " + text};
    }
};

TEST_F(ScriptContextLuaTest, ReadsValuesAndSkipsUnsupportedOnes)
{
    const std::vector<std::pair<std::string, ScriptContext>> cases = {
        {"4294967297", Make([](ScriptContext& c) { c.AddInt(1); })},
        {"'a\\0b'", Make([](ScriptContext& c) { c.AddString("a"); })},
        // The packed table of the field x holding true, byte for byte.
        {"{ x = true }",
         WithTable(FromHex("92 91 ad 97 81 00 07 80 80 80 81 00 a1 78 80 80 91 ac 97 81 00 04 80 80 81 00 c3 "
                           "80 80 80"))},
        {"1, print, io.stdout, 2", Make([](ScriptContext& c) { c.AddInt(1), c.AddInt(2); })},
    };
    for (const auto& [arguments, expected] : cases)
        EXPECT_EQ((Dumped(arguments), captured.Pack()), expected.Pack()) << arguments;
    EXPECT_EQ(Warnings(),
              (std::vector<std::string>{"[ScriptContext] Read - unsupported argument type: function",
                                        "[ScriptContext] Read - unsupported argument type: userdata"}));
}

// Zero bytes cut strings; contexts that break the rules still push one value per entry.
TEST_F(ScriptContextLuaTest, PushesOneValuePerEntry)
{
    const std::string a = Packed("a"), one = Packed(1);
    const std::string nilKey = Make([](ScriptContext& c) { c.types[0] = Null; }).Pack();
    const std::string twoValues = Make([](ScriptContext& c) { c.AddInt(1), c.AddInt(2); }).Pack();
    using Case = std::tuple<ScriptContext, std::string, std::string>;
    const std::vector<Case> cases = {
        {Make([](ScriptContext& c) { c.AddInt(-5), c.AddFloat(1.5f), c.AddString(std::string("s\0t", 3)); }),
         "3:integer:-5 float:1.5 \"s\"", ""},
        {Make([](ScriptContext& c) { c.types[0] = 9; }), "1:nil", "Push - unsupported argument type: 9"},
        {WithTable(FromHex("c1")), "1:nil", "Packet data deserialization failed: parse error."},
        {WithTable({a, Packed("b")}, {one}), "1:{\"a\"=integer:1}", ""},
        {WithTable({nilKey, a}, {one, one}), "1:{\"a\"=integer:1}", ""},
        {WithTable({a}, {twoValues}), "1:{}", ""},
    };
    for (const auto& [context, dumped, warning] : cases)
    {
        log.Clear();
        EXPECT_EQ(Dumped("", &context), dumped);
        EXPECT_EQ(Warnings(), Only(warning));
        EXPECT_EQ(lua_gettop(lua.L()), 0);
    }
}

TEST_F(ScriptContextLuaTest, NestingIsBoundedAndSelfContainingTablesAreRefused)
{
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"v = {} local c = v for i = 2, 65 do c.n = {} c = c.n end", 64,
         "Read - tables nested deeper than 64 levels are not supported"},
        {"v = { n = { x = 1 } } v.n.n = v", 2, "Read - a table that contains itself is not supported"},
        // The same table twice, side by side, is no cycle.
        {"local s = { 1 } v = { a = s, b = s, n = { n = s } }", 5, ""},
    };
    for (const auto& [build, tables, warning] : cases)
    {
        log.Clear();
        ASSERT_TRUE(lua.Run(build)) << build;
        const std::string back = Dumped("v");
        EXPECT_EQ(std::count(back.begin(), back.end(), '{'), tables) << build;
        EXPECT_EQ(Warnings(), Only(warning));
    }
    // A received table 70 levels deep is cut at the same bound on the way out.
    log.Clear();
    ScriptContext nested = WithTable({Packed("n")}, {Packed("leaf")});
    for (int level = 0; level < 69; ++level)
        nested = WithTable({Packed("n")}, {nested.Pack()});
    const std::string back = Dumped("", &nested);
    EXPECT_EQ(std::count(back.begin(), back.end(), '{'), 64);
    EXPECT_EQ(Warnings(), Only("Push - tables nested deeper than 64 levels are not supported"));
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
