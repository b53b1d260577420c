#include "LogCapture.h"

#include <algorithm>
#include <utility>

#include <spdlog/sinks/base_sink.h>

namespace
{
// The state is shared so that a logger copy still held elsewhere never writes into freed memory.
class CaptureSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex>
{
public:
    explicit CaptureSink(std::shared_ptr<LogCapture::State> state) : state(std::move(state)) {}

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->entries.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
        }
        state->changed.notify_all();
    }
    void flush_() override {}

private:
    std::shared_ptr<LogCapture::State> state;
};
} // namespace

LogCapture::LogCapture() : state(std::make_shared<State>()), previous(spdlog::default_logger())
{
    auto logger = std::make_shared<spdlog::logger>("lnf-server", std::make_shared<CaptureSink>(state));
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
}

LogCapture::~LogCapture()
{
    spdlog::set_default_logger(previous);
}

std::vector<LogCapture::Entry> LogCapture::Entries() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->entries;
}

std::vector<std::string> LogCapture::Messages() const
{
    std::vector<std::string> messages;
    for (Entry& entry : Entries())
        messages.push_back(std::move(entry.message));
    return messages;
}

std::vector<std::string> LogCapture::Messages(spdlog::level::level_enum level) const
{
    std::vector<std::string> messages;
    for (Entry& entry : Entries())
        if (entry.level == level)
            messages.push_back(std::move(entry.message));
    return messages;
}

bool LogCapture::Contains(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return std::any_of(state->entries.begin(), state->entries.end(),
                       [&text](const Entry& entry) { return entry.message.find(text) != std::string::npos; });
}

bool LogCapture::WaitFor(const std::string& text, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, timeout,
                                   [&]
                                   {
                                       return std::any_of(
                                           state->entries.begin(), state->entries.end(),
                                           [&text](const Entry& entry)
                                           { return entry.message.find(text) != std::string::npos; });
                                   });
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(state->mutex);
    state->entries.clear();
}
