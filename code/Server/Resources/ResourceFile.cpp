#include "Resources/ResourceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

#include <cryptopp/aes.h>
#include <cryptopp/eax.h>
#include <cryptopp/filters.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/sha.h>
#include <spdlog/spdlog.h>
#include <zlib.h>

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

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) : fd(fd) {}
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }

    int Get() const { return fd; }
    // Closes now and tells whether the close succeeded (a delayed write error shows here).
    bool Close()
    {
        const int closing = fd;
        fd = -1;
        return ::close(closing) == 0;
    }

private:
    int fd;
};

// Opens a regular file for reading, symbolic links followed, and gives its size. Anything else (a
// folder, a pipe, a device that never ends) counts as unreadable; opening without blocking keeps a
// pipe from holding the caller.
bool OpenRegular(const std::filesystem::path& path, FileDescriptor& file, size_t& size)
{
    file = FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info
    {
    };
    if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    size = static_cast<size_t>(info.st_size);
    return true;
}

// Reads an open file to its end; `size` is what it is expected to hold.
bool ReadAll(const FileDescriptor& file, size_t size, std::string& text)
{
    // One spare byte, so that the end shows without growing the buffer (unless the file grew meanwhile).
    std::string content(size + 1, '\0');
    size_t used = 0;
    for (;;)
    {
        if (used == content.size())
            content.resize(content.size() * 2);
        const ssize_t count = ::read(file.Get(), content.data() + used, content.size() - used);
        if (count == 0)
            break;
        if (count < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        used += static_cast<size_t>(count);
    }
    content.resize(used);
    text = std::move(content);
    return true;
}

bool ReadSource(const std::filesystem::path& source, std::string& text)
{
    FileDescriptor file;
    size_t size = 0;
    return OpenRegular(source, file, size) && ReadAll(file, size, text);
}

// Whether the file holds exactly these bytes already (a restart of an unchanged resource): reading it
// back costs far less than truncating and writing it again.
bool HoldsBytes(const std::filesystem::path& target, const std::string& bytes)
{
    FileDescriptor file;
    size_t size = 0;
    std::string content;
    return OpenRegular(target, file, size) && size == bytes.size() && ReadAll(file, size, content) &&
           content == bytes;
}

// Makes the file hold the bytes, writing only when it does not already; false unless every byte
// reached the file.
bool WriteCacheFile(const std::filesystem::path& target, const std::string& bytes)
{
    if (HoldsBytes(target, bytes))
        return true;
    FileDescriptor file(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.Get() < 0)
        return false;
    size_t written = 0;
    while (written < bytes.size())
    {
        const ssize_t count = ::write(file.Get(), bytes.data() + written, bytes.size() - written);
        if (count < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        written += static_cast<size_t>(count);
    }
    return file.Close();
}
} // namespace

ResourceFile::ResourceFile(Resource* owner, std::string path, uint32_t kind)
    : owner(owner), path(std::move(path)), kind(kind)
{
}

bool ResourceFile::Read(std::string& text)
{
    if (!ReadSource(owner->GetResourcePath() / path, text))
    {
        spdlog::error("[ResourceFile] Failed to open {} of resource {}.", path, owner->GetName());
        return false;
    }
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
    if (error || !WriteCacheFile(target, output))
    {
        spdlog::error("[ResourceFile] Failed to open {} of resource {} in cache.", path, owner->GetName());
        return false;
    }

    // The bytes just written completely are the file's content: no need to read it back.
    checksum = Checksum(output);
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

uint32_t ResourceFile::Checksum(std::string_view bytes)
{
    return static_cast<uint32_t>(
        crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

uint64_t ResourceFile::GetKeyDerivationCount()
{
    return keyDerivations.load();
}
