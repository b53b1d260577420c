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

int RawHttpConnect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0)
        return fd;
    close(fd); // harmless when the socket was never made
    return -1;
}

RawHttpResponse RawHttpRequest(uint16_t port, const std::string& request)
{
    // Without a connection every call below fails and the response stays empty.
    RawHttpResponse response;
    int fd = RawHttpConnect(port);
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    response.localPort = ntohs(local.sin_port);
    // A blocking send returns once all of it is on its way (or the time-out passed).
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string raw;
    char buffer[16384];
    for (ssize_t count; (count = recv(fd, buffer, sizeof(buffer), 0)) > 0;)
        raw.append(buffer, static_cast<size_t>(count));
    close(fd);

    size_t headEnd = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || headEnd == std::string::npos)
        return response;
    response.status = std::atoi(raw.c_str() + 9);
    for (size_t start = raw.find("\r\n") + 2, end; start < headEnd; start = end + 2)
    {
        end = raw.find("\r\n", start);
        size_t colon = std::min(raw.find(':', start), end);
        std::string name = raw.substr(start, colon - start);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t value = std::min(raw.find_first_not_of(" \t", colon + 1), end);
        response.headers[name] = raw.substr(value, end - value);
    }
    response.body = raw.substr(headEnd + 4);
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
    return request + "\r\n" + body;
}

bool WaitForTcpPort(uint16_t port, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int fd;
    while ((fd = RawHttpConnect(port)) < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    close(fd);
    return fd >= 0;
}
