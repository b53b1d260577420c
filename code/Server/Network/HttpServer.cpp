#include "Network/HttpServer.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
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
#include "Network/HttpConnection.h"
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
    // A file that shrank meanwhile is kept as far as it still goes.
    content.resize(static_cast<size_t>(file.gcount()));
    return !file.bad();
}

// The mount-relative key a request path below a mount point names: "." and empty segments dropped,
// ".." taking back the segment before it, "index.html" for a folder. Nothing when ".." would leave
// the mount or the path holds a NUL (a decoded %00).
std::optional<std::string> FileKey(std::string_view rest)
{
    if (rest.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::vector<std::string_view> segments;
    size_t start = 0;
    while (start <= rest.size())
    {
        size_t end = rest.find('/', start);
        if (end == std::string_view::npos)
            end = rest.size();
        std::string_view segment = rest.substr(start, end - start);
        if (segment == "..")
        {
            if (segments.empty())
                return std::nullopt;
            segments.pop_back();
        }
        else if (!segment.empty() && segment != ".")
        {
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::string key;
    for (std::string_view segment : segments)
    {
        if (!key.empty())
            key += '/';
        key += segment;
    }
    if (rest.empty() || rest.back() == '/')
        key += key.empty() ? "index.html" : "/index.html";
    return key;
}

// Every regular file below `folder` that stays inside it, by its relative path.
std::unordered_map<std::string, std::shared_ptr<const HttpServer::CachedFile>>
ReadFolder(const std::filesystem::path& folder)
{
    static const std::map<std::string, std::string> noExtraTypes;
    std::unordered_map<std::string, std::shared_ptr<const HttpServer::CachedFile>> files;
    std::error_code error;
    // Links to folders are not followed; links to files are kept when their target lies inside.
    std::filesystem::recursive_directory_iterator it(
        folder, std::filesystem::directory_options::skip_permission_denied, error);
    for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
    {
        std::error_code fileError;
        if (!it->is_regular_file(fileError))
            continue;
        std::filesystem::path resolved = std::filesystem::canonical(it->path(), fileError);
        if (fileError || !IsInside(resolved, folder))
            continue;
        auto file = std::make_shared<HttpServer::CachedFile>();
        if (!ReadWholeFile(resolved, file->content))
            continue;
        std::string key = it->path().lexically_relative(folder).generic_string();
        const char* type = httplib::detail::find_content_type(key, noExtraTypes);
        file->contentType = type != nullptr ? type : "application/octet-stream";
        files.emplace(std::move(key), std::move(file));
    }
    return files;
}

// The library's server, with connections served through HttpConnection and the listening socket in
// reach.
class ListeningServer : public httplib::Server
{
public:
    ListeningServer() : stopEvent(eventfd(0, EFD_CLOEXEC)) {}
    ~ListeningServer() override { close(stopEvent); }

    // The library listens with a backlog of 5: a burst of new connections would see refused or
    // retried handshakes long before a worker is short.
    void WidenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

    // Also ends the connections that wait for their next request.
    void StopServing()
    {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(stopEvent, &one, sizeof(one));
        stop();
    }

private:
    bool process_and_close_socket(int socket) override
    {
        HttpConnection connection(socket, stopEvent);
        connection.Serve([this](httplib::Stream& stream, bool lastRequest, bool& peerCloses)
                         { return process_request(stream, lastRequest, peerCloses, nullptr); });
        return true;
    }

    int stopEvent;
};

// True when the request announces a body longer than the server takes.
bool AnnouncesOversizeBody(const httplib::Request& request)
{
    if (!request.has_header("Content-Length"))
        return false;
    // Read as the library reads it: anything that is no number in range counts as too long.
    std::string text = request.get_header_value("Content-Length");
    errno = 0;
    char* end = nullptr;
    unsigned long long length = std::strtoull(text.c_str(), &end, 10);
    return errno != 0 || length > HttpServer::kMaxRequestBody;
}

// 413, and the connection ends after it: the body is left unread.
void RefuseOversizeBody(httplib::Response& response)
{
    response.status = 413;
    if (HttpConnection* connection = HttpConnection::Current())
        connection->CloseAfterReply();
}

bool CarriesBody(const httplib::Request& request)
{
    return request.has_header("Transfer-Encoding") ||
           (request.has_header("Content-Length") && request.get_header_value("Content-Length") != "0");
}

// Serves each accepted connection on a thread of its own for as long as the connection lasts (the
// library runs a connection's requests one after another on one thread). Threads are made as
// connections need them, up to HttpServer::kMaxWorkers, and end after a while without work, down to
// HttpServer::kMinWorkers; so idle or slow connections hold only their own thread.
class ConnectionWorkers : public httplib::TaskQueue
{
public:
    ConnectionWorkers() : state(std::make_shared<State>()) {}

    void enqueue(std::function<void()> job) override
    {
        std::lock_guard lock(state->mutex);
        state->jobs.push_back(std::move(job));
        if (state->idle < state->jobs.size() && state->threads < HttpServer::kMaxWorkers)
        {
            try
            {
                std::thread(&ConnectionWorkers::Work, state).detach();
                ++state->threads;
                return;
            }
            catch (const std::system_error&)
            {
                // Out of threads for now: the job waits for one of the existing workers.
            }
        }
        state->ready.notify_one();
    }

    // Serves the queued connections, then waits for every worker to end.
    void shutdown() override
    {
        std::unique_lock lock(state->mutex);
        state->stopping = true;
        state->ready.notify_all();
        state->ended.wait(lock, [this] { return state->threads == 0; });
    }

private:
    static constexpr std::chrono::seconds kIdleTime{30};

    struct State
    {
        std::mutex mutex;
        std::condition_variable ready;
        std::condition_variable ended;
        std::deque<std::function<void()>> jobs;
        size_t threads = 0;
        size_t idle = 0;
        bool stopping = false;
    };

    static void Work(std::shared_ptr<State> state)
    {
        std::unique_lock lock(state->mutex);
        for (;;)
        {
            ++state->idle;
            bool woken = state->ready.wait_for(lock, kIdleTime,
                                               [&] { return !state->jobs.empty() || state->stopping; });
            --state->idle;
            if (state->jobs.empty())
            {
                if (state->stopping || (!woken && state->threads > HttpServer::kMinWorkers))
                    break;
                continue;
            }
            std::function<void()> job = std::move(state->jobs.front());
            state->jobs.pop_front();
            lock.unlock();
            job();
            job = nullptr;
            lock.lock();
        }
        --state->threads;
        state->ended.notify_all();
    }

    std::shared_ptr<State> state;
};
} // namespace

HttpServer::HttpServer()
    : server(std::make_unique<ListeningServer>()), mounts(std::make_shared<const MountTable>())
{
    // The library writes a reply's head and body separately; with Nagle's algorithm on, the body then
    // waits for the client's delayed ACK, some 40 ms for every request on a kept-alive connection.
    server->set_tcp_nodelay(true);
    server->new_task_queue = [] { return new ConnectionWorkers(); };
    server->set_payload_max_length(kMaxRequestBody);
    // Only shown in the replies' Keep-Alive header; HttpConnection keeps to them.
    server->set_keep_alive_timeout(
        std::chrono::duration_cast<std::chrono::seconds>(HttpConnection::kKeepAliveTime).count());
    server->set_keep_alive_max_count(HttpConnection::kRequestsPerConnection);
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
        static_cast<ListeningServer*>(server.get())->StopServing();
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
    // Our mount table answers ahead of the routes, as the library's own mount points would. This runs
    // once the request's head is in and before any of its body is read.
    server->set_pre_routing_handler(
        [self](const httplib::Request& request, httplib::Response& response)
        {
            HttpConnection* connection = HttpConnection::Current();
            if (connection != nullptr)
                connection->HeadReceived();
            if (AnnouncesOversizeBody(request))
            {
                RefuseOversizeBody(response);
                return httplib::Server::HandlerResponse::Handled;
            }
            if (!self->ServeFile(request, response))
                return httplib::Server::HandlerResponse::Unhandled;
            // A body sent along with a file request is never read.
            if (connection != nullptr && CarriesBody(request))
                connection->CloseAfterReply();
            return httplib::Server::HandlerResponse::Handled;
        });
    // A client that waits for leave to send its body learns at once that it is too long.
    server->set_expect_100_continue_handler(
        [](const httplib::Request& request, httplib::Response& response)
        {
            if (!AnnouncesOversizeBody(request))
                return 100;
            RefuseOversizeBody(response);
            return response.status;
        });
    // A body without announced length (chunked) is cut off by the connection once it runs too long.
    server->set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& response)
        {
            HttpConnection* connection = HttpConnection::Current();
            if (connection != nullptr && connection->BodyTooLarge())
                response.status = 413;
            return httplib::Server::HandlerResponse::Unhandled;
        }));

    spdlog::info("[HttpServer] HTTP Server listening now on port {}.", port);
    if (!server->bind_to_port(host, port, 0))
    {
        spdlog::error("[HttpServer] Failed to bind HTTP server to {}:{}.", host, port);
    }
    else
    {
        static_cast<ListeningServer*>(server)->WidenBacklog();
        server->listen_after_bind();
    }

    {
        std::lock_guard lock(state->mutex);
        state->finished = true;
    }
    state->changed.notify_all();
}

void HttpServer::HandleClientRequest(const httplib::Request& request, httplib::Response& response)
{
    // A chunked body is only measured once it has been read.
    if (request.body.size() > kMaxRequestBody)
    {
        response.status = 413;
        return;
    }
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

std::shared_ptr<const HttpServer::MountTable> HttpServer::Mounts() const
{
    std::lock_guard lock(mountMutex);
    return mounts;
}

template <typename Change> bool HttpServer::ChangeMounts(Change change)
{
    std::lock_guard lock(mountMutex);
    auto changed = std::make_shared<MountTable>(*mounts);
    if (!change(*changed))
        return false;
    mounts = std::move(changed);
    return true;
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

    auto entry = std::make_shared<MountEntry>();
    entry->mountPoint = mountPoint;
    entry->files = ReadFolder(canonical);
    return ChangeMounts(
        [&entry](MountTable& table)
        {
            for (std::shared_ptr<const MountEntry>& existing : table)
            {
                if (existing->mountPoint == entry->mountPoint)
                {
                    existing = std::move(entry);
                    return true;
                }
            }
            table.push_back(std::move(entry));
            return true;
        });
}

bool HttpServer::Unmount(const std::string& mountPoint)
{
    return ChangeMounts(
        [&mountPoint](MountTable& table)
        {
            for (auto it = table.begin(); it != table.end(); ++it)
            {
                if ((*it)->mountPoint == mountPoint)
                {
                    table.erase(it);
                    return true;
                }
            }
            return false;
        });
}

std::shared_ptr<const HttpServer::CachedFile> HttpServer::FindFile(const std::string& requestPath) const
{
    std::shared_ptr<const MountTable> table = Mounts();
    for (const std::shared_ptr<const MountEntry>& entry : *table)
    {
        const std::string& mountPoint = entry->mountPoint;
        if (requestPath.compare(0, mountPoint.size(), mountPoint) != 0)
            continue;
        std::string_view rest = std::string_view(requestPath).substr(mountPoint.size());
        // "/name" must not answer "/namesake/...".
        if (!rest.empty() && rest.front() != '/' && mountPoint.back() != '/')
            continue;
        std::optional<std::string> key = FileKey(rest);
        if (!key)
            continue;
        auto found = entry->files.find(*key);
        if (found != entry->files.end())
            return found->second;
    }
    return nullptr;
}

bool HttpServer::ServeFile(const httplib::Request& request, httplib::Response& response) const
{
    bool head = request.method == "HEAD";
    if (!head && request.method != "GET")
        return false;

    std::shared_ptr<const CachedFile> file = FindFile(request.path);
    if (!file)
        return false;

    if (request.has_header("Range") || file->content.empty())
    {
        // The library cuts the requested ranges out of the body (and checks them) as it writes it.
        response.set_content(file->content, file->contentType);
        response.status = request.has_header("Range") ? 206 : 200;
    }
    else
    {
        // Written straight from the cached copy, which the response keeps alive.
        response.set_content_provider(file->content.size(), file->contentType,
                                      [file](size_t offset, size_t length, httplib::DataSink& sink)
                                      { return sink.write(file->content.data() + offset, length); });
    }

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
