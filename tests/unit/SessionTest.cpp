// Sessions: membership, host claims, host votes and host requests, with the clock under control.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "InProcessServer.h"
#include "LogCapture.h"
#include "Network/Client.h"
#include "Network/Session.h"
#include "Server/Platform.h"

namespace
{
struct HostVoteTo
{
    uint16_t peerId;
    uint32_t hostId;
    uint32_t hostData;
    bool operator==(const HostVoteTo&) const = default;
};

std::vector<HostVoteTo> HostVotes(const std::vector<InProcessServer::Sent>& sent)
{
    std::vector<HostVoteTo> votes;
    for (const auto& [to, packet] : InProcessServer::All<HostVotePacket>(sent))
    {
        EXPECT_FALSE(to.broadcast);
        votes.push_back({to.peerId, packet.hostId, packet.hostData});
    }
    return votes;
}

std::vector<std::string> HostResponses(const std::vector<InProcessServer::Sent>& sent, uint16_t peerId)
{
    std::vector<std::string> statuses;
    for (const auto& [to, packet] : InProcessServer::All<HostResponsePacket>(sent))
    {
        if (to.peerId == peerId)
            statuses.push_back(packet.status);
    }
    return statuses;
}

class SessionTest : public ::testing::Test
{
protected:
    SessionTest()
    {
        SetTimeSourceForTesting([this] { return nowMs; });
        server.network().SetEnetClockForTesting([this] { return enetNowMs; });
    }

    // Client ids 1..count on peer ids 10, 11, ... (connection = client id), named "p<id>".
    std::vector<Client*> AddClients(int count)
    {
        std::vector<Client*> added;
        for (int i = 0; i < count; ++i)
        {
            uint16_t peerId = static_cast<uint16_t>(10 + i);
            Client* client = server.registry().AddClient(peerId, static_cast<uint32_t>(i + 1));
            client->name = "p" + std::to_string(client->serverId);
            added.push_back(client);
        }
        return added;
    }

    InProcessServer server{{{"maxplayers", "10"}}};
    int64_t nowMs = 100000;
    uint32_t enetNowMs = 50000;
};

TEST_F(SessionTest, VotesNeededAreSixtyPercentRoundedUp)
{
    const int32_t expected[] = {1, 1, 2, 2, 3, 3, 4, 5, 5, 6, 6};
    for (size_t members = 0; members <= 10; ++members)
        EXPECT_EQ(Session::VotesNeeded(members), expected[members]) << members << " members";
    EXPECT_EQ(Session::VotesNeeded(100), 60);
}

TEST_F(SessionTest, NewClientsJoinSessionZeroAndTheLastLeaverRemovesTheRecord)
{
    auto clients = AddClients(2);
    const SessionRecord* record = server.sessions().Find(0);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->members.size(), 2u);
    EXPECT_EQ(record->hostId, kNoHost);
    EXPECT_EQ(record->lastHostGrantMs, -1);
    EXPECT_EQ(clients[0]->sessionId, 0);

    server.registry().RemoveClient(1);
    server.registry().RemoveClient(2);
    EXPECT_EQ(server.sessions().Find(0), nullptr);
}

struct VoteCase
{
    int members;
    int votesToWin;
};

void PrintTo(const VoteCase& c, std::ostream* out)
{
    *out << c.members << " members";
}

class SessionVoteTest : public SessionTest, public ::testing::WithParamInterface<VoteCase>
{
};

TEST_P(SessionVoteTest, CandidateWinsWithTheNeededVotesAndEveryMemberIsTold)
{
    const VoteCase& c = GetParam();
    auto clients = AddClients(c.members);
    Client* candidate = clients.back();
    LogCapture log;

    for (int vote = 1; vote < c.votesToWin; ++vote)
        server.sessions().HostVote(0, candidate->serverId, 77);
    EXPECT_EQ(server.sessions().Find(0)->hostId, kNoHost);
    EXPECT_TRUE(server.Drain().empty());

    server.sessions().HostVote(0, candidate->serverId, 77);
    EXPECT_EQ(server.sessions().Find(0)->hostId, candidate->serverId);
    EXPECT_EQ(candidate->hostData, 77u);
    EXPECT_TRUE(server.sessions().Find(0)->votes.empty());

    std::vector<HostVoteTo> expected;
    for (Client* member : clients)
        expected.push_back({member->peerId, candidate->serverId, 77});
    EXPECT_EQ(HostVotes(server.Drain()), expected);

    std::string line = "[Session] p" + std::to_string(candidate->serverId) + "(" +
                       std::to_string(candidate->serverId) + ") won host vote for session 0 (" +
                       std::to_string(c.votesToWin) + "/" + std::to_string(c.votesToWin) + " votes).";
    EXPECT_EQ(log.Messages(spdlog::level::info), std::vector<std::string>{line});
}

INSTANTIATE_TEST_SUITE_P(MemberCounts, SessionVoteTest,
                         ::testing::Values(VoteCase{1, 1}, VoteCase{2, 2}, VoteCase{4, 3}),
                         [](const auto& info) { return std::to_string(info.param.members) + "Members"; });

TEST_F(SessionTest, AWonVoteClearsEveryCandidatesCount)
{
    auto clients = AddClients(2);
    server.sessions().HostVote(0, 2, 0); // p2: 1 of 2
    server.sessions().HostVote(0, 1, 5);
    server.sessions().HostVote(0, 1, 5); // p1 wins, p2's vote is gone
    EXPECT_EQ(server.sessions().Find(0)->hostId, 1);
    server.Drain();

    server.sessions().HostVote(0, 2, 9);
    EXPECT_EQ(server.sessions().Find(0)->hostId, 1) << "p2's count restarted at 1";
    server.sessions().HostVote(0, 2, 9);
    EXPECT_EQ(server.sessions().Find(0)->hostId, 2) << "a won vote replaces the holder";
    EXPECT_EQ(clients[1]->hostData, 9u);
}

TEST_F(SessionTest, VotesForTheHostOrANonMemberAreNotCounted)
{
    AddClients(2);
    server.sessions().ClaimHost(0, server.registry().GetClient(1), 3);
    server.Drain();

    for (uint32_t candidate : {1u, 7u, 65535u})
        server.sessions().HostVote(0, candidate, 0);
    server.sessions().HostVote(42, 2, 0); // no such session
    EXPECT_TRUE(server.sessions().Find(0)->votes.empty());
    EXPECT_TRUE(server.Drain().empty());
}

TEST_F(SessionTest, ClaimsSucceedOnlyWhileTheRoleIsVacant)
{
    auto clients = AddClients(3);
    server.sessions().ClaimHost(0, clients[1], 1234);
    EXPECT_EQ(HostVotes(server.Drain()),
              (std::vector<HostVoteTo>{{10, 2, 1234}, {11, 2, 1234}, {12, 2, 1234}}));
    EXPECT_EQ(clients[1]->hostData, 1234u);

    server.sessions().ClaimHost(0, clients[2], 99);
    EXPECT_TRUE(server.Drain().empty());
    EXPECT_EQ(server.sessions().Find(0)->hostId, 2);

    // The host leaves: the others (not the leaver) learn the role is vacant; then a claim succeeds.
    server.registry().RemoveClient(2);
    EXPECT_EQ(HostVotes(server.Drain()), (std::vector<HostVoteTo>{{10, 65535, 65535}, {12, 65535, 65535}}));
    server.sessions().ClaimHost(0, clients[2], 99);
    EXPECT_EQ(HostVotes(server.Drain()), (std::vector<HostVoteTo>{{10, 3, 99}, {12, 3, 99}}));
}

TEST_F(SessionTest, ARecordCreatedAgainStartsAfresh)
{
    auto clients = AddClients(3);
    server.registry().SetClientSession(1, 5);
    server.sessions().HostVote(5, 1, 0); // one member: wins at once
    server.sessions().HostRequest(5, clients[0]);
    server.registry().SetClientSession(1, 0); // the last member leaves session 5
    EXPECT_EQ(server.sessions().Find(5), nullptr);
    server.Drain();

    server.registry().SetClientSession(2, 5);
    server.registry().SetClientSession(3, 5);
    const SessionRecord* record = server.sessions().Find(5);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->hostId, kNoHost);
    EXPECT_EQ(record->lastHostGrantMs, -1);
    EXPECT_TRUE(record->votes.empty());
}

struct GrantCase
{
    int64_t delayMs;
    const char* second;
};

void PrintTo(const GrantCase& c, std::ostream* out)
{
    *out << c.delayMs << " ms";
}

class SessionGrantTest : public SessionTest, public ::testing::WithParamInterface<GrantCase>
{
};

TEST_P(SessionGrantTest, AFreeAnswerOpensAFiveSecondConflictWindow)
{
    auto clients = AddClients(2);
    LogCapture log;
    server.sessions().HostRequest(0, clients[0]);
    EXPECT_EQ(server.sessions().Find(0)->lastHostGrantMs, nowMs);
    nowMs += GetParam().delayMs;
    server.sessions().HostRequest(0, clients[0]);
    EXPECT_EQ(HostResponses(server.Drain(), 10), (std::vector<std::string>{"free", GetParam().second}));
    EXPECT_TRUE(log.Contains("[Session] Allowed p1(1) to host session 0."));
}

INSTANTIATE_TEST_SUITE_P(Edges, SessionGrantTest,
                         ::testing::Values(GrantCase{0, "conflict"}, GrantCase{4999, "conflict"},
                                           GrantCase{5000, "free"}, GrantCase{60000, "free"}),
                         [](const auto& info) { return std::to_string(info.param.delayMs) + "ms"; });

struct LivenessCase
{
    const char* name;
    bool connected;
    bool sameConnection;
    uint32_t heardAgoMs;
    const char* answer;
};

void PrintTo(const LivenessCase& c, std::ostream* out)
{
    *out << c.name;
}

class SessionLivenessTest : public SessionTest, public ::testing::WithParamInterface<LivenessCase>
{
};

TEST_P(SessionLivenessTest, AHostHeardFromWithinOneSecondKeepsTheSession)
{
    const LivenessCase& c = GetParam();
    auto clients = AddClients(2);
    server.sessions().ClaimHost(0, clients[0], 1);
    uint32_t connection = c.sameConnection ? clients[0]->connection : clients[0]->connection + 100;
    server.network().PublishPeerForTesting(clients[0]->peerId, c.connected, connection, 20,
                                           enetNowMs - c.heardAgoMs);
    server.Drain();

    server.sessions().HostRequest(0, clients[1]);
    EXPECT_EQ(HostResponses(server.Drain(), 11), std::vector<std::string>{c.answer});
}

INSTANTIATE_TEST_SUITE_P(Edges, SessionLivenessTest,
                         ::testing::Values(LivenessCase{"Heard999msAgo", true, true, 999, "hosted"},
                                           LivenessCase{"Heard1000msAgo", true, true, 1000, "free"},
                                           LivenessCase{"HeardJustNow", true, true, 0, "hosted"},
                                           LivenessCase{"Disconnected", false, true, 0, "free"},
                                           LivenessCase{"PeerIdTakenByANewcomer", true, false, 0, "free"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, LivenessSurvivesTheWrapOfEnetsClock)
{
    auto clients = AddClients(2);
    server.sessions().ClaimHost(0, clients[0], 1);
    enetNowMs = 200;
    server.network().PublishPeerForTesting(clients[0]->peerId, true, clients[0]->connection, 20, 0xFFFFFF00u);
    server.sessions().HostRequest(0, clients[1]);
    EXPECT_EQ(HostResponses(server.Drain(), 11), std::vector<std::string>{"hosted"});
}

TEST_F(SessionTest, TheHostItselfAndALoneMemberAreNeverAnsweredHosted)
{
    auto clients = AddClients(2);
    server.sessions().ClaimHost(0, clients[0], 1);
    server.network().PublishPeerForTesting(clients[0]->peerId, true, clients[0]->connection, 20, enetNowMs);
    server.sessions().HostRequest(0, clients[0]);
    EXPECT_EQ(HostResponses(server.Drain(), 10), std::vector<std::string>{"free"});

    server.registry().SetClientSession(2, 7);
    server.Drain();
    server.sessions().HostRequest(7, clients[1]);
    server.sessions().HostRequest(8, clients[1]); // no record: no answer
    EXPECT_EQ(HostResponses(server.Drain(), 11), std::vector<std::string>{"free"});
}
} // namespace
