#include "PacketPeek.h"

#include <exception>
#include <limits>

#include <msgpack.hpp>

std::optional<int32_t> PeekEnvelopeIdentifier(const std::string& bytes)
{
    try
    {
        size_t offset = 0;
        msgpack::object_handle handle = msgpack::unpack(bytes.data(), bytes.size(), offset);
        const msgpack::object& value = handle.get();
        if (value.type != msgpack::type::ARRAY || value.via.array.size == 0)
            return std::nullopt;
        int64_t identifier = value.via.array.ptr[0].as<int64_t>();
        if (identifier < std::numeric_limits<int32_t>::min() ||
            identifier > std::numeric_limits<int32_t>::max())
            return std::nullopt;
        return static_cast<int32_t>(identifier);
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }
}
