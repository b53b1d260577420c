#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
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
// mounted and unmounted from the main and console threads as the server runs. A mount takes a copy
// of its folder's files into memory, so a download always sees one whole version of a file, whatever
// a remount or unmount does meanwhile.
//
// Every connection is served on a thread of its own, made when needed, within the bounds of
// HttpConnection, so idle or slow connections never hold up the others.
class HttpServer
{
public:
    // Request bodies beyond this get 413, without being read when their length is announced; the
    // "/client" form needs a few bytes.
    static constexpr size_t kMaxRequestBody = 64 * 1024;
    // Connection threads: a few stay ready, more are made as connections need them.
    static constexpr size_t kMinWorkers = 8;
    static constexpr size_t kMaxWorkers = 1024;

    struct CachedFile
    {
        std::string content;
        std::string contentType;
    };

    HttpServer();
    // Stops serving and waits for the listen thread. The running server never gets here (it is never
    // destroyed); tests do.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Starts the detached listen thread on host:port and returns at once. Call once.
    void Start(const std::string& host, int32_t port);

    // Serves the files below `folder`, as they are now, at `mountPoint` ("/name"). False when the
    // mount point does not start with "/" or the folder does not exist. Mounting an existing mount
    // point again replaces it. Files that resolve outside the folder (through links) are left out.
    bool Mount(const std::string& mountPoint, const std::filesystem::path& folder);
    // False when nothing is mounted there.
    bool Unmount(const std::string& mountPoint);

    // The file below a mount point that answers `requestPath` (already percent-decoded), or null.
    // "." and ".." segments are resolved within the mount; a path that would leave it never answers.
    std::shared_ptr<const CachedFile> FindFile(const std::string& requestPath) const;

    // The library's server object, made by the constructor and kept for the life of this object.
    std::unique_ptr<httplib::Server> server;

private:
    struct MountEntry
    {
        std::string mountPoint;
        // Relative paths with "/" separators.
        std::unordered_map<std::string, std::shared_ptr<const CachedFile>> files;
    };
    using MountTable = std::vector<std::shared_ptr<const MountEntry>>;

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

    std::shared_ptr<const MountTable> Mounts() const;
    // Replaces the table with `change` applied to a copy of it; returns what `change` returned.
    template <typename Change> bool ChangeMounts(Change change);

    // Readers take a reference to the current table; changes build a new one and swap it in.
    mutable std::mutex mountMutex;
    std::shared_ptr<const MountTable> mounts;

    std::shared_ptr<ListenState> listenState;
};
