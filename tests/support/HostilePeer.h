#pragma once

// A loopback web peer that misbehaves on purpose, for tests of what the server takes from the
// outside world. The request path picks the behaviour:
//
//   /silent[?anything]   reads the request and never answers (the connection stays open)
//   /body/<n>            200 with <n> bytes, length announced
//   /stream/<n>          200 with <n> bytes, no length (the end of the body is the end of the connection)
//   /gzip/<n>            200 with <n> zero bytes, gzip-encoded on the wire (a "bomb" for large <n>)
//   /trickle/<k>/<ms>    200 with <k> pieces of 512 bytes, one every <ms> milliseconds
//   anything else        200 "live"
//
// A CONNECT request (as a client sends to its proxy) is held like /silent.
//
//     HostilePeer peer;                       // listens on 127.0.0.1 of the calling thread's network
//     HostilePeer small(5, 2ms);              // an accept queue of 5, and 2 ms to take each connection in
//     HttpClient::Perform({HttpMethod::Get, peer.Url("/silent"), "", {}});
//
// The destructor ends every connection and waits for the peer's threads.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class HostilePeer
{
public:
    explicit HostilePeer(int backlog = 4096, std::chrono::milliseconds acceptPause = {});
    ~HostilePeer();
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    uint16_t Port() const { return port; }
    std::string Url(const std::string& path) const;
    // Request heads received so far ("METHOD target"), in arrival order.
    std::vector<std::string> Requests() const;
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    void AcceptLoop();
    void Serve(int connection);
    // Waits until the peer is destroyed or `timeout` has passed; false once it is being destroyed.
    bool Pause(std::chrono::milliseconds timeout);
    const std::string& Gzipped(size_t zeros);

    int listener = -1;
    uint16_t port = 0;
    std::chrono::milliseconds acceptPause;
    std::thread acceptor;
    std::vector<std::thread> connections;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    std::vector<std::string> requests;
    std::map<size_t, std::string> gzipped;
};
