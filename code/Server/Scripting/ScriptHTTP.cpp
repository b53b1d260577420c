// Script module HTTP: requests to web services, blocking or with a callback.

#include "Scripting/ScriptHTTP.h"

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <spdlog/spdlog.h>

#include "Network/HttpClient.h"
#include "Resources/Resource.h"
#include "Resources/ResourceManager.h"
#include "Scripting/ScriptFunctionRef.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptVM.h"
#include "Server/Server.h"

namespace
{

struct MethodName
{
    const char* text;
    HttpMethod method;
};

// Compared byte for byte: "GET" or "Post" is no method.
constexpr MethodName kMethods[] = {
    {"get", HttpMethod::Get},         {"post", HttpMethod::Post},     {"put", HttpMethod::Put},
    {"head", HttpMethod::Head},       {"delete", HttpMethod::Delete}, {"patch", HttpMethod::Patch},
    {"options", HttpMethod::Options},
};

std::optional<HttpMethod> ParseMethod(const std::string& text)
{
    for (const MethodName& each : kMethods)
    {
        if (text == each.text)
            return each.method;
    }
    return std::nullopt;
}

// Reads arguments 1 to 5 into `request` (its method aside). False when a read failed; the getter
// has raised or recorded the script error.
bool ReadRequest(ScriptVM* vm, std::string& method, HttpRequest& request)
{
    std::string contentType;
    std::map<std::string, std::string> headers;
    if (!vm->GetString(1, request.url) || !vm->GetString(2, method) || !vm->GetString(3, request.body) ||
        !vm->GetString(4, contentType) || !vm->GetTable(5, headers))
        return false;
    // Only the exact key keeps the argument out. The client layer then keeps the first of keys that
    // differ in case only, and "Content-Type" sorts before "content-type": a table value always wins.
    headers.try_emplace("content-type", contentType);
    request.headers.assign(headers.begin(), headers.end());
    return true;
}

// One accepted asynchronous request, as far as the script side is concerned. Created and destroyed
// on the main thread only, and never touched by the client thread that runs the transfer: the callback
// reference holds a Squirrel reference count, which is not thread-safe, and it is also reached by
// ScriptFunctionRef::ReleaseSquirrelFunctions when a Squirrel VM closes.
//
// The calling VM is not kept as a pointer: by the time the response arrives it may be gone. It is
// found again by resource name and VM family, and a script thread by its raw state.
struct HttpRequestTask
{
    std::string resourceName;
    uint64_t family = 0;
    ScriptVM* thread = nullptr; // the calling script thread object; null for the main VM
    void* threadState = nullptr;
    ScriptFunctionRef callback;
    std::string url;
};

std::atomic<size_t> pendingRequests{0};

// The VM that may run the task's callback now, or null when the callback must be dropped. A callback
// asked for by a script thread runs on its resource's main VM (same globals, same functions): the
// thread itself sits suspended inside a pause between passes, and nothing may be called on a
// suspended coroutine or thread VM.
ScriptVM* FindCallbackVM(const HttpRequestTask& task)
{
    if (g_server == nullptr || !g_server->resourceManager)
        return nullptr;
    Resource* resource = g_server->resourceManager->GetResource(task.resourceName);
    if (resource == nullptr || !resource->IsStarted())
        return nullptr;
    ScriptVM* main = resource->GetVM();
    // A restarted resource has a VM of another family, which never saw this callback.
    if (main == nullptr || main->GetFamilyId() != task.family)
        return nullptr;
    if (task.thread == nullptr)
        return main;
    for (ScriptVM* thread : main->GetThreads())
    {
        if (thread == task.thread && thread->GetState() == task.threadState)
            return main;
    }
    return nullptr;
}

// Main thread: hands the response to the callback when its VM is still there, then lets the task go.
void DeliverResponse(HttpRequestTask* raw, const HttpResponse& response)
{
    struct Done
    {
        ~Done() { pendingRequests.fetch_sub(1); }
    } done;
    std::unique_ptr<HttpRequestTask> task(raw);
    if (ScriptVM* vm = FindCallbackVM(*task))
        InvokeHTTPRequestCallback(vm, task->callback, task->url, response);
}

} // namespace

int32_t ScriptHTTPRequest(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string method;
    HttpRequest request;
    if (!ReadRequest(vm, method, request))
        return -1;

    HttpResponse response;
    if (std::optional<HttpMethod> parsed = ParseMethod(method))
    {
        request.method = *parsed;
        response = HttpClient::Perform(request);
    }

    if (vm->GetType() == ScriptVMType::Lua)
    {
        vm->PushLong(response.status);
        vm->PushString(response.body);
        return 2;
    }
    vm->PushNewArray();
    vm->PushLong(response.status);
    vm->ArraySet(1);
    vm->PushString(response.body);
    vm->ArraySet(2);
    return 1;
}

int32_t ScriptHTTPRequestAsync(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string method;
    HttpRequest request;
    ScriptFunctionRef callback;
    if (!ReadRequest(vm, method, request) || !vm->GetFunction(6, callback))
        return -1;

    std::optional<HttpMethod> parsed = ParseMethod(method);
    Server* server = g_server;
    // Without a server there is no main loop that could ever deliver the callback.
    if (!parsed || server == nullptr)
        return 0;
    request.method = *parsed;

    auto* task = new HttpRequestTask();
    Resource* resource = vm->GetResource();
    task->resourceName = resource != nullptr ? resource->GetName() : std::string();
    task->family = vm->GetFamilyId();
    if (!vm->IsMain())
    {
        task->thread = vm;
        task->threadState = vm->GetState();
    }
    task->callback = std::move(callback);
    task->url = request.url;

    // From here the task belongs to the posted delivery; should PerformAsync throw halfway, it is leaked
    // rather than risked being freed twice.
    pendingRequests.fetch_add(1);
    HttpClient::PerformAsync(
        std::move(request), [server, task](HttpResponse response)
        { server->tasks.Post([task, response = std::move(response)] { DeliverResponse(task, response); }); });
    return 0;
}

void InvokeHTTPRequestCallback(ScriptVM* vm, const ScriptFunctionRef& callback, const std::string& url,
                               const HttpResponse& response)
{
    if (!vm->PushFunction(callback))
    {
        spdlog::error("[HTTP] Failed to push function of request to {}.", url);
        return;
    }
    vm->PushLong(response.status);
    vm->PushString(response.body);
    if (!vm->Call(2, 0))
        spdlog::error("[HTTP] Failed to call function of request to {}.", url);
}

size_t GetPendingHTTPRequestCount()
{
    return pendingRequests.load();
}

namespace
{
const ScriptFunctionEntry kRequest("HTTP", "Request", &ScriptHTTPRequest);
const ScriptFunctionEntry kRequestAsync("HTTP", "RequestAsync", &ScriptHTTPRequestAsync);
} // namespace
