// The resource cache: what is copied, what is encrypted and how, the checksums the clients get, and
// the failures of a cache update.

#include <unistd.h>

#include <cstdint>
#include <map>
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
  <script src="client/ui/client.lua" type="client"/>
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

    // Creates and loads; the resource stays with `server`.
    Resource* Load(const std::string& name, bool expected = true)
    {
        Resource* resource = server->Manager().CreateResource(name);
        EXPECT_EQ(resource->Load(), expected) << name;
        return resource;
    }
    // Starts over with a new server and secret: the manager and its resources go.
    void Restart(const std::string& secret)
    {
        server.reset();
        restest::ResetSettings(secret);
        server = std::make_unique<TestServer>();
    }

    TempBase base;
    std::unique_ptr<TestServer> server = std::make_unique<TestServer>();
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
                       {{"client/ui/client.lua", "print('client')"},
                        {"server.lua", "print('server')"},
                        {"shared.lua", "print('shared')"},
                        {"data.txt", "123456789"}});
    Resource* resource = Load("res");
    EXPECT_FALSE(base.Exists("cache/resources/res/server.lua")) << "server scripts are never cached";
    // Sub folders are made as needed.
    for (const std::string script : {"client/ui/client.lua", "shared.lua"})
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

TEST_F(ResourceCacheTest, SecretDecidesTheScriptBytesOnly)
{
    const char* meta =
        R"(<meta type="lua"><script src="a.lua" type="client"/><script src="empty.lua" type="client"/>)"
        R"(<file src="f.bin"/></meta>)";
    const std::map<std::string, std::string> files = {
        {"a.lua", "return 42"}, {"empty.lua", ""}, {"f.bin", "\x01\x02"}};
    base.WriteResource("one", meta, files);
    base.WriteResource("two", meta, files);
    Resource* one = Load("one");
    Resource* two = Load("two");
    const std::string script = base.Read("cache/resources/one/a.lua");
    const uint32_t scriptSum = Checksum(one, "a.lua");
    const uint32_t fileSum = Checksum(one, "f.bin");
    EXPECT_EQ(script, base.Read("cache/resources/two/a.lua"));
    EXPECT_EQ(scriptSum, Checksum(two, "a.lua"));
    const std::string empty = base.Read("cache/resources/one/empty.lua");
    EXPECT_EQ(empty.size(), 16u) << "the tag alone";
    EXPECT_EQ(Checksum(one, "empty.lua"), Crc32(empty));

    Restart("another secret");
    one = Load("one");
    EXPECT_NE(base.Read("cache/resources/one/a.lua"), script);
    EXPECT_NE(Checksum(one, "a.lua"), scriptSum);
    EXPECT_EQ(Checksum(one, "f.bin"), fileSum);
    EXPECT_EQ(base.Read("cache/resources/one/f.bin"), "\x01\x02");

    // Without a secret scripts are copied as they are, and an empty one sums to 0.
    Restart("");
    one = Load("one");
    EXPECT_EQ(base.Read("cache/resources/one/a.lua"), "return 42");
    EXPECT_EQ(base.Read("cache/resources/one/empty.lua"), "");
    EXPECT_EQ(Checksum(one, "empty.lua"), 0u);
}

TEST_F(ResourceCacheTest, KeyIsDerivedOncePerSecret)
{
    // A secret no other test uses, so the count is ours alone.
    Restart("derived-once-" + std::to_string(::getpid()));
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
    Load("a");
    Load("b");
    EXPECT_EQ(ResourceFile::GetKeyDerivationCount() - before, 1u);
}

TEST_F(ResourceCacheTest, FailedUpdatesNameTheFileAndFailTheLoad)
{
    const std::string failed = "[Resource] Failed updating cache of resource res.";
    auto open = [](const std::string& path)
    { return "[ResourceFile] Failed to open " + path + " of resource res"; };
    // A folder passes the existence check and then cannot be read.
    base.WriteResource("res", R"(<meta type="lua"><file src="folder"/></meta>)", {{"folder/inner.txt", "x"}});
    LogCapture log;
    Load("res", false);
    EXPECT_EQ(log.Messages(spdlog::level::err),
              (std::vector<std::string>{
                  open("folder") + ".",
                  "[ResourceFile] Failed to read folder of resource res for cache update.", failed}));

    // "sub" exists in the cache as a file, so neither the folder nor the target can be made; and a
    // target that is itself a folder cannot be opened for writing.
    server->Manager().StopResource("res");
    base.WriteResource("res", R"(<meta type="lua"><file src="sub/a.txt"/><file src="dir"/></meta>)",
                       {{"sub/a.txt", "a"}, {"dir", "d"}});
    base.Write("cache/resources/res/sub", "in the way");
    log.Clear();
    Resource* resource = Load("res", false);
    EXPECT_EQ(log.Messages(spdlog::level::err),
              (std::vector<std::string>{open("sub/a.txt") + " in cache.", failed}));
    std::filesystem::remove(base.folder / "cache/resources/res/sub");
    std::filesystem::create_directories(base.folder / "cache/resources/res/dir");
    log.Clear();
    EXPECT_FALSE(resource->Load());
    EXPECT_EQ(log.Messages(spdlog::level::err),
              (std::vector<std::string>{open("dir") + " in cache.", failed}));
}

TEST_F(ResourceCacheTest, SourceDeletedAfterTheMetaCheck)
{
    base.WriteResource("res", R"(<meta type="lua"><script src="a.lua" type="client"/></meta>)",
                       {{"a.lua", "x"}});
    Resource* resource = server->Manager().CreateResource("res");
    ASSERT_TRUE(resource->ParseMeta());
    std::filesystem::remove(base.folder / "resources/res/a.lua");
    LogCapture log;
    EXPECT_FALSE(resource->GetFiles()[0]->UpdateCache());
    EXPECT_EQ(
        log.Messages(spdlog::level::err),
        (std::vector<std::string>{"[ResourceFile] Failed to open a.lua of resource res.",
                                  "[ResourceFile] Failed to read a.lua of resource res for cache update."}));
}

} // namespace
