#include "RawHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>
#include <vector>

int RawHttpConnect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

namespace
{
std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}
} // namespace

std::string RawHttpResponse::Header(const std::string& lowerName) const
{
    auto found = headers.find(lowerName);
    return found == headers.end() ? std::string() : found->second;
}

RawHttpResponse RawHttpRequest(uint16_t port, const std::string& request)
{
    RawHttpResponse response;
    int fd = RawHttpConnect(port);
    if (fd < 0)
        return response;

    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        response.localPort = ntohs(local.sin_port);

    size_t sent = 0;
    while (sent < request.size())
    {
        ssize_t count = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (count <= 0)
            break;
        sent += static_cast<size_t>(count);
    }

    std::string raw;
    char buffer[16384];
    for (;;)
    {
        ssize_t count = recv(fd, buffer, sizeof(buffer), 0);
        if (count <= 0)
            break;
        raw.append(buffer, static_cast<size_t>(count));
    }
    close(fd);

    size_t headerEnd = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || headerEnd == std::string::npos)
        return response;
    response.status = std::atoi(raw.c_str() + 9);
    size_t lineStart = raw.find("\r\n") + 2;
    while (lineStart < headerEnd)
    {
        size_t lineEnd = raw.find("\r\n", lineStart);
        std::string line = raw.substr(lineStart, lineEnd - lineStart);
        size_t colon = line.find(':');
        if (colon != std::string::npos)
            response.headers[Lower(line.substr(0, colon))] = Trim(line.substr(colon + 1));
        lineStart = lineEnd + 2;
    }
    response.body = raw.substr(headerEnd + 4);
    return response;
}

std::string BuildRawRequest(const std::string& method, const std::string& target,
                            const std::vector<std::string>& headers, const std::string& body)
{
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const std::string& header : headers)
        request += header + "\r\n";
    if (!body.empty() || method == "POST" || method == "PUT" || method == "PATCH")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n";
    request += body;
    return request;
}

bool WaitForTcpPort(uint16_t port, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline)
    {
        int fd = RawHttpConnect(port);
        if (fd >= 0)
        {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
