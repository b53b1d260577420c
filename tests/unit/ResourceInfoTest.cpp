// What resources tell the clients (ResourceInfo on start and after ClientInfo, ResourceStop on stop)
// and the three ways the network side raises events on resources.

#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "Network/NetPacket.h"
#include "Network/ServerEvents.h"
#include "ResourceTestUtil.h"

namespace
{

using restest::FakeHandler;
using restest::FakeScripts;
using restest::FakeVMScope;
using restest::TempBase;
using restest::TestServer;

template <typename T> T Decode(const std::string& payload)
{
    PacketEnvelope envelope;
    T packet;
    EXPECT_TRUE(NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(payload.data()),
                                               payload.size(), envelope));
    EXPECT_EQ(envelope.identifier, packet.identifier);
    EXPECT_TRUE(NetPacket::Deserialize(packet, envelope));
    return packet;
}

class ResourceInfoTest : public ::testing::Test
{
protected:
    void SetUp() override { restest::ResetSettings(); }

    void WriteResource(const std::string& name)
    {
        base.WriteResource(name, R"(<meta type="lua">
  <script src="server.lua" type="server"/>
  <file src="a.txt"/>
  <script src="client.lua" type="client"/>
  <export function="serverFn" type="server"/>
  <script src="shared.lua" type="shared"/>
  <export function="clientFn" type="client"/>
  <file src="img/b.png"/>
  <export function="sharedFn" type="shared"/>
</meta>)",
                           {{"server.lua", "s"},
                            {"client.lua", "c"},
                            {"shared.lua", "h"},
                            {"a.txt", "a"},
                            {"img/b.png", "b"}});
    }

    int32_t Subscribe(Resource* resource, const std::string& event, bool allowRemote,
                      std::function<bool(uint32_t)> body)
    {
        int32_t id = nextId++;
        scripts.handlers[id] = std::move(body);
        resource->AddHandler(event, FakeHandler(id), allowRemote);
        return id;
    }

    TempBase base;
    FakeScripts scripts;
    FakeVMScope fakeVM{scripts};
    TestServer server{true};
    int32_t nextId = 1;
};

TEST_F(ResourceInfoTest, StartTellsEveryClientWhatToDownload)
{
    WriteResource("res");
    Client* first = server.server.clientRegistry->AddClient(5);
    Client* second = server.server.clientRegistry->AddClient(2);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    Resource* resource = server.StartResource("res");
    ASSERT_NE(resource, nullptr);
    auto packets = server.TakeOutgoing();
    ASSERT_EQ(packets.size(), 2u);
    // Ascending client id: the client on peer 5 got id 1.
    EXPECT_EQ(packets[0].first, 5);
    EXPECT_EQ(packets[1].first, 2);
    EXPECT_EQ(packets[0].second, packets[1].second);

    auto info = Decode<ResourceInfoPacket>(packets[0].second);
    EXPECT_EQ(info.name, "res");
    EXPECT_EQ(info.scriptType, 0);
    EXPECT_EQ(info.paths, (std::map<uint64_t, std::string>{
                              {0, "client.lua"}, {1, "shared.lua"}, {2, "a.txt"}, {3, "img/b.png"}}));
    EXPECT_EQ(info.kinds, (std::map<uint64_t, int32_t>{{0, 0}, {1, 2}, {2, 3}, {3, 3}}));
    std::map<uint64_t, uint32_t> checksums;
    uint64_t index = 0;
    for (const auto& file : resource->GetFiles())
        if (file->GetKind() != ServerScript)
            checksums[index++] = file->GetChecksum();
    EXPECT_EQ(info.checksums, checksums);
    EXPECT_NE(info.checksums.at(0), 0u);
    EXPECT_EQ(info.exports, (std::vector<std::string>{"clientFn", "sharedFn"}));
}

TEST_F(ResourceInfoTest, ClientInfoGetsOneResourceInfoPerStartedResource)
{
    WriteResource("one");
    WriteResource("two");
    WriteResource("loadedOnly");
    ASSERT_NE(server.StartResource("one"), nullptr);
    ASSERT_NE(server.StartResource("two"), nullptr);
    ASSERT_TRUE(server.Manager().CreateResource("loadedOnly")->Load());
    server.TakeOutgoing();

    Client* client = server.server.clientRegistry->AddClient(4);
    SendStartedResourceInfo(client);
    auto packets = server.TakeOutgoing();
    ASSERT_EQ(packets.size(), 2u);
    std::set<std::string> names;
    for (const auto& [peer, payload] : packets)
    {
        EXPECT_EQ(peer, 4);
        names.insert(Decode<ResourceInfoPacket>(payload).name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"one", "two"}));
}

TEST_F(ResourceInfoTest, StopBroadcastsResourceStop)
{
    WriteResource("res");
    ASSERT_NE(server.StartResource("res"), nullptr);
    server.TakeOutgoing();
    server.Manager().StopResource("res");
    auto packets = server.TakeOutgoing();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].first, -1);
    EXPECT_EQ(Decode<ResourceStopPacket>(packets[0].second).name, "res");
}

TEST_F(ResourceInfoTest, NetworkEventsReachTheHandlers)
{
    WriteResource("res");
    Resource* resource = server.StartResource("res");
    ASSERT_NE(resource, nullptr);
    std::vector<std::string> seen;
    Subscribe(resource, "playerDisconnect", false,
              [&](uint32_t count)
              {
                  seen.push_back("disconnect/" + std::to_string(count) + "/" +
                                 std::to_string(resource->GetSource()));
                  return true;
              });
    Subscribe(resource, "hello", true,
              [&](uint32_t count)
              {
                  seen.push_back("hello/" + std::to_string(count) + "/" +
                                 std::to_string(resource->GetSource()));
                  return true;
              });
    Subscribe(resource, "hello", false,
              [&](uint32_t)
              {
                  seen.push_back("local-only handler ran");
                  return true;
              });

    QueuePlayerDisconnect(3, "Nick", 2);
    ScriptContext args;
    args.AddInt(5);
    args.AddString("x");
    QueueRemoteEvent("hello", 7, args.Pack());
    LogCapture log;
    QueueRemoteEvent("hello", 8, "\xc1"); // not an argument pack: queued all the same, without arguments
    EXPECT_TRUE(seen.empty()) << "queued, not run";
    EXPECT_TRUE(log.Contains("[ScriptContext] Packet data deserialization failed:"));

    server.Manager().Process();
    EXPECT_EQ(seen, (std::vector<std::string>{"disconnect/3/65535", "hello/2/7", "hello/0/8"}));
    EXPECT_EQ(log.Messages(spdlog::level::warn).size(), 3u) << "the pack warning and two refusals";
}

} // namespace
