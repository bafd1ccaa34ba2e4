#include "solvers/cppad_error_handler.hpp"

#include <string>

#include <spdlog/spdlog.h>

void cppad_error_handler(bool known, int line, const char* file, const char* exp, const char* msg) {
    // The handler must not throw into CppAD: a message that cannot be built or logged is dropped.
    try {
        std::string text;
        text += known ? "Error from a known source:\n" : "Error from unknown source\n";
        if (msg != nullptr && msg[0] != '\0') {
            text += msg;
            text += '\n';
        }
        text += "Error detected by false result for\n";
        text += "    ";
        text += exp != nullptr ? exp : "";
        text += '\n';
        text += "at line ";
        text += std::to_string(line);
        text += " in the file \n";
        text += "    ";
        text += file != nullptr ? file : "";
        text += '\n';
        spdlog::default_logger_raw()->error("{}", text);
    } catch (...) {
    }
}
