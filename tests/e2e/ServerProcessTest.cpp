// Checks of the end-to-end harness itself, where a fault would make other tests pass or fail wrongly.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "Ports.h"
#include "ServerProcess.h"

namespace
{

using namespace std::chrono_literals;

// Binds `port` (0: any) on 127.0.0.1; for a stream socket, also connects to it.
bool BindsOnLoopback(uint16_t port, int type)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    if (ok && type == SOCK_STREAM)
    {
        ok = listen(fd, 1) == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        int client = socket(AF_INET, SOCK_STREAM, 0);
        ok = ok && connect(client, reinterpret_cast<sockaddr*>(&address), length) == 0;
        close(client);
    }
    close(fd);
    return ok;
}

TEST(ServerProcessHarness, FreePortsAreDistinctAndBindable)
{
    std::set<uint16_t> ports;
    for (int i = 0; i < 50; ++i)
    {
        uint16_t port = FreePort();
        EXPECT_GE(port, 20000);
        EXPECT_LE(port, 60000);
        EXPECT_TRUE(ports.insert(port).second) << "port handed out twice: " << port;
    }
    uint16_t port = *ports.begin();
    EXPECT_TRUE(BindsOnLoopback(port, SOCK_STREAM));
    EXPECT_TRUE(BindsOnLoopback(port, SOCK_DGRAM));
}

TEST(ServerProcessHarness, TextHelpers)
{
    EXPECT_EQ(ServerProcess::StripAnsi("[12:00:00] \x1b[32m[Server] Port: 1\x1b[m"),
              "[12:00:00] [Server] Port: 1");
    EXPECT_EQ(ServerProcess::MessageOf("[12:34:56] [Server] Port: 1"), "[Server] Port: 1");
    EXPECT_EQ(ServerProcess::MessageOf("[Server] Port: 1"), "[Server] Port: 1");

    std::string xml =
        ServerProcess::BuildSettingsXml({{"port", "1234"}, {"resource", "a&b"}, {"resource", "c"}}, 999);
    EXPECT_EQ(xml, "<settings>\n"
                   "    <listed>false</listed>\n"
                   "    <hostaddress>127.0.0.1</hostaddress>\n"
                   "    <port>1234</port>\n"
                   "    <resource>a&amp;b</resource>\n"
                   "    <resource>c</resource>\n"
                   "</settings>\n");
}

TEST(ServerProcessHarness, CapturesOutputAndReportsTheKill)
{
    ServerProcess server;
    server.WriteSettings();
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage("[Server] Port: " + std::to_string(server.Port())))
        << server.OutputText();
    ASSERT_TRUE(server.WaitForMessage("[Server] Episode: IV"));
    EXPECT_NE(server.RawOutput().find("\r\n"), std::string::npos);
    EXPECT_FALSE(server.WaitForLine("no such line", 50ms));
    EXPECT_FALSE(server.WaitForExit(50ms).has_value());

    server.Stop();
    EXPECT_FALSE(server.IsRunning());
    EXPECT_EQ(server.WaitForExit(0ms), 128 + 9);
    EXPECT_FALSE(server.WriteLine("help")) << "stdin is closed after the process ended";
}

TEST(ServerProcessHarness, PrivateNetworkIsSeparateAndHasLoopback)
{
    LNF_REQUIRE_PRIVATE_NETWORK();
    ServerProcess server;
    server.WriteSettings();
    ASSERT_TRUE(server.Start(true));
    ASSERT_TRUE(server.WaitForLine("[Server] Episode: ")) << server.OutputText();

    struct stat own
    {
    };
    ASSERT_EQ(stat("/proc/self/ns/net", &own), 0);
    ino_t inside = 0;
    bool loopbackUp = false;
    ASSERT_TRUE(server.RunInServerNetwork(
        [&]
        {
            struct stat theirs
            {
            };
            if (stat("/proc/thread-self/ns/net", &theirs) == 0)
                inside = theirs.st_ino;
            loopbackUp = BindsOnLoopback(0, SOCK_STREAM); // needs the loopback device up
        }));
    EXPECT_NE(inside, 0u);
    EXPECT_NE(inside, own.st_ino);
    EXPECT_TRUE(loopbackUp);
}

} // namespace
