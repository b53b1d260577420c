// The resource cache: what is copied or encrypted and how, the clients' checksums, failed updates.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <cryptopp/aes.h>
#include <cryptopp/eax.h>
#include <cryptopp/filters.h>
#include <gtest/gtest.h>

#include "Bytes.h"
#include "LogCapture.h"
#include "ResourceTestUtil.h"

namespace
{

// Independent bitwise CRC-32 (IEEE 802.3), so the checks do not lean on the code under test.
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

// PBKDF2-HMAC-SHA-256("tarragon", empty salt, 15000 iterations, 32 bytes): AES key, then EAX nonce.
const std::string kTarragonKey = FromHex("220becb2b75ed3281dd0be066174d096bb95443df351d8811c7a40a925b83ff5");

std::string Decrypt(const std::string& cached)
{
    const auto* key = reinterpret_cast<const CryptoPP::byte*>(kTarragonKey.data());
    CryptoPP::EAX<CryptoPP::AES>::Decryption decryption;
    decryption.SetKeyWithIV(key, 16, key + 16, 16);
    std::string plain;
    CryptoPP::StringSource source(cached, true,
                                  new CryptoPP::AuthenticatedDecryptionFilter(
                                      decryption, new CryptoPP::StringSink(plain),
                                      CryptoPP::AuthenticatedDecryptionFilter::THROW_EXCEPTION));
    return plain;
}

class ResourceCacheTest : public ::testing::Test
{
protected:
    void SetUp() override { restest::ResetSettings(); }

    static uint32_t Checksum(Resource* resource, const std::string& path)
    {
        for (const auto& file : resource->GetFiles())
            if (file->GetPath() == path)
                return file->GetChecksum();
        return 0xBAD;
    }

    restest::TempBase base;
    std::unique_ptr<restest::TestServer> server = std::make_unique<restest::TestServer>();
};

TEST(ResourceCacheCrypto, KnownAnswers)
{
    CacheKeyMaterial key = ResourceFile::DeriveCacheKey("tarragon");
    EXPECT_EQ(std::string(key.begin(), key.end()), kTarragonKey);
    EXPECT_EQ(ToHex(ResourceFile::EncryptForCache("hello", key)),
              ToHex(FromHex("6f52a9360e bbf14b2556a4ab8654449ed75c62e5fd")));
    EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
}

TEST_F(ResourceCacheTest, ScriptsAreEncryptedFilesCopiedAndServerScriptsLeftOut)
{
    base.WriteResource("res", R"(<meta type="lua">
  <script src="client/ui/client.lua" type="client"/>
  <script src="server.lua" type="server"/>
  <script src="shared.lua" type="shared"/>
  <script src="empty.lua" type="client"/>
  <file src="data.txt"/>
</meta>)",
                       {{"client/ui/client.lua", "c"},
                        {"server.lua", "s"},
                        {"shared.lua", "return 42"},
                        {"empty.lua", ""},
                        {"data.txt", "123456789"}});
    base.Write("cache/resources/res/data.txt", "987654321"); // same size, other bytes: rewritten
    Resource* resource = server->Manager().CreateResource("res");
    ASSERT_TRUE(resource->Load());
    EXPECT_TRUE(!base.Exists("cache/resources/res/server.lua") && Checksum(resource, "server.lua") == 0u);
    for (const std::string script : {"client/ui/client.lua", "shared.lua", "empty.lua"})
    {
        const std::string cached = base.Read("cache/resources/res/" + script);
        const std::string source = base.Read("resources/res/" + script);
        EXPECT_EQ(cached.size(), source.size() + 16) << script;
        EXPECT_EQ(Decrypt(cached), source) << script;
        EXPECT_EQ(Checksum(resource, script), Crc32(cached)) << script;
    }
    EXPECT_EQ(base.Read("cache/resources/res/data.txt"), "123456789");
    EXPECT_EQ(Checksum(resource, "data.txt"), 0xCBF43926u);

    // Without a secret scripts are copied as they are, and an empty one sums to 0.
    server.reset();
    restest::ResetSettings("");
    server = std::make_unique<restest::TestServer>();
    resource = server->Manager().CreateResource("res");
    ASSERT_TRUE(resource->Load());
    EXPECT_EQ(base.Read("cache/resources/res/shared.lua"), "return 42");
    EXPECT_EQ(Checksum(resource, "empty.lua"), 0u);
}

TEST_F(ResourceCacheTest, FailedUpdatesNameTheFileAndFailTheLoad)
{
    const std::string failed = "[Resource] Failed updating cache of resource res.";
    LogCapture log;
    // A folder passes the existence check and then cannot be read.
    base.WriteResource("res", R"(<meta type="lua"><file src="folder"/></meta>)", {{"folder/inner.txt", "x"}});
    EXPECT_FALSE(server->Manager().CreateResource("res")->Load());
    EXPECT_EQ(log.Messages(spdlog::level::err),
              (std::vector<std::string>{
                  "[ResourceFile] Failed to open folder of resource res.",
                  "[ResourceFile] Failed to read folder of resource res for cache update.", failed}));

    // A cache target that is a folder cannot be opened for writing.
    server->Manager().StopResource("res");
    base.WriteResource("res", R"(<meta type="lua"><file src="dir"/></meta>)", {{"dir", "d"}});
    std::filesystem::create_directories(base.folder / "cache/resources/res/dir");
    log.Clear();
    EXPECT_FALSE(server->Manager().CreateResource("res")->Load());
    EXPECT_EQ(
        log.Messages(spdlog::level::err),
        (std::vector<std::string>{"[ResourceFile] Failed to open dir of resource res in cache.", failed}));
}

} // namespace
