// The sweep loop: its error rule, its iteration semantics and its NaN failures.
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "elements/branch.hpp"
#include "elements/bus.hpp"
#include "solver_test_support.hpp"
#include "solvers/abstract_solver.hpp"

namespace {
const double nan = std::numeric_limits<double>::quiet_NaN();

// One-port element whose forward step reports the next value of a script (the last one repeats)
// and whose backward step sets a given port current. It logs its calls.
class ScriptedElement : public Element {
public:
    std::vector<double> script;
    std::complex<double> backward_current = 0.0;
    std::vector<std::complex<double>> backward_script;  // per sweep, the last one repeating; else backward_current
    std::string* calls = nullptr;
    char name = '?';
    std::size_t next = 0;
    std::size_t next_backward = 0;

    explicit ScriptedElement(std::vector<double> s) : Element(1), script(std::move(s)) {}
    void compute_currents(bool on_tape) override { set_all_currents_zero(*this, on_tape); }
    void backward_step() override {
        if (calls) *calls += std::string("b") + name;
        ports[0].current = backward_script.empty()
                               ? backward_current
                               : backward_script[std::min(next_backward++, backward_script.size() - 1)];
    }
    double forward_step() override {
        if (calls) *calls += std::string("f") + name;
        const double r = script[std::min(next, script.size() - 1)];
        ++next;
        return r;
    }
};

// An element that leaves the default backward step.
class NoSweepElement : public Element {
public:
    NoSweepElement() : Element(1) {}
    void compute_currents(bool) override {}
};

struct Scripted {
    std::vector<std::unique_ptr<ScriptedElement>> owned;
    std::unique_ptr<ElectricalNetwork> network;
    explicit Scripted(const std::vector<std::vector<double>>& scripts) {
        std::vector<Element*> list;
        for (const auto& s : scripts) {
            owned.push_back(std::make_unique<ScriptedElement>(s));
            list.push_back(owned.back().get());
        }
        network = std::make_unique<ElectricalNetwork>(std::move(list));
    }
};

struct ErrorCase {
    const char* what;
    std::vector<std::vector<double>> scripts;  // per element, per sweep
    double expected;
};

class SweepError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SweepError, IsTheLargestForwardResult) {
    Scripted s(GetParam().scripts);
    BackwardForward solver(s.network.get());
    const auto [iterations, error] = solver.solve_load_flow(1, 0.0);
    EXPECT_EQ(iterations, 1);
    EXPECT_EQ(error, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SweepError,
    ::testing::Values(ErrorCase{"largest wins", {{0.5}, {2.0}, {1.0}}, 2.0},
                      ErrorCase{"negatives never lower", {{-3.0}, {0.25}, {-7.0}}, 0.25},
                      ErrorCase{"only negatives give zero", {{-1.0}, {-2.0}}, 0.0},
                      ErrorCase{"infinity counts", {{1.0}, {std::numeric_limits<double>::infinity()}},
                                std::numeric_limits<double>::infinity()}),
    described_case<ErrorCase>);

struct IterationCase {
    const char* what;
    std::vector<std::vector<double>> scripts;
    int max_iterations;
    double tolerance;
    int iterations;
    double error;
};

class SweepIterations : public ::testing::TestWithParam<IterationCase> {};

TEST_P(SweepIterations, FollowTheStopRule) {
    const IterationCase& c = GetParam();
    Scripted s(c.scripts);
    BackwardForward solver(s.network.get());
    const auto [iterations, error] = solver.solve_load_flow(c.max_iterations, c.tolerance);
    EXPECT_EQ(iterations, c.iterations) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SweepIterations,
    ::testing::Values(
        IterationCase{"no iterations allowed still sweeps once", {{5.0}}, 0, 1e-9, 1, 5.0},
        IterationCase{"negative limit still sweeps once", {{5.0}}, -3, 1e-9, 1, 5.0},
        IterationCase{"limit reached is no failure", {{5.0}}, 4, 1e-9, 4, 5.0},
        IterationCase{"stops at the first sweep within tolerance", {{5.0, 1.0, 1e-3, 1e-12}}, 10, 1e-6, 4, 1e-12},
        IterationCase{"tolerance met exactly stops", {{1.0, 0.5}}, 10, 0.5, 2, 0.5},
        IterationCase{"NaN tolerance sweeps once", {{5.0}}, 10, nan, 1, 5.0},
        IterationCase{"empty network converges at once", {}, 10, 0.0, 1, 0.0},
        IterationCase{"empty network, negative tolerance runs to the limit", {}, 7, -1.0, 7, 0.0},
        IterationCase{"empty network, negative tolerance and no limit", {}, 0, -1.0, 1, 0.0}),
    described_case<IterationCase>);

struct NanCase {
    const char* what;
    std::vector<std::vector<double>> scripts;
    int sweep;  // the sweep expected to fail
};

class SweepNan : public ::testing::TestWithParam<NanCase> {};

TEST_P(SweepNan, FailsAfterTheForwardPass) {
    const NanCase& c = GetParam();
    Scripted s(c.scripts);
    BackwardForward solver(s.network.get());
    try {
        solver.solve_load_flow(10, 1e-9);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "2 NaN value encountered at iteration " + std::to_string(c.sweep) + ". ");
    }
    // Every forward step of the failing sweep ran.
    for (const auto& e : s.owned) EXPECT_EQ(e->next, static_cast<std::size_t>(c.sweep));
}

INSTANTIATE_TEST_SUITE_P(Cases, SweepNan,
                         ::testing::Values(NanCase{"first element, later ones finite", {{nan}, {1.0}, {0.5}}, 1},
                                           NanCase{"a larger value after the NaN", {{1.0}, {nan}, {100.0}}, 1},
                                           NanCase{"in a later sweep", {{1.0, 1.0, nan}, {0.0}}, 3}),
                         described_case<NanCase>);

TEST(BackwardForward, NanCurrentOfABackwardStepFails) {
    // Sources and references report no change, so a NaN current at their nodes would converge.
    Scripted s({{0.0}, {0.0}});
    s.owned[1]->backward_current = {1.0, nan};
    BackwardForward solver(s.network.get());
    EXPECT_THROW(
        {
            try {
                solver.solve_load_flow(10, 1e-9);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "2 NaN value encountered at iteration 1. ");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(s.owned[0]->next, 1u);  // the forward pass ran first
}

TEST(BackwardForward, AnInfiniteCurrentFailsOnlyWhenLeftInTheResult) {
    const double inf = std::numeric_limits<double>::infinity();
    // Infinite in the first sweep only, as at a load on a node that its source had not imposed yet.
    Scripted passing({{1.0, 0.0}});
    passing.owned[0]->backward_script = {{inf, 0.0}, 2.0};
    BackwardForward recovering(passing.network.get());
    EXPECT_EQ(recovering.solve_load_flow(10, 1e-9), std::make_pair(2, 0.0));
    // Still infinite in the last sweep: a balance check would take inf - inf for balanced.
    Scripted left({{1.0, 0.0}});
    left.owned[0]->backward_script = {{inf, -inf}};
    BackwardForward stuck(left.network.get());
    EXPECT_EQ(failure_of(stuck, 10, 1e-9), "2 NaN value encountered at iteration 2. ");
}

TEST(BackwardForward, BackwardStepsInReverseOrderThenForwardStepsInOrder) {
    Scripted s({{1.0, 0.0}, {0.0}, {0.0}});
    std::string calls;
    const char names[] = {'A', 'B', 'C'};
    for (std::size_t k = 0; k < 3; ++k) {
        s.owned[k]->calls = &calls;
        s.owned[k]->name = names[k];
    }
    BackwardForward solver(s.network.get());
    EXPECT_EQ(solver.solve_load_flow(10, 0.5), std::make_pair(2, 0.0));
    EXPECT_EQ(calls, "bCbBbAfAfBfC" "bCbBbAfAfBfC");
}

TEST(BackwardForward, ElementWithoutSweepRuleFails) {
    NoSweepElement e;
    ElectricalNetwork network({&e});
    BackwardForward solver(&network);
    try {
        solver.solve_load_flow(10, 1e-9);
        FAIL() << "no exception";
    } catch (const std::runtime_error& ex) {
        EXPECT_STREQ(ex.what(), "2 No backward-forward method has been defined for this element");
    }
}

// A bus held at zero through a reference and a switch to a second bus: the reference's forward step
// clears the first node and reports how far it was off; the switch carries that potential on.
struct SwitchedBuses {
    std::complex<double> v1[2] = {{230.0, 10.0}, {40.0, -3.0}};
    std::complex<double> v2[2] = {{0.0, 0.0}, {0.0, 0.0}};
    Bus bus1{2, v1};
    Switch sw{2};
    Bus bus2{2, v2};
    PotentialRef ref;
    ElectricalNetwork* network = nullptr;

    SwitchedBuses() {
        for (int k = 0; k < 2; ++k) {
            bus1.ports[k].connection->merge(sw.ports[k].connection);
            bus2.ports[k].connection->merge(sw.ports[2 + k].connection);
        }
        // The reference's node takes over bus1's second node.
        ref.ports[0].connection->merge(bus1.ports[1].connection);
        network = new ElectricalNetwork({&bus1, &sw, &bus2, &ref});
    }
    ~SwitchedBuses() { delete network; }
};

TEST(BackwardForward, SweepsPotentialsThroughASwitch) {
    SwitchedBuses f;
    BackwardForward solver(f.network);
    // Free nodes: bus1 port 0, bus2 port 0, bus2 port 1 (bus1 port 1 is held at zero); then the
    // switch's two currents.
    ASSERT_EQ(solver.variables.size(), 10);
    // The first sweep moves bus 2 onto bus 1's potentials; the second finds nothing left to move.
    const auto [iterations, error] = solver.solve_load_flow(10, 1e-12);
    EXPECT_EQ(iterations, 2);
    EXPECT_EQ(error, 0.0);
    EXPECT_EQ(f.bus2.ports[0].connection->get_potential(), std::complex<double>(230.0, 10.0));
    EXPECT_EQ(f.bus2.ports[1].connection->get_potential(), std::complex<double>(0.0, 0.0));
    EXPECT_EQ(solver.variables[2], 230.0);
    EXPECT_EQ(solver.variables[3], 10.0);
    // Forward steps write the own values too.
    EXPECT_EQ(f.bus2.ports[0].connection->potential.value, std::complex<double>(230.0, 10.0));
}

TEST(BackwardForward, SuccessiveSolvesContinue) {
    Scripted s({{3.0, 2.0, 1.0, 0.0}});
    BackwardForward solver(s.network.get());
    EXPECT_EQ(solver.solve_load_flow(1, 0.0), std::make_pair(1, 3.0));
    EXPECT_EQ(solver.solve_load_flow(1, 0.0), std::make_pair(1, 2.0));
    EXPECT_EQ(solver.solve_load_flow(10, 0.0), std::make_pair(2, 0.0));
}

TEST(BackwardForward, ResetAndSetVariablesWriteInPlace) {
    SwitchedBuses f;
    BackwardForward solver(f.network);
    const double* storage = solver.variables.data();
    solver.solve_load_flow(10, 1e-12);
    solver.reset_inputs();
    EXPECT_EQ(solver.variables, solver.initial_variables);
    const double values[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    solver.set_variables(values);
    EXPECT_EQ(solver.variables.data(), storage);
    EXPECT_EQ(f.bus2.ports[1].connection->get_potential(), std::complex<double>(5.0, 6.0));
}
}  // namespace
