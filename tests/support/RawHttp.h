#pragma once

// A bare HTTP/1.1 exchange over one TCP connection to 127.0.0.1, for tests that need exact control
// over what is sent: request paths that clients would normalise, missing or repeated headers.
//
//     RawHttpResponse reply = RawHttpRequest(port, BuildRawRequest("GET", "/query", {"User-Agent: x"}));
//     RawHttpResponse same = RawHttpRequest(port, "GET /query HTTP/1.1\r\nHost: 127.0.0.1\r\n"
//                                                 "Connection: close\r\nUser-Agent: x\r\n\r\n");
//
// The request text is sent as given (include "Connection: close" so the server ends the reply by
// closing). The reply is read until the server closes the connection or 5 s pass without data.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct RawHttpResponse
{
    int status = 0; // 0 when nothing parseable arrived
    // Header names lower-cased; the last value wins.
    std::map<std::string, std::string> headers;
    std::string body;
    // The client side's port of the connection, as the server sees it.
    int localPort = 0;

    // The value of the header named `lowerName`, or "".
    std::string Header(const std::string& name) const { return headers.count(name) ? headers.at(name) : ""; }
};

RawHttpResponse RawHttpRequest(uint16_t port, const std::string& request);

// Builds a request with "Host" and "Connection: close"; `headers` are complete lines without CR LF.
// POST, PUT and PATCH, and any request with a body, get its "Content-Length".
std::string BuildRawRequest(const std::string& method, const std::string& target,
                            const std::vector<std::string>& headers = {}, const std::string& body = {});

// A TCP connection to 127.0.0.1:port with 5 s send and receive time-outs; -1 when it fails.
int RawHttpConnect(uint16_t port);

// Polls until a TCP connection to 127.0.0.1:port succeeds; false after `timeoutMs`.
bool WaitForTcpPort(uint16_t port, int timeoutMs = 5000);
