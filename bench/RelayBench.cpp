// Load test of the channel-1 relay against the real server binary.
//
//     RelayBench [--clients 10,100] [--seconds 10] [--rate 30] [--size 200] [--server PATH]
//
// For each client count N: starts the server (a copy in a temporary folder, `maxplayers` N, a free
// port), connects N game clients, then every client sends `rate` GamePackets per second with a
// `size`-byte payload to the next client (client i to client i+1, the last to the first) for
// `seconds` seconds, unsequenced like game traffic. Reported: packets relayed per second, packets
// lost (sent but never delivered within a second after the end), one-way latency from sender to
// receiver through the server (p50, p99, max), and the server's CPU time over the sending phase.
//
// All clients are served by one thread that polls their ENet hosts without blocking, so a
// packet's arrival time is taken within a fraction of a millisecond. The server binary defaults to
// the one of the same build (../lanternfall-server next to this program's folder).

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <enet/enet.h>
#include <spdlog/spdlog.h>

#include "Network/NetPacket.h"
#include "Network/PacketWriter.h"

namespace
{
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options
{
    std::vector<int> clientCounts{10, 100};
    int seconds = 10;
    int rate = 30;
    size_t size = 200;
    fs::path server;
};

struct Result
{
    int clients = 0;
    uint64_t sent = 0;
    uint64_t received = 0;
    double seconds = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
    double serverCpuSeconds = 0;
};

struct BenchClient
{
    ENetHost* host = nullptr;
    ENetPeer* peer = nullptr;
    bool connected = false;
    uint16_t serverId = 0;
    uint16_t targetId = 0;
    uint64_t sequence = 0;
};

uint16_t FreePort()
{
    // A UDP port the kernel hands out is free for the game host; the HTTP side binds TCP on it too.
    for (int attempt = 0; attempt < 50; ++attempt)
    {
        int udp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t length = sizeof(address);
        bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length);
        uint16_t port = ntohs(address.sin_port);
        close(udp);
        int tcp = socket(AF_INET, SOCK_STREAM, 0);
        address.sin_port = htons(port);
        bool free = bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        close(tcp);
        if (free && port >= 1024)
            return port;
    }
    throw std::runtime_error("no free port");
}

// utime + stime of a process, in seconds.
double CpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index)
    {
        if (index == 14)
            utime = std::stoull(field);
        if (index == 15)
        {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t StartServer(const fs::path& binary, const fs::path& folder, uint16_t port, int maxPlayers)
{
    fs::copy_file(binary, folder / "lanternfall-server");
    std::ofstream settings(folder / "settings.xml");
    settings << "<settings>\n"
             << "    <listed>false</listed>\n"
             << "    <hostaddress>127.0.0.1</hostaddress>\n"
             << "    <port>" << port << "</port>\n"
             << "    <maxplayers>" << maxPlayers << "</maxplayers>\n"
             << "</settings>\n";
    settings.close();

    pid_t pid = fork();
    if (pid == 0)
    {
        int log = open((folder / "console.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(log, 1);
        dup2(log, 2);
        if (chdir(folder.c_str()) != 0)
            _exit(127);
        execl("./lanternfall-server", "lanternfall-server", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Serves every client host once without blocking; `onReceive` gets channel-1 payloads.
template <typename OnReceive> void Poll(std::vector<BenchClient>& clients, OnReceive&& onReceive)
{
    ENetEvent event;
    for (BenchClient& client : clients)
    {
        while (enet_host_service(client.host, &event, 0) > 0)
        {
            if (event.type == ENET_EVENT_TYPE_CONNECT)
            {
                client.connected = true;
            }
            else if (event.type == ENET_EVENT_TYPE_RECEIVE)
            {
                if (event.channelID == 0)
                {
                    PacketEnvelope envelope;
                    ServerInfoPacket info;
                    if (NetPacket::DeserializeEnvelope(event.packet, envelope) && envelope.identifier == 1 &&
                        NetPacket::Deserialize(info, envelope))
                        client.serverId = info.serverId;
                }
                else
                {
                    onReceive(client, event.packet);
                }
                enet_packet_destroy(event.packet);
            }
        }
    }
}

double Percentile(std::vector<double>& values, double fraction)
{
    if (values.empty())
        return 0;
    size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

Result Run(const Options& options, int clientCount)
{
    Result result;
    result.clients = clientCount;
    char pattern[] = "/tmp/lnf-relay-bench-XXXXXX";
    fs::path folder = mkdtemp(pattern);
    uint16_t port = FreePort();
    pid_t server = StartServer(options.server, folder, port, clientCount);

    std::vector<BenchClient> clients(static_cast<size_t>(clientCount));
    ENetAddress address{};
    enet_address_set_host_ip(&address, "127.0.0.1");
    address.port = port;
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the worker binds its port
    for (BenchClient& client : clients)
    {
        client.host = enet_host_create(nullptr, 1, 2, 0, 0);
        client.peer = enet_host_connect(client.host, &address, 2, 0);
    }

    auto ready = [&clients]
    {
        return std::all_of(clients.begin(), clients.end(),
                           [](const BenchClient& c) { return c.connected && c.serverId != 0; });
    };
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!ready() && Clock::now() < deadline)
        Poll(clients, [](BenchClient&, ENetPacket*) {});
    if (!ready())
    {
        std::cerr << "RelayBench: clients did not all join (see " << folder / "console.log"
                  << ")\n";
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
        return result;
    }
    for (size_t i = 0; i < clients.size(); ++i)
        clients[i].targetId = clients[(i + 1) % clients.size()].serverId;

    std::vector<double> latenciesMs;
    latenciesMs.reserve(static_cast<size_t>(clientCount * options.rate * options.seconds));
    auto onReceive = [&](BenchClient&, ENetPacket* packet)
    {
        GamePacket game;
        if (!NetPacket::DeserializeGamePacket(game, packet) || game.data.size() < 8)
            return;
        int64_t sentNs = 0;
        std::memcpy(&sentNs, game.data.data(), sizeof(sentNs));
        int64_t nowNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        latenciesMs.push_back(static_cast<double>(nowNs - sentNs) / 1e6);
        ++result.received;
    };

    // Sends are spread evenly: client i sends its k-th packet at start + (k + i / N) / rate.
    const auto interval = std::chrono::nanoseconds(1000000000LL / options.rate);
    const int64_t perClient = static_cast<int64_t>(options.rate) * options.seconds;
    std::vector<int64_t> nextIndex(clients.size(), 0);
    const auto start = Clock::now();
    const double cpuBefore = CpuSeconds(server);
    std::string data(options.size, 'x');
    for (bool sending = true; sending;)
    {
        sending = false;
        auto now = Clock::now();
        for (size_t i = 0; i < clients.size(); ++i)
        {
            if (nextIndex[i] >= perClient)
                continue;
            sending = true;
            auto due = start + interval * nextIndex[i] + interval * static_cast<int64_t>(i) / clientCount;
            if (now < due)
                continue;
            int64_t nowNs =
                std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
            std::memcpy(data.data(), &nowNs, sizeof(nowNs));
            GamePacket game;
            game.sourceId = clients[i].serverId;
            game.targetId = clients[i].targetId;
            game.data = data;
            std::string bytes = PackBody(game);
            ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_UNSEQUENCED);
            if (enet_peer_send(clients[i].peer, 1, packet) < 0)
                enet_packet_destroy(packet);
            ++nextIndex[i];
            ++result.sent;
        }
        Poll(clients, onReceive);
    }
    const auto sendEnd = Clock::now();
    const double cpuAfter = CpuSeconds(server);
    for (auto drainEnd = Clock::now() + std::chrono::seconds(1); Clock::now() < drainEnd;)
        Poll(clients, onReceive);

    result.seconds = std::chrono::duration<double>(sendEnd - start).count();
    result.serverCpuSeconds = cpuAfter - cpuBefore;
    result.p50Ms = Percentile(latenciesMs, 0.50);
    result.p99Ms = Percentile(latenciesMs, 0.99);
    result.maxMs = latenciesMs.empty() ? 0 : *std::max_element(latenciesMs.begin(), latenciesMs.end());

    for (BenchClient& client : clients)
    {
        enet_peer_disconnect_now(client.peer, 0);
        enet_host_destroy(client.host);
    }
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    fs::remove_all(folder);
    return result;
}

std::vector<int> ParseCounts(const std::string& text)
{
    std::vector<int> counts;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        counts.push_back(std::stoi(item));
    return counts;
}
} // namespace

int main(int argc, char** argv)
{
    Options options;
    options.server = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lanternfall-server";
    for (int i = 1; i + 1 < argc; i += 2)
    {
        std::string name = argv[i];
        std::string value = argv[i + 1];
        if (name == "--clients")
            options.clientCounts = ParseCounts(value);
        else if (name == "--seconds")
            options.seconds = std::stoi(value);
        else if (name == "--rate")
            options.rate = std::stoi(value);
        else if (name == "--size")
            options.size = std::max<size_t>(std::stoul(value), 8);
        else if (name == "--server")
            options.server = value;
        else
        {
            std::cerr << "usage: RelayBench [--clients 10,100] [--seconds 10] [--rate 30] [--size 200] "
                         "[--server PATH]\n";
            return 2;
        }
    }
    if (!fs::exists(options.server))
    {
        std::cerr << "RelayBench: no server binary at " << options.server << "\n";
        return 2;
    }
    spdlog::set_level(spdlog::level::err);
    enet_initialize();

    std::printf("%8s %10s %10s %8s %12s %9s %9s %9s %12s %10s\n", "clients", "sent", "received", "lost",
                "relayed/s", "p50 ms", "p99 ms", "max ms", "server cpu s", "cpu %");
    for (int count : options.clientCounts)
    {
        Result r = Run(options, count);
        if (r.seconds <= 0)
            return 1;
        std::printf("%8d %10llu %10llu %8llu %12.0f %9.2f %9.2f %9.2f %12.2f %9.1f%%\n", r.clients,
                    static_cast<unsigned long long>(r.sent), static_cast<unsigned long long>(r.received),
                    static_cast<unsigned long long>(r.sent - std::min(r.sent, r.received)),
                    static_cast<double>(r.received) / r.seconds, r.p50Ms, r.p99Ms, r.maxMs,
                    r.serverCpuSeconds, 100.0 * r.serverCpuSeconds / r.seconds);
        std::fflush(stdout);
    }
    return 0;
}
