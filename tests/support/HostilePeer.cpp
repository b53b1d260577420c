#include "HostilePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include <httplib.h>

namespace
{
bool SendAll(int fd, const char* data, size_t size)
{
    while (size > 0)
    {
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool SendAll(int fd, const std::string& text)
{
    return SendAll(fd, text.data(), text.size());
}

std::string Head(size_t length, const std::string& extra = {})
{
    std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n" + extra;
    if (length != std::string::npos)
        head += "Content-Length: " + std::to_string(length) + "\r\n";
    return head + "\r\n";
}

// The number after `prefix` in `target`, or nothing.
bool NumberAfter(const std::string& target, const std::string& prefix, size_t& number, size_t& end)
{
    if (target.compare(0, prefix.size(), prefix) != 0)
        return false;
    char* stop = nullptr;
    number = std::strtoull(target.c_str() + prefix.size(), &stop, 10);
    end = static_cast<size_t>(stop - target.c_str());
    return end > prefix.size();
}
} // namespace

HostilePeer::HostilePeer(int backlog, std::chrono::milliseconds acceptPause) : acceptPause(acceptPause)
{
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, backlog) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("HostilePeer: cannot listen on 127.0.0.1");
    port = ntohs(address.sin_port);
    acceptor = std::thread(&HostilePeer::AcceptLoop, this);
}

HostilePeer::~HostilePeer()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    acceptor.join();
    for (std::thread& connection : connections)
        connection.join();
    close(listener);
}

std::string HostilePeer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::vector<std::string> HostilePeer::Requests() const
{
    std::lock_guard lock(mutex);
    return requests;
}

bool HostilePeer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return requests.size() >= count; });
}

bool HostilePeer::Pause(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex);
    return !changed.wait_for(lock, timeout, [this] { return stopping; });
}

void HostilePeer::AcceptLoop()
{
    for (;;)
    {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
        }
        pollfd watched{listener, POLLIN, 0};
        if (poll(&watched, 1, 20) <= 0)
            continue;
        int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0)
            connections.emplace_back(&HostilePeer::Serve, this, connection);
        if (acceptPause.count() > 0)
            Pause(acceptPause);
    }
}

const std::string& HostilePeer::Gzipped(size_t zeros)
{
    std::lock_guard lock(mutex);
    auto found = gzipped.find(zeros);
    if (found != gzipped.end())
        return found->second;
    std::string compressed;
    httplib::detail::gzip_compressor compressor;
    const std::string block(1 << 20, '\0');
    for (size_t done = 0; done < zeros;)
    {
        size_t size = std::min(block.size(), zeros - done);
        done += size;
        compressor.compress(block.data(), size, done == zeros,
                            [&](const char* data, size_t length)
                            {
                                compressed.append(data, length);
                                return true;
                            });
    }
    return gzipped.emplace(zeros, std::move(compressed)).first->second;
}

void HostilePeer::Serve(int connection)
{
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos)
    {
        ssize_t count = recv(connection, buffer, sizeof(buffer), 0);
        if (count <= 0)
            break;
        head.append(buffer, static_cast<size_t>(count));
    }
    std::string line = head.substr(0, head.find(" HTTP/"));
    {
        std::lock_guard lock(mutex);
        requests.push_back(line);
    }
    changed.notify_all();

    std::string method = line.substr(0, line.find(' '));
    std::string target = line.substr(line.find(' ') + 1);
    size_t number = 0;
    size_t end = 0;
    if (method == "CONNECT" || target.substr(0, target.find('?')) == "/silent")
    {
        while (Pause(std::chrono::hours(1)))
        {
        }
    }
    else if (NumberAfter(target, "/body/", number, end) || NumberAfter(target, "/stream/", number, end))
    {
        bool announced = target.compare(0, 6, "/body/") == 0;
        SendAll(connection, Head(announced ? number : std::string::npos));
        const std::string block(64 * 1024, 'x');
        for (size_t sent = 0; sent < number;)
        {
            size_t size = std::min(block.size(), number - sent);
            if (!SendAll(connection, block.data(), size))
                break;
            sent += size;
        }
    }
    else if (NumberAfter(target, "/gzip/", number, end))
    {
        const std::string& body = Gzipped(number);
        SendAll(connection, Head(body.size(), "Content-Encoding: gzip\r\n") + body);
    }
    else if (NumberAfter(target, "/trickle/", number, end))
    {
        size_t pause = std::strtoull(target.c_str() + end + 1, nullptr, 10);
        const std::string piece(512, 't');
        SendAll(connection, Head(number * piece.size()));
        for (size_t i = 0; i < number && SendAll(connection, piece); ++i)
        {
            if (i + 1 < number && !Pause(std::chrono::milliseconds(pause)))
                break;
        }
    }
    else
    {
        SendAll(connection, Head(4) + "live");
    }
    shutdown(connection, SHUT_WR);
    close(connection);
}
