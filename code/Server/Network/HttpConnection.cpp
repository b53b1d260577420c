#include "Network/HttpConnection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace
{
// Replies up to this size are gathered and sent in one piece.
constexpr size_t kGatherLimit = 16 * 1024;
// After a reply to a request whose body was not read, what the peer still sends is drained for at
// most this long and this much, so that closing does not reset the connection under the reply.
constexpr std::chrono::milliseconds kLingerTime{1000};
constexpr size_t kLingerBytes = 1024 * 1024;

thread_local HttpConnection* current = nullptr;

void AddressText(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port)
{
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof(host), service,
                    sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV) == 0)
    {
        ip = host;
        port = std::atoi(service);
    }
}

int Milliseconds(std::chrono::steady_clock::duration duration)
{
    auto count = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
    return static_cast<int>(std::clamp<decltype(count)>(count, 0, 1 << 30));
}
} // namespace

HttpConnection::HttpConnection(int socket, int stopEvent) : fd(socket), stopEvent(stopEvent)
{
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        AddressText(address, length, remoteIp, remotePort);
    length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        AddressText(address, length, localIp, localPort);

    // Sends block until the peer takes data, for this long at most.
    auto writeTime = std::chrono::duration_cast<std::chrono::microseconds>(kWriteTime).count();
    timeval timeout{static_cast<time_t>(writeTime / 1000000), static_cast<suseconds_t>(writeTime % 1000000)};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

HttpConnection::~HttpConnection()
{
    if (fd >= 0)
        close(fd);
}

HttpConnection* HttpConnection::Current()
{
    return current;
}

void HttpConnection::Serve(const RequestHandler& handleRequest)
{
    current = this;
    for (size_t served = 0; served < kRequestsPerConnection; ++served)
    {
        if (inputBegin == inputEnd && !WaitForPeer(served == 0 ? kRequestTime : kKeepAliveTime))
            break;
        requestDeadline = std::chrono::steady_clock::now() + kRequestTime;
        readingHead = true;
        headBytes = 0;
        bodyBytes = 0;
        bool peerCloses = false;
        bool handled = handleRequest(*this, served + 1 == kRequestsPerConnection, peerCloses);
        if (!Flush() || !handled || peerCloses || closeAfterReply)
            break;
    }
    current = nullptr;
    Close();
}

void HttpConnection::HeadReceived()
{
    readingHead = false;
}

void HttpConnection::CloseAfterReply()
{
    closeAfterReply = true;
}

bool HttpConnection::WaitForPeer(std::chrono::milliseconds timeout) const
{
    pollfd watched[2] = {{fd, POLLIN, 0}, {stopEvent, POLLIN, 0}};
    int ready;
    do
        ready = poll(watched, 2, static_cast<int>(timeout.count()));
    while (ready < 0 && errno == EINTR);
    return ready > 0 && watched[1].revents == 0 && watched[0].revents != 0;
}

bool HttpConnection::Fill()
{
    // Whatever reply is gathered must be out before waiting for the peer.
    if (!Flush())
        return false;
    for (;;)
    {
        ssize_t received = recv(fd, input, sizeof(input), MSG_DONTWAIT);
        if (received > 0)
        {
            inputBegin = 0;
            inputEnd = static_cast<size_t>(received);
            return true;
        }
        if (received == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return false;
        auto left = requestDeadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero() ||
            !WaitForPeer(std::chrono::milliseconds(Milliseconds(left))))
            return false;
    }
}

bool HttpConnection::is_readable() const
{
    if (inputBegin < inputEnd)
        return true;
    return WaitForPeer(
        std::chrono::milliseconds(Milliseconds(requestDeadline - std::chrono::steady_clock::now())));
}

bool HttpConnection::is_writable() const
{
    // Sends wait for the peer themselves, within the write time.
    return true;
}

ssize_t HttpConnection::read(char* data, size_t size)
{
    if (inputBegin == inputEnd && !Fill())
        return -1;
    size_t& taken = readingHead ? headBytes : bodyBytes;
    size_t limit = readingHead ? kMaxRequestHead : kMaxRequestBody;
    size_t count = std::min({size, inputEnd - inputBegin, limit - taken});
    if (count == 0 && size > 0)
    {
        if (!readingHead)
        {
            bodyTooLarge = true;
            closeAfterReply = true;
        }
        return -1;
    }
    std::memcpy(data, input + inputBegin, count);
    inputBegin += count;
    taken += count;
    return static_cast<ssize_t>(count);
}

ssize_t HttpConnection::write(const char* data, size_t size)
{
    if (output.size() + size <= kGatherLimit)
    {
        output.append(data, size);
        return static_cast<ssize_t>(size);
    }
    bool sent = SendAll(output.data(), output.size(), data, size);
    output.clear();
    return sent ? static_cast<ssize_t>(size) : -1;
}

bool HttpConnection::Flush()
{
    if (output.empty())
        return true;
    bool sent = SendAll(output.data(), output.size(), nullptr, 0);
    output.clear();
    return sent;
}

bool HttpConnection::SendAll(const char* first, size_t firstSize, const char* second, size_t secondSize)
{
    iovec parts[2] = {{const_cast<char*>(first), firstSize}, {const_cast<char*>(second), secondSize}};
    iovec* next = parts;
    size_t count = secondSize > 0 ? 2 : 1;
    while (count > 0)
    {
        if (next->iov_len == 0)
        {
            ++next;
            --count;
            continue;
        }
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = count;
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0)
        {
            if (errno == EINTR)
                continue;
            return false; // EAGAIN: the peer took nothing within the write time
        }
        auto left = static_cast<size_t>(sent);
        while (count > 0 && left >= next->iov_len)
        {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0)
        {
            next->iov_base = static_cast<char*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
    return true;
}

void HttpConnection::get_remote_ip_and_port(std::string& ip, int& port) const
{
    ip = remoteIp;
    port = remotePort;
}

void HttpConnection::get_local_ip_and_port(std::string& ip, int& port) const
{
    ip = localIp;
    port = localPort;
}

void HttpConnection::Close()
{
    if (closeAfterReply)
    {
        shutdown(fd, SHUT_WR);
        auto deadline = std::chrono::steady_clock::now() + kLingerTime;
        size_t drained = 0;
        while (drained < kLingerBytes)
        {
            auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero() ||
                !WaitForPeer(std::chrono::milliseconds(Milliseconds(left))))
                break;
            ssize_t received = recv(fd, input, sizeof(input), MSG_DONTWAIT);
            if (received <= 0 && !(received < 0 && (errno == EAGAIN || errno == EINTR)))
                break;
            drained += received > 0 ? static_cast<size_t>(received) : 0;
        }
    }
    close(fd);
    fd = -1;
}
