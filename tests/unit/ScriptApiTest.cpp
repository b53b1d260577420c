// The script functions of the Chat, Player, Session, Events, Resource, Console and Thread modules,
// called from real Lua resources in-process. Scripts report what they got through Console.Log
// ("[Script] <resource>: <label> ok|error <result count> <results joined by |>"); packets and kicks
// are read from the network's queues, which no worker drains here.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "Network/NetPacket.h"
#include "PacketPeek.h"
#include "ResourceTestUtil.h"
#include "Scripting/ScriptApi.h"
#include "Server/Platform.h"

namespace
{

using restest::TempBase;
using restest::TestServer;

// Loaded into every test resource before its own code.
const char* kReporter = R"lua(
function report(label, ok, ...)
  local parts = {}
  for i = 1, select('#', ...) do parts[#parts + 1] = tostring((select(i, ...))) end
  Console.Log(label .. ' ' .. (ok and 'ok' or 'error') .. ' ' .. select('#', ...) .. ' ' .. table.concat(parts, '|'))
end
function check(label, f, ...) report(label, pcall(f, ...)) end
)lua";

template <typename T> std::optional<T> Decode(const std::string& bytes)
{
    if (PeekEnvelopeIdentifier(bytes) != T{}.identifier)
        return std::nullopt;
    PacketEnvelope envelope;
    if (!NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                        envelope))
        return std::nullopt;
    T packet;
    if (!NetPacket::Deserialize(packet, envelope))
        return std::nullopt;
    return packet;
}

struct Case
{
    const char* call;     // Lua arguments of check() after the label, e.g. "Player.GetName, 1"
    const char* expected; // the logged report without "[Script] api: <label> "
};

class ScriptApiTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        restest::ResetSettings();
        Settings::SetFromString("chat", "false");
    }
    void TearDown() override { SetTimeSourceForTesting({}); }

    // Starts a Lua resource from one server script (reporter included) and extra meta.xml lines.
    Resource* Start(const std::string& name, const std::string& code, const std::string& extraMeta = "")
    {
        base.WriteResource(name,
                           "<meta type=\"lua\">\n  <script src=\"main.lua\" type=\"server\"/>\n" + extraMeta +
                               "</meta>",
                           {{"main.lua", std::string(kReporter) + code}});
        return server.StartResource(name);
    }

    // Runs a chunk in the resource's VM; false when it raised.
    static bool Run(Resource* resource, const std::string& code)
    {
        return resource->GetVM()->LoadScript("t", code);
    }

    // The last "[Script] " line, without "[Script] <resource>: ".
    std::string LastReport() const
    {
        std::string last;
        for (const std::string& message : log.Messages())
        {
            if (message.rfind("[Script] ", 0) != 0)
                continue;
            size_t colon = message.find(": ");
            last = colon == std::string::npos ? message : message.substr(colon + 2);
        }
        return last;
    }

    void RunCases(Resource* resource, const std::vector<Case>& cases)
    {
        for (const Case& each : cases)
        {
            ASSERT_TRUE(Run(resource, std::string("check('c', ") + each.call + ")")) << each.call;
            EXPECT_EQ(LastReport(), std::string("c ") + each.expected) << each.call;
        }
    }

    // Every queued packet of type T as (peer or -1, packet); others are skipped.
    template <typename T> std::vector<std::pair<int, T>> TakeSent()
    {
        std::vector<std::pair<int, T>> sent;
        for (const auto& [peer, bytes] : server.TakeOutgoing())
            if (auto packet = Decode<T>(bytes))
                sent.emplace_back(peer, *packet);
        return sent;
    }

    Client* AddClient(uint16_t peerId, uint32_t connection)
    {
        return server.server.clientRegistry->AddClient(peerId, connection);
    }

    std::vector<NetworkCommand> TakeCommands()
    {
        std::vector<NetworkCommand> commands;
        NetworkCommand command;
        while (server.server.network->commands.try_pop(command))
            commands.push_back(command);
        return commands;
    }

    LogCapture log;
    TempBase base;
    TestServer server{true};
};

TEST_F(ScriptApiTest, ConsoleLogWritesTheTextUnchanged)
{
    Resource* resource = Start("api", "Console.Log('plain {} {0} %s text')");
    ASSERT_NE(resource, nullptr);
    EXPECT_TRUE(log.Contains("[Script] api: plain {} {0} %s text"));
    RunCases(resource, {
                           {"Console.Log, 'x'", "ok 0 "},
                           {"Console.Log, 12", "ok 0 "},
                           {"Console.Log, {}", "error 1 bad argument #1 to '?' (string expected, got table)"},
                       });
    EXPECT_EQ(log.Messages(spdlog::level::info).end()[-3], "[Script] api: 12");
}

TEST_F(ScriptApiTest, ChatReachesOnePlayerOrEveryone)
{
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    AddClient(4, 40); // id 1
    AddClient(6, 60); // id 2
    server.TakeOutgoing();

    RunCases(
        resource,
        {
            {"Chat.SendMessage, 2, 'to two'", "ok 0 "},
            {"Chat.SendMessage, 65537, 'to one'", "ok 0 "},
            {"Chat.SendMessage, 65539, 'x'", "error 1 Client with ID 65539 doesn't exist."},
            {"Chat.SendMessage, -1, 'x'", "error 1 Client with ID -1 doesn't exist."},
            {"Chat.SendMessage, 1, {}", "error 1 bad argument #2 to '?' (string expected, got table)"},
            {"Chat.SendMessage, 'one', 'x'", "error 1 bad argument #1 to '?' (number expected, got string)"},
            {"Chat.SendMessage, 1.5, 'x'",
             "error 1 bad argument #1 to '?' (number has no integer representation)"},
            {"Chat.BroadcastMessage, 'to all'", "ok 0 "},
            {"Chat.BroadcastMessage, nil", "error 1 bad argument #1 to '?' (string expected, got nil)"},
        });

    std::vector<std::pair<int, std::string>> texts;
    for (const auto& [peer, chat] : TakeSent<ChatMessagePacket>())
        texts.emplace_back(peer, chat.text);
    // Broadcast even though the chat setting is off.
    EXPECT_EQ(texts,
              (std::vector<std::pair<int, std::string>>{{6, "to two"}, {4, "to one"}, {-1, "to all"}}));
}

TEST_F(ScriptApiTest, PlayerNamesAndConnections)
{
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    Client* one = AddClient(3, 30);
    server.TakeOutgoing();

    RunCases(
        resource,
        {
            {"Player.IsConnected, 1", "ok 1 true"},
            {"Player.IsConnected, 65537", "ok 1 true"},
            {"Player.IsConnected, 2", "ok 1 false"},
            {"Player.GetName, 1", "ok 1 "},
            {"Player.GetName, 9", "error 1 Client with ID 9 doesn't exist."},
            {"Player.SetName, 65537, 'abcdefghijklmnopqr'", "ok 0 "},
            {"Player.GetName, 1", "ok 1 abcdefghijklmnopqr"},
            {"Player.SetName, 1, 'abcdefghijklmnopqrs'", "error 1 Invalid name (max 18 characters)."},
            {"Player.SetName, 1, ''", "error 1 Invalid name (max 18 characters)."},
            // The length test comes before the lookup.
            {"Player.SetName, 5, ''", "error 1 Invalid name (max 18 characters)."},
            {"Player.SetName, 5, 'bob'", "error 1 Client with ID 5 doesn't exist."},
            // 9 two-byte characters are 18 bytes; 10 are 20.
            {"Player.SetName, 1, string.rep('\\xc3\\xa9', 9)", "ok 0 "},
            {"Player.SetName, 1, string.rep('\\xc3\\xa9', 10)", "error 1 Invalid name (max 18 characters)."},
            {"Player.SetName, 1, {}", "error 1 bad argument #2 to '?' (string expected, got table)"},
        });

    auto sent = TakeSent<PlayerNamePacket>();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].first, -1);
    EXPECT_EQ(sent[0].second.serverId, 1);
    EXPECT_EQ(sent[0].second.name, "abcdefghijklmnopqr");
    EXPECT_EQ(sent[1].second.name, one->name);
    EXPECT_EQ(one->name.size(), 18u);
}

TEST_F(ScriptApiTest, PlayerPingAndKick)
{
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    AddClient(2, 20); // id 1
    server.server.network->PublishPeerForTesting(2, true, 20, 48, 0);

    RunCases(resource, {
                           {"Player.GetPing, 1", "ok 1 48"},
                           {"Player.GetPing, 3", "error 1 Client with ID 3 doesn't exist."},
                       });
    // The peer is gone but the disconnect is not handled yet: still one integer.
    server.server.network->PublishPeerForTesting(2, false, 20, 48, 0);
    RunCases(resource, {{"Player.GetPing, 1", "ok 1 48"}});

    RunCases(resource,
             {
                 {"Player.Kick, 1", "ok 0 "},
                 {"Player.IsConnected, 1", "ok 1 true"},
                 {"Player.Kick, 65537, 'bye now'", "ok 0 "},
                 {"Player.Kick, 4, {}", "error 1 Client with ID 4 doesn't exist."},
                 {"Player.Kick, 1, {}", "error 1 bad argument #2 to '?' (string expected, got table)"},
             });
    std::vector<NetworkCommand> commands = TakeCommands();
    ASSERT_EQ(commands.size(), 2u);
    for (const NetworkCommand& command : commands)
    {
        EXPECT_EQ(command.kind, 0u);
        EXPECT_EQ(command.peerId, 2);
        EXPECT_EQ(command.connection, 20u);
    }
    EXPECT_EQ(commands[0].reason, "");
    EXPECT_EQ(commands[1].reason, "bye now");
}

TEST_F(ScriptApiTest, PlayerSessionsMoveWithinTheValidRange)
{
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    Client* one = AddClient(1, 10);
    one->sessionActive = true;
    server.TakeOutgoing();

    RunCases(resource, {
                           {"Player.GetSession, 1", "ok 1 0"},
                           {"Player.IsSessionActive, 1", "ok 1 true"},
                           // Into the session it is in already: nothing sent, the flag kept.
                           {"Player.SetSession, 1, 0", "ok 0 "},
                           {"Player.IsSessionActive, 1", "ok 1 true"},
                           {"Player.SetSession, 1, 65536", "error 1 Invalid session ID 65536."},
                           {"Player.SetSession, 1, -1", "error 1 Invalid session ID -1."},
                           {"Player.SetSession, 9, 4", "ok 0 "},
                           {"Player.SetSession, 1, 'x'",
                            "error 1 bad argument #2 to '?' (number expected, got string)"},
                       });
    EXPECT_EQ(one->sessionId, 0);
    EXPECT_TRUE(server.TakeOutgoing().empty());

    RunCases(resource, {
                           {"Player.SetSession, 65537, 65535", "ok 0 "},
                           {"Player.GetSession, 1", "ok 1 65535"},
                           {"Player.IsSessionActive, 1", "ok 1 false"},
                           {"Player.GetSession, 2", "error 1 Client with ID 2 doesn't exist."},
                           {"Player.IsSessionActive, 2", "error 1 Client with ID 2 doesn't exist."},
                       });
    auto sent = TakeSent<SessionHostPacket>();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, 1);
    EXPECT_EQ(sent[0].second.hostId, 0xFFFF);
}

TEST_F(ScriptApiTest, SessionsAreSeenWithTheirHostAndActiveMembers)
{
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    for (uint16_t peer = 0; peer < 7; ++peer)
        AddClient(peer, peer + 1u);
    for (uint16_t id : {1, 3, 4, 6})
        server.server.clientRegistry->RemoveClient(id);
    server.server.clientRegistry->GetClient(5)->sessionActive = true;
    server.server.clientRegistry->GetClient(7)->sessionActive = true;
    Run(resource,
        "function list(id) local a = Session.GetActivePlayers(id) return #a, table.concat(a, ',') end");

    RunCases(resource,
             {
                 {"Session.GetSize, 0", "ok 1 3"},
                 {"Session.GetSize, 12", "ok 1 0"},
                 {"Session.GetHostID, 0", "ok 1 65535"},
                 {"Session.GetHostID, 12", "ok 1 65535"},
                 {"list, 0", "ok 2 2|5,7"},
                 {"list, 12", "ok 2 0|"},
                 {"Session.GetSize, nil", "error 1 bad argument #1 to '?' (number expected, got nil)"},
             });
    server.server.sessions->ClaimHost(0, server.server.clientRegistry->GetClient(5), 77);
    RunCases(resource, {{"Session.GetHostID, 0", "ok 1 5"}});
}

TEST_F(ScriptApiTest, EventsCallNestsAndCancelsPerTrigger)
{
    Resource* listener = Start("listener", R"lua(
Events.Subscribe('greet', function(a, b) Console.Log('greet ' .. tostring(a) .. ' ' .. tostring(b) .. ' from ' .. Events.GetSource()) end)
Events.Subscribe('inner', function() Events.Cancel() end)
Events.Subscribe('outer', function()
  Console.Log('inner returned ' .. tostring(Events.Call('inner', {})) .. ' ' .. tostring(Events.WasLastCanceled()))
end)
Events.Subscribe('twice', function() Console.Log('first handler') end)
Events.Subscribe('twice', function() Console.Log('second handler') end)
)lua");
    ASSERT_NE(listener, nullptr);
    Resource* caller = Start("caller", "");
    ASSERT_NE(caller, nullptr);

    RunCases(caller,
             {
                 {"Events.Call, 'nobody', {}", "ok 1 true"},
                 {"Events.WasLastCanceled", "ok 1 false"},
                 {"Events.Call, 'greet', {1, 'two'}", "ok 1 true"},
                 {"Events.Call, 'inner', {}", "ok 1 false"},
                 {"Events.WasLastCanceled", "ok 1 true"},
                 {"Events.Cancel", "ok 0 "},
                 {"Events.Call, 'outer', {}", "ok 1 true"},
                 {"Events.WasLastCanceled", "ok 1 false"},
                 {"Events.Call, 'greet'", "error 1 bad argument #2 to '?' (table expected, got no value)"},
                 {"Events.GetSource", "ok 1 65535"},
             });
    EXPECT_TRUE(log.Contains("[Script] listener: greet 1 two from 65535"));
    EXPECT_TRUE(log.Contains("[Script] listener: inner returned false true"));
    EXPECT_FALSE(log.Contains("greet nil")) << "the call without its array ran no handler";

    ASSERT_TRUE(Run(caller, "Events.Call('twice', {})"));
    auto messages = log.Messages();
    EXPECT_EQ(
        std::vector<std::string>(messages.end() - 2, messages.end()),
        (std::vector<std::string>{"[Script] listener: first handler", "[Script] listener: second handler"}));
}

TEST_F(ScriptApiTest, SubscribeTakesTheRemoteFlagByItsTruth)
{
    Resource* resource = Start("api", R"lua(
Events.Subscribe('e', function() Console.Log('two args ' .. Events.GetSource()) end)
Events.Subscribe('e', function() Console.Log('zero ' .. Events.GetSource()) end, 0)
Events.Subscribe('e', function() Console.Log('nil') end, nil)
Events.Subscribe('e', function() Console.Log('true') end, true)
Events.Subscribe('e', function() Console.Log('false') end, false)
ok, err = pcall(Events.Subscribe, 'e', 'not a function')
Console.Log('bad handler ' .. tostring(ok))
)lua");
    ASSERT_NE(resource, nullptr);
    EXPECT_TRUE(log.Contains("[Script] api: bad handler false"));
    EXPECT_EQ(resource->GetHandlerCount(), 5u);

    ScriptContext args;
    server.Manager().QueueEvent("e", 3, true, args);
    log.Clear();
    resource->Process();
    EXPECT_EQ(log.Messages(spdlog::level::info),
              (std::vector<std::string>{"[Script] api: zero 3", "[Script] api: true"}));
    EXPECT_EQ(log.Messages(spdlog::level::warn).size(), 3u);

    // The source of the last handled event stays until the next one.
    RunCases(resource, {{"Events.GetSource", "ok 1 3"}});
}

TEST_F(ScriptApiTest, RemoteEventsCarryTheirArgumentPack)
{
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    AddClient(5, 50); // id 1
    server.TakeOutgoing();

    RunCases(resource, {
                           {"Events.CallRemote, 'hello', 65537, {7, 'seven', true}", "ok 0 "},
                           {"Events.CallRemote, 'hello', 2, {}", "error 1 Client with ID 2 doesn't exist."},
                           {"Events.CallRemote, 'hello', -1, {}", "error 1 Client with ID -1 doesn't exist."},
                           {"Events.CallRemote, 'hello', 1",
                            "error 1 bad argument #3 to '?' (table expected, got no value)"},
                           {"Events.BroadcastRemote, 'all', {}", "ok 0 "},
                           {"Events.BroadcastRemote, 'all', 5",
                            "error 1 bad argument #2 to '?' (table expected, got number)"},
                       });

    ScriptContext expected;
    expected.AddInt(7);
    expected.AddString("seven");
    expected.AddBool(true);
    std::vector<std::tuple<int, std::string, std::string>> sent;
    for (const auto& [peer, packet] : TakeSent<EventTriggerPacket>())
        sent.emplace_back(peer, packet.eventName, packet.args);
    EXPECT_EQ(sent, (decltype(sent){{5, "hello", expected.Pack()}, {-1, "all", ScriptContext().Pack()}}));
}

TEST_F(ScriptApiTest, ResourceStateAndExportCalls)
{
    Resource* provider = Start("provider", R"lua(
function multi(a, b) return a + b, 'sum', true, nil end
function fails() error('inside') end
)lua",
                               "  <export function=\"multi\" type=\"server\"/>\n"
                               "  <export function=\"fails\" type=\"shared\"/>\n"
                               "  <export function=\"clientSide\" type=\"client\"/>\n");
    ASSERT_NE(provider, nullptr);
    Resource* caller = Start("caller", "");
    ASSERT_NE(caller, nullptr);
    base.WriteResource("idle", "<meta type=\"lua\"><export function=\"multi\" type=\"server\"/></meta>");
    Resource* idle = server.Manager().CreateResource("idle");

    RunCases(caller, {
                         {"Resource.GetState, 'idle'", "ok 1 stopped"},
                         {"Resource.GetState, 'nothing'", "ok 1 unknown"},
                         {"Resource.GetState, 'provider'", "ok 1 started"},
                         {"Resource.Call, 'provider', 'multi', {2, 3}", "ok 4 5|sum|true|nil"},
                         {"Resource.Call, 'provider', 'fails', {}",
                          "error 1 Failed to call exported function fails of resource provider."},
                         {"Resource.Call, 'provider', 'clientSide', {}",
                          "error 1 Failed to call exported function clientSide of resource provider."},
                         {"Resource.Call, 'nothing', 'multi', {}", "error 1 Resource nothing doesn't exist."},
                         {"Resource.Call, 'provider', 'multi'",
                          "error 1 bad argument #3 to '?' (table expected, got no value)"},
                     });
    ASSERT_TRUE(idle->Load());
    RunCases(caller, {
                         {"Resource.GetState, 'idle'", "ok 1 loaded"},
                         {"Resource.Call, 'idle', 'multi', {}",
                          "error 1 Failed to call exported function multi of resource idle."},
                     });
}

TEST_F(ScriptApiTest, EndlessExportRecursionBetweenResourcesEndsInAScriptError)
{
    const std::string meta = "  <export function=\"bounce\" type=\"server\"/>\n";
    Resource* left = Start(
        "left", "function bounce(n) depth = n return Resource.Call('right', 'bounce', {n + 1}) end\n", meta);
    ASSERT_NE(left, nullptr);
    Resource* right =
        Start("right", "function bounce(n) return Resource.Call('left', 'bounce', {n + 1}) end\n", meta);
    ASSERT_NE(right, nullptr);

    RunCases(left, {{"bounce, 0", "error 1 Failed to call exported function bounce of resource right."}});
    RunCases(left, {{"function() return depth > 10 end", "ok 1 true"}});
    // Both VMs are still usable afterwards.
    RunCases(right, {{"Resource.GetState, 'left'", "ok 1 started"}});
}

TEST_F(ScriptApiTest, ExportsPreludeCallsRunningResourcesOnly)
{
    Resource* provider = Start("provider", "function pair(a) return a, a * 2 end\n",
                               "  <export function=\"pair\" type=\"server\"/>\n");
    ASSERT_NE(provider, nullptr);
    Resource* caller = Start("caller", "");
    ASSERT_NE(caller, nullptr);

    RunCases(caller, {
                         {"function() return exports.provider:pair(21) end", "ok 2 21|42"},
                         {"function() return exports.gone:pair(1) end", "ok 1 nil"},
                     });
    auto countAccessLines = [&]
    {
        size_t count = 0;
        for (const std::string& message : log.Messages())
            count +=
                message == "[Script] caller: exports: Call to non-running server resource (gone)." ? 1 : 0;
        return count;
    };
    EXPECT_EQ(countAccessLines(), 1u);
    Run(caller, "local a = exports.gone; local b = exports.gone");
    EXPECT_EQ(countAccessLines(), 3u) << "one line per access";

    // A resource that stops after its table was taken gives nil from then on.
    ASSERT_TRUE(Run(caller, "held = exports.provider"));
    server.Manager().StopResource("provider");
    RunCases(caller, {{"function() return held:pair(1) end", "ok 1 nil"}});
}

TEST_F(ScriptApiTest, SquirrelScriptsShareTheFunctionBodies)
{
    Resource* provider = Start("provider", "function pair(a) return a, a * 2 end\n",
                               "  <export function=\"pair\" type=\"server\"/>\n");
    ASSERT_NE(provider, nullptr);
    AddClient(8, 80); // id 1
    server.TakeOutgoing();
    base.WriteResource("sq", R"(<meta type="squirrel"><script src="main.nut" type="server"/></meta>)",
                       {{"main.nut", R"nut(
function log(label, value) { Console.Log(label + " " + value); }
try { Events.Subscribe("e", function(a) {}, 1); } catch (e) { log("subscribe int", e); }
Events.Subscribe("e", function(a) { log("handler", a + " " + Events.GetSource()); Events.Cancel(); }, false);
log("call", Events.Call("e", [5]));
log("canceled", Events.WasLastCanceled());
try { Chat.SendMessage("one", "x"); } catch (e) { log("send", e); }
try { Chat.SendMessage(65537, "from squirrel"); log("send", "ok"); } catch (e) { log("send", e); }
try { Player.SetName(2, "bob"); } catch (e) { log("name", e); }
try { Thread.Pause(5); } catch (e) { log("pause", e); }
log("state", Resource.GetState("sq"));
log("ping", Player.GetPing(1));
log("active", Session.GetActivePlayers(0).len());
log("lua export", Resource.Call("provider", "pair", [4]));
log("prelude", exports.provider.pair(5));
try { Resource.Call("provider", "pair"); } catch (e) { log("no args", e); }
)nut"}});
    Resource* resource = server.StartResource("sq");
    ASSERT_NE(resource, nullptr);
    std::vector<std::string> lines;
    for (const std::string& message : log.Messages())
    {
        if (message.rfind("[Script] sq: ", 0) == 0)
            lines.push_back(message.substr(13));
    }
    // Squirrel returns the value on top of the stack: the last of several export results. The
    // resource counts as started only once its scripts have run.
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "subscribe int Expected an bool value", "handler 5 65535", "call false", "canceled true",
                  "send Expected an integer value", "send ok", "name Client with ID 2 doesn't exist.",
                  "pause PauseThread was used outside of a thread.", "state loaded", "ping 0", "active 0",
                  "lua export 8", "prelude 10", "no args Expected an array value"}));
    EXPECT_EQ(resource->GetHandlerCount(), 1u);
    auto chats = TakeSent<ChatMessagePacket>();
    ASSERT_EQ(chats.size(), 1u);
    EXPECT_EQ(chats[0].first, 8);
    EXPECT_EQ(chats[0].second.text, "from squirrel");
}

TEST_F(ScriptApiTest, ThreadsPauseAndResumeOnTheResourcePass)
{
    int64_t now = 1000;
    SetTimeSourceForTesting([&now] { return now; });
    Resource* resource = Start("api", R"lua(
check('pause outside', Thread.Pause, 10)
Thread.Create(function()
  Console.Log('thread a')
  check('nested', Thread.Create, function() end)
  Thread.Pause(100)
  Console.Log('thread b')
end)
check('bad pause', Thread.Pause, 'long')
)lua");
    ASSERT_NE(resource, nullptr);
    EXPECT_TRUE(
        log.Contains("[Script] api: pause outside error 1 PauseThread was used outside of a thread."));
    EXPECT_TRUE(
        log.Contains("[Script] api: bad pause error 1 bad argument #1 to '?' (number expected, got string)"));
    EXPECT_FALSE(log.Contains("thread a"));

    resource->Process();
    EXPECT_TRUE(log.Contains("[Script] api: thread a"));
    EXPECT_TRUE(
        log.Contains("[Script] api: nested error 1 CreateThread can not be used inside of a thread."));
    now += 99;
    resource->Process();
    EXPECT_FALSE(log.Contains("thread b"));
    now += 1;
    resource->Process();
    EXPECT_TRUE(log.Contains("[Script] api: thread b"));
    EXPECT_TRUE(resource->GetVM()->GetThreads().empty());
}

} // namespace
