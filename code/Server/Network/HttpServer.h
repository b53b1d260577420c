#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

namespace httplib
{
class Server;
struct Request;
struct Response;
} // namespace httplib

// The HTTP front door for game clients: POST "/client" (may this client join?), GET "/query" (server
// summary) and the cached files of loaded resources below their mount points.
//
// Files are served from a mount table of our own rather than the library's: the library keeps its
// mount table in a plain vector that its worker threads read without a lock, while resources are
// mounted and unmounted from the main and console threads as the server runs.
class HttpServer
{
public:
    HttpServer();
    // Stops serving and waits for the listen thread. The running server never gets here (it is never
    // destroyed); tests do.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Starts the detached listen thread on host:port and returns at once. Call once.
    void Start(const std::string& host, int32_t port);

    // Serves the files below `folder` at `mountPoint` ("/name"). False when the mount point does not
    // start with "/" or the folder does not exist. Mounting an existing mount point again replaces it.
    bool Mount(const std::string& mountPoint, const std::filesystem::path& folder);
    // False when nothing is mounted there.
    bool Unmount(const std::string& mountPoint);

    // The file below a mount point that answers `requestPath` (already percent-decoded), or nothing.
    // A path that resolves outside its mounted folder (through "..", links or anything else) never
    // answers.
    std::optional<std::filesystem::path> ResolveFile(const std::string& requestPath) const;

    // The library's server object, made by the constructor and kept for the life of this object.
    std::unique_ptr<httplib::Server> server;

private:
    struct MountEntry
    {
        std::string mountPoint;
        std::filesystem::path folder; // canonical
    };

    // Shared by the listen thread and the destructor, which waits for the thread to end.
    struct ListenState
    {
        std::mutex mutex;
        std::condition_variable changed;
        bool finished = false;
    };

    static void ListenThread(HttpServer* self, httplib::Server* server, int32_t port, std::string host,
                             std::shared_ptr<ListenState> state);
    static void HandleClientRequest(const httplib::Request& request, httplib::Response& response);
    static void HandleQueryRequest(const httplib::Request& request, httplib::Response& response);
    static void LogFileRequest(const httplib::Request& request, httplib::Response& response);

    // Answers GET and HEAD below a mount point; false when no mounted file matches.
    bool ServeFile(const httplib::Request& request, httplib::Response& response) const;

    mutable std::shared_mutex mountMutex;
    std::vector<MountEntry> mounts;

    std::shared_ptr<ListenState> listenState;
};
