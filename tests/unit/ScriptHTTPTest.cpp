// The HTTP script module against a loopback web stub; callbacks are delivered by running the
// main-thread task queue as the server's pass would.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include "LogCapture.h"
#include "Network/HttpClient.h"
#include "Ports.h"
#include "ResourceTestUtil.h"
#include "Scripting/ScriptFunctionRef.h"
#include "Scripting/ScriptHTTP.h"
#include "Scripting/SquirrelVM.h"

namespace
{

using namespace std::chrono_literals;

// Answers "METHOD|body|ct=<content-type values>|tok=<x-token>", or a 404 on "/missing".
class WebStub
{
public:
    WebStub()
    {
        auto handler = [this](const httplib::Request& request, httplib::Response& response)
        {
            ++requests;
            if (request.path == "/missing")
            {
                response.status = 404;
                response.set_content("nothing here", "text/plain");
                return;
            }
            std::string types;
            auto range = request.headers.equal_range("Content-Type");
            for (auto it = range.first; it != range.second; ++it)
                types += (types.empty() ? "" : ",") + it->second;
            response.set_content(request.method + "|" + request.body + "|ct=" + types +
                                     "|tok=" + request.get_header_value("X-Token"),
                                 "text/plain");
        };
        server.Get(".*", handler).Post(".*", handler).Put(".*", handler).Patch(".*", handler);
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::sleep_for(1ms);
    }

    ~WebStub()
    {
        server.stop();
        thread.join();
    }

    std::string Url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    bool WaitForRequests(int count)
    {
        for (int i = 0; i < 5000 && requests < count; ++i)
            std::this_thread::sleep_for(1ms);
        return requests >= count;
    }

    std::atomic<int> requests = 0;

private:
    httplib::Server server;
    int port = 0;
    std::thread thread;
};

// Serves one connection with an empty 200; returns its request head (httplib hides empty headers).
std::string CaptureRequestHead(const std::function<void(const std::string& url)>& request)
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
    std::thread server(
        [&]
        {
            pollfd ready{listener, POLLIN, 0};
            int connection = poll(&ready, 1, 5000) > 0 ? accept(listener, nullptr, nullptr) : -1;
            char buffer[4096];
            ssize_t count = 0;
            while (connection >= 0 && head.find("\r\n\r\n") == std::string::npos &&
                   (count = recv(connection, buffer, sizeof(buffer), 0)) > 0)
                head.append(buffer, static_cast<size_t>(count));
            const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            send(connection, reply, sizeof(reply) - 1, MSG_NOSIGNAL);
            close(connection);
        });
    request("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
    server.join();
    close(listener);
    return head;
}

class ScriptHTTPTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        restest::ResetSettings();
        resource = StartResource("web", "lua", "main.lua");
        ASSERT_NE(resource, nullptr);
    }

    // Pending transfers hold the server's task queue: they must all be through before it goes.
    void TearDown() override
    {
        EXPECT_TRUE(DeliverAll());
        server.Manager().StopResource("web");
        Resource::SetVMFactoryForTesting(ResourceSquirrel, nullptr);
    }

    Resource* StartResource(const std::string& name, const std::string& type, const std::string& file)
    {
        base.WriteResource(
            name, "<meta type=\"" + type + "\"><script src=\"" + file + "\" type=\"server\"/></meta>",
            {{file, "\n"}});
        return server.StartResource(name);
    }

    void Run(const std::string& code) { ASSERT_TRUE(resource->GetVM()->LoadScript("test", code)) << code; }

    static std::string SyncReport(const std::string& args)
    {
        return "local r = table.pack(HTTP.Request(" + args +
               "))\nConsole.Log(r.n .. ' ' .. tostring(r[1]) .. '|' .. tostring(r[2]))";
    }

    static std::string Async(const std::string& args, const std::string& label)
    {
        return "HTTP.RequestAsync(" + args + ", function(s, t) Console.Log('" + label +
               " ' .. s .. '|' .. t) end);";
    }

    static std::string Args(const std::string& url, const std::string& method, const std::string& body = "",
                            const std::string& contentType = "text/plain", const std::string& headers = "{}")
    {
        return "\"" + url + "\", \"" + method + "\", \"" + body + "\", \"" + contentType + "\", " + headers;
    }

    static bool DeliverAll()
    {
        for (int i = 0; i < 10000 && GetPendingHTTPRequestCount() > 0; ++i)
        {
            g_server->tasks.RunPending();
            std::this_thread::sleep_for(1ms);
        }
        return GetPendingHTTPRequestCount() == 0;
    }

    // Script lines without "[Script] <resource>: ", sorted.
    std::vector<std::string> Reports() const
    {
        std::vector<std::string> lines;
        for (const std::string& message : log.Messages())
            if (message.rfind("[Script] ", 0) == 0)
                lines.push_back(message.substr(message.find(": ") + 2));
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    LogCapture log;
    restest::TempBase base;
    restest::TestServer server{false};
    WebStub stub;
    Resource* resource = nullptr;
};

TEST_F(ScriptHTTPTest, RequestReturnsStatusAndTextAsOrdinaryResults)
{
    const std::string echo = stub.Url("/echo");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {Args(echo, "get"), "2 200|GET||ct=text/plain|tok="},
        {Args(echo, "post", "p=1"), "2 200|POST|p=1|ct=text/plain|tok="},
        {Args(echo, "put", "b"), "2 200|PUT|b|ct=text/plain|tok="},
        {Args(echo, "patch", "b"), "2 200|PATCH|b|ct=text/plain|tok="},
        {Args(echo, "head"), "2 200|"},
        // The headers table wins over the content type argument; "Content-Type" sorts before
        // "content-type" and wins without regard to case.
        {Args(echo, "post", "b", "x/arg",
              "{[\"Content-Type\"] = \"X/Up\", [\"content-type\"] = \"x/low\", [\"X-Token\"] = \"abc\"}"),
         "2 200|POST|b|ct=X/Up|tok=abc"},
        {Args(stub.Url("/missing"), "get"), "2 404|nothing here"},
        // Failures, and methods that are not lower-case, give status 0; the latter send nothing.
        {Args("http://127.0.0.1:" + std::to_string(FreePort()) + "/", "get"), "2 0|"},
        {Args(echo, "GET"), "2 0|"},
    };
    for (const auto& [args, expected] : cases)
    {
        log.Clear();
        Run(SyncReport(args));
        EXPECT_EQ(Reports(), std::vector<std::string>{expected}) << args;
    }
    EXPECT_EQ(stub.requests, 7);

    std::string head =
        CaptureRequestHead([this](const std::string& url) { Run(SyncReport(Args(url, "post", "b", ""))); });
    EXPECT_NE(head.find("\r\ncontent-type:\r\n"), std::string::npos) << "an empty content type is sent";
}

TEST_F(ScriptHTTPTest, BadArgumentsRaiseAndSendNothing)
{
    const std::string url = stub.Url("/echo");
    for (const std::string& statement : {
             "HTTP.Request(\"" + url + "\", \"get\", \"\", \"\")",
             "HTTP.Request(\"" + url + "\", \"get\", \"\", \"\", {a = {}})",
             "HTTP.RequestAsync(" + Args(url, "get") + ", \"not a function\")",
             Async(Args(url, "get", "", "", "5"), "cb"),
         })
    {
        log.Clear();
        Run("Console.Log(pcall(function() " + statement + " end) and 'returned' or 'raised')");
        EXPECT_EQ(Reports(), std::vector<std::string>{"raised"}) << statement;
    }
    // An unknown method is no error but starts nothing either.
    Run(Async(Args(url, "fetch"), "cb"));
    EXPECT_EQ(GetPendingHTTPRequestCount(), 0u);
    EXPECT_EQ(stub.requests, 0);
}

TEST_F(ScriptHTTPTest, SquirrelGetsOneArrayAndFailingCallbacksAreLogged)
{
    Resource::SetVMFactoryForTesting(ResourceSquirrel,
                                     [](Resource* owner) -> std::unique_ptr<ScriptVM>
                                     { return std::make_unique<SquirrelVM>(owner); });
    resource = StartResource("sq", "squirrel", "main.nut");
    ASSERT_NE(resource, nullptr);
    const std::string url = stub.Url("/echo");
    Run("local r = HTTP.Request(" + Args(url, "get") + "); Console.Log(r.len() + \" \" + r[0]);" +
        "HTTP.RequestAsync(" + Args(url, "get") + ", function(s, t) { throw \"callback boom\"; });");
    EXPECT_EQ(Reports(), std::vector<std::string>{"2 200"});
    ASSERT_TRUE(DeliverAll());
    EXPECT_EQ(log.Messages(spdlog::level::err).back(),
              "[HTTP] Failed to call function of request to " + url + ".");

    InvokeHTTPRequestCallback(resource->GetVM(), ScriptFunctionRef(), "http://nowhere/", HttpResponse{});
    EXPECT_EQ(log.Messages(spdlog::level::err).back(),
              "[HTTP] Failed to push function of request to http://nowhere/.");
}

TEST_F(ScriptHTTPTest, AsyncCallbacksRunOnTheMainThreadForTheVMThatAsked)
{
    Run(Async(Args(stub.Url("/echo"), "get"), "old"));
    ASSERT_TRUE(stub.WaitForRequests(1));
    server.Manager().StopResource("web");
    resource = StartResource("web", "lua", "main.lua");
    ASSERT_NE(resource, nullptr);
    Run(Async(Args(stub.Url("/missing"), "get"), "missing") +
        Async(Args("http://127.0.0.1:" + std::to_string(FreePort()) + "/", "get"), "closed"));
    EXPECT_EQ(GetPendingHTTPRequestCount(), 3u);
    ASSERT_TRUE(stub.WaitForRequests(2));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Reports().empty()) << "callbacks wait for the main thread's queue";
    ASSERT_TRUE(DeliverAll());
    EXPECT_EQ(Reports(), (std::vector<std::string>{"closed 0|", "missing 404|nothing here"}));
    EXPECT_TRUE(log.Messages(spdlog::level::err).empty());
}

TEST_F(ScriptHTTPTest, CallbackGoesOnlyToAScriptThreadStillAlive)
{
    // "ended" asks and ends before its answer comes; "live" waits suspended.
    Run("Thread.Create(function() " + Async(Args(stub.Url("/echo"), "get"), "ended") +
        " end) Thread.Create(function() " + Async(Args(stub.Url("/echo"), "get"), "live") +
        " while true do Thread.Pause(100000) end end)");
    server.Manager().Process();
    ASSERT_EQ(resource->GetVM()->GetThreads().size(), 1u);
    ASSERT_TRUE(DeliverAll());
    EXPECT_EQ(Reports(), (std::vector<std::string>{"live 200|GET||ct=text/plain|tok="}));
}

} // namespace
