#pragma once

#include <cstdint>
#include <string>

#include <enet/enet.h>
#include <tbb/concurrent_queue.h>

#include "Network/PacketWriter.h"

// Queue elements exchanged between the network worker and the other threads.

struct NetworkCommand
{
    uint32_t kind = 0; // 0 = kick, the only kind
    uint16_t peerId = 0;
    std::string reason; // empty = kick without a reason
};

struct PeerEvent
{
    uint16_t peerId = 0;
    uint32_t data = 0;       // 0 on connect; the disconnect event's data on disconnect
    uint32_t connection = 0; // identifies the connection, as ENet reuses peer ids
};

struct IncomingPacket
{
    uint8_t channel = 0;
    uint16_t peerId = 0;
    ENetPacket* packet = nullptr; // owned; the consumer destroys it
    uint32_t connection = 0;
};

struct OutgoingPacket
{
    uint8_t channel = 0;
    uint16_t peerId = 0;          // ignored when broadcasting
    ENetPacket* packet = nullptr; // ownership passes to the worker
    bool broadcast = false;
};

// The game transport: one ENet host served by a worker thread, and the main-thread pass.
class Network
{
public:
    // Builds the reliable channel-0 packet for one peer and queues it for the worker.
    template <typename T>
    void SendPacket(const T& packet, uint16_t peerId);

    // Builds the reliable channel-0 packet for every connected peer and queues it for the worker.
    template <typename T>
    void BroadcastPacket(const T& packet);

    tbb::concurrent_queue<NetworkCommand> commands;
    tbb::concurrent_queue<PeerEvent> connects;
    tbb::concurrent_queue<PeerEvent> disconnects;
    tbb::concurrent_queue<IncomingPacket> incoming;
    tbb::concurrent_queue<OutgoingPacket> outgoing;
};

template <typename T>
void Network::SendPacket(const T& packet, uint16_t peerId)
{
    std::string bytes = PackPacket(packet);
    ENetPacket* enetPacket = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    outgoing.push(OutgoingPacket{0, peerId, enetPacket, false});
}

template <typename T>
void Network::BroadcastPacket(const T& packet)
{
    std::string bytes = PackPacket(packet);
    ENetPacket* enetPacket = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    outgoing.push(OutgoingPacket{0, 0, enetPacket, true});
}
