#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include <tbb/concurrent_unordered_map.h>

#include "Network/Client.h"

// Every client of the server, by client id and by ENet peer id. Belongs to the main thread; other
// threads hand their lookups to it through the server's task queue, except for the player count,
// which any thread may read.
class ClientRegistry
{
public:
    ClientRegistry() = default;
    ~ClientRegistry();
    ClientRegistry(const ClientRegistry&) = delete;
    ClientRegistry& operator=(const ClientRegistry&) = delete;

    // Registers a client under the lowest free id from 1 to `maxplayers`; null when none is free.
    Client* AddClient(uint16_t peerId, uint32_t connection = 0);
    // Destroys the client (it leaves its session first); false when no client has the id.
    bool RemoveClient(uint16_t serverId);

    Client* GetClient(uint16_t serverId) const;
    Client* GetClientByPeer(uint16_t peerId) const;
    // The client of that exact connection; it may no longer be the one registered for the peer id
    // when ENet gave the id to a newcomer before the departed client's disconnect was handled.
    Client* GetClientByConnection(uint16_t peerId, uint32_t connection) const;

    // Moves the client to another session and sends it that session's host (SessionHost).
    void SetClientSession(uint16_t serverId, int32_t sessionId);

    // Calls the callback for the clients registered when the call began, in ascending id.
    void ForEachClient(const std::function<void(Client*)>& callback) const;

    size_t GetPlayerCount() const { return playerCount.load(std::memory_order_relaxed); }

private:
    std::map<uint16_t, std::unique_ptr<Client>> clients;
    tbb::concurrent_unordered_map<uint16_t, Client*> clientsByPeer;
    std::atomic<size_t> playerCount{0};
};
