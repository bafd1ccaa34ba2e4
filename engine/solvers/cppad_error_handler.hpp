#pragma once
// Reports errors found by CppAD's own checks to the log instead of ending the process.
#include <cppad/utility/error_handler.hpp>

// Logs one multi-line message at level error on the default logger and returns, so the
// computation that found the error goes on.
void cppad_error_handler(bool known, int line, const char* file, const char* exp, const char* msg);

// Makes cppad_error_handler current for the lifetime of the object and puts back the handler it
// replaced when the scope ends, by return or by exception. Scopes nest.
class CppadErrorHandlerScope {
public:
    CppadErrorHandlerScope() : previous_(cppad_error_handler) {}
    CppadErrorHandlerScope(const CppadErrorHandlerScope&) = delete;
    CppadErrorHandlerScope& operator=(const CppadErrorHandlerScope&) = delete;

private:
    CppAD::ErrorHandler previous_;
};
