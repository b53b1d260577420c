#include "Server/Settings.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <system_error>

#include <spdlog/spdlog.h>
#include <tinyxml2.h>

namespace
{

// std::string compares with char_traits<char>::compare (memcmp): bytewise, as the file order needs.
std::map<std::string, Setting> g_settings;
std::filesystem::path g_path;
bool g_loaded = false;

Setting* FindMutable(const std::string& key)
{
    auto it = g_settings.find(key);
    return it == g_settings.end() ? nullptr : &it->second;
}

bool IsSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Reads a base-10 integer the way the file format expects: leading white space skipped, an optional
// sign, digits, stop at the first other character. No digits at all, or a value that does not fit
// 32 bits, gives no value.
std::optional<int32_t> ParseInt(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    bool anyDigit = false;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    {
        anyDigit = true;
        if (!overflow)
        {
            value = value * 10 + (text[i] - '0');
            if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1)
                overflow = true;
        }
    }
    if (!anyDigit || overflow)
        return std::nullopt;
    if (negative)
        value = -value;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(value);
}

// The floating-point counterpart of ParseInt; out-of-range values give no value.
std::optional<float> ParseFloat(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    {
        negative = text[i] == '-';
        ++i;
    }
    // from_chars would accept a second minus sign itself.
    if (i >= text.size() || text[i] == '+' || text[i] == '-')
        return std::nullopt;
    float value = 0.0f;
    auto result = std::from_chars(text.data() + i, text.data() + text.size(), value);
    if (result.ec != std::errc())
        return std::nullopt;
    return negative ? -value : value;
}

std::string PathText()
{
    return g_path.string();
}

} // namespace

std::string FloatToString(float value)
{
    int length = std::snprintf(nullptr, 0, "%f", static_cast<double>(value));
    if (length <= 0)
        return {};
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%f", static_cast<double>(value));
    text.resize(static_cast<size_t>(length));
    return text;
}

bool Settings::Load(const std::filesystem::path& path, bool createIfMissing, bool clientSet)
{
    g_path = path;
    // A repeated load must not write the file while reading it either.
    g_loaded = false;
    SetDefaults(clientSet);

    std::error_code error;
    bool exists = std::filesystem::exists(path, error);
    if (error)
    {
        // Existence unknown (no access, for example): treat it as an unreadable file.
        spdlog::error("[Settings] Failed to load settings file {}.", PathText());
        return false;
    }

    if (exists)
    {
        tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
        if (document.LoadFile(path.string().c_str()) != tinyxml2::XML_SUCCESS)
        {
            spdlog::error("[Settings] Failed to load settings file {}.", PathText());
            return false;
        }

        // A document without any element (only a comment, say) leaves the defaults in force.
        if (tinyxml2::XMLElement* root = document.RootElement())
        {
            for (tinyxml2::XMLElement* element = root->FirstChildElement(); element != nullptr;
                 element = element->NextSiblingElement())
            {
                std::string name = element->Name();
                if (Find(name) == nullptr)
                {
                    spdlog::error("[Settings] File setting {} does not exist.", name);
                    continue;
                }
                const char* text = element->GetText();
                SetFromString(name, text != nullptr ? text : "");
            }
        }
        g_loaded = true;
        return true;
    }

    if (createIfMissing)
    {
        spdlog::info("[Settings] Settings file {} does not exist, it will now be created.", PathText());
        if (Save(true))
        {
            g_loaded = true;
            return true;
        }
        spdlog::error("[Settings] Failed to create settings file {}.", PathText());
        return false;
    }

    spdlog::error("[Settings] Settings file {} does not exist.", PathText());
    return false;
}

bool Settings::Save(bool force)
{
    if (!force && !g_loaded)
        return false;

    std::string pathText = g_path.string();
    if (force)
    {
        std::FILE* file = std::fopen(pathText.c_str(), "wb");
        if (file == nullptr)
        {
            spdlog::debug("[Settings] Failed to open settings file for writing.");
            return false;
        }
        static constexpr char kEmptyDocument[] = "<settings />";
        bool written =
            std::fwrite(kEmptyDocument, 1, sizeof(kEmptyDocument) - 1, file) == sizeof(kEmptyDocument) - 1;
        if (std::fclose(file) != 0 || !written)
        {
            spdlog::debug("[Settings] Failed to open settings file for writing.");
            return false;
        }
    }

    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    if (document.LoadFile(pathText.c_str()) != tinyxml2::XML_SUCCESS)
    {
        spdlog::error("[Settings] Failed to load settings file {}.", pathText);
        return false;
    }
    tinyxml2::XMLElement* root = document.RootElement();
    if (root == nullptr)
        root = document.InsertEndChild(document.NewElement("settings"))->ToElement();

    for (const auto& [key, setting] : g_settings)
    {
        tinyxml2::XMLElement* element = root->FirstChildElement(key.c_str());
        if (setting.type == Setting::List)
        {
            while (element != nullptr)
            {
                tinyxml2::XMLElement* next = element->NextSiblingElement(key.c_str());
                root->DeleteChild(element);
                element = next;
            }
            for (const auto& item : setting.listValue)
            {
                tinyxml2::XMLElement* added = document.NewElement(key.c_str());
                added->InsertEndChild(document.NewText(item.c_str()));
                root->InsertEndChild(added);
            }
            continue;
        }

        std::string text = GetAsString(key);
        if (element != nullptr)
            element->DeleteChildren();
        else
            element = root->InsertEndChild(document.NewElement(key.c_str()))->ToElement();
        element->InsertEndChild(document.NewText(text.c_str()));
    }

    return document.SaveFile(pathText.c_str(), false) == tinyxml2::XML_SUCCESS;
}

void Settings::SetDefaults(bool clientSet)
{
    if (!clientSet)
    {
        AddString("hostaddress", "127.0.0.1");
        AddString("hostname", "Lanternfall Server");
        AddString("gamemode", "Freeroam");
        AddBool("listed", true);
        AddInt("port", 9999, 1024, 65535);
        AddInt("maxplayers", 32, 1, 100);
        AddInt("episode", 0, 0, 2);
        AddString("secret", "tarragon");
        AddInt("loglevel", 2, 0, 6);
        AddBool("chat", true);
        if (Find("resource") == nullptr)
        {
            Setting list;
            list.type = Setting::List;
            g_settings.emplace("resource", std::move(list));
        }
    }
    else
    {
        AddString("ip", "127.0.0.1");
        AddInt("port", 9999, 1024, 65535);
        AddString("nick", "");
        AddInt("chatKey", 0, 0, 2);
        AddString("gamePath", "");
        AddInt("loglevel", 2, 0, 6);
        AddBool("ackShortcut", false);
        AddBool("closeAtStart", true);
    }
}

bool Settings::SetFromString(const std::string& key, const std::string& text)
{
    Setting* setting = FindMutable(key);
    if (setting == nullptr)
        return false;

    switch (setting->type)
    {
    case Setting::Bool:
        setting->boolValue = (text == "0" || text == "false") ? 0 : 1;
        break;
    case Setting::Int:
    {
        // No number, a number beyond 32 bits or one outside the bounds: the old value stays.
        std::optional<int32_t> value = ParseInt(text);
        if (!value || *value < setting->intMinimum || *value > setting->intMaximum)
            return true;
        setting->intValue = *value;
        break;
    }
    case Setting::Float:
    {
        std::optional<float> value = ParseFloat(text);
        // Written so that NaN counts as outside the bounds.
        if (!value || !(*value >= setting->floatMinimum && *value <= setting->floatMaximum))
            return true;
        setting->floatValue = *value;
        break;
    }
    case Setting::String:
        setting->stringValue = text;
        break;
    case Setting::List:
        setting->listValue.push_back(text);
        break;
    default:
        return true;
    }

    Save(false);
    return true;
}

bool Settings::AddBool(const std::string& key, bool value)
{
    if (Find(key) != nullptr)
        return false;
    Setting setting;
    setting.type = Setting::Bool;
    setting.boolValue = value ? 1 : 0;
    g_settings.emplace(key, std::move(setting));
    Save(false);
    return true;
}

bool Settings::AddInt(const std::string& key, int32_t value, int32_t minimum, int32_t maximum)
{
    if (Find(key) != nullptr)
        return false;
    Setting setting;
    setting.type = Setting::Int;
    setting.intValue = value;
    setting.intMinimum = minimum;
    setting.intMaximum = maximum;
    g_settings.emplace(key, std::move(setting));
    Save(false);
    return true;
}

bool Settings::AddString(const std::string& key, const std::string& value)
{
    if (Find(key) != nullptr)
        return false;
    Setting setting;
    setting.type = Setting::String;
    setting.stringValue = value;
    g_settings.emplace(key, std::move(setting));
    Save(false);
    return true;
}

const Setting* Settings::Find(const std::string& key)
{
    return FindMutable(key);
}

bool Settings::GetBool(const std::string& key)
{
    const Setting* setting = Find(key);
    return setting != nullptr && (setting->type & Setting::Bool) != 0 && setting->boolValue != 0;
}

int32_t Settings::GetInt(const std::string& key)
{
    const Setting* setting = Find(key);
    return setting != nullptr && (setting->type & Setting::Int) != 0 ? setting->intValue : 0;
}

std::string Settings::GetString(const std::string& key)
{
    const Setting* setting = Find(key);
    return setting != nullptr && (setting->type & Setting::String) != 0 ? setting->stringValue
                                                                        : std::string();
}

std::vector<std::string> Settings::GetList(const std::string& key)
{
    const Setting* setting = Find(key);
    return setting != nullptr && (setting->type & Setting::List) != 0 ? setting->listValue
                                                                      : std::vector<std::string>();
}

std::string Settings::GetAsString(const std::string& key)
{
    const Setting* setting = Find(key);
    if (setting == nullptr)
        return {};
    switch (setting->type)
    {
    case Setting::Bool:
        return setting->boolValue != 0 ? "true" : "false";
    case Setting::Int:
        return std::to_string(setting->intValue);
    case Setting::Float:
        return FloatToString(setting->floatValue);
    case Setting::String:
        return setting->stringValue;
    default:
        return {};
    }
}

void Settings::InsertForTesting(const std::string& key, const Setting& setting)
{
    g_settings[key] = setting;
}

void Settings::ResetForTesting()
{
    g_settings.clear();
    g_path.clear();
    g_loaded = false;
}
