// The script functions of the Chat, Player, Session, Events, Resource, Console and Thread modules,
// called from real Lua resources in-process. Scripts report what they got through Console.Log
// ("[Script] <resource>: <label> ok|error <result count> <results joined by |>"); packets and kicks
// are read from the network's queues, which no worker drains here.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "Network/NetPacket.h"
#include "PacketPeek.h"
#include "ResourceTestUtil.h"
#include "Scripting/ScriptApi.h"
#include "Scripting/ScriptFunctionRegistry.h"
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
    const char* call;     // Lua arguments of check(), e.g. "'name', Player.GetName, 1"
    const char* expected; // the logged report without "[Script] api: "
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
            ASSERT_TRUE(Run(resource, std::string("check(") + each.call + ")")) << each.call;
            EXPECT_EQ(LastReport(), each.expected) << each.call;
        }
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

TEST_F(ScriptApiTest, ModulesHoldTheirFunctionsInRegistrationOrder)
{
    using Functions = std::vector<std::pair<std::string, ScriptFunctionNative>>;
    const std::map<std::string, Functions> expected = {
        {"Chat",
         {{"SendMessage", &ScriptChatSendMessage}, {"BroadcastMessage", &ScriptChatBroadcastMessage}}},
        {"Player",
         {{"IsConnected", &ScriptPlayerIsConnected},
          {"GetName", &ScriptPlayerGetName},
          {"SetName", &ScriptPlayerSetName},
          {"GetPing", &ScriptPlayerGetPing},
          {"Kick", &ScriptPlayerKick},
          {"SetSession", &ScriptPlayerSetSession},
          {"GetSession", &ScriptPlayerGetSession},
          {"IsSessionActive", &ScriptPlayerIsSessionActive}}},
        {"Session",
         {{"GetSize", &ScriptSessionGetSize},
          {"GetHostID", &ScriptSessionGetHostID},
          {"GetActivePlayers", &ScriptSessionGetActivePlayers}}},
        {"Events",
         {{"Subscribe", &ScriptEventsSubscribe},
          {"Call", &ScriptEventsCall},
          {"CallRemote", &ScriptEventsCallRemote},
          {"BroadcastRemote", &ScriptEventsBroadcastRemote},
          {"GetSource", &ScriptEventsGetSource},
          {"Cancel", &ScriptEventsCancel},
          {"WasLastCanceled", &ScriptEventsWasLastCanceled}}},
        {"Resource", {{"GetState", &ScriptResourceGetState}, {"Call", &ScriptResourceCall}}},
        {"Console", {{"Log", &ScriptConsoleLog}}},
        {"Thread", {{"Create", &ScriptThreadCreate}, {"Pause", &ScriptThreadPause}}},
    };
    const ScriptFunctionRegistry& registry = GetScriptFunctionRegistry();
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    for (const auto& [nameSpace, functions] : expected)
    {
        Functions registered;
        auto [begin, end] = registry.equal_range(nameSpace);
        for (auto it = begin; it != end; ++it)
            registered.emplace_back(it->second->name, it->second->native);
        EXPECT_EQ(registered, functions) << nameSpace;
        // Every one reachable from Lua as a field of its namespace's global table.
        for (const auto& [function, native] : functions)
        {
            ASSERT_TRUE(Run(resource, "check('" + function + "', function() return type(" + nameSpace + "." +
                                          function + ") end)"));
            EXPECT_EQ(LastReport(), function + " ok 1 function");
        }
    }
}

TEST_F(ScriptApiTest, ConsoleLogWritesTheTextUnchanged)
{
    Resource* resource = Start("api", "Console.Log('plain {} {0} %s text')");
    ASSERT_NE(resource, nullptr);
    EXPECT_TRUE(log.Contains("[Script] api: plain {} {0} %s text"));
    RunCases(resource, {
                           {"'log', Console.Log, 'x'", "log ok 0 "},
                           {"'number', Console.Log, 12", "number ok 0 "},
                           {"'table', Console.Log, {}",
                            "table error 1 bad argument #1 to '?' (string expected, got table)"},
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

    RunCases(resource, {
                           {"'send', Chat.SendMessage, 2, 'to two'", "send ok 0 "},
                           {"'wrapped', Chat.SendMessage, 65537, 'to one'", "wrapped ok 0 "},
                           {"'missing', Chat.SendMessage, 65539, 'x'",
                            "missing error 1 Client with ID 65539 doesn't exist."},
                           {"'negative', Chat.SendMessage, -1, 'x'",
                            "negative error 1 Client with ID -1 doesn't exist."},
                           {"'no text', Chat.SendMessage, 1, {}",
                            "no text error 1 bad argument #2 to '?' (string expected, got table)"},
                           {"'no id', Chat.SendMessage, 'one', 'x'",
                            "no id error 1 bad argument #1 to '?' (number expected, got string)"},
                           {"'fraction', Chat.SendMessage, 1.5, 'x'",
                            "fraction error 1 bad argument #1 to '?' (number has no integer representation)"},
                           {"'all', Chat.BroadcastMessage, 'to all'", "all ok 0 "},
                           {"'all bad', Chat.BroadcastMessage, nil",
                            "all bad error 1 bad argument #1 to '?' (string expected, got nil)"},
                       });

    std::vector<std::pair<int, std::string>> sent;
    for (const auto& [peer, bytes] : server.TakeOutgoing())
    {
        auto chat = Decode<ChatMessagePacket>(bytes);
        ASSERT_TRUE(chat);
        sent.emplace_back(peer, chat->text);
    }
    // Broadcast even though the chat setting is off.
    EXPECT_EQ(sent, (std::vector<std::pair<int, std::string>>{{6, "to two"}, {4, "to one"}, {-1, "to all"}}));
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
            {"'connected', Player.IsConnected, 1", "connected ok 1 true"},
            {"'wrapped', Player.IsConnected, 65537", "wrapped ok 1 true"},
            {"'absent', Player.IsConnected, 2", "absent ok 1 false"},
            {"'unnamed', Player.GetName, 1", "unnamed ok 1 "},
            {"'name absent', Player.GetName, 9", "name absent error 1 Client with ID 9 doesn't exist."},
            {"'set18', Player.SetName, 65537, 'abcdefghijklmnopqr'", "set18 ok 0 "},
            {"'get18', Player.GetName, 1", "get18 ok 1 abcdefghijklmnopqr"},
            {"'set19', Player.SetName, 1, 'abcdefghijklmnopqrs'",
             "set19 error 1 Invalid name (max 18 characters)."},
            {"'empty', Player.SetName, 1, ''", "empty error 1 Invalid name (max 18 characters)."},
            // The length test comes before the lookup.
            {"'long absent', Player.SetName, 5, ''", "long absent error 1 Invalid name (max 18 characters)."},
            {"'absent', Player.SetName, 5, 'bob'", "absent error 1 Client with ID 5 doesn't exist."},
            // 9 two-byte characters are 18 bytes; 10 are 20.
            {"'utf8 18', Player.SetName, 1, string.rep('\\xc3\\xa9', 9)", "utf8 18 ok 0 "},
            {"'utf8 20', Player.SetName, 1, string.rep('\\xc3\\xa9', 10)",
             "utf8 20 error 1 Invalid name (max 18 characters)."},
            {"'no name', Player.SetName, 1, {}",
             "no name error 1 bad argument #2 to '?' (string expected, got table)"},
        });
    std::string accented;
    for (int i = 0; i < 9; ++i)
        accented += "\xc3\xa9";
    EXPECT_EQ(one->name, accented);

    std::vector<std::pair<int, PlayerNamePacket>> sent;
    for (const auto& [peer, bytes] : server.TakeOutgoing())
    {
        auto packet = Decode<PlayerNamePacket>(bytes);
        ASSERT_TRUE(packet);
        sent.emplace_back(peer, *packet);
    }
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].first, -1);
    EXPECT_EQ(sent[0].second.serverId, 1);
    EXPECT_EQ(sent[0].second.name, "abcdefghijklmnopqr");
    EXPECT_EQ(sent[1].second.name, one->name);
}

TEST_F(ScriptApiTest, PlayerPingAndKick)
{
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    AddClient(2, 20); // id 1
    server.server.network->PublishPeerForTesting(2, true, 20, 48, 0);

    RunCases(resource,
             {
                 {"'ping', Player.GetPing, 1", "ping ok 1 48"},
                 {"'ping absent', Player.GetPing, 3", "ping absent error 1 Client with ID 3 doesn't exist."},
             });
    // The peer is gone but the disconnect is not handled yet: still one integer.
    server.server.network->PublishPeerForTesting(2, false, 20, 48, 0);
    RunCases(resource, {{"'ping gone', Player.GetPing, 1", "ping gone ok 1 48"}});

    RunCases(resource,
             {
                 {"'kick', Player.Kick, 1", "kick ok 0 "},
                 {"'still', Player.IsConnected, 1", "still ok 1 true"},
                 {"'kick reason', Player.Kick, 65537, 'bye now'", "kick reason ok 0 "},
                 {"'kick absent', Player.Kick, 4, {}", "kick absent error 1 Client with ID 4 doesn't exist."},
                 {"'bad reason', Player.Kick, 1, {}",
                  "bad reason error 1 bad argument #2 to '?' (string expected, got table)"},
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

    RunCases(resource,
             {
                 {"'session', Player.GetSession, 1", "session ok 1 0"},
                 {"'active', Player.IsSessionActive, 1", "active ok 1 true"},
                 // Into the session it is in already: nothing sent, the flag kept.
                 {"'same', Player.SetSession, 1, 0", "same ok 0 "},
                 {"'active kept', Player.IsSessionActive, 1", "active kept ok 1 true"},
                 {"'too big', Player.SetSession, 1, 65536", "too big error 1 Invalid session ID 65536."},
                 {"'negative', Player.SetSession, 1, -1", "negative error 1 Invalid session ID -1."},
                 {"'absent', Player.SetSession, 9, 4", "absent ok 0 "},
                 {"'bad session', Player.SetSession, 1, 'x'",
                  "bad session error 1 bad argument #2 to '?' (number expected, got string)"},
             });
    EXPECT_EQ(one->sessionId, 0);
    EXPECT_TRUE(server.TakeOutgoing().empty());

    RunCases(resource,
             {
                 {"'move', Player.SetSession, 65537, 65535", "move ok 0 "},
                 {"'moved', Player.GetSession, 1", "moved ok 1 65535"},
                 {"'inactive', Player.IsSessionActive, 1", "inactive ok 1 false"},
                 {"'absent', Player.GetSession, 2", "absent error 1 Client with ID 2 doesn't exist."},
                 {"'absent flag', Player.IsSessionActive, 2",
                  "absent flag error 1 Client with ID 2 doesn't exist."},
             });
    auto sent = server.TakeOutgoing();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, 1);
    auto host = Decode<SessionHostPacket>(sent[0].second);
    ASSERT_TRUE(host);
    EXPECT_EQ(host->hostId, 0xFFFF);
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

    RunCases(resource, {
                           {"'size', Session.GetSize, 0", "size ok 1 3"},
                           {"'size none', Session.GetSize, 12", "size none ok 1 0"},
                           {"'host', Session.GetHostID, 0", "host ok 1 65535"},
                           {"'host none', Session.GetHostID, 12", "host none ok 1 65535"},
                           {"'active', list, 0", "active ok 2 2|5,7"},
                           {"'active none', list, 12", "active none ok 2 0|"},
                           {"'bad', Session.GetSize, nil",
                            "bad error 1 bad argument #1 to '?' (number expected, got nil)"},
                       });
    server.server.sessions->ClaimHost(0, server.server.clientRegistry->GetClient(5), 77);
    RunCases(resource, {{"'claimed', Session.GetHostID, 0", "claimed ok 1 5"}});
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

    RunCases(caller, {
                         {"'none', Events.Call, 'nobody', {}", "none ok 1 true"},
                         {"'none flag', Events.WasLastCanceled", "none flag ok 1 false"},
                         {"'greet', Events.Call, 'greet', {1, 'two'}", "greet ok 1 true"},
                         {"'inner', Events.Call, 'inner', {}", "inner ok 1 false"},
                         {"'inner flag', Events.WasLastCanceled", "inner flag ok 1 true"},
                         {"'cancel outside', Events.Cancel", "cancel outside ok 0 "},
                         {"'outer', Events.Call, 'outer', {}", "outer ok 1 true"},
                         {"'outer flag', Events.WasLastCanceled", "outer flag ok 1 false"},
                         {"'no args', Events.Call, 'greet'",
                          "no args error 1 bad argument #2 to '?' (table expected, got no value)"},
                         {"'source', Events.GetSource", "source ok 1 65535"},
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
    RunCases(resource, {{"'source', Events.GetSource", "source ok 1 3"}});
}

TEST_F(ScriptApiTest, RemoteEventsCarryTheirArgumentPack)
{
    Resource* resource = Start("api", "");
    ASSERT_NE(resource, nullptr);
    AddClient(5, 50); // id 1
    server.TakeOutgoing();

    RunCases(resource,
             {
                 {"'remote', Events.CallRemote, 'hello', 65537, {7, 'seven', true}", "remote ok 0 "},
                 {"'missing', Events.CallRemote, 'hello', 2, {}",
                  "missing error 1 Client with ID 2 doesn't exist."},
                 {"'negative', Events.CallRemote, 'hello', -1, {}",
                  "negative error 1 Client with ID -1 doesn't exist."},
                 {"'no args', Events.CallRemote, 'hello', 1",
                  "no args error 1 bad argument #3 to '?' (table expected, got no value)"},
                 {"'broadcast', Events.BroadcastRemote, 'all', {}", "broadcast ok 0 "},
                 {"'broadcast bad', Events.BroadcastRemote, 'all', 5",
                  "broadcast bad error 1 bad argument #2 to '?' (table expected, got number)"},
             });

    ScriptContext expected;
    expected.AddInt(7);
    expected.AddString("seven");
    expected.AddBool(true);
    auto sent = server.TakeOutgoing();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].first, 5);
    auto remote = Decode<EventTriggerPacket>(sent[0].second);
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->eventName, "hello");
    EXPECT_EQ(remote->args, expected.Pack());
    EXPECT_EQ(sent[1].first, -1);
    auto broadcast = Decode<EventTriggerPacket>(sent[1].second);
    ASSERT_TRUE(broadcast);
    EXPECT_EQ(broadcast->eventName, "all");
    EXPECT_EQ(broadcast->args, ScriptContext().Pack());
}

TEST_F(ScriptApiTest, CancelOnlyReachesTriggeredEvents)
{
    Resource* resource = Start("api", R"lua(
Events.Subscribe('resourceStart', function(name) Events.Cancel() Console.Log('start ' .. name) end)
Events.Subscribe('resourceStop', function(name)
  if keep then Events.Cancel() end
  Console.Log('stop ' .. name .. ' ' .. Events.GetSource())
end)
)lua");
    ASSERT_NE(resource, nullptr);
    resource->Process();
    EXPECT_TRUE(log.Contains("[Script] api: start api"));

    Run(resource, "keep = true");
    server.Manager().StopResource("api");
    ASSERT_EQ(server.Manager().GetResource("api"), resource);
    EXPECT_TRUE(log.Contains("[ResourceManager] Stopping of resource api was canceled."));
    Run(resource, "keep = false");
    server.Manager().StopResource("api");
    EXPECT_EQ(server.Manager().GetResource("api"), nullptr);
    size_t stopLines = 0;
    for (const std::string& message : log.Messages())
        stopLines += message == "[Script] api: stop api 65535" ? 1 : 0;
    EXPECT_EQ(stopLines, 2u);
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
                         {"'created', Resource.GetState, 'idle'", "created ok 1 stopped"},
                         {"'unknown', Resource.GetState, 'nothing'", "unknown ok 1 unknown"},
                         {"'started', Resource.GetState, 'provider'", "started ok 1 started"},
                         {"'multi', Resource.Call, 'provider', 'multi', {2, 3}", "multi ok 4 5|sum|true|nil"},
                         {"'failing', Resource.Call, 'provider', 'fails', {}",
                          "failing error 1 Failed to call exported function fails of resource provider."},
                         {"'client', Resource.Call, 'provider', 'clientSide', {}",
                          "client error 1 Failed to call exported function clientSide of resource provider."},
                         {"'absent', Resource.Call, 'nothing', 'multi', {}",
                          "absent error 1 Resource nothing doesn't exist."},
                         {"'no args', Resource.Call, 'provider', 'multi'",
                          "no args error 1 bad argument #3 to '?' (table expected, got no value)"},
                     });
    ASSERT_TRUE(idle->Load());
    RunCases(caller, {
                         {"'loaded', Resource.GetState, 'idle'", "loaded ok 1 loaded"},
                         {"'not started', Resource.Call, 'idle', 'multi', {}",
                          "not started error 1 Failed to call exported function multi of resource idle."},
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

    RunCases(left, {{"'bounce', bounce, 0",
                     "bounce error 1 Failed to call exported function bounce of resource right."}});
    RunCases(left, {{"'depth', function() return depth > 10 end", "depth ok 1 true"}});
    // Both VMs are still usable afterwards.
    RunCases(right, {{"'after', Resource.GetState, 'left'", "after ok 1 started"}});
}

TEST_F(ScriptApiTest, ExportsPreludeCallsRunningResourcesOnly)
{
    Resource* provider = Start("provider", "function pair(a) return a, a * 2 end\n",
                               "  <export function=\"pair\" type=\"server\"/>\n");
    ASSERT_NE(provider, nullptr);
    Resource* caller = Start("caller", "");
    ASSERT_NE(caller, nullptr);

    RunCases(caller, {
                         {"'pair', function() return exports.provider:pair(21) end", "pair ok 2 21|42"},
                         {"'absent', function() return exports.gone:pair(1) end", "absent ok 1 nil"},
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
    RunCases(caller, {{"'stopped', function() return held:pair(1) end", "stopped ok 1 nil"}});
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
    std::vector<std::pair<int, std::string>> chats;
    for (const auto& [peer, bytes] : server.TakeOutgoing())
    {
        if (auto chat = Decode<ChatMessagePacket>(bytes))
            chats.emplace_back(peer, chat->text);
    }
    EXPECT_EQ(chats, (std::vector<std::pair<int, std::string>>{{8, "from squirrel"}}));
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
