#pragma once

// Runs the real server binary in a temporary folder of its own and watches its console.
//
//     ServerProcess server;                         // the folder, with a copy of the binary
//     server.WriteSettings({{"maxplayers", "4"}});  // + listed false, hostaddress, a free port
//     ASSERT_TRUE(server.Start());
//     ASSERT_TRUE(server.WaitFor("[Server] Max Players: 4")) << server.Output();
//     server.WriteLine("kick 1");                   // console input
//                                                   // destructor: kill, then remove the folder
//
// Standard output and error go to one file beside the folder, read as the test asks: lines lose
// their colour codes and CR, Raw() keeps the bytes. Waits look at every line so far (after a
// restart, wait for the n-th one) and give up after their timeout, so a test fails instead of
// hanging. Output() ends with how the process ended. A server that dies of a signal it was not
// stopped with, or that reports a sanitizer fault, fails the test. For one test thread.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Ports.h"

// Skips the test where network namespaces cannot be made (the server then runs with `listed` true).
#define LNF_REQUIRE_PRIVATE_NETWORK()                                                                        \
    if (!ServerProcess::PrivateNetworkAvailable())                                                           \
    GTEST_SKIP() << "no private network namespace here (unshare -n failed)"

class ServerProcess
{
public:
    using Duration = std::chrono::milliseconds;
    // Elements of settings.xml in document order; a key may repeat (lists).
    using SettingsList = std::vector<std::pair<std::string, std::string>>;
    static constexpr Duration kDefaultTimeout{5000};
    struct StartOptions
    {
        bool privateNetwork = false;          // a network namespace of its own, with only loopback
        std::vector<std::string> environment; // "NAME=value", besides the inherited ones
    };

    ServerProcess();
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    const std::filesystem::path& Folder() const { return folder; }
    // A free port, picked on first use and then kept.
    uint16_t Port() { return port != 0 ? port : (port = FreePort()); }
    // settings.xml: `listed` false, `hostaddress` 127.0.0.1 and `port` Port() where `values` does not
    // name them, then `values` in order, written as they stand (escape XML yourself).
    void WriteSettings(const SettingsList& values = {});
    void WriteFile(const std::filesystem::path& relative, const std::string& content);
    // Empty when the file does not exist.
    std::string ReadFile(const std::filesystem::path& relative) const;
    bool FileExists(const std::filesystem::path& relative) const { return exists(folder / relative); }
    // Polls the file until `ready(content)`: server.log is written just after the console.
    bool WaitForFile(const std::filesystem::path& relative,
                     const std::function<bool(const std::string&)>& ready,
                     Duration timeout = kDefaultTimeout) const
    {
        return Until([&] { return ready(ReadFile(relative)); }, timeout);
    }

    // False when the process cannot start, or a private network is not available. A server may be
    // started again once it ended; its output goes on accumulating.
    bool Start(const StartOptions& options);
    bool Start(bool privateNetwork = false) { return Start(StartOptions{privateNetwork, {}}); }
    pid_t Pid() const { return pid; }
    bool IsRunning();
    // False once the server's input is closed or it ended.
    bool WriteLine(const std::string& line);
    void CloseStdin();
    // The exit code, or 128 + the signal; nothing on timeout.
    std::optional<int> WaitForExit(Duration timeout = kDefaultTimeout);
    // Kills the server's process group and reaps it.
    void Stop();

    // Waits until `count` lines contain `text`.
    bool WaitFor(const std::string& text, size_t count = 1, Duration timeout = kDefaultTimeout);
    // The lines that contain `text`.
    size_t Count(const std::string& text) const;
    // Every line, without its "[HH:MM:SS] " time.
    std::vector<std::string> Messages() const
    {
        Read();
        return lines;
    }
    std::string Raw() const
    {
        Read();
        return raw;
    }
    // Every line, and how the process ended: for failure messages.
    std::string Output() const;

    static bool PrivateNetworkAvailable();

    // Earlier names, kept until their callers use the ones above.
    bool WaitForLine(const std::string& text, Duration t = kDefaultTimeout) { return WaitFor(text, 1, t); }
    bool WaitForMessage(const std::string& text, Duration t = kDefaultTimeout) { return WaitFor(text, 1, t); }
    bool WaitForCount(const std::string& text, size_t n, Duration t = kDefaultTimeout)
    {
        return WaitFor(text, n, t);
    }
    size_t CountLines(const std::string& text) const { return Count(text); }
    size_t CountMessages(const std::string& text) const { return Count(text); }
    std::vector<std::string> Lines() const { return Messages(); }
    std::string RawOutput() const { return Raw(); }
    std::string OutputText() const { return Output(); }

private:
    // Polls `ready` until it holds or the timeout passes.
    static bool Until(const std::function<bool()>& ready, Duration timeout);
    // Takes in the output written since the last call.
    void Read() const;

    std::filesystem::path root, folder; // the folder and the output file are in root
    uint16_t port = 0;
    pid_t pid = -1;
    FILE* input = nullptr;
    int status = -1; // the wait status once reaped
    bool killed = false, checked = true;
    mutable int output = -1;
    mutable std::string raw;
    mutable size_t parsed = 0;
    mutable std::vector<std::string> lines; // the messages
};
