#include "Scripting/ScriptVM.h"

#include <unordered_map>

#include <spdlog/spdlog.h>

#include "Resources/Resource.h"

namespace
{
// Raw state -> VM. Never destroyed, so a VM that outlives static destruction still finds it.
std::unordered_map<void*, ScriptVM*>& StateMap()
{
    static auto* map = new std::unordered_map<void*, ScriptVM*>();
    return *map;
}

// Calls into script VMs running at once on this thread (ScriptCallDepth).
thread_local int t_callDepth = 0;

uint64_t NextFamilyId()
{
    static uint64_t last = 0;
    return ++last;
}
} // namespace

ScriptVM::ScriptVM(Resource* resource, bool isMain)
    : resource(resource), isMain(isMain), familyId(NextFamilyId())
{
}

ScriptVM::~ScriptVM()
{
    DestroyThreads();
    SetState(nullptr);
}

ScriptVM* ScriptVM::FromState(void* raw)
{
    if (raw == nullptr)
        return nullptr;
    const auto& map = StateMap();
    auto found = map.find(raw);
    return found == map.end() ? nullptr : found->second;
}

void ScriptVM::SetState(void* raw)
{
    auto& map = StateMap();
    if (state != nullptr)
    {
        auto found = map.find(state);
        if (found != map.end() && found->second == this)
            map.erase(found);
    }
    state = raw;
    if (raw != nullptr)
        map[raw] = this;
}

void ScriptVM::DestroyThreads()
{
    // Taken out of the list before deletion so that nothing can see a deleted thread object in it.
    std::vector<ScriptVM*> owned;
    owned.swap(threads);
    for (ScriptVM* thread : owned)
        delete thread;
}

ScriptCallDepth::ScriptCallDepth()
{
    ++t_callDepth;
}

ScriptCallDepth::~ScriptCallDepth()
{
    --t_callDepth;
}

bool ScriptCallDepth::Allowed() const
{
    return t_callDepth <= kLimit;
}

bool ScriptCallDepth::Refuse(const ScriptVM& target)
{
    Resource* resource = target.GetResource();
    spdlog::error("[ScriptVM] Call into resource {} refused: {}.",
                  resource != nullptr ? resource->GetName() : "", kRefusal);
    return false;
}
