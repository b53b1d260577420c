// Hostile and careless scripts against the real server binary. Each row is a script that once ended
// the process, hung its main loop or grew it until it was killed; now each must leave a log line
// that shows what the script was refused or that it went through, while the server goes on serving:
// the process lives, a game client gets its welcome and the console answers `help`. All rows share
// one server: each row's resources are independent of the others'.

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Network/PacketWriter.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{
using namespace std::chrono_literals;

// One hostile script per language (either may be null). A row named N runs as the resource N_lua or
// N_nut; the expected text is part of a line that the script's run must leave in the log.
struct HostileRow
{
    const char* name;
    const char* lua;
    const char* luaLog;
    const char* squirrel;
    const char* squirrelLog;
};

// Resources the rows call into, loaded before them: a ring of Lua resources (lring0 to lring7) and
// one of Squirrel resources (sring0 to sring7) whose export f(d, stop) calls the next one's f with
// d + 1 until d reaches stop (never for a negative stop). With eight members no VM reaches its own
// nesting limit first; the refused call nests 201 deep and so lands in member 200 % 8 = 0.
constexpr int kRingSize = 8;
const char* kLuaRing = R"lua(
function f(d, stop) if d == stop then return d end return exports.lring%NEXT%:f(d + 1, stop) end
function many(n) local t = {} for i = 1, n do t[i] = i end return table.unpack(t) end
)lua";
const char* kSquirrelRing = R"nut(
function f(d, stop) { return d == stop ? d : exports.sring%NEXT%.f(d + 1, stop); }
)nut";

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer follows calls on a stack of its own that holds some 64,000 frames, too few for
// the recursion that frees a million nested tables.
#define LNF_DEEP_NODES "20000"
#else
#define LNF_DEEP_NODES "1000000"
#endif

const HostileRow kRows[] = {
    // Exports calling each other around a ring nest until the bound on calls across VMs refuses one.
    {"ring", "pcall(function() return exports.lring0:f(0, -1) end)",
     "[ScriptVM] Call into resource lring0 refused: script calls nested too deeply across resources.",
     "try { exports.sring0.f(0, -1); } catch (e) {}",
     "[ScriptVM] Call into resource sring0 refused: script calls nested too deeply across resources."},
    // A legitimate chain of 100 nested calls across resources goes through.
    {"chain", "Console.Log('chain ' .. exports.lring0:f(0, 100))", "[Script] chain_lua: chain 100",
     "Console.Log(\"chain \" + exports.sring0.f(0, 100));", "[Script] chain_nut: chain 100"},
    // Many values pushed onto a Squirrel stack at once (export results, handler arguments, the
    // library's acall and thread.call) arrive whole, and a local captured before still reads right.
    {"many", nullptr, nullptr, R"nut(
local x = 1;
local get = function() { return x; };
local args = 0;
Events.Subscribe("manyArgs", function(...) { args = vargv.len(); });
Events.Call("manyArgs", array(5000, 7));
local counted = function(...) { return vargv.len(); };
local thread = newthread(counted);
local threadArgs = [thread];
threadArgs.extend(array(5000, 7));
local results = [Resource.Call("lring0", "many", [5000]), exports.lring0.many(2000), args,
                 counted.acall(array(20000, 7)), thread.call.acall(threadArgs)];
x = 2;
Console.Log("many " + results.reduce(@(a, b) a + " " + b) + " captured " + get());
)nut",
     "[Script] many_nut: many 5000 2000 5000 19999 5000 captured 2"},
    // suspend() on the resource's own VM is refused; in a script thread it still works.
    {"suspend", nullptr, nullptr, R"nut(
local refused = "";
try { suspend(); } catch (e) { refused = e; }
Thread.Create(function() { suspend(); Console.Log("refused: " + refused + " thread woke"); });
)nut",
     "[Script] suspend_nut: refused: suspend was used outside of a thread. thread woke"},
    // Unbounded recursion is stopped by the call depth bound; a tail call runs on.
    {"recursion", nullptr, nullptr, R"nut(
function f(n) { return 1 + f(n + 1); }
function tail(n) { if (n == 0) return "done"; return tail(n - 1); }
try { f(0); } catch (e) { Console.Log("recursion " + e + ", tail call " + tail(300000)); }
)nut",
     "[Script] recursion_nut: recursion stack overflow, tail call done"},
    // Script threads calling each other nest VMs like resources do.
    {"threads", nullptr, nullptr, R"nut(
local next = null;
for (local i = 0; i < 1000; i++) {
    local inner = next;
    next = newthread(function() { return inner == null ? 0 : inner.call(); });
}
try { next.call(); } catch (e) { Console.Log("threads " + e); }
)nut",
     "[Script] threads_nut: threads script calls nested too deeply across resources"},
    // A deeply nested script does not overflow the compiler.
    {"compile", nullptr, nullptr, R"nut(
local open = "(", close = ")";
while (open.len() < 100000) { open += open; close += close; }
try { compilestring("return " + open + "1" + close); } catch (e) { Console.Log("compile " + e); }
)nut",
     "[Script] compile_nut: compile script nested too deeply"},
    // Structures a million deep are collected and released.
    {"deep",
     "local t = nil for i = 1, 1000000 do t = {next = t} end collectgarbage() t = nil collectgarbage() "
     "Console.Log('released')",
     "[Script] deep_lua: released",
     "local head = null;\n"
     "for (local i = 0; i < " LNF_DEEP_NODES "; i++) head = {next = head};\n"
     R"nut(
collectgarbage();
head = null;
Console.Log("released");
)nut",
     "[Script] deep_nut: released"},
    // Precompiled closures, which Squirrel loads unchecked, are refused; source files still load.
    {"bytecode", nullptr, nullptr, R"nut(
writeclosuretofile("compiled.cnut", function() { return 1; });
try { loadfile("compiled.cnut"); } catch (e) { Console.Log(e + ", source " + typeof loadfile("resources/bytecode_nut/main.nut")); }
)nut",
     "[Script] bytecode_nut: attempt to load a precompiled script, source function"},
    // No shell commands, file removal or renaming, or environment from the system library.
    {"system", nullptr, nullptr, R"nut(
local gone = "";
foreach (name in ["system", "remove", "rename", "getenv", "clock", "time", "date"])
    if (!(name in getroottable())) gone += " " + name;
Console.Log("removed" + gone);
)nut",
     "[Script] system_nut: removed system remove rename getenv"},
    {"native_upvalue",
     // Natives carry nothing a script could swap out from under them.
     R"lua(
local report = 'native upvalues: ' .. tostring((debug.setupvalue(Console.Log, 1, 12345))) .. ' ' ..
  tostring(debug.upvalueid(Console.Log, 1))
debug.setmetatable(Console.Log, {__index = function() error('tampered') end})
Console.Log(report)
)lua",
     "native upvalues: nil nil", nullptr, nullptr},
    {"binary_chunk",
     R"lua(
local dumped = string.dump(function() return 'k' end)
local f, err = load(dumped)
local g, err2 = load(function() local piece = dumped; dumped = nil; return piece end)
Console.Log('binary chunks: ' .. tostring(f or g) .. ' ' .. err .. (err2 == err and '' or ' / ' .. err2))
)lua",
     "binary chunks: nil attempt to load a binary chunk (mode is 't')", nullptr, nullptr},
    {"thread_registry",
     R"lua(
local attack = '?'
Thread.Create(function() Thread.Pause(20) Console.Log(attack .. ' / thread still runs') end)
local ok, err = pcall(function()
  local registry = debug.getregistry()
  for k, v in pairs(registry) do if type(v) == 'thread' then registry[k] = nil end end
end)
attack = tostring(err)
collectgarbage()
)lua",
     "attempt to call a nil value (field 'getregistry') / thread still runs", nullptr, nullptr},
    {"process",
     // No shell commands, and no reading of the console's standard input.
     R"lua(
pcall(io.popen, 'echo hijacked > hijacked.txt')
Console.Log('popen: ' .. tostring(io.popen) .. ' / stdin: ' .. tostring(io.stdin) .. ' ' ..
  tostring(io.read()) .. ' ' .. tostring((io.lines()())))
)lua",
     "popen: nil / stdin: nil nil nil", nullptr, nullptr},
    {"callback_memory",
     // 500 one-shot callbacks capturing 100 KB each, plus as many whose request is refused (the
     // method is case-sensitive): once they have run or been dropped, their memory is free again.
     R"lua(
local url, total, done = 'http://127.0.0.1:$PORT/query', 500, 0
collectgarbage() collectgarbage()
local before = collectgarbage('count')
for i = 1, total do
  local capture = string.rep('x', 100000) .. i
  HTTP.RequestAsync(url, 'get', '', '', {}, function()
done = done + 1
if done == total and #capture > 0 then
  collectgarbage() collectgarbage()
  local growth = math.floor(collectgarbage('count') - before)
  Console.Log(growth < 2048 and 'lua callbacks let go' or ('lua callbacks hold ' .. growth .. ' KB'))
end
  end)
  HTTP.RequestAsync(url, 'GET', '', '', {}, function() return capture end)
end
)lua",
     "lua callbacks let go",
     // Weak references read from an array give the closure, or null once it is freed.
     R"nut(
local url = "http://127.0.0.1:$PORT/query", total = 500, state = {done = 0}, refs = [];
for (local i = 0; i < total; i++) {
  local callback = function(status, text) { state.done++; };
  local refused = function(status, text) {};
  refs.append(callback.weakref());
  refs.append(refused.weakref());
  HTTP.RequestAsync(url, "get", "", "", {}, callback);
  HTTP.RequestAsync(url, "GET", "", "", {}, refused);
}
Thread.Create(function() {
  while (state.done < total) Thread.Pause(10);
  Thread.Pause(10);
  local held = 0;
  foreach (callback in refs) if (callback != null) held++;
  Console.Log("squirrel callbacks held: " + held);
});
)nut",
     "squirrel callbacks held: 0"},
};

std::string Meta(bool lua, const std::string& exports = "")
{
    return std::string("<meta type=\"") + (lua ? "lua" : "squirrel") + "\"><script src=\"main." +
           (lua ? "lua" : "nut") + "\" type=\"server\"/>" + exports + "</meta>";
}

// "$PORT" in a script stands for the server's own port (its HTTP front door answers loopback requests).
std::string WithPort(std::string script, uint16_t port)
{
    for (size_t at = script.find("$PORT"); at != std::string::npos; at = script.find("$PORT", at))
        script.replace(at, 5, std::to_string(port));
    return script;
}

std::string RingScript(std::string text, int member)
{
    const std::string next = std::to_string((member + 1) % kRingSize);
    for (size_t at = text.find("%NEXT%"); at != std::string::npos; at = text.find("%NEXT%"))
        text.replace(at, 6, next);
    return text;
}

TEST(HostileScripts, ServerKeepsServingAndLogsWhatWasRefused)
{
    ServerProcess server;
    ServerProcess::SettingsList settings;
    auto add =
        [&](const std::string& name, bool lua, const std::string& script, const std::string& exports = "")
    {
        server.WriteFile("resources/" + name + "/meta.xml", Meta(lua, exports));
        server.WriteFile("resources/" + name + "/main." + (lua ? "lua" : "nut"),
                         WithPort(script, server.Port()));
        settings.emplace_back("resource", name);
    };
    for (int i = 0; i < kRingSize; ++i)
    {
        add("lring" + std::to_string(i), true, RingScript(kLuaRing, i),
            R"(<export function="f" type="server"/><export function="many" type="server"/>)");
        add("sring" + std::to_string(i), false, RingScript(kSquirrelRing, i),
            R"(<export function="f" type="server"/>)");
    }
    std::vector<std::string> expected;
    for (const HostileRow& row : kRows)
    {
        if (row.lua != nullptr)
            add(std::string(row.name) + "_lua", true, row.lua);
        if (row.squirrel != nullptr)
            add(std::string(row.name) + "_nut", false, row.squirrel);
        for (const char* line : {row.luaLog, row.squirrelLog})
            if (line != nullptr)
                expected.emplace_back(line);
    }
    server.WriteSettings(settings);
    ASSERT_TRUE(server.Start());

    for (const std::string& line : expected)
        EXPECT_TRUE(server.WaitForLine(line, 60s)) << line << "\n" << server.OutputText();
    ASSERT_TRUE(server.IsRunning()) << server.OutputText();

    TestClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    EXPECT_TRUE(client.WaitFor<ServerInfoPacket>());
    ASSERT_TRUE(server.WriteLine("help"));
    EXPECT_TRUE(server.WaitForMessage("[Help] List of commands:")) << server.OutputText();
    EXPECT_TRUE(server.IsRunning());
}
} // namespace
