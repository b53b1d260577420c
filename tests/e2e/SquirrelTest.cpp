// Squirrel resources against the real server binary: events from and to game clients, the built-in
// events, the Chat, Player, Session and Thread functions, and exports between a Squirrel and a Lua
// resource in both directions. Scripts report each action through Console.Log as
// "<action> ok|error <results>", and threads and built-in events through print.

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
function report(label, results) {
    local line = "";
    foreach (i, r in results)
        line += (i > 0 ? "|" : "") + (r == null ? "null" : "" + r);
    Console.Log(label + " " + line);
}

actions <- {
    greet = function(me, name) {
        Player.SetName(me, name);
        Chat.SendMessage(me, "hello " + Player.GetName(me));
        Chat.BroadcastMessage("to all: " + name);
        return [];
    },
    session = function(me, id) {
        Player.SetSession(me, id);
        return [Player.GetSession(me), Session.GetSize(id), Session.GetHostID(id), Player.IsSessionActive(me),
                Session.GetActivePlayers(id).len()];
    },
    remote = function(me, arg) {
        Events.CallRemote("answer", me, [me, Player.GetPing(me) >= 0, Player.IsConnected(me), "z\x00z"]);
        return [];
    },
    fromLua = function(me, arg) { return [exports.luaprov.triple(4), Resource.Call("luaprov", "triple", [5])]; },
}

Events.Subscribe("do", function(what, arg = null) {
    try {
        report(what + " ok", actions[what](Events.GetSource(), arg));
    } catch (e) {
        report(what + " error", [e]);
    }
}, true);
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
});
)nut";

const char* kSquirrelProvider = R"nut(
function double(x) {
    return x * 2;
}
function pair(x) {
    return [x, x * 2, { half = x / 2 }];
}
)nut";

const char* kLuaProvider = R"lua(
function triple(x) return x * 3 end
Events.Subscribe("askSquirrel", function()
  local pair = exports.sqprov:pair(4)
  Console.Log("double " .. tostring(exports.sqprov:double(21)))
  Console.Log("pair " .. #pair .. " " .. pair[1] .. " " .. pair[2] .. " " .. math.type(pair[2]) .. " " .. pair[3].half)
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
</meta>)");
        server.WriteFile("resources/sqprov/main.nut", kSquirrelProvider);
        server.WriteFile("resources/luaprov/meta.xml", R"(<meta type="lua">
  <script src="main.lua" type="server"/>
  <export function="triple" type="server"/>
</meta>)");
        server.WriteFile("resources/luaprov/main.lua", kLuaProvider);
        server.WriteSettings({{"resource", "sqprov"}, {"resource", "luaprov"}, {"resource", "sqapi"}});
        ASSERT_TRUE(server.Start() &&
                    server.WaitForMessage("[Server] Successfully loaded resource sqapi.", 10s))
            << server.OutputText();
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

    // Asks the script for an action (the event "do" with the action's name and an optional argument)
    // and waits for its report line "<action> <expected>".
    bool Do(TestClient& client, const std::string& action, const std::string& expected,
            const std::string& text = "", int32_t number = 0)
    {
        ScriptContext args;
        args.AddString(action);
        if (!text.empty())
            args.AddString(text);
        else if (number != 0)
            args.AddInt(number);
        const std::string line = "[Script] sqapi: " + action + " " + expected;
        size_t before = server.CountMessages(line);
        client.Send(EventTriggerPacket{"do", args.Pack()});
        return server.WaitForCount(line, before + 1);
    }

    ServerProcess server;
};

TEST_F(SquirrelOnline, EventsPlayersSessionsAndThreads)
{
    for (const char* line :
         {"[SquirrelVM] Print: script: resourceStart sqapi", "[SquirrelVM] Print: script: tick 1",
          "[SquirrelVM] Print: script: tick 2", "[SquirrelVM] Print: script: tick 3"})
        EXPECT_TRUE(server.WaitForMessage(line)) << line << "\n" << server.OutputText();

    auto alice = Join("alice", 1);
    ASSERT_TRUE(alice);
    auto bob = Join("bob", 2);
    ASSERT_TRUE(bob);

    ASSERT_TRUE(Do(*alice, "greet", "ok ", "Alicia")) << server.OutputText();
    for (TestClient* client : {alice.get(), bob.get()})
        EXPECT_TRUE(client->WaitFor<PlayerNamePacket>([](const PlayerNamePacket& p)
                                                      { return p.serverId == 1 && p.name == "Alicia"; }));
    EXPECT_TRUE(alice->WaitFor<ChatMessagePacket>([](const ChatMessagePacket& p)
                                                  { return p.text == "hello Alicia"; }));
    EXPECT_TRUE(bob->WaitFor<ChatMessagePacket>([](const ChatMessagePacket& p)
                                                { return p.text == "to all: Alicia"; }));

    ASSERT_TRUE(Do(*bob, "remote", "ok ")) << server.OutputText();
    auto answer =
        bob->WaitFor<EventTriggerPacket>([](const EventTriggerPacket& p) { return p.eventName == "answer"; });
    ASSERT_TRUE(answer);
    ScriptContext expected;
    expected.AddInt(2);
    expected.AddBool(true);
    expected.AddBool(true);
    expected.AddString("z"); // read from Squirrel up to its zero byte
    EXPECT_EQ(answer->args, expected.Pack());

    ASSERT_TRUE(Do(*alice, "session", "ok 5|1|65535|false|0", "", 5)) << server.OutputText();
    EXPECT_TRUE(
        alice->WaitFor<SessionHostPacket>([](const SessionHostPacket& p) { return p.hostId == 0xFFFF; }));

    ASSERT_TRUE(bob->Disconnect(0));
    EXPECT_TRUE(server.WaitForMessage("[SquirrelVM] Print: script: playerDisconnect 2 bob 0"))
        << server.OutputText();
    server.WriteLine("stop sqapi");
    EXPECT_TRUE(server.WaitForMessage("[SquirrelVM] Print: script: resourceStop sqapi"))
        << server.OutputText();
    EXPECT_EQ(server.CountLines("[SquirrelVM] Error"), 0u) << server.OutputText();
}

TEST_F(SquirrelOnline, ExportsBetweenSquirrelAndLua)
{
    auto alice = Join("alice", 1);
    ASSERT_TRUE(alice);
    // Clients learn of shared exports only.
    auto info =
        alice->WaitFor<ResourceInfoPacket>([](const ResourceInfoPacket& p) { return p.name == "sqprov"; });
    ASSERT_TRUE(info);
    EXPECT_EQ(info->scriptType, 1);
    EXPECT_EQ(info->exports, std::vector<std::string>{"pair"});

    ASSERT_TRUE(Do(*alice, "fromLua", "ok 12|15")) << server.OutputText();
    // Lua calling Squirrel: one value each, arrays arrive as sequences.
    alice->Send(EventTriggerPacket{"askSquirrel", ScriptContext().Pack()});
    for (const char* line : {"[Script] luaprov: double 42", "[Script] luaprov: pair 3 4 8 integer 2"})
        EXPECT_TRUE(server.WaitForMessage(line)) << line << "\n" << server.OutputText();
}

} // namespace
