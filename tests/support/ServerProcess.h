#pragma once

// End-to-end harness: runs the real server binary in a private temporary folder and watches its
// console output.
//
// Typical use:
//
//     ServerProcess server;                        // temp folder with a copy of the server binary
//     server.WriteSettings({{"maxplayers", "4"}});  // + listed=false, hostaddress, a free port
//     server.WriteFile("resources/demo/meta.xml", "<meta>...</meta>");
//     ASSERT_TRUE(server.Start());
//     ASSERT_TRUE(server.WaitForMessage("[Server] Max Players: 4"));
//     server.WriteLine("kick 1");                   // console input
//     ...                                           // destructor kills the server, removes the folder
//
// Output handling: standard output and standard error of the server go into one pipe, read by a
// background thread. Lines() holds every complete line with ANSI colour escapes and the trailing CR
// removed, in arrival order; RawOutput() keeps the exact bytes (colour escapes and CR LF included).
// A console line looks like "[12:34:56] [Server] Port: 9999"; MessageOf() strips the time prefix.
//
// The waits look at all lines received so far, not only new ones: after a restart (Start again on
// the same object, output accumulates) use WaitForCount(text, n) to wait for the n-th occurrence.
// The console sink writes before the server.log sink, so use WaitForFile for server.log content.
//
// Tests that need the server with `listed` true (first start without settings.xml included) call
// LNF_REQUIRE_PRIVATE_NETWORK() and Start(true); RunInServerNetwork reaches such a server.
//
// Every waiting call takes a timeout and returns false / nullopt when it runs out, so a test
// fails instead of hanging. All methods are safe to call from the test's thread while the reader
// thread runs; the object itself is meant for one test thread.
//
// Temporary folders are removed by the destructor unless the environment variable
// LNF_KEEP_TEST_DIRS is set (then the kept path is printed to stderr).

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

// Skips the current test when network namespaces cannot be created (for tests that must run the
// server with `listed` true, which would otherwise reach out to the public server list).
#define LNF_REQUIRE_PRIVATE_NETWORK()                                                                        \
    do                                                                                                       \
    {                                                                                                        \
        if (!ServerProcess::PrivateNetworkAvailable())                                                       \
            GTEST_SKIP() << "private network namespaces are not permitted here (unshare -n failed); "        \
                            "this test runs the server with `listed` true and needs one";                    \
    } while (0)

class ServerProcess
{
public:
    using Duration = std::chrono::milliseconds;
    // Key/value pairs of settings.xml elements, in document order; a key may repeat (lists).
    using SettingsList = std::vector<std::pair<std::string, std::string>>;

    static constexpr Duration kDefaultTimeout{5000};
    static constexpr const char* kBinaryName = "lanternfall-server";

    struct StartOptions
    {
        // Run inside a new network namespace with only a loopback device:
        //   unshare -n sh -c 'ip link set lo up && exec ./lanternfall-server'
        // Nothing outside the namespace can reach the server, and it reaches nothing outside.
        bool privateNetwork = false;
        // Extra environment entries "NAME=value" for the server (added to the inherited ones).
        std::vector<std::string> environment;
    };

    // Creates the temporary folder and copies the server binary (LNF_SERVER_BINARY) into it.
    // Throws std::runtime_error when that fails.
    ServerProcess();
    // Kills the server if it still runs, then removes the folder (see LNF_KEEP_TEST_DIRS).
    ~ServerProcess();

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The temporary folder: program folder and working directory of the server.
    const std::filesystem::path& Folder() const { return folder_; }

    // A free port picked on first use (FreePort()) and then kept; used by WriteSettings.
    uint16_t Port();

    // Builds settings.xml text: root <settings>, then `listed` false, `hostaddress` 127.0.0.1 and
    // `port` <port> for whichever of these three keys `values` does not name, then one element per
    // pair in the given order. Values are XML-escaped; for any other shape write the file yourself.
    static std::string BuildSettingsXml(const SettingsList& values, uint16_t port);
    // Writes BuildSettingsXml(values, Port()) as settings.xml in the folder.
    void WriteSettings(const SettingsList& values = {});

    // Writes a file relative to the folder (parent folders created), replacing any content.
    void WriteFile(const std::filesystem::path& relative, const std::string& content);
    // Reads a file relative to the folder; empty when it does not exist.
    std::string ReadFile(const std::filesystem::path& relative) const;
    bool FileExists(const std::filesystem::path& relative) const;
    // Polls a file relative to the folder until `ready(content)` holds (content is empty while the
    // file does not exist). Note that the console sink writes before the server.log sink: a line
    // seen on the console may reach server.log a moment later.
    bool WaitForFile(const std::filesystem::path& relative,
                     const std::function<bool(const std::string&)>& ready,
                     Duration timeout = kDefaultTimeout) const;

    // Starts the server (fork/exec, working directory = folder, own process group). False when the
    // process could not be started, or privateNetwork was asked for and is not available.
    // A ServerProcess may be started again after it exited or was stopped (output is kept and
    // appended to).
    bool Start(const StartOptions& options);
    bool Start(bool privateNetwork = false);

    pid_t Pid() const { return pid_; }
    // True while the started process has not been seen to exit.
    bool IsRunning();

    // Console input. WriteLine appends "\n". Both return false when stdin is already closed or the
    // write fails (the server exited).
    bool WriteLine(const std::string& line);
    bool Write(const std::string& bytes);
    void CloseStdin();

    // Waits until some line (already received or arriving later) contains `text` / satisfies `match`.
    bool WaitForLine(const std::string& text, Duration timeout = kDefaultTimeout);
    bool WaitForLine(const std::function<bool(const std::string&)>& match,
                     Duration timeout = kDefaultTimeout);
    // Waits until some line's message (the line without its "[HH:MM:SS] " prefix) equals `message`.
    bool WaitForMessage(const std::string& message, Duration timeout = kDefaultTimeout);
    // Waits until at least `count` lines contain `text`.
    bool WaitForCount(const std::string& text, size_t count, Duration timeout = kDefaultTimeout);

    size_t CountLines(const std::string& text) const;
    // Lines whose message equals `message` exactly.
    size_t CountMessages(const std::string& message) const;
    std::vector<std::string> Lines() const;
    // Messages of all lines (time prefixes removed), in order.
    std::vector<std::string> Messages() const;
    std::string RawOutput() const;
    // All lines joined with "\n": handy in assertion messages.
    std::string OutputText() const;

    // Waits for the process to end and reaps it. Exit code, or 128 + signal number when it was
    // killed by a signal; nullopt on timeout (the process keeps running). Once it returns a value,
    // the output has been read to its end (within one second).
    std::optional<int> WaitForExit(Duration timeout = kDefaultTimeout);

    // SIGKILL to the server's process group, then reap it. Safe to call repeatedly.
    void Stop();

    // Runs `work` on a helper thread that has joined the server's network namespace (after a Start
    // with privateNetwork), so sockets it creates reach the server's 127.0.0.1. Blocks until
    // `work` returns. False when the namespace could not be joined (work not run).
    bool RunInServerNetwork(const std::function<void()>& work);

    // Whether `unshare -n` works here (tested once per process).
    static bool PrivateNetworkAvailable();
    // The line without a leading "[HH:MM:SS] " time prefix (unchanged when it has none).
    static std::string MessageOf(const std::string& line);
    // Removes ANSI escape sequences (ESC [ ... final byte).
    static std::string StripAnsi(const std::string& text);

private:
    void ReaderLoop(int fd);
    void AddOutput(const char* data, size_t size);
    void FinishReader();
    bool WaitUntil(const std::function<bool()>& ready, Duration timeout);

    std::filesystem::path folder_;
    uint16_t port_ = 0;
    bool privateNetwork_ = false;

    pid_t pid_ = -1;
    bool reaped_ = true;
    int exitCode_ = 0;
    int stdinFd_ = -1;
    std::thread reader_;
    std::atomic<bool> stopReader_{false};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string partial_;
    std::string raw_;
    bool readerDone_ = true;
};
