// What resources tell the clients: ResourceInfo on start and after ClientInfo, ResourceStop on stop.

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Network/NetPacket.h"
#include "Network/ServerEvents.h"
#include "ResourceTestUtil.h"

namespace
{

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

    TempBase base;
    FakeScripts scripts;
    FakeVMScope fakeVM{scripts};
    TestServer server{true};
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

TEST_F(ResourceInfoTest, ClientInfoGetsOneResourceInfoPerStartedResourceAndStopsAreBroadcast)
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

    // A stop is broadcast.
    server.Manager().StopResource("one");
    packets = server.TakeOutgoing();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].first, -1);
    EXPECT_EQ(Decode<ResourceStopPacket>(packets[0].second).name, "one");
}

} // namespace
