#include "Resources/ResourceManager.h"

#include <spdlog/spdlog.h>

#include "Resources/Resource.h"
#include "Scripting/ScriptContext.h"

ResourceManager::ResourceManager() = default;

ResourceManager::~ResourceManager()
{
    // Take each resource out of the map before destroying it, so that nothing reached from its
    // destruction finds it (or a half-destroyed map) through GetResources.
    while (!resourceMap.empty())
    {
        auto node = resourceMap.extract(resourceMap.begin());
        Withdraw(node.mapped().get());
        node.mapped().reset();
    }
}

Resource* ResourceManager::CreateResource(const std::string& name)
{
    if (resourceMap.contains(name))
        return nullptr;
    auto resource = std::make_unique<Resource>(name);
    Resource* created = resource.get();
    resourceMap.emplace(name, std::move(resource));
    Enroll(created);
    return created;
}

void ResourceManager::StopResource(const std::string& name)
{
    auto found = resourceMap.find(name);
    if (found == resourceMap.end())
        return;

    if (found->second->IsStarted())
    {
        ScriptContext args;
        args.AddString(name);
        if (!TriggerEvent("resourceStop", kServerEventSource, false, args))
        {
            spdlog::info("[ResourceManager] Stopping of resource {} was canceled.", name);
            return;
        }
        // The handlers may have changed the map; look the resource up again.
        found = resourceMap.find(name);
        if (found == resourceMap.end())
            return;
    }

    // Out of the map first: while it is destroyed no event or lookup reaches it any more.
    std::unique_ptr<Resource> resource = std::move(found->second);
    resourceMap.erase(found);
    Withdraw(resource.get());
    resource.reset();
}

Resource* ResourceManager::GetResource(const std::string& name)
{
    auto found = resourceMap.find(name);
    return found == resourceMap.end() ? nullptr : found->second.get();
}

void ResourceManager::Process()
{
    ForEachResource([](ResourceEvent* resource) { static_cast<Resource*>(resource)->Process(); });
}

std::unordered_map<std::string, Resource*> ResourceManager::GetResources()
{
    std::unordered_map<std::string, Resource*> copy;
    copy.reserve(resourceMap.size());
    for (const auto& [name, resource] : resourceMap)
        copy.emplace(name, resource.get());
    return copy;
}
