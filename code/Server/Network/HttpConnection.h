#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include <httplib.h>

// One accepted connection of the HTTP front door, served on its own thread: the library parses each
// request and writes its reply through this stream, while the connection holds what it takes from
// the peer to fixed bounds. A request's line and headers are limited in size, and a whole request
// must arrive within a fixed time from its first byte, so a peer that sends slowly or endlessly ends
// its own connection and nothing else. Replies are gathered until the connection next waits for the
// peer, so a head and a small body leave in one send, and a large body is sent from where it lies.
class HttpConnection : public httplib::Stream
{
public:
    // The request line and headers together.
    static constexpr size_t kMaxRequestHead = 32 * 1024;
    // A request body as sent (chunk framing included).
    static constexpr size_t kMaxRequestBody = 128 * 1024;
    // To receive the whole of a request, counted from its first byte.
    static constexpr std::chrono::milliseconds kRequestTime{5000};
    // To wait for the next request on a kept-alive connection.
    static constexpr std::chrono::milliseconds kKeepAliveTime{2000};
    // For the peer to take more of a reply.
    static constexpr std::chrono::milliseconds kWriteTime{5000};
    static constexpr size_t kRequestsPerConnection = 1000;

    // Takes over `socket` (closed by the destructor); `stopEvent` becomes readable when the server stops.
    HttpConnection(int socket, int stopEvent);
    ~HttpConnection() override;
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Reads one request and writes its reply; false when the connection cannot go on. `lastRequest`
    // asks for a reply that closes the connection; `peerCloses` is set when the request asked for that.
    using RequestHandler = std::function<bool(httplib::Stream& stream, bool lastRequest, bool& peerCloses)>;
    // Serves requests one after another until the peer leaves, a limit is hit or the server stops.
    void Serve(const RequestHandler& handleRequest);

    // The connection whose request the calling thread is handling, or null.
    static HttpConnection* Current();
    // The request's line and headers have been read: further reads count against the body limit.
    void HeadReceived();
    // The reply being made is the last on this connection, and what the peer still sends is not read.
    void CloseAfterReply();
    // The request body went past kMaxRequestBody, and the request was cut off there.
    bool BodyTooLarge() const { return bodyTooLarge; }

    // httplib::Stream
    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* data, size_t size) override;
    ssize_t write(const char* data, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    int socket() const override { return fd; }

private:
    // Waits until the peer has sent something, for at most `timeout`; false when it has not or the
    // server stops.
    bool WaitForPeer(std::chrono::milliseconds timeout) const;
    // Receives more of the request into the input buffer; false at the end of the stream, on an
    // error or when the request's time is up.
    bool Fill();
    bool Flush();
    bool SendAll(const char* first, size_t firstSize, const char* second, size_t secondSize);
    // Ends the connection; after an unread request body, lets the peer see the reply first.
    void Close();

    int fd;
    int stopEvent;
    std::string remoteIp;
    int remotePort = -1;
    std::string localIp;
    int localPort = -1;

    char input[16 * 1024];
    size_t inputBegin = 0;
    size_t inputEnd = 0;
    std::string output; // gathered reply bytes not yet sent

    std::chrono::steady_clock::time_point requestDeadline;
    bool readingHead = true;
    size_t headBytes = 0;
    size_t bodyBytes = 0;
    bool bodyTooLarge = false;
    bool closeAfterReply = false;
};
