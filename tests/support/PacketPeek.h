#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The envelope identifier of a channel-0 payload that reads as [int, ...], found without logging
// (the server's own reader warns about everything else, which would clutter captured logs).
std::optional<int32_t> PeekEnvelopeIdentifier(const std::string& bytes);
