#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>

#include "elements/branch.hpp"
#include "elements/bus.hpp"
#include "elements/voltage_source.hpp"
#include "network/network.hpp"
#include "tape_support.hpp"

namespace {
using cd = std::complex<double>;

// Records a network's residuals the way a Newton solver does and evaluates them at the values the
// records are bound to.
struct Tape : RecordedNetwork {
    using RecordedNetwork::RecordedNetwork;
    std::vector<double> residuals() { return outputs(); }
};

struct Source {
    std::unique_ptr<Element> element;
    std::function<void(const cd*)> update;
};

Source make_source(bool delta, int n, const cd* voltages) {
    if (delta) {
        auto s = std::make_unique<DeltaVoltageSource>(n, voltages);
        auto* raw = s.get();
        return {std::move(s), [raw](const cd* v) { raw->update_voltages(v); }};
    }
    auto s = std::make_unique<VoltageSource>(n, voltages);
    auto* raw = s.get();
    return {std::move(s), [raw](const cd* v) { raw->update_voltages(v); }};
}

std::vector<double> flatten(const std::vector<cd>& values) {
    std::vector<double> out;
    for (const cd& v : values) {
        out.push_back(v.real());
        out.push_back(v.imag());
    }
    return out;
}

void expect_near(const cd& actual, const cd& expected) {
    EXPECT_NEAR(actual.real(), expected.real(), 1e-12);
    EXPECT_NEAR(actual.imag(), expected.imag(), 1e-12);
}

// --- numbering ------------------------------------------------------------------------------

TEST(VoltageSource, NumbersCurrentsAsVariablesAndVoltagesAsParametersInElementOrder) {
    const cd star_u[2] = {{230.0, 1.0}, {-115.0, 2.0}};
    const cd delta_u[1] = {{400.0, -3.0}};
    VoltageSource star(3, star_u);
    DeltaVoltageSource delta(2, delta_u);
    PotentialRef ref;
    star.ports[2].connection->merge(ref.ports[0].connection);
    ElectricalNetwork net({&star, &delta, &ref});

    const auto [x, p] = net.get_initial_values();
    // 4 free nodes, then 2 star currents, then 1 delta current, all starting at zero.
    EXPECT_EQ(x, std::vector<double>(8 + 4 + 2, 0.0));
    EXPECT_EQ(p, (std::vector<double>{230.0, 1.0, -115.0, 2.0, 400.0, -3.0}));

    Tape tape(net);
    EXPECT_EQ(tape.f.Range(), x.size());
    EXPECT_EQ(star.currents[1].linked_value, &tape.x_values[8 + 2]);
    EXPECT_EQ(delta.currents[0].linked_value, &tape.x_values[8 + 4]);
    EXPECT_EQ(delta.voltages[0].linked_value, &tape.p_values[4]);
}

// --- residuals on the tape --------------------------------------------------------------------

struct ResidualCase {
    const char* name;
    bool delta;
    bool neutral_on_ref;  // last port on a node held at zero
    int n;
    std::vector<cd> voltages;
    std::vector<cd> x;  // free node potentials, then current variables
    std::vector<double> expected;
    int node_entries;  // residuals before the source's own equations
};

const ResidualCase residual_cases[] = {
    // V = (10+1i, 4-2i, 1+0.5i), I = (2+3i, -1+0.5i), U = (8+1i, 2-3i)
    {"star", false, false, 3, {{8, 1}, {2, -3}},
     {{10, 1}, {4, -2}, {1, 0.5}, {2, 3}, {-1, 0.5}},
     {2, 3, -1, 0.5, -1, -3.5, /* V0-V2-U0 */ 1, -0.5, /* V1-V2-U1 */ 1, 0.5}, 6},
    {"delta", true, false, 3, {{8, 1}, {2, -3}},
     {{10, 1}, {4, -2}, {1, 0.5}, {2, 3}, {-1, 0.5}},
     {2, 3, -1, 0.5, -1, -3.5, /* V0-V1-U0 */ -2, 2, /* V1-V2-U1 */ 1, 0.5}, 6},
    // The neutral's node has no variables and no balance: the equations become V_k = U_k.
    {"star_neutral_at_zero", false, true, 3, {{8, 1}, {2, -3}},
     {{10, 1}, {4, -2}, {2, 3}, {-1, 0.5}},
     {2, 3, -1, 0.5, 2, 0, 2, 1}, 4},
    {"star_one_port", false, false, 1, {}, {{5, 5}}, {0, 0}, 2},
    {"delta_one_port", true, false, 1, {}, {{5, 5}}, {0, 0}, 2},
};

class VoltageSourceResiduals : public ::testing::TestWithParam<ResidualCase> {};

TEST_P(VoltageSourceResiduals, EvaluatesOnTheTapeAndFollowsVoltageUpdates) {
    const ResidualCase& c = GetParam();
    Source src = make_source(c.delta, c.n, c.voltages.data());
    PotentialRef ref;
    std::vector<Element*> elements{src.element.get()};
    if (c.neutral_on_ref) {
        src.element->ports.back().connection->merge(ref.ports[0].connection);
        elements.push_back(&ref);
    }
    ElectricalNetwork net(std::move(elements));
    Tape tape(net);
    const std::vector<double> x = flatten(c.x);
    ASSERT_EQ(static_cast<std::size_t>(tape.x_values.size()), x.size());
    tape.x_values = Eigen::Map<const VectorXd>(x.data(), static_cast<Eigen::Index>(x.size()));

    std::vector<double> r = tape.residuals();
    ASSERT_EQ(r.size(), c.expected.size());
    for (std::size_t i = 0; i < r.size(); ++i) EXPECT_NEAR(r[i], c.expected[i], 1e-12) << i;

    // The voltages are dynamic parameters: an update reaches the recorded equations.
    std::vector<cd> raised;
    for (const cd& u : c.voltages) raised.push_back(u + cd(1.0, 1.0));
    src.update(raised.data());
    r = tape.residuals();
    for (std::size_t i = 0; i < r.size(); ++i) {
        const double shift = static_cast<int>(i) < c.node_entries ? 0.0 : 1.0;
        EXPECT_NEAR(r[i], c.expected[i] - shift, 1e-12) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, VoltageSourceResiduals, ::testing::ValuesIn(residual_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- behaviour shared by both kinds ----------------------------------------------------------

template <class S>
class BothSources : public ::testing::Test {};
using SourceTypes = ::testing::Types<VoltageSource, DeltaVoltageSource>;
TYPED_TEST_SUITE(BothSources, SourceTypes);

TYPED_TEST(BothSources, PlainCurrentsReadTheBoundVariablesAndCloseOnTheLastPort) {
    const cd u[3] = {1.0, 2.0, 3.0};
    TypeParam src(4, u);
    src.compute_currents(false);
    for (const Port& p : src.ports) EXPECT_EQ(p.current, cd(0.0));

    ElectricalNetwork net({&src});
    Tape tape(net);
    const cd currents[3] = {{1, 2}, {-3, 0.5}, {2, -1}};
    for (int k = 0; k < 3; ++k) {
        tape.x_values[8 + 2 * k] = currents[k].real();
        tape.x_values[8 + 2 * k + 1] = currents[k].imag();
    }
    src.compute_currents(false);
    for (int k = 0; k < 3; ++k) expect_near(src.ports[static_cast<std::size_t>(k)].current, currents[k]);
    expect_near(src.ports[3].current, cd(0.0, -1.5));

    // A solve changes the solver's values only, so a newer solver starts again from zero.
    for (const auto& c : src.currents) EXPECT_EQ(c.value, cd(0.0));
    ElectricalNetwork again({&src});
    const std::vector<double> x = again.get_initial_values().first;
    EXPECT_EQ(std::vector<double>(x.begin() + 8, x.end()), std::vector<double>(6, 0.0));
}

TYPED_TEST(BothSources, UpdateVoltagesWritesThroughOnlyOnceBound) {
    const cd u[2] = {1.0, 2.0};
    TypeParam src(3, u);
    const cd first[2] = {{5, 1}, {6, -1}};
    src.update_voltages(first);
    EXPECT_EQ(src.voltages[1].value, first[1]);
    EXPECT_FALSE(src.voltages[1].linked);

    ElectricalNetwork net({&src});
    EXPECT_EQ(net.get_initial_values().second, (std::vector<double>{5, 1, 6, -1}));
    Tape tape(net);
    const cd second[2] = {{7, 0}, {0, 8}};
    src.update_voltages(second);
    EXPECT_EQ(src.voltages[0].value, second[0]);
    EXPECT_EQ(std::vector<double>(tape.p_values.data(), tape.p_values.data() + 4),
              (std::vector<double>{7, 0, 0, 8}));
}

TYPED_TEST(BothSources, RefusesPortCountsBelowOne) {
    for (int n : {0, -1, -5}) {
        try {
            TypeParam src(n, nullptr);
            ADD_FAILURE() << "accepted n = " << n;
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "vector");
        }
    }
}

TYPED_TEST(BothSources, OnePortSourceHasNothingOfItsOwnAndCarriesNoCurrent) {
    TypeParam src(1, nullptr);  // reads no voltage
    EXPECT_TRUE(src.voltages.empty());
    EXPECT_TRUE(src.currents.empty());
    src.update_voltages(nullptr);

    Bus bus(1, nullptr);
    bus.ports[0].connection->merge(src.ports[0].connection);
    bus.ports[0].current = 4.0;
    src.ports[0].current = 9.0;
    src.backward_step();
    EXPECT_EQ(src.ports[0].current, cd(0.0));
    src.ports[0].connection->set_potential(cd(3, 3));
    EXPECT_EQ(src.forward_step(), 0.0);
    EXPECT_EQ(src.ports[0].connection->get_potential(), cd(3, 3));
}

// --- sweep steps -----------------------------------------------------------------------------

// Source ports k sit with bus ports k; the bus ports carry the given currents.
struct SweepFixture {
    Source src;
    Bus bus;
    SweepFixture(bool delta, const cd* voltages, const std::vector<cd>& bus_currents)
        : src(make_source(delta, 3, voltages)), bus(3, nullptr) {
        for (std::size_t k = 0; k < 3; ++k) {
            src.element->ports[k].connection->merge(bus.ports[k].connection);
            bus.ports[k].current = bus_currents[k];
        }
    }
};

TEST(VoltageSourceSweep, BackwardStepTakesDownstreamCurrentsAndClosesOnTheReferencePort) {
    const cd u[2] = {1.0, 2.0};
    // The closing port's node carries a current that does not balance: it must not be used.
    const std::vector<cd> bus_currents = {{1, 1}, {2, -1}, {100, 100}};
    SweepFixture star(false, u, bus_currents);
    star.src.element->backward_step();
    const auto& sp = star.src.element->ports;
    expect_near(sp[0].current, cd(-1, -1));
    expect_near(sp[1].current, cd(-2, 1));
    expect_near(sp[2].current, cd(3, 0));

    // The delta chain's reference is port 0.
    const std::vector<cd> delta_currents = {{100, 100}, {2, -1}, {-5, 3}};
    SweepFixture delta(true, u, delta_currents);
    delta.src.element->backward_step();
    const auto& dp = delta.src.element->ports;
    expect_near(dp[1].current, cd(-2, 1));
    expect_near(dp[2].current, cd(5, -3));
    expect_near(dp[0].current, cd(-3, 2));
}

struct ForwardCase {
    const char* name;
    bool delta;
    bool last_on_ref;
    std::vector<cd> start;  // own potentials of the three source nodes
    std::vector<cd> expected;
    double change;  // what the step reports: the largest part of a move
};

// Voltages U = (10, 5i).
const ForwardCase forward_cases[] = {
    {"star", false, false, {0, 0, {1, 1}}, {{11, 1}, {1, 6}, {1, 1}}, 11},
    // A node held at zero reads 0 whatever its own value.
    {"star_neutral_at_zero", false, true, {0, 0, 3}, {10, {0, 5}, 0}, 10},
    {"delta_chain", true, false, {100, 0, 0}, {100, 90, {90, -5}}, 90},
};

class VoltageSourceForward : public ::testing::TestWithParam<ForwardCase> {};

TEST_P(VoltageSourceForward, WritesImposedPotentialsThroughTheLinks) {
    const ForwardCase& c = GetParam();
    // Built with other voltages: the step reads the ones in the bound parameter entries.
    const cd built[2] = {-1.0, -1.0};
    Source src = make_source(c.delta, 3, built);
    PotentialRef ref;
    std::vector<Element*> elements{src.element.get()};
    if (c.last_on_ref) {
        src.element->ports[2].connection->merge(ref.ports[0].connection);
        elements.push_back(&ref);
    }
    for (std::size_t k = 0; k < 3; ++k) src.element->ports[k].connection->potential.value = c.start[k];
    ElectricalNetwork net(std::move(elements));
    Tape tape(net);
    tape.p_values << 10.0, 0.0, 0.0, 5.0;

    EXPECT_EQ(src.element->forward_step(), c.change);
    EXPECT_EQ(src.element->forward_step(), 0.0);  // imposed already
    for (std::size_t k = 0; k < 3; ++k) {
        const Connection& node = *src.element->ports[k].connection;
        expect_near(node.get_potential(), c.expected[k]);
        if (!node.is_zero) expect_near(node.potential.value, c.expected[k]);
    }
    // The linked copies are the solver's variables, in the network's node order.
    Eigen::Index i = 0;
    for (const auto& node : net.connections) {
        if (node->is_zero) continue;
        EXPECT_EQ(cd(tape.x_values[i], tape.x_values[i + 1]), node->potential.value);
        i += 2;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, VoltageSourceForward, ::testing::ValuesIn(forward_cases),
                         [](const auto& info) { return std::string(info.param.name); });
}  // namespace
