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
// nesting fails with "depth size overflow".
constexpr size_t kMaxDepth = 64;

[[noreturn]] void TypeMismatch()
{
    throw msgpack::type_error();
}

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

// The head of one value: its type byte and whatever fixed-size field follows it.
struct Head
{
    uint8_t type = 0;
    const uint8_t* field = nullptr; // the bytes after the type byte
    uint8_t fieldSize = 0;
    uint64_t children = 0;            // values that follow inside it: elements, or keys and values
    uint64_t elements = 0;            // array elements or map pairs, as declared
    const uint8_t* payload = nullptr; // str, bin, ext: the bytes (ext: its type byte first)
    uint64_t payloadSize = 0;
};

// Reads the head of the value at `offset` and moves past it (past a payload too, but not into a
// container's elements).
Scan ReadHead(const uint8_t* data, size_t length, size_t& offset, Head& head)
{
    if (offset >= length)
        return Scan::Incomplete;
    head = Head();
    head.type = data[offset++];
    head.field = data + offset;
    const uint8_t type = head.type;
    if (type <= 0x7f || type >= 0xe0 || type == 0xc0 || type == 0xc2 || type == 0xc3)
        return Scan::Complete;
    if (type == 0xc1)
        return Scan::Invalid;
    if (type <= 0x8f)
    {
        head.elements = type & 0x0fu;
        head.children = 2 * head.elements;
        return Scan::Complete;
    }
    if (type <= 0x9f)
    {
        head.elements = head.children = type & 0x0fu;
        return Scan::Complete;
    }
    uint64_t size = 0;
    uint64_t extra = 0;
    if (type <= 0xbf)
        size = type & 0x1fu;
    else
    {
        // 0xc4 to 0xdf: a fixed-size field after the type byte; for some it declares a payload size
        // or a number of elements.
        const Layout& layout = kLayouts[type - 0xc4];
        if (layout.field > length - offset)
            return Scan::Incomplete;
        head.fieldSize = layout.field;
        offset += layout.field;
        if (layout.shape == Shape::Fixed)
            return Scan::Complete;
        const uint64_t declared = LoadBigEndian(head.field, layout.field);
        if (layout.shape == Shape::Array)
        {
            head.elements = head.children = declared;
            return Scan::Complete;
        }
        if (layout.shape == Shape::Map)
        {
            head.elements = declared;
            head.children = 2 * declared;
            return Scan::Complete;
        }
        size = declared;
        extra = layout.extra;
    }
    if (size + extra > length - offset)
        return Scan::Incomplete;
    head.payload = data + offset;
    head.payloadSize = size + extra;
    offset += static_cast<size_t>(size + extra);
    return Scan::Complete;
}

struct ScanResult
{
    Scan scan = Scan::Complete;
    size_t end = 0;       // where the value ends (Complete)
    bool tooDeep = false; // more containers open at once than the decoder allows
};

// Walks the first value without building anything, in a decoder's order, to tell a complete value
// from one cut short ("insufficient bytes") or holding the never-used type byte 0xc1 ("parse
// error"). Only a count of the values still expected is kept, so declared sizes cost no memory;
// nesting is followed (open containers that are not empty) only up to the depth limit. These two
// errors are found first, the depth error only in an otherwise complete value.
ScanResult ScanValue(const uint8_t* data, size_t length)
{
    ScanResult result;
    uint64_t remaining[kMaxDepth];
    size_t open = 0;
    uint64_t pending = 1;
    size_t offset = 0;
    Head head;
    while (pending > 0)
    {
        result.scan = ReadHead(data, length, offset, head);
        if (result.scan != Scan::Complete)
            return result;
        pending += head.children - 1;
        if (result.tooDeep)
            continue;
        if (head.children > 0)
        {
            if (open == kMaxDepth)
                result.tooDeep = true;
            else
                remaining[open++] = head.children;
            continue;
        }
        // A value ended; so did every container whose last value it was.
        while (open > 0 && --remaining[open - 1] == 0)
            --open;
    }
    result.end = offset;
    return result;
}

void Check(const ScanResult& result)
{
    switch (result.scan)
    {
    case Scan::Incomplete:
        throw msgpack::insufficient_bytes("insufficient bytes");
    case Scan::Invalid:
        throw msgpack::parse_error("parse error");
    case Scan::Complete:
        break;
    }
    if (result.tooDeep)
        throw msgpack::depth_size_overflow("depth size overflow");
}
} // namespace

size_t Validate(const char* data, size_t length)
{
    const ScanResult result = ScanValue(reinterpret_cast<const uint8_t*>(data), length);
    Check(result);
    return result.end;
}

Reader::Reader(const char* data, size_t length)
    : at(reinterpret_cast<const uint8_t*>(data)), end(reinterpret_cast<const uint8_t*>(data) + length)
{
}

msgpack::object Reader::Next()
{
    size_t offset = 0;
    Head head;
    Check(ScanResult{ReadHead(at, static_cast<size_t>(end - at), offset, head)});
    at += offset;

    msgpack::object object;
    const uint8_t type = head.type;
    const auto signedValue = [&object](int64_t value)
    {
        if (value < 0)
        {
            object.type = msgpack::type::NEGATIVE_INTEGER;
            object.via.i64 = value;
        }
        else
        {
            object.type = msgpack::type::POSITIVE_INTEGER;
            object.via.u64 = static_cast<uint64_t>(value);
        }
    };
    if (type <= 0x7f || (type >= 0xcc && type <= 0xcf))
    {
        object.type = msgpack::type::POSITIVE_INTEGER;
        object.via.u64 = type <= 0x7f ? type : LoadBigEndian(head.field, head.fieldSize);
    }
    else if (type >= 0xe0)
        signedValue(static_cast<int8_t>(type));
    else if (type >= 0xd0 && type <= 0xd3)
    {
        // Sign-extend the big-endian two's complement field.
        const uint64_t bits = LoadBigEndian(head.field, head.fieldSize);
        const unsigned shift = 64 - 8 * head.fieldSize;
        signedValue(static_cast<int64_t>(bits << shift) >> shift);
    }
    else if (type <= 0x8f || type == 0xde || type == 0xdf)
    {
        object.type = msgpack::type::MAP;
        object.via.map.ptr = nullptr;
        object.via.map.size = static_cast<uint32_t>(head.elements);
    }
    else if (type <= 0x9f || type == 0xdc || type == 0xdd)
    {
        object.type = msgpack::type::ARRAY;
        object.via.array.ptr = nullptr;
        object.via.array.size = static_cast<uint32_t>(head.elements);
    }
    else if (type <= 0xbf || (type >= 0xd9 && type <= 0xdb))
    {
        object.type = msgpack::type::STR;
        object.via.str.ptr = reinterpret_cast<const char*>(head.payload);
        object.via.str.size = static_cast<uint32_t>(head.payloadSize);
    }
    else if (type >= 0xc4 && type <= 0xc6)
    {
        object.type = msgpack::type::BIN;
        object.via.bin.ptr = reinterpret_cast<const char*>(head.payload);
        object.via.bin.size = static_cast<uint32_t>(head.payloadSize);
    }
    else if (type == 0xc0)
        object.type = msgpack::type::NIL;
    else if (type == 0xc2 || type == 0xc3)
    {
        object.type = msgpack::type::BOOLEAN;
        object.via.boolean = type == 0xc3;
    }
    else if (type == 0xca)
    {
        const uint32_t bits = static_cast<uint32_t>(LoadBigEndian(head.field, 4));
        float value = 0;
        std::memcpy(&value, &bits, sizeof value);
        object.type = msgpack::type::FLOAT32;
        object.via.f64 = value;
    }
    else if (type == 0xcb)
    {
        const uint64_t bits = LoadBigEndian(head.field, 8);
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        object.type = msgpack::type::FLOAT64;
        object.via.f64 = value;
    }
    else
    {
        // ext 8/16/32 and fixext: the payload is the extension's type byte and its data.
        object.type = msgpack::type::EXT;
        const bool fixed = type >= 0xd4;
        object.via.ext.ptr = reinterpret_cast<const char*>(fixed ? head.field : head.payload);
        object.via.ext.size = static_cast<uint32_t>(fixed ? head.fieldSize - 1 : head.payloadSize - 1);
    }
    return object;
}

uint32_t Reader::ArrayHeader()
{
    return AsArray(Next()).size;
}

uint32_t Reader::MapHeader()
{
    return AsMap(Next()).size;
}

std::string_view Reader::Bytes()
{
    return AsByteView(Next());
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

std::string_view AsByteView(const msgpack::object& object)
{
    if (object.type == msgpack::type::STR)
        return std::string_view(object.via.str.ptr, object.via.str.size);
    if (object.type == msgpack::type::BIN)
        return std::string_view(object.via.bin.ptr, object.via.bin.size);
    TypeMismatch();
}

std::string AsBytes(const msgpack::object& object)
{
    return std::string(AsByteView(object));
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
