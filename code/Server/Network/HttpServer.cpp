#include "Network/HttpServer.h"

#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <fmt/format.h>
#include <httplib.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <spdlog/spdlog.h>

#include "Network/ClientRegistry.h"
#include "Server/Server.h"
#include "Server/Settings.h"

// The library's own extension-to-type table, exported by the compiled library but not declared in
// its header. Returns null for an unknown extension.
namespace httplib::detail
{
const char* find_content_type(const std::string& path, const std::map<std::string, std::string>& user_data);
} // namespace httplib::detail

namespace
{
constexpr double kServerVersion = 1.6;
constexpr double kRequiredClientVersion = 1.9;
constexpr const char* kClientUserAgent = "Lanternfall/1";

uint64_t GetPlayerCount()
{
    Server* server = g_server;
    if (server == nullptr || !server->clientRegistry)
        return 0;
    return server->clientRegistry->GetPlayerCount();
}

// Only the game client gets JSON; anything else gets the library's empty 200.
bool IsGameClient(const httplib::Request& request)
{
    return request.has_header("User-Agent") && request.get_header_value("User-Agent") == kClientUserAgent;
}

void SetJson(httplib::Response& response, const rapidjson::Document& document)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    response.set_content(buffer.GetString(), buffer.GetSize(), "application/json");
}

rapidjson::Value JsonString(const std::string& text, rapidjson::Document::AllocatorType& allocator)
{
    return rapidjson::Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), allocator);
}

// True when `path` lies inside `folder` (both canonical).
bool IsInside(const std::filesystem::path& path, const std::filesystem::path& folder)
{
    auto pathIt = path.begin();
    for (auto folderIt = folder.begin(); folderIt != folder.end(); ++folderIt, ++pathIt)
    {
        if (pathIt == path.end() || *pathIt != *folderIt)
            return false;
    }
    return true;
}

bool ReadWholeFile(const std::filesystem::path& path, std::string& content)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file)
        return false;
    std::streamoff size = file.tellg();
    if (size < 0)
        return false;
    content.resize(static_cast<size_t>(size));
    file.seekg(0);
    file.read(content.data(), size);
    // A file that shrank meanwhile is served as far as it still goes.
    content.resize(static_cast<size_t>(file.gcount()));
    return !file.bad();
}
} // namespace

HttpServer::HttpServer() : server(std::make_unique<httplib::Server>())
{
    // The library writes a reply's head and body separately; with Nagle's algorithm on, the body then
    // waits for the client's delayed ACK, some 40 ms for every request on a kept-alive connection.
    server->set_tcp_nodelay(true);
    if (server->is_valid())
        spdlog::info("[HttpServer] Created HTTP Server.");
    else
        spdlog::error("[HttpServer] Failed to create HTTP Server.");
}

HttpServer::~HttpServer()
{
    if (!listenState)
        return;
    // stop() has no effect until the accept loop has begun, so repeat it until the thread ends.
    std::unique_lock lock(listenState->mutex);
    while (!listenState->changed.wait_for(lock, std::chrono::milliseconds(10),
                                          [this] { return listenState->finished; }))
    {
        lock.unlock();
        server->stop();
        lock.lock();
    }
}

void HttpServer::Start(const std::string& host, int32_t port)
{
    if (listenState)
        return;
    listenState = std::make_shared<ListenState>();
    std::thread(&HttpServer::ListenThread, this, server.get(), port, host, listenState).detach();
}

void HttpServer::ListenThread(HttpServer* self, httplib::Server* server, int32_t port, std::string host,
                              std::shared_ptr<ListenState> state)
{
    server->Post("/client", &HttpServer::HandleClientRequest);
    server->Get("/query", &HttpServer::HandleQueryRequest);
    // Only fires for mount points made on the library directly; ServeFile logs for our own table.
    server->set_file_request_handler(&HttpServer::LogFileRequest);
    // Our mount table answers ahead of the routes, as the library's own mount points would.
    server->set_pre_routing_handler(
        [self](const httplib::Request& request, httplib::Response& response)
        {
            return self->ServeFile(request, response) ? httplib::Server::HandlerResponse::Handled
                                                      : httplib::Server::HandlerResponse::Unhandled;
        });

    spdlog::info("[HttpServer] HTTP Server listening now on port {}.", port);
    if (!server->bind_to_port(host, port, 0))
        spdlog::error("[HttpServer] Failed to bind HTTP server to {}:{}.", host, port);
    else
        server->listen_after_bind();

    {
        std::lock_guard lock(state->mutex);
        state->finished = true;
    }
    state->changed.notify_all();
}

void HttpServer::HandleClientRequest(const httplib::Request& request, httplib::Response& response)
{
    if (!IsGameClient(request))
        return;

    std::string message;
    if (request.has_param("version"))
    {
        // std::stod throws on text without a number; the library turns that into status 500.
        double version = std::stod(request.get_param_value("version"));
        if (version < kRequiredClientVersion)
            message =
                fmt::format("Incompatible client version (Version {} required). Please update Lanternfall "
                            "to play on this server.",
                            kRequiredClientVersion);
    }

    uint64_t playerCount = GetPlayerCount();
    int32_t maxPlayers = Settings::GetInt("maxplayers");
    if (static_cast<int64_t>(playerCount) >= maxPlayers)
        message =
            fmt::format("The server is full ({}/{} players).", playerCount, Settings::GetInt("maxplayers"));

    rapidjson::Document document;
    document.SetObject();
    auto& allocator = document.GetAllocator();
    if (!message.empty())
        document.AddMember("error", JsonString(message, allocator), allocator);
    document.AddMember("version", kServerVersion, allocator);
    SetJson(response, document);
}

void HttpServer::HandleQueryRequest(const httplib::Request& request, httplib::Response& response)
{
    if (!IsGameClient(request))
        return;

    std::string hostname = Settings::GetString("hostname");
    std::string gamemode = Settings::GetString("gamemode");

    rapidjson::Document document;
    document.SetObject();
    auto& allocator = document.GetAllocator();
    document.AddMember("hostname", JsonString(hostname, allocator), allocator);
    document.AddMember("gamemode", JsonString(gamemode, allocator), allocator);
    document.AddMember("episode", Settings::GetInt("episode"), allocator);
    document.AddMember("players", rapidjson::Value(static_cast<uint64_t>(GetPlayerCount())), allocator);
    document.AddMember("maxplayers", Settings::GetInt("maxplayers"), allocator);
    SetJson(response, document);
}

void HttpServer::LogFileRequest(const httplib::Request& request, httplib::Response&)
{
    spdlog::debug("[Debug] FileRequest: {} from {}:{}.", request.path, request.remote_addr,
                  request.remote_port);
}

bool HttpServer::Mount(const std::string& mountPoint, const std::filesystem::path& folder)
{
    if (mountPoint.empty() || mountPoint.front() != '/')
        return false;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        return false;
    std::filesystem::path canonical = std::filesystem::canonical(folder, error);
    if (error)
        return false;

    std::unique_lock lock(mountMutex);
    for (MountEntry& entry : mounts)
    {
        if (entry.mountPoint == mountPoint)
        {
            entry.folder = std::move(canonical);
            return true;
        }
    }
    mounts.push_back({mountPoint, std::move(canonical)});
    return true;
}

bool HttpServer::Unmount(const std::string& mountPoint)
{
    std::unique_lock lock(mountMutex);
    for (auto it = mounts.begin(); it != mounts.end(); ++it)
    {
        if (it->mountPoint == mountPoint)
        {
            mounts.erase(it);
            return true;
        }
    }
    return false;
}

std::optional<std::filesystem::path> HttpServer::ResolveFile(const std::string& requestPath) const
{
    // A decoded %00 would cut the path short at the system call.
    if (requestPath.find('\0') != std::string::npos)
        return std::nullopt;

    std::shared_lock lock(mountMutex);
    for (const MountEntry& entry : mounts)
    {
        const std::string& mountPoint = entry.mountPoint;
        if (requestPath.compare(0, mountPoint.size(), mountPoint) != 0)
            continue;
        std::string rest = requestPath.substr(mountPoint.size());
        // "/name" must not answer "/namesake/...".
        if (!rest.empty() && rest.front() != '/' && mountPoint.back() != '/')
            continue;

        if (rest.empty() || rest.back() == '/')
            rest += "index.html";
        size_t start = rest.find_first_not_of('/');
        std::filesystem::path candidate =
            entry.folder / rest.substr(start == std::string::npos ? rest.size() : start);

        std::error_code error;
        std::filesystem::path resolved = std::filesystem::canonical(candidate, error);
        if (error || !IsInside(resolved, entry.folder))
            continue;
        if (!std::filesystem::is_regular_file(resolved, error))
            continue;
        return resolved;
    }
    return std::nullopt;
}

bool HttpServer::ServeFile(const httplib::Request& request, httplib::Response& response) const
{
    bool head = request.method == "HEAD";
    if (!head && request.method != "GET")
        return false;

    std::optional<std::filesystem::path> file = ResolveFile(request.path);
    if (!file)
        return false;
    std::string content;
    if (!ReadWholeFile(*file, content))
        return false;

    static const std::map<std::string, std::string> noExtraTypes;
    const char* type = httplib::detail::find_content_type(file->string(), noExtraTypes);
    response.body = std::move(content);
    response.set_header("Content-Type", type != nullptr ? type : "application/octet-stream");
    // The library cuts the requested ranges out of the body when it writes the response.
    response.status = request.has_header("Range") ? 206 : 200;

    if (!head)
        LogFileRequest(request, response);
    return true;
}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer builds only. The HTTP library is not instrumented: its function-local statics are
// set up behind a guard whose fast path the sanitizer cannot see, so worker threads reading them
// look like races. Ignoring the memory calls made from inside the library keeps reports about our
// own code (handlers, the mount table), which the library merely calls.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libcpp-httplib.so\n";
}
#endif
