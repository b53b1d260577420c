#include "Network/MessagePack.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <typeinfo>

namespace MessagePack
{
namespace
{
// Deep enough for every form the server reads (an argument pack nests two levels); hostile
// nesting fails with the decoder's "depth size overflow" instead of growing the parse stack.
constexpr size_t kMaxDepth = 64;

[[noreturn]] void TypeMismatch()
{
    throw msgpack::type_error();
}
} // namespace

msgpack::unpack_limit LimitsFor(size_t length)
{
    return msgpack::unpack_limit(length, length / 2, length, length, length, kMaxDepth);
}

namespace
{
enum class Scan
{
    Complete,
    Incomplete,
    Invalid,
};

enum class Shape : uint8_t
{
    Fixed,   // the field is the whole value
    Payload, // the field is a byte count that follows it
    Array,   // the field counts elements
    Map,     // the field counts key-value pairs
};

struct Layout
{
    uint8_t field; // bytes after the type byte
    Shape shape;
    uint8_t extra; // payload bytes beyond the declared count (the ext type byte)
};

// Types 0xc4 to 0xdf in order.
constexpr Layout kLayouts[] = {
    {1, Shape::Payload, 0}, {2, Shape::Payload, 0}, {4, Shape::Payload, 0}, // bin 8/16/32
    {1, Shape::Payload, 1}, {2, Shape::Payload, 1}, {4, Shape::Payload, 1}, // ext 8/16/32
    {4, Shape::Fixed, 0},   {8, Shape::Fixed, 0},                           // float 32/64
    {1, Shape::Fixed, 0},   {2, Shape::Fixed, 0},   {4, Shape::Fixed, 0},   {8, Shape::Fixed, 0}, // uint
    {1, Shape::Fixed, 0},   {2, Shape::Fixed, 0},   {4, Shape::Fixed, 0},   {8, Shape::Fixed, 0}, // int
    {2, Shape::Fixed, 0},   {3, Shape::Fixed, 0},   {5, Shape::Fixed, 0},   {9, Shape::Fixed, 0},
    {17, Shape::Fixed, 0},                                                  // fixext 1/2/4/8/16
    {1, Shape::Payload, 0}, {2, Shape::Payload, 0}, {4, Shape::Payload, 0}, // str 8/16/32
    {2, Shape::Array, 0},   {4, Shape::Array, 0},                           // array 16/32
    {2, Shape::Map, 0},     {4, Shape::Map, 0},                             // map 16/32
};
static_assert(sizeof kLayouts / sizeof kLayouts[0] == 0xe0 - 0xc4);

uint64_t LoadBigEndian(const uint8_t* bytes, size_t size)
{
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// Walks the first value without building anything, in the decoder's own order, to tell a complete
// value from one cut short ("insufficient bytes") or holding the never-used type byte 0xc1 ("parse
// error"). Only a count of the values still expected is kept, so neither declared sizes nor nesting
// cost memory. Once a value is known to be complete, each container's declared size is backed by
// real bytes and the decoder's reservations stay within the limits of LimitsFor().
Scan ScanValue(const uint8_t* data, size_t length)
{
    uint64_t pending = 1;
    size_t offset = 0;
    while (pending > 0)
    {
        if (offset >= length)
            return Scan::Incomplete;
        const uint8_t type = data[offset++];
        --pending;

        if (type <= 0x7f || type >= 0xe0 || type == 0xc0 || type == 0xc2 || type == 0xc3)
            continue;
        if (type == 0xc1)
            return Scan::Invalid;
        if (type <= 0x8f)
        {
            pending += 2u * (type & 0x0fu);
            continue;
        }
        if (type <= 0x9f)
        {
            pending += type & 0x0fu;
            continue;
        }
        if (type <= 0xbf)
        {
            const size_t size = type & 0x1fu;
            if (size > length - offset)
                return Scan::Incomplete;
            offset += size;
            continue;
        }

        // 0xc4 to 0xdf: a fixed-size field after the type byte; for some it declares a payload size
        // or a number of elements.
        const Layout& layout = kLayouts[type - 0xc4];
        const size_t field = layout.field;
        const Shape shape = layout.shape;
        const uint64_t extra = layout.extra;
        if (field > length - offset)
            return Scan::Incomplete;
        const uint64_t declared = shape == Shape::Fixed ? 0 : LoadBigEndian(data + offset, field);
        offset += field;
        if (shape == Shape::Payload)
        {
            if (declared + extra > length - offset)
                return Scan::Incomplete;
            offset += static_cast<size_t>(declared + extra);
        }
        else if (shape == Shape::Array)
            pending += declared;
        else if (shape == Shape::Map)
            pending += 2 * declared;
    }
    return Scan::Complete;
}
} // namespace

msgpack::object_handle Decode(const char* data, size_t length)
{
    switch (ScanValue(reinterpret_cast<const uint8_t*>(data), length))
    {
    case Scan::Incomplete:
        throw msgpack::insufficient_bytes("insufficient bytes");
    case Scan::Invalid:
        throw msgpack::parse_error("parse error");
    case Scan::Complete:
        break;
    }
    size_t offset = 0;
    return msgpack::unpack(data, length, offset, nullptr, nullptr, LimitsFor(length));
}

bool TryDecode(const char* data, size_t length, msgpack::object_handle& handle, std::string& error)
{
    try
    {
        handle = Decode(data, length);
        return true;
    }
    catch (const std::exception& e)
    {
        error = ErrorText(e);
    }
    return false;
}

std::string ErrorText(const std::exception& error)
{
    // msgpack::type_error derives from std::bad_cast and reports "std::bad_cast".
    if (dynamic_cast<const std::bad_cast*>(&error) != nullptr)
        return "bad cast";
    return error.what();
}

int32_t AsInt32(const msgpack::object& object)
{
    if (object.type == msgpack::type::POSITIVE_INTEGER)
    {
        if (object.via.u64 > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
            TypeMismatch();
        return static_cast<int32_t>(object.via.u64);
    }
    if (object.type == msgpack::type::NEGATIVE_INTEGER)
    {
        if (object.via.i64 < std::numeric_limits<int32_t>::min())
            TypeMismatch();
        return static_cast<int32_t>(object.via.i64);
    }
    TypeMismatch();
}

uint64_t AsUInt64(const msgpack::object& object)
{
    // The decoder files every non-negative integer under POSITIVE_INTEGER, whatever its encoding.
    if (object.type != msgpack::type::POSITIVE_INTEGER)
        TypeMismatch();
    return object.via.u64;
}

uint32_t AsUInt32(const msgpack::object& object)
{
    uint64_t value = AsUInt64(object);
    if (value > std::numeric_limits<uint32_t>::max())
        TypeMismatch();
    return static_cast<uint32_t>(value);
}

uint16_t AsUInt16(const msgpack::object& object)
{
    uint64_t value = AsUInt64(object);
    if (value > std::numeric_limits<uint16_t>::max())
        TypeMismatch();
    return static_cast<uint16_t>(value);
}

bool AsBool(const msgpack::object& object)
{
    if (object.type != msgpack::type::BOOLEAN)
        TypeMismatch();
    return object.via.boolean;
}

std::string AsBytes(const msgpack::object& object)
{
    if (object.type == msgpack::type::STR)
        return std::string(object.via.str.ptr, object.via.str.size);
    if (object.type == msgpack::type::BIN)
        return std::string(object.via.bin.ptr, object.via.bin.size);
    TypeMismatch();
}

namespace
{
float NearestFloat(double value)
{
    constexpr double kMax = std::numeric_limits<float>::max();
    // Beyond the largest float a cast is undefined; round as IEEE-754 does: up to half a unit in
    // the last place (2^103) above the largest float still rounds down to it, anything further
    // becomes infinity.
    if (std::isfinite(value) && std::fabs(value) > kMax)
    {
        const double halfUlp = std::ldexp(1.0, 103);
        float magnitude = std::fabs(value) < kMax + halfUlp ? std::numeric_limits<float>::max() : HUGE_VALF;
        return value < 0 ? -magnitude : magnitude;
    }
    return static_cast<float>(value);
}
} // namespace

float AsFloat(const msgpack::object& object)
{
    switch (object.type)
    {
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64:
        return NearestFloat(object.via.f64);
    case msgpack::type::POSITIVE_INTEGER:
        return static_cast<float>(object.via.u64);
    case msgpack::type::NEGATIVE_INTEGER:
        return static_cast<float>(object.via.i64);
    default:
        TypeMismatch();
    }
}

const msgpack::object_array& AsArray(const msgpack::object& object)
{
    if (object.type != msgpack::type::ARRAY)
        TypeMismatch();
    return object.via.array;
}

const msgpack::object_map& AsMap(const msgpack::object& object)
{
    if (object.type != msgpack::type::MAP)
        TypeMismatch();
    return object.via.map;
}

uint32_t CheckedSize(size_t size)
{
    return msgpack::checked_get_container_size(size);
}

void PackFloat32(Packer& packer, float value)
{
    uint32_t bits = 0;
    static_assert(sizeof bits == sizeof value);
    std::memcpy(&bits, &value, sizeof bits);
    const char bytes[5] = {static_cast<char>(0xca), static_cast<char>(bits >> 24),
                           static_cast<char>(bits >> 16), static_cast<char>(bits >> 8),
                           static_cast<char>(bits)};
    packer.pack_str_body(bytes, sizeof bytes); // appends the bytes as they are
}

void PackStr(Packer& packer, const std::string& value)
{
    uint32_t size = CheckedSize(value.size());
    packer.pack_str(size);
    packer.pack_str_body(value.data(), size);
}
} // namespace MessagePack
