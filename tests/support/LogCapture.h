#pragma once

// Captures what the program logs through spdlog's default logger while the object lives:
//
//     LogCapture log;
//     Deserialize(...);
//     EXPECT_EQ(log.Messages(), (std::vector<std::string>{"[NetPacket] ... failed: bad cast."}));
//
// Every level is captured, as the message text alone. The capturing logger is named "lnf-server",
// like the server's own. Other threads may log into it; create and destroy it on the test's thread.

#include <chrono>
#include <memory>
#include <optional>
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
    ~LogCapture() { spdlog::set_default_logger(previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> Entries() const;
    // The messages, of one level when given.
    std::vector<std::string> Messages(std::optional<spdlog::level::level_enum> level = std::nullopt) const;
    // Whether a message contains `text`.
    bool Contains(const std::string& text) const { return WaitFor(text, {}); }
    // Waits until a message contains `text` (for logging done by another thread).
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    void Clear();

private:
    struct State;
    std::shared_ptr<State> state;
    std::shared_ptr<spdlog::logger> previous;
};
