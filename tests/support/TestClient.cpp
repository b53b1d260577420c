#include "TestClient.h"

#include "Network/Network.h"
#include "PacketPeek.h"

TestClient::TestClient()
{
    enet_initialize();
}

TestClient::~TestClient()
{
    Stop();
    if (host)
    {
        if (peer && connected && !disconnected)
        {
            enet_peer_disconnect_now(peer, 0);
            enet_host_flush(host);
        }
        enet_host_destroy(host);
    }
}

bool TestClient::Connect(uint16_t port, Duration timeout)
{
    if (host)
        return false;
    host = enet_host_create(nullptr, 1, 2, 0, 0);
    if (!host)
        return false;
    // Room for packets above the server's limit, which tests send to see them refused.
    host->maximumPacketSize = 2 * Network::kMaxIncomingPacketSize;
    ENetAddress address{};
    enet_address_set_host_ip(&address, "127.0.0.1");
    address.port = port;
    peer = enet_host_connect(host, &address, 2, 0);
    if (!peer)
        return false;
    thread = std::thread(&TestClient::Run, this);
    if (WaitUntil([this] { return connected; }, timeout))
        return true;
    Drop();
    return false;
}

bool TestClient::IsConnected() const
{
    std::lock_guard lock(mutex);
    return connected && !disconnected;
}

void TestClient::SendRaw(uint8_t channel, const std::string& bytes, uint32_t flags)
{
    Action action;
    action.kind = Action::Send;
    action.channel = channel;
    action.flags = flags;
    action.bytes = bytes;
    Push(std::move(action));
}

void TestClient::SendGamePacket(uint16_t sourceId, uint16_t targetId, const std::string& data)
{
    GamePacket packet;
    packet.sourceId = sourceId;
    packet.targetId = targetId;
    packet.data = data;
    SendRaw(1, PackBody(packet), ENET_PACKET_FLAG_UNSEQUENCED);
}

std::vector<TestClient::Received> TestClient::Packets() const
{
    std::lock_guard lock(mutex);
    return received;
}

std::vector<TestClient::Received> TestClient::Packets(uint8_t channel) const
{
    std::lock_guard lock(mutex);
    std::vector<Received> result;
    for (const Received& packet : received)
    {
        if (packet.channel == channel)
            result.push_back(packet);
    }
    return result;
}

void TestClient::ClearReceived()
{
    std::lock_guard lock(mutex);
    received.clear();
}

std::optional<TestClient::Received>
TestClient::WaitForPacket(const std::function<bool(const Received&)>& match, Duration timeout)
{
    std::optional<Received> found;
    WaitUntil(
        [&]
        {
            for (const Received& packet : received)
            {
                if (match(packet))
                {
                    found = packet;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

bool TestClient::WaitForDisconnect(Duration timeout)
{
    return WaitUntil([this] { return disconnected; }, timeout);
}

std::optional<uint32_t> TestClient::DisconnectData() const
{
    std::lock_guard lock(mutex);
    return disconnectData;
}

std::optional<size_t> TestClient::PacketsBeforeDisconnect() const
{
    std::lock_guard lock(mutex);
    return packetsBeforeDisconnect;
}

bool TestClient::Disconnect(uint32_t data, Duration timeout)
{
    {
        std::lock_guard lock(mutex);
        if (!connected || disconnected)
            return false;
    }
    Action action;
    action.kind = Action::Disconnect;
    action.data = data;
    Push(std::move(action));
    if (WaitForDisconnect(timeout))
        return true;
    Drop();
    return false;
}

void TestClient::Drop()
{
    Action action;
    action.kind = Action::Reset;
    Push(std::move(action));
    WaitUntil([this] { return disconnected; }, Duration(1000));
}

void TestClient::Push(Action action)
{
    std::lock_guard lock(mutex);
    actions.push_back(std::move(action));
}

void TestClient::Stop()
{
    {
        std::lock_guard lock(mutex);
        stopRequested = true;
    }
    if (thread.joinable())
        thread.join();
}

bool TestClient::WaitUntil(const std::function<bool()>& ready, Duration timeout)
{
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, ready);
}

void TestClient::Run()
{
    for (;;)
    {
        {
            std::lock_guard lock(mutex);
            if (stopRequested)
                return;
        }
        RunActions();

        // One wait of up to 1 ms, then whatever else is already there.
        ENetEvent event;
        int result = enet_host_service(host, &event, 1);
        while (result > 0)
        {
            HandleEvent(event);
            result = enet_host_service(host, &event, 0);
        }
    }
}

void TestClient::RunActions()
{
    std::deque<Action> pending;
    {
        std::lock_guard lock(mutex);
        pending.swap(actions);
    }
    for (Action& action : pending)
    {
        switch (action.kind)
        {
        case Action::Send:
        {
            ENetPacket* packet = enet_packet_create(action.bytes.data(), action.bytes.size(), action.flags);
            if (packet && enet_peer_send(peer, action.channel, packet) < 0)
                enet_packet_destroy(packet);
            break;
        }
        case Action::Disconnect:
            enet_peer_disconnect(peer, action.data);
            break;
        case Action::Reset:
        {
            enet_peer_reset(peer);
            std::lock_guard lock(mutex);
            if (!disconnected)
            {
                disconnected = true;
                packetsBeforeDisconnect = received.size();
            }
            changed.notify_all();
            break;
        }
        }
    }
}

void TestClient::HandleEvent(const ENetEvent& event)
{
    std::lock_guard lock(mutex);
    switch (event.type)
    {
    case ENET_EVENT_TYPE_CONNECT:
        connected = true;
        break;
    case ENET_EVENT_TYPE_DISCONNECT:
        if (!disconnected)
        {
            disconnected = true;
            disconnectData = event.data;
            packetsBeforeDisconnect = received.size();
        }
        break;
    case ENET_EVENT_TYPE_RECEIVE:
    {
        Received packet;
        packet.channel = event.channelID;
        packet.flags = event.packet->flags;
        packet.bytes.assign(reinterpret_cast<const char*>(event.packet->data), event.packet->dataLength);
        if (packet.channel == 0)
            packet.identifier = PeekEnvelopeIdentifier(packet.bytes);
        packet.at = Clock::now();
        received.push_back(std::move(packet));
        enet_packet_destroy(event.packet);
        break;
    }
    default:
        break;
    }
    changed.notify_all();
}
