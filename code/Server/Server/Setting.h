#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One typed entry of the settings store. Exactly one type bit is set once the entry is added.
struct Setting
{
    enum Type : uint8_t
    {
        Bool = 1,
        Int = 2,
        Float = 4,
        String = 8,
        List = 16,
    };

    uint8_t type = 0;
    uint8_t boolValue = 0;
    int32_t intValue = 0;
    float floatValue = 0.0f;
    std::string stringValue;
    std::vector<std::string> listValue;
    int32_t intMinimum = 0;
    float floatMinimum = 0.0f;
    int32_t intMaximum = 0;
    float floatMaximum = 0.0f;
};
