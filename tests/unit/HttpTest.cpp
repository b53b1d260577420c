// The HTTP parts of the server in-process: the front door's mounted files, the server-list
// announcer and the HTTP client, each against a local peer.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include <gtest/gtest.h>
#include <httplib.h>

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
    for (const char* file : {"www/a.txt", "www/b/a.txt", "other/b.txt", "secret.txt"})
    {
        fs::create_directories((root / file).parent_path());
        std::ofstream(root / file) << file;
    }
    fs::create_symlink(root / "secret.txt", root / "www/outlink.txt");
    fs::create_symlink(root, root / "www/uplink");
    HttpServer http;
    const uint16_t port = FreePort();
    http.Start("127.0.0.1", port);
    ASSERT_TRUE(WaitForTcpPort(port));
    const std::tuple<std::string, std::vector<std::string>, int, std::string> rows[] = {
        {"mount res www", {}, 0, ""},
        {"mount /res www", {}, 1, ""},
        {"GET /res/a.txt", {}, 200, "www/a.txt"},
        {"GET /res/%61.txt?v=3", {}, 200, "www/a.txt"}, // percent-decoded, query left out
        {"GET /res/b/../a.txt", {}, 200, "www/a.txt"},
        {"GET /res/a.txt", {"Range: bytes=4-6"}, 206, "a.t"},
        {"HEAD /res/a.txt", {}, 200, ""},
        {"POST /res/a.txt", {}, 404, ""},
        {"GET /res/a.txt", {"Content-Length: 100000"}, 413, ""}, // refused before anything else
        {"GET /resb/a.txt", {}, 404, ""},                        // "/res" is no prefix of "/resb"
        {"GET /res/../secret.txt", {}, 404, ""},
        {"GET /res/%2E%2E%2Fsecret.txt", {}, 404, ""},
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

// Posts at the row's time (passes go on until the answer is in, for 3 s at most) to a stand-in service that
// answers
// "/<status>/<body>" with them, or to no service for an empty answer. A row no later than the one
// before starts over, as a new server would. Unlisted servers post nothing.
TEST(MasterList, AnnouncesUntilRefusedOrFailing)
{
    const std::string kPosting = "[MasterList] Posting server to server list.";
    const std::string kPosted = "[MasterList] Server posted to server list successfully!";
    const std::string kFatal = "[MasterList] Fatal cURL error: ";
    const std::string kRefused = "[MasterList] Failed to post server to server list (";
    const std::string kFailed = "[MasterList] Failed to send post request to server list (error code: ";
    // The form must name this server, with the port as set at the time of the attempt.
    httplib::Server service;
    std::atomic<int64_t> now{0};
    std::atomic<int> posts{0};
    service.Post(R"(/(\d+)/([\s\S]*))",
                 [&](const httplib::Request& request, httplib::Response& response)
                 {
                     ++posts;
                     bool named =
                         request.body == "address=127.0.0.1&port=" + std::to_string(now / 10) + "&version=1";
                     response.status = named ? std::stoi(request.matches[1]) : 418;
                     response.set_content(request.matches[2], "text/plain");
                 });
    const std::string url = "http://127.0.0.1:" + std::to_string(service.bind_to_any_port("127.0.0.1"));
    std::thread serving([&] { service.listen_after_bind(); });
    LogCapture log;
    std::shared_ptr<void> restore(nullptr,
                                  [&](void*)
                                  {
                                      service.stop();
                                      serving.join();
                                      SetTimeSourceForTesting({});
                                      MasterList::ResetForTesting();
                                      MasterList::SetUrlForTesting(LNF_MASTERLIST_URL);
                                      Settings::ResetForTesting();
                                  });
    SetTimeSourceForTesting([&] { return now.load(); });
    Settings::ResetForTesting();
    Settings::SetDefaults(false);
    auto postAt = [&](int64_t ms)
    {
        now = ms;
        auto end = std::chrono::steady_clock::now() + 3s;
        for (MasterList::Post(); MasterList::IsPosting() && std::chrono::steady_clock::now() < end;
             MasterList::Post())
            std::this_thread::sleep_for(1ms);
    };
    // What was logged since the last call: the info lines, then the errors (transfer errors cut).
    auto logged = [&]
    {
        Lines lines = log.Messages(spdlog::level::info), errors = log.Messages(spdlog::level::err);
        for (const std::string& error : errors)
            lines.push_back(error.substr(0, error.rfind(kFatal, 0) == 0 ? kFatal.size() : error.size()));
        log.Clear();
        return lines;
    };
    MasterList::SetUrlForTesting(url + "/200/Added");
    Settings::SetFromString("listed", "false");
    postAt(500000);
    Settings::SetFromString("listed", "true");
    const std::tuple<int64_t, std::string, Lines> rows[] = {
        {60000, "/201/Added", {kPosting, kPosted}},
        {110001, "/200/Added", {}},
        {60000, "/200/", {kPosting, kRefused + "No data received)."}},
        {500000, "/200/Added", {}}, // a refusal ends announcing for good
        {60000, "/200/ERROR:%20Banned", {kPosting, kRefused + "You are banned from listing this server)."}},
        {60000,
         "/200/ERROR:%20Invalid%20version",
         {kPosting, kRefused + "You have specified an invalid version)."}},
        {60000, "/200/Added%0A", {kPosting, kRefused + ")."}},
        {60000, "/503/ERROR:%20Banned", {kPosting, kFailed + "503)."}},
        {110001, "/200/Added", {kPosting, kPosted}}, // other failures try again after the interval
        {50000, "/500/", {}},                        // more than 50000 ms after the start, too
        {50001, "/500/", {kPosting, kFailed + "500)."}},
        {100001, "/500/", {}},
        {100002, "/500/", {kPosting, kFailed + "500)."}},
        {500000, "/200/Added", {}}, // two failures from the start end it
        {60000, "/200/Added", {kPosting, kPosted}},
        {120000, "/200/Added", {}},
        {180000, "/500/", {kFailed + "500)."}},
        {240000, "/200/Added", {kPosting, kPosted}}, // an acceptance starts the count over
        {300000, "/500/", {kFailed + "500)."}},
        {360000, "", {kPosting, kFatal}},
        {420000, "/404/x", {kPosting, kFailed + "404)."}},
        {480000, "/200/Added", {}}, // three failures after an acceptance end it
    };
    for (const auto& [at, answer, expected] : rows)
    {
        if (at <= now)
            MasterList::ResetForTesting();
        Settings::SetFromString("port", std::to_string(at / 10));
        MasterList::SetUrlForTesting(answer.empty() ? "http://127.0.0.1:" + std::to_string(FreePort())
                                                    : url + answer);
        postAt(at);
        EXPECT_EQ(logged(), expected) << answer << " at " << at;
    }
    EXPECT_EQ(posts, 16);

    // A service that holds its answer costs the passes nothing, and no second attempt starts while
    // one is on its way; past the time limit the attempt has failed.
    HostilePeer peer;
    MasterList::ResetForTesting();
    MasterList::SetUrlForTesting(peer.Url("/silent"));
    MasterList::timeLimit = 1000ms;
    auto begin = std::chrono::steady_clock::now();
    now = 60000;
    MasterList::Post();
    now = 240000;
    MasterList::Post();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    postAt(60000);
    EXPECT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(logged(), (Lines{kPosting, kFatal}));
}

// The request as it reaches a bare socket, which shows what a server library would hide (headers
// with empty values). libcurl sends a small request in one piece.
std::string Sent(HttpRequest request)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    request.url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    HttpClient::PerformAsync(request, [](HttpResponse) {});
    int connection = accept(listener, nullptr, nullptr);
    std::string sent(65536, '\0');
    sent.resize(std::max<ssize_t>(recv(connection, sent.data(), sent.size(), 0), 0));
    close(connection);
    close(listener);
    return sent;
}

// Header text that would start another header line is not sent; empty values are sent as given (an
// empty content type is not the form default); forms are url-encoded in order.
TEST(HttpClient, SendsOnlyWellFormedRequests)
{
    const std::tuple<HttpRequest, Lines, Lines> rows[] = {
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
    for (const auto& [request, present, absent] : rows)
    {
        std::string sent = Sent(request);
        for (const std::string& text : present)
            EXPECT_NE(sent.find(text), std::string::npos) << text << " in\n" << sent;
        for (const std::string& text : absent)
            EXPECT_EQ(sent.find(text), std::string::npos) << text << " in\n" << sent;
    }
}

// Transfers end when the peer stalls or the body grows too large, but not while a slow body keeps
// coming. A failing completion handler is logged, and the client's thread goes on.
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
    // The failing handler's transfer ends long before the silent one, on the same thread.
    HttpClient::PerformAsync(get("/live"), [](HttpResponse) { throw std::runtime_error("handler failure"); });
    std::map<std::string, std::future<HttpResponse>> results;
    for (const auto& [path, expected] : rows)
    {
        auto result = std::make_shared<std::promise<HttpResponse>>();
        results[path] = result->get_future();
        HttpClient::PerformAsync(get(path),
                                 [result](HttpResponse response) { result->set_value(std::move(response)); });
    }
    for (const auto& [path, expected] : rows)
    {
        // In the background and blocking alike.
        for (HttpResponse response : {results[path].get(), HttpClient::Perform(get(path))})
        {
            EXPECT_EQ(std::pair(response.status, response.body.size()), expected)
                << path << ": " << response.error;
            EXPECT_EQ(response.error.empty(), expected.first != 0) << path;
        }
    }
    EXPECT_EQ(log.Messages(spdlog::level::err),
              Lines{"[HttpClient] Completion handler failed: handler failure"});
}

} // namespace
