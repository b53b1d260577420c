#pragma once

// Captures what the program logs through spdlog's default logger, for asserting exact log texts.
//
//     LogCapture log;                       // from here on the default logger writes into `log`
//     Deserialize(...);
//     EXPECT_EQ(log.Messages(), (std::vector<std::string>{"[NetPacket] ... failed: bad cast."}));
//     EXPECT_TRUE(log.Contains("failed"));  // substring of any captured message
//                                           // destructor: the previous default logger is back
//
// Every level is captured (the capture logger's level is trace). Messages are the formatted
// payload only, without time or level. The logger is named "lnf-server", like the server's own,
// so spdlog::get("lnf-server") finds the capture while it is installed. Safe to log into from
// several threads; WaitFor helps with logging done by another thread. Captures do not nest across
// threads: create and destroy one on the test's thread.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

class LogCapture
{
public:
    struct Entry
    {
        spdlog::level::level_enum level;
        std::string message;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> Entries() const;
    std::vector<std::string> Messages() const;
    // Messages at exactly this level.
    std::vector<std::string> Messages(spdlog::level::level_enum level) const;
    bool Contains(const std::string& text) const;
    // Waits until a message containing `text` has been captured.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    void Clear();

    // Implementation detail shared with the sink.
    struct State
    {
        mutable std::mutex mutex;
        mutable std::condition_variable changed;
        std::vector<Entry> entries;
    };

private:
    std::shared_ptr<State> state;
    std::shared_ptr<spdlog::logger> previous;
};
