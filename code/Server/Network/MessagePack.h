#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include <msgpack.hpp>

// Decoding and encoding helpers shared by the packet readers and writers and by ScriptContext.
namespace MessagePack
{
// Checks that the bytes begin with one complete value, without building anything, and gives its
// length (trailing bytes are not looked at). Throws msgpack::insufficient_bytes for a value cut short
// (a declared size beyond the bytes included), msgpack::parse_error for the type byte 0xc1, and
// msgpack::depth_size_overflow for more than 64 non-empty containers open at once.
size_t Validate(const char* data, size_t length);

// Reads values in place, front to back, without building a tree: nothing is allocated, and strings
// are views into the bytes, so what a read costs stays independent of what the bytes declare. Meant
// for bytes that Validate() has accepted; each call reads one value (for a container only its
// header, the reader then stands at its first element) and throws msgpack::type_error when the
// value there is of another kind.
class Reader
{
public:
    Reader(const char* data, size_t length);
    explicit Reader(std::string_view bytes) : Reader(bytes.data(), bytes.size()) {}

    // Scalars whole; str, bin and ext as views; an array or a map as its type and size only.
    msgpack::object Next();
    uint32_t ArrayHeader();
    uint32_t MapHeader();
    // str or bin.
    std::string_view Bytes();

private:
    const uint8_t* at;
    const uint8_t* end;
};

// The text logged for a failed read: "bad cast" for a type mismatch, else the exception's own text.
std::string ErrorText(const std::exception& error);

// Validates the bytes and hands a Reader at their first value to `read`. Returns false with `error`
// filled when the bytes do not hold one complete value or `read` meets a type mismatch.
template <typename ReadFn> bool ReadInPlace(std::string_view bytes, ReadFn&& read, std::string& error)
{
    try
    {
        Validate(bytes.data(), bytes.size());
        Reader reader(bytes);
        read(reader);
        return true;
    }
    catch (const std::exception& e)
    {
        error = ErrorText(e);
    }
    return false;
}

// Typed conversions of one decoded value; each throws msgpack::type_error on a mismatch.
// Integers are accepted in any encoding whose value lies in the target's range.
int32_t AsInt32(const msgpack::object& object);
uint16_t AsUInt16(const msgpack::object& object);
uint32_t AsUInt32(const msgpack::object& object);
uint64_t AsUInt64(const msgpack::object& object);
bool AsBool(const msgpack::object& object);
// str or bin, any length.
std::string AsBytes(const msgpack::object& object);
std::string_view AsByteView(const msgpack::object& object);
// float32, float64 or any integer, rounded to the nearest single-precision value.
float AsFloat(const msgpack::object& object);

const msgpack::object_array& AsArray(const msgpack::object& object);
const msgpack::object_map& AsMap(const msgpack::object& object);

// Appends to a std::string; the packers write straight into the result.
struct StringBuffer
{
    std::string data;
    void write(const char* bytes, size_t length) { data.append(bytes, length); }
};

using Packer = msgpack::packer<StringBuffer>;

// Writes a str header and the raw bytes (never bin, no character-set check).
void PackStr(Packer& packer, const std::string& value);

// Always float 32 (0xca): the packer itself writes integral floats as integers.
void PackFloat32(Packer& packer, float value);

// Container sizes above 32 bits cannot be written: throws msgpack::container_size_overflow.
uint32_t CheckedSize(size_t size);
} // namespace MessagePack
