#include "Network/Session.h"

#include <spdlog/spdlog.h>

#include "Network/Client.h"
#include "Network/Network.h"
#include "Network/Packets.h"
#include "Server/Platform.h"
#include "Server/Server.h"

namespace
{
void SendHostResponse(const Client& client, const char* status)
{
    if (!g_server || !g_server->network)
        return;
    HostResponsePacket packet;
    packet.status = status;
    g_server->network->SendPacket(packet, client);
}
} // namespace

void Session::Join(Client* client, int32_t sessionId)
{
    if (client->sessionId != -1)
        Leave(client);
    client->sessionActive = false;

    std::unique_ptr<SessionRecord>& record = records[sessionId];
    if (!record)
        record = std::make_unique<SessionRecord>();
    record->members.emplace(client->serverId, client);
    client->sessionId = sessionId;
}

void Session::Leave(Client* client)
{
    auto found = records.find(client->sessionId);
    if (found == records.end())
        return;

    SessionRecord& record = *found->second;
    record.members.erase(client->serverId);
    if (record.hostId == client->serverId)
    {
        record.hostId = kNoHost;
        AnnounceHost(record, kNoHost, kNoHost);
    }
    if (record.members.empty())
        records.erase(found);
    client->sessionId = -1;
}

void Session::ClaimHost(int32_t sessionId, Client* claimant, uint32_t hostData)
{
    SessionRecord* record = FindRecord(sessionId);
    if (!record || record->hostId != kNoHost)
        return;

    claimant->hostData = hostData;
    record->hostId = claimant->serverId;
    AnnounceHost(*record, claimant->serverId, hostData);
}

void Session::HostVote(int32_t sessionId, uint32_t candidateId, uint32_t hostData)
{
    SessionRecord* record = FindRecord(sessionId);
    if (!record || candidateId == record->hostId)
        return;

    auto member = record->members.find(static_cast<uint16_t>(candidateId & 0xFFFF));
    if (member == record->members.end())
        return;
    Client* candidate = member->second;

    int32_t needed = VotesNeeded(record->members.size());
    int32_t count = ++record->votes[candidateId];
    if (count < needed)
        return;

    spdlog::info("[Session] {}({}) won host vote for session {} ({}/{} votes).", candidate->name,
                 candidate->serverId, sessionId, count, needed);
    record->votes.clear();
    candidate->hostData = hostData;
    record->hostId = candidate->serverId;
    AnnounceHost(*record, candidateId, hostData);
}

void Session::HostRequest(int32_t sessionId, Client* requester)
{
    SessionRecord* record = FindRecord(sessionId);
    if (!record)
        return;

    if (record->lastHostGrantMs != -1 && GetTimeMs() - record->lastHostGrantMs < kHostGrantWindowMs)
    {
        SendHostResponse(*requester, "conflict");
        return;
    }

    if (record->hostId != kNoHost && record->hostId != requester->serverId)
    {
        auto host = record->members.find(record->hostId);
        Network* network = g_server ? g_server->network.get() : nullptr;
        if (host != record->members.end() && network &&
            network->WasPeerHeardWithin(host->second->peerId, host->second->connection, kHostAliveMs))
        {
            SendHostResponse(*requester, "hosted");
            return;
        }
    }

    record->lastHostGrantMs = GetTimeMs();
    SendHostResponse(*requester, "free");
    spdlog::debug("[Session] Allowed {}({}) to host session {}.", requester->name, requester->serverId,
                  sessionId);
}

int32_t Session::VotesNeeded(size_t memberCount)
{
    // ceil(0.6 * n) in integers, exact for every member count.
    int64_t needed = (static_cast<int64_t>(memberCount) * 3 + 4) / 5;
    return static_cast<int32_t>(needed < 1 ? 1 : needed);
}

const SessionRecord* Session::Find(int32_t sessionId) const
{
    auto found = records.find(sessionId);
    return found == records.end() ? nullptr : found->second.get();
}

SessionRecord* Session::FindRecord(int32_t sessionId)
{
    auto found = records.find(sessionId);
    return found == records.end() ? nullptr : found->second.get();
}

void Session::AnnounceHost(const SessionRecord& record, uint32_t hostId, uint32_t hostData)
{
    if (!g_server || !g_server->network)
        return;
    HostVotePacket packet;
    packet.hostId = hostId;
    packet.hostData = hostData;
    for (const auto& [id, member] : record.members)
        g_server->network->SendPacket(packet, *member);
}
