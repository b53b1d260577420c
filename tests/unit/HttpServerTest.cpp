// File serving of the HTTP front door: the mount table, its safety against paths that leave the
// mounted folder, and changes to it while worker threads are serving.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "LogCapture.h"
#include "Network/ClientRegistry.h"
#include "Network/HttpServer.h"
#include "Ports.h"
#include "RawHttp.h"
#include "Server/Server.h"
#include "Server/Settings.h"

namespace
{

namespace fs = std::filesystem;

const std::string kBinary("encrypted\x00\x01\x02"
                          "bytes",
                          17);

void WriteFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// A temporary tree:
//   secret.txt                    outside every mount
//   www/a.txt, www/data.lua, www/index.html, www/sub/index.html, www/b/f.txt, www/empty/
//   www/outlink.txt -> ../secret.txt, www/uplink -> ..
//   other/b.txt
class HttpServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("lnf-httpserver-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        WriteFile(root / "secret.txt", "top secret");
        WriteFile(root / "www/a.txt", "0123456789");
        WriteFile(root / "www/data.lua", kBinary);
        WriteFile(root / "www/index.html", "<p>index</p>");
        WriteFile(root / "www/sub/index.html", "<p>sub</p>");
        WriteFile(root / "www/b/f.txt", "nested");
        fs::create_directories(root / "www/empty");
        fs::create_symlink(root / "secret.txt", root / "www/outlink.txt");
        fs::create_symlink(root, root / "www/uplink");
        WriteFile(root / "other/b.txt", "other folder");

        Settings::ResetForTesting();
        Settings::SetDefaults(false);
    }

    void TearDown() override
    {
        http.reset();
        fs::remove_all(root);
        Settings::ResetForTesting();
    }

    void StartServer()
    {
        http = std::make_unique<HttpServer>();
        port = FreePort();
        http->Start("127.0.0.1", port);
        ASSERT_TRUE(WaitForTcpPort(port));
    }

    RawHttpResponse Get(const std::string& target, const std::vector<std::string>& headers = {},
                        const std::string& method = "GET")
    {
        return RawHttpRequest(port, BuildRawRequest(method, target, headers));
    }

    fs::path root;
    std::unique_ptr<HttpServer> http;
    uint16_t port = 0;
};

TEST_F(HttpServerTest, MountedFilesAreServedAsTheLibraryWould)
{
    StartServer();
    ASSERT_TRUE(http->Mount("/res", root / "www"));

    const struct
    {
        std::string target;
        std::vector<std::string> headers;
        int status;
        std::string body;
        std::string contentType;
        std::string contentRange;
    } cases[] = {
        {"/res/a.txt", {}, 200, "0123456789", "text/plain", ""},
        {"/res", {}, 200, "<p>index</p>", "text/html", ""},
        {"/res/sub/", {}, 200, "<p>sub</p>", "text/html", ""},
        {"/res/%61.txt", {}, 200, "0123456789", "text/plain", ""}, // percent-decoded before lookup
        {"/res/b/../a.txt", {}, 200, "0123456789", "text/plain", ""},
        {"/res/a.txt?v=3", {}, 200, "0123456789", "text/plain", ""},
        {"/res/data.lua", {}, 200, kBinary, "application/octet-stream", ""},
        {"/res/a.txt", {"Range: bytes=2-4"}, 206, "234", "text/plain", "bytes 2-4/10"},
        {"/res/a.txt", {"Range: bytes=-3"}, 206, "789", "text/plain", "bytes 7-9/10"},
        {"/res/a.txt", {"Range: bytes=20-30"}, 416, "", "text/plain", "bytes 20-30/10"},
        {"/res/a.txt", {"Range: bytes=x"}, 416, "", "", ""},
        {"/res/sub", {}, 404, "", "", ""},     // a folder without the final slash
        {"/res/empty/", {}, 404, "", "", ""},  // no index.html
        {"/resb/f.txt", {}, 404, "", "", ""},  // "/res" is no prefix of "/resb"
        {"/other/b.txt", {}, 404, "", "", ""}, // not mounted
    };
    for (const auto& c : cases)
    {
        RawHttpResponse reply = Get(c.target, c.headers);
        std::string label = c.target + (c.headers.empty() ? "" : " " + c.headers.front());
        EXPECT_EQ(reply.status, c.status) << label;
        EXPECT_EQ(reply.body, c.body) << label;
        EXPECT_EQ(reply.Header("content-type"), c.contentType) << label;
        EXPECT_EQ(reply.Header("content-range"), c.contentRange) << label;
    }

    // Several ranges come back as one multipart body.
    RawHttpResponse multi = Get("/res/a.txt", {"Range: bytes=0-1,5-6"});
    EXPECT_EQ(multi.status, 206);
    EXPECT_EQ(multi.Header("content-type").rfind("multipart/byteranges; boundary=", 0), 0u);
    EXPECT_NE(multi.body.find("Content-Range: bytes 0-1/10\r\n\r\n01\r\n"), std::string::npos) << multi.body;
    EXPECT_NE(multi.body.find("Content-Range: bytes 5-6/10\r\n\r\n56\r\n"), std::string::npos) << multi.body;

    // HEAD: the headers of the GET, no body.
    RawHttpResponse head = Get("/res/a.txt", {}, "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.Header("content-length"), "10");

    // Mounted files answer GET and HEAD only.
    EXPECT_EQ(Get("/res/a.txt", {}, "POST").status, 404);
}

TEST_F(HttpServerTest, NothingOutsideTheMountedFolderIsServed)
{
    StartServer();
    ASSERT_TRUE(http->Mount("/res", root / "www"));
    const std::vector<std::string> attempts = {
        "/res/../secret.txt",
        "/res/%2e%2e/secret.txt",
        "/res/%2E%2E%2Fsecret.txt",
        "/res/..%2fsecret.txt",
        "/res/b/../../secret.txt",
        "/res/%2e%2e%2f%2e%2e%2f%2e%2e%2fetc/passwd",
        "/res//etc/passwd",
        "/res/%2fetc%2fpasswd",
        "/res/outlink.txt",       // link to a file outside
        "/res/uplink/secret.txt", // link to a folder outside
        "/res/a.txt%00.png",
        "/res/..",
        "/res/../",
        "/res/...",
    };
    for (const std::string& target : attempts)
    {
        RawHttpResponse reply = Get(target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body.find("secret"), std::string::npos) << target;
        EXPECT_EQ(reply.body.find("root:"), std::string::npos) << target;
    }

    // The lookup itself, without the library's own decoding and checks in front of it.
    EXPECT_FALSE(http->ResolveFile("/res/../secret.txt"));
    EXPECT_FALSE(http->ResolveFile("/res/uplink/secret.txt"));
    EXPECT_FALSE(http->ResolveFile("/res//" + (root / "secret.txt").string()));
    EXPECT_FALSE(http->ResolveFile(std::string("/res/a.txt\0.png", 16)));
    ASSERT_TRUE(http->ResolveFile("/res/a.txt"));
    EXPECT_EQ(*http->ResolveFile("/res/a.txt"), fs::canonical(root / "www/a.txt"));
    EXPECT_EQ(*http->ResolveFile("/res//a.txt"), fs::canonical(root / "www/a.txt"));
}

TEST_F(HttpServerTest, MountTableChanges)
{
    StartServer();
    EXPECT_FALSE(http->Mount("/missing", root / "does-not-exist"));
    EXPECT_FALSE(http->Mount("/file", root / "secret.txt"));
    EXPECT_FALSE(http->Mount("res", root / "www"));
    EXPECT_FALSE(http->Mount("", root / "www"));
    EXPECT_FALSE(http->Unmount("/res"));

    ASSERT_TRUE(http->Mount("/res", root / "www"));
    EXPECT_EQ(Get("/res/a.txt").body, "0123456789");

    // Mounting again moves the mount point to the new folder.
    ASSERT_TRUE(http->Mount("/res", root / "other"));
    EXPECT_EQ(Get("/res/a.txt").status, 404);
    EXPECT_EQ(Get("/res/b.txt").body, "other folder");

    ASSERT_TRUE(http->Mount("/two", root / "www"));
    EXPECT_TRUE(http->Unmount("/res"));
    EXPECT_FALSE(http->Unmount("/res"));
    EXPECT_EQ(Get("/res/b.txt").status, 404);
    EXPECT_EQ(Get("/two/a.txt").body, "0123456789");
}

TEST_F(HttpServerTest, EachFileServedByGetIsLogged)
{
    LogCapture log;
    StartServer();
    ASSERT_TRUE(http->Mount("/res", root / "www"));

    RawHttpResponse reply = Get("/res/a.txt");
    ASSERT_EQ(reply.status, 200);
    std::string line =
        "[Debug] FileRequest: /res/a.txt from 127.0.0.1:" + std::to_string(reply.localPort) + ".";
    ASSERT_TRUE(log.WaitFor(line));

    // Neither HEAD nor a missing file nor a route writes a line.
    EXPECT_EQ(Get("/res/a.txt", {}, "HEAD").status, 200);
    EXPECT_EQ(Get("/res/missing.txt").status, 404);
    EXPECT_EQ(Get("/query").status, 200);
    // A second GET proves the earlier requests had their chance to log.
    RawHttpResponse again = Get("/res/%61.txt");
    ASSERT_TRUE(log.WaitFor("from 127.0.0.1:" + std::to_string(again.localPort) + "."));

    EXPECT_EQ(log.Messages(spdlog::level::debug),
              (std::vector<std::string>{line, "[Debug] FileRequest: /res/a.txt from 127.0.0.1:" +
                                                  std::to_string(again.localPort) + "."}));
    http.reset(); // the workers are done logging before the capture goes
}

TEST_F(HttpServerTest, ServesWhileResourcesMountAndUnmount)
{
    StartServer();
    ASSERT_TRUE(http->Mount("/res", root / "www"));

    constexpr int kThreads = 4;
    std::atomic<int> finished{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> downloaders;
    for (int i = 0; i < kThreads; ++i)
    {
        downloaders.emplace_back(
            [&, i]
            {
                httplib::Client client("127.0.0.1", port);
                client.set_keep_alive(true);
                for (int n = 0; n < 150; ++n)
                {
                    auto fixed = client.Get("/res/a.txt");
                    if (!fixed || fixed->status != 200 || fixed->body != "0123456789")
                        ++failures;
                    // Whichever state the mount is in, the answer is the file or a 404, nothing else.
                    bool other = i % 2 == 0;
                    auto changing = client.Get(other ? "/other/b.txt" : "/extra/a.txt");
                    if (!changing)
                        ++failures;
                    else if (changing->status == 200)
                        failures += changing->body != (other ? "other folder" : "0123456789");
                    else if (changing->status != 404)
                        ++failures;
                }
                ++finished;
            });
    }

    // Mount changes for as long as the downloads go on.
    while (finished.load() < kThreads)
    {
        http->Mount("/other", root / "other");
        http->Mount("/extra", root / "www");
        std::this_thread::yield();
        http->Unmount("/other");
        http->Unmount("/extra");
    }
    for (auto& thread : downloaders)
        thread.join();

    EXPECT_EQ(failures.load(), 0);
    http->Mount("/other", root / "other");
    EXPECT_EQ(Get("/other/b.txt").body, "other folder");
}

TEST_F(HttpServerTest, FullServerWinsOverEveryOtherAnswer)
{
    Settings::SetFromString("maxplayers", "2");
    Server server;
    // The server object leaves the global pointing at it; clear it when the test ends.
    std::shared_ptr<void> clearGlobal(nullptr, [](void*) { g_server = nullptr; });
    server.clientRegistry = std::make_unique<ClientRegistry>();
    StartServer();

    auto post = [&](const std::string& body)
    {
        return RawHttpRequest(port, BuildRawRequest("POST", "/client",
                                                    {"User-Agent: Lanternfall/1",
                                                     "Content-Type: application/x-www-form-urlencoded"},
                                                    body))
            .body;
    };
    ASSERT_NE(server.clientRegistry->AddClient(0), nullptr);
    EXPECT_EQ(post("version=2"), R"({"version":1.6})");
    ASSERT_NE(server.clientRegistry->AddClient(1), nullptr);
    const std::string full = R"({"error":"The server is full (2/2 players).","version":1.6})";
    EXPECT_EQ(post("version=2"), full);
    EXPECT_EQ(post("version=1.0"), full);
    EXPECT_EQ(post(""), full);

    RawHttpResponse query =
        RawHttpRequest(port, BuildRawRequest("GET", "/query", {"User-Agent: Lanternfall/1"}));
    EXPECT_NE(query.body.find(R"("players":2,"maxplayers":2)"), std::string::npos) << query.body;

    http.reset(); // stop serving before the registry goes
}

TEST_F(HttpServerTest, BindFailureIsLoggedAndTheThreadEnds)
{
    LogCapture log;
    http = std::make_unique<HttpServer>();
    http->Start("192.0.2.1", 4321);
    EXPECT_TRUE(log.WaitFor("[HttpServer] Failed to bind HTTP server to 192.0.2.1:4321."));
    EXPECT_EQ(log.Messages(spdlog::level::info),
              (std::vector<std::string>{"[HttpServer] Created HTTP Server.",
                                        "[HttpServer] HTTP Server listening now on port 4321."}));
    http.reset(); // returns: the listen thread has ended
}

} // namespace
