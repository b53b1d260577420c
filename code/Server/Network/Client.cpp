#include "Network/Client.h"

#include "Network/Session.h"
#include "Server/Server.h"

Client::Client(uint16_t peerId, uint16_t serverId, uint32_t connection)
    : peerId(peerId), serverId(serverId), connection(connection)
{
    if (g_server && g_server->sessions)
        g_server->sessions->Join(this, 0);
}

Client::~Client()
{
    if (g_server && g_server->sessions)
        g_server->sessions->Leave(this);
}
