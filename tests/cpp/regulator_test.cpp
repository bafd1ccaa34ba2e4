// The single-phase voltage regulator: its clamps, start tap, currents in both modes, sweep steps and
// updates, and single-phase feeders through it solved by the three solvers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "element_check_support.hpp"
#include "elements/bus.hpp"
#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/voltage_regulator.hpp"
#include "elements/voltage_source.hpp"
#include "solver_test_support.hpp"

namespace {
using cd = std::complex<double>;
const double nan = std::numeric_limits<double>::quiet_NaN();
const double pi = std::acos(-1.0);
const cd z2_default(0.02, 0.04);
const cd ym_default(1e-5, -1e-4);

void join(Port& keep, Port& other) { keep.connection->merge(other.connection); }

// A binding that, like a solver, unbinds the network when it dies.
struct ScopedBinding : Binding {
    ElectricalNetwork& net;
    explicit ScopedBinding(ElectricalNetwork& net_) : Binding(net_), net(net_) {}
    ~ScopedBinding() { net.unbind(); }
};

// Primary phase at v_neutral + u1, the shared neutral at v_neutral, the secondary phase at v2.
void place(SingleVoltageRegulator& reg, cd u1, cd v_neutral = 0.0, cd v2 = 0.0) {
    reg.ports[0].connection->set_potential(v_neutral + u1);
    reg.ports[1].connection->set_potential(v_neutral);
    reg.ports[2].connection->set_potential(v2);
}

// ---------------------------------------------------------------------------------------------
// Clamps

struct ClampCase {
    double x;
    double smooth;
    double hard;
    double tolerance;
};

// u_range 0.1, alpha 100: the band is [0.9, 1.1].
const ClampCase clamp_cases[] = {
    {1.0, 1.0, 1.0, 1e-15},         {0.9, 0.906931, 0.9, 1e-6}, {1.2, 1.0999995, 1.1, 1e-7},
    {0.0, 0.9, 0.9, 1e-15},         {2.0, 1.1, 1.1, 1e-15},     {1.05, 1.05 + (std::log1p(std::exp(-15.0)) - std::log1p(std::exp(-5.0))) / 100, 1.05, 1e-12},
    {-1e300, 0.9, 0.9, 1e-15},
};

TEST(RegulatorClamps, SmoothAndHardValuesInDoublesAndOnTheTape) {
    SingleVoltageRegulator reg(z2_default, ym_default, 230.0, 0.1, 100.0, 0.0);
    // With every potential at zero the tap equation reads -T(tap).
    PortTape tape({&reg});
    const Eigen::Index tap_at = tape.recorded.x_values.size() - 1;
    for (const ClampCase& c : clamp_cases) {
        EXPECT_NEAR(reg.smooth_clamp(c.x), c.smooth, c.tolerance) << c.x;
        EXPECT_EQ(reg.hard_clamp(c.x), c.hard) << c.x;
        tape.recorded.x_values[tap_at] = c.x;
        EXPECT_NEAR(-tape.residuals().back(), reg.smooth_clamp(c.x), 1e-15) << c.x;
    }
    EXPECT_TRUE(std::isnan(reg.hard_clamp(nan)));
    EXPECT_TRUE(std::isnan(reg.smooth_clamp(nan)));
    // Increasing through the band and near it; flat, up to rounding, far from it.
    for (double x = 0.8; x < 1.2; x += 0.01) EXPECT_LT(reg.smooth_clamp(x), reg.smooth_clamp(x + 0.01)) << x;
    for (double x = 0.0; x < 3.0; x += 0.01) EXPECT_LE(reg.smooth_clamp(x), reg.smooth_clamp(x + 0.01) + 1e-15) << x;
    // A wider, softer band: still 1 at 1.
    SingleVoltageRegulator soft(z2_default, ym_default, 230.0, 0.3, 5.0, 0.0);
    EXPECT_NEAR(soft.smooth_clamp(1.0), 1.0, 1e-15);
    EXPECT_NEAR(soft.get_tap(), 1.0, 1e-15);
}

TEST(RegulatorClamps, ComputeTapClampsTheRatioToThePrimary) {
    SingleVoltageRegulator reg(z2_default, ym_default, 230.0, 0.1, 100.0, 0.0);
    EXPECT_NEAR(reg.compute_tap(115.0), 1.1, 1e-15);
    EXPECT_NEAR(reg.compute_tap(230.0), 1.0, 1e-15);
    EXPECT_NEAR(reg.compute_tap(230.0 / 0.95), 0.95 + (std::log1p(std::exp(-5.0)) - std::log1p(std::exp(-15.0))) / 100,
                1e-12);
    // A dead primary asks for an infinite ratio: NaN, not the upper limit.
    EXPECT_TRUE(std::isnan(reg.compute_tap(0.0)));
}

// ---------------------------------------------------------------------------------------------
// Construction, numbering and the start tap

TEST(RegulatorConstruction, NeutralsShareOneNodeAndRecordsStartUnlinked) {
    SingleVoltageRegulator reg(cd(0.1, 0.2), cd(0.003, -0.004), 231.0, 0.1, 100.0, 0.5);
    ASSERT_EQ(reg.ports.size(), 4u);
    EXPECT_EQ(reg.side1, (std::vector<Port*>{&reg.ports[0], &reg.ports[1]}));
    EXPECT_EQ(reg.side2, (std::vector<Port*>{&reg.ports[2], &reg.ports[3]}));
    EXPECT_EQ(reg.ports[1].connection, reg.ports[3].connection);
    EXPECT_EQ(reg.ports[1].connection->ports, (std::vector<Port*>{&reg.ports[1], &reg.ports[3]}));
    EXPECT_NE(reg.ports[0].connection, reg.ports[2].connection);
    EXPECT_NE(reg.ports[0].connection, reg.ports[1].connection);
    EXPECT_EQ(reg.tap.value, 1.0);
    for (bool linked : {reg.z2.linked, reg.ym.linked, reg.u_ref.linked, reg.tap.linked}) EXPECT_FALSE(linked);

    std::vector<double> parameters;
    reg.collect_parameters(parameters);
    EXPECT_EQ(parameters, (std::vector<double>{0.1, 0.2, 0.003, -0.004, 231.0}));

    // Three nodes (two potentials each) and the tap; one equation per variable.
    ElectricalNetwork net({&reg});
    const auto [x0, p0] = net.get_initial_values();
    EXPECT_EQ(x0.size(), 7u);
    EXPECT_EQ(p0.size(), 5u);
    ScopedBinding b(net);
    EXPECT_TRUE(reg.tap.linked && reg.z2.linked && reg.ym.linked && reg.u_ref.linked);
    EXPECT_EQ(reg.tap.linked_value, &b.x_values[6]);
    EXPECT_EQ(reg.u_ref.linked_value, &b.p_values[4]);
}

struct StartCase {
    const char* name;
    cd u1;
    double tap;
};

// u_ref 230, the tap's own value 1.234.
const StartCase start_cases[] = {
    {"primary at 0.9 u_ref: the upper limit", 207.0, 1.1},
    {"primary at u_ref", 230.0, 1.0},
    {"primary at 1.05 u_ref, turned", std::polar(241.5, 0.7), 1.0 / 1.05},
    {"primary at 1.2 u_ref: the lower limit", 276.0, 0.9},
    {"dead primary keeps the own value", 0.0, 1.234},
    {"NaN primary keeps the own value", cd(nan, 0.0), 1.234},
};

TEST(RegulatorStartTap, FollowsThePrimaryVoltage) {
    for (const StartCase& c : start_cases) {
        SingleVoltageRegulator reg(z2_default, ym_default, 230.0, 0.1, 100.0, 0.0);
        reg.tap.value = 1.234;
        place(reg, c.u1, cd(3.0, -2.0), 100.0);
        std::vector<double> values;
        reg.collect_variables(values);
        ASSERT_EQ(values.size(), 1u);
        EXPECT_NEAR(values[0], c.tap, 1e-12) << c.name;
    }
}

TEST(RegulatorStartTap, ReadsThePrimaryThroughTheLinks) {
    SingleVoltageRegulator reg(z2_default, ym_default, 230.0, 0.1, 100.0, 0.0);
    place(reg, 230.0);
    ElectricalNetwork net({&reg});
    ScopedBinding b(net);
    // The bound copy of the primary phase says 253 V (1.1 u_ref); its own value still says 230 V.
    b.x_values[0] = 253.0;
    std::vector<double> values;
    reg.collect_variables(values);
    EXPECT_NEAR(values[0], 230.0 / 253.0, 1e-15);
    // A new solver also takes its start tap that way.
    EXPECT_NEAR(net.get_initial_values().first[6], 230.0 / 253.0, 1e-15);
}

// ---------------------------------------------------------------------------------------------
// Currents and the tap equation

TEST(RegulatorCurrents, BothModesFollowTheTransformerEquations) {
    const double phi = pi / 6;
    SingleVoltageRegulator reg(cd(0.05, 0.08), cd(2e-4, -9e-4), 230.0, 0.1, 100.0, phi);
    const cd v0(231.0, 12.0), v1(2.0, -1.0), v2(228.0, 40.0);
    place(reg, v0 - v1, v1, v2);
    PortTape tape({&reg});
    const Eigen::Index tap_at = 6;
    tape.recorded.x_values[tap_at] = 1.03;  // the solver's copy; the records read it

    const cd k = reg.smooth_clamp(1.03) * std::polar(1.0, phi);
    const cd u1 = v0 - v1;
    const cd u2 = v2 - v1;
    const cd i2 = (u2 - k * u1) / reg.z2.value;
    const cd i1 = reg.ym.value * u1 - std::conj(k) * i2;
    const std::vector<cd> expected = {i1, -(i1 + i2), i2, 0.0};

    reg.compute_currents(false);
    const std::vector<cd> on_tape = tape.currents();
    ASSERT_EQ(on_tape.size(), 4u);
    cd sum = 0.0;
    for (std::size_t k_port = 0; k_port < 4; ++k_port) {
        EXPECT_LT(std::abs(reg.ports[k_port].current - expected[k_port]), 1e-9) << k_port;
        EXPECT_LT(std::abs(on_tape[k_port] - expected[k_port]), 1e-9) << k_port;
        sum += reg.ports[k_port].current;
    }
    EXPECT_EQ(reg.ports[3].current, cd(0.0));
    EXPECT_LT(std::abs(sum), 1e-12);

    // The tap equation t |U2| / u_ref - T(t).
    EXPECT_NEAR(tape.residuals().back(), 1.03 * std::abs(u2) / 230.0 - reg.smooth_clamp(1.03), 1e-12);
}

// ---------------------------------------------------------------------------------------------
// Sweep steps

TEST(RegulatorSweep, BackwardStepTakesTheDownstreamCurrent) {
    SingleVoltageRegulator reg(z2_default, cd(3e-4, -2e-3), 230.0, 0.1, 100.0, 0.2);
    const cd load_current[1] = {0.0};
    PowerLoad load(2, load_current);
    join(reg.ports[2], load.ports[0]);
    join(reg.ports[3], load.ports[1]);
    place(reg, 220.0, 1.0, 229.0);
    reg.tap.value = 1.04;
    load.ports[0].current = cd(5.0, -2.0);
    load.ports[1].current = cd(-5.0, 2.0);
    reg.backward_step();
    const cd i2(-5.0, 2.0);
    const cd k = reg.smooth_clamp(1.04) * std::polar(1.0, 0.2);
    const cd i1 = reg.ym.value * cd(220.0) - std::conj(k) * i2;
    EXPECT_LT(std::abs(reg.ports[2].current - i2), 1e-12);
    EXPECT_LT(std::abs(reg.ports[0].current - i1), 1e-12);
    EXPECT_LT(std::abs(reg.ports[1].current + i1 + i2), 1e-12);
    EXPECT_EQ(reg.ports[3].current, cd(0.0));
}

TEST(RegulatorSweep, ForwardStepMovesTheTapThenTheSecondaryPotential) {
    // No secondary current: the new tap is u_ref / |U1| and U2 is U1 turned by phi.
    SingleVoltageRegulator reg(z2_default, ym_default, 210.0, 0.1, 1000.0, pi / 6);
    place(reg, 200.0, cd(1.0, 1.0), 0.0);
    ElectricalNetwork net({&reg});
    ScopedBinding b(net);
    const double change = reg.forward_step();
    EXPECT_NEAR(reg.tap.value, 1.05, 1e-12);
    EXPECT_EQ(b.x_values[6], reg.tap.value);  // the solver's copy too
    const cd u2 = reg.ports[2].connection->get_potential() - reg.ports[3].connection->get_potential();
    EXPECT_NEAR(std::abs(u2), 210.0, 1e-9);
    EXPECT_NEAR(std::arg(u2), pi / 6, 1e-12);
    const cd v2 = reg.ports[2].connection->get_potential();
    EXPECT_EQ(reg.ports[2].connection->potential.value, v2);
    EXPECT_EQ(change, std::max(std::abs(v2.real()), std::abs(v2.imag())));
}

TEST(RegulatorSweep, ForwardStepReportsTheLargerComponentChange) {
    struct Case {
        cd shift;
        double change;
    };
    // A NaN in one component only is still reported, whichever component it is.
    for (const Case& c : {Case{cd(3.0, 4.0), 4.0}, Case{cd(-4.0, 3.0), 4.0}, Case{cd(0.5, -0.25), 0.5},
                          Case{cd(0.5, nan), nan}, Case{cd(nan, 0.5), nan}}) {
        SingleVoltageRegulator reg(z2_default, ym_default, 230.0, 0.1, 100.0, 0.3);
        place(reg, 215.0);
        reg.ports[2].current = cd(-3.0, 1.0);
        reg.forward_step();
        const cd v2_new = reg.ports[2].connection->get_potential();
        // Same step again from the same tap, with the secondary moved away by the shift.
        reg.tap.value = 1.0;
        reg.ports[2].connection->set_potential(v2_new - c.shift);
        const double change = reg.forward_step();
        if (std::isnan(c.change)) {
            EXPECT_TRUE(std::isnan(change)) << c.shift;
        } else {
            EXPECT_NEAR(change, c.change, 1e-9) << c.shift;
        }
        EXPECT_EQ(reg.ports[2].connection->get_potential(), v2_new);
    }
}

TEST(RegulatorSweep, ForwardStepWithoutAnyVoltageReportsNaN) {
    // W = 0: the new tap is infinite and the written potential NaN.
    SingleVoltageRegulator reg(z2_default, ym_default, 230.0, 0.1, 100.0, 0.0);
    EXPECT_TRUE(std::isnan(reg.forward_step()));
    EXPECT_TRUE(std::isinf(reg.tap.value));
    EXPECT_TRUE(std::isnan(reg.ports[2].connection->get_potential().real()));
}

// ---------------------------------------------------------------------------------------------
// update_parameters

TEST(RegulatorUpdate, RestartsTapAndSecondaryFromALivePrimary) {
    const cd z2_new(0.03, 0.01), ym_new(1e-4, -5e-4);
    for (const bool bound : {false, true}) {
        SingleVoltageRegulator reg(z2_default, ym_default, 230.0, 0.1, 100.0, pi / 6);
        place(reg, 200.0, cd(3.0, 0.0), 50.0);
        ElectricalNetwork net({&reg});
        std::unique_ptr<ScopedBinding> b = bound ? std::make_unique<ScopedBinding>(net) : nullptr;
        reg.update_parameters(z2_new, ym_new, 210.0);
        EXPECT_EQ(reg.z2.get_value(), z2_new);
        EXPECT_EQ(reg.ym.get_value(), ym_new);
        EXPECT_EQ(reg.u_ref.get_value(), 210.0);
        EXPECT_NEAR(reg.tap.get_value(), 1.05, 1e-15);
        // The real ratio alone: no turn by phi.
        const cd v2 = cd(3.0, 0.0) + reg.smooth_clamp(1.05) * cd(200.0);
        EXPECT_LT(std::abs(reg.ports[2].connection->get_potential() - v2), 1e-12);
        if (bound) {
            EXPECT_EQ(b->p_values.head(5), (VectorXd(5) << 0.03, 0.01, 1e-4, -5e-4, 210.0).finished());
            EXPECT_EQ(b->x_values[6], reg.tap.value);
            EXPECT_EQ(b->x_values[4], reg.ports[2].connection->potential.value.real());
        }
    }
}

TEST(RegulatorUpdate, ADeadPrimaryChangesOnlyTheRecords) {
    for (const cd u1 : {cd(0.0), cd(nan, 0.0)}) {
        SingleVoltageRegulator reg(z2_default, ym_default, 230.0, 0.1, 100.0, 0.0);
        place(reg, u1, cd(7.0, 0.0), 50.0);
        reg.tap.value = 1.02;
        reg.update_parameters(cd(0.5, 0.5), cd(0.0, -1e-3), 240.0);
        EXPECT_EQ(reg.z2.value, cd(0.5, 0.5));
        EXPECT_EQ(reg.ym.value, cd(0.0, -1e-3));
        EXPECT_EQ(reg.u_ref.value, 240.0);
        EXPECT_EQ(reg.tap.value, 1.02);
        EXPECT_EQ(reg.ports[2].connection->get_potential(), cd(50.0));
    }
}

// ---------------------------------------------------------------------------------------------
// Single-phase feeders: source, line, regulator, line, constant-power load; the source's neutral
// held at zero, every node on its own bus.

struct RegulatedFeeder {
    cd source_voltage;
    cd power;
    cd start[2] = {230.0, 0.0};
    cd z_line[4] = {cd(0.2, 0.1), 0.0, 0.0, cd(0.2, 0.1)};
    VoltageSource source;
    PotentialRef ref;
    Bus bus0;
    SimplifiedLine line1;
    Bus bus1;
    SingleVoltageRegulator reg;
    Bus bus2;
    SimplifiedLine line2;
    Bus bus3;
    PowerLoad load;
    std::unique_ptr<ElectricalNetwork> network;

    explicit RegulatedFeeder(double u_source, double alpha = 1000.0, cd power_ = cd(5000.0, 1000.0),
                             cd z2 = z2_default, double u_ref = 230.0)
        : source_voltage(u_source),
          power(power_),
          source(2, &source_voltage),
          bus0(2, start),
          line1(2, z_line),
          bus1(2, start),
          reg(z2, ym_default, u_ref, 0.1, alpha, 0.0),
          bus2(2, start),
          line2(2, z_line),
          bus3(2, start),
          load(2, &power) {
        for (std::size_t k = 0; k < 2; ++k) {
            join(bus0.ports[k], source.ports[k]);
            join(bus0.ports[k], *line1.side1[k]);
            join(bus1.ports[k], *line1.side2[k]);
            join(bus1.ports[k], *reg.side1[k]);
            join(bus2.ports[k], *reg.side2[k]);
            join(bus2.ports[k], *line2.side1[k]);
            join(bus3.ports[k], *line2.side2[k]);
            join(bus3.ports[k], load.ports[k]);
        }
        join(ref.ports[0], bus0.ports[1]);
        network = std::make_unique<ElectricalNetwork>(
            std::vector<Element*>{&source, &ref, &bus0, &line1, &bus1, &reg, &bus2, &line2, &bus3, &load});
    }

    cd primary() const { return reg.ports[0].connection->get_potential() - reg.ports[1].connection->get_potential(); }
    cd secondary() const { return reg.ports[2].connection->get_potential() - reg.ports[3].connection->get_potential(); }
};

// The regulator's own equations, with the ratio in force, at the currents left by the solver.
void expect_regulator_equations(const SingleVoltageRegulator& reg) {
    const cd k = reg.get_tap() * std::polar(1.0, reg.phi);
    const cd u1 = reg.ports[0].connection->get_potential() - reg.ports[1].connection->get_potential();
    const cd u2 = reg.ports[2].connection->get_potential() - reg.ports[3].connection->get_potential();
    const cd i1 = reg.ports[0].current;
    const cd i2 = reg.ports[2].current;
    EXPECT_LT(std::abs(i2 - (u2 - k * u1) / reg.z2.get_value()), 1e-6);
    EXPECT_LT(std::abs(i1 - (reg.ym.get_value() * u1 - std::conj(k) * i2)), 1e-9);
    EXPECT_LT(std::abs(reg.ports[1].current + i1 + i2), 1e-12);
    EXPECT_EQ(reg.ports[3].current, cd(0.0));
}

class RegulatedFeederSolution : public ::testing::TestWithParam<SolverKind> {};

TEST_P(RegulatedFeederSolution, HoldsTheSetPointInsideTheBand) {
    const SolverKind kind = GetParam();
    RegulatedFeeder f(225.0);
    auto solver = make_solver(kind, f.network.get());
    const auto [iterations, error] = solve_tightly(*solver, kind);
    ASSERT_LT(iterations, kind == SolverKind::backward_forward ? 500 : 20);
    EXPECT_NEAR(std::abs(f.secondary()), 230.0, 1e-6);
    // The primary sags below the set-point, so the tap raises it from inside the band.
    EXPECT_LT(std::abs(f.primary()), 222.0);
    EXPECT_GT(f.reg.get_tap(), 1.02);
    EXPECT_LT(f.reg.get_tap(), 1.09);
    expect_regulator_equations(f.reg);

    for (Element* e : f.network->elements)
        if (e != &f.source) e->compute_currents(false);
    EXPECT_LT(worst_imbalance(*f.network), 1e-6);
    // The load draws its power at the far end.
    const cd u_load = f.bus3.ports[0].connection->get_potential() - f.bus3.ports[1].connection->get_potential();
    EXPECT_LT(std::abs(u_load * std::conj(f.load.ports[0].current) - f.power), 1e-6);
}

TEST_P(RegulatedFeederSolution, AgreesWithNewton) {
    for (const double u_source : {225.0, 0.8 * 230.0, 1.2 * 230.0}) {
        RegulatedFeeder reference(u_source, 100.0);
        Newton newton(reference.network.get(), true);
        solve_tightly(newton, SolverKind::newton);
        RegulatedFeeder f(u_source, 100.0);
        auto solver = make_solver(GetParam(), f.network.get());
        solve_tightly(*solver, GetParam());
        EXPECT_LT(largest_difference(node_potentials(*f.network), node_potentials(*reference.network)), 1e-6)
            << u_source;
        EXPECT_NEAR(f.reg.get_tap(), reference.reg.get_tap(), 1e-8) << u_source;
    }
}

INSTANTIATE_TEST_SUITE_P(Solvers, RegulatedFeederSolution, ::testing::ValuesIn(all_solver_kinds), solver_param_name);

struct SaturationCase {
    double primary_share;  // of u_ref, at the source
    double applied;        // the ratio the regulator ends at
    bool secondary_low;    // |U2| below u_ref (else above)
};

const SaturationCase saturation_cases[] = {{0.8, 1.1, true}, {1.2, 0.9, false}};

TEST(RegulatedFeederSaturation, TheRatioStaysNearTheBandEdge) {
    for (const SaturationCase& c : saturation_cases) {
        for (const SolverKind kind : {SolverKind::newton, SolverKind::backward_forward}) {
            RegulatedFeeder f(c.primary_share * 230.0, 100.0);
            auto solver = make_solver(kind, f.network.get());
            const auto [iterations, error] = solve_tightly(*solver, kind);
            ASSERT_LT(iterations, kind == SolverKind::backward_forward ? 500 : 20) << solver_name(kind);
            EXPECT_NEAR(f.reg.get_tap(), c.applied, 1e-3) << solver_name(kind);
            EXPECT_EQ(std::abs(f.secondary()) < 230.0, c.secondary_low);
            // Out of the band the tap itself runs past the edge.
            EXPECT_GT(std::abs(f.reg.tap.get_value() - c.applied), 0.02);
            expect_regulator_equations(f.reg);
        }
    }
}

TEST(RegulatedFeederJacobian, MatchesFiniteDifferencesTapRowIncluded) {
    for (const double u_source : {225.0, 0.8 * 230.0}) {
        RegulatedFeeder f(u_source, 100.0);
        Newton newton(f.network.get(), false);
        newton.solve_load_flow(1, 0.0);  // away from the start, source currents flowing
        EXPECT_LT(jacobian_difference(newton), 1e-6) << u_source;
        const Eigen::MatrixXd j = Eigen::MatrixXd(newton.compute_jacobian());
        const Eigen::Index tap = j.cols() - 1;
        // The tap equation depends on the tap and on the secondary potentials.
        EXPECT_NE(j(tap, tap), 0.0);
        EXPECT_GT(j.row(tap).head(tap).cwiseAbs().maxCoeff(), 1e-4);
        // Inside the band the tap drives the secondary current; out of it, hardly.
        const double drive = j.col(tap).head(tap).cwiseAbs().maxCoeff();
        if (u_source > 200.0) {
            EXPECT_GT(drive, 100.0);
        } else {
            EXPECT_LT(drive, 0.1);
        }
    }
}

class RegulatedFeederUpdate : public ::testing::TestWithParam<SolverKind> {};

TEST_P(RegulatedFeederUpdate, SecondSolveEqualsAFreshSolver) {
    const SolverKind kind = GetParam();
    RegulatedFeeder f(225.0);
    auto solver = make_solver(kind, f.network.get());
    solve_tightly(*solver, kind);
    const auto first = node_potentials(*f.network);
    auto* newton = dynamic_cast<AbstractNewton*>(solver.get());
    const std::size_t operators = newton ? newton->tape.size_op() : 0;

    f.reg.update_parameters(cd(0.06, 0.1), cd(2e-5, -3e-4), 226.0);
    const cd heavier[1] = {1.3 * f.power};
    f.load.update_powers(heavier);
    solve_tightly(*solver, kind);
    const auto second = node_potentials(*f.network);
    EXPECT_GT(largest_difference(first, second), 1.0);
    EXPECT_NEAR(std::abs(f.secondary()), 226.0, 1e-6);
    if (newton) {
        EXPECT_EQ(newton->tape.size_op(), operators);
    }

    auto fresh = make_solver(kind, f.network.get());
    solve_tightly(*fresh, kind);
    EXPECT_LT(largest_difference(second, node_potentials(*f.network)), 1e-8);
}

INSTANTIATE_TEST_SUITE_P(Solvers, RegulatedFeederUpdate, ::testing::ValuesIn(all_solver_kinds), solver_param_name);

class RegulatedFeederLifetime : public ::testing::TestWithParam<SolverKind> {};

TEST_P(RegulatedFeederLifetime, AfterTheSolverTheRecordsReadTheirOwnValues) {
    const SolverKind kind = GetParam();
    RegulatedFeeder f(225.0);
    auto solver = make_solver(kind, f.network.get());
    solve_tightly(*solver, kind);
    const double solved_tap = f.reg.tap.get_value();
    if (kind == SolverKind::backward_forward) {
        EXPECT_EQ(f.reg.tap.value, solved_tap);  // the sweep writes both
    } else {
        // A Newton solve changes only its solver's copy.
        EXPECT_EQ(f.reg.tap.value, 1.0);
        EXPECT_NE(solved_tap, 1.0);
    }
    solver.reset();
    for (bool linked : {f.reg.z2.linked, f.reg.ym.linked, f.reg.u_ref.linked, f.reg.tap.linked}) EXPECT_FALSE(linked);
    EXPECT_EQ(f.reg.get_tap(), f.reg.smooth_clamp(f.reg.tap.value));
    f.reg.update_parameters(cd(0.06, 0.1), ym_default, 226.0);
    EXPECT_EQ(f.reg.u_ref.value, 226.0);
    EXPECT_NEAR(f.reg.tap.value, f.reg.hard_clamp(226.0 / std::abs(f.primary())), 1e-15);
    // A new solver works from there.
    auto again = make_solver(kind, f.network.get());
    solve_tightly(*again, kind);
    EXPECT_NEAR(std::abs(f.secondary()), 226.0, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Solvers, RegulatedFeederLifetime, ::testing::ValuesIn(all_solver_kinds), solver_param_name);

// ---------------------------------------------------------------------------------------------
// Degenerate values: no guard in the regulator, the solvers report the NaN.

struct DegenerateCase {
    const char* name;
    cd z2;
    double u_ref;
    double alpha;
    SolverKind kind;
    const char* message;
};

const DegenerateCase degenerate_cases[] = {
    {"zero z2, Newton", 0.0, 230.0, 100.0, SolverKind::newton, "1 NaN value encountered at iteration 0. "},
    {"zero u_ref, Newton", z2_default, 0.0, 100.0, SolverKind::newton, "1 NaN value encountered at iteration 0. "},
    {"zero alpha, Newton", z2_default, 230.0, 0.0, SolverKind::newton, "1 NaN value encountered at iteration 0. "},
    {"zero alpha, sweep", z2_default, 230.0, 0.0, SolverKind::backward_forward,
     "2 NaN value encountered at iteration 1. "},
};

TEST(RegulatedFeederFailures, DegenerateValuesFailAsNaN) {
    for (const DegenerateCase& c : degenerate_cases) {
        RegulatedFeeder f(225.0, c.alpha, cd(5000.0, 1000.0), c.z2, c.u_ref);
        auto solver = make_solver(c.kind, f.network.get());
        EXPECT_EQ(failure_of(*solver, 20, 1e-9), c.message) << c.name;
    }
}

}  // namespace
