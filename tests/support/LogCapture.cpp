#include "LogCapture.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include <spdlog/sinks/base_sink.h>

// Shared with the sink, so that a copy of the logger still held elsewhere never writes into freed memory.
struct LogCapture::State : spdlog::sinks::base_sink<std::mutex>
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

LogCapture::LogCapture() : state(std::make_shared<State>()), previous(spdlog::default_logger())
{
    auto logger = std::make_shared<spdlog::logger>("lnf-server", state);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
}

std::vector<LogCapture::Entry> LogCapture::Entries() const
{
    std::lock_guard lock(state->mutex_);
    return state->entries;
}

std::vector<std::string> LogCapture::Messages(std::optional<spdlog::level::level_enum> level) const
{
    std::vector<std::string> messages;
    for (Entry& entry : Entries())
    {
        if (!level || entry.level == *level)
            messages.push_back(std::move(entry.message));
    }
    return messages;
}

bool LogCapture::WaitFor(const std::string& text, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(state->mutex_);
    return state->changed.wait_for(lock, timeout,
                                   [&]
                                   {
                                       return std::any_of(
                                           state->entries.begin(), state->entries.end(),
                                           [&](const Entry& entry)
                                           { return entry.message.find(text) != std::string::npos; });
                                   });
}

void LogCapture::Clear()
{
    std::lock_guard lock(state->mutex_);
    state->entries.clear();
}
