// The CppAD error handler: its message and its scoped installation.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "elements/bus.hpp"
#include "solver_test_support.hpp"
#include "solvers/cppad_error_handler.hpp"
#include "solvers/newton.hpp"

namespace {
std::vector<std::string> reports;
void recording_handler(bool, int line, const char*, const char*, const char*) {
    reports.push_back("recorder " + std::to_string(line));
}
void other_handler(bool, int line, const char*, const char*, const char*) {
    reports.push_back("other " + std::to_string(line));
}

// Which handler is current: the recorder notes the call, ours logs it.
std::string current_handler() {
    reports.clear();
    LogCapture log;
    CppAD::ErrorHandler::Call(true, 7, "file", "exp", "");
    if (!reports.empty()) return reports.front();
    return log.text().empty() ? "none" : "logging";
}

struct MessageCase {
    bool known;
    int line;
    const char* file;
    const char* exp;
    const char* msg;
    const char* logged;
};

class HandlerMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(HandlerMessage, IsOneErrorRecordOfFixedLines) {
    const MessageCase& c = GetParam();
    LogCapture log;
    cppad_error_handler(c.known, c.line, c.file, c.exp, c.msg);
    EXPECT_EQ(log.text(), c.logged);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandlerMessage,
    ::testing::Values(
        MessageCase{true, 42, "P", "E", "",
                    "error|Error from a known source:\nError detected by false result for\n    E\n"
                    "at line 42 in the file \n    P\n\n"},
        MessageCase{false, -3, "/a/b.hpp", "x > 0 {}", "size {0} is wrong",
                    "error|Error from unknown source\nsize {0} is wrong\nError detected by false result for\n"
                    "    x > 0 {}\nat line -3 in the file \n    /a/b.hpp\n\n"}),
    [](const auto& info) { return std::string(info.param.known ? "KnownSource" : "UnknownSourceWithPlaceholders"); });

TEST(HandlerLevel, FollowsTheLogger) {
    LogCapture log(spdlog::level::critical);
    cppad_error_handler(true, 1, "f", "e", "m");
    EXPECT_EQ(log.text(), "");
}

TEST(HandlerScope, InstallsAndRestoresNested) {
    CppAD::ErrorHandler outer(recording_handler);
    EXPECT_EQ(current_handler(), "recorder 7");
    {
        CppadErrorHandlerScope scope;
        EXPECT_EQ(current_handler(), "logging");
        {
            CppAD::ErrorHandler inner(other_handler);
            EXPECT_EQ(current_handler(), "other 7");
            {
                CppadErrorHandlerScope nested;
                EXPECT_EQ(current_handler(), "logging");
            }
            EXPECT_EQ(current_handler(), "other 7");
        }
        EXPECT_EQ(current_handler(), "logging");
    }
    EXPECT_EQ(current_handler(), "recorder 7");
}

TEST(HandlerScope, SolvesAndFailuresLeaveThePreviousHandler) {
    CppAD::ErrorHandler outer(recording_handler);
    // A lone bus: its equations are constants, so the Jacobian is empty and cannot be factorised.
    std::complex<double> v[1] = {1.0};
    Bus bus(1, v);
    ElectricalNetwork network({&bus});
    Newton newton(&network, false);
    EXPECT_EQ(current_handler(), "recorder 7");
    EXPECT_EQ(newton.solve_load_flow(5, 1.0), std::make_pair(0, 0.0));
    EXPECT_EQ(current_handler(), "recorder 7");
    EXPECT_THROW(newton.solve_load_flow(5, -1.0), std::runtime_error);
    EXPECT_EQ(current_handler(), "recorder 7");
    EXPECT_EQ(newton.analyse_jacobian().first, std::vector<int>{0});
    EXPECT_EQ(current_handler(), "recorder 7");
}

// Reports a CppAD error whenever it computes its currents: on the tape (line 1) or in doubles (line 2).
class ProbeElement : public Element {
public:
    ProbeElement() : Element(1) {}
    void compute_currents(bool on_tape) override {
        set_all_currents_zero(*this, on_tape);
        CppAD::ErrorHandler::Call(true, on_tape ? 1 : 2, "probe", "exp", "");
    }
};

TEST(HandlerScope, CoversRecordingAndTheFinalCurrents) {
    CppAD::ErrorHandler outer(recording_handler);
    ProbeElement probe;
    ElectricalNetwork network({&probe});
    reports.clear();
    {
        LogCapture log;
        Newton newton(&network, true);
        EXPECT_NE(log.text().find("at line 1 in the file \n    probe\n"), std::string::npos);
        newton.solve_load_flow(5, 1.0);
        EXPECT_NE(log.text().find("at line 2 in the file \n    probe\n"), std::string::npos);
        probe.compute_currents(false);  // outside any solver operation
    }
    EXPECT_EQ(reports, std::vector<std::string>{"recorder 2"});
}
}  // namespace
