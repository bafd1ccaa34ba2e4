#pragma once
// Helpers shared by the solver tests.
#include <memory>
#include <sstream>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

// Sends the default logger's output to a string ("<level>|<message>" per line) while it lives.
class LogCapture {
public:
    explicit LogCapture(spdlog::level::level_enum level = spdlog::level::trace) : previous_(spdlog::default_logger()) {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
        auto logger = std::make_shared<spdlog::logger>("capture", sink);
        logger->set_pattern("%l|%v");
        logger->set_level(level);
        spdlog::set_default_logger(logger);
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return stream_.str(); }

private:
    std::shared_ptr<spdlog::logger> previous_;
    std::ostringstream stream_;
};

#include <algorithm>
#include <complex>
#include <functional>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "case_names.hpp"
#include "solvers/abstract_solver.hpp"
#include "solvers/newton.hpp"

enum class SolverKind { backward_forward, newton, newton_goldstein };

inline const char* solver_name(SolverKind kind) {
    switch (kind) {
        case SolverKind::backward_forward:
            return "BackwardForward";
        case SolverKind::newton:
            return "Newton";
        case SolverKind::newton_goldstein:
            return "NewtonGoldstein";
    }
    return "?";
}

// How a failing test prints its solver.
inline void PrintTo(SolverKind kind, std::ostream* os) { *os << solver_name(kind); }

inline constexpr SolverKind all_solver_kinds[] = {SolverKind::backward_forward, SolverKind::newton,
                                                  SolverKind::newton_goldstein};

// Names the instances of a test parameterised by the solver.
inline std::string solver_param_name(const ::testing::TestParamInfo<SolverKind>& info) {
    return solver_name(info.param);
}

inline std::unique_ptr<AbstractSolver> make_solver(SolverKind kind, ElectricalNetwork* network) {
    switch (kind) {
        case SolverKind::backward_forward:
            return std::make_unique<BackwardForward>(network);
        case SolverKind::newton:
            return std::make_unique<Newton>(network, true);
        case SolverKind::newton_goldstein:
            return std::make_unique<NewtonGoldstein>(network, false, 0.1, 0.9, true);
    }
    return nullptr;
}

// The message of the runtime error call throws, or "no exception".
inline std::string error_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

// The message of the runtime error a solve throws, or "no exception".
inline std::string failure_of(AbstractSolver& solver, int max_iterations, double tolerance) {
    return error_of([&] { solver.solve_load_flow(max_iterations, tolerance); });
}

// Solves to a tolerance that leaves every solver well inside 1e-6 V of the exact solution.
inline std::pair<int, double> solve_tightly(AbstractSolver& solver, SolverKind kind) {
    return kind == SolverKind::backward_forward ? solver.solve_load_flow(500, 1e-11)
                                                : solver.solve_load_flow(20, 1e-9);
}

// Every node's potential as the elements read it, in network order.
inline std::vector<std::complex<double>> node_potentials(const ElectricalNetwork& network) {
    std::vector<std::complex<double>> v;
    for (const auto& c : network.connections) v.push_back(c->get_potential());
    return v;
}

inline double largest_difference(const std::vector<std::complex<double>>& a,
                                 const std::vector<std::complex<double>>& b) {
    double d = a.size() == b.size() ? 0.0 : 1e300;
    for (std::size_t k = 0; k < std::min(a.size(), b.size()); ++k) d = std::max(d, std::abs(a[k] - b[k]));
    return d;
}
