#pragma once
// Console logging of the engine: every line goes through the logging library's default logger.
#include <string>

// Gives every logger the pattern "%x %X %l %v" and, when severity names a level ("trace", "debug",
// "info", "warning", "error", "critical", "off", exactly), that level. An unknown name throws
// std::runtime_error after the pattern is set, leaving the level unchanged.
void set_logging_config(const std::string& severity);

// Writes one line through the default logger at level 0 (trace) to 5 (critical); another level
// throws std::out_of_range.
void log_message(int level, const std::string& message);
