// The load balancer: its admittance matrix, sequence currents by hand in both evaluation modes, the
// links, degenerate values, and four-wire feeders with unbalanced loads solved by the three solvers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "../../benchmarks/feeder.hpp"
#include "element_check_support.hpp"
#include "elements/load_balancer.hpp"
#include "solver_test_support.hpp"

namespace {
using cd = std::complex<double>;
const double pi = std::acos(-1.0);
const cd a = std::polar(1.0, 2.0 * pi / 3.0);  // 120 degree rotation

using feeder::join;

void place(LoadBalancer& b, const cd (&phases)[3], cd neutral) {
    for (std::size_t i = 0; i < 3; ++i) b.ports[i].connection->set_potential(phases[i] + neutral);
    b.ports[3].connection->set_potential(neutral);
}

// ---------------------------------------------------------------------------------------------
// The matrices

struct MatrixCase {
    cd z2;
    cd ym;
    double k;
};

const MatrixCase matrix_cases[] = {
    {cd(0.3, 0.1), cd(1e-4, -2e-3), 1.0},
    {cd(0.05, 0.2), cd(0.02, -0.01), 0.5},
    {cd(1.0, 0.0), cd(0.0, -0.1), 2.0},
    {cd(0.2, -0.4), cd(3e-3, 1e-3), -1.5},
};

TEST(LoadBalancerMatrix, AdmittanceIsTheInverseOfTheImpedanceByHand) {
    for (const MatrixCase& c : matrix_cases) {
        LoadBalancer b(c.z2, c.ym, c.k);
        Eigen::Matrix3cd z;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) z(i, j) = i == j ? c.z2 + (1.0 + 1.0 / (c.k * c.k)) / c.ym : -1.0 / (c.k * c.ym);
        const Eigen::MatrixXcd& y = b.admittance_matrix.value;
        ASSERT_EQ(y.rows(), 3);
        ASSERT_EQ(y.cols(), 3);
        EXPECT_LT((y * z - Eigen::Matrix3cd::Identity()).cwiseAbs().maxCoeff(), 1e-12) << c.k;
        EXPECT_FALSE(b.admittance_matrix.linked);
        EXPECT_EQ(b.admittance_matrix.ad.size(), 0);

        // Collected row by row, real then imaginary part.
        std::vector<double> values;
        b.collect_parameters(values);
        ASSERT_EQ(values.size(), 18u);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                EXPECT_EQ(values[static_cast<std::size_t>(2 * (3 * i + j))], y(i, j).real());
                EXPECT_EQ(values[static_cast<std::size_t>(2 * (3 * i + j) + 1)], y(i, j).imag());
            }
    }
    // The fixed phase-to-neutral matrix.
    LoadBalancer b(1.0, 1.0, 1.0);
    Eigen::Matrix<double, 3, 4> m;
    m << 1, 0, 0, -1, 0, 1, 0, -1, 0, 0, 1, -1;
    EXPECT_EQ(b.phase_to_neutral, m);
    EXPECT_EQ(b.ports.size(), 4u);
    EXPECT_EQ(b.inner_current_count(), 3);
}

// ---------------------------------------------------------------------------------------------
// Currents with k = 1: a zero-sequence voltage u draws u / z2 per phase, a positive- or
// negative-sequence one u / (z2 + 3 / ym).

struct SequenceCase {
    const char* name;
    cd phases[3];
    cd neutral;
    bool zero_sequence;
};

const cd u(231.0, -12.0);
const SequenceCase sequence_cases[] = {
    {"zero sequence", {u, u, u}, cd(4.0, 3.0), true},
    {"zero sequence, neutral at zero", {u, u, u}, 0.0, true},
    {"positive sequence", {u, a * a * u, a * u}, cd(-2.0, 1.0), false},
    {"negative sequence", {u, a * u, a * a * u}, 0.0, false},
};

TEST(LoadBalancerCurrents, SequenceVoltagesByHandInBothModes) {
    const cd z2(0.3, 0.1), ym(1e-4, -2e-3);
    for (const SequenceCase& c : sequence_cases) {
        LoadBalancer b(z2, ym, 1.0);
        place(b, c.phases, c.neutral);
        const cd per_phase = c.zero_sequence ? 1.0 / z2 : 1.0 / (z2 + 3.0 / ym);
        std::vector<cd> expected(4);
        for (std::size_t i = 0; i < 3; ++i) {
            expected[i] = c.phases[i] * per_phase;
            expected[3] -= expected[i];
        }

        PortTape tape({&b});
        const std::vector<cd> on_tape = tape.currents();
        b.compute_currents(false);
        const std::vector<cd> plain = port_currents(b);
        b.backward_step();  // the same double-mode evaluation
        for (std::size_t i = 0; i < 4; ++i) {
            const double scale = 1.0 + std::abs(expected[i]);
            EXPECT_LT(std::abs(plain[i] - expected[i]), 1e-12 * scale) << c.name << " port " << i;
            EXPECT_LT(std::abs(on_tape[i] - expected[i]), 1e-12 * scale) << c.name << " port " << i;
            EXPECT_EQ(b.ports[i].current, plain[i]);
        }
        if (!c.zero_sequence) {
            EXPECT_LT(std::abs(plain[3]), 1e-12) << c.name;
        }
        EXPECT_EQ(b.forward_step(), 0.0);

        // The three phase currents only; nothing beyond them is written.
        cd out[4] = {0.0, 0.0, 0.0, cd(9.0, 9.0)};
        b.get_inner_currents(out);
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(out[i], plain[i]);
        EXPECT_EQ(out[3], cd(9.0, 9.0));
    }
}

TEST(LoadBalancerCurrents, BoundMatrixIsReadThroughTheLinksAndOnTheTape) {
    LoadBalancer b(cd(0.3, 0.1), cd(1e-4, -2e-3), 1.0);
    const cd phases[3] = {230.0, cd(0.0, 200.0), cd(-180.0, 20.0)};
    place(b, phases, cd(1.0, 0.0));
    PortTape tape({&b});
    ASSERT_TRUE(b.admittance_matrix.linked);
    ASSERT_EQ(tape.recorded.p_values.size(), 18);
    b.compute_currents(false);
    const cd before = b.ports[0].current;
    // The solver's copy of the matrix doubles; the record's own value stays.
    tape.recorded.p_values *= 2.0;
    b.compute_currents(false);
    EXPECT_LT(std::abs(b.ports[0].current - 2.0 * before), 1e-12 * std::abs(before));
    EXPECT_LT(std::abs(tape.currents()[0] - 2.0 * before), 1e-12 * std::abs(before));
    EXPECT_EQ(b.admittance_matrix.value(0, 0) * 2.0, b.admittance_matrix.get_value()(0, 0));
}

TEST(LoadBalancerCurrents, DegenerateValuesGiveNonFiniteAdmittances) {
    struct Case {
        const char* name;
        cd z2;
        cd ym;
        double k;
    };
    for (const Case& c : {Case{"zero ratio", cd(0.3, 0.1), cd(1e-4, -2e-3), 0.0},
                          Case{"zero admittance", cd(0.3, 0.1), 0.0, 1.0},
                          Case{"singular impedance", 0.0, 0.5, 1.0}}) {
        LoadBalancer b(c.z2, c.ym, c.k);
        EXPECT_FALSE(b.admittance_matrix.value.allFinite()) << c.name;
    }
}

// ---------------------------------------------------------------------------------------------
// The 13-bus four-wire feeder (unbalanced loads of every constant kind) with a balancer at one bus.

struct BalancedFeeder {
    std::unique_ptr<feeder::Feeder> f;
    LoadBalancer balancer;
    Bus* bus;
    std::unique_ptr<ElectricalNetwork> network;

    BalancedFeeder(cd z2, cd ym, double k, int at) : f(feeder::build(options())), balancer(z2, ym, k), bus(f->buses[at]) {
        for (std::size_t c = 0; c < 4; ++c) join(bus->ports[c], balancer.ports[c]);
        std::vector<Element*> list = f->network->elements;
        list.push_back(&balancer);
        network = std::make_unique<ElectricalNetwork>(std::move(list));
    }

    static feeder::Options options() {
        feeder::Options o;
        o.buses = 13;
        return o;
    }
};

const cd z2_feeder(0.3, 0.1);
const cd ym_feeder(1e-4, -2e-3);

// Zero-sequence phase-to-neutral voltage of a four-port bus.
cd zero_sequence(const Bus& bus) {
    const cd n = bus.ports[3].connection->get_potential();
    cd sum = 0.0;
    for (std::size_t i = 0; i < 3; ++i) sum += bus.ports[i].connection->get_potential() - n;
    return sum / 3.0;
}

class BalancedFeederSolution : public ::testing::TestWithParam<SolverKind> {};

TEST_P(BalancedFeederSolution, AgreesWithNewtonAndBalancesEveryNode) {
    const SolverKind kind = GetParam();
    BalancedFeeder reference(z2_feeder, ym_feeder, 1.0, 12);
    Newton newton(reference.network.get(), true);
    solve_tightly(newton, SolverKind::newton);

    BalancedFeeder bf(z2_feeder, ym_feeder, 1.0, 12);
    auto solver = make_solver(kind, bf.network.get());
    const auto [iterations, error] = solve_tightly(*solver, kind);
    ASSERT_LT(iterations, kind == SolverKind::backward_forward ? 500 : 20);
    EXPECT_LT(largest_difference(node_potentials(*bf.network), node_potentials(*reference.network)), 1e-6);

    // The balancer's own law at the solution.
    bf.balancer.compute_currents(false);
    const cd vn = bf.bus->ports[3].connection->get_potential();
    Eigen::Vector3cd v;
    for (int i = 0; i < 3; ++i) v[i] = bf.bus->ports[static_cast<std::size_t>(i)].connection->get_potential() - vn;
    const Eigen::Vector3cd i_law = bf.balancer.admittance_matrix.get_value() * v;
    for (std::size_t i = 0; i < 3; ++i) EXPECT_LT(std::abs(bf.balancer.ports[i].current - i_law[static_cast<Eigen::Index>(i)]), 1e-9);
    EXPECT_LT(std::abs(bf.balancer.ports[3].current + i_law.sum()), 1e-9);
    // It carries a real zero-sequence current.
    EXPECT_GT(std::abs(i_law.sum()), 0.5);

    for (Element* e : bf.network->elements)
        if (e != bf.f->source) e->compute_currents(false);
    EXPECT_LT(worst_imbalance(*bf.network), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Solvers, BalancedFeederSolution, ::testing::ValuesIn(all_solver_kinds), solver_param_name);

TEST(BalancedFeeder, ReducesTheZeroSequenceVoltageAtItsBus) {
    auto plain = feeder::build(BalancedFeeder::options());
    Newton without(plain->network.get(), true);
    solve_tightly(without, SolverKind::newton);
    BalancedFeeder bf(z2_feeder, ym_feeder, 1.0, 12);
    Newton with(bf.network.get(), true);
    solve_tightly(with, SolverKind::newton);
    const double before = std::abs(zero_sequence(*plain->buses[12]));
    const double after = std::abs(zero_sequence(*bf.bus));
    EXPECT_GT(before, 0.1);
    EXPECT_LT(after, 0.8 * before) << before;
}

TEST(BalancedFeeder, JacobianMatchesFiniteDifferences) {
    BalancedFeeder bf(z2_feeder, ym_feeder, 0.8, 7);
    Newton newton(bf.network.get(), false);
    newton.solve_load_flow(1, 0.0);
    EXPECT_LT(jacobian_difference(newton), 1e-6);
}

TEST(BalancedFeeder, ASingularBalancerFailsAsNaN) {
    for (const SolverKind kind : {SolverKind::newton, SolverKind::backward_forward}) {
        BalancedFeeder bf(0.0, 0.5, 1.0, 12);
        auto solver = make_solver(kind, bf.network.get());
        EXPECT_EQ(failure_of(*solver, 20, 1e-9), kind == SolverKind::newton ? "1 NaN value encountered at iteration 0. "
                                                                             : "2 NaN value encountered at iteration 1. ")
            << solver_name(kind);
    }
}

}  // namespace
