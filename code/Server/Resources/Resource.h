#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Network/Packets.h"
#include "Resources/ResourceEvent.h"
#include "Resources/ResourceFile.h"
#include "Scripting/ScriptVM.h"

class Client;
class MySQL;
class ScriptContext;

// Language of a resource's server-side scripts, as meta.xml names it.
enum ResourceScriptType : uint32_t
{
    ResourceLua = 0,
    ResourceSquirrel = 1,
};

// Makes the main VM of a starting resource in place of the built-in one (tests).
using ScriptVMFactory = std::function<std::unique_ptr<ScriptVM>(Resource*)>;

// One package of scripts and files in "resources/{name}", described by its meta.xml. Created, loaded,
// started and destroyed through the ResourceManager; stopping and unloading happen only on destruction.
class Resource final : public ResourceEvent
{
public:
    explicit Resource(std::string name);
    ~Resource();
    Resource(const Resource&) = delete;
    Resource& operator=(const Resource&) = delete;

    // Reads meta.xml, refreshes the cache and mounts the cache folder at "/{name}".
    bool Load();
    bool ParseMeta();
    // Creates the VM, runs the server and shared scripts in meta.xml order, tells every client and
    // queues "resourceStart".
    bool Start();
    bool CreateVM();
    // One main-loop pass: script threads, queued database queries, then queued events.
    void Process();
    // Calls a server or shared export of a started resource.
    bool CallExport(const std::string& function, const ScriptContext& args, ScriptContext& results);
    // Tells one client what to download: client-visible files and exports.
    void SendResourceInfo(Client* client);
    ResourceInfoPacket BuildResourceInfo() const;

    ScriptVM* GetVM() override { return vm.get(); }
    std::string GetName() override { return name; }

    bool IsLoaded() const { return loaded; }
    bool IsStarted() const { return started; }
    uint32_t GetScriptType() const { return scriptType; }
    const std::filesystem::path& GetResourcePath() const { return resourcePath; }
    const std::filesystem::path& GetCachePath() const { return cachePath; }
    const std::vector<std::unique_ptr<ResourceFile>>& GetFiles() const { return files; }
    const std::vector<std::unique_ptr<ResourceExport>>& GetExports() const { return exports; }

    // Puts a maker in place of the built-in VM of a script type (0 lua, 1 squirrel); an empty function
    // removes the replacement.
    static void SetVMFactoryForTesting(uint32_t scriptType, ScriptVMFactory factory);
    // Folder that holds "resources" and "cache" instead of the program folder; empty restores it.
    static void SetBaseDirectoryForTesting(const std::filesystem::path& folder);

    // A name must name one folder below "resources": not empty, not "." or "..", no separator.
    static bool IsValidName(const std::string& name);
    // A src must stay below the resource folder: not empty, relative, no ".." segment.
    static bool IsValidPath(const std::string& src);
    // The text from the last "." of the src to its end; empty when there is no ".".
    static std::string GetExtension(const std::string& src);
    static bool IsBlockedExtension(const std::string& extension);

    // The main VM, set exactly while the resource is started (or being started). Script-runtime tests
    // install one directly on a resource that is never loaded.
    std::unique_ptr<ScriptVM> vm;
    // The database connection of the scripts, made with the VM and torn down with it; tests that
    // install a VM directly install this too when they need it.
    std::unique_ptr<MySQL> mysql;

private:
    void Stop();
    void Unload();
    // Deletes whatever the cache folder holds beyond the files of the current meta.xml.
    bool RemoveStaleCacheFiles();

    std::string name;
    std::filesystem::path resourcePath;
    std::filesystem::path cachePath;
    bool loaded = false;
    bool started = false;
    std::vector<std::unique_ptr<ResourceFile>> files;
    std::vector<std::unique_ptr<ResourceExport>> exports;
    uint32_t scriptType = ResourceLua;

    bool nameValid = false;
    bool cacheFolderReady = false;
};
