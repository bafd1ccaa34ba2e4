// A Newton-family solver solved again and again after updates, as a time series does, against a
// fresh solver started at the same point each time; and the memory it keeps between solves.
#include <memory>
#include <string>
#include <vector>

#include <cppad/utility/thread_alloc.hpp>
#include <gtest/gtest.h>

#include "../../benchmarks/feeder.hpp"
#include "solver_test_support.hpp"

namespace {
using feeder::Complex;

feeder::Options feeder_of(int buses) {
    feeder::Options o;
    o.buses = buses;
    return o;
}

std::size_t colours(const AbstractNewton& solver) {
    std::size_t k = 0;
    for (std::size_t c : solver.work.color)
        if (c < solver.work.color.size() && c + 1 > k) k = c + 1;
    return k;
}

// Same structure and the same values, bit for bit.
void expect_same_matrix(const Eigen::SparseMatrix<double>& a, const Eigen::SparseMatrix<double>& b,
                        const std::string& what) {
    ASSERT_EQ(a.rows(), b.rows()) << what;
    ASSERT_EQ(a.nonZeros(), b.nonZeros()) << what;
    for (Eigen::Index c = 0; c <= a.outerSize(); ++c) ASSERT_EQ(a.outerIndexPtr()[c], b.outerIndexPtr()[c]) << what;
    for (Eigen::Index k = 0; k < a.nonZeros(); ++k) {
        ASSERT_EQ(a.innerIndexPtr()[k], b.innerIndexPtr()[k]) << what;
        ASSERT_EQ(a.valuePtr()[k], b.valuePtr()[k]) << what << ", entry " << k;
    }
}

void expect_same_currents(const feeder::Feeder& a, const feeder::Feeder& b, const std::string& what) {
    const auto& ea = a.network->elements;
    const auto& eb = b.network->elements;
    ASSERT_EQ(ea.size(), eb.size());
    for (std::size_t e = 0; e < ea.size(); ++e)
        for (std::size_t p = 0; p < ea[e]->ports.size(); ++p)
            ASSERT_EQ(ea[e]->ports[p].current, eb[e]->ports[p].current) << what << ", element " << e << " port " << p;
}

// One time-series step: every load scaled from its value at construction, then one solve.
struct Step {
    double load_factor;
    int max_iterations;
    double tolerance;
    bool read_after;  // the residuals and the Jacobian are read after the solve, before the next
};

const Step steps[] = {
    {1.0, 20, 1e-9, false},  // the first solve settles the pattern
    {1.2, 1, -1.0, false},   // one iteration per step
    {1.3, 1, -1.0, true},
    {0.7, 2, -1.0, false},
    {0.7, 0, 1e-9, false},   // no step at all: only the currents
    {1.6, 20, 1e-9, true},
    {1.1, 1, -1.0, false},
    {1.1, 20, 1e-9, false},
    {0.9, 1, -1.0, true},
};

// The solver under test on one feeder, and an identical feeder that receives the same updates and
// a fresh solver for every step.
struct Line {
    SolverKind kind;
    std::unique_ptr<feeder::Feeder> feeder;
    std::unique_ptr<feeder::Feeder> twin;
    std::unique_ptr<AbstractSolver> solver;
    // Every fresh solver lives as long as the line: destroying a Newton-family solver empties the
    // pool, and the solver under test should meet what it kept.
    std::vector<std::unique_ptr<AbstractSolver>> fresh;

    Line(SolverKind k, int buses)
        : kind(k), feeder(feeder::build(feeder_of(buses))), twin(feeder::build(feeder_of(buses))),
          solver(make_solver(k, feeder->network.get())) {}

    AbstractNewton& newton() { return dynamic_cast<AbstractNewton&>(*solver); }

    void run(const Step& s, const std::string& what) {
        feeder->scale_loads(s.load_factor);
        twin->scale_loads(s.load_factor);
        fresh.push_back(make_solver(kind, twin->network.get()));  // the twin's records bind to it
        AbstractSolver& reference = *fresh.back();
        reference.set_variables(solver->variables.data());
        const auto result = solver->solve_load_flow(s.max_iterations, s.tolerance);
        const auto expected = reference.solve_load_flow(s.max_iterations, s.tolerance);
        ASSERT_EQ(result, expected) << what;
        ASSERT_EQ(solver->variables, reference.variables) << what;
        expect_same_currents(*feeder, *twin, what);
        if (s.read_after) {
            auto& newton_reference = dynamic_cast<AbstractNewton&>(reference);
            ASSERT_EQ(newton().get_residuals(), newton_reference.get_residuals()) << what;
            expect_same_matrix(newton().compute_jacobian(), newton_reference.compute_jacobian(), what);
        }
    }
};

class NewtonReuse : public ::testing::TestWithParam<SolverKind> {};

TEST_P(NewtonReuse, EveryStepEqualsAFreshSolverFromTheSamePoint) {
    // Two solvers of different sizes take turns, as two feeders of one study would; the smaller is
    // destroyed half-way, which empties the pool under the other.
    std::vector<std::unique_ptr<Line>> lines;
    lines.push_back(std::make_unique<Line>(GetParam(), 40));
    lines.push_back(std::make_unique<Line>(GetParam(), 13));
    const std::size_t count = sizeof steps / sizeof steps[0];
    for (std::size_t k = 0; k < count; ++k) {
        if (k == count / 2) lines.pop_back();
        for (std::size_t l = 0; l < lines.size(); ++l) {
            const std::string what = "step " + std::to_string(k) + " of line " + std::to_string(l);
            lines[l]->run(steps[k], what);
            if (HasFatalFailure()) return;
        }
    }
    // More colours than one group of Jacobian columns takes, so the Taylor coefficients change
    // size three ways in every iteration.
    EXPECT_GT(colours(lines[0]->newton()), 30u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NewtonReuse, ::testing::Values(SolverKind::newton, SolverKind::newton_goldstein),
                         solver_param_name);

TEST(NewtonMemory, KeptBetweenSolvesAndReleasedWithTheSolver) {
    const std::size_t thread = CppAD::thread_alloc::thread_num();
    auto f = feeder::build(feeder_of(40));
    // A first solver settles whatever CppAD allocates once per process.
    Newton(f->network.get(), true).solve_load_flow(20, 1e-9);
    EXPECT_EQ(CppAD::thread_alloc::available(thread), 0u);
    const std::size_t in_use = CppAD::thread_alloc::inuse(thread);
    {
        Newton solver(f->network.get(), true);
        solver.solve_load_flow(20, 1e-9);
        // Blocks of the sizes the Taylor coefficients take in an iteration wait for the next solve.
        const std::size_t kept = CppAD::thread_alloc::available(thread);
        const std::size_t held = CppAD::thread_alloc::inuse(thread);
        EXPECT_GT(kept, 0u);
        const double factors[] = {1.2, 0.8, 1.4, 1.0};
        for (double factor : factors) {
            f->scale_loads(factor);
            solver.solve_load_flow(1, -1.0);
            // Taken from what was kept and left there again: nothing more, nothing less.
            EXPECT_EQ(CppAD::thread_alloc::available(thread), kept);
            EXPECT_EQ(CppAD::thread_alloc::inuse(thread), held);
        }
        solver.compute_jacobian();
        solver.get_residuals();
        EXPECT_EQ(CppAD::thread_alloc::available(thread) + CppAD::thread_alloc::inuse(thread), kept + held);
    }
    EXPECT_EQ(CppAD::thread_alloc::available(thread), 0u);
    EXPECT_EQ(CppAD::thread_alloc::inuse(thread), in_use);
}

TEST(NewtonMemory, NothingKeptWithoutASolve) {
    // Recording and optimising hold nothing back, nor does a solver that never evaluates.
    const std::size_t thread = CppAD::thread_alloc::thread_num();
    auto f = feeder::build(feeder_of(13));
    const std::size_t in_use = CppAD::thread_alloc::inuse(thread);
    {
        Newton solver(f->network.get(), true);
        EXPECT_EQ(CppAD::thread_alloc::available(thread), 0u);
    }
    EXPECT_EQ(CppAD::thread_alloc::available(thread), 0u);
    EXPECT_EQ(CppAD::thread_alloc::inuse(thread), in_use);
}
}  // namespace
