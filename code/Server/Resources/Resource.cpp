#include "Resources/Resource.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <tinyxml2.h>

#include "Network/ClientRegistry.h"
#include "Network/HttpServer.h"
#include "Network/Network.h"
#include "Resources/MySQL.h"
#include "Resources/ResourceManager.h"
#include "Scripting/LuaVM.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/SquirrelVM.h"
#include "Server/Platform.h"
#include "Server/Server.h"

namespace
{
// Makers that tests put in place of the built-in VMs.
std::map<uint32_t, ScriptVMFactory>& TestVMFactories()
{
    static std::map<uint32_t, ScriptVMFactory> factories;
    return factories;
}

const ScriptVMFactory* FindTestVMFactory(uint32_t scriptType)
{
    auto found = TestVMFactories().find(scriptType);
    return found != TestVMFactories().end() ? &found->second : nullptr;
}

std::filesystem::path& BaseDirectoryOverride()
{
    static std::filesystem::path folder;
    return folder;
}

std::filesystem::path BaseDirectory()
{
    const std::filesystem::path& folder = BaseDirectoryOverride();
    return folder.empty() ? GetProgramDirectory() : folder;
}

// Existence as the checks of meta.xml need it: a file-system error counts as absence.
bool Exists(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::exists(path, error) && !error;
}

void LogParseReason(const std::string& name, const char* reason)
{
    spdlog::error("[Resource] Could not parse meta.xml for resource {} (reason: {}).", name, reason);
}

// "client" 0, "server" 1, "shared" 2; false for anything else (also a missing attribute).
bool ReadSideType(const tinyxml2::XMLElement* element, uint32_t& type)
{
    const char* text = element->Attribute("type");
    if (text == nullptr)
        return false;
    const std::string value = text;
    if (value == "client")
        type = 0;
    else if (value == "server")
        type = 1;
    else if (value == "shared")
        type = 2;
    else
        return false;
    return true;
}
} // namespace

Resource::Resource(std::string resourceName) : name(std::move(resourceName))
{
    const std::filesystem::path base = BaseDirectory();
    resourcePath = base / fmt::format("resources/{}", name);
    cachePath = base / fmt::format("cache/resources/{}", name);

    // An invalid name would put both folders somewhere else; nothing is created for it and Load refuses it.
    nameValid = IsValidName(name);
    if (nameValid)
    {
        std::error_code error;
        std::filesystem::create_directories(cachePath, error);
        cacheFolderReady = !error;
    }
    spdlog::debug("[Debug] Created resource: {}", name);
}

Resource::~Resource()
{
    spdlog::debug("[Debug] Destructor of resource {} called.", name);
    if (started)
        Stop();
    if (loaded)
        Unload();
}

bool Resource::Load()
{
    if (loaded)
        return true;

    if (!nameValid)
    {
        spdlog::error("[Resource] Invalid resource name {}.", name);
        return false;
    }

    if (!ParseMeta())
        return false;

    if (!cacheFolderReady)
    {
        std::error_code error;
        std::filesystem::create_directories(cachePath, error);
        cacheFolderReady = !error;
    }
    bool cacheUpdated = cacheFolderReady;
    for (size_t i = 0; cacheUpdated && i < files.size(); ++i)
    {
        if (files[i]->GetKind() != ServerScript)
            cacheUpdated = files[i]->UpdateCache();
    }
    if (!cacheUpdated || !RemoveStaleCacheFiles())
    {
        spdlog::error("[Resource] Failed updating cache of resource {}.", name);
        return false;
    }

    if (g_server != nullptr && g_server->httpServer)
        g_server->httpServer->Mount(fmt::format("/{}", name), cachePath);

    loaded = true;
    return true;
}

bool Resource::ParseMeta()
{
    // A load that failed half-way may be retried: start from empty records rather than add to them.
    files.clear();
    exports.clear();

    const std::filesystem::path metaPath = resourcePath / "meta.xml";
    if (!Exists(metaPath))
    {
        spdlog::error("[Resource] Could not find meta.xml for resource {} (path: {}).", name,
                      metaPath.string());
        return false;
    }

    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    if (document.LoadFile(metaPath.c_str()) != tinyxml2::XML_SUCCESS)
    {
        spdlog::error("[Resource] Could not load meta.xml for resource {} (error: {}).", name,
                      document.ErrorStr());
        return false;
    }

    // Paths of the files that go to the cache, as the file system sees them ("a//b" is "a/b"): two
    // entries for one cache file would overwrite each other there.
    std::set<std::filesystem::path> cachedPaths;
    const auto claimCachePath = [&](const std::string& src)
    {
        if (cachedPaths.insert(std::filesystem::path(src).lexically_normal()).second)
            return true;
        spdlog::error("[Resource] {} is declared more than once (resource: {}).", src, name);
        return false;
    };

    const tinyxml2::XMLElement* root = document.FirstChildElement("meta");
    if (root == nullptr)
    {
        LogParseReason(name, "meta attribute");
        return false;
    }

    const char* typeText = root->Attribute("type");
    if (typeText == nullptr)
    {
        LogParseReason(name, "resource type attribute");
        return false;
    }
    const std::string type = typeText;
    if (type == "lua")
        scriptType = ResourceLua;
    else if (type == "squirrel")
        scriptType = ResourceSquirrel;
    else
    {
        LogParseReason(name, "unknown resource type");
        return false;
    }

    for (const tinyxml2::XMLElement* script = root->FirstChildElement("script"); script != nullptr;
         script = script->NextSiblingElement("script"))
    {
        const char* srcText = script->Attribute("src");
        if (srcText == nullptr)
        {
            LogParseReason(name, "script src attribute");
            return false;
        }
        const std::string src = srcText;
        if (!IsValidPath(src))
        {
            spdlog::error("[Resource] Invalid path {} in resource {}.", src, name);
            return false;
        }

        const std::string extension = GetExtension(src);
        if (scriptType == ResourceLua && extension != ".lua")
        {
            spdlog::error("[Resource] {} isn't a lua file (resource: {}).", src, name);
            return false;
        }
        if (scriptType == ResourceSquirrel && extension != ".nut" && extension != ".sq")
        {
            spdlog::error("[Resource] {} isn't a squirrel file (resource: {}).", src, name);
            return false;
        }

        if (!Exists(resourcePath / src))
        {
            spdlog::error("[Resource] Could not find {} declared in resource {}.", src, name);
            return false;
        }

        uint32_t kind = 0;
        if (!ReadSideType(script, kind))
        {
            spdlog::error("[Resource] Could not detect script type of {} (resource: {}).", src, name);
            return false;
        }
        if (kind != ServerScript && !claimCachePath(src))
            return false;
        files.push_back(std::make_unique<ResourceFile>(this, src, kind));
    }

    for (const tinyxml2::XMLElement* file = root->FirstChildElement("file"); file != nullptr;
         file = file->NextSiblingElement("file"))
    {
        const char* srcText = file->Attribute("src");
        if (srcText == nullptr)
        {
            LogParseReason(name, "file src attribute");
            return false;
        }
        const std::string src = srcText;
        if (!IsValidPath(src))
        {
            spdlog::error("[Resource] Invalid path {} in resource {}.", src, name);
            return false;
        }

        // The clients' platform drops trailing dots and blanks from a file name: "a.exe. " is a.exe.
        const std::string trimmed = src.substr(0, src.find_last_not_of(". ") + 1);
        if (IsBlockedExtension(GetExtension(trimmed)))
        {
            spdlog::error("[Resource] Blocked dangerous looking file {}. (resource: {}).", src, name);
            return false;
        }

        if (!Exists(resourcePath / src))
        {
            spdlog::error("[Resource] Could not find {} declared in resource {}.", src, name);
            return false;
        }
        if (!claimCachePath(src))
            return false;
        files.push_back(std::make_unique<ResourceFile>(this, src, PlainFile));
    }

    for (const tinyxml2::XMLElement* exported = root->FirstChildElement("export"); exported != nullptr;
         exported = exported->NextSiblingElement("export"))
    {
        const char* function = exported->Attribute("function");
        if (function == nullptr)
        {
            LogParseReason(name, "export function attribute");
            return false;
        }
        uint32_t type = 0;
        if (!ReadSideType(exported, type))
        {
            spdlog::error("[Resource] Could not detect export type of {} (resource: {}).", function, name);
            return false;
        }
        exports.push_back(std::make_unique<ResourceExport>(ResourceExport{function, type}));
    }
    return true;
}

bool Resource::RemoveStaleCacheFiles()
{
    namespace fs = std::filesystem;
    // The files of this load and every folder above them stay; anything else was put there by an
    // earlier meta.xml and must not be served any more.
    std::set<fs::path> keep;
    for (const std::unique_ptr<ResourceFile>& file : files)
    {
        if (file->GetKind() == ServerScript)
            continue;
        for (fs::path path = fs::path(file->GetPath()).lexically_normal(); !path.empty();
             path = path.parent_path())
            keep.insert(path);
    }

    std::vector<fs::path> stale;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(cachePath, error); !error && it != fs::end(it);
         it.increment(error))
    {
        if (keep.contains(it->path().lexically_relative(cachePath)))
            continue;
        stale.push_back(it->path());
        it.disable_recursion_pending();
    }
    if (error)
    {
        spdlog::error("[Resource] Failed to list the cache of resource {} (error: {}).", name,
                      error.message());
        return false;
    }
    for (const fs::path& path : stale)
    {
        if (fs::remove_all(path, error) == static_cast<std::uintmax_t>(-1) || error)
        {
            spdlog::error("[Resource] Failed to remove {} from the cache of resource {} (error: {}).",
                          path.lexically_relative(cachePath).string(), name, error.message());
            return false;
        }
    }
    return true;
}

bool Resource::Start()
{
    if (started)
        return true;
    if (!loaded)
        return false;

    if (!CreateVM())
    {
        spdlog::error("[Resource] Failed to create VM for resource {}.", name);
        return false;
    }

    for (const std::unique_ptr<ResourceFile>& file : files)
    {
        if (file->GetKind() != ServerScript && file->GetKind() != SharedScript)
            continue;

        std::string code;
        bool ran = false;
        if (!file->Read(code))
            spdlog::error("[Resource] Unable to open {} of resource {}.", file->GetPath(), name);
        else
            ran = vm->LoadScript(file->GetPath(), code);

        if (!ran)
        {
            ClearEvents();
            vm.reset();
            mysql.reset();
            return false;
        }
    }

    if (g_server != nullptr && g_server->clientRegistry)
        g_server->clientRegistry->ForEachClient([this](Client* client) { SendResourceInfo(client); });

    if (g_server != nullptr && g_server->resourceManager)
    {
        ScriptContext args;
        args.AddString(name);
        g_server->resourceManager->QueueEvent("resourceStart", kServerEventSource, false, args);
    }

    started = true;
    spdlog::info("[Resource] Started resource {}.", name);
    return true;
}

bool Resource::CreateVM()
{
    if (vm)
        return false;

    if (const ScriptVMFactory* factory = FindTestVMFactory(scriptType))
    {
        vm = (*factory)(this);
    }
    else if (scriptType == ResourceLua)
    {
        vm = std::make_unique<LuaVM>(this);
    }
    else if (scriptType == ResourceSquirrel)
    {
        vm = std::make_unique<SquirrelVM>(this);
    }
    else
    {
        spdlog::error("[Resource] Failed to create VM => Invalid resource script type.");
        return false;
    }
    if (!vm)
        return false;
    mysql = std::make_unique<MySQL>(this);

    RegisterScriptModules(vm.get());
    vm->LoadBuiltins();
    return true;
}

void Resource::Process()
{
    if (!started)
        return;
    vm->ProcessThreads();
    if (mysql)
        mysql->Process();
    ProcessQueue();
}

void Resource::Stop()
{
    if (!started)
        return;

    // Handlers hold references into the VM: release them before the VM goes.
    ClearEvents();
    vm.reset();
    // Closes the connection; queued queries go without their callbacks.
    mysql.reset();

    if (g_server != nullptr && g_server->network)
        g_server->network->BroadcastPacket(ResourceStopPacket{name});

    started = false;
    spdlog::info("[Resource] Stopped resource {}.", name);
}

void Resource::Unload()
{
    if (!loaded)
        return;
    if (started)
    {
        spdlog::warn("[Resource] Tried to unload resource {}, while it was still started.", name);
        return;
    }

    files.clear();
    exports.clear();
    if (g_server != nullptr && g_server->httpServer)
        g_server->httpServer->Unmount(fmt::format("/{}", name));
    loaded = false;
}

bool Resource::CallExport(const std::string& function, const ScriptContext& args, ScriptContext& results)
{
    if (!started)
        return false;
    for (const std::unique_ptr<ResourceExport>& exported : exports)
    {
        if (exported->type == 0 || exported->function != function)
            continue;
        if (vm->CallGlobal(function, args, &results))
            return true;
    }
    return false;
}

ResourceInfoPacket Resource::BuildResourceInfo() const
{
    ResourceInfoPacket packet;
    packet.name = name;
    packet.scriptType = static_cast<int32_t>(scriptType);
    uint64_t index = 0;
    for (const std::unique_ptr<ResourceFile>& file : files)
    {
        if (file->GetKind() == ServerScript)
            continue;
        packet.paths[index] = file->GetPath();
        packet.checksums[index] = file->GetChecksum();
        packet.kinds[index] = static_cast<int32_t>(file->GetKind());
        ++index;
    }
    for (const std::unique_ptr<ResourceExport>& exported : exports)
    {
        if (exported->type != 1)
            packet.exports.push_back(exported->function);
    }
    return packet;
}

void Resource::SendResourceInfo(Client* client)
{
    if (client == nullptr || g_server == nullptr || !g_server->network)
        return;
    g_server->network->SendPacket(BuildResourceInfo(), *client);
}

void Resource::SetVMFactoryForTesting(uint32_t scriptType, ScriptVMFactory factory)
{
    if (factory)
        TestVMFactories()[scriptType] = std::move(factory);
    else
        TestVMFactories().erase(scriptType);
}

void Resource::SetBaseDirectoryForTesting(const std::filesystem::path& folder)
{
    BaseDirectoryOverride() = folder;
}

bool Resource::IsValidName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    if (name.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
        return false;
    return !std::filesystem::path(name).is_absolute();
}

bool Resource::IsValidPath(const std::string& src)
{
    if (src.empty() || src.find('\0') != std::string::npos)
        return false;
    // Absolute in either convention: the client that downloads the file may read "\" as a separator.
    if (src.front() == '/' || src.front() == '\\' || std::filesystem::path(src).is_absolute())
        return false;
    if (src.size() >= 2 && src[1] == ':')
        return false;

    size_t start = 0;
    while (start <= src.size())
    {
        size_t end = src.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = src.size();
        if (src.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

std::string Resource::GetExtension(const std::string& src)
{
    const size_t dot = src.rfind('.');
    return dot == std::string::npos ? std::string() : src.substr(dot);
}

bool Resource::IsBlockedExtension(const std::string& extension)
{
    static const std::array<const char*, 5> blocked = {".exe", ".bat", ".cmd", ".vbs", ".scr"};
    std::string lower = extension;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(blocked.begin(), blocked.end(), lower) != blocked.end();
}
