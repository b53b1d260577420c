#include "Ports.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <utility>

namespace
{
// Free on TCP and UDP, over IPv4 and over IPv6 (the game port takes both families on one socket).
bool Bindable(uint16_t port)
{
    sockaddr_in address{AF_INET, htons(port), {INADDR_ANY}, {}};
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_port = htons(port);
    address6.sin6_addr = in6addr_any;
    const std::pair<const sockaddr*, socklen_t> addresses[] = {
        {reinterpret_cast<const sockaddr*>(&address), sizeof address},
        {reinterpret_cast<const sockaddr*>(&address6), sizeof address6}};
    for (int type : {SOCK_STREAM, SOCK_DGRAM})
    {
        for (const auto& [where, size] : addresses)
        {
            int fd = socket(where->sa_family, type | SOCK_CLOEXEC, 0);
            // A machine without IPv6 has nothing to collide with there.
            bool taken = fd >= 0 && bind(fd, where, size) != 0;
            if (fd >= 0)
                close(fd);
            if (taken)
                return false;
        }
    }
    return true;
}

// Creates the marker, or takes over one that a finished run left more than five minutes ago.
bool Claim(const std::filesystem::path& marker)
{
    struct stat info = {};
    if (int fd = open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        fd >= 0 || errno != EEXIST)
        return fd < 0 || close(fd) == 0; // without a writable folder, randomness alone
    return stat(marker.c_str(), &info) == 0 && std::time(nullptr) - info.st_mtime > 300 &&
           utimensat(AT_FDCWD, marker.c_str(), nullptr, 0) == 0;
}
} // namespace

uint16_t FreePort()
{
    thread_local std::mt19937 random(std::random_device{}());
    std::error_code error;
    auto markers = std::filesystem::temp_directory_path(error) / "lnf-test-ports";
    std::filesystem::create_directories(markers, error);
    for (int attempt = 0; attempt < 2000; ++attempt)
    {
        auto port = static_cast<uint16_t>(std::uniform_int_distribution<int>(20000, 60000)(random));
        if (Bindable(port) && Claim(markers / std::to_string(port)))
            return port;
    }
    throw std::runtime_error("FreePort: no free port in 20000-60000");
}
