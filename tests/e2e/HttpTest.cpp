// The HTTP front door of the real server binary: "/client" and "/query" as the game client sees them.

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "RawHttp.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{

constexpr const char* kGameClient = "User-Agent: Lanternfall/1";
constexpr const char* kCompatible = R"({"version":1.6})";
constexpr const char* kIncompatible =
    R"({"error":"Incompatible client version (Version 1.9 required). Please update Lanternfall to play on this server.","version":1.6})";

class HttpTest : public ::testing::Test
{
protected:
    void StartServer(const ServerProcess::SettingsList& settings = {})
    {
        server.WriteSettings(settings);
        ASSERT_TRUE(server.Start());
        std::string listening =
            "[HttpServer] HTTP Server listening now on port " + std::to_string(server.Port()) + ".";
        ASSERT_TRUE(server.WaitForMessage(listening)) << server.OutputText();
        ASSERT_TRUE(WaitForTcpPort(server.Port())) << server.OutputText();
    }

    RawHttpResponse Send(const std::string& method, const std::string& target,
                         const std::vector<std::string>& headers = {kGameClient},
                         const std::string& body = {})
    {
        return RawHttpRequest(server.Port(), BuildRawRequest(method, target, headers, body));
    }

    RawHttpResponse PostVersion(const std::string& version)
    {
        return Send("POST", "/client", {kGameClient, "Content-Type: application/x-www-form-urlencoded"},
                    "version=" + version);
    }

    ServerProcess server;
};

TEST_F(HttpTest, OnlyTheGameClientsUserAgentGetsJson)
{
    StartServer();
    const struct
    {
        std::vector<std::string> headers;
        bool answered;
    } cases[] = {
        {{"User-Agent: Lanternfall/1"}, true},
        {{"user-agent: Lanternfall/1"}, true}, // header names ignore case
        {{}, false},
        {{"User-Agent: lanternfall/1"}, false},
        {{"User-Agent: Lanternfall/10"}, false},
        {{"User-Agent: Lanternfall/1.0"}, false},
        {{"User-Agent: Mozilla/5.0", "User-Agent: Lanternfall/1"}, false}, // only the first value counts
        {{"User-Agent: Lanternfall/1", "User-Agent: Mozilla/5.0"}, true},
    };
    for (const auto& c : cases)
    {
        std::string label = c.headers.empty() ? "(none)" : c.headers.front();
        RawHttpResponse client = Send("POST", "/client", c.headers);
        EXPECT_EQ(client.status, 200) << label;
        EXPECT_EQ(client.body, c.answered ? kCompatible : "") << label;

        RawHttpResponse query = Send("GET", "/query", c.headers);
        EXPECT_EQ(query.status, 200) << label;
        EXPECT_EQ(!query.body.empty(), c.answered) << label << ": " << query.body;
        EXPECT_EQ(query.Header("content-type"), c.answered ? "application/json" : "") << label;
    }
}

TEST_F(HttpTest, ClientVersionDecidesCompatibility)
{
    StartServer();
    const struct
    {
        std::string version;
        int status;
        std::string body;
    } cases[] = {
        {"1.8", 200, kIncompatible},
        {"1.9", 200, kCompatible},
        {"1.9beta", 200, kCompatible}, // trailing text is ignored
        {"1.10", 200, kIncompatible},  // reads as 1.1
        {"%201.95", 200, kCompatible}, // leading blanks are skipped
        {"-3", 200, kIncompatible},
        {"nan", 200, kCompatible}, // NaN is not less than 1.9
        {"abc", 500, ""},
        {"", 500, ""},
        {"1e999", 500, ""}, // out of range
    };
    for (const auto& c : cases)
    {
        RawHttpResponse reply = PostVersion(c.version);
        EXPECT_EQ(reply.status, c.status) << c.version;
        EXPECT_EQ(reply.body, c.body) << c.version;
        EXPECT_EQ(reply.Header("content-type"), c.status == 200 ? "application/json" : "") << c.version;
    }

    // The query string counts as a parameter too; the first value is the one read.
    EXPECT_EQ(Send("POST", "/client?version=1.8").body, kIncompatible);
    EXPECT_EQ(Send("POST", "/client?version=2&version=1.0").body, kCompatible);
    EXPECT_EQ(Send("POST", "/client").body, kCompatible);
}

TEST_F(HttpTest, QueryDescribesTheServer)
{
    StartServer({{"hostname", "My \"Quoted\" Server"},
                 {"gamemode", "Race\\Derby"},
                 {"episode", "2"},
                 {"maxplayers", "7"}});
    const std::string expected =
        R"({"hostname":"My \"Quoted\" Server","gamemode":"Race\\Derby","episode":2,"players":0,"maxplayers":7})";

    RawHttpResponse reply = Send("GET", "/query");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, expected);
    EXPECT_EQ(reply.Header("content-type"), "application/json");

    // HEAD goes through the same route: same length, no body.
    RawHttpResponse head = Send("HEAD", "/query");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.Header("content-length"), std::to_string(expected.size()));

    // The query string is not part of the path.
    EXPECT_EQ(Send("GET", "/query?x=1").body, expected);
}

// Players are the clients that hold a client id; a full server refuses every version.
TEST_F(HttpTest, FullServerWinsOverTheVersionAnswer)
{
    StartServer({{"maxplayers", "2"}});
    TestClient first, second;
    for (TestClient* client : {&first, &second})
    {
        ASSERT_TRUE(client->Connect(server.Port())) << server.OutputText();
        ASSERT_TRUE(client->WaitFor<ServerInfoPacket>()) << server.OutputText();
    }
    const std::string full = R"({"error":"The server is full (2/2 players).","version":1.6})";
    EXPECT_EQ(PostVersion("1.8").body, full);
    EXPECT_EQ(PostVersion("2").body, full);
    EXPECT_EQ(
        Send("GET", "/query").body,
        R"({"hostname":"Lanternfall Server","gamemode":"Freeroam","episode":0,"players":2,"maxplayers":2})");
}

TEST_F(HttpTest, DefaultRepliesAndAnythingElseIsNotFound)
{
    StartServer();
    EXPECT_EQ(
        Send("GET", "/query").body,
        R"({"hostname":"Lanternfall Server","gamemode":"Freeroam","episode":0,"players":0,"maxplayers":32})");
    const std::pair<std::string, std::string> cases[] = {
        {"GET", "/client"},   {"POST", "/query"},           {"GET", "/query/"}, {"POST", "/client/"},
        {"GET", "/"},         {"GET", "/queryx"},           {"PUT", "/client"}, {"GET", "/Query"},
        {"DELETE", "/query"}, {"GET", "/missing/file.lua"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Send(c.first, c.second).status, 404) << c.first << " " << c.second;
    // Nothing was logged about any of them beyond start-up.
    EXPECT_EQ(server.CountLines("FileRequest"), 0u);
}

TEST_F(HttpTest, ServesTheFilesOfALoadedResource)
{
    const std::string data("plain\x00\xff"
                           "file",
                           11);
    server.WriteFile("resources/demo/meta.xml", R"(<meta type="lua"><file src="data.bin"/></meta>)");
    server.WriteFile("resources/demo/data.bin", data);
    StartServer({{"loglevel", "1"}, {"resource", "demo"}});
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully loaded resource demo.")) << server.OutputText();

    RawHttpResponse file = Send("GET", "/demo/data.bin", {});
    EXPECT_EQ(file.status, 200);
    EXPECT_EQ(file.body, data);
    EXPECT_EQ(file.Header("content-type"), "application/octet-stream");
    ASSERT_TRUE(server.WaitForMessage(
        "[Debug] FileRequest: /demo/data.bin from 127.0.0.1:" + std::to_string(file.localPort) + "."))
        << server.OutputText();

    RawHttpResponse range = Send("GET", "/demo/data.bin", {"Range: bytes=5-6"});
    EXPECT_EQ(range.status, 206);
    EXPECT_EQ(range.body, data.substr(5, 2));

    EXPECT_EQ(Send("HEAD", "/demo/data.bin", {}).body, "");

    // Only what is in the cache folder is served: not the resource's own folder, not settings.xml.
    EXPECT_EQ(Send("GET", "/demo/meta.xml", {}).status, 404);
    EXPECT_EQ(Send("GET", "/demo/../../settings.xml", {}).status, 404);
    EXPECT_EQ(Send("GET", "/demo/%2e%2e/%2e%2e/%2e%2e/settings.xml", {}).status, 404);
    EXPECT_EQ(Send("GET", "/demo/missing.bin", {}).status, 404);

    // One line for the first GET and one for the range; none for HEAD or the misses.
    RawHttpResponse last = Send("GET", "/demo/data.bin", {});
    ASSERT_TRUE(server.WaitForLine("from 127.0.0.1:" + std::to_string(last.localPort) + "."));
    EXPECT_EQ(server.CountLines("[Debug] FileRequest: "), 3u) << server.OutputText();
}

} // namespace
