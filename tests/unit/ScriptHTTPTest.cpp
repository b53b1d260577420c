// The HTTP script module against a loopback web stub; callbacks are delivered by running the
// main-thread task queue as the server's pass would.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "LogCapture.h"
#include "Network/HttpClient.h"
#include "Ports.h"
#include "ResourceTestUtil.h"
#include "Scripting/ScriptHTTP.h"

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

class ScriptHTTPTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        restest::ResetSettings();
        resource = StartResource();
        ASSERT_NE(resource, nullptr);
    }

    // Pending transfers hold the server's task queue: they must all be through before it goes.
    void TearDown() override
    {
        EXPECT_TRUE(DeliverAll());
        server.Manager().StopResource("web");
    }

    Resource* StartResource()
    {
        base.WriteResource("web", "<meta type=\"lua\"><script src=\"main.lua\" type=\"server\"/></meta>",
                           {{"main.lua", "\n"}});
        return server.StartResource("web");
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
    EXPECT_EQ(stub.requests, 4);
}

TEST_F(ScriptHTTPTest, FailingCallbackIsLogged)
{
    const std::string url = stub.Url("/echo");
    Run("HTTP.RequestAsync(" + Args(url, "get") + ", function(s, t) error('callback boom') end)");
    ASSERT_TRUE(DeliverAll());
    EXPECT_EQ(log.Messages(spdlog::level::err).back(),
              "[HTTP] Failed to call function of request to " + url + ".");
}

TEST_F(ScriptHTTPTest, AsyncCallbacksRunOnTheMainThreadForTheVMThatAsked)
{
    Run(Async(Args(stub.Url("/echo"), "get"), "old"));
    ASSERT_TRUE(stub.WaitForRequests(1));
    server.Manager().StopResource("web");
    resource = StartResource();
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

} // namespace
