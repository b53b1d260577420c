// Resources against the real server binary: start-up lines, what a client is told and downloads,
// what it hears of resources started and stopped from the console, and events between the client and
// a Lua script.

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "RawHttp.h"
#include "Scripting/ScriptContext.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{
constexpr std::chrono::seconds kWait{20};

TEST(Resources, Online)
{
    ServerProcess server;
    server.WriteFile("resources/demo/meta.xml", R"(<meta type="lua">
  <script src="server.lua" type="server"/><file src="a.txt"/><script src="ui/main.lua" type="client"/>
  <export function="serverFn" type="server"/><script src="shared.lua" type="shared"/>
  <export function="clientFn" type="client"/><file src="img/logo.png"/><export function="sharedFn" type="shared"/>
</meta>)");
    server.WriteFile("resources/demo/server.lua", R"(
Events.Subscribe('ping', function(a, b) print('script: remote ping ' .. tostring(a) .. ' ' .. tostring(b)) end, true)
Events.Subscribe('ping', function() end) -- local only
Events.Subscribe('playerDisconnect', function(...) print('script: playerDisconnect ' .. table.concat({...}, ' ')) end)
)");
    for (const std::string file :
         {"demo/a.txt", "demo/ui/main.lua", "demo/shared.lua", "demo/img/logo.png", "late/l.txt"})
        server.WriteFile("resources/" + file, "-- " + file);
    server.WriteFile("resources/late/meta.xml", R"(<meta type="lua"><file src="l.txt"/></meta>)");
    ServerProcess::SettingsList settings = {{"secret", "s"}};
    for (const char* name : {"", "demo", "demo", "ghost"})
        settings.emplace_back("resource", name);
    server.WriteSettings(settings);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage("[Server] Failed to load resource ghost.", kWait));

    // An empty entry is passed over silently; a repeated one can't be created; a missing one can't load.
    std::string lines;
    for (const std::string& message : server.Messages())
        lines += message.find(" resource ") != std::string::npos ? message + "\n" : "";
    EXPECT_EQ(lines, "[Server] Loading resource demo.\n[Resource] Started resource demo.\n"
                     "[Server] Successfully loaded resource demo.\n[Server] Loading resource demo.\n"
                     "[Server] Failed to create resource demo.\n[Server] Loading resource ghost.\n"
                     "[Resource] Could not find meta.xml for resource ghost (path: " +
                         (server.Folder() / "resources/ghost/meta.xml").string() +
                         ").\n[Server] Failed to load resource ghost.\n");

    // A client that joins hears of every started resource: client-side files and exports only. Each
    // download sums to its checksum; the welcome carries the secret that opens the scripts.
    TestClient client;
    ASSERT_TRUE(client.Connect(server.Port(), kWait));
    ASSERT_EQ(client.WaitFor<ServerInfoPacket>({}, kWait).value_or(ServerInfoPacket{}).secret, "s");
    client.Send(ClientInfoPacket{"alice"});
    const auto info = client.WaitFor<ResourceInfoPacket>({}, kWait);
    ASSERT_TRUE(info) << server.OutputText();
    std::string listed = info->name + " " + std::to_string(info->scriptType);
    for (const auto& [index, path] : info->paths)
    {
        listed += " " + path + ":" + std::to_string(info->kinds.at(index));
        const std::string body = RawHttpRequest(server.Port(), BuildRawRequest("GET", "/demo/" + path)).body;
        EXPECT_EQ(body.size(), ("-- demo/" + path).size() + (info->kinds.at(index) == 3 ? 0 : 16)) << path;
        EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size()),
                  info->checksums.at(index));
    }
    EXPECT_EQ(listed, "demo 0 ui/main.lua:0 shared.lua:2 a.txt:3 img/logo.png:3");
    EXPECT_EQ(info->exports, (std::vector<std::string>{"clientFn", "sharedFn"}));
    for (const std::string target : {"/demo/server.lua", "/demo/meta.xml", "/demo/../settings.xml"})
        EXPECT_EQ(RawHttpRequest(server.Port(), BuildRawRequest("GET", target)).status, 404) << target;

    // A client already there hears of a resource started from the console, and of its stop.
    ASSERT_TRUE(server.WriteLine("start late"));
    EXPECT_TRUE(client.WaitFor<ResourceInfoPacket>([](const auto& p) { return p.name == "late"; }, kWait));
    ASSERT_TRUE(server.WriteLine("stop late"));
    EXPECT_TRUE(client.WaitFor<ResourceStopPacket>([](const auto& p) { return p.name == "late"; }, kWait));

    // Remote events reach only handlers that allow them; unreadable arguments are dropped.
    ScriptContext args;
    args.AddInt(5), args.AddString("five");
    client.Send(EventTriggerPacket{"ping", args.Pack()});
    EXPECT_TRUE(server.WaitForLine("script: remote ping 5 five", kWait)) << server.OutputText();
    EXPECT_TRUE(server.WaitForMessage(
        "[ResourceEvent] A handler of event ping in resource demo doesn't allow to be triggered remotely.",
        kWait));
    client.Send(EventTriggerPacket{"ping", "\xc1"});
    EXPECT_TRUE(server.WaitForLine("script: remote ping nil nil", kWait)) << server.OutputText();
    ASSERT_TRUE(client.Disconnect(0, kWait));
    EXPECT_TRUE(server.WaitForLine("script: playerDisconnect 1 alice 0", kWait)) << server.OutputText();
}

} // namespace
