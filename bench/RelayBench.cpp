// Load test of the channel-1 relay against the real server binary, beside two yardsticks measured in
// the same run: the loopback UDP round trip, and a minimal single-thread ENet relay inside this
// program that forwards the same traffic the same way (received packet re-sent unsequenced to the
// target's peer) with nothing else to do.
//
//     RelayBench [--clients 100,500] [--seconds 10] [--rate 30] [--size 200] [--runs 3] [--server PATH]
//
// For each client count N, `runs` times: the minimal relay, then the server (a copy in a temporary
// folder, a free port), each loaded by N game clients; every client sends `rate` GamePackets per
// second with a `size`-byte payload to the next client (client i to client i+1, the last to the
// first) for `seconds` seconds, unsequenced like game traffic. Reported per relay: packets lost (sent
// but never delivered within a second after the end), one-way latency from sender to receiver
// through the relay (p50, p99, max), and the relay's CPU time over the sending phase (the server
// process; the minimal relay's thread) as a share of one core, and the lowest packet throttle ENet
// applied meanwhile (32 = none; below that ENet itself drops a share of unreliable packets, which
// it does when round-trip times jump, as on a busy machine). The summary gives the median of the
// runs of each figure and the server's ratio to the minimal relay.
//
// `maxplayers` is bounded to 100 by the settings; above that the server reads LNF_BENCH_MAXPLAYERS,
// which only a benchmark build (-DLNF_BENCH=ON) looks at. The server binary defaults to the one of
// the same build (../lanternfall-server next to this program's folder).
//
// All clients are served by one thread: it polls their sockets with epoll, services only the
// hosts that received something (and one host per turn in rotation, for ENet's own upkeep), and
// flushes each send at once, so send and arrival times are taken within microseconds.

#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <enet.h>
#include <spdlog/spdlog.h>

#include "Network/NetPacket.h"
#include "Network/Network.h"
#include "Network/PacketWriter.h"

namespace
{
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options
{
    std::vector<int> clientCounts{100, 500};
    int seconds = 10;
    int rate = 30;
    size_t size = 200;
    int runs = 3;
    fs::path server;
};

struct Result
{
    bool ok = false;
    uint64_t sent = 0;
    uint64_t received = 0;
    double seconds = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
    double cpuSeconds = 0;
    // The lowest packet throttle ENet applied to the clients' unreliable sends (and, for the minimal
    // relay, to its own): below ENET_PEER_PACKET_THROTTLE_SCALE (32) ENet drops a share of them on
    // purpose, as its answer to round-trip times that jump (on a loaded machine, for one).
    uint32_t minThrottle = ENET_PEER_PACKET_THROTTLE_SCALE;

    uint64_t Lost() const { return sent - std::min(sent, received); }
    double CpuPercent() const { return seconds > 0 ? 100.0 * cpuSeconds / seconds : 0; }
};

struct BenchClient
{
    ENetHost* host = nullptr;
    ENetPeer* peer = nullptr;
    bool connected = false;
    uint16_t serverId = 0;
    uint16_t targetId = 0;
};

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

double Median(std::vector<double> values)
{
    return Percentile(std::move(values), 0.5);
}

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

// Loopback UDP round trips, one at a time: p50 and p99 in milliseconds.
std::pair<double, double> UdpRoundTrip(int count)
{
    int ping = socket(AF_INET, SOCK_DGRAM, 0);
    int pong = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(pong, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(pong, reinterpret_cast<sockaddr*>(&address), &length);
    connect(ping, reinterpret_cast<sockaddr*>(&address), sizeof(address));

    std::thread echo(
        [pong, count]
        {
            char buffer[256];
            for (int i = 0; i < count; ++i)
            {
                sockaddr_in from{};
                socklen_t fromLength = sizeof(from);
                ssize_t got =
                    recvfrom(pong, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (got > 0)
                    sendto(pong, buffer, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&from),
                           fromLength);
            }
        });
    std::vector<double> rtts;
    rtts.reserve(static_cast<size_t>(count));
    char payload[200] = {};
    for (int i = 0; i < count; ++i)
    {
        int64_t start = NowNs();
        send(ping, payload, sizeof payload, 0);
        recv(ping, payload, sizeof payload, 0);
        rtts.push_back(static_cast<double>(NowNs() - start) / 1e6);
    }
    echo.join();
    close(ping);
    close(pong);
    return {Percentile(rtts, 0.5), Percentile(rtts, 0.99)};
}

// The yardstick: one thread, one ENet host, the relay and nothing else. A connecting peer gets a
// welcome naming its client id (its peer id + 1); a channel-1 packet goes, as received, to the
// peer of its target id.
class MinimalRelay
{
public:
    MinimalRelay(uint16_t port, int peers)
    {
        ENetAddress address{};
        address.host = ENET_HOST_ANY;
        address.port = port;
        host = enet_host_create(&address, static_cast<size_t>(peers), Network::kChannelCount, 0, 0);
        if (!host)
            throw std::runtime_error("the minimal relay cannot bind its port");
        thread = std::thread(&MinimalRelay::Run, this);
        pthread_getcpuclockid(thread.native_handle(), &cpuClock);
    }

    ~MinimalRelay()
    {
        stop.store(true);
        thread.join();
        enet_host_destroy(host);
    }

    double CpuSeconds() const
    {
        timespec now{};
        clock_gettime(cpuClock, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    }
    uint32_t TakeMinThrottle() { return minThrottle.exchange(ENET_PEER_PACKET_THROTTLE_SCALE); }

private:
    void Run()
    {
        ENetEvent event;
        while (!stop.load(std::memory_order_relaxed))
        {
            while (enet_host_service(host, &event, 1) > 0)
                Handle(event);
        }
    }

    void Handle(const ENetEvent& event)
    {
        if (event.type == ENET_EVENT_TYPE_CONNECT)
        {
            ServerInfoPacket info;
            info.serverId = static_cast<uint16_t>(event.peer->incomingPeerID + 1);
            std::string bytes = PackPacket(info);
            enet_peer_send(event.peer, 0,
                           enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE));
            return;
        }
        if (event.type != ENET_EVENT_TYPE_RECEIVE)
            return;
        if (event.peer->packetThrottle < minThrottle.load(std::memory_order_relaxed))
            minThrottle.store(event.peer->packetThrottle, std::memory_order_relaxed);
        uint16_t target = 0;
        if (event.channelID == 1 &&
            NetPacket::ReadGameTarget(event.packet->data, event.packet->dataLength, target) && target >= 1 &&
            target <= host->peerCount && host->peers[target - 1].state == ENET_PEER_STATE_CONNECTED)
        {
            event.packet->flags = Network::kRelayFlags;
            if (enet_peer_send(&host->peers[target - 1], 1, event.packet) == 0)
                return;
        }
        enet_packet_destroy(event.packet);
    }

    ENetHost* host = nullptr;
    std::thread thread;
    std::atomic<bool> stop{false};
    clockid_t cpuClock{};
    std::atomic<uint32_t> minThrottle{ENET_PEER_PACKET_THROTTLE_SCALE};
};

// utime + stime of a process, in seconds.
double ProcessCpuSeconds(pid_t pid)
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

// The real server in a temporary folder; killed and removed by the destructor.
class ServerCopy
{
public:
    ServerCopy(const fs::path& binary, uint16_t port, int clients)
    {
        char pattern[] = "/tmp/lnf-relay-bench-XXXXXX";
        folder = mkdtemp(pattern);
        fs::copy_file(binary, folder / "lanternfall-server");
        std::ofstream settings(folder / "settings.xml");
        settings << "<settings>\n"
                 << "    <listed>false</listed>\n"
                 << "    <hostaddress>127.0.0.1</hostaddress>\n"
                 << "    <port>" << port << "</port>\n"
                 << "    <maxplayers>" << std::min(clients, 100) << "</maxplayers>\n"
                 << "</settings>\n";
        settings.close();
        const std::string maxPlayers = std::to_string(clients);

        pid = fork();
        if (pid == 0)
        {
            int log = open((folder / "console.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            dup2(log, 1);
            dup2(log, 2);
            if (chdir(folder.c_str()) != 0)
                _exit(127);
            if (clients > 100)
                setenv("LNF_BENCH_MAXPLAYERS", maxPlayers.c_str(), 1);
            execl("./lanternfall-server", "lanternfall-server", static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the worker binds its port
    }

    ~ServerCopy()
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        if (keep)
            std::cerr << "RelayBench: server folder kept: " << folder << "\n";
        else
            fs::remove_all(folder);
    }

    double CpuSeconds() const { return ProcessCpuSeconds(pid); }

    fs::path folder;
    pid_t pid = -1;
    bool keep = false;
};

class Load
{
public:
    Load(uint16_t port, int count, size_t dataSize) : clients(static_cast<size_t>(count)), dataSize(dataSize)
    {
        epoll = epoll_create1(0);
        ENetAddress address{};
        enet_address_set_host(&address, "127.0.0.1"); // as ::ffff:127.0.0.1
        address.port = port;
        for (size_t i = 0; i < clients.size(); ++i)
        {
            BenchClient& client = clients[i];
            client.host = enet_host_create(nullptr, 1, Network::kChannelCount, 0, 0);
            if (!client.host)
                throw std::runtime_error("cannot create a client host");
            client.peer = enet_host_connect(client.host, &address, Network::kChannelCount, 0);
            epoll_event watch{};
            watch.events = EPOLLIN;
            watch.data.u64 = i;
            epoll_ctl(epoll, EPOLL_CTL_ADD, client.host->socket, &watch);
        }
    }

    ~Load()
    {
        for (BenchClient& client : clients)
        {
            enet_peer_disconnect_now(client.peer, 0);
            enet_host_destroy(client.host);
        }
        close(epoll);
    }

    bool Join()
    {
        auto ready = [this]
        {
            return std::all_of(clients.begin(), clients.end(),
                               [](const BenchClient& c) { return c.connected && c.serverId != 0; });
        };
        for (auto deadline = Clock::now() + std::chrono::seconds(30); !ready() && Clock::now() < deadline;)
        {
            for (BenchClient& client : clients)
                Service(client);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!ready())
            return false;
        for (size_t i = 0; i < clients.size(); ++i)
            clients[i].targetId = clients[(i + 1) % clients.size()].serverId;
        // The join burst (hundreds of handshakes and welcome packets) leaves ENet with round-trip
        // times that would make it throttle the first unreliable sends; a few pings settle them.
        for (auto settled = Clock::now() + std::chrono::seconds(2); Clock::now() < settled;)
        {
            for (BenchClient& client : clients)
                Service(client);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Sends for `seconds`, then collects for one more second. `cpu` reads the relay's CPU seconds.
    Result Run(const Options& options, const std::function<double()>& cpu)
    {
        Result result;
        std::vector<double> latenciesMs;
        latenciesMs.reserve(clients.size() * static_cast<size_t>(options.rate * options.seconds));
        const size_t count = clients.size();
        // Client i sends its k-th packet at start + (k + i / N) / rate: spread evenly.
        const auto interval = std::chrono::nanoseconds(1000000000LL / options.rate);
        const int64_t perClient = static_cast<int64_t>(options.rate) * options.seconds;
        std::vector<int64_t> nextIndex(count, 0);
        std::string data(options.size, 'x');
        size_t rotation = 0;
        epoll_event ready[64];

        const auto poll = [&]
        {
            int n = epoll_wait(epoll, ready, 64, 0);
            for (int e = 0; e < n; ++e)
                Service(clients[ready[e].data.u64], &latenciesMs);
            Service(clients[rotation++ % count], &latenciesMs);
        };

        const auto start = Clock::now();
        const double cpuBefore = cpu();
        minThrottle = ENET_PEER_PACKET_THROTTLE_SCALE;
        for (bool sending = true; sending;)
        {
            sending = false;
            const auto now = Clock::now();
            for (size_t i = 0; i < count; ++i)
            {
                if (nextIndex[i] >= perClient)
                    continue;
                sending = true;
                auto due = start + interval * nextIndex[i] +
                           interval * static_cast<int64_t>(i) / static_cast<int64_t>(count);
                if (now < due)
                    continue;
                int64_t nowNs = NowNs();
                std::memcpy(data.data(), &nowNs, sizeof(nowNs));
                GamePacket game;
                game.sourceId = clients[i].serverId;
                game.targetId = clients[i].targetId;
                game.data = data;
                std::string bytes = PackBody(game);
                ENetPacket* packet =
                    enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_UNSEQUENCED);
                if (enet_peer_send(clients[i].peer, 1, packet) < 0)
                    enet_packet_destroy(packet);
                enet_host_flush(clients[i].host);
                ++nextIndex[i];
                ++result.sent;
            }
            poll();
        }
        const auto sendEnd = Clock::now();
        const double cpuAfter = cpu();
        for (auto drainEnd = Clock::now() + std::chrono::seconds(1); Clock::now() < drainEnd;)
            poll();

        result.ok = true;
        result.minThrottle = minThrottle;
        result.received = latenciesMs.size();
        result.seconds = std::chrono::duration<double>(sendEnd - start).count();
        result.cpuSeconds = cpuAfter - cpuBefore;
        result.p50Ms = Percentile(latenciesMs, 0.50);
        result.p99Ms = Percentile(latenciesMs, 0.99);
        result.maxMs = latenciesMs.empty() ? 0 : *std::max_element(latenciesMs.begin(), latenciesMs.end());
        return result;
    }

private:
    // Services one client host until it has nothing more; records the latency of game packets.
    void Service(BenchClient& client, std::vector<double>* latenciesMs = nullptr)
    {
        ENetEvent event;
        minThrottle = std::min(minThrottle, client.peer->packetThrottle);
        while (enet_host_service(client.host, &event, 0) > 0)
        {
            if (event.type == ENET_EVENT_TYPE_CONNECT)
                client.connected = true;
            if (event.type != ENET_EVENT_TYPE_RECEIVE)
                continue;
            if (event.channelID == 0)
            {
                PacketEnvelope envelope;
                ServerInfoPacket info;
                if (NetPacket::DeserializeEnvelope(event.packet, envelope) &&
                    envelope.identifier == info.identifier && NetPacket::Deserialize(info, envelope))
                    client.serverId = info.serverId;
            }
            else if (latenciesMs && event.packet->dataLength > dataSize)
            {
                // [source, target, data, identifier 8]: the data ends one byte before the packet
                // does, and its first 8 bytes are the send time.
                int64_t sentNs = 0;
                std::memcpy(&sentNs, event.packet->data + event.packet->dataLength - 1 - dataSize,
                            sizeof(sentNs));
                latenciesMs->push_back(static_cast<double>(NowNs() - sentNs) / 1e6);
            }
            enet_packet_destroy(event.packet);
        }
    }

    std::vector<BenchClient> clients;
    size_t dataSize;
    uint32_t minThrottle = ENET_PEER_PACKET_THROTTLE_SCALE;
    int epoll = -1;
};

Result RunMinimal(const Options& options, int clients)
{
    uint16_t port = FreePort();
    MinimalRelay relay(port, clients);
    Load load(port, clients, options.size);
    if (!load.Join())
    {
        std::cerr << "RelayBench: clients did not all join the minimal relay\n";
        return {};
    }
    relay.TakeMinThrottle();
    Result result = load.Run(options, [&relay] { return relay.CpuSeconds(); });
    result.minThrottle = std::min(result.minThrottle, relay.TakeMinThrottle());
    return result;
}

Result RunServer(const Options& options, int clients)
{
    uint16_t port = FreePort();
    ServerCopy server(options.server, port, clients);
    Load load(port, clients, options.size);
    if (!load.Join())
    {
        server.keep = true;
        std::cerr << "RelayBench: clients did not all join the server"
                  << (clients > 100 ? " (more than 100 clients need a benchmark build of the server)" : "")
                  << "\n";
        return {};
    }
    return load.Run(options, [&server] { return server.CpuSeconds(); });
}

void PrintRow(const char* relay, int clients, const Result& r)
{
    std::printf("%-8s %8d %10llu %7llu %9.3f %9.3f %9.3f %9.1f%% %9u\n", relay, clients,
                static_cast<unsigned long long>(r.sent), static_cast<unsigned long long>(r.Lost()), r.p50Ms,
                r.p99Ms, r.maxMs, r.CpuPercent(), r.minThrottle);
    std::fflush(stdout);
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
        else if (name == "--runs")
            options.runs = std::max(1, std::stoi(value));
        else if (name == "--server")
            options.server = value;
        else
        {
            std::cerr
                << "usage: RelayBench [--clients 100,500] [--seconds 10] [--rate 30] [--size 200] [--runs 3] "
                   "[--server PATH]\n";
            return 2;
        }
    }
    if (argc % 2 == 0 || !fs::exists(options.server))
    {
        std::cerr << "RelayBench: no server binary at " << options.server << "\n";
        return 2;
    }
    spdlog::set_level(spdlog::level::err);
    enet_initialize();

    auto [udpP50, udpP99] = UdpRoundTrip(20000);
    std::printf("loopback UDP round trip: p50 %.3f ms, p99 %.3f ms\n\n", udpP50, udpP99);
    std::printf("%-8s %8s %10s %7s %9s %9s %9s %10s %9s\n", "relay", "clients", "sent", "lost", "p50 ms",
                "p99 ms", "max ms", "cpu", "throttle");

    struct Summary
    {
        int clients;
        std::vector<Result> minimal, server;
    };
    std::vector<Summary> summaries;
    for (int clients : options.clientCounts)
    {
        Summary summary{clients, {}, {}};
        for (int run = 0; run < options.runs; ++run)
        {
            summary.minimal.push_back(RunMinimal(options, clients));
            PrintRow("minimal", clients, summary.minimal.back());
            summary.server.push_back(RunServer(options, clients));
            PrintRow("server", clients, summary.server.back());
            if (!summary.minimal.back().ok || !summary.server.back().ok)
                return 1;
        }
        summaries.push_back(std::move(summary));
    }

    std::printf("\nmedians of %d runs (server / minimal relay in brackets)\n", options.runs);
    std::printf("%8s %8s %16s %16s %16s %18s\n", "clients", "lost", "p50 ms", "p99 ms", "max ms", "cpu");
    const auto median = [](const std::vector<Result>& results, auto field)
    {
        std::vector<double> values;
        for (const Result& r : results)
            values.push_back(field(r));
        return Median(values);
    };
    for (const Summary& s : summaries)
    {
        const auto both = [&](auto field)
        { return std::make_pair(median(s.server, field), median(s.minimal, field)); };
        auto lost = both([](const Result& r) { return static_cast<double>(r.Lost()); });
        auto p50 = both([](const Result& r) { return r.p50Ms; });
        auto p99 = both([](const Result& r) { return r.p99Ms; });
        auto max = both([](const Result& r) { return r.maxMs; });
        auto cpu = both([](const Result& r) { return r.CpuPercent(); });
        std::printf("%8d %3.0f (%3.0f) %7.3f (%5.2fx) %7.3f (%5.2fx) %7.3f (%5.2fx) %7.1f%% (%5.2fx)\n",
                    s.clients, lost.first, lost.second, p50.first, p50.first / p50.second, p99.first,
                    p99.first / p99.second, max.first, max.first / max.second, cpu.first,
                    cpu.first / std::max(cpu.second, 1e-9));
        std::printf("%8s server p50 is %.2fx the UDP round trip's p50\n", "", p50.first / udpP50);
    }
    return 0;
}
