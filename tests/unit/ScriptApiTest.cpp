// Script functions of the Chat, Player, Session, Events, Resource, Console and Thread modules, called
// from real Lua resources. Scripts report via Console.Log as "<label> ok|error <count> <results|...>".

#include <cstdint>
#include <optional>
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
    PacketEnvelope envelope;
    T packet;
    if (PeekEnvelopeIdentifier(bytes) != T{}.identifier ||
        !NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                        envelope) ||
        !NetPacket::Deserialize(packet, envelope))
        return std::nullopt;
    return packet;
}

// Arguments of check() after the label, and the report after "c ".
using Case = std::pair<const char*, const char*>;

class ScriptApiTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        restest::ResetSettings();
        Settings::SetFromString("chat", "false");
    }
    void TearDown() override { SetTimeSourceForTesting({}); }

    Resource* Start(const std::string& name, const std::string& code, const std::string& extraMeta = "")
    {
        base.WriteResource(name,
                           "<meta type=\"lua\">\n  <script src=\"main.lua\" type=\"server\"/>\n" + extraMeta +
                               "</meta>",
                           {{"main.lua", std::string(kReporter) + code}});
        return server.StartResource(name);
    }

    static bool Run(Resource* resource, const std::string& code)
    {
        return resource->GetVM()->LoadScript("t", code);
    }

    std::string LastReport() const
    {
        std::string last;
        for (const std::string& message : log.Messages())
            if (message.rfind("[Script] ", 0) == 0)
                last = message.substr(message.find(": ") + 2);
        return last;
    }

    void RunCases(Resource* resource, const std::vector<Case>& cases)
    {
        for (const Case& each : cases)
        {
            ASSERT_TRUE(Run(resource, std::string("check('c', ") + each.first + ")")) << each.first;
            EXPECT_EQ(LastReport(), std::string("c ") + each.second) << each.first;
        }
    }

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

    LogCapture log;
    restest::TempBase base;
    restest::TestServer server{true};
};

TEST_F(ScriptApiTest, ChatAndConsole)
{
    Resource* resource = Start("api", "Console.Log('plain {} {0} %s text')");
    ASSERT_NE(resource, nullptr);
    EXPECT_TRUE(log.Contains("[Script] api: plain {} {0} %s text"));
    AddClient(4, 40); // id 1
    AddClient(6, 60); // id 2
    server.TakeOutgoing();

    RunCases(resource, {
                           {"Chat.SendMessage, 2, 'to two'", "ok 0 "},
                           {"Chat.SendMessage, 65537, 'to one'", "ok 0 "},
                           {"Chat.SendMessage, 65539, 'x'", "error 1 Client with ID 65539 doesn't exist."},
                           {"Chat.BroadcastMessage, 'to all'", "ok 0 "},
                       });
    std::vector<std::pair<int, std::string>> texts;
    for (const auto& [peer, chat] : TakeSent<ChatMessagePacket>())
        texts.emplace_back(peer, chat.text);
    // Broadcast even though the chat setting is off.
    EXPECT_EQ(texts,
              (std::vector<std::pair<int, std::string>>{{6, "to two"}, {4, "to one"}, {-1, "to all"}}));
}

TEST_F(ScriptApiTest, PlayerFunctions)
{
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    Client* one = AddClient(3, 30);
    one->sessionActive = true;
    server.server.network->PublishPeerForTesting(3, true, 30, 48, 0);
    server.TakeOutgoing();

    RunCases(
        resource,
        {
            {"Player.IsConnected, 65537", "ok 1 true"},
            {"Player.SetName, 65537, 'abcdefghijklmnopqr'", "ok 0 "},
            {"Player.GetName, 1", "ok 1 abcdefghijklmnopqr"},
            {"Player.SetName, 1, 'abcdefghijklmnopqrs'", "error 1 Invalid name (max 18 characters)."},
            // The length test comes before the lookup; the limit counts bytes.
            {"Player.SetName, 5, ''", "error 1 Invalid name (max 18 characters)."},
            {"Player.SetName, 1, string.rep('\\xc3\\xa9', 10)", "error 1 Invalid name (max 18 characters)."},
            {"Player.GetPing, 1", "ok 1 48"},
            {"Player.Kick, 65537, 'bye now'", "ok 0 "},
            {"Player.IsConnected, 1", "ok 1 true"},
        });
    auto names = TakeSent<PlayerNamePacket>();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(std::tie(names[0].first, names[0].second.serverId, names[0].second.name),
              std::make_tuple(-1, uint16_t{1}, std::string("abcdefghijklmnopqr")));
    NetworkCommand kick;
    ASSERT_TRUE(server.server.network->commands.try_pop(kick));
    EXPECT_EQ(std::tie(kick.kind, kick.peerId, kick.connection, kick.reason),
              std::make_tuple(0u, uint16_t{3}, 30u, std::string("bye now")));

    RunCases(resource, {
                           // Into the session it is in already: nothing sent, the flag kept.
                           {"Player.SetSession, 1, 0", "ok 0 "},
                           {"Player.IsSessionActive, 1", "ok 1 true"},
                           {"Player.SetSession, 1, 65536", "error 1 Invalid session ID 65536."},
                           {"Player.SetSession, 1, -1", "error 1 Invalid session ID -1."},
                           {"Player.SetSession, 9, 4", "ok 0 "},
                           {"Player.SetSession, 65537, 65535", "ok 0 "},
                           {"Player.GetSession, 1", "ok 1 65535"},
                           {"Player.IsSessionActive, 1", "ok 1 false"},
                       });
    auto hosts = TakeSent<SessionHostPacket>();
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(std::tie(hosts[0].first, hosts[0].second.hostId), std::make_tuple(3, uint16_t{0xFFFF}));
}

TEST_F(ScriptApiTest, SessionsAreSeenWithTheirHostAndActiveMembers)
{
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    for (uint16_t peer = 0; peer < 4; ++peer)
        AddClient(peer, peer + 1u);
    server.server.clientRegistry->RemoveClient(2);
    server.server.clientRegistry->GetClient(3)->sessionActive = true;
    Run(resource, "function list(id) return table.concat(Session.GetActivePlayers(id), ',') end");

    RunCases(resource, {
                           {"Session.GetSize, 0", "ok 1 3"},
                           {"Session.GetHostID, 0", "ok 1 65535"},
                           {"list, 0", "ok 1 3"},
                           {"list, 12", "ok 1 "},
                       });
    server.server.sessions->ClaimHost(0, server.server.clientRegistry->GetClient(3), 77);
    RunCases(resource, {{"Session.GetHostID, 0", "ok 1 3"}});
}

TEST_F(ScriptApiTest, EventsCallNestsAndCancelsPerTrigger)
{
    Resource* listener = Start("listener", R"lua(
Events.Subscribe('greet', function(a, b) Console.Log('greet ' .. tostring(a) .. ' ' .. tostring(b) .. ' from ' .. Events.GetSource()) end)
Events.Subscribe('inner', function() Events.Cancel() end)
Events.Subscribe('outer', function()
  Console.Log('inner returned ' .. tostring(Events.Call('inner', {})) .. ' ' .. tostring(Events.WasLastCanceled()))
end)
Events.Subscribe('e', function() Console.Log('no flag') end)
Events.Subscribe('e', function() Console.Log('zero ' .. Events.GetSource()) end, 0)
Events.Subscribe('e', function() Console.Log('false') end, false)
)lua");
    ASSERT_NE(listener, nullptr);
    Resource* caller = Start("caller", "");
    ASSERT_NE(caller, nullptr);
    AddClient(5, 50); // id 1
    server.TakeOutgoing();

    RunCases(caller, {
                         {"Events.CallRemote, 'hello', 65537, {7, 'seven', true}", "ok 0 "},
                         {"Events.CallRemote, 'hello', 2, {}", "error 1 Client with ID 2 doesn't exist."},
                         {"Events.BroadcastRemote, 'all', {}", "ok 0 "},
                         {"Events.Call, 'nobody', {}", "ok 1 true"},
                         {"Events.Call, 'greet', {1, 'two'}", "ok 1 true"},
                         {"Events.Call, 'inner', {}", "ok 1 false"},
                         {"Events.WasLastCanceled", "ok 1 true"},
                         {"Events.Call, 'outer', {}", "ok 1 true"},
                         {"Events.WasLastCanceled", "ok 1 false"},
                     });
    EXPECT_TRUE(log.Contains("[Script] listener: greet 1 two from 65535"));
    EXPECT_TRUE(log.Contains("[Script] listener: inner returned false true"));
    ScriptContext pack;
    pack.AddInt(7);
    pack.AddString("seven");
    pack.AddBool(true);
    std::vector<std::tuple<int, std::string, std::string>> sent;
    for (const auto& [peer, packet] : TakeSent<EventTriggerPacket>())
        sent.emplace_back(peer, packet.eventName, packet.args);
    EXPECT_EQ(sent, (decltype(sent){{5, "hello", pack.Pack()}, {-1, "all", ScriptContext().Pack()}}));

    // The remote flag is taken by its Lua truth: 0 allows, a missing flag or false refuses.
    server.Manager().QueueEvent("e", 3, true, ScriptContext());
    log.Clear();
    listener->Process();
    EXPECT_EQ(log.Messages(spdlog::level::info), std::vector<std::string>{"[Script] listener: zero 3"});
}

TEST_F(ScriptApiTest, ResourceStateAndExportCalls)
{
    Resource* provider = Start("provider", R"lua(
function multi(a, b) return a + b, 'sum', true, nil end
)lua",
                               "  <export function=\"multi\" type=\"server\"/>\n"
                               "  <export function=\"clientSide\" type=\"client\"/>\n");
    ASSERT_NE(provider, nullptr);
    Resource* caller = Start("caller", "");
    ASSERT_NE(caller, nullptr);
    base.WriteResource("idle", "<meta type=\"lua\"><export function=\"multi\" type=\"server\"/></meta>");
    ASSERT_TRUE(server.Manager().CreateResource("idle")->Load());

    RunCases(caller, {
                         {"Resource.GetState, 'idle'", "ok 1 loaded"},
                         {"Resource.GetState, 'nothing'", "ok 1 unknown"},
                         {"Resource.GetState, 'provider'", "ok 1 started"},
                         {"Resource.Call, 'provider', 'multi', {2, 3}", "ok 4 5|sum|true|nil"},
                         {"Resource.Call, 'provider', 'clientSide', {}",
                          "error 1 Failed to call exported function clientSide of resource provider."},
                         {"Resource.Call, 'idle', 'multi', {}",
                          "error 1 Failed to call exported function multi of resource idle."},
                         {"Resource.Call, 'nothing', 'multi', {}", "error 1 Resource nothing doesn't exist."},
                         {"function() return exports.provider:multi(1, 2) end", "ok 4 3|sum|true|nil"},
                         {"function() return exports.gone:multi(1) end", "ok 1 nil"},
                     });
    EXPECT_TRUE(log.Contains("[Script] caller: exports: Call to non-running server resource (gone)."));

    // A resource that stops after its table was taken gives nil from then on.
    ASSERT_TRUE(Run(caller, "held = exports.provider"));
    server.Manager().StopResource("provider");
    RunCases(caller, {{"function() return held:multi(1, 2) end", "ok 1 nil"}});
}

TEST_F(ScriptApiTest, EndlessExportRecursionBetweenResourcesEndsInAScriptError)
{
    const std::string meta = "  <export function=\"bounce\" type=\"server\"/>\n";
    Start("right", "function bounce(n) return Resource.Call('left', 'bounce', {n + 1}) end\n", meta);
    Resource* left =
        Start("left", "function bounce(n) return Resource.Call('right', 'bounce', {n + 1}) end\n", meta);
    ASSERT_NE(left, nullptr);
    RunCases(left, {{"bounce, 0", "error 1 Failed to call exported function bounce of resource right."},
                    {"Resource.GetState, 'right'", "ok 1 started"}});
}

TEST_F(ScriptApiTest, SquirrelErrorsAndMultipleResults)
{
    Start("provider", "function pair(a) return a, a * 2 end\n",
          "  <export function=\"pair\" type=\"server\"/>\n");
    base.WriteResource("sq", R"(<meta type="squirrel"><script src="main.nut" type="server"/></meta>)",
                       {{"main.nut", R"nut(
function log(label, value) { Console.Log(label + " " + value); }
try { Events.Subscribe("e", function(a) {}, 1); } catch (e) { log("subscribe int", e); }
try { Chat.SendMessage("one", "x"); } catch (e) { log("send", e); }
try { Resource.Call("provider", "pair"); } catch (e) { log("no args", e); }
log("state", Resource.GetState("sq"));
log("lua export", Resource.Call("provider", "pair", [4]));
log("prelude", exports.provider.pair(5));
)nut"}});
    ASSERT_NE(server.StartResource("sq"), nullptr);
    std::vector<std::string> lines;
    for (const std::string& message : log.Messages())
        if (message.rfind("[Script] sq: ", 0) == 0)
            lines.push_back(message.substr(13));
    // Squirrel keeps the last of several export results; the resource counts as started only once its
    // scripts have run.
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "subscribe int Expected an bool value", "send Expected an integer value",
                         "no args Expected an array value", "state loaded", "lua export 8", "prelude 10"}));
}

TEST_F(ScriptApiTest, ThreadsPauseAndResumeOnTheResourcePass)
{
    int64_t now = 1000;
    SetTimeSourceForTesting([&now] { return now; });
    Resource* resource = Start("api", R"lua(
check('pause outside', Thread.Pause, 10)
Thread.Create(function()
  check('nested', Thread.Create, function() end)
  Thread.Pause(100)
  Console.Log('thread b')
end)
)lua");
    ASSERT_NE(resource, nullptr);
    EXPECT_TRUE(
        log.Contains("[Script] api: pause outside error 1 PauseThread was used outside of a thread."));
    resource->Process();
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
