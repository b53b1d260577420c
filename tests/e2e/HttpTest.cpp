// The HTTP front door of the real server binary as the game client sees it: "/client", "/query" and
// the files of a loaded resource, then the same server once it is full.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RawHttp.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{

TEST(Http, RoutesAndFiles)
{
    ServerProcess server;
    const std::string data("plain\0\xff-file", 11);
    server.WriteFile("resources/demo/meta.xml", R"(<meta type="lua"><file src="data.bin"/></meta>)");
    server.WriteFile("resources/demo/data.bin", data);
    server.WriteSettings({{"hostname", "A \"B\""},
                          {"gamemode", "C\\D"},
                          {"episode", "2"},
                          {"maxplayers", "2"},
                          {"loglevel", "1"},
                          {"resource", "demo"}});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully loaded resource demo.")) << server.OutputText();
    ASSERT_TRUE(WaitForTcpPort(server.Port())) << server.OutputText();
    auto send = [&](const std::string& method, const std::string& target,
                    const std::vector<std::string>& headers, const std::string& body = {})
    { return RawHttpRequest(server.Port(), BuildRawRequest(method, target, headers, body)); };
    const std::string ok = R"({"version":1.6})";
    const std::string old = R"({"error":"Incompatible client version (Version 1.9 required). Please update )"
                            R"(Lanternfall to play on this server.","version":1.6})";
    const std::string query =
        R"({"hostname":"A \"B\"","gamemode":"C\\D","episode":2,"players":0,"maxplayers":2})";
    const std::string agent = "User-Agent: Lanternfall/1",
                      form = "Content-Type: application/x-www-form-urlencoded";
    // {method, target, headers, body}, then the reply's status and body (its content type follows from
    // them). Only the game client's User-Agent (the first one sent) gets JSON; others an empty 200.
    const std::tuple<std::string, std::string, std::vector<std::string>, std::string, int, std::string>
        rows[] = {
            {"POST", "/client", {agent}, "", 200, ok},
            {"POST", "/client", {"user-agent: Lanternfall/1"}, "", 200, ok},
            {"POST", "/client", {}, "", 200, ""},
            {"POST", "/client", {"User-Agent: lanternfall/1"}, "", 200, ""},
            {"POST", "/client", {"User-Agent: Lanternfall/10"}, "", 200, ""},
            {"POST", "/client", {"User-Agent: Lanternfall/1.0"}, "", 200, ""},
            {"POST", "/client", {"User-Agent: Mozilla/5.0", agent}, "", 200, ""},
            {"POST", "/client", {agent, "User-Agent: Mozilla/5.0"}, "", 200, ok},
            {"GET", "/query", {agent}, "", 200, query},
            {"GET", "/query", {"User-Agent: Mozilla/5.0"}, "", 200, ""},
            // The version: trailing text is ignored, blanks skipped, "1.10" reads as 1.1, NaN is not less
            // than 1.9; text without a number fails. The query string counts too, its first value.
            {"POST", "/client", {agent, form}, "version=1.8", 200, old},
            {"POST", "/client", {agent, form}, "version=1.9", 200, ok},
            {"POST", "/client", {agent, form}, "version=1.9beta", 200, ok},
            {"POST", "/client", {agent, form}, "version=1.10", 200, old},
            {"POST", "/client", {agent, form}, "version=%201.95", 200, ok},
            {"POST", "/client", {agent, form}, "version=-3", 200, old},
            {"POST", "/client", {agent, form}, "version=nan", 200, ok},
            {"POST", "/client", {agent, form}, "version=abc", 500, ""},
            {"POST", "/client", {agent, form}, "version=", 500, ""},
            {"POST", "/client", {agent, form}, "version=1e999", 500, ""},
            {"POST", "/client?version=1.8", {agent}, "", 200, old},
            {"POST", "/client?version=2&version=1.0", {agent}, "", 200, ok},
            // Nothing else is answered; only the cache folder's files are served, not the resource's own.
            {"GET", "/client", {agent}, "", 404, ""},
            {"PUT", "/client", {agent}, "", 404, ""},
            {"POST", "/client/", {agent}, "", 404, ""},
            {"GET", "/", {agent}, "", 404, ""},
            {"POST", "/query", {agent}, "", 404, ""},
            {"DELETE", "/query", {agent}, "", 404, ""},
            {"GET", "/query/", {agent}, "", 404, ""},
            {"GET", "/queryx", {agent}, "", 404, ""},
            {"GET", "/Query", {agent}, "", 404, ""},
            {"GET", "/demo/meta.xml", {}, "", 404, ""},
            {"GET", "/demo/../../settings.xml", {}, "", 404, ""},
            {"GET", "/demo/%2e%2e/%2e%2e/%2e%2e/settings.xml", {}, "", 404, ""},
            {"HEAD", "/demo/data.bin", {}, "", 200, ""},
            {"GET", "/demo/data.bin", {"Range: bytes=5-6"}, "", 206, data.substr(5, 2)},
            {"GET", "/demo/data.bin", {}, "", 200, data},
        };
    RawHttpResponse reply;
    for (const auto& [method, target, headers, body, status, expected] : rows)
    {
        reply = send(method, target, headers, body);
        // JSON, a file of the resource, or nothing.
        std::string type = expected[0] == '{'                 ? "application/json"
                           : target[1] == 'd' && status < 300 ? "application/octet-stream"
                                                              : "";
        EXPECT_EQ(std::tuple(reply.status, reply.body, reply.Header("content-type")),
                  std::tuple(status, expected, type))
            << method << " " << target;
    }
    // A line for each file served to a GET, with the client's port: none for HEAD or the misses.
    ASSERT_TRUE(server.WaitForMessage(
        "[Debug] FileRequest: /demo/data.bin from 127.0.0.1:" + std::to_string(reply.localPort) + "."))
        << server.OutputText();
    EXPECT_EQ(server.CountLines("[Debug] FileRequest: "), 2u) << server.OutputText();
    RawHttpResponse head = send("HEAD", "/query", {agent});
    EXPECT_EQ(std::pair(head.body, head.Header("content-length")),
              std::pair(std::string(), std::to_string(query.size())));

    // Players are the clients that hold a client id; a full server refuses every version.
    TestClient first, second;
    for (TestClient* client : {&first, &second})
    {
        ASSERT_TRUE(client->Connect(server.Port())) << server.OutputText();
        ASSERT_TRUE(client->WaitFor<ServerInfoPacket>()) << server.OutputText();
    }
    const std::string full = R"({"error":"The server is full (2/2 players).","version":1.6})";
    for (const std::string version : {"version=1.8", "version=2"})
        EXPECT_EQ(send("POST", "/client", {agent, form}, version).body, full);
    EXPECT_EQ(send("GET", "/query", {agent}).body, std::string(query).replace(query.find(":0,"), 3, ":2,"));
}

} // namespace
