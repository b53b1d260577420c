// Squirrel resources against the real server binary: events from and to game clients, the built-in
// events, the Chat, Player, Session, Events, Resource and Thread functions, and exports between a
// Squirrel and a Lua resource in both directions. Scripts report each action through Console.Log as
// "<action> ok|error <result count> <results>", and threads and events through print.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "Network/PacketWriter.h"
#include "Scripting/ScriptContext.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{
using namespace std::chrono_literals;

const char* kApiScript = R"nut(
function text(v) {
    return v == null ? "null" : "" + v;
}
function report(label, ok, results) {
    local line = "";
    foreach (i, r in results)
        line += (i > 0 ? "|" : "") + text(r);
    Console.Log(label + " " + (ok ? "ok" : "error") + " " + results.len() + " " + line);
}

actions <- {
    chat = function(me, arg) { Chat.SendMessage(me, "hello " + Player.GetName(me)); return []; },
    broadcast = function(me, arg) { Chat.BroadcastMessage("to all: " + arg); return []; },
    name = function(me, name) { return [Player.SetName(me, name)]; },
    longName = function(me, arg) { Player.SetName(me, "nineteen characters"); return []; },
    session = function(me, id) {
        Player.SetSession(me, id);
        return [Player.GetSession(me), Session.GetSize(id), Session.GetHostID(id), Player.IsSessionActive(me),
                Session.GetActivePlayers(id).len()];
    },
    remote = function(me, arg) {
        Events.CallRemote("answer", me, [me, Player.GetPing(me) >= 0, Player.IsConnected(me), "z\x00z"]);
        return [];
    },
    news = function(me, arg) { Events.BroadcastRemote("news", [arg, [1, [2, 3]], { k = "v" }]); return []; },
    missing = function(me, arg) { Events.CallRemote("answer", me + 65546, []); return []; },
    badArgument = function(me, arg) { Chat.SendMessage("me", "text"); return []; },
    badFlag = function(me, arg) { Events.Subscribe("x", function() {}, 1); return []; },
    kick = function(me, reason) { Player.Kick(me, reason); return [Player.IsConnected(me)]; },
    fire = function(me, arg) {
        local completed = Events.Call("local", [arg, 2]);
        return [completed, Events.WasLastCanceled(), Events.GetSource()];
    },
    fromLua = function(me, arg) { return [exports.luaprov.triple(4)]; },
    absent = function(me, arg) { return [exports.gone.triple(4)]; },
    direct = function(me, arg) { return [Resource.Call("luaprov", "triple", [5]), Resource.GetState("luaprov")]; },
    noExport = function(me, arg) { return [Resource.Call("luaprov", "hidden", [])]; },
    pause = function(me, arg) { Thread.Pause(10); return []; },
}

Events.Subscribe("do", function(what, arg = null) {
    try {
        report(what, true, actions[what](Events.GetSource(), arg));
    } catch (e) {
        report(what, false, [e]);
    }
}, true);
Events.Subscribe("do", function(what, arg = null) {
    print("script: local-only do " + what);
});
Events.Subscribe("local", function(a, b) {
    print("script: local event " + a + " " + b + " from " + Events.GetSource());
    if (a == "cancel")
        Events.Cancel();
});
Events.Subscribe("resourceStart", function(name) { print("script: resourceStart " + name); });
Events.Subscribe("resourceStop", function(name) { print("script: resourceStop " + name); });
Events.Subscribe("playerDisconnect", function(id, name, code) {
    print("script: playerDisconnect " + id + " " + name + " " + code);
});

Thread.Create(function() {
    for (local i = 1; i <= 3; i++) {
        print("script: tick " + i);
        Thread.Pause(20);
    }
    try {
        Thread.Create(function() {});
    } catch (e) {
        print("script: " + e);
    }
    print("script: thread done");
});
)nut";

const char* kSquirrelProvider = R"nut(
function double(x) {
    return x * 2;
}
function pair(x) {
    return [x, x * 2, { half = x / 2 }];
}
function nothing() {
}
)nut";

const char* kLuaProvider = R"lua(
function triple(x) return x * 3 end
function hidden() return 1 end
Events.Subscribe("askSquirrel", function()
  local pair = exports.sqprov:pair(4)
  Console.Log("double " .. tostring(exports.sqprov:double(21)))
  Console.Log("pair " .. #pair .. " " .. pair[1] .. " " .. pair[2] .. " " .. math.type(pair[2]) .. " " .. pair[3].half)
  Console.Log("nothing " .. select('#', exports.sqprov:nothing()) .. " " .. tostring(exports.sqprov:nothing()))
  Console.Log("missing " .. select(2, pcall(function() return exports.sqprov:notExported(1) end)))
end, true)
)lua";

class SquirrelOnline : public ::testing::Test
{
protected:
    void SetUp() override
    {
        server.WriteFile("resources/sqapi/meta.xml",
                         R"(<meta type="squirrel"><script src="main.nut" type="server"/></meta>)");
        server.WriteFile("resources/sqapi/main.nut", kApiScript);
        server.WriteFile("resources/sqprov/meta.xml", R"(<meta type="squirrel">
  <script src="main.nut" type="server"/>
  <export function="double" type="server"/>
  <export function="pair" type="shared"/>
  <export function="nothing" type="server"/>
</meta>)");
        server.WriteFile("resources/sqprov/main.nut", kSquirrelProvider);
        server.WriteFile("resources/luaprov/meta.xml", R"(<meta type="lua">
  <script src="main.lua" type="server"/>
  <export function="triple" type="server"/>
</meta>)");
        server.WriteFile("resources/luaprov/main.lua", kLuaProvider);
        server.WriteSettings({{"resource", "sqprov"}, {"resource", "luaprov"}, {"resource", "sqapi"}});
    }

    bool StartServer()
    {
        return server.Start() && server.WaitForMessage("[Server] Successfully loaded resource sqapi.", 10s);
    }

    std::unique_ptr<TestClient> Join(const std::string& name, uint16_t expectedId)
    {
        auto client = std::make_unique<TestClient>();
        if (!client->Connect(server.Port()))
            return nullptr;
        auto info = client->WaitFor<ServerInfoPacket>();
        if (!info || info->serverId != expectedId)
            return nullptr;
        client->Send(ClientInfoPacket{name});
        if (!client->WaitFor<PlayerJoinPacket>([&](const PlayerJoinPacket& p) { return p.name == name; }))
            return nullptr;
        return client;
    }

    // Asks the script for an action (the event "do" with the action's name and argument) and waits
    // for one more report line of the expected text.
    bool Do(TestClient& client, const ScriptContext& args, const std::string& expected)
    {
        const std::string line = "[Script] sqapi: " + expected;
        size_t before = server.CountMessages(line);
        client.Send(EventTriggerPacket{"do", args.Pack()});
        return server.WaitForCount(line, before + 1);
    }

    static ScriptContext Action(const std::string& action)
    {
        ScriptContext args;
        args.AddString(action);
        return args;
    }
    static ScriptContext Action(const std::string& action, const std::string& text)
    {
        ScriptContext args = Action(action);
        args.AddString(text);
        return args;
    }
    static ScriptContext Action(const std::string& action, int32_t value)
    {
        ScriptContext args = Action(action);
        args.AddInt(value);
        return args;
    }

    ServerProcess server;
};

TEST_F(SquirrelOnline, BuiltInEventsThreadsAndRemoteHandlers)
{
    ASSERT_TRUE(StartServer()) << server.OutputText();
    EXPECT_TRUE(server.WaitForMessage("[SquirrelVM] Print: script: resourceStart sqapi"))
        << server.OutputText();
    for (const char* line : {"[SquirrelVM] Print: script: tick 1", "[SquirrelVM] Print: script: tick 2",
                             "[SquirrelVM] Print: script: tick 3",
                             "[SquirrelVM] Print: script: CreateThread can not be used inside of a thread.",
                             "[SquirrelVM] Print: script: thread done"})
        EXPECT_TRUE(server.WaitForMessage(line)) << line << "\n" << server.OutputText();

    auto alice = Join("alice", 1);
    ASSERT_TRUE(alice);
    auto info =
        alice->WaitFor<ResourceInfoPacket>([](const ResourceInfoPacket& p) { return p.name == "sqprov"; });
    ASSERT_TRUE(info);
    EXPECT_EQ(info->scriptType, 1);
    EXPECT_EQ(info->exports, std::vector<std::string>{"pair"});

    // The remote-allowed handler runs; the local-only one refuses with the event system's warning.
    ASSERT_TRUE(Do(*alice, Action("pause"), "pause error 1 PauseThread was used outside of a thread."))
        << server.OutputText();
    EXPECT_TRUE(server.WaitForMessage(
        "[ResourceEvent] A handler of event do in resource sqapi doesn't allow to be triggered remotely."));
    EXPECT_EQ(server.CountLines("script: local-only do"), 0u);

    // Arguments that do not fit the handler fail the call with one line, and the server goes on.
    ScriptContext tooMany = Action("chat", "x");
    tooMany.AddInt(1);
    tooMany.AddInt(2);
    alice->Send(EventTriggerPacket{"do", tooMany.Pack()});
    EXPECT_TRUE(server.WaitForMessage("[SquirrelVM] Failed to call function in resource sqapi:"));
    EXPECT_TRUE(server.WaitForMessage("\twrong number of parameters")) << server.OutputText();

    ASSERT_TRUE(alice->Disconnect(0));
    EXPECT_TRUE(server.WaitForMessage("[SquirrelVM] Print: script: playerDisconnect 1 alice 0"))
        << server.OutputText();

    server.WriteLine("stop sqapi");
    EXPECT_TRUE(server.WaitForMessage("[SquirrelVM] Print: script: resourceStop sqapi"));
    EXPECT_TRUE(server.WaitForMessage("[Resource] Stopped resource sqapi.")) << server.OutputText();
    EXPECT_EQ(server.CountLines("[SquirrelVM] Error"), 0u) << server.OutputText();
}

TEST_F(SquirrelOnline, PlayersHearFromSquirrelScripts)
{
    ASSERT_TRUE(StartServer()) << server.OutputText();
    auto alice = Join("alice", 1);
    ASSERT_TRUE(alice);
    auto bob = Join("bob", 2);
    ASSERT_TRUE(bob);

    ASSERT_TRUE(Do(*alice, Action("name", "Alicia"), "name ok 1 null")) << server.OutputText();
    for (TestClient* client : {alice.get(), bob.get()})
    {
        EXPECT_TRUE(client->WaitFor<PlayerNamePacket>([](const PlayerNamePacket& p)
                                                      { return p.serverId == 1 && p.name == "Alicia"; }));
    }
    ASSERT_TRUE(Do(*alice, Action("longName"), "longName error 1 Invalid name (max 18 characters)."));
    ASSERT_TRUE(Do(*alice, Action("chat"), "chat ok 0 "));
    EXPECT_TRUE(alice->WaitFor<ChatMessagePacket>([](const ChatMessagePacket& p)
                                                  { return p.text == "hello Alicia"; }));
    ASSERT_TRUE(Do(*alice, Action("broadcast", "hi"), "broadcast ok 0 "));
    EXPECT_TRUE(
        bob->WaitFor<ChatMessagePacket>([](const ChatMessagePacket& p) { return p.text == "to all: hi"; }));
    ASSERT_TRUE(Do(*alice, Action("badArgument"), "badArgument error 1 Expected an integer value"));
    ASSERT_TRUE(Do(*alice, Action("badFlag"), "badFlag error 1 Expected an bool value"));

    ASSERT_TRUE(Do(*bob, Action("remote"), "remote ok 0 ")) << server.OutputText();
    auto answer =
        bob->WaitFor<EventTriggerPacket>([](const EventTriggerPacket& p) { return p.eventName == "answer"; });
    ASSERT_TRUE(answer);
    ScriptContext expected;
    expected.AddInt(2);
    expected.AddBool(true);
    expected.AddBool(true);
    expected.AddString("z"); // read from Squirrel up to its zero byte
    EXPECT_EQ(answer->args, expected.Pack());
    ASSERT_TRUE(Do(*bob, Action("missing"), "missing error 1 Client with ID 65548 doesn't exist."));

    ASSERT_TRUE(Do(*alice, Action("news", "extra"), "news ok 0 "));
    auto news =
        bob->WaitFor<EventTriggerPacket>([](const EventTriggerPacket& p) { return p.eventName == "news"; });
    ASSERT_TRUE(news);
    ScriptContext received;
    ASSERT_TRUE(received.Unpack(news->args));
    EXPECT_EQ(received.types, (std::map<uint64_t, int32_t>{{0, String}, {1, Array}, {2, Table}}));
    EXPECT_TRUE(alice->WaitFor<EventTriggerPacket>([](const EventTriggerPacket& p)
                                                   { return p.eventName == "news"; }));

    ASSERT_TRUE(Do(*alice, Action("session", 5), "session ok 5 5|1|65535|false|0")) << server.OutputText();
    EXPECT_TRUE(
        alice->WaitFor<SessionHostPacket>([](const SessionHostPacket& p) { return p.hostId == 0xFFFF; }));

    // Still registered when Kick returns; gone once the network pass sees the disconnect.
    ASSERT_TRUE(Do(*bob, Action("kick", "bye bob"), "kick ok 1 true")) << server.OutputText();
    EXPECT_TRUE(
        bob->WaitFor<KickReasonPacket>([](const KickReasonPacket& p) { return p.reason == "bye bob"; }));
    EXPECT_TRUE(bob->WaitForDisconnect());
    EXPECT_TRUE(server.WaitForMessage("[SquirrelVM] Print: script: playerDisconnect 2 bob 0"))
        << server.OutputText();
}

TEST_F(SquirrelOnline, LocalEventsAndCancel)
{
    ASSERT_TRUE(StartServer()) << server.OutputText();
    auto alice = Join("alice", 1);
    ASSERT_TRUE(alice);
    // Handlers run at once with the server as source, which the resource then reports as its last.
    ASSERT_TRUE(Do(*alice, Action("fire", "plain"), "fire ok 3 true|false|65535")) << server.OutputText();
    EXPECT_TRUE(server.WaitForMessage("[SquirrelVM] Print: script: local event plain 2 from 65535"));
    ASSERT_TRUE(Do(*alice, Action("fire", "cancel"), "fire ok 3 false|true|65535")) << server.OutputText();
}

TEST_F(SquirrelOnline, ExportsBetweenSquirrelAndLua)
{
    ASSERT_TRUE(StartServer()) << server.OutputText();
    auto alice = Join("alice", 1);
    ASSERT_TRUE(alice);

    // Squirrel calling Lua.
    ASSERT_TRUE(Do(*alice, Action("fromLua"), "fromLua ok 1 12")) << server.OutputText();
    ASSERT_TRUE(Do(*alice, Action("direct"), "direct ok 2 15|started")) << server.OutputText();
    ASSERT_TRUE(Do(*alice, Action("noExport"),
                   "noExport error 1 Failed to call exported function hidden of resource luaprov."));
    ASSERT_TRUE(Do(*alice, Action("absent"), "absent ok 1 null")) << server.OutputText();
    EXPECT_EQ(server.CountMessages("[Script] sqapi: exports: Call to non-running server resource (gone)."),
              1u);

    // Lua calling Squirrel: one value each, arrays arrive as sequences.
    alice->Send(EventTriggerPacket{"askSquirrel", ScriptContext().Pack()});
    for (const char* line :
         {"[Script] luaprov: double 42", "[Script] luaprov: pair 3 4 8 integer 2",
          "[Script] luaprov: nothing 1 nil",
          "[Script] luaprov: missing Failed to call exported function notExported of resource sqprov."})
        EXPECT_TRUE(server.WaitForMessage(line)) << line << "\n" << server.OutputText();

    server.WriteLine("stop luaprov");
    ASSERT_TRUE(server.WaitForMessage("[Resource] Stopped resource luaprov."));
    ASSERT_TRUE(Do(*alice, Action("fromLua"), "fromLua ok 1 null")) << server.OutputText();
    EXPECT_EQ(server.CountMessages("[Script] sqapi: exports: Call to non-running server resource (luaprov)."),
              1u);
    server.WriteLine("start luaprov");
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully started resource luaprov."));
    ASSERT_TRUE(Do(*alice, Action("fromLua"), "fromLua ok 1 12")) << server.OutputText();
}

TEST_F(SquirrelOnline, BrokenSquirrelScriptsFailTheirResourceOnly)
{
    server.WriteFile("resources/broken/meta.xml",
                     R"(<meta type="squirrel"><script src="a.nut" type="server"/></meta>)");
    server.WriteFile("resources/broken/a.nut", "local x = = 1;\n");
    server.WriteFile("resources/throws/meta.xml",
                     R"(<meta type="squirrel"><script src="b.nut" type="server"/></meta>)");
    server.WriteFile("resources/throws/b.nut", "throw \"at load\";\n");
    server.WriteSettings({{"resource", "broken"}, {"resource", "throws"}, {"resource", "sqprov"}});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully loaded resource sqprov.", 10s))
        << server.OutputText();
    EXPECT_EQ(server.CountMessages(
                  "[SquirrelVM] Error parsing script a.nut in resource broken: expression expected"),
              1u)
        << server.OutputText();
    EXPECT_EQ(server.CountMessages("[SquirrelVM] Error loading script b.nut in resource throws: at load"),
              1u);
    EXPECT_EQ(server.CountMessages("[Server] Failed to start resource broken."), 1u);
    EXPECT_EQ(server.CountMessages("[Server] Failed to start resource throws."), 1u);
    EXPECT_TRUE(server.IsRunning());
}

} // namespace
