// The HTTP script module from Lua and Squirrel resources in-process, against a loopback stand-in
// web service. Scripts report through Console.Log; asynchronous callbacks are delivered by running
// the main-thread task queue as the server's pass would.

#include <algorithm>
#include <chrono>
#include <condition_variable>
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
#include "ResourceTestUtil.h"
#include "Scripting/ScriptFunctionRef.h"
#include "Scripting/ScriptHTTP.h"
#include "Scripting/SquirrelVM.h"

namespace
{

using namespace std::chrono_literals;
using restest::TempBase;
using restest::TestServer;

// "/echo" answers every method with "METHOD|body|ct=<content-type values>|tok=<x-token>";
// "/missing" is a 404 with a body; "/hold" waits until Release(); "/gate" waits until `gateSize`
// requests are inside at once. Counts every request it receives.
class WebStub
{
public:
    WebStub()
    {
        auto echo = [this](const httplib::Request& request, httplib::Response& response)
        {
            Count();
            std::string types;
            auto range = request.headers.equal_range("Content-Type");
            for (auto it = range.first; it != range.second; ++it)
                types += (types.empty() ? "" : ",") + it->second;
            response.set_content(request.method + "|" + request.body + "|ct=" + types +
                                     "|tok=" + request.get_header_value("X-Token"),
                                 "text/plain");
        };
        server.Get("/echo", echo);
        server.Post("/echo", echo);
        server.Put("/echo", echo);
        server.Patch("/echo", echo);
        server.Delete("/echo", echo);
        server.Options("/echo", echo);
        server.Get("/missing",
                   [this](const httplib::Request&, httplib::Response& response)
                   {
                       Count();
                       response.status = 404;
                       response.set_content("nothing here", "text/plain");
                   });
        server.Get("/hold",
                   [this](const httplib::Request&, httplib::Response& response)
                   {
                       Count();
                       std::unique_lock lock(mutex);
                       changed.wait_for(lock, 10s, [this] { return released; });
                       response.set_content("held", "text/plain");
                   });
        server.Get("/gate",
                   [this](const httplib::Request&, httplib::Response& response)
                   {
                       Count();
                       std::unique_lock lock(mutex);
                       ++gateInside;
                       changed.notify_all();
                       bool opened = changed.wait_for(lock, 10s, [this] { return gateInside >= gateSize; });
                       response.set_content(opened ? "opened" : "timed out", "text/plain");
                   });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::sleep_for(1ms);
    }

    ~WebStub()
    {
        Release();
        server.stop();
        thread.join();
    }

    std::string Base() const { return "http://127.0.0.1:" + std::to_string(port); }

    int Requests()
    {
        std::lock_guard lock(mutex);
        return requests;
    }

    bool WaitForRequests(int count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return requests >= count; });
    }

    void Release()
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }

    void SetGate(int size)
    {
        std::lock_guard lock(mutex);
        gateSize = size;
    }

private:
    void Count()
    {
        std::lock_guard lock(mutex);
        ++requests;
        changed.notify_all();
    }

    httplib::Server server;
    int port = 0;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    int requests = 0;
    bool released = false;
    int gateInside = 0;
    int gateSize = 0;
};

// Accepts one connection and keeps the raw request head: the stub's library hides headers whose
// value is empty. Answers 200 with an empty body.
class RawListener
{
public:
    RawListener()
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
    ~RawListener()
    {
        shutdown(listener, SHUT_RDWR);
        if (thread.joinable())
            thread.join();
        close(listener);
    }

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }
    // The request head, once Finish has returned.
    std::string Finish()
    {
        thread.join();
        return head;
    }

private:
    int listener = -1;
    int port = 0;
    std::thread thread;
    std::string head;
};

enum class Language
{
    Lua,
    Squirrel,
};

class ScriptHTTPTest : public ::testing::TestWithParam<Language>
{
protected:
    void SetUp() override
    {
        restest::ResetSettings();
        if (!IsLua())
        {
            Resource::SetVMFactoryForTesting(ResourceSquirrel,
                                             [](Resource* owner) -> std::unique_ptr<ScriptVM>
                                             { return std::make_unique<SquirrelVM>(owner); });
        }
        resource = StartResource("web");
        ASSERT_NE(resource, nullptr);
        ASSERT_EQ(GetPendingHTTPRequestCount(), 0u);
    }

    // Pending transfers hold the server's task queue: they must all be through before it goes.
    void TearDown() override
    {
        EXPECT_TRUE(DeliverAll());
        server.Manager().StopResource("web");
        Resource::SetVMFactoryForTesting(ResourceSquirrel, nullptr);
    }

    bool IsLua() const { return GetParam() == Language::Lua; }
    std::string Pick(const std::string& lua, const std::string& squirrel) const
    {
        return IsLua() ? lua : squirrel;
    }

    Resource* StartResource(const std::string& name)
    {
        std::string file = Pick("main.lua", "main.nut");
        base.WriteResource(name,
                           "<meta type=\"" + Pick("lua", "squirrel") + "\">\n  <script src=\"" + file +
                               "\" type=\"server\"/>\n</meta>",
                           {{file, Pick("-- empty\n", "// empty\n")}});
        return server.StartResource(name);
    }

    void Run(const std::string& code) { ASSERT_TRUE(resource->GetVM()->LoadScript("test", code)) << code; }

    // Logs "<result count> <status>|<text>" for HTTP.Request(args); in Squirrel the count is the
    // length of the one array returned.
    std::string SyncReport(const std::string& args) const
    {
        return Pick(
            "local r = table.pack(HTTP.Request(" + args +
                "))\nConsole.Log(r.n .. ' ' .. tostring(r[1]) .. '|' .. tostring(r[2]))",
            "local r = HTTP.Request(" + args +
                ");\nConsole.Log((typeof r == \"array\" ? r.len() : -1) + \" \" + r[0] + \"|\" + r[1]);");
    }

    // A callback that logs "<label> <status>|<text>".
    std::string LoggingCallback(const std::string& label) const
    {
        return Pick("function(s, t) Console.Log('" + label + " ' .. s .. '|' .. t) end",
                    "function(s, t) { Console.Log(\"" + label + " \" + s + \"|\" + t); }");
    }

    std::string Async(const std::string& args, const std::string& callback) const
    {
        return "HTTP.RequestAsync(" + args + ", " + callback + ");";
    }

    // Logs "returned" or "raised" for a statement.
    std::string Protected(const std::string& statement) const
    {
        return Pick("Console.Log(pcall(function() " + statement + " end) and 'returned' or 'raised')",
                    "try { " + statement +
                        "; Console.Log(\"returned\"); } catch (e) { Console.Log(\"raised\"); }");
    }

    // Comma-separated script arguments url, method, body, content type, headers.
    std::string Args(const std::string& url, const std::string& method, const std::string& body = "",
                     const std::string& contentType = "text/plain", const std::string& headers = "{}") const
    {
        return "\"" + url + "\", \"" + method + "\", \"" + body + "\", \"" + contentType + "\", " + headers;
    }

    // Runs the main-thread queue until every accepted asynchronous request is through.
    static bool DeliverAll()
    {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (GetPendingHTTPRequestCount() > 0 && std::chrono::steady_clock::now() < deadline)
        {
            g_server->tasks.RunPending();
            std::this_thread::sleep_for(1ms);
        }
        return GetPendingHTTPRequestCount() == 0;
    }

    // Log lines that start with `prefix`; script lines without "[Script] <resource>: ".
    std::vector<std::string> Lines(const std::string& prefix = "[Script] ") const
    {
        std::vector<std::string> lines;
        for (const std::string& message : log.Messages())
            if (message.rfind(prefix, 0) == 0)
                lines.push_back(prefix == "[Script] " ? message.substr(message.find(": ") + 2) : message);
        return lines;
    }
    std::string LastReport() const
    {
        auto lines = Lines();
        return lines.empty() ? std::string() : lines.back();
    }

    LogCapture log;
    TempBase base;
    TestServer server{false};
    WebStub stub;
    Resource* resource = nullptr;
};

TEST_P(ScriptHTTPTest, RequestReturnsStatusAndTextAsOrdinaryResults)
{
    const std::string echo = stub.Base() + "/echo";
    const std::string closed = "http://127.0.0.1:" + std::to_string(FreePort()) + "/echo";
    const std::vector<std::pair<std::string, const char*>> cases = {
        {Args(echo, "get"), "2 200|GET||ct=text/plain|tok="},
        {Args(echo, "post", "p=1"), "2 200|POST|p=1|ct=text/plain|tok="},
        {Args(echo, "put", "put body"), "2 200|PUT|put body|ct=text/plain|tok="},
        {Args(echo, "delete", "gone"), "2 200|DELETE|gone|ct=text/plain|tok="},
        {Args(echo, "patch", "patch body"), "2 200|PATCH|patch body|ct=text/plain|tok="},
        {Args(echo, "options"), "2 200|OPTIONS||ct=text/plain|tok="},
        {Args(echo, "head"), "2 200|"},
        // The headers table wins over the content type argument; "Content-Type" sorts before
        // "content-type" and wins without regard to case.
        {Args(echo, "post", "b", "x/arg", "{[\"content-type\"] = \"x/table\"}"),
         "2 200|POST|b|ct=x/table|tok="},
        {Args(echo, "post", "b", "x/arg",
              "{[\"Content-Type\"] = \"X/Upper\", [\"content-type\"] = \"x/lower\"}"),
         "2 200|POST|b|ct=X/Upper|tok="},
        {Args(echo, "post", "b", "x/arg", "{[\"X-Token\"] = \"abc\"}"), "2 200|POST|b|ct=x/arg|tok=abc"},
        {Args(stub.Base() + "/missing", "get"), "2 404|nothing here"},
        // Failures, and methods that are not lower-case, give status 0; the latter send nothing.
        {Args(closed, "get"), "2 0|"},
        {Args("not a url at all", "get"), "2 0|"},
        {Args(echo, "GET"), "2 0|"},
        {Args(echo, "Post", "x"), "2 0|"},
        {Args(echo, ""), "2 0|"},
    };
    for (const auto& [args, expected] : cases)
    {
        Run(SyncReport(args));
        EXPECT_EQ(LastReport(), expected) << args;
    }
    EXPECT_EQ(stub.Requests(), 11);
    EXPECT_TRUE(Lines("[HTTP]").empty());
}

TEST_P(ScriptHTTPTest, EmptyContentTypeIsStillSent)
{
    RawListener raw;
    Run(SyncReport(Args(raw.Url(), "post", "b", "")));
    EXPECT_EQ(LastReport(), "2 200|");
    std::string head = raw.Finish();
    EXPECT_NE(head.find("\r\ncontent-type:\r\n"), std::string::npos) << head;
}

TEST_P(ScriptHTTPTest, BadArgumentsRaiseAndSendNothing)
{
    const std::string url = stub.Base() + "/echo";
    const std::vector<std::string> statements = {
        "HTTP.Request(\"" + url + "\", \"get\", \"\", \"\")",
        "HTTP.Request(\"" + url + "\", \"get\", \"\", \"\", \"not a table\")",
        "HTTP.Request(\"" + url + "\", \"get\", \"\", \"\", {a = {}})",
        "HTTP.Request(\"" + url + "\", {}, \"\", \"\", {})",
        "HTTP.RequestAsync(" + Args(url, "get") + ")",
        "HTTP.RequestAsync(" + Args(url, "get") + ", \"not a function\")",
        "HTTP.RequestAsync(" + Args(url, "get", "", "", "5") + ", " + LoggingCallback("cb") + ")",
    };
    for (const std::string& statement : statements)
    {
        Run(Protected(statement));
        EXPECT_EQ(LastReport(), "raised") << statement;
        EXPECT_EQ(GetPendingHTTPRequestCount(), 0u) << statement;
    }
    // An unknown method is no error but starts nothing either.
    Run(Async(Args(url, "GET"), LoggingCallback("cb")) + Async(Args(url, "fetch"), LoggingCallback("cb")));
    EXPECT_EQ(GetPendingHTTPRequestCount(), 0u);
    std::this_thread::sleep_for(50ms);
    g_server->tasks.RunPending();
    EXPECT_EQ(LastReport(), "raised");
    EXPECT_EQ(stub.Requests(), 0);
    EXPECT_TRUE(Lines("[HTTP]").empty());
}

TEST_P(ScriptHTTPTest, AsyncCallbackRunsOnTheMainThreadOnce)
{
    const std::string closed = "http://127.0.0.1:" + std::to_string(FreePort()) + "/echo";
    Run(Async(Args(stub.Base() + "/echo", "post", "a1"), LoggingCallback("first")) +
        Async(Args(stub.Base() + "/missing", "get"), LoggingCallback("second")) +
        Async(Args(closed, "get"), LoggingCallback("third")) +
        Async(Args(stub.Base() + "/echo", "head"), LoggingCallback("fourth")));
    EXPECT_EQ(GetPendingHTTPRequestCount(), 4u);

    // The transfers end on pool threads; the callbacks wait for the main thread's queue.
    ASSERT_TRUE(stub.WaitForRequests(3));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Lines().empty());

    ASSERT_TRUE(DeliverAll());
    std::vector<std::string> reports = Lines();
    std::sort(reports.begin(), reports.end());
    EXPECT_EQ(reports, (std::vector<std::string>{"first 200|POST|a1|ct=text/plain|tok=", "fourth 200|",
                                                 "second 404|nothing here", "third 0|"}));
    EXPECT_TRUE(Lines("[HTTP]").empty());
}

TEST_P(ScriptHTTPTest, AsyncRequestsRunInParallel)
{
    // Each "/gate" request is answered only once all four are inside the stub together.
    constexpr int kCount = 4;
    stub.SetGate(kCount);
    std::string code;
    for (int i = 0; i < kCount; ++i)
        code += Async(Args(stub.Base() + "/gate", "get"), LoggingCallback("gate" + std::to_string(i)));
    Run(code);
    ASSERT_TRUE(DeliverAll());
    std::vector<std::string> reports = Lines();
    std::sort(reports.begin(), reports.end());
    EXPECT_EQ(reports, (std::vector<std::string>{"gate0 200|opened", "gate1 200|opened", "gate2 200|opened",
                                                 "gate3 200|opened"}));
}

TEST_P(ScriptHTTPTest, FailingCallbackIsLoggedAfterTheScriptError)
{
    const std::string url = stub.Base() + "/echo";
    Run(Async(Args(url, "get"), Pick("function(s, t) error('callback boom') end",
                                     "function(s, t) { throw \"callback boom\"; }")));
    ASSERT_TRUE(DeliverAll());

    std::vector<std::string> errors = log.Messages(spdlog::level::err);
    ASSERT_GE(errors.size(), 2u);
    EXPECT_NE(errors[errors.size() - 2].find("callback boom"), std::string::npos)
        << errors[errors.size() - 2];
    EXPECT_EQ(errors.back(), "[HTTP] Failed to call function of request to " + url + ".");
}

TEST_P(ScriptHTTPTest, CallbackThatCannotBePushedIsLogged)
{
    HttpResponse response;
    response.status = 200;
    InvokeHTTPRequestCallback(resource->GetVM(), ScriptFunctionRef(), "http://nowhere/", response);
    EXPECT_EQ(log.Messages(spdlog::level::err),
              (std::vector<std::string>{"[HTTP] Failed to push function of request to http://nowhere/."}));
}

TEST_P(ScriptHTTPTest, CallbackOfStoppedOrRestartedResourceIsDropped)
{
    Run(Async(Args(stub.Base() + "/hold", "get"), LoggingCallback("old")));
    ASSERT_TRUE(stub.WaitForRequests(1));
    server.Manager().StopResource("web");
    g_server->tasks.RunPending();
    EXPECT_TRUE(Lines().empty());
    resource = StartResource("web");
    ASSERT_NE(resource, nullptr);
    // The new VM's own request still gets its answer.
    Run(Async(Args(stub.Base() + "/echo", "get"), LoggingCallback("new")));
    stub.Release();
    ASSERT_TRUE(DeliverAll());
    EXPECT_EQ(Lines(), (std::vector<std::string>{"new 200|GET||ct=text/plain|tok="}));
    EXPECT_TRUE(Lines("[HTTP]").empty());
}

TEST_P(ScriptHTTPTest, CallbackGoesOnlyToAScriptThreadStillAlive)
{
    // "ended" asks and ends before its answer comes; "live" waits suspended.
    const std::string ended = Async(Args(stub.Base() + "/echo", "get"), LoggingCallback("ended"));
    const std::string live = Async(Args(stub.Base() + "/echo", "get"), LoggingCallback("live"));
    Run(Pick("Thread.Create(function() " + ended + " end) Thread.Create(function() " + live +
                 " while true do Thread.Pause(100000) end end)",
             "Thread.Create(function() { " + ended + " }); Thread.Create(function() { " + live +
                 " while (true) Thread.Pause(100000); });"));
    // Squirrel notices a thread's end one pass later than Lua.
    server.Manager().Process();
    server.Manager().Process();
    ASSERT_EQ(resource->GetVM()->GetThreads().size(), 1u);
    EXPECT_EQ(GetPendingHTTPRequestCount(), 2u);
    ASSERT_TRUE(DeliverAll());
    EXPECT_EQ(Lines(), (std::vector<std::string>{"live 200|GET||ct=text/plain|tok="}));
    server.Manager().Process();
    EXPECT_EQ(resource->GetVM()->GetThreads().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Languages, ScriptHTTPTest, ::testing::Values(Language::Lua, Language::Squirrel),
                         [](const ::testing::TestParamInfo<Language>& info) {
                             return info.param == Language::Lua ? std::string("Lua")
                                                                : std::string("Squirrel");
                         });

} // namespace
