#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One connected player that holds a client id. Created and destroyed only by the ClientRegistry,
// on the main thread.
class Client
{
public:
    // The longest name a player may have, in bytes.
    static constexpr size_t kMaxNameBytes = 18;

    // Joins session 0 of the server's session map at once.
    Client(uint16_t peerId, uint16_t serverId, uint32_t connection = 0);
    // Leaves its session, which frees the host role when the client held it.
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    uint16_t peerId = 0;
    int32_t sessionId = -1; // -1 only while being moved or destroyed
    bool sessionActive = false;
    uint16_t serverId = 0;
    uint32_t hostData = 0;
    std::string name;

    // The network worker's number of the connection this client belongs to. ENet hands a freed
    // peer id to the next connection, so the peer id alone cannot tell a newcomer from a departed
    // player whose disconnect has not been handled yet.
    uint32_t connection = 0;
};
