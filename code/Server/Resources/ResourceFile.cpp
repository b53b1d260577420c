#include "Resources/ResourceFile.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <system_error>

#include <cryptopp/aes.h>
#include <cryptopp/crc.h>
#include <cryptopp/eax.h>
#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/sha.h>
#include <spdlog/spdlog.h>

#include "Resources/Resource.h"
#include "Server/Platform.h"
#include "Server/Settings.h"

namespace
{
constexpr unsigned int kKeyIterations = 15000;
constexpr size_t kAesKeySize = 16;

std::mutex keyCacheMutex;
std::map<std::string, CacheKeyMaterial> keyCache;
std::atomic<uint64_t> keyDerivations{0};
} // namespace

ResourceFile::ResourceFile(Resource* owner, std::string path, uint32_t kind)
    : owner(owner), path(std::move(path)), kind(kind)
{
}

bool ResourceFile::Read(std::string& text)
{
    const std::filesystem::path source = owner->GetResourcePath() / path;
    std::error_code error;
    std::ifstream stream;
    // A folder opens fine on Linux and then fails to read: refuse it as unreadable up front.
    if (!std::filesystem::is_directory(source, error))
        stream.open(source, std::ios::binary);
    if (!stream.is_open())
    {
        spdlog::error("[ResourceFile] Failed to open {} of resource {}.", path, owner->GetName());
        return false;
    }

    std::string content{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    if (stream.bad())
    {
        spdlog::error("[ResourceFile] Failed to open {} of resource {}.", path, owner->GetName());
        return false;
    }
    text = std::move(content);
    return true;
}

bool ResourceFile::UpdateCache()
{
    std::string buffer;
    if (!Read(buffer))
    {
        spdlog::error("[ResourceFile] Failed to read {} of resource {} for cache update.", path,
                      owner->GetName());
        return false;
    }

    const std::string secret = Settings::GetString("secret");
    const bool encrypt = (kind == ClientScript || kind == SharedScript) && !secret.empty();

    std::string output;
    if (encrypt)
    {
        try
        {
            output = EncryptForCache(buffer, DeriveCacheKey(secret));
        }
        catch (const std::exception& exception)
        {
            LogError("[ResourceFile] Failed to encrypt {} of resource {} (error: {}).", path,
                     owner->GetName(), std::string(exception.what()));
            return false;
        }
    }
    else
    {
        output = std::move(buffer);
    }

    const std::filesystem::path target = owner->GetCachePath() / path;
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);

    bool written = false;
    if (!error)
    {
        std::ofstream stream(target, std::ios::binary | std::ios::trunc);
        if (stream.is_open())
        {
            stream.write(output.data(), static_cast<std::streamsize>(output.size()));
            stream.close();
            // A short write (a full disk, say) would otherwise be checksummed and served as if whole.
            written = !stream.fail();
        }
    }
    if (!written)
    {
        spdlog::error("[ResourceFile] Failed to open {} of resource {} in cache.", path, owner->GetName());
        return false;
    }

    try
    {
        checksum = FileChecksum(target.string());
    }
    catch (const std::exception& exception)
    {
        LogError("[ResourceFile] Failed to generate checksum for {} of resource {} (error: {}).", path,
                 owner->GetName(), std::string(exception.what()));
        return false;
    }
    return true;
}

CacheKeyMaterial ResourceFile::DeriveCacheKey(const std::string& secret)
{
    std::lock_guard lock(keyCacheMutex);
    auto found = keyCache.find(secret);
    if (found != keyCache.end())
        return found->second;

    CacheKeyMaterial derived{};
    CryptoPP::PKCS5_PBKDF2_HMAC<CryptoPP::SHA256> pbkdf;
    pbkdf.DeriveKey(derived.data(), derived.size(), 0, reinterpret_cast<const CryptoPP::byte*>(secret.data()),
                    secret.size(), nullptr, 0, kKeyIterations);
    ++keyDerivations;
    keyCache.emplace(secret, derived);
    return derived;
}

std::string ResourceFile::EncryptForCache(const std::string& plain, const CacheKeyMaterial& key)
{
    // SetKeyWithIV followed by the filter: the one-call EncryptAndAuthenticate would set the IV twice.
    CryptoPP::EAX<CryptoPP::AES>::Encryption encryption;
    encryption.SetKeyWithIV(key.data(), kAesKeySize, key.data() + kAesKeySize, key.size() - kAesKeySize);

    std::string output;
    output.reserve(plain.size() + 16);
    CryptoPP::StringSource source(
        plain, true,
        new CryptoPP::AuthenticatedEncryptionFilter(encryption, new CryptoPP::StringSink(output)));
    return output;
}

uint32_t ResourceFile::FileChecksum(const std::string& fileName)
{
    CryptoPP::CRC32 crc;
    CryptoPP::byte digest[CryptoPP::CRC32::DIGESTSIZE];
    CryptoPP::FileSource source(
        fileName.c_str(), true,
        new CryptoPP::HashFilter(crc, new CryptoPP::ArraySink(digest, sizeof(digest))));
    return static_cast<uint32_t>(digest[0]) | (static_cast<uint32_t>(digest[1]) << 8) |
           (static_cast<uint32_t>(digest[2]) << 16) | (static_cast<uint32_t>(digest[3]) << 24);
}

uint64_t ResourceFile::GetKeyDerivationCount()
{
    return keyDerivations.load();
}
