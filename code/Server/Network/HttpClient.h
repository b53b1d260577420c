#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

enum class HttpMethod
{
    Get,
    Post,
    Put,
    Head,
    Delete,
    Patch,
    Options,
};

// Header and form fields in the caller's order.
using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest
{
    HttpMethod method = HttpMethod::Get;
    std::string url;
    std::string body;
    // Keys compare without regard to case; of keys differing only in case the first one is sent.
    // An empty value is sent as an empty header, not dropped.
    HttpFields headers;
    // Time allowed for the whole transfer on top of the client's own limits; zero for none.
    std::chrono::milliseconds timeLimit{0};
};

struct HttpResponse
{
    int32_t status = 0; // 0 when the transfer failed
    std::string body;   // as received (content encodings decoded); empty when it was too large
    std::string error;  // the transfer library's message when the transfer failed
};

// What any transfer may take from the outside world. Nothing cuts off a transfer that keeps moving
// data, except the body limit.
struct HttpLimits
{
    // Name lookup, TCP and TLS set-up.
    std::chrono::milliseconds connectTime{0};
    // A transfer that moves fewer than `lowSpeedBytes` per second for `lowSpeedTime` (waiting for
    // the answer included) is given up.
    std::chrono::seconds lowSpeedTime{0};
    long lowSpeedBytes = 0;
    // The largest body accepted, counted after content decoding.
    size_t maxBodyBytes = 0;
};

// HTTP(S) requests over libcurl: blocking ones on the caller's thread, and background ones, all
// multiplexed on one thread of the client's own, so that peers that never answer cannot hold up the
// rest. Background transfers run a bounded number at a time, per service and in all; the others wait
// their turn in the order they were asked for. Redirects are followed as the script API always did;
// no proxy or authentication of our own.
class HttpClient
{
public:
    // Blocks the calling thread until the transfer has ended, within the blocking limits.
    static HttpResponse Perform(const HttpRequest& request);

    // Queues the transfer for the background and returns at once. It starts as soon as its service
    // (host and port of its URL) and the client have a free slot, and its limits (the background
    // ones) count from then on, so waiting its turn does not count against it. `done` runs on the
    // client's thread once the transfer has ended, whatever the outcome (unless the process is
    // exiting): it must be short and must not block.
    static void PerformAsync(HttpRequest request, std::function<void(HttpResponse)> done);

    // Background transfers that run at once to one service. Every transfer opens a connection of its
    // own, all at the same moment when a script sends a burst; small services have an accept queue
    // of a handful and take connections in at their own pace, and connections that overflow the
    // queue are never served. Sixteen at a time is what the server's earlier pool of sixteen
    // threads sent them, and they kept up with that.
    static constexpr size_t kMaxTransfersPerService = 16;
    // Background transfers that run at once in all: each holds a socket and its buffers until it
    // ends, and a silent service holds its share for the whole low-speed time. 128 lets eight
    // services run at their full share at once, well within the server's descriptor limit next to
    // the players' and the front door's connections; more would only open more at once to services
    // that are slow already.
    static constexpr size_t kMaxTransfers = 128;

    // A POST of an url-encoded form: "key=value" pairs in order joined by "&", keys and values encoded.
    static HttpRequest FormRequest(const std::string& url, const HttpFields& fields);
    static std::string EncodeForm(const HttpFields& fields);

    // A request that blocks the main loop must give up much sooner than one made in the background.
    static constexpr HttpLimits kBlockingLimits{std::chrono::seconds(3), std::chrono::seconds(5), 100,
                                                size_t(64) << 20};
    static constexpr HttpLimits kBackgroundLimits{std::chrono::seconds(10), std::chrono::seconds(30), 100,
                                                  size_t(64) << 20};

    // Tests shorten the limits; an empty call restores them.
    static void SetLimitsForTesting(const HttpLimits& blocking, const HttpLimits& background);
    static void SetLimitsForTesting();
};
