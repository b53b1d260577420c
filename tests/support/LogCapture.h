#pragma once

// Captures what the program logs through spdlog's default logger while the object lives:
//
//     LogCapture log;
//     Deserialize(...);
//     EXPECT_EQ(log.Messages(), (std::vector<std::string>{"[NetPacket] ... failed: bad cast."}));
//
// Every level is captured, as the message text alone. The capturing logger is named "lnf-server",
// like the server's own. Other threads may log into it; create and destroy it on the test's thread.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

class LogCapture
{
public:
    struct Entry
    {
        spdlog::level::level_enum level;
        std::string message;
    };

    LogCapture()
    {
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("lnf-server", sink));
        spdlog::default_logger()->set_level(spdlog::level::trace);
    }
    ~LogCapture() { spdlog::set_default_logger(previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> Entries() const
    {
        std::lock_guard lock(sink->mutex_);
        return sink->entries;
    }
    // The messages, of one level when given.
    std::vector<std::string> Messages(std::optional<spdlog::level::level_enum> level = std::nullopt) const
    {
        std::vector<std::string> messages;
        for (Entry& entry : Entries())
            if (!level || entry.level == *level)
                messages.push_back(std::move(entry.message));
        return messages;
    }
    // Whether a message contains `text`.
    bool Contains(const std::string& text) const { return WaitFor(text, {}); }
    // Waits until a message contains `text` (logged by another thread).
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        auto has = [&](const Entry& entry) { return entry.message.find(text) != std::string::npos; };
        std::unique_lock lock(sink->mutex_);
        return sink->changed.wait_for(lock, timeout, [&] { return std::ranges::any_of(sink->entries, has); });
    }
    void Clear()
    {
        std::lock_guard lock(sink->mutex_);
        sink->entries.clear();
    }

private:
    // Shared with the logger, which a copy held elsewhere may keep alive after the capture.
    struct Sink : spdlog::sinks::base_sink<std::mutex>
    {
        using base_sink::mutex_;
        std::condition_variable changed;
        std::vector<Entry> entries;

        void sink_it_(const spdlog::details::log_msg& msg) override
        {
            entries.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
            changed.notify_all();
        }
        void flush_() override {}
    };
    std::shared_ptr<Sink> sink = std::make_shared<Sink>();
    std::shared_ptr<spdlog::logger> previous = spdlog::default_logger();
};
