// The three solvers on radial four-wire feeders: physics at the solution, agreement, updates.
#include <cmath>
#include <memory>

#include <gtest/gtest.h>

#include "../../benchmarks/feeder.hpp"
#include "solver_test_support.hpp"

namespace {
using feeder::Complex;

const SolverKind all_kinds[] = {SolverKind::backward_forward, SolverKind::newton, SolverKind::newton_goldstein};

Eigen::MatrixXcd matrix4(const std::vector<Complex>& rows) {
    Eigen::MatrixXcd m(4, 4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m(i, j) = rows[static_cast<std::size_t>(4 * i + j)];
    return m;
}

Eigen::VectorXcd side_potentials(const std::vector<Port*>& side) {
    Eigen::VectorXcd v(4);
    for (int k = 0; k < 4; ++k) v[k] = side[static_cast<std::size_t>(k)]->connection->get_potential();
    return v;
}

Eigen::VectorXcd side_currents(const std::vector<Port*>& side) {
    Eigen::VectorXcd v(4);
    for (int k = 0; k < 4; ++k) v[k] = side[static_cast<std::size_t>(k)]->current;
    return v;
}

// 13 buses: two rounds of the six load kinds, both line kinds, a binary tree of depth 3.
feeder::Options small_feeder() {
    feeder::Options o;
    o.buses = 13;
    return o;
}

class FeederSolution : public ::testing::TestWithParam<SolverKind> {};

TEST_P(FeederSolution, SatisfiesKirchhoffAndTheLineEquations) {
    auto f = feeder::build(small_feeder());
    auto solver = make_solver(GetParam(), f->network.get());
    const auto [iterations, error] = solve_tightly(*solver, GetParam());
    ASSERT_LT(iterations, GetParam() == SolverKind::backward_forward ? 500 : 20);
    if (GetParam() != SolverKind::backward_forward) {
        EXPECT_LE(iterations, 5);
    }

    // The lines' own equations at the solution, with the currents the solver left.
    const Eigen::MatrixXcd z = matrix4(f->z_section);
    const Eigen::MatrixXcd y = matrix4(f->y_section);
    for (const feeder::LineEntry& l : f->lines) {
        const Eigen::VectorXcd v1 = side_potentials(l.line->side1);
        const Eigen::VectorXcd v2 = side_potentials(l.line->side2);
        const Eigen::VectorXcd i1 = side_currents(l.line->side1);
        Eigen::VectorXcd drop = z * i1;
        if (l.shunt) {
            const Complex vg = l.line->ports[8].connection->get_potential();
            EXPECT_EQ(vg, Complex(0.0, 0.0));
            drop = z * (i1 - 0.5 * y * (v1 - Eigen::VectorXcd::Constant(4, vg)));
        }
        EXPECT_LT((v1 - v2 - drop).cwiseAbs().maxCoeff(), 1e-8) << "line to bus " << l.child;
        // Nothing is lost in a series line.
        if (!l.shunt) {
            EXPECT_LT((i1 + side_currents(l.line->side2)).cwiseAbs().maxCoeff(), 1e-9);
        }
    }

    // Every element but the source recomputes its currents from the final potentials; the source
    // keeps what the solver found. The currents then balance at every free node.
    for (Element* e : f->network->elements)
        if (e != f->source) e->compute_currents(false);
    double worst = 0.0;
    int free_nodes = 0;
    for (const auto& node : f->network->connections) {
        if (node->is_zero) continue;
        ++free_nodes;
        Complex sum = 0.0;
        for (const Port* p : node->ports) sum += p->current;
        worst = std::max(worst, std::abs(sum));
    }
    EXPECT_EQ(free_nodes, 3 + 4 * 12);
    EXPECT_LT(worst, 1e-6);

    // Realistic operating point: a few volts of drop, a floating neutral, the source delivering.
    const auto far = side_potentials(f->lines.back().line->side2);
    EXPECT_GT(std::abs(far[0]), 220.0);
    EXPECT_LT(std::abs(far[0]), 230.0);
    EXPECT_GT(std::abs(far[3]), 1e-3);
    Complex delivered = 0.0;
    for (int k = 0; k < 3; ++k)
        delivered -= f->source->ports[static_cast<std::size_t>(k)].connection->get_potential() *
                     std::conj(f->source->ports[static_cast<std::size_t>(k)].current);
    EXPECT_GT(delivered.real(), 80e3);
    EXPECT_LT(delivered.real(), 95e3);
}

INSTANTIATE_TEST_SUITE_P(Solvers, FeederSolution, ::testing::ValuesIn(all_kinds),
                         [](const auto& info) { return std::string(solver_name(info.param)); });

std::vector<Complex> solved_potentials(SolverKind kind, const feeder::Options& options) {
    auto f = feeder::build(options);
    auto solver = make_solver(kind, f->network.get());
    solve_tightly(*solver, kind);
    return node_potentials(*f->network);
}

TEST(FeederAgreement, AllSolversFindTheSamePotentials) {
    for (const bool shunt : {true, false}) {
        feeder::Options o = small_feeder();
        o.shunt_lines = shunt;
        o.branching = shunt ? 2 : 1;  // a tree, and a plain chain
        const auto reference = solved_potentials(SolverKind::newton, o);
        for (SolverKind kind : {SolverKind::newton_goldstein, SolverKind::backward_forward})
            EXPECT_LT(largest_difference(reference, solved_potentials(kind, o)), 1e-6) << solver_name(kind);
    }
}

class FeederUpdate : public ::testing::TestWithParam<SolverKind> {};

TEST_P(FeederUpdate, SecondSolveEqualsAFreshSolver) {
    const SolverKind kind = GetParam();
    auto f = feeder::build(small_feeder());
    auto solver = make_solver(kind, f->network.get());
    solve_tightly(*solver, kind);
    const auto first = node_potentials(*f->network);
    auto* newton = dynamic_cast<AbstractNewton*>(solver.get());
    const std::size_t operators = newton ? newton->tape.size_op() : 0;
    const VectorXd residuals_before = newton ? newton->get_residuals() : VectorXd();

    // Loads, the source and two lines (one of each kind) change.
    f->scale_loads(1.6);
    const auto u = feeder::nominal_voltages();
    const Complex raised[3] = {u[0] * 1.02, u[1] * 1.02, u[2] * 1.02};
    f->source->update_voltages(raised);
    std::vector<Complex> z2(f->z_section);
    for (Complex& x : z2) x *= 3.0;
    for (const feeder::LineEntry& l : {f->lines[0], f->lines[1]}) {
        if (l.shunt)
            static_cast<ShuntLine*>(l.line)->update_line_parameters(f->y_section.data(), z2.data());
        else
            static_cast<SimplifiedLine*>(l.line)->update_line_parameters(z2.data());
    }
    ASSERT_NE(f->lines[0].shunt, f->lines[1].shunt);

    if (newton) {
        // Until the next solve the tape keeps the parameters of the last one.
        EXPECT_EQ(newton->get_residuals(), residuals_before);
    }
    solve_tightly(*solver, kind);
    const auto second = node_potentials(*f->network);
    EXPECT_GT(largest_difference(first, second), 1.0);
    if (newton) {
        EXPECT_EQ(newton->tape.size_op(), operators);
        EXPECT_LT(newton->get_residuals().cwiseAbs().maxCoeff(), 1e-9);
    }

    auto fresh = make_solver(kind, f->network.get());
    solve_tightly(*fresh, kind);
    EXPECT_LT(largest_difference(second, node_potentials(*f->network)), 1e-8);
}

INSTANTIATE_TEST_SUITE_P(Solvers, FeederUpdate, ::testing::ValuesIn(all_kinds),
                         [](const auto& info) { return std::string(solver_name(info.param)); });

// Single phase and neutral over one line of resistance r per conductor, derived by hand: with U
// the load voltage and I the current, 230 = U + 2 r I.
enum class Family { power, current, admittance };

struct HandCase {
    Family family;
    Complex value;
    double load_voltage;
};

const double r = 0.5;
const HandCase hand_cases[] = {
    // U^2 - 230 U + 2 r P = 0
    {Family::power, 2000.0, (230.0 + std::sqrt(230.0 * 230.0 - 8.0 * r * 2000.0)) / 2.0},
    // U = 230 - 2 r J
    {Family::current, 10.0, 220.0},
    // U = 230 / (1 + 2 r Y)
    {Family::admittance, 0.1, 230.0 / 1.1},
};

class HandDerived : public ::testing::TestWithParam<std::tuple<HandCase, SolverKind>> {};

TEST_P(HandDerived, SinglePhaseLoadAtTheEndOfALine) {
    const auto [c, kind] = GetParam();
    const Complex u[1] = {230.0};
    const Complex start[2] = {230.0, 0.0};
    const Complex z[4] = {r, 0.0, 0.0, r};
    VoltageSource source(2, u);
    PotentialRef ref;
    Bus bus0(2, start);
    SimplifiedLine line(2, z);
    Bus bus1(2, start);
    std::unique_ptr<LoadBase> load;
    switch (c.family) {
        case Family::power:
            load = std::make_unique<PowerLoad>(2, &c.value);
            break;
        case Family::current:
            load = std::make_unique<CurrentLoad>(2, &c.value);
            break;
        case Family::admittance:
            load = std::make_unique<AdmittanceLoad>(2, &c.value);
            break;
    }
    for (int k = 0; k < 2; ++k) {
        feeder::join(bus0.ports[k], source.ports[k]);
        feeder::join(bus0.ports[k], *line.side1[k]);
        feeder::join(bus1.ports[k], *line.side2[k]);
        feeder::join(bus1.ports[k], load->ports[k]);
    }
    feeder::join(ref.ports[0], bus0.ports[1]);
    ElectricalNetwork network({&source, &ref, &bus0, &line, &bus1, load.get()});
    auto solver = make_solver(kind, &network);
    solve_tightly(*solver, kind);

    const double current = (230.0 - c.load_voltage) / (2.0 * r);
    EXPECT_NEAR(std::abs(bus1.ports[0].connection->get_potential() - Complex(230.0 - r * current)), 0.0, 1e-7);
    EXPECT_NEAR(std::abs(bus1.ports[1].connection->get_potential() - Complex(r * current)), 0.0, 1e-7);
    EXPECT_NEAR(std::abs(load->ports[0].current - current), 0.0, 1e-7);
    EXPECT_NEAR(std::abs(source.ports[0].current + current), 0.0, 1e-7);
}

std::string hand_case_name(const ::testing::TestParamInfo<std::tuple<HandCase, SolverKind>>& info) {
    static const char* const families[] = {"ConstantPower", "ConstantCurrent", "ConstantAdmittance"};
    return std::string(families[static_cast<int>(std::get<0>(info.param).family)]) + "_" +
           solver_name(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Cases, HandDerived,
                         ::testing::Combine(::testing::ValuesIn(hand_cases), ::testing::ValuesIn(all_kinds)),
                         hand_case_name);
}  // namespace

namespace {
// A constant-current load with both ports on the source's phase node sees no voltage: its current
// is NaN while every forward step (source, reference) reports no change.
TEST(BackwardForwardNan, NanLoadCurrentAtTheSourceNodeFails) {
    const Complex u[1] = {230.0};
    const Complex j[1] = {10.0};
    VoltageSource source(2, u);
    PotentialRef ref;
    CurrentLoad load(2, j);
    feeder::join(source.ports[0], load.ports[0]);
    feeder::join(source.ports[0], load.ports[1]);
    feeder::join(ref.ports[0], source.ports[1]);
    ElectricalNetwork network({&source, &ref, &load});
    BackwardForward solver(&network);
    try {
        solver.solve_load_flow(10, 1e-9);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "2 NaN value encountered at iteration 1. ");
    }
    // The forward pass ran: the source has written its potential.
    EXPECT_EQ(source.ports[0].connection->get_potential(), Complex(230.0));
}
}  // namespace
