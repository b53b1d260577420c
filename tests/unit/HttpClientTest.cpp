// The HTTP client layer against a local stand-in server.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include "HostilePeer.h"
#include "LogCapture.h"
#include "Network/HttpClient.h"
#include "Ports.h"

namespace
{

// "/echo" answers "METHOD|body|header=value;..." for headers named "x-*" or "content-type" (lower-cased).
class StubServer
{
public:
    StubServer()
    {
        auto echo = [](const httplib::Request& request, httplib::Response& response)
        {
            std::string text = request.method + "|" + request.body + "|";
            for (const auto& [name, value] : request.headers)
            {
                std::string lower;
                for (char c : name)
                    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (lower.rfind("x-", 0) == 0 || lower == "content-type")
                    text += lower + "=" + value + ";";
            }
            response.set_content(text, "text/plain");
        };
        server.Get("/echo", echo);
        server.Post("/echo", echo);
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    ~StubServer()
    {
        server.stop();
        thread.join();
    }

    std::string Url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    httplib::Server server;
    int port = 0;
    std::thread thread;
};

// Runs `perform` against a bare socket and returns the raw request head, which shows what a server
// library would hide (headers with empty values).
std::string RawRequestHead(const std::function<void(const std::string& url)>& perform)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::string head;
    std::thread peer(
        [&]
        {
            int connection = accept(listener, nullptr, nullptr);
            char buffer[4096];
            ssize_t count;
            while (head.find("\r\n\r\n") == std::string::npos &&
                   (count = recv(connection, buffer, sizeof(buffer), 0)) > 0)
                head.append(buffer, static_cast<size_t>(count));
            const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            send(connection, reply, sizeof(reply) - 1, MSG_NOSIGNAL);
            close(connection);
        });
    perform("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
    peer.join();
    close(listener);
    return head;
}

TEST(HttpClientTest, MethodsBodiesAndHeaders)
{
    StubServer stub;
    const std::string form = "content-type=application/x-www-form-urlencoded;";
    const struct
    {
        HttpMethod method;
        std::string body;
        HttpFields headers;
        std::string expected;
    } cases[] = {
        {HttpMethod::Get, "", {}, "GET||"},
        {HttpMethod::Post, "p=1", {}, "POST|p=1|" + form},
        {HttpMethod::Head, "ignored", {}, ""},
        // Header keys ignore case and the first wins.
        {HttpMethod::Post,
         "b",
         {{"Content-Type", "text/a"}, {"content-type", "text/b"}},
         "POST|b|content-type=text/a;"},
        // Header text that would start another header line is not sent.
        {HttpMethod::Post,
         "b",
         {{"X-Evil", "v\r\nX-Injected: 1"}, {"X-Bad:Name", "v"}, {"X-Ok", "fine"}},
         "POST|b|" + form + "x-ok=fine;"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HttpClient::Perform({c.method, stub.Url("/echo"), c.body, c.headers}).body, c.expected);
}

// The script API always sends a content type; an empty one must not become the form default.
TEST(HttpClientTest, EmptyHeaderValuesAreSentAsGiven)
{
    std::string head = RawRequestHead(
        [](const std::string& url)
        {
            HttpFields headers = {{"content-type", ""}, {"X-Empty", ""}};
            EXPECT_EQ(HttpClient::Perform({HttpMethod::Post, url, "b", headers}).status, 200);
        });
    EXPECT_NE(head.find("\r\ncontent-type:\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nX-Empty:\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("x-www-form-urlencoded"), std::string::npos) << head;
}

TEST(HttpClientTest, FormsAreUrlEncodedInOrder)
{
    EXPECT_EQ(HttpClient::EncodeForm({{"b", "x y&z=1/2?~_-."}, {"a", "\xC3\xA9\x01"}, {"empty", ""}}),
              "b=x%20y%26z%3D1%2F2%3F~_-.&a=%C3%A9%01&empty=");
    StubServer stub;
    EXPECT_EQ(HttpClient::Perform(
                  HttpClient::FormRequest(stub.Url("/echo"), {{"address", "a b"}, {"port", "9999"}}))
                  .body,
              "POST|address=a%20b&port=9999|content-type=application/x-www-form-urlencoded;");
}

TEST(HttpClientTest, StatusesAndFailures)
{
    StubServer stub;
    EXPECT_EQ(HttpClient::Perform({HttpMethod::Get, stub.Url("/missing"), "", {}}).status, 404);

    for (const std::string& url :
         {"http://127.0.0.1:" + std::to_string(FreePort()) + "/", std::string("not a url")})
    {
        HttpResponse rejected = HttpClient::Perform({HttpMethod::Get, url, "", {}});
        EXPECT_EQ(rejected.status, 0) << url;
        EXPECT_NE(rejected.error, "") << url;
    }
}

// Blocking and background transfers alike end when the peer stalls or the body grows too large, but
// not while a slow body keeps coming; silent peers hold up no other background transfer.
TEST(HttpClientTest, LimitsEndStalledAndOversizeTransfers)
{
    constexpr size_t kMax = 256 * 1024;
    const HttpLimits limits{std::chrono::seconds(1), std::chrono::seconds(1), 100, kMax};
    HttpClient::SetLimitsForTesting(limits, limits);
    std::shared_ptr<void> restore(nullptr, [](void*) { HttpClient::SetLimitsForTesting(); });
    HostilePeer peer;
    const struct
    {
        std::string path;
        int status;
        size_t size;
    } cases[] = {
        {"/silent", 0, 0},
        {"/trickle/8/200", 200, 8 * 512}, // 1.4 s, well past the low-speed time, but moving
        {"/body/" + std::to_string(kMax), 200, kMax},
        {"/body/" + std::to_string(kMax + 1), 0, 0},   // refused on its announced length
        {"/stream/" + std::to_string(kMax + 1), 0, 0}, // counted as it arrives
        {"/gzip/" + std::to_string(kMax + 1), 0, 0},   // counted after decoding
    };

    // Background transfers first: silent peers beyond any worker count, then each case; the live
    // answer must not wait for the silent ones.
    std::mutex mutex;
    std::condition_variable arrived;
    std::map<std::string, HttpResponse> background;
    auto start = [&](const std::string& key, const std::string& path)
    {
        HttpClient::PerformAsync({HttpMethod::Get, peer.Url(path), "", {}},
                                 [&, key](HttpResponse response)
                                 {
                                     std::lock_guard lock(mutex);
                                     background[key] = std::move(response);
                                     arrived.notify_all();
                                 });
    };
    for (int i = 0; i < 24; ++i)
        start("silent " + std::to_string(i), "/silent");
    start("live", "/live");
    for (const auto& c : cases)
        start(c.path, c.path);
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(
            arrived.wait_for(lock, std::chrono::milliseconds(500), [&] { return background.count("live"); }));
    }

    for (const auto& c : cases)
    {
        HttpResponse response = HttpClient::Perform({HttpMethod::Get, peer.Url(c.path), "", {}});
        EXPECT_EQ(response.status, c.status) << c.path << ": " << response.error;
        EXPECT_EQ(response.body.size(), c.size) << c.path;
        EXPECT_EQ(response.error.empty(), c.status != 0) << c.path;
    }

    std::unique_lock lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return background.size() == 24 + 1 + std::size(cases); }));
    EXPECT_EQ(background["live"].body, "live");
    EXPECT_EQ(background["silent 23"].status, 0);
    for (const auto& c : cases)
    {
        EXPECT_EQ(background[c.path].status, c.status) << c.path;
        EXPECT_EQ(background[c.path].body.size(), c.size) << c.path;
    }
}

TEST(HttpClientTest, FailingCompletionHandlersAreLogged)
{
    LogCapture log;
    StubServer stub;
    HttpClient::PerformAsync({HttpMethod::Get, stub.Url("/echo"), "", {}},
                             [](HttpResponse) { throw std::runtime_error("handler failure"); });
    EXPECT_TRUE(log.WaitFor("[HttpClient] Completion handler failed: handler failure"));
    // The client's thread goes on, and is done logging before the capture goes.
    std::promise<int32_t> next;
    HttpClient::PerformAsync({HttpMethod::Get, stub.Url("/echo"), "", {}},
                             [&next](HttpResponse response) { next.set_value(response.status); });
    EXPECT_EQ(next.get_future().get(), 200);
}

} // namespace
