// Sessions: membership, host claims, host votes and host requests, with the clock under control.

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "InProcessServer.h"
#include "LogCapture.h"
#include "Network/Client.h"
#include "Network/Session.h"
#include "Server/Platform.h"

namespace
{
using HostVoteTo = std::tuple<uint16_t, uint32_t, uint32_t>; // to peer, host id, host data

std::vector<HostVoteTo> HostVotes(const std::vector<InProcessServer::Sent>& sent)
{
    std::vector<HostVoteTo> votes;
    for (const auto& [to, packet] : InProcessServer::All<HostVotePacket>(sent))
        votes.emplace_back(to.broadcast ? 0xFFFF : to.peerId, packet.hostId, packet.hostData);
    return votes;
}

std::vector<std::string> HostResponses(const std::vector<InProcessServer::Sent>& sent, uint16_t peerId)
{
    std::vector<std::string> statuses;
    for (const auto& [to, packet] : InProcessServer::All<HostResponsePacket>(sent))
        if (to.peerId == peerId)
            statuses.push_back(packet.status);
    return statuses;
}

struct Rig
{
    Rig()
    {
        SetTimeSourceForTesting([this] { return nowMs; });
        server.network().SetEnetClockForTesting([] { return 500u; });
    }

    // Client ids 1..count on peer ids 10, 11, ... (connection = client id), named "p<id>".
    std::vector<Client*> AddClients(int count)
    {
        std::vector<Client*> added;
        for (int i = 0; i < count; ++i)
        {
            added.push_back(
                server.registry().AddClient(static_cast<uint16_t>(10 + i), static_cast<uint32_t>(i + 1)));
            added.back()->name = "p" + std::to_string(i + 1);
        }
        return added;
    }

    InProcessServer server{{{"maxplayers", "10"}}};
    int64_t nowMs = 100000;
};

struct SessionTest : ::testing::Test, Rig
{
};

TEST(Session, CandidateWinsWithTheNeededVotesAndEveryMemberIsTold)
{
    for (auto [members, votesToWin] : {std::pair{1, 1}, {2, 2}, {4, 3}})
    {
        SCOPED_TRACE(members);
        Rig rig;
        auto clients = rig.AddClients(members);
        uint32_t id = clients.back()->serverId;
        LogCapture log;
        for (int vote = 0; vote < votesToWin; ++vote)
            rig.server.sessions().HostVote(0, id, 77);
        EXPECT_EQ(rig.server.sessions().Find(0)->hostId, id);
        std::vector<HostVoteTo> expected;
        for (Client* member : clients)
            expected.emplace_back(member->peerId, id, 77);
        EXPECT_EQ(HostVotes(rig.server.Drain()), expected);
        const std::string n = std::to_string(id), v = std::to_string(votesToWin);
        // The count in the line also shows the win came no earlier.
        EXPECT_TRUE(log.Contains("[Session] p" + n + "(" + n + ") won host vote for session 0 (" + v + "/" +
                                 v + " votes)."));
    }
}

TEST_F(SessionTest, VotesClaimsAndTheHostLeaving)
{
    auto clients = AddClients(3);
    // p1 wins and p2's first vote goes with it; votes for the host or a non-member are ignored.
    for (uint32_t candidate : {2u, 1u, 1u, 1u, 7u, 2u})
        server.sessions().HostVote(0, candidate, 0);
    EXPECT_EQ(server.sessions().Find(0)->hostId, 1);
    EXPECT_EQ(server.sessions().Find(0)->votes.size(), 1u);
    server.sessions().HostVote(0, 2, 9);
    EXPECT_EQ(server.sessions().Find(0)->hostId, 2) << "a won vote replaces the holder";
    server.sessions().ClaimHost(0, clients[2], 99); // refused while the role is held
    server.Drain();

    // The host leaves: the others (not the leaver) learn the role is vacant; then a claim succeeds.
    server.registry().RemoveClient(2);
    EXPECT_EQ(HostVotes(server.Drain()), (std::vector<HostVoteTo>{{10, 65535, 65535}, {12, 65535, 65535}}));
    server.sessions().ClaimHost(0, clients[2], 99);
    EXPECT_EQ(HostVotes(server.Drain()), (std::vector<HostVoteTo>{{10, 3, 99}, {12, 3, 99}}));
}

TEST_F(SessionTest, ARecordCreatedAgainStartsAfresh)
{
    auto clients = AddClients(2);
    server.registry().SetClientSession(1, 5);
    server.sessions().HostVote(5, 1, 0); // one member: wins at once
    server.sessions().HostRequest(5, clients[0]);
    server.registry().SetClientSession(1, 0); // the last member leaves session 5
    server.registry().SetClientSession(2, 5);
    ASSERT_NE(server.sessions().Find(5), nullptr);
    EXPECT_EQ(server.sessions().Find(5)->hostId, kNoHost);
    EXPECT_EQ(server.sessions().Find(5)->lastHostGrantMs, -1);
}

TEST(Session, AFreeAnswerOpensAFiveSecondConflictWindow)
{
    for (auto [delayMs, second] : {std::pair<int64_t, const char*>{4999, "conflict"}, {5000, "free"}})
    {
        SCOPED_TRACE(delayMs);
        Rig rig;
        auto clients = rig.AddClients(2);
        LogCapture log;
        rig.server.sessions().HostRequest(0, clients[0]);
        rig.nowMs += delayMs;
        rig.server.sessions().HostRequest(0, clients[0]);
        EXPECT_EQ(HostResponses(rig.server.Drain(), 10), (std::vector<std::string>{"free", second}));
        EXPECT_TRUE(log.Contains("[Session] Allowed p1(1) to host session 0."));
    }
}

TEST(Session, AHostHeardFromWithinOneSecondKeepsTheSession)
{
    // Host connected, connection shifted (a newcomer on its peer), heard ago (wraps: ENet's clock is 500),
    // asker.
    const std::tuple<bool, uint32_t, uint32_t, size_t, const char*> cases[] = {{true, 0, 999, 1, "hosted"},
                                                                               {true, 0, 1000, 1, "free"},
                                                                               {false, 0, 0, 1, "free"},
                                                                               {true, 100, 0, 1, "free"},
                                                                               {true, 0, 0, 0, "free"}};
    for (const auto& [connected, shift, heardAgoMs, asker, answer] : cases)
    {
        SCOPED_TRACE(testing::PrintToString(std::tuple{connected, shift, heardAgoMs, asker}));
        Rig rig;
        auto clients = rig.AddClients(2);
        rig.server.sessions().ClaimHost(0, clients[0], 1);
        rig.server.network().PublishPeerForTesting(clients[0]->peerId, connected,
                                                   clients[0]->connection + shift, 20, 500 - heardAgoMs);
        rig.server.Drain();
        rig.server.sessions().HostRequest(0, clients[asker]);
        EXPECT_EQ(HostResponses(rig.server.Drain(), clients[asker]->peerId),
                  std::vector<std::string>{answer});
    }
}
} // namespace
