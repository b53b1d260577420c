#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class Resource;

enum ResourceFileKind : uint32_t
{
    ClientScript = 0,
    ServerScript = 1,
    SharedScript = 2,
    PlainFile = 3,
};

// Size of the material derived from the `secret` setting: AES-128 key, then the 16-byte EAX nonce.
using CacheKeyMaterial = std::array<uint8_t, 32>;

// One `script` or `file` element of a resource's meta.xml.
class ResourceFile
{
public:
    ResourceFile(Resource* owner, std::string path, uint32_t kind);

    // Reads the whole source file from the resource folder into `text` (untouched on failure); only a
    // regular file (or a link to one) can be read.
    bool Read(std::string& text);
    // Copies the file into the resource's cache folder (client and shared scripts encrypted when
    // `secret` is not empty) and records the CRC-32 of what was written.
    bool UpdateCache();

    const std::string& GetPath() const { return path; }
    uint32_t GetChecksum() const { return checksum; }
    uint32_t GetKind() const { return kind; }

    // PBKDF2-HMAC-SHA-256 of the secret (empty salt, 15000 iterations), derived once per distinct
    // secret for the life of the process.
    static CacheKeyMaterial DeriveCacheKey(const std::string& secret);
    // Ciphertext followed by the 16-byte EAX tag.
    static std::string EncryptForCache(const std::string& plain, const CacheKeyMaterial& key);
    // CRC-32 (IEEE 802.3) of the bytes, the value clients compare with the downloaded file's.
    static uint32_t Checksum(std::string_view bytes);
    // How many derivations ran so far (the key cache is observable for tests and benchmarks).
    static uint64_t GetKeyDerivationCount();

private:
    Resource* owner;
    std::string path;
    uint32_t checksum = 0;
    uint32_t kind;
};

// One `export` element of a resource's meta.xml.
struct ResourceExport
{
    std::string function;
    uint32_t type = 0; // 0 client, 1 server, 2 shared
};
