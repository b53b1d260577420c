#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Server/Setting.h"

// The process-wide configuration store, filled from settings.xml once during start-up and only
// read afterwards (from every thread, without a lock).
class Settings
{
public:
    static bool Load(const std::filesystem::path& path, bool createIfMissing, bool clientSet);
    static bool Save(bool force);
    static void SetDefaults(bool clientSet);
    static bool SetFromString(const std::string& key, const std::string& text);
    static bool AddBool(const std::string& key, bool value);
    static bool AddInt(const std::string& key, int32_t value, int32_t minimum, int32_t maximum);
    static bool AddString(const std::string& key, const std::string& value);
    static const Setting* Find(const std::string& key);

    static bool GetBool(const std::string& key);
    static int32_t GetInt(const std::string& key);
    static std::string GetString(const std::string& key);
    static std::vector<std::string> GetList(const std::string& key);
    static std::string GetAsString(const std::string& key);

    // Empties the store and forgets the file (tests load several configurations in one process).
    static void ResetForTesting();
    // Puts an entry in directly, replacing any of that key; the only way to get a float setting.
    static void InsertForTesting(const std::string& key, const Setting& setting);
};

std::string FloatToString(float value);
