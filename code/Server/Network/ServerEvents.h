#pragma once

#include <cstdint>
#include <string>

class Client;

// What the network side asks of the resources. Callers invoke these only while the server has a
// resource manager.

// Queues "playerDisconnect" (client id, name, disconnect code) on every resource that handles it.
void QueuePlayerDisconnect(uint16_t clientId, const std::string& name, uint32_t code);

// Sends the client one ResourceInfo packet per started resource.
void SendStartedResourceInfo(Client* client);

// Queues an event received from a client (EventTrigger) on every resource that handles it; the
// arguments are the packed argument bytes as received.
void QueueRemoteEvent(const std::string& name, uint16_t source, const std::string& packedArgs);
