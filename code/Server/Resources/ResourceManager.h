#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "Resources/ResourceEventManager.h"

class Resource;

// Owns every resource of the server, keyed by name (case-sensitive).
class ResourceManager final : public ResourceEventManager
{
public:
    ResourceManager();
    ~ResourceManager();

    // Null when a resource of that name exists; otherwise a new resource, neither loaded nor started.
    Resource* CreateResource(const std::string& name);
    // Raises the cancelable "resourceStop" for a started resource, then destroys it and frees the name.
    void StopResource(const std::string& name);
    Resource* GetResource(const std::string& name);
    // One main-loop pass over every resource.
    void Process();

    std::unordered_map<std::string, Resource*> GetResources() override;

private:
    std::unordered_map<std::string, std::unique_ptr<Resource>> resourceMap;
};
