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

class HttpServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("lnf-httpserver-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        for (const char* folder : {"www/b", "www/sub", "other"})
            fs::create_directories(root / folder);
        std::ofstream(root / "secret.txt") << "top secret";
        std::ofstream(root / "www/a.txt") << "0123456789";
        std::ofstream(root / "www/index.html") << "<p>index</p>";
        std::ofstream(root / "www/b/f.txt") << "nested";
        std::ofstream(root / "other/b.txt") << "other folder";
        fs::create_symlink(root / "secret.txt", root / "www/outlink.txt");
        fs::create_symlink(root, root / "www/uplink");
        Settings::ResetForTesting();
        Settings::SetDefaults(false);
        http = std::make_unique<HttpServer>();
        port = FreePort();
        http->Start("127.0.0.1", port);
        ASSERT_TRUE(WaitForTcpPort(port));
    }

    void TearDown() override
    {
        http.reset();
        fs::remove_all(root);
        Settings::ResetForTesting();
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

TEST_F(HttpServerTest, MountedFilesAreServed)
{
    ASSERT_TRUE(http->Mount("/res", root / "www"));
    const struct
    {
        std::string target;
        std::string range;
        int status;
        std::string body;
    } cases[] = {
        {"/res/a.txt", "", 200, "0123456789"},
        {"/res", "", 200, "<p>index</p>"},
        {"/res/%61.txt?v=3", "", 200, "0123456789"}, // percent-decoded, query ignored
        {"/res/b/../a.txt", "", 200, "0123456789"},
        {"/res/a.txt", "Range: bytes=2-4", 206, "234"},
        {"/res/sub", "", 404, ""},    // a folder without index.html
        {"/resb/f.txt", "", 404, ""}, // "/res" is no prefix of "/resb"
    };
    for (const auto& c : cases)
    {
        RawHttpResponse reply =
            Get(c.target, c.range.empty() ? std::vector<std::string>{} : std::vector{c.range});
        EXPECT_EQ(reply.status, c.status) << c.target << " " << c.range;
        EXPECT_EQ(reply.body, c.body) << c.target << " " << c.range;
    }
    EXPECT_EQ(Get("/res/a.txt", {}, "POST").status, 404); // GET and HEAD only
}

TEST_F(HttpServerTest, NothingOutsideTheMountedFolderIsServed)
{
    ASSERT_TRUE(http->Mount("/res", root / "www"));
    for (const std::string target :
         {"/res/../secret.txt", "/res/%2E%2E%2Fsecret.txt", "/res/b/../../secret.txt", "/res/%2fetc%2fpasswd",
          "/res/outlink.txt", "/res/uplink/secret.txt", "/res/a.txt%00.png"})
    {
        RawHttpResponse reply = Get(target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body.find("secret"), std::string::npos) << target;
    }
    // The lookup itself, without the library's own decoding and checks in front of it.
    EXPECT_FALSE(http->FindFile("/res/../secret.txt"));
    EXPECT_FALSE(http->FindFile("/res/b/../../secret.txt"));
    EXPECT_FALSE(http->FindFile("/res//" + (root / "secret.txt").string()));
    ASSERT_TRUE(http->FindFile("/res//a.txt"));
    EXPECT_EQ(http->FindFile("/res//a.txt")->content, "0123456789");
}

TEST_F(HttpServerTest, MountTableChanges)
{
    EXPECT_FALSE(http->Mount("/missing", root / "does-not-exist"));
    EXPECT_FALSE(http->Mount("/file", root / "secret.txt"));
    EXPECT_FALSE(http->Mount("res", root / "www"));
    EXPECT_FALSE(http->Unmount("/res"));

    ASSERT_TRUE(http->Mount("/res", root / "www"));
    // What is served is the folder as it was when mounted, until it is mounted again.
    std::ofstream(root / "www/a.txt") << "changed";
    EXPECT_EQ(Get("/res/a.txt").body, "0123456789");
    ASSERT_TRUE(http->Mount("/res", root / "www"));
    EXPECT_EQ(Get("/res/a.txt").body, "changed");
    ASSERT_TRUE(http->Mount("/res", root / "other")); // moves the mount point
    EXPECT_EQ(Get("/res/a.txt").status, 404);
    EXPECT_EQ(Get("/res/b.txt").body, "other folder");
    EXPECT_TRUE(http->Unmount("/res"));
    EXPECT_EQ(Get("/res/b.txt").status, 404);
}

TEST_F(HttpServerTest, EachFileServedByGetIsLogged)
{
    LogCapture log;
    ASSERT_TRUE(http->Mount("/res", root / "www"));
    EXPECT_EQ(Get("/res/a.txt", {}, "HEAD").status, 200);
    EXPECT_EQ(Get("/res/missing.txt").status, 404);
    RawHttpResponse reply = Get("/res/%61.txt");
    std::string line =
        "[Debug] FileRequest: /res/a.txt from 127.0.0.1:" + std::to_string(reply.localPort) + ".";
    ASSERT_TRUE(log.WaitFor(line));
    EXPECT_EQ(log.Messages(spdlog::level::debug), std::vector<std::string>{line}); // not HEAD, not a miss
    http.reset(); // the workers are done logging before the capture goes
}

// A resource restart rewrites its cache files and mounts the folder again while downloads go on: each
// download gets one whole version of the file, or a 404 while nothing is mounted.
TEST_F(HttpServerTest, ServesWhileResourcesRemountAndUnmount)
{
    ASSERT_TRUE(http->Mount("/res", root / "www"));
    constexpr size_t kSize = 256 * 1024;
    auto writeVersion = [&](char version)
    {
        fs::create_directories(root / "restart");
        std::ofstream(root / "restart/big.bin", std::ios::binary | std::ios::trunc)
            << std::string(kSize, version);
    };
    writeVersion('1');
    constexpr int kThreads = 4;
    std::atomic<int> finished{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> downloaders;
    for (int i = 0; i < kThreads; ++i)
    {
        downloaders.emplace_back(
            [&]
            {
                httplib::Client client("127.0.0.1", port);
                client.set_keep_alive(true);
                for (int n = 0; n < 100; ++n)
                {
                    auto fixed = client.Get("/res/a.txt");
                    failures += !fixed || fixed->body != "0123456789";
                    auto changing = client.Get("/extra/big.bin");
                    bool whole = changing && changing->status == 200 && changing->body.size() == kSize &&
                                 changing->body.find_first_not_of(changing->body[0]) == std::string::npos;
                    failures += !whole && !(changing && changing->status == 404);
                }
                ++finished;
            });
    }
    for (int round = 0; finished.load() < kThreads; ++round)
    {
        writeVersion(round % 2 ? '1' : '2');
        http->Mount("/extra", root / "restart");
        std::this_thread::yield();
        if (round % 4 == 0)
            http->Unmount("/extra");
    }
    for (auto& thread : downloaders)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(HttpServerTest, FullServerWinsOverEveryOtherAnswer)
{
    Settings::SetFromString("maxplayers", "1");
    Server server;
    std::shared_ptr<void> clearGlobal(nullptr, [](void*) { g_server = nullptr; });
    server.clientRegistry = std::make_unique<ClientRegistry>();
    ASSERT_NE(server.clientRegistry->AddClient(0), nullptr);
    // Serving starts once the registry is in place, as in the server's own start-up.
    http.reset();
    http = std::make_unique<HttpServer>();
    port = FreePort();
    http->Start("127.0.0.1", port);
    ASSERT_TRUE(WaitForTcpPort(port));
    RawHttpResponse reply = RawHttpRequest(
        port,
        BuildRawRequest("POST", "/client",
                        {"User-Agent: Lanternfall/1", "Content-Type: application/x-www-form-urlencoded"},
                        "version=1.0"));
    EXPECT_EQ(reply.body, R"({"error":"The server is full (1/1 players).","version":1.6})");
    http.reset(); // stop serving before the registry goes
}

} // namespace
