// Hostile and unlucky traffic against the real server binary: input sized to exhaust the server, and
// packets that could reach the wrong party when a player leaves and a newcomer takes over its ENet
// peer id. Each case checks that the main loop still answers.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "Network/Network.h"
#include "Network/PacketWriter.h"
#include "Scripting/ScriptContext.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{
using namespace std::chrono_literals;

// Connects and takes the welcome packet within `timeout`; null when either fails.
std::unique_ptr<TestClient> Welcomed(ServerProcess& server, ServerInfoPacket* welcome = nullptr,
                                     TestClient::Duration timeout = TestClient::kDefaultTimeout)
{
    auto client = std::make_unique<TestClient>();
    if (!client->Connect(server.Port(), timeout))
        return nullptr;
    auto info = client->WaitFor<ServerInfoPacket>({}, timeout);
    if (!info)
        return nullptr;
    if (welcome)
        *welcome = *info;
    return client;
}

bool IsRelayed(const TestClient::Received& packet, const std::string& data)
{
    return packet.channel == 1 && packet.bytes.find(data) != std::string::npos;
}

void ExpectNoSanitizerReport(const ServerProcess& server)
{
    for (const char* report : {"ThreadSanitizer", "AddressSanitizer", "runtime error:"})
        EXPECT_EQ(server.CountLines(report), 0u) << server.OutputText();
}

TEST(NetworkHostile, InputSizedToExhaustTheServerIsBounded)
{
    ServerProcess server;
    server.WriteSettings({{"maxplayers", "8"}, {"loglevel", "0"}});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage("[Network] Worker thread successfully initialized ENet.", 10s));

    // "x" and two-byte characters: the cut falls inside a character and keeps only whole ones.
    std::string longName = "x", cutName = "x";
    for (int i = 0; i < 2 * 1024 * 1024; ++i)
        longName += "\xc3\xa4";
    for (int i = 0; i < 8; ++i)
        cutName += "\xc3\xa4";

    const struct
    {
        const char* name;
        std::function<void(TestClient&)> send;
        std::string logged;
        std::string storedName; // the sender's name in a later welcome
    } cases[] = {
        {"a ClientInfo name of 4 MiB", [&](TestClient& client) { client.Send(ClientInfoPacket{longName}); },
         "[Debug] ClientInfo name of " + std::to_string(longName.size()) + " bytes cut to 17 bytes.",
         cutName},
        {"a packet just above 32 MiB",
         [](TestClient& client) { client.SendRaw(0, std::string(Network::kMaxIncomingPacketSize + 1, 'p')); },
         "[Network] Incoming packet is too big (33554433 bytes).", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ServerInfoPacket own;
        auto hostile = Welcomed(server, &own);
        ASSERT_TRUE(hostile);
        c.send(*hostile);
        ASSERT_TRUE(server.WaitForMessage(c.logged, 20s)) << server.OutputText();

        ServerInfoPacket welcome;
        const auto asked = std::chrono::steady_clock::now();
        auto newcomer = Welcomed(server, &welcome, 1000ms);
        ASSERT_TRUE(newcomer) << "no welcome within a second";
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 1000ms);
        EXPECT_EQ(welcome.players[own.serverId], c.storedName);
        EXPECT_TRUE(hostile->IsConnected());
    }
    ExpectNoSanitizerReport(server);
}

// A resource holds the main loop in an event handler until the test lets it go; meanwhile player A
// leaves and newcomer B takes A's peer id. Before the next pass the server still counts A as a
// player, and, with both ids taken, B gets none.
const char* kHoldScript = R"lua(
Events.Subscribe('hold', function()
  local me = Events.GetSource()
  Console.Log('holding ' .. me)
  local deadline = os.time() + 20
  while os.time() < deadline do
    local go = io.open('go')
    if go then go:close() break end
  end
  Chat.SendMessage(me, 'late for A')
  Console.Log('sent late')
end, true)
)lua";

TEST(NetworkHostile, NothingReachesTheWrongParty)
{
    ServerProcess server;
    server.WriteFile("resources/hold/meta.xml",
                     R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)");
    server.WriteFile("resources/hold/main.lua", kHoldScript);
    server.WriteSettings({{"maxplayers", "2"}, {"loglevel", "0"}, {"resource", "hold"}});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully loaded resource hold.", 10s));

    ServerInfoPacket info;
    auto a = Welcomed(server, &info);
    ASSERT_TRUE(a);
    ASSERT_EQ(info.serverId, 1);
    auto t = Welcomed(server, &info);
    ASSERT_TRUE(t);
    ASSERT_EQ(info.serverId, 2);

    a->Send(EventTriggerPacket{"hold", ScriptContext().Pack()});
    ASSERT_TRUE(server.WaitForMessage("[Script] hold: holding 1"));
    ASSERT_TRUE(a->Disconnect());
    ASSERT_TRUE(server.WaitForMessage("[Network] Peer 0 has disconnected."));
    TestClient b;
    ASSERT_TRUE(b.Connect(server.Port()));
    ASSERT_TRUE(server.WaitForCount("[Network] Peer 0 is connecting.", 2)) << "B takes A's peer id";
    t->SendGamePacket(2, 1, "for departed A");
    b.SendGamePacket(0, 2, "from B, still unknown");
    ASSERT_TRUE(
        t->WaitForPacket([](const TestClient::Received& p) { return IsRelayed(p, "still unknown"); }));
    EXPECT_EQ(server.CountLines("sent late"), 0u) << "the main loop was held throughout";
    server.WriteFile("go", "");

    ASSERT_TRUE(server.WaitForMessage("[Script] hold: sent late"));
    ASSERT_TRUE(server.WaitForMessage("[Network] No slot free for peer 0."));
    ASSERT_TRUE(server.WaitForMessage("[Network] Client (1) disconnected."));
    b.SendGamePacket(0, 2, "from B, without client id");
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(server.WriteLine("help"));
    ASSERT_TRUE(server.WaitForMessage("[Help] List of commands:", 1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1000ms);
    t->Send(ChatMessagePacket{"marker"});
    ASSERT_TRUE(b.WaitFor<ChatMessagePacket>([](const ChatMessagePacket& p) { return p.text == "marker"; }));

    const struct
    {
        const char* name;
        TestClient* receiver;
        std::function<bool(const TestClient::Received&)> match;
        bool delivered;
    } deliveries[] = {
        {"a chat line queued for A", &b,
         [](const TestClient::Received& p)
         {
             auto chat = TestClient::Decode<ChatMessagePacket>(p);
             return chat && chat->text == "late for A";
         },
         false},
        {"a relay to A's client id", &b,
         [](const TestClient::Received& p) { return IsRelayed(p, "for departed A"); }, false},
        {"a relay from B without client id", t.get(),
         [](const TestClient::Received& p) { return IsRelayed(p, "without client id"); }, true},
    };
    for (const auto& d : deliveries)
    {
        SCOPED_TRACE(d.name);
        if (d.delivered)
            EXPECT_TRUE(d.receiver->WaitForPacket(d.match, 1000ms));
        else
            EXPECT_FALSE(d.receiver->WaitForPacket(d.match, 0ms));
    }
    ExpectNoSanitizerReport(server);
}
} // namespace
