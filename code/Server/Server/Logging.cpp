#include "Server/Logging.h"

#include <memory>
#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "Server/Platform.h"

void InitializeLogging()
{
    try
    {
        auto consoleSink = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
        std::filesystem::path logPath = GetProgramDirectory() / "server.log";
        auto fileSink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(logPath.string(), false);
        consoleSink->set_color_mode(spdlog::color_mode::always);

        std::vector<spdlog::sink_ptr> sinks{consoleSink, fileSink};
        auto logger = std::make_shared<spdlog::logger>("lnf-server", sinks.begin(), sinks.end());
        spdlog::set_default_logger(logger);
        ApplyLogLevel(spdlog::level::trace);
        spdlog::set_formatter(
            std::make_unique<spdlog::pattern_formatter>("[%T] %^%v%$", spdlog::pattern_time_type::local, "\r\n"));
    }
    catch (const spdlog::spdlog_ex& error)
    {
        ReportError(true, "Failed to initialize logger:\n\n{}", error.what());
    }
}

void ApplyLogLevel(int level)
{
    auto value = static_cast<spdlog::level::level_enum>(level);
    spdlog::set_level(value);
    spdlog::flush_on(value);
    spdlog::apply_all([value](const std::shared_ptr<spdlog::logger>& logger) {
        logger->set_level(value);
        logger->flush_on(value);
    });
}
