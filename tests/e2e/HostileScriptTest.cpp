// Hostile and careless scripts against the real server binary: each row is one attack, written as a
// Lua and a Squirrel resource (either may be left out). All rows run in one server; afterwards the
// process must still run, a game client must still get its welcome and the console must still
// answer, and the log must show each row's expected line (the script error, or the script's own
// report that the attack came to nothing).

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Network/Packets.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{
using namespace std::chrono_literals;

struct HostileScript
{
    std::string name; // resource "<name>_lua" / "<name>_nut"
    std::string lua;  // empty: no Lua resource for this row
    std::string luaLog;
    std::string squirrel; // empty: no Squirrel resource for this row
    std::string squirrelLog;
};

// "$PORT" in a script stands for the server's own port (its HTTP front door answers loopback requests).
std::string WithPort(std::string script, uint16_t port)
{
    for (size_t at = script.find("$PORT"); at != std::string::npos; at = script.find("$PORT", at))
        script.replace(at, 5, std::to_string(port));
    return script;
}

void RunHostileScripts(const std::vector<HostileScript>& rows)
{
    ServerProcess server;
    ServerProcess::SettingsList settings;
    std::vector<std::string> expected;
    auto add = [&](const std::string& resource, const char* type, const char* file, const std::string& script,
                   const std::string& log)
    {
        if (script.empty())
            return;
        server.WriteFile("resources/" + resource + "/meta.xml", std::string("<meta type=\"") + type +
                                                                    "\"><script src=\"" + file +
                                                                    "\" type=\"server\"/></meta>");
        server.WriteFile("resources/" + resource + "/" + file, WithPort(script, server.Port()));
        settings.emplace_back("resource", resource);
        expected.push_back(log);
    };
    for (const HostileScript& row : rows)
    {
        add(row.name + "_lua", "lua", "main.lua", row.lua, row.luaLog);
        add(row.name + "_nut", "squirrel", "main.nut", row.squirrel, row.squirrelLog);
    }
    server.WriteSettings(settings);
    ASSERT_TRUE(server.Start());

    for (const std::string& text : expected)
        EXPECT_TRUE(server.WaitForLine(text, 15s)) << "expected: " << text << "\n" << server.OutputText();
    ASSERT_TRUE(server.IsRunning()) << server.OutputText();

    TestClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    EXPECT_TRUE(client.WaitFor<ServerInfoPacket>()) << server.OutputText();
    const std::string help = "[Help] List of commands:";
    const size_t helps = server.CountMessages(help);
    ASSERT_TRUE(server.WriteLine("help"));
    EXPECT_TRUE(server.WaitForCount(help, helps + 1)) << server.OutputText();
    EXPECT_TRUE(server.IsRunning()) << server.OutputText();
}

TEST(HostileScriptOnline, ServerKeepsServingWhateverScriptsDo)
{
    RunHostileScripts({
        {"native_upvalue",
         // Natives carry nothing a script could swap out from under them.
         R"lua(
local report = 'native upvalues: ' .. tostring((debug.setupvalue(Console.Log, 1, 12345))) .. ' ' ..
  tostring(debug.upvalueid(Console.Log, 1))
debug.setmetatable(Console.Log, {__index = function() error('tampered') end})
Console.Log(report)
)lua",
         "native upvalues: nil nil", "", ""},
        {"binary_chunk",
         R"lua(
local dumped = string.dump(function() return 'k' end)
local f, err = load(dumped)
local g, err2 = load(function() local piece = dumped; dumped = nil; return piece end)
Console.Log('binary chunks: ' .. tostring(f or g) .. ' ' .. err .. (err2 == err and '' or ' / ' .. err2))
)lua",
         "binary chunks: nil attempt to load a binary chunk (mode is 't')", "", ""},
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
         "attempt to call a nil value (field 'getregistry') / thread still runs", "", ""},
        {"process",
         // No shell commands, and no reading of the console's standard input.
         R"lua(
pcall(io.popen, 'echo hijacked > hijacked.txt')
Console.Log('popen: ' .. tostring(io.popen) .. ' / stdin: ' .. tostring(io.stdin) .. ' ' ..
  tostring(io.read()) .. ' ' .. tostring((io.lines()())))
)lua",
         "popen: nil / stdin: nil nil nil", "", ""},
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
    });
}

} // namespace
