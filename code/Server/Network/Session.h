#pragma once

#include <cstdint>
#include <map>
#include <memory>

class Client;

// Client id that stands for "no client" and "no host".
constexpr uint16_t kNoHost = 0xFFFF;

// One session: its members, its host and the host votes collected since the last won vote.
struct SessionRecord
{
    uint16_t hostId = kNoHost;
    int64_t lastHostGrantMs = -1; // GetTimeMs of the last "free" answer; -1 = never
    std::map<uint32_t, int32_t> votes;
    std::map<uint16_t, Client*> members;
};

// The server's session map. A record exists exactly while its session has members. Belongs to the
// main thread.
class Session
{
public:
    // A host counts as alive while ENet heard from it within this many milliseconds.
    static constexpr uint32_t kHostAliveMs = 1000;
    // After a "free" answer, every host request of the session is a "conflict" for this long.
    static constexpr int64_t kHostGrantWindowMs = 5000;

    void Join(Client* client, int32_t sessionId);
    void Leave(Client* client);
    void ClaimHost(int32_t sessionId, Client* claimant, uint32_t hostData);
    void HostVote(int32_t sessionId, uint32_t candidateId, uint32_t hostData);
    void HostRequest(int32_t sessionId, Client* requester);

    // Votes a candidate needs among this many members: 60 %, rounded up, at least one.
    static int32_t VotesNeeded(size_t memberCount);

    const SessionRecord* Find(int32_t sessionId) const;
    const std::map<int32_t, std::unique_ptr<SessionRecord>>& Records() const { return records; }

private:
    SessionRecord* FindRecord(int32_t sessionId);
    // Tells every member the session's host, in ascending client id.
    static void AnnounceHost(const SessionRecord& record, uint32_t hostId, uint32_t hostData);

    std::map<int32_t, std::unique_ptr<SessionRecord>> records;
};
