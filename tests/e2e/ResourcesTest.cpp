// Resources against the real server binary: start-up lines, what a client is told and downloads
// (checked byte for byte against the cache format), and events between Lua scripts and a client.
// Scripts report through Lua's print, which writes to the console and flushes at once.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <cryptopp/aes.h>
#include <cryptopp/eax.h>
#include <cryptopp/filters.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include "Network/PacketWriter.h"
#include "RawHttp.h"
#include "Scripting/ScriptContext.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{
using namespace std::chrono_literals;

// Generous: the machines that run the suites may be busy.
constexpr std::chrono::milliseconds kWait = 20s;

uint32_t Crc32(const std::string& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes)
    {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

// What a game client does with a cached script: derive key and nonce from the welcome packet's
// secret and open the EAX box.
std::string DecryptCached(const std::string& cached, const std::string& secret)
{
    CryptoPP::byte derived[32];
    CryptoPP::PKCS5_PBKDF2_HMAC<CryptoPP::SHA256> pbkdf;
    pbkdf.DeriveKey(derived, sizeof(derived), 0, reinterpret_cast<const CryptoPP::byte*>(secret.data()),
                    secret.size(), nullptr, 0, 15000);
    CryptoPP::EAX<CryptoPP::AES>::Decryption decryption;
    decryption.SetKeyWithIV(derived, 16, derived + 16, 16);
    std::string plain;
    CryptoPP::StringSource source(cached, true,
                                  new CryptoPP::AuthenticatedDecryptionFilter(
                                      decryption, new CryptoPP::StringSink(plain),
                                      CryptoPP::AuthenticatedDecryptionFilter::THROW_EXCEPTION));
    return plain;
}

const char* kDemoMeta = R"(<meta type="lua">
  <script src="server.lua" type="server"/>
  <file src="a.txt"/>
  <script src="client/ui/main.lua" type="client"/>
  <export function="serverFn" type="server"/>
  <script src="shared.lua" type="shared"/>
  <export function="clientFn" type="client"/>
  <file src="img/logo.png"/>
  <export function="sharedFn" type="shared"/>
</meta>)";

const std::map<std::string, std::string> kDemoFiles = {
    {"client/ui/main.lua", "-- drawn on the client\nlocal x = 1\n"},
    {"shared.lua", "shared = true\n"},
    {"a.txt", "plain text, copied as it is\n"},
    {"img/logo.png", std::string("\x89PNG\r\n\x1a\n\0\0binary", 16)},
};

class ResourcesTest : public ::testing::Test
{
protected:
    void WriteResource(const std::string& name, const std::string& meta,
                       const std::map<std::string, std::string>& files)
    {
        server.WriteFile("resources/" + name + "/meta.xml", meta);
        for (const auto& [path, content] : files)
            server.WriteFile("resources/" + name + "/" + path, content);
    }

    bool StartServer(ServerProcess::SettingsList settings)
    {
        settings.emplace_back("loglevel", "0");
        server.WriteSettings(settings);
        return server.Start() &&
               server.WaitForMessage("[Network] Worker thread successfully initialized ENet.", kWait);
    }

    std::unique_ptr<TestClient> Join(const std::string& name, ServerInfoPacket* welcome = nullptr)
    {
        auto client = std::make_unique<TestClient>();
        if (!client->Connect(server.Port(), kWait))
            return nullptr;
        auto info = client->WaitFor<ServerInfoPacket>({}, kWait);
        if (!info)
            return nullptr;
        if (welcome != nullptr)
            *welcome = *info;
        client->Send(ClientInfoPacket{name});
        return client;
    }

    ServerProcess server;
};

TEST_F(ResourcesTest, StartUpLinesForRepeatedAndMissingResources)
{
    WriteResource("good", R"(<meta type="lua"/>)", {});
    ASSERT_TRUE(
        StartServer({{"resource", ""}, {"resource", "good"}, {"resource", "good"}, {"resource", "ghost"}}));
    ASSERT_TRUE(server.WaitForMessage("[Server] Failed to load resource ghost.", kWait));
    const std::string metaPath = (server.Folder() / "resources/ghost/meta.xml").string();

    std::vector<std::string> lines;
    for (const std::string& message : server.Messages())
    {
        for (const char* prefix :
             {"[Server] Loading", "[Server] Failed", "[Server] Successfully", "[Resource] "})
            if (message.rfind(prefix, 0) == 0)
                lines.push_back(message);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "[Server] Loading resource good.",
                         "[Resource] Started resource good.",
                         "[Server] Successfully loaded resource good.",
                         "[Server] Loading resource good.",
                         "[Server] Failed to create resource good.",
                         "[Server] Loading resource ghost.",
                         "[Resource] Could not find meta.xml for resource ghost (path: " + metaPath + ").",
                         "[Server] Failed to load resource ghost.",
                     }))
        << server.OutputText();
    EXPECT_EQ(server.CountMessages("[Server] Loading resource ."), 0u)
        << "an empty entry is skipped silently";
    EXPECT_TRUE(server.IsRunning());
}

TEST_F(ResourcesTest, ClientDownloadsTheFilesIntactAndTradesEventsWithTheScript)
{
    auto files = kDemoFiles;
    files["server.lua"] = R"(
Events.Subscribe("resourceStart", function(name) print("script: resourceStart " .. name) end)
Events.Subscribe("ping", function(a, b) print("script: remote ping " .. tostring(a) .. " " .. tostring(b)) end, true)
Events.Subscribe("ping", function() print("script: local-only ping") end)
Events.Subscribe("playerDisconnect", function(id, name, code)
  print("script: playerDisconnect " .. id .. " " .. name .. " " .. code)
end)
)";
    WriteResource("demo", kDemoMeta, files);
    ASSERT_TRUE(StartServer({{"resource", "demo"}, {"secret", "tarragon"}}));
    ASSERT_TRUE(server.WaitForLine("script: resourceStart demo", kWait)) << server.OutputText();

    ServerInfoPacket welcome;
    auto client = Join("alice", &welcome);
    ASSERT_TRUE(client);
    auto info = client->WaitFor<ResourceInfoPacket>({}, kWait);
    ASSERT_TRUE(info) << server.OutputText();
    EXPECT_EQ(info->name, "demo");
    EXPECT_EQ(info->scriptType, 0);
    EXPECT_EQ(info->paths,
              (std::map<uint64_t, std::string>{
                  {0, "client/ui/main.lua"}, {1, "shared.lua"}, {2, "a.txt"}, {3, "img/logo.png"}}));
    EXPECT_EQ(info->kinds, (std::map<uint64_t, int32_t>{{0, 0}, {1, 2}, {2, 3}, {3, 3}}));
    EXPECT_EQ(info->exports, (std::vector<std::string>{"clientFn", "sharedFn"}));

    for (const auto& [index, path] : info->paths)
    {
        SCOPED_TRACE(path);
        RawHttpResponse reply = RawHttpRequest(server.Port(), BuildRawRequest("GET", "/demo/" + path));
        ASSERT_EQ(reply.status, 200);
        EXPECT_EQ(Crc32(reply.body), info->checksums.at(index));
        const std::string& source = kDemoFiles.at(path);
        if (info->kinds.at(index) == 3)
            EXPECT_EQ(reply.body, source);
        else
            EXPECT_EQ(DecryptCached(reply.body, welcome.secret), source);
    }

    // Server scripts are neither listed nor served.
    EXPECT_EQ(RawHttpRequest(server.Port(), BuildRawRequest("GET", "/demo/server.lua")).status, 404);
    RawHttpResponse outside = RawHttpRequest(server.Port(), BuildRawRequest("GET", "/demo/../settings.xml"));
    EXPECT_NE(outside.status, 200);
    EXPECT_EQ(outside.body.find("<settings"), std::string::npos);

    ScriptContext args;
    args.AddInt(5);
    args.AddString("five");
    client->Send(EventTriggerPacket{"ping", args.Pack()});
    EXPECT_TRUE(server.WaitForLine("script: remote ping 5 five", kWait)) << server.OutputText();
    EXPECT_TRUE(server.WaitForMessage(
        "[ResourceEvent] A handler of event ping in resource demo doesn't allow to be triggered remotely.",
        kWait));
    // Arguments that are no argument pack: the event still arrives, without arguments.
    client->Send(EventTriggerPacket{"ping", "\xc1"});
    EXPECT_TRUE(server.WaitForLine("script: remote ping nil nil", kWait)) << server.OutputText();
    ASSERT_TRUE(client->Disconnect(0, kWait));
    EXPECT_TRUE(server.WaitForLine("script: playerDisconnect 1 alice 0", kWait)) << server.OutputText();
    EXPECT_EQ(server.CountLines("script: local-only ping"), 0u);
}

} // namespace
