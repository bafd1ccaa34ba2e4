#include "network/logging_config.hpp"

#include <array>
#include <memory>
#include <stdexcept>
#include <utility>

#include <spdlog/pattern_formatter.h>
#include <spdlog/spdlog.h>

namespace {
constexpr std::array<std::pair<const char*, spdlog::level::level_enum>, 7> severities{{
    {"trace", spdlog::level::trace},
    {"debug", spdlog::level::debug},
    {"info", spdlog::level::info},
    {"warning", spdlog::level::warn},
    {"error", spdlog::level::err},
    {"critical", spdlog::level::critical},
    {"off", spdlog::level::off},
}};
}  // namespace

void set_logging_config(const std::string& severity) {
    auto formatter = std::make_unique<spdlog::pattern_formatter>("%x %X %l %v", spdlog::pattern_time_type::local,
                                                                 std::string("\n"));
    // The registry (and with it the default logger) comes into being here on first use.
    spdlog::set_formatter(std::move(formatter));
    for (const auto& [name, level] : severities) {
        if (severity == name) {
            spdlog::set_level(level);
            return;
        }
    }
    throw std::runtime_error("Unknown severity string " + severity + ".");
}

void log_message(int level, const std::string& message) {
    if (level < spdlog::level::trace || level > spdlog::level::critical)
        throw std::out_of_range("log level out of range");
    spdlog::default_logger_raw()->log(static_cast<spdlog::level::level_enum>(level), message);
}
