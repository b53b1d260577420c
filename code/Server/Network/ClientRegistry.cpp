#include "Network/ClientRegistry.h"

#include <vector>

#include "Network/Network.h"
#include "Network/Packets.h"
#include "Network/Session.h"
#include "Server/Server.h"

ClientRegistry::~ClientRegistry()
{
    // Highest id first, mirroring how the players would leave one by one.
    while (!clients.empty())
        RemoveClient(clients.rbegin()->first);
}

Client* ClientRegistry::AddClient(uint16_t peerId, uint32_t connection)
{
    // The limit is read on every try, so a lowered `maxplayers` never hands out an id above it.
    for (uint32_t id = 1; id <= 0xFFFF; ++id)
    {
        if (static_cast<int64_t>(id) > Network::MaxPlayers())
            return nullptr;
        uint16_t serverId = static_cast<uint16_t>(id);
        if (clients.contains(serverId))
            continue;

        auto client = std::make_unique<Client>(peerId, serverId, connection);
        Client* added = client.get();
        clients.emplace(serverId, std::move(client));
        clientsByPeer[peerId] = added;
        playerCount.store(clients.size(), std::memory_order_relaxed);
        if (g_server && g_server->network)
            g_server->network->PublishRelayTarget(serverId, peerId, connection);
        return added;
    }
    return nullptr;
}

bool ClientRegistry::RemoveClient(uint16_t serverId)
{
    auto found = clients.find(serverId);
    if (found == clients.end())
        return false;

    std::unique_ptr<Client> client = std::move(found->second);
    clients.erase(found);
    auto byPeer = clientsByPeer.find(client->peerId);
    if (byPeer != clientsByPeer.end() && byPeer->second == client.get())
        clientsByPeer.unsafe_erase(byPeer);
    playerCount.store(clients.size(), std::memory_order_relaxed);
    if (g_server && g_server->network)
        g_server->network->WithdrawRelayTarget(serverId);

    // Leaving the session may announce a vacant host role to the remaining members.
    client.reset();
    return true;
}

Client* ClientRegistry::GetClient(uint16_t serverId) const
{
    auto found = clients.find(serverId);
    return found == clients.end() ? nullptr : found->second.get();
}

Client* ClientRegistry::GetClientByPeer(uint16_t peerId) const
{
    auto found = clientsByPeer.find(peerId);
    return found == clientsByPeer.end() ? nullptr : found->second;
}

Client* ClientRegistry::GetClientByConnection(uint16_t peerId, uint32_t connection) const
{
    Client* client = GetClientByPeer(peerId);
    if (client && client->connection == connection)
        return client;
    // Only when a newcomer took the peer id: the departed client is still registered elsewhere.
    for (const auto& [id, candidate] : clients)
    {
        if (candidate->peerId == peerId && candidate->connection == connection)
            return candidate.get();
    }
    return nullptr;
}

void ClientRegistry::SetClientSession(uint16_t serverId, int32_t sessionId)
{
    Client* client = GetClient(serverId);
    if (!client || client->sessionId == sessionId || !g_server || !g_server->sessions)
        return;

    Session& sessions = *g_server->sessions;
    sessions.Join(client, sessionId);

    SessionHostPacket packet;
    packet.hostId = 0xFFFF;
    packet.hostData = 0xFFFF;
    const SessionRecord* record = sessions.Find(sessionId);
    if (record && record->hostId != kNoHost)
    {
        packet.hostId = record->hostId;
        auto host = record->members.find(record->hostId);
        packet.hostData = host != record->members.end() ? host->second->hostData : 0xFFFF;
    }
    if (g_server->network)
        g_server->network->SendPacket(packet, *client);
}

void ClientRegistry::ForEachClient(const std::function<void(Client*)>& callback) const
{
    std::vector<Client*> snapshot;
    snapshot.reserve(clients.size());
    for (const auto& [id, client] : clients)
        snapshot.push_back(client.get());
    for (Client* client : snapshot)
        callback(client);
}
