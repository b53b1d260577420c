// Placeholder until the settings store lands.
#include "Server/Settings.h"
bool Settings::Load(const std::filesystem::path&, bool, bool) { return true; }
int32_t Settings::GetInt(const std::string&) { return 0; }
std::string Settings::GetString(const std::string&) { return {}; }
