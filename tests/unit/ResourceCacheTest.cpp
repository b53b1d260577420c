// The resource cache: what is copied, what is encrypted and how, the checksums the clients get, and
// the failures of a cache update.

#include <unistd.h>

#include <cstdint>
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

using restest::TempBase;
using restest::TestServer;

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

// PBKDF2-HMAC-SHA-256("tarragon", empty salt, 15000 iterations, 32 bytes).
const std::string kTarragonKey = FromHex("220becb2b75ed3281dd0be066174d096bb95443df351d8811c7a40a925b83ff5");

std::string Decrypt(const std::string& cached, const std::string& keyMaterial)
{
    CryptoPP::EAX<CryptoPP::AES>::Decryption decryption;
    decryption.SetKeyWithIV(reinterpret_cast<const CryptoPP::byte*>(keyMaterial.data()), 16,
                            reinterpret_cast<const CryptoPP::byte*>(keyMaterial.data()) + 16, 16);
    std::string plain;
    CryptoPP::StringSource source(cached, true,
                                  new CryptoPP::AuthenticatedDecryptionFilter(
                                      decryption, new CryptoPP::StringSink(plain),
                                      CryptoPP::AuthenticatedDecryptionFilter::THROW_EXCEPTION));
    return plain;
}

const char* kAllKindsMeta = R"(<meta type="lua">
  <script src="client.lua" type="client"/>
  <script src="server.lua" type="server"/>
  <script src="shared.lua" type="shared"/>
  <file src="data.txt"/>
</meta>)";

class ResourceCacheTest : public ::testing::Test
{
protected:
    void SetUp() override { restest::ResetSettings(); }

    uint32_t Checksum(Resource* resource, const std::string& path)
    {
        for (const auto& file : resource->GetFiles())
            if (file->GetPath() == path)
                return file->GetChecksum();
        ADD_FAILURE() << "no file " << path;
        return 0;
    }

    TempBase base;
};

TEST(ResourceCacheCrypto, KnownAnswers)
{
    CacheKeyMaterial key = ResourceFile::DeriveCacheKey("tarragon");
    EXPECT_EQ(std::string(key.begin(), key.end()), kTarragonKey);
    EXPECT_EQ(ToHex(ResourceFile::EncryptForCache("hello", key)),
              ToHex(FromHex("6f52a9360e bbf14b2556a4ab8654449ed75c62e5fd")));
    EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
}

TEST_F(ResourceCacheTest, KindsGoWhereTheyBelong)
{
    base.WriteResource("res", kAllKindsMeta,
                       {{"client.lua", "print('client')"},
                        {"server.lua", "print('server')"},
                        {"shared.lua", "print('shared')"},
                        {"data.txt", "123456789"}});
    TestServer server;
    Resource* resource = server.Manager().CreateResource("res");
    ASSERT_TRUE(resource->Load());

    EXPECT_FALSE(base.Exists("cache/resources/res/server.lua")) << "server scripts are never cached";
    for (const std::string script : {"client.lua", "shared.lua"})
    {
        SCOPED_TRACE(script);
        const std::string cached = base.Read("cache/resources/res/" + script);
        const std::string source = base.Read("resources/res/" + script);
        EXPECT_EQ(cached.size(), source.size() + 16);
        EXPECT_EQ(Decrypt(cached, kTarragonKey), source);
        EXPECT_EQ(Checksum(resource, script), Crc32(cached));
    }
    EXPECT_EQ(base.Read("cache/resources/res/data.txt"), "123456789");
    EXPECT_EQ(Checksum(resource, "data.txt"), 0xCBF43926u);
    EXPECT_EQ(Checksum(resource, "server.lua"), 0u);
}

TEST_F(ResourceCacheTest, EmptyScriptWithAndWithoutSecret)
{
    base.WriteResource("res", R"(<meta type="lua"><script src="empty.lua" type="client"/></meta>)",
                       {{"empty.lua", ""}});
    {
        TestServer server;
        Resource* resource = server.Manager().CreateResource("res");
        ASSERT_TRUE(resource->Load());
        const std::string cached = base.Read("cache/resources/res/empty.lua");
        EXPECT_EQ(cached.size(), 16u) << "the tag alone";
        EXPECT_EQ(Checksum(resource, "empty.lua"), Crc32(cached));
    }
    restest::ResetSettings("");
    {
        TestServer server;
        Resource* resource = server.Manager().CreateResource("res");
        ASSERT_TRUE(resource->Load());
        EXPECT_EQ(base.Read("cache/resources/res/empty.lua"), "");
        EXPECT_EQ(Checksum(resource, "empty.lua"), 0u);
    }
}

TEST_F(ResourceCacheTest, EqualContentEqualBytesAndOtherSecretOtherBytes)
{
    const char* meta = R"(<meta type="lua"><script src="a.lua" type="client"/><file src="f.bin"/></meta>)";
    base.WriteResource("one", meta, {{"a.lua", "return 42"}, {"f.bin", "\x01\x02"}});
    base.WriteResource("two", meta, {{"a.lua", "return 42"}, {"f.bin", "\x01\x02"}});

    std::string firstScript;
    uint32_t firstScriptSum = 0;
    uint32_t firstFileSum = 0;
    {
        TestServer server;
        Resource* one = server.Manager().CreateResource("one");
        Resource* two = server.Manager().CreateResource("two");
        ASSERT_TRUE(one->Load());
        ASSERT_TRUE(two->Load());
        firstScript = base.Read("cache/resources/one/a.lua");
        EXPECT_EQ(firstScript, base.Read("cache/resources/two/a.lua"));
        firstScriptSum = Checksum(one, "a.lua");
        firstFileSum = Checksum(one, "f.bin");
        EXPECT_EQ(firstScriptSum, Checksum(two, "a.lua"));
    }

    restest::ResetSettings("another secret");
    TestServer server;
    Resource* one = server.Manager().CreateResource("one");
    ASSERT_TRUE(one->Load());
    EXPECT_NE(base.Read("cache/resources/one/a.lua"), firstScript);
    EXPECT_NE(Checksum(one, "a.lua"), firstScriptSum);
    EXPECT_EQ(Checksum(one, "f.bin"), firstFileSum);
    EXPECT_EQ(base.Read("cache/resources/one/f.bin"), "\x01\x02");
}

TEST_F(ResourceCacheTest, SubFoldersAreCreated)
{
    base.WriteResource("res", R"(<meta type="lua"><script src="client/ui/main.lua" type="client"/></meta>)",
                       {{"client/ui/main.lua", "x = 1"}});
    TestServer server;
    ASSERT_TRUE(server.Manager().CreateResource("res")->Load());
    EXPECT_TRUE(base.Exists("cache/resources/res/client/ui/main.lua"));
}

TEST_F(ResourceCacheTest, KeyIsDerivedOncePerSecret)
{
    // A secret no other test uses, so the count is ours alone.
    restest::ResetSettings("derived-once-" + std::to_string(::getpid()));
    std::string meta = R"(<meta type="lua">)";
    std::map<std::string, std::string> files;
    for (int i = 0; i < 5; ++i)
    {
        meta += "<script src=\"c" + std::to_string(i) + ".lua\" type=\"client\"/>";
        files["c" + std::to_string(i) + ".lua"] = "return " + std::to_string(i);
    }
    meta += "</meta>";
    base.WriteResource("a", meta, files);
    base.WriteResource("b", meta, files);

    const uint64_t before = ResourceFile::GetKeyDerivationCount();
    TestServer server;
    ASSERT_TRUE(server.Manager().CreateResource("a")->Load());
    ASSERT_TRUE(server.Manager().CreateResource("b")->Load());
    EXPECT_EQ(ResourceFile::GetKeyDerivationCount() - before, 1u);
}

TEST_F(ResourceCacheTest, UnreadableSourceFailsTheLoadWithThreeLines)
{
    // A folder passes the existence check and then cannot be read.
    base.WriteResource("res", R"(<meta type="lua"><file src="folder"/></meta>)", {{"folder/inner.txt", "x"}});
    TestServer server;
    Resource* resource = server.Manager().CreateResource("res");
    LogCapture log;
    EXPECT_FALSE(resource->Load());
    EXPECT_EQ(
        log.Messages(spdlog::level::err),
        (std::vector<std::string>{"[ResourceFile] Failed to open folder of resource res.",
                                  "[ResourceFile] Failed to read folder of resource res for cache update.",
                                  "[Resource] Failed updating cache of resource res."}));
}

TEST_F(ResourceCacheTest, SourceDeletedAfterTheMetaCheck)
{
    base.WriteResource("res", R"(<meta type="lua"><script src="a.lua" type="client"/></meta>)",
                       {{"a.lua", "x"}});
    TestServer server;
    Resource* resource = server.Manager().CreateResource("res");
    ASSERT_TRUE(resource->ParseMeta());
    std::filesystem::remove(base.folder / "resources/res/a.lua");
    LogCapture log;
    EXPECT_FALSE(resource->GetFiles()[0]->UpdateCache());
    EXPECT_EQ(
        log.Messages(spdlog::level::err),
        (std::vector<std::string>{"[ResourceFile] Failed to open a.lua of resource res.",
                                  "[ResourceFile] Failed to read a.lua of resource res for cache update."}));
}

TEST_F(ResourceCacheTest, CacheTargetThatCannotBeWritten)
{
    // "sub" exists in the cache as a file, so neither the folder nor the target can be made; and a
    // target that is itself a folder cannot be opened for writing.
    base.WriteResource("res", R"(<meta type="lua"><file src="sub/a.txt"/><file src="dir"/></meta>)",
                       {{"sub/a.txt", "a"}, {"dir", "d"}});
    base.Write("cache/resources/res/sub", "in the way");
    TestServer server;
    Resource* resource = server.Manager().CreateResource("res");
    LogCapture log;
    EXPECT_FALSE(resource->Load());
    EXPECT_EQ(log.Messages(spdlog::level::err),
              (std::vector<std::string>{"[ResourceFile] Failed to open sub/a.txt of resource res in cache.",
                                        "[Resource] Failed updating cache of resource res."}));

    std::filesystem::remove(base.folder / "cache/resources/res/sub");
    std::filesystem::create_directories(base.folder / "cache/resources/res/dir");
    log.Clear();
    EXPECT_FALSE(resource->Load());
    EXPECT_EQ(log.Messages(spdlog::level::err),
              (std::vector<std::string>{"[ResourceFile] Failed to open dir of resource res in cache.",
                                        "[Resource] Failed updating cache of resource res."}));
}

} // namespace
