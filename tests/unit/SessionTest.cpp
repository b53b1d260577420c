// Sessions: membership, host claims, host votes and host requests, with the clock under control.

#include <cstdint>
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

struct Rig
{
    Rig()
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

class SessionTest : public ::testing::Test, public Rig
{
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

TEST(Session, CandidateWinsWithTheNeededVotesAndEveryMemberIsTold)
{
    for (auto [members, votesToWin] : {std::pair{1, 1}, {2, 2}, {4, 3}})
    {
        SCOPED_TRACE(members);
        Rig rig;
        auto clients = rig.AddClients(members);
        Client* candidate = clients.back();
        LogCapture log;

        for (int vote = 1; vote < votesToWin; ++vote)
            rig.server.sessions().HostVote(0, candidate->serverId, 77);
        EXPECT_EQ(rig.server.sessions().Find(0)->hostId, kNoHost);
        EXPECT_TRUE(rig.server.Drain().empty());

        rig.server.sessions().HostVote(0, candidate->serverId, 77);
        EXPECT_EQ(rig.server.sessions().Find(0)->hostId, candidate->serverId);
        EXPECT_EQ(candidate->hostData, 77u);
        EXPECT_TRUE(rig.server.sessions().Find(0)->votes.empty());

        std::vector<HostVoteTo> expected;
        for (Client* member : clients)
            expected.push_back({member->peerId, candidate->serverId, 77});
        EXPECT_EQ(HostVotes(rig.server.Drain()), expected);

        const std::string id = std::to_string(candidate->serverId), votes = std::to_string(votesToWin);
        EXPECT_EQ(log.Messages(spdlog::level::info),
                  std::vector<std::string>{"[Session] p" + id + "(" + id + ") won host vote for session 0 (" +
                                           votes + "/" + votes + " votes)."});
    }
}

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

TEST(Session, AFreeAnswerOpensAFiveSecondConflictWindow)
{
    for (auto [delayMs, second] : {std::pair<int64_t, const char*>{0, "conflict"},
                                   {4999, "conflict"},
                                   {5000, "free"},
                                   {60000, "free"}})
    {
        SCOPED_TRACE(delayMs);
        Rig rig;
        auto clients = rig.AddClients(2);
        LogCapture log;
        rig.server.sessions().HostRequest(0, clients[0]);
        EXPECT_EQ(rig.server.sessions().Find(0)->lastHostGrantMs, rig.nowMs);
        rig.nowMs += delayMs;
        rig.server.sessions().HostRequest(0, clients[0]);
        EXPECT_EQ(HostResponses(rig.server.Drain(), 10), (std::vector<std::string>{"free", second}));
        EXPECT_TRUE(log.Contains("[Session] Allowed p1(1) to host session 0."));
    }
}

TEST(Session, AHostHeardFromWithinOneSecondKeepsTheSession)
{
    const struct
    {
        const char* name;
        bool connected;
        bool sameConnection;
        uint32_t heardAgoMs;
        uint32_t enetNowMs;
        const char* answer;
    } cases[] = {
        {"heard 999 ms ago", true, true, 999, 50000, "hosted"},
        {"heard 1000 ms ago", true, true, 1000, 50000, "free"},
        {"heard just now", true, true, 0, 50000, "hosted"},
        {"disconnected", false, true, 0, 50000, "free"},
        {"peer id taken by a newcomer", true, false, 0, 50000, "free"},
        {"across the wrap of ENet's clock", true, true, 456, 200, "hosted"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.enetNowMs = c.enetNowMs;
        auto clients = rig.AddClients(2);
        rig.server.sessions().ClaimHost(0, clients[0], 1);
        uint32_t connection = c.sameConnection ? clients[0]->connection : clients[0]->connection + 100;
        rig.server.network().PublishPeerForTesting(clients[0]->peerId, c.connected, connection, 20,
                                                   c.enetNowMs - c.heardAgoMs);
        rig.server.Drain();
        rig.server.sessions().HostRequest(0, clients[1]);
        EXPECT_EQ(HostResponses(rig.server.Drain(), 11), std::vector<std::string>{c.answer});
    }
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
