// The HTTP client layer against a local stand-in server.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include "LogCapture.h"
#include "Network/HttpClient.h"
#include "Ports.h"

namespace
{

// Answers every method on "/echo" with "METHOD|body|header=value;..." for the headers whose names
// start with "x-" or are "content-type" (names lower-cased, every value of a repeated name).
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
        server.Put("/echo", echo);
        server.Patch("/echo", echo);
        server.Delete("/echo", echo);
        server.Options("/echo", echo);
        server.Get("/missing",
                   [](const httplib::Request&, httplib::Response& response)
                   {
                       response.status = 404;
                       response.set_content("no such thing", "text/plain");
                   });
        server.Get("/moved", [](const httplib::Request&, httplib::Response& response)
                   { response.set_redirect("/echo"); });
        server.Get("/large",
                   [](const httplib::Request&, httplib::Response& response)
                   {
                       // Compressed on the wire when the client accepts it.
                       response.set_content(std::string(100000, 'z') + "end", "text/plain");
                   });
        server.Get("/gate",
                   [this](const httplib::Request&, httplib::Response& response)
                   {
                       // Holds each request until `gateSize` of them are inside at once.
                       std::unique_lock lock(gateMutex);
                       ++gateInside;
                       gateChanged.notify_all();
                       bool opened = gateChanged.wait_for(lock, std::chrono::seconds(10),
                                                          [this] { return gateInside >= gateSize; });
                       response.set_content(opened ? "opened" : "timed out", "text/plain");
                   });
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

    std::mutex gateMutex;
    std::condition_variable gateChanged;
    int gateInside = 0;
    int gateSize = 0;
};

// Accepts one connection on 127.0.0.1 and keeps the raw request head, for what a server library
// would not show (headers with empty values); answers 200 with an empty body.
class RawCapture
{
public:
    RawCapture()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        thread = std::thread(
            [this]
            {
                int connection = accept(listener, nullptr, nullptr);
                if (connection < 0)
                    return;
                char buffer[4096];
                while (head.find("\r\n\r\n") == std::string::npos)
                {
                    ssize_t count = recv(connection, buffer, sizeof(buffer), 0);
                    if (count <= 0)
                        break;
                    head.append(buffer, static_cast<size_t>(count));
                }
                const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
                send(connection, reply, sizeof(reply) - 1, MSG_NOSIGNAL);
                close(connection);
            });
    }
    ~RawCapture()
    {
        shutdown(listener, SHUT_RDWR);
        thread.join();
        close(listener);
    }

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }
    // The request head; read it after the request has completed.
    std::string head;

private:
    int listener = -1;
    int port = 0;
    std::thread thread;
};

// Methods, bodies and headers as the stub echoes them back.
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
        {HttpMethod::Post, "", {}, "POST||" + form},
        {HttpMethod::Put, "put", {}, "PUT|put|" + form},
        {HttpMethod::Patch, "patch body", {}, "PATCH|patch body|" + form},
        {HttpMethod::Delete, "gone", {}, "DELETE|gone|" + form},
        {HttpMethod::Options, "", {}, "OPTIONS||"},
        {HttpMethod::Head, "", {}, ""},
        {HttpMethod::Head, "ignored", {}, ""},
        // Header keys ignore case and the first wins.
        {HttpMethod::Post, "b", {{"X-One", "1"}, {"X-Two", "2"}}, "POST|b|" + form + "x-one=1;x-two=2;"},
        {HttpMethod::Post,
         "b",
         {{"X-Dup", "first"}, {"x-dup", "second"}, {"X-DUP", "third"}},
         "POST|b|" + form + "x-dup=first;"},
        {HttpMethod::Post,
         "b",
         {{"Content-Type", "text/a"}, {"content-type", "text/b"}},
         "POST|b|content-type=text/a;"},
        {HttpMethod::Post,
         "b",
         {{"content-type", "text/b"}, {"Content-Type", "text/a"}},
         "POST|b|content-type=text/b;"},
        // Header text that would start another header line is not sent.
        {HttpMethod::Post,
         "b",
         {{"X-Evil", "v\r\nX-Injected: 1"}, {"X-Ok", "fine"}},
         "POST|b|" + form + "x-ok=fine;"},
        {HttpMethod::Post, "b", {{"X-Bad:Name", "v"}}, "POST|b|" + form},
    };
    for (const auto& c : cases)
    {
        HttpResponse response = HttpClient::Perform({c.method, stub.Url("/echo"), c.body, c.headers});
        EXPECT_EQ(response.status, 200) << c.expected;
        EXPECT_EQ(response.body, c.expected);
        EXPECT_EQ(response.error, "");
    }
}

// What a server library would not show: the raw request head.
TEST(HttpClientTest, RawRequestHeads)
{
    {
        RawCapture capture;
        EXPECT_EQ(HttpClient::Perform({HttpMethod::Get, capture.Url(), "q=1", {}}).status, 200);
        EXPECT_EQ(capture.head.rfind("GET / HTTP/1.1\r\n", 0), 0u) << capture.head;
        EXPECT_NE(capture.head.find("\r\nContent-Length: 3\r\n"), std::string::npos) << "GET carries a body";
    }
    // The script API always sends a content type, empty or not; an empty one must not turn into the
    // transfer library's form default.
    RawCapture capture;
    HttpFields headers = {{"content-type", ""}, {"X-Empty", ""}};
    EXPECT_EQ(HttpClient::Perform({HttpMethod::Post, capture.Url(), "b", headers}).status, 200);
    EXPECT_NE(capture.head.find("\r\ncontent-type:\r\n"), std::string::npos) << capture.head;
    EXPECT_NE(capture.head.find("\r\nX-Empty:\r\n"), std::string::npos) << capture.head;
    EXPECT_EQ(capture.head.find("x-www-form-urlencoded"), std::string::npos) << capture.head;
}

TEST(HttpClientTest, FormsAreUrlEncodedInOrder)
{
    EXPECT_EQ(HttpClient::EncodeForm({{"address", "127.0.0.1"}, {"port", "9999"}, {"version", "1"}}),
              "address=127.0.0.1&port=9999&version=1");
    EXPECT_EQ(HttpClient::EncodeForm({{"b", "x y&z=1/2?~_-."}, {"a", "\xC3\xA9\x01"}}),
              "b=x%20y%26z%3D1%2F2%3F~_-.&a=%C3%A9%01");
    EXPECT_EQ(HttpClient::EncodeForm({{"empty", ""}, {"k", "v"}}), "empty=&k=v");
    EXPECT_EQ(HttpClient::EncodeForm({}), "");

    StubServer stub;
    HttpResponse response = HttpClient::PostForm(stub.Url("/echo"), {{"address", "a b&c"}, {"port", "9999"}});
    EXPECT_EQ(response.body,
              "POST|address=a%20b%26c&port=9999|content-type=application/x-www-form-urlencoded;");
}

TEST(HttpClientTest, StatusesBodiesAndFailures)
{
    StubServer stub;

    HttpResponse missing = HttpClient::Perform({HttpMethod::Get, stub.Url("/missing"), "", {}});
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body, "no such thing");
    EXPECT_EQ(missing.error, "");

    HttpResponse moved = HttpClient::Perform({HttpMethod::Get, stub.Url("/moved"), "", {}});
    EXPECT_EQ(moved.status, 200);
    EXPECT_EQ(moved.body, "GET||");

    HttpResponse large = HttpClient::Perform({HttpMethod::Get, stub.Url("/large"), "", {}});
    EXPECT_EQ(large.status, 200);
    EXPECT_EQ(large.body, std::string(100000, 'z') + "end");

    // Nobody listens on a fresh free port; the others are no HTTP URLs.
    for (const std::string& url :
         {"http://127.0.0.1:" + std::to_string(FreePort()) + "/", std::string("file:///etc/passwd"),
          std::string("not a url"), std::string()})
    {
        HttpResponse rejected = HttpClient::Perform({HttpMethod::Get, url, "", {}});
        EXPECT_EQ(rejected.status, 0) << url;
        EXPECT_EQ(rejected.body, "") << url;
        EXPECT_NE(rejected.error, "") << url;
    }
}

TEST(HttpClientTest, PoolRunsStalledRequestsSideBySide)
{
    StubServer stub;
    // Six requests that can only finish together: the pool must run them at the same time.
    constexpr int kParallel = 6;
    {
        std::lock_guard lock(stub.gateMutex);
        stub.gateSize = kParallel;
    }
    std::vector<std::promise<HttpResponse>> results(kParallel);
    for (int i = 0; i < kParallel; ++i)
    {
        HttpClient::Submit(
            [&stub, &result = results[i]] {
                result.set_value(HttpClient::Perform({HttpMethod::Get, stub.Url("/gate"), "", {}}));
            });
    }
    for (auto& result : results)
    {
        std::future<HttpResponse> future = result.get_future();
        ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        HttpResponse response = future.get();
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.body, "opened");
    }

    // Many small tasks all run, from several submitting threads at once.
    std::atomic<int> done{0};
    std::promise<void> allDone;
    constexpr int kTasks = 40;
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; ++t)
    {
        submitters.emplace_back(
            [&]
            {
                for (int i = 0; i < kTasks / 4; ++i)
                {
                    HttpClient::Submit(
                        [&]
                        {
                            HttpResponse response =
                                HttpClient::Perform({HttpMethod::Get, stub.Url("/echo"), "", {}});
                            if (response.body == "GET||" && ++done == kTasks)
                                allDone.set_value();
                        });
                }
            });
    }
    for (auto& submitter : submitters)
        submitter.join();
    EXPECT_EQ(allDone.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(done.load(), kTasks);

    // A task that throws is reported and does not take the pool down with it.
    {
        LogCapture log;
        // Fulfilled when the pool releases the task, which it does after reporting the failure.
        std::promise<void> released;
        std::shared_ptr<void> guard(nullptr, [&released](void*) { released.set_value(); });
        HttpClient::Submit([guard = std::move(guard)] { throw std::runtime_error("task failure"); });
        ASSERT_EQ(released.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_TRUE(log.Contains("[HttpClient] Background task failed: task failure"));

        std::promise<void> after;
        HttpClient::Submit([&after] { after.set_value(); });
        EXPECT_EQ(after.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    }
}

} // namespace
