#include "Ports.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

namespace
{

constexpr uint16_t kFirstPort = 20000;
constexpr uint16_t kLastPort = 60000;
// A reservation older than this is considered abandoned by a finished test process.
constexpr auto kReservationLifetime = std::chrono::minutes(5);

bool CanBind(int family, int type, const sockaddr* address, socklen_t length)
{
    int fd = socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return family == AF_INET6; // no IPv6 on this machine: nothing to collide with
    if (family == AF_INET6)
    {
        // Dual-stack, like a server bound to the IPv6 any address accepting IPv4 too.
        int off = 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    }
    bool ok = bind(fd, address, length) == 0;
    close(fd);
    return ok;
}

bool IsFree(uint16_t port)
{
    for (const char* host : {"127.0.0.1", "0.0.0.0"})
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        inet_pton(AF_INET, host, &address.sin_addr);
        for (int type : {SOCK_STREAM, SOCK_DGRAM})
        {
            if (!CanBind(AF_INET, type, reinterpret_cast<const sockaddr*>(&address), sizeof(address)))
                return false;
        }
    }
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_port = htons(port);
    any6.sin6_addr = in6addr_any;
    for (int type : {SOCK_STREAM, SOCK_DGRAM})
    {
        if (!CanBind(AF_INET6, type, reinterpret_cast<const sockaddr*>(&any6), sizeof(any6)))
            return false;
    }
    return true;
}

// Removes claims of finished test runs, so the folder does not keep growing.
void PruneStaleReservations(const std::filesystem::path& folder)
{
    std::error_code error;
    auto now = std::filesystem::file_time_type::clock::now();
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    {
        std::error_code ignored;
        auto written = it->last_write_time(ignored);
        if (!ignored && now - written > kReservationLifetime)
            std::filesystem::remove(it->path(), ignored);
    }
}

// Claims the port among cooperating test processes; false when another one holds a fresh claim.
bool Reserve(uint16_t port)
{
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error) / "lnf-test-ports";
    if (error)
        return true;
    std::filesystem::create_directories(folder, error);
    static std::once_flag pruned;
    std::call_once(pruned, [&folder] { PruneStaleReservations(folder); });
    std::string marker = (folder / std::to_string(port)).string();

    int fd = open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0)
    {
        close(fd);
        return true;
    }
    struct stat info
    {
    };
    if (stat(marker.c_str(), &info) != 0)
        return true; // folder not writable: rely on randomness alone
    auto age = std::chrono::seconds(std::time(nullptr) - info.st_mtime);
    if (age < kReservationLifetime)
        return false;
    // Stale claim: take it over by refreshing its time (a race here only costs randomness).
    return utimensat(AT_FDCWD, marker.c_str(), nullptr, 0) == 0;
}

} // namespace

uint16_t FreePort()
{
    static std::mutex mutex;
    static std::set<uint16_t> handedOut;
    static std::mt19937 random(
        std::random_device{}() ^ static_cast<unsigned>(getpid()) ^
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));

    std::lock_guard lock(mutex);
    std::uniform_int_distribution<int> pick(kFirstPort, kLastPort);
    for (int attempt = 0; attempt < 2000; ++attempt)
    {
        auto port = static_cast<uint16_t>(pick(random));
        if (handedOut.count(port) != 0)
            continue;
        if (!IsFree(port) || !Reserve(port))
            continue;
        handedOut.insert(port);
        return port;
    }
    throw std::runtime_error("FreePort: no free port found in 20000-60000");
}
