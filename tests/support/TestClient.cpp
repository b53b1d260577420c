#include "TestClient.h"

#include "Network/Network.h"

TestClient::~TestClient()
{
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    if (thread.joinable())
        thread.join();
    if (connected && !disconnected)
        enet_peer_disconnect_now(peer, 0);
    if (host != nullptr)
        enet_host_destroy(host);
}

bool TestClient::Connect(uint16_t port, Duration timeout)
{
    ENetAddress address{0, port};
    enet_address_set_host_ip(&address, "127.0.0.1");
    if (host != nullptr || (host = enet_host_create(nullptr, 1, 2, 0, 0)) == nullptr ||
        (peer = enet_host_connect(host, &address, 2, 0)) == nullptr)
        return false;
    // Room for packets above the server's limit, which tests send to see them refused.
    host->maximumPacketSize = 2 * Network::kMaxIncomingPacketSize;
    thread = std::thread(&TestClient::Run, this);
    if (WaitUntil([this](const Arrivals&) { return connected; }, timeout))
        return true;
    Drop();
    return false;
}

void TestClient::SendRaw(uint8_t channel, const std::string& bytes, uint32_t flags)
{
    std::lock_guard lock(mutex);
    ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), flags);
    if (peer == nullptr || enet_peer_send(peer, channel, packet) < 0)
        enet_packet_destroy(packet);
}

bool TestClient::WaitUntil(const std::function<bool(const Arrivals&)>& ready, Duration timeout)
{
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return ready(received); });
}

std::optional<TestClient::Received>
TestClient::WaitForPacket(const std::function<bool(const Received&)>& match, Duration timeout)
{
    std::optional<Received> found;
    WaitUntil(
        [&](const Arrivals& all)
        {
            auto it = std::find_if(all.begin(), all.end(), match);
            if (it != all.end())
                found = *it;
            return found.has_value();
        },
        timeout);
    return found;
}

bool TestClient::Disconnect(uint32_t data, Duration timeout)
{
    if (!IsConnected())
        return false;
    {
        std::lock_guard lock(mutex);
        enet_peer_disconnect(peer, data);
    }
    if (WaitForDisconnect(timeout))
        return true;
    Drop();
    return false;
}

// Vanishes without a word, as a crashed game does.
void TestClient::Drop()
{
    std::lock_guard lock(mutex);
    enet_peer_reset(peer);
    if (!std::exchange(disconnected, true))
        packetsBefore = received.size();
    changed.notify_all();
}

void TestClient::Run()
{
    for (std::unique_lock lock(mutex); !stop; lock.lock())
    {
        for (ENetEvent event; enet_host_service(host, &event, 0) > 0; changed.notify_all())
        {
            connected = connected || event.type == ENET_EVENT_TYPE_CONNECT;
            if (event.type == ENET_EVENT_TYPE_DISCONNECT && !std::exchange(disconnected, true))
            {
                disconnectData = event.data;
                packetsBefore = received.size();
            }
            if (event.type != ENET_EVENT_TYPE_RECEIVE)
                continue;
            received.push_back(
                {event.channelID, event.packet->flags,
                 std::string(reinterpret_cast<char*>(event.packet->data), event.packet->dataLength)});
            enet_packet_destroy(event.packet);
        }
        lock.unlock();
        std::this_thread::sleep_for(Duration(1));
    }
}
