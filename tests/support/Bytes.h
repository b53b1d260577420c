#pragma once

// Byte-string helpers for wire-format assertions: FromHex("92 0c a5") builds the bytes, ToHex gives
// the same spaced lower-case form back, so a failed EXPECT_EQ(ToHex(actual), "...") shows the diff.

#include <cstdint>
#include <stdexcept>
#include <string>

inline std::string FromHex(const std::string& hex)
{
    auto nibble = [](char c) -> int
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string bytes;
    int high = -1;
    for (char c : hex)
    {
        if (c == ' ')
            continue;
        int value = nibble(c);
        if (value < 0)
            throw std::invalid_argument("FromHex: not a hex digit in \"" + hex + "\"");
        if (high < 0)
            high = value;
        else
        {
            bytes.push_back(static_cast<char>(high * 16 + value));
            high = -1;
        }
    }
    if (high >= 0)
        throw std::invalid_argument("FromHex: odd number of digits in \"" + hex + "\"");
    return bytes;
}

inline std::string ToHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes)
    {
        if (!hex.empty())
            hex.push_back(' ');
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    return hex;
}
