// The script API against the real server binary: a Lua resource answers events sent by game clients
// with the Chat, Player, Session, Events and Resource functions, and the clients see the packets.
// Scripts report each action through Console.Log as "<action> ok|error <result count> <results>".

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "Network/PacketWriter.h"
#include "Scripting/ScriptContext.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{
using namespace std::chrono_literals;

const char* kApiScript = R"lua(
function report(label, ok, ...)
  local parts = {}
  for i = 1, select('#', ...) do parts[#parts + 1] = tostring((select(i, ...))) end
  Console.Log(label .. ' ' .. (ok and 'ok' or 'error') .. ' ' .. select('#', ...) .. ' ' .. table.concat(parts, '|'))
end

actions = {
  chat = function(me) Chat.SendMessage(me, 'hello ' .. Player.GetName(me)) end,
  name = function(me, name) Player.SetName(me, name) end,
  session = function(me, id)
    Player.SetSession(me, id)
    return Player.GetSession(me), Session.GetSize(id), Session.GetHostID(id), Player.IsSessionActive(me)
  end,
  remote = function(me) Events.CallRemote('answer', me, {me, Player.GetPing(me) >= 0, Player.IsConnected(me)}) end,
  missing = function(me) Events.CallRemote('answer', me + 65546, {}) end,
  kick = function(me, reason) Player.Kick(me, reason) return Player.IsConnected(me) end,
  exports = function() return exports.provider:triple(4) end,
  absent = function() return exports.gone:triple(4) end,
}

Events.Subscribe('do', function(what, arg) report(what, pcall(actions[what], Events.GetSource(), arg)) end, true)
Events.Subscribe('playerDisconnect', function(id, name) Console.Log('left ' .. id .. ' ' .. name) end)
)lua";

class ScriptApiOnline : public ::testing::Test
{
protected:
    void SetUp() override
    {
        server.WriteFile("resources/api/meta.xml",
                         R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)");
        server.WriteFile("resources/api/main.lua", kApiScript);
        server.WriteFile("resources/provider/meta.xml", R"(<meta type="lua">
  <script src="main.lua" type="server"/>
  <export function="triple" type="server"/>
</meta>)");
        server.WriteFile("resources/provider/main.lua", "function triple(x) return x, x * 2, x * 3 end\n");
        server.WriteSettings({{"resource", "provider"}, {"resource", "api"}});
    }

    bool StartServer()
    {
        return server.Start() && server.WaitForMessage("[Server] Successfully loaded resource api.", 10s);
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

    // Asks the script for an action (the event "do" with the action's name and arguments) and waits
    // for one more report line of the expected text.
    bool Do(TestClient& client, const ScriptContext& args, const std::string& expected)
    {
        const std::string line = "[Script] api: " + expected;
        size_t before = server.CountLines(line);
        client.Send(EventTriggerPacket{"do", args.Pack()});
        return server.WaitForCount(line, before + 1);
    }

    // The arguments of "do": the action's name, then a text or a number when given.
    static ScriptContext Action(const std::string& action, const std::string& text = "",
                                std::optional<int32_t> value = std::nullopt)
    {
        ScriptContext args;
        args.AddString(action);
        if (!text.empty())
            args.AddString(text);
        if (value)
            args.AddInt(*value);
        return args;
    }

    ServerProcess server;
};

TEST_F(ScriptApiOnline, PlayersHearFromScripts)
{
    ASSERT_TRUE(StartServer()) << server.OutputText();
    auto alice = Join("alice", 1);
    ASSERT_TRUE(alice);
    auto bob = Join("bob", 2);
    ASSERT_TRUE(bob);

    ASSERT_TRUE(Do(*alice, Action("name", "Alicia"), "name ok 0 ")) << server.OutputText();
    for (TestClient* client : {alice.get(), bob.get()})
    {
        EXPECT_TRUE(client->WaitFor<PlayerNamePacket>([](const PlayerNamePacket& p)
                                                      { return p.serverId == 1 && p.name == "Alicia"; }));
    }
    ASSERT_TRUE(Do(*alice, Action("chat"), "chat ok 0 "));
    EXPECT_TRUE(alice->WaitFor<ChatMessagePacket>([](const ChatMessagePacket& p)
                                                  { return p.text == "hello Alicia"; }));

    ASSERT_TRUE(Do(*bob, Action("remote"), "remote ok 0 ")) << server.OutputText();
    auto answer =
        bob->WaitFor<EventTriggerPacket>([](const EventTriggerPacket& p) { return p.eventName == "answer"; });
    ASSERT_TRUE(answer);
    ScriptContext expected;
    expected.AddInt(2);
    expected.AddBool(true);
    expected.AddBool(true);
    EXPECT_EQ(answer->args, expected.Pack());
    // 2 + 65546 = 65548: its low 16 bits are 12, no client; the message shows the number as passed.
    ASSERT_TRUE(Do(*bob, Action("missing"), "missing error 1 Client with ID 65548 doesn't exist."))
        << server.OutputText();

    ASSERT_TRUE(Do(*alice, Action("session", "", 5), "session ok 4 5|1|65535|false")) << server.OutputText();
    EXPECT_TRUE(
        alice->WaitFor<SessionHostPacket>([](const SessionHostPacket& p) { return p.hostId == 0xFFFF; }));

    // Exports follow the other resource's state.
    ASSERT_TRUE(Do(*alice, Action("exports"), "exports ok 3 4|8|12")) << server.OutputText();
    ASSERT_TRUE(Do(*alice, Action("absent"), "absent ok 1 nil")) << server.OutputText();
    EXPECT_EQ(server.CountMessages("[Script] api: exports: Call to non-running server resource (gone)."), 1u);
    server.WriteLine("stop provider");
    ASSERT_TRUE(server.WaitForMessage("[Resource] Stopped resource provider."));
    ASSERT_TRUE(Do(*alice, Action("exports"), "exports ok 1 nil")) << server.OutputText();
    EXPECT_EQ(server.CountMessages("[Script] api: exports: Call to non-running server resource (provider)."),
              1u);
    server.WriteLine("start provider");
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully started resource provider."));
    ASSERT_TRUE(Do(*alice, Action("exports"), "exports ok 3 4|8|12")) << server.OutputText();

    // Still registered when Kick returns; gone once the network pass sees the disconnect.
    ASSERT_TRUE(Do(*bob, Action("kick", "bye bob"), "kick ok 1 true")) << server.OutputText();
    EXPECT_TRUE(
        bob->WaitFor<KickReasonPacket>([](const KickReasonPacket& p) { return p.reason == "bye bob"; }));
    EXPECT_TRUE(bob->WaitForDisconnect());
    EXPECT_TRUE(server.WaitForMessage("[Script] api: left 2 bob")) << server.OutputText();
    EXPECT_TRUE(
        alice->WaitFor<PlayerLeavePacket>([](const PlayerLeavePacket& p) { return p.serverId == 2; }));
    EXPECT_TRUE(alice->All<EventTriggerPacket>().empty());
    EXPECT_TRUE(bob->All<SessionHostPacket>().empty());
}

} // namespace
