// The HTTP client layer against a local stand-in server.

#include <chrono>
#include <condition_variable>
#include <functional>
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
        // Holds each request until `gateSize` of them are inside at once.
        server.Get("/gate",
                   [this](const httplib::Request&, httplib::Response& response)
                   {
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
    int gateSize = 6;
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
    EXPECT_EQ(HttpClient::PostForm(stub.Url("/echo"), {{"address", "a b"}, {"port", "9999"}}).body,
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

TEST(HttpClientTest, PoolRunsStalledRequestsSideBySideAndSurvivesThrowingTasks)
{
    LogCapture log;
    // Fulfilled when the pool releases the task, which it does after reporting the failure.
    std::promise<void> released;
    std::shared_ptr<void> guard(nullptr, [&released](void*) { released.set_value(); });
    HttpClient::Submit([guard = std::move(guard)] { throw std::runtime_error("task failure"); });
    ASSERT_EQ(released.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(log.Contains("[HttpClient] Background task failed: task failure"));

    StubServer stub;
    std::vector<std::promise<HttpResponse>> results(stub.gateSize); // can only finish together
    for (auto& result : results)
        HttpClient::Submit(
            [&stub, &result] {
                result.set_value(HttpClient::Perform({HttpMethod::Get, stub.Url("/gate"), "", {}}));
            });
    for (auto& result : results)
        EXPECT_EQ(result.get_future().get().body, "opened"); // the gate gives up after 10 s
}

} // namespace
