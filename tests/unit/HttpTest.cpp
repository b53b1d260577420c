// The HTTP parts of the server in-process: the front door's mounted files, the server-list
// announcer and the HTTP client, each against a local peer.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include <gtest/gtest.h>

#include "HostilePeer.h"
#include "LogCapture.h"
#include "Network/HttpClient.h"
#include "Network/HttpServer.h"
#include "Network/MasterList.h"
#include "Ports.h"
#include "RawHttp.h"
#include "Server/Platform.h"
#include "Server/Settings.h"

namespace
{

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// Steps are "mount <point> <folder>" and "unmount <point>" (status: the result, 1 or 0), "write <file>
// <text>", or "<method> <target>" sent over HTTP with the headers. Files hold their own names.
TEST(HttpMount, ServesTheFilesAsTheyWereWhenMounted)
{
    const fs::path root = fs::temp_directory_path() / ("lnf-mount-" + std::to_string(getpid()));
    std::shared_ptr<void> cleanup(nullptr, [&](void*) { fs::remove_all(root); });
    for (const char* file : {"www/a.txt", "www/b/a.txt", "www/index.html", "other/b.txt", "secret.txt"})
    {
        fs::create_directories((root / file).parent_path());
        std::ofstream(root / file) << file;
    }
    fs::create_symlink(root / "secret.txt", root / "www/outlink.txt");
    fs::create_symlink(root, root / "www/uplink");
    fs::create_directories(root / "www/empty");
    LogCapture log; // outlives the server's workers
    HttpServer http;
    const uint16_t port = FreePort();
    http.Start("127.0.0.1", port);
    ASSERT_TRUE(WaitForTcpPort(port));
    log.Clear();
    const std::tuple<std::string, std::vector<std::string>, int, std::string> rows[] = {
        {"mount res www", {}, 0, ""},
        {"mount /file secret.txt", {}, 0, ""}, // a file is no folder
        {"mount /missing nowhere", {}, 0, ""},
        {"unmount /res", {}, 0, ""}, // nothing mounted there
        {"mount /res www", {}, 1, ""},
        {"GET /res/a.txt", {}, 200, "www/a.txt"},
        {"GET /res/b/../a.txt", {}, 200, "www/a.txt"},
        {"GET /res//a.txt", {}, 200, "www/a.txt"},
        {"GET /res/%61.txt?v=3", {}, 200, "www/a.txt"}, // decoded, the query left out
        {"GET /res", {}, 200, "www/index.html"},        // a folder answers with its index.html
        {"GET /res/", {}, 200, "www/index.html"},
        {"GET /res/empty", {}, 404, ""},    // a folder without one
        {"GET /res/../a.txt", {}, 404, ""}, // a path that leaves the mount never answers
        {"GET /res/a.txt%00.png", {}, 404, ""},
        {"POST /res/a.txt", {}, 404, ""},
        {"GET /res/a.txt", {"Content-Length: 100000"}, 413, ""}, // refused before anything else
        {"GET /resb/a.txt", {}, 404, ""},                        // "/res" is no prefix of "/resb"
        {"GET /res/outlink.txt", {}, 404, ""},
        {"GET /res/uplink/secret.txt", {}, 404, ""},
        {"write www/a.txt changed", {}, 0, ""},
        {"GET /res/a.txt", {}, 200, "www/a.txt"},
        {"mount /res www", {}, 1, ""},
        {"GET /res/a.txt", {}, 200, "changed"},
        {"mount /res other", {}, 1, ""},
        {"GET /res/a.txt", {}, 404, ""},
        {"GET /res/b.txt", {}, 200, "other/b.txt"},
        {"unmount /res", {}, 1, ""},
        {"GET /res/b.txt", {}, 404, ""},
        {"unmount /res", {}, 0, ""},
    };
    for (const auto& [step, headers, status, body] : rows)
    {
        std::string verb, first, second;
        std::istringstream(step) >> verb >> first >> second;
        if (verb == "write")
            std::ofstream(root / first) << second;
        else if (verb == "mount" || verb == "unmount")
            EXPECT_EQ(verb == "mount" ? http.Mount(first, root / second) : http.Unmount(first), status == 1)
                << step;
        else
        {
            RawHttpResponse reply = RawHttpRequest(port, BuildRawRequest(verb, first, headers));
            EXPECT_EQ(std::pair(reply.status, reply.body), std::pair(status, body)) << step;
            // A debug line for each file served, with its decoded path and the client's port.
            Lines served;
            if (verb == "GET" && status == 200)
            {
                std::string path = first.substr(0, first.find('?'));
                if (size_t escape = path.find('%'); escape != std::string::npos)
                    path.replace(escape, 3, 1,
                                 static_cast<char>(std::stoi(path.substr(escape + 1, 2), nullptr, 16)));
                served.push_back("[Debug] FileRequest: " + path +
                                 " from 127.0.0.1:" + std::to_string(reply.localPort) + ".");
            }
            EXPECT_EQ(log.Messages(spdlog::level::debug), served) << step;
            EXPECT_EQ(log.Messages().size(), served.size()) << step;
            log.Clear();
        }
    }

    // Downloads go on while the folder is mounted again with other content and unmounted: each one
    // gets one whole version of the file, or a 404.
    const std::string one(256 * 1024, '1'), two(256 * 1024, '2');
    std::atomic<int> downloads{0};
    auto download = [&]
    {
        int torn = 0;
        for (; downloads < 400; ++downloads)
        {
            RawHttpResponse reply = RawHttpRequest(port, BuildRawRequest("GET", "/big/big.bin"));
            torn += reply.status != 404 && reply.body != one && reply.body != two;
        }
        return torn;
    };
    auto first = std::async(std::launch::async, download), second = std::async(std::launch::async, download);
    for (int round = 0; downloads < 400; ++round)
    {
        std::ofstream(root / "other/big.bin") << (round % 2 ? one : two);
        http.Mount("/big", root / "other");
        if (round % 4 == 0)
            http.Unmount("/big");
    }
    EXPECT_EQ(first.get() + second.get(), 0);
}

// A listening socket on 127.0.0.1, and its URL.
int Listen(std::string& url)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener, 8);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    return listener;
}

// Takes the next connection's request as it arrives (libcurl sends a small one in one piece), which
// shows what a server library would hide; answers with `reply` and ends the connection.
std::string Exchange(int listener, const std::string& reply)
{
    int connection = accept(listener, nullptr, nullptr);
    std::string request(65536, '\0');
    request.resize(std::max<ssize_t>(recv(connection, request.data(), request.size(), 0), 0));
    send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(connection);
    return request;
}

// Each row is a pass at its time; an attempt it starts is answered with the row's status and body
// (status 0: the connection ends unanswered), and passes go on until the answer is in (3 s at
// most). The form must name this server with the port as set at the time. A row no later than the
// one before starts over, as a new server would. Unlisted servers post nothing.
TEST(MasterList, AnnouncesUntilRefusedOrFailing)
{
    const std::string kPosting = "[MasterList] Posting server to server list.";
    const std::string kPosted = "[MasterList] Server posted to server list successfully!";
    const std::string kFatal = "[MasterList] Fatal cURL error: ";
    const std::string kRefused = "[MasterList] Failed to post server to server list (";
    const std::string kFailed = "[MasterList] Failed to send post request to server list (error code: ";
    std::string url;
    const int service = Listen(url);
    std::atomic<int64_t> now{0};
    LogCapture log;
    std::shared_ptr<void> restore(nullptr,
                                  [&](void*)
                                  {
                                      close(service);
                                      SetTimeSourceForTesting({});
                                      Settings::ResetForTesting();
                                  });
    SetTimeSourceForTesting([&] { return now.load(); });
    Settings::ResetForTesting();
    Settings::SetDefaults(false);
    MasterList::SetUrlForTesting(url);
    auto settle = [&]
    {
        for (auto end = std::chrono::steady_clock::now() + 3s;
             MasterList::IsPosting() && std::chrono::steady_clock::now() < end; MasterList::Post())
            std::this_thread::sleep_for(1ms);
    };
    int posts = 0;
    auto postAt = [&](int64_t ms, int status, const std::string& body)
    {
        now = ms;
        MasterList::Post();
        std::string form = "address=127.0.0.1&port=" + std::to_string(ms / 10) + "&version=1";
        std::string reply = status == 0 ? "" : "HTTP/1.1 " + std::to_string(status) + " -\r\n\r\n" + body;
        if (MasterList::IsPosting() && ++posts > 0)
        {
            std::string request = Exchange(service, reply);
            size_t head = request.find("\r\n\r\n");
            EXPECT_EQ(head == std::string::npos ? request : request.substr(head + 4), form) << ms;
        }
        settle();
    };
    // What was logged since the last call (transfer errors cut): the two lines of progress as info,
    // every failure as an error.
    auto logged = [&]
    {
        Lines lines;
        for (const LogCapture::Entry& entry : log.Entries())
        {
            const std::string& text = entry.message;
            EXPECT_EQ(entry.level,
                      text == kPosting || text == kPosted ? spdlog::level::info : spdlog::level::err)
                << text;
            lines.push_back(text.substr(0, text.rfind(kFatal, 0) == 0 ? kFatal.size() : text.size()));
        }
        log.Clear();
        return lines;
    };
    Settings::SetFromString("listed", "false");
    postAt(500000, 200, "Added");
    Settings::SetFromString("listed", "true");
    const std::tuple<int64_t, int, std::string, Lines> rows[] = {
        {60000, 201, "Added", {kPosting, kPosted}},
        {60000, 200, "", {kPosting, kRefused + "No data received)."}},
        {500000, 200, "Added", {}}, // a refusal ends announcing for good
        {60000, 200, "ERROR: Banned", {kPosting, kRefused + "You are banned from listing this server)."}},
        {60000,
         200,
         "ERROR: Invalid version",
         {kPosting, kRefused + "You have specified an invalid version)."}},
        {60000, 200, "ERROR: Invalid port", {kPosting, kRefused + "You have specified an invalid port)."}},
        {60000, 200, "Added\n", {kPosting, kRefused + ")."}},
        {60000, 503, "ERROR: Banned", {kPosting, kFailed + "503)."}}, // other failures try again later
        {50000, 500, "", {}}, // more than 50000 ms after the start, too
        {50001, 500, "", {kPosting, kFailed + "500)."}},
        {100001, 500, "", {}},
        {100002, 500, "", {kPosting, kFailed + "500)."}},
        {500000, 200, "Added", {}}, // two failures from the start end it
        {60000, 200, "Added", {kPosting, kPosted}},
        {120000, 200, "Added", {}},
        {180000, 500, "", {kFailed + "500)."}},
        {240000, 200, "Added", {kPosting, kPosted}}, // an acceptance starts the count over
        {300000, 500, "", {kFailed + "500)."}},
        {360000, 0, "", {kPosting, kFatal}},
        {420000, 404, "x", {kPosting, kFailed + "404)."}},
        {480000, 200, "Added", {}}, // three failures after an acceptance end it
    };
    for (const auto& [at, status, body, expected] : rows)
    {
        if (at <= now)
            MasterList::ResetForTesting();
        Settings::SetFromString("port", std::to_string(at / 10));
        postAt(at, status, body);
        EXPECT_EQ(logged(), expected) << status << " " << body << " at " << at;
    }
    EXPECT_EQ(posts, 16);

    // A service that holds its answer costs the passes nothing, and no second attempt starts while
    // one is on its way; past the time limit the attempt has failed.
    MasterList::ResetForTesting();
    MasterList::timeLimit = 1000ms;
    auto begin = std::chrono::steady_clock::now();
    now = 60000;
    MasterList::Post();
    now = 240000;
    MasterList::Post();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    now = 60000; // no attempt due once the answer is in
    settle();
    EXPECT_EQ(logged(), (Lines{kPosting, kFatal}));
    close(accept(service, nullptr, nullptr));
    pollfd second{service, POLLIN, 0};
    EXPECT_EQ(poll(&second, 1, 0), 0);
}

// Each method goes out as itself, with the body where it takes one (POST, PUT and PATCH always, if
// only an empty one; HEAD never). Header text that would start another header line is not sent;
// empty values are sent as given (an empty content type is not the form default); forms are
// url-encoded in order.
TEST(HttpClient, SendsOnlyWellFormedRequests)
{
    const std::tuple<HttpRequest, Lines, Lines> rows[] = {
        {{HttpMethod::Get, "", "", {}}, {"GET / HTTP/1.1\r\n"}, {"Content-Length", "Content-Type"}},
        {{HttpMethod::Get, "", "g", {}}, {"GET / HTTP/1.1\r\n", "Content-Length: 1\r\n", "\r\n\r\ng"}, {}},
        {{HttpMethod::Head, "", "ignored", {}}, {"HEAD / HTTP/1.1\r\n"}, {"Content-Length", "ignored"}},
        {{HttpMethod::Post, "", "", {}}, {"POST / HTTP/1.1\r\n", "Content-Length: 0\r\n"}, {}},
        {{HttpMethod::Put, "", "", {}}, {"PUT / HTTP/1.1\r\n", "Content-Length: 0\r\n"}, {}},
        {{HttpMethod::Put, "", "u", {}}, {"PUT / HTTP/1.1\r\n", "Content-Length: 1\r\n", "\r\n\r\nu"}, {}},
        {{HttpMethod::Patch, "", "", {}}, {"PATCH / HTTP/1.1\r\n", "Content-Length: 0\r\n"}, {}},
        {{HttpMethod::Delete, "", "", {}}, {"DELETE / HTTP/1.1\r\n"}, {"Content-Length"}},
        {{HttpMethod::Delete, "", "d", {}}, {"DELETE / HTTP/1.1\r\n", "\r\n\r\nd"}, {}},
        {{HttpMethod::Options, "", "", {}}, {"OPTIONS / HTTP/1.1\r\n"}, {"Content-Length"}},
        {{HttpMethod::Post, "", "b", {{"X-A", "v\r\nX-B: 1"}, {"X-C:D", "v"}, {"X-E", "e"}}},
         {"\r\nX-E: e\r\n"},
         {"X-A", "X-B", "X-C"}},
        {{HttpMethod::Post, "", "b", {{"content-type", ""}, {"X-Empty", ""}}},
         {"\r\ncontent-type:\r\n", "\r\nX-Empty:\r\n"},
         {"urlencoded"}},
        {HttpClient::FormRequest("", {{"b", "x y&z=1/2?~_-."}, {"a", "\xC3\xA9\x01"}, {"empty", ""}}),
         {"POST / ", "Content-Type: application/x-www-form-urlencoded\r\n",
          "\r\n\r\nb=x%20y%26z%3D1%2F2%3F~_-.&a=%C3%A9%01&empty="},
         {}},
    };
    for (auto [request, present, absent] : rows)
    {
        const int listener = Listen(request.url);
        HttpClient::PerformAsync(request, [](HttpResponse) {});
        std::string sent = Exchange(listener, "");
        close(listener);
        for (const std::string& text : present)
            EXPECT_NE(sent.find(text), std::string::npos) << text << " in\n" << sent;
        for (const std::string& text : absent)
            EXPECT_EQ(sent.find(text), std::string::npos) << text << " in\n" << sent;
    }
}

// Transfers end when the peer stalls or the body grows too large, but not while a slow body keeps
// coming (the background ones too: see the hostile end-to-end tests). A failing completion handler
// is logged, and the client's thread goes on.
TEST(HttpClient, LimitsEndStalledAndOversizeTransfers)
{
    constexpr size_t kMax = 256 * 1024;
    HttpClient::SetLimitsForTesting({1s, 1s, 100, kMax}, {1s, 1s, 100, kMax});
    std::shared_ptr<void> restore(nullptr, [](void*) { HttpClient::SetLimitsForTesting(); });
    LogCapture log;
    HostilePeer peer;
    const std::map<std::string, std::pair<int, size_t>> rows = {
        {"/silent", {0, 0}},
        {"/trickle/8/200", {200, 8 * 512}}, // 1.4 s, well past the low-speed time, but moving
        {"/body/" + std::to_string(kMax), {200, kMax}},
        {"/body/" + std::to_string(kMax + 1), {0, 0}},   // refused on its announced length
        {"/stream/" + std::to_string(kMax + 1), {0, 0}}, // counted as it arrives
        {"/gzip/" + std::to_string(kMax + 1), {0, 0}},   // counted after decoding
        {"file:///etc/passwd", {0, 0}},                  // http and https only
    };
    auto get = [&](const std::string& path) {
        return HttpRequest{HttpMethod::Get, path[0] == '/' ? peer.Url(path) : path, "", {}};
    };
    HttpClient::PerformAsync(get("/live"), [](HttpResponse) { throw std::runtime_error("handler failure"); });
    for (const auto& [path, expected] : rows)
    {
        HttpResponse response = HttpClient::Perform(get(path));
        EXPECT_EQ(std::pair(response.status, response.body.size()), expected)
            << path << ": " << response.error;
        EXPECT_EQ(response.error.empty(), expected.first != 0) << path;
    }
    // The client's thread goes on after the failing handler, and has logged long before now.
    EXPECT_EQ(log.Messages(spdlog::level::err),
              Lines{"[HttpClient] Completion handler failed: handler failure"});
    std::promise<int> next;
    HttpClient::PerformAsync(get("/live"), [&](HttpResponse response) { next.set_value(response.status); });
    EXPECT_EQ(next.get_future().get(), 200);
}

// Background transfers run sixteen at a time to a service, the rest waiting in order while other
// services are served; a waiting one still reaches its service, its limits counting from its start.
TEST(HttpClient, BackgroundTransfersTakeTurnsPerService)
{
    HttpClient::SetLimitsForTesting(HttpClient::kBlockingLimits, {1s, 2s, 100, 1024});
    std::shared_ptr<void> restore(nullptr, [](void*) { HttpClient::SetLimitsForTesting(); });
    HostilePeer silent;
    HostilePeer other;
    constexpr size_t kSlots = 16, kAll = kSlots + 4;
    std::atomic<size_t> failed{0};
    std::promise<void> allFailed;
    for (size_t i = 0; i < kAll; ++i)
        HttpClient::PerformAsync({HttpMethod::Get, silent.Url("/silent?" + std::to_string(i)), "", {}},
                                 [&](HttpResponse response)
                                 {
                                     if (response.status == 0 && ++failed == kAll)
                                         allFailed.set_value();
                                 });
    std::promise<std::pair<int32_t, size_t>> live; // its status, and how many silent ones had ended
    HttpClient::PerformAsync({HttpMethod::Get, other.Url("/live"), "", {}},
                             [&](HttpResponse response) {
                                 live.set_value({response.status, failed.load()});
                             });
    EXPECT_EQ(live.get_future().get(), std::pair(200, size_t(0)));
    EXPECT_TRUE(silent.WaitForRequests(kSlots));
    Lines first = silent.Requests(), expected;
    for (size_t i = 0; i < kSlots; ++i)
        expected.push_back("GET /silent?" + std::to_string(i));
    std::sort(first.begin(), first.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(first, expected) << "the first " << kSlots << " in order, and no more at once";

    EXPECT_EQ(allFailed.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_EQ(silent.Requests().size(), kAll) << "a waiting transfer failed before its turn";
}

} // namespace
