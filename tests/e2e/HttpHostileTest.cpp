// The real server against a hostile outside world over HTTP: web services that never answer or
// answer too much, and HTTP clients that send too much or too slowly. Whatever they do, the main loop
// keeps answering the console within a second (a blocking HTTP.Request only for as long as its own
// time limit), the failures are the specified ones, and the server's memory stays put.

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "HostilePeer.h"
#include "RawHttp.h"
#include "ServerProcess.h"

namespace
{
using namespace std::chrono_literals;

constexpr const char* kHelp = "[Help] List of commands:";
constexpr size_t kBodyLimit = size_t(64) << 20; // the client's limit on a response body

// Writes "help" on the console and waits for its answer.
bool AnswersHelp(ServerProcess& server, std::chrono::milliseconds within = 1000ms)
{
    size_t before = server.CountLines(kHelp);
    return server.WriteLine("help") && server.WaitForCount(kHelp, before + 1, within);
}

// A Lua resource "probe" whose script runs `body` on a script thread shortly after the start, with
// URL standing for the peer's address. The thread stays, so that it still gets its callbacks.
void WriteProbe(ServerProcess& server, const HostilePeer& peer, std::string body)
{
    for (size_t at = body.find("URL"); at != std::string::npos; at = body.find("URL", at))
        body.replace(at, 3, peer.Url(""));
    server.WriteFile("resources/probe/meta.xml",
                     R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)");
    server.WriteFile("resources/probe/main.lua", "Thread.Create(function()\n  Thread.Pause(100)\n" + body +
                                                     "\n  while true do Thread.Pause(1000) end\nend)\n");
}

// Runs `work` on a thread of its own in a new network namespace with only a loopback device: a peer
// made there and a server started from there (with listed true) reach each other and nothing else.
bool RunInNewNetwork(const std::function<void()>& work)
{
    bool entered = false;
    std::thread(
        [&]
        {
            entered = unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") == 0;
            if (entered)
                work();
        })
        .join();
    return entered;
}

size_t HighWaterKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

// Sends `head`, then `bodySize` bytes made by `piece` (called with the offset), stopping as soon as the
// server answers; returns what the server sent until it closed (empty when it closed unanswered).
std::string Exchange(uint16_t port, const std::string& head, size_t bodySize,
                     const std::function<std::string(size_t)>& piece = {})
{
    int fd = RawHttpConnect(port);
    if (fd < 0)
        return "(no connection)";
    auto answered = [fd](int waitMs)
    {
        pollfd watched{fd, POLLIN, 0};
        return poll(&watched, 1, waitMs) > 0;
    };
    bool sending = send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size());
    for (size_t offset = 0; sending && offset < bodySize && !answered(0);)
    {
        std::string data =
            piece ? piece(offset) : std::string(std::min<size_t>(64 * 1024, bodySize - offset), 'a');
        sending = send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
        offset += data.size();
    }
    std::string reply;
    char buffer[4096];
    while (answered(3000))
    {
        ssize_t count = recv(fd, buffer, sizeof(buffer), 0);
        if (count <= 0)
            break;
        reply.append(buffer, static_cast<size_t>(count));
        if (reply.find("\r\n\r\n") != std::string::npos && reply.rfind("HTTP/1.1 100", 0) != 0)
            break;
    }
    close(fd);
    return reply;
}

std::string Chunk(size_t size)
{
    char length[32];
    snprintf(length, sizeof(length), "%zx\r\n", size);
    return length + std::string(size, 'c') + "\r\n";
}

// Web services that hold their answer, alone or by the score, never freeze the main loop; a blocking
// HTTP.Request holds it only as long as its own time limit. Silent ones hold up no other service,
// and a burst of requests reaches a small service only as fast as it takes them in.
TEST(HttpHostileTest, SlowWebServicesDoNotFreezeTheMainLoop)
{
    HostilePeer peer;
    HostilePeer other;
    HostilePeer small(5, 2ms); // a threaded service with the accept queue and pace of many small ones
    constexpr int kBurst = 300;
    const struct
    {
        std::string name;
        bool serverList; // announced through a proxy that never answers
        std::string script;
        std::string started; // the message after which the hostile wait is on
        bool blocks;         // the main loop waits, by design, for the request's own time limit
        std::vector<std::string> results;
        std::chrono::milliseconds within;
    } rows[] = {
        {"burst",
         false,
         "local done, ok = 0, 0\nfor i = 1, " + std::to_string(kBurst) + " do HTTP.RequestAsync('" +
             small.Url("/q?n=") +
             "' .. i, 'get', '', '', {}, function(s) done = done + 1 if s == 200 then ok = ok + 1 end "
             "if done % 100 == 0 then Console.Log('burst ' .. ok .. ' of ' .. done) end end) end\n"
             "Console.Log('begin')",
         "[Script] probe: begin",
         false,
         {"[Script] probe: burst " + std::to_string(kBurst) + " of " + std::to_string(kBurst)},
         15000ms},
        {"server list",
         true,
         "",
         "[MasterList] Posting server to server list.",
         false,
         {"[MasterList] Fatal cURL error: "},
         8000ms},
        {"HTTP.Request",
         false,
         "Console.Log('begin')\nlocal s, t = HTTP.Request('URL/silent', 'get', '', '', "
         "{})\nConsole.Log('sync ' .. s .. "
         "'|' .. t)",
         "[Script] probe: begin",
         true,
         {"[Script] probe: sync 0|"},
         9000ms},
        {"HTTP.RequestAsync",
         false,
         "for i = 1, 24 do HTTP.RequestAsync('URL/silent', 'get', '', '', {}, function(s) "
         "Console.Log('silent ' .. s) "
         "end) end\nHTTP.RequestAsync('" +
             other.Url("/live") +
             "', 'get', '', '', {}, function(s, t) Console.Log('live ' .. s "
             ".. '|' .. "
             "t) end)\nConsole.Log('begin')",
         "[Script] probe: begin",
         false,
         {"[Script] probe: live 200|live"},
         1000ms},
    };

    // Every row's server runs at once, so the waits overlap.
    std::vector<std::unique_ptr<ServerProcess>> servers;
    std::unique_ptr<HostilePeer> proxy;
    ServerProcess* listed = nullptr;
    for (const auto& row : rows)
    {
        servers.push_back(std::make_unique<ServerProcess>());
        ServerProcess& server = *servers.back();
        if (!row.serverList)
        {
            WriteProbe(server, peer, row.script);
            server.WriteSettings({{"resource", "probe"}});
            ASSERT_TRUE(server.Start()) << row.name;
            continue;
        }
        listed = &server;
        server.WriteSettings({{"listed", "true"}});
        ASSERT_TRUE(RunInNewNetwork(
            [&]
            {
                proxy = std::make_unique<HostilePeer>();
                ServerProcess::StartOptions options;
                options.environment = {"https_proxy=" + proxy->Url(""), "HTTPS_PROXY=" + proxy->Url("")};
                ASSERT_TRUE(server.Start(options));
            }))
            << "no private network for the server-list row";
    }

    for (size_t i = 0; i < std::size(rows); ++i)
    {
        const auto& row = rows[i];
        ServerProcess& server = *servers[i];
        ASSERT_TRUE(server.WaitForMessage(row.started, 10s)) << row.name << "\n" << server.OutputText();
        if (row.serverList)
        {
            EXPECT_TRUE(proxy->WaitForRequests(1)) << row.name;
        }
        if (!row.blocks)
        {
            EXPECT_TRUE(AnswersHelp(server)) << row.name << ": the main loop is frozen";
        }
        for (const std::string& result : row.results)
            EXPECT_TRUE(server.WaitForLine(result, row.within)) << row.name << "\n" << server.OutputText();
        EXPECT_TRUE(AnswersHelp(server)) << row.name << ": the main loop is frozen";
    }
    ASSERT_TRUE(proxy);
    EXPECT_EQ(proxy->Requests().front(), "CONNECT servers.lanternfall.invalid:443");
    EXPECT_EQ(listed->CountLines("[MasterList] Posting server to server list."), 1u);
    // The small service saw each request of the burst once.
    std::vector<std::string> seen = small.Requests();
    std::sort(seen.begin(), seen.end());
    std::vector<std::string> expected;
    for (int i = 1; i <= kBurst; ++i)
        expected.push_back("GET /q?n=" + std::to_string(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
}

// What clients send and what web services answer is bounded: oversize request bodies get 413 without
// being read, overlong request heads and idle or slow connections end on their own, and responses
// beyond the body limit (as sent or once decoded) fail as status 0. The server's memory stays put.
TEST(HttpHostileTest, OversizeAndSlowTrafficIsBounded)
{
    HostilePeer peer;
    ServerProcess server;
    WriteProbe(server, peer, ""); // requests web services only once restarted, below
    server.WriteSettings({{"resource", "probe"}});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully loaded resource probe.")) << server.OutputText();
    ASSERT_TRUE(WaitForTcpPort(server.Port()));
    const uint16_t port = server.Port();
    const size_t before = HighWaterKiB(server.Pid());
    ASSERT_GT(before, 0u);

    const std::string post = "POST /client HTTP/1.1\r\nHost: x\r\nUser-Agent: Lanternfall/1\r\n"
                             "Content-Type: application/octet-stream\r\n";
    const struct
    {
        std::string name;
        std::string head;
        size_t bodySize;
        std::function<std::string(size_t)> piece;
        std::string reply; // the start of the reply; empty: closed unanswered
    } rows[] = {
        {"announced body", post + "Content-Length: 33554432\r\n\r\n", size_t(32) << 20, {}, "HTTP/1.1 413"},
        {"announced body, waiting for leave",
         post + "Content-Length: 33554432\r\nExpect: 100-continue\r\n\r\n",
         0,
         {},
         "HTTP/1.1 413"},
        {"chunked body", post + "Transfer-Encoding: chunked\r\n\r\n", size_t(32) << 20,
         [](size_t) { return Chunk(16 * 1024); }, "HTTP/1.1 413"},
        {"chunked body just over the limit", post + "Transfer-Encoding: chunked\r\n\r\n", 80 * 1024,
         [](size_t offset)
         { return offset + 16 * 1024 < 80 * 1024 ? Chunk(16 * 1024) : Chunk(16 * 1024) + "0\r\n\r\n"; },
         "HTTP/1.1 413"},
        {"body at the limit", post + "Content-Length: 65536\r\n\r\n", 64 * 1024, {}, "HTTP/1.1 200"},
        {"request line", "GET /", size_t(32) << 20, {}, ""},
        {"header line", "GET /query HTTP/1.1\r\nX-Long: ", size_t(32) << 20, {}, ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Exchange(port, row.head, row.bodySize, row.piece).substr(0, row.reply.size()), row.reply)
            << row.name;
    EXPECT_LT(HighWaterKiB(server.Pid()), before + 16 * 1024) << "kB before: " << before;

    // Connections that stall in their request or send nothing hold up no other.
    std::vector<int> stalled;
    for (int i = 0; i < 96; ++i)
    {
        int fd = RawHttpConnect(port);
        ASSERT_GE(fd, 0);
        if (i % 2)
            send(fd, "GET /query HTTP/1.1\r\n", 21, MSG_NOSIGNAL);
        stalled.push_back(fd);
    }
    auto start = std::chrono::steady_clock::now();
    RawHttpResponse query =
        RawHttpRequest(port, BuildRawRequest("GET", "/query", {"User-Agent: Lanternfall/1"}));
    EXPECT_EQ(query.status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "a query waited for stalled connections";
    for (int fd : stalled)
        close(fd);

    EXPECT_TRUE(AnswersHelp(server));

    // Responses beyond the limit: a plain one by a blocking request, a gzip bomb in the background.
    const std::string over = std::to_string(kBodyLimit + 1);
    WriteProbe(server, peer,
               "local s, t = HTTP.Request('URL/stream/" + over +
                   "', 'get', '', '', {})\nConsole.Log('stream ' .. s .. '|' .. #t)\n"
                   "HTTP.RequestAsync('URL/gzip/" +
                   over + "', 'get', '', '', {}, function(s, t) Console.Log('gzip ' .. s .. '|' .. #t) end)");
    ASSERT_TRUE(server.WriteLine("restart probe"));
    EXPECT_TRUE(server.WaitForMessage("[Script] probe: stream 0|0", 10s)) << server.OutputText();
    EXPECT_TRUE(server.WaitForMessage("[Script] probe: gzip 0|0", 10s)) << server.OutputText();
    EXPECT_TRUE(AnswersHelp(server));
}

} // namespace
