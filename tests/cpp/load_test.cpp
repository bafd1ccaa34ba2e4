#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>

#include "element_check_support.hpp"
#include "elements/load.hpp"
#include "network/network.hpp"

namespace {
using cd = std::complex<double>;
using Factory = std::function<std::unique_ptr<LoadBase>()>;

template <class L>
Factory make(int n, std::vector<cd> values) {
    return [n, values] { return std::make_unique<L>(n, values.empty() ? nullptr : values.data()); };
}

void expect_near(const std::vector<cd>& actual, const std::vector<cd>& expected, const char* what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t k = 0; k < actual.size(); ++k) {
        EXPECT_NEAR(actual[k].real(), expected[k].real(), 1e-9) << what << " [" << k << "]";
        EXPECT_NEAR(actual[k].imag(), expected[k].imag(), 1e-9) << what << " [" << k << "]";
    }
}

// --- currents against hand-derived values, in both modes ------------------------------------------

struct CurrentCase {
    const char* name;
    Factory load;
    bool delta;
    std::vector<cd> potentials;
    std::vector<int> held_at_zero;
    std::vector<cd> ports;  // expected port currents
    std::vector<cd> inner;  // expected phase (star) or branch (delta) currents
};

// Star: V = {110, 10+100j, -90, 10} puts U = {100, 100j, -100} across the three phases.
// Delta: V = {0, 300, 300+400j} puts U = {-300, -400j, 300+400j} across the three branches.
const std::vector<cd> star_v = {110.0, {10.0, 100.0}, -90.0, 10.0};
const std::vector<cd> delta_v = {0.0, 300.0, {300.0, 400.0}};

std::vector<CurrentCase> current_cases() {
    return {
        {"star power", make<PowerLoad>(4, {1000.0, {0.0, 1000.0}, {500.0, 500.0}}), false, star_v, {},
         {10.0, 10.0, {-5.0, 5.0}, {-15.0, -5.0}}, {10.0, 10.0, {-5.0, 5.0}}},
        {"star current", make<CurrentLoad>(4, {10.0, 5.0, {2.0, 2.0}}), false, star_v, {},
         {10.0, {0.0, 5.0}, {-2.0, -2.0}, {-8.0, -3.0}}, {10.0, {0.0, 5.0}, {-2.0, -2.0}}},
        {"star admittance", make<AdmittanceLoad>(4, {0.1, {0.0, 0.2}, {0.05, -0.05}}), false, star_v, {},
         {10.0, -20.0, {-5.0, 5.0}, {15.0, -5.0}}, {10.0, -20.0, {-5.0, 5.0}}},
        {"delta power", make<DeltaPowerLoad>(3, {3000.0, {0.0, 4000.0}, 500.0}), true, delta_v, {},
         {{-10.6, -0.8}, 0.0, {10.6, 0.8}}, {-10.0, -10.0, {0.6, 0.8}}},
        {"delta current", make<DeltaCurrentLoad>(3, {10.0, {0.0, 5.0}, 1.0}), true, delta_v, {},
         {{-10.6, -0.8}, 15.0, {-4.4, 0.8}}, {-10.0, 5.0, {0.6, 0.8}}},
        {"delta admittance", make<DeltaAdmittanceLoad>(3, {0.1, {0.0, 0.1}, 0.01}), true, delta_v, {},
         {{-33.0, -4.0}, 70.0, {-37.0, 4.0}}, {-30.0, 40.0, {3.0, 4.0}}},
        // One phase and the neutral: I_1 = -I_0.
        {"one-phase power", make<PowerLoad>(2, {{2000.0, 1000.0}}), false, {200.0, 0.0}, {},
         {{10.0, -5.0}, {-10.0, 5.0}}, {{10.0, -5.0}}},
        {"zero power draws nothing", make<PowerLoad>(2, {0.0}), false, {230.0, 0.0}, {}, {0.0, 0.0}, {0.0}},
        // |J| whatever |U|, in phase with U = 300+400j.
        {"one-phase current", make<CurrentLoad>(2, {10.0}), false, {{305.0, 400.0}, 5.0}, {},
         {{6.0, 8.0}, {-6.0, -8.0}}, {{6.0, 8.0}}},
        {"one-port star", make<PowerLoad>(1, {}), false, {230.0}, {}, {0.0}, {}},
        // Branch 1 joins port 1 back to port 0, so U_1 = -U_0 = -100.
        {"delta of two", make<DeltaAdmittanceLoad>(2, {0.1, 0.2}), true, {100.0, 0.0}, {}, {30.0, -30.0},
         {10.0, -20.0}},
        // The neutral's own potential (50) is ignored while its node is held at zero.
        {"neutral held at zero", make<AdmittanceLoad>(4, {0.1, {0.0, 0.2}, {0.05, -0.05}}), false,
         {100.0, {0.0, 100.0}, -100.0, 50.0}, {3}, {10.0, -20.0, {-5.0, 5.0}, {15.0, -5.0}},
         {10.0, -20.0, {-5.0, 5.0}}},
        {"delta port held at zero", make<DeltaPowerLoad>(3, {3000.0, {0.0, 4000.0}, 500.0}), true,
         {77.0, 300.0, {300.0, 400.0}}, {0}, {{-10.6, -0.8}, 0.0, {10.6, 0.8}}, {-10.0, -10.0, {0.6, 0.8}}},
    };
}

TEST(Load, DoubleModeAndBackwardStepGiveHandDerivedCurrents) {
    for (const CurrentCase& c : current_cases()) {
        SCOPED_TRACE(c.name);
        auto load = c.load();
        place(*load, c.potentials, c.held_at_zero);
        load->compute_currents(false);
        expect_near(port_currents(*load), c.ports, "compute_currents(false)");

        const std::size_t n = load->ports.size();
        if (!c.delta && n > 1) {
            cd sum = 0.0;
            for (std::size_t i = 0; i + 1 < n; ++i) sum -= load->ports[i].current;
            EXPECT_EQ(load->ports[n - 1].current, sum) << "neutral is exactly minus the phase sum";
        }
        if (c.delta) {
            cd sum = 0.0;
            for (const Port& p : load->ports) sum += p.current;
            EXPECT_NEAR(std::abs(sum), 0.0, 1e-12);
        }

        std::vector<cd> inner(c.inner.size() + 1, cd(-7.0, -7.0));  // one sentinel past the end
        load->get_inner_currents(inner.data());
        EXPECT_EQ(inner.back(), cd(-7.0, -7.0)) << "wrote past its inner currents";
        inner.pop_back();
        expect_near(inner, c.inner, "get_inner_currents");

        for (Port& p : load->ports) p.current = cd(99.0, 99.0);
        load->backward_step();
        expect_near(port_currents(*load), c.ports, "backward_step");
        EXPECT_EQ(load->forward_step(), 0.0);
    }
}

TEST(Load, RecordedTapeGivesHandDerivedCurrents) {
    for (const CurrentCase& c : current_cases()) {
        SCOPED_TRACE(c.name);
        auto load = c.load();
        place(*load, c.potentials, c.held_at_zero);
        for (Port& p : load->ports) p.current = cd(99.0, 99.0);
        PortTape tape({load.get()});
        expect_near(tape.currents(), c.ports, "tape port currents");
        // Each port sits alone at its node: the node's equation is that port's current.
        std::vector<cd> free_ports;
        for (std::size_t k = 0; k < load->ports.size(); ++k)
            if (!load->ports[k].connection->is_zero) free_ports.push_back(c.ports[k]);
        expect_near(as_complex(tape.residuals()), free_ports, "residuals");
        EXPECT_EQ(load->ports[0].current, cd(99.0, 99.0)) << "on-tape computation touched the double currents";
    }
}

// --- zero voltage across a phase or branch: no guard, non-finite results kept -------------------

enum class Kind { zero, inf, nan };

bool is(Kind k, double x) {
    switch (k) {
        case Kind::zero: return x == 0.0;
        case Kind::inf: return std::isinf(x);
        case Kind::nan: return std::isnan(x);
    }
    return false;
}

TEST(Load, ZeroVoltageAcrossALoad) {
    struct Case {
        const char* name;
        Factory load;
        std::vector<cd> potentials;
        Kind double_re, double_im, tape_re, tape_im;  // port 0's current
    };
    const std::vector<Case> cases = {
        {"star power", make<PowerLoad>(2, {{1000.0, 500.0}}), {7.0, 7.0}, Kind::inf, Kind::inf, Kind::nan, Kind::nan},
        // A zero part of S gives a NaN part of the quotient by zero.
        {"star real power", make<PowerLoad>(2, {1000.0}), {7.0, 7.0}, Kind::inf, Kind::nan, Kind::nan, Kind::nan},
        {"star current", make<CurrentLoad>(2, {10.0}), {7.0, 7.0}, Kind::nan, Kind::nan, Kind::nan, Kind::nan},
        {"star admittance", make<AdmittanceLoad>(2, {0.1}), {7.0, 7.0}, Kind::zero, Kind::zero, Kind::zero, Kind::zero},
        // One port: its one branch joins port 0 to itself.
        {"one-port delta power", make<DeltaPowerLoad>(1, {{1000.0, 500.0}}), {7.0}, Kind::nan, Kind::nan, Kind::nan,
         Kind::nan},
        {"one-port delta current", make<DeltaCurrentLoad>(1, {10.0}), {7.0}, Kind::nan, Kind::nan, Kind::nan, Kind::nan},
        {"one-port delta admittance", make<DeltaAdmittanceLoad>(1, {0.1}), {7.0}, Kind::zero, Kind::zero, Kind::zero,
         Kind::zero},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto load = c.load();
        place(*load, c.potentials);
        load->compute_currents(false);
        const cd d = load->ports[0].current;
        EXPECT_TRUE(is(c.double_re, d.real()) && is(c.double_im, d.imag())) << d;
        PortTape tape({load.get()});
        const cd t = tape.currents()[0];
        EXPECT_TRUE(is(c.tape_re, t.real()) && is(c.tape_im, t.imag())) << t;
    }
}

// --- inner currents -------------------------------------------------------------------------------

TEST(Load, StarInnerCurrentsAreStoredWhileDeltaOnesFollowThePotentials) {
    const cd y[3] = {0.1, 0.1, 0.1};
    AdmittanceLoad star(4, y);
    DeltaAdmittanceLoad delta(3, y);
    place(star, {100.0, 100.0, 100.0, 0.0});
    place(delta, {100.0, 0.0, 0.0});

    cd out[3] = {5.0, 5.0, 5.0};
    star.get_inner_currents(out);
    expect_near({out, out + 3}, {0.0, 0.0, 0.0}, "star before any computation");

    star.compute_currents(false);
    delta.compute_currents(false);
    star.ports[0].connection->set_potential(200.0);
    delta.ports[0].connection->set_potential(200.0);

    star.get_inner_currents(out);
    expect_near({out, out + 3}, {10.0, 10.0, 10.0}, "star keeps its last computation");
    delta.get_inner_currents(out);
    expect_near({out, out + 3}, {20.0, 0.0, -20.0}, "delta at the new potentials");
    EXPECT_EQ(delta.ports[0].current, cd(20.0, 0.0)) << "reading the inner currents changed a port current";
}

// --- parameters: collection, binding, updates -----------------------------------------------------

TEST(Load, CollectsAndBindsOneRecordPerValueInOrder) {
    const cd v[3] = {{1.0, 2.0}, {3.0, 4.0}, {5.0, 6.0}};
    struct Case {
        std::unique_ptr<LoadBase> load;
        std::vector<double> collected;
    };
    Case cases[] = {
        {std::make_unique<CurrentLoad>(4, v), {1, 2, 3, 4, 5, 6}},
        {std::make_unique<DeltaPowerLoad>(2, v), {1, 2, 3, 4}},
        {std::make_unique<AdmittanceLoad>(1, nullptr), {}},
        {std::make_unique<DeltaCurrentLoad>(0, nullptr), {}},
    };
    for (Case& c : cases) {
        std::vector<double> values = {-1.0};
        c.load->collect_parameters(values);
        values.erase(values.begin());
        EXPECT_EQ(values, c.collected);

        ADVector p(10, AD(0.0));
        VectorXd p_values = VectorXd::Zero(10);
        int j = 2;
        c.load->bind_parameters(p, p_values, j);
        EXPECT_EQ(j, 2 + static_cast<int>(c.collected.size()));
    }
    auto& current = static_cast<CurrentLoad&>(*cases[0].load);
    ADVector p(8, AD(0.0));
    VectorXd p_values = VectorXd::Zero(8);
    int j = 2;
    current.bind_parameters(p, p_values, j);
    EXPECT_EQ(current.currents[1].linked_value, &p_values[4]);
    EXPECT_TRUE(current.currents[1].linked);
}

TEST(Load, UpdateBeforeBindingIsWhatASolverStartsFrom) {
    const cd s[1] = {1000.0};
    PowerLoad load(2, s);
    place(load, {100.0, 0.0});
    const cd updated[1] = {{2000.0, 1000.0}};
    load.update_powers(updated);

    std::vector<double> collected;
    load.collect_parameters(collected);
    EXPECT_EQ(collected, (std::vector<double>{2000.0, 1000.0}));
    load.compute_currents(false);
    expect_near(port_currents(load), {{20.0, -10.0}, {-20.0, 10.0}}, "double mode");
    PortTape tape({&load});
    expect_near(tape.currents(), {{20.0, -10.0}, {-20.0, 10.0}}, "tape");
}

TEST(Load, UpdateAfterBindingReachesTheTapeWithoutRecordingAgain) {
    // Two loads in one network: the second's records sit after the first's in the parameters.
    const cd s[3] = {1000.0, {0.0, 1000.0}, {500.0, 500.0}};
    const cd j[3] = {10.0, {0.0, 5.0}, 1.0};
    PowerLoad star(4, s);
    DeltaCurrentLoad delta(3, j);
    place(star, star_v);
    place(delta, delta_v);
    PortTape tape({&star, &delta});
    ASSERT_EQ(tape.recorded.p_values.size(), 12);

    const cd s2[3] = {2000.0, {0.0, 2000.0}, {1000.0, 1000.0}};
    const cd j2[3] = {20.0, {0.0, 10.0}, 2.0};
    star.update_powers(s2);
    delta.update_currents(j2);
    EXPECT_EQ(tape.recorded.p_values[6], 20.0);
    EXPECT_EQ(tape.recorded.p_values[9], 10.0);

    std::vector<double> collected;
    delta.collect_parameters(collected);
    EXPECT_EQ(collected, (std::vector<double>{20.0, 0.0, 0.0, 10.0, 2.0, 0.0}));

    // Doubling every value doubles every current.
    const std::vector<cd> expected = {20.0, 20.0, {-10.0, 10.0}, {-30.0, -10.0}, {-21.2, -1.6}, 30.0, {-8.8, 1.6}};
    expect_near(tape.currents(), expected, "tape after update");
    star.compute_currents(false);
    delta.compute_currents(false);
    std::vector<cd> both = port_currents(star);
    for (const cd& c : port_currents(delta)) both.push_back(c);
    expect_near(both, expected, "double mode after update");

    // Once bound, the double mode reads the solver's copy, not the record's own value.
    tape.recorded.p_values[0] = 3000.0;
    star.compute_currents(false);
    EXPECT_NEAR(star.ports[0].current.real(), 30.0, 1e-12);
    EXPECT_EQ(star.powers[0].value, cd(2000.0, 0.0));
}

TEST(Load, ScalarUpdatesWriteOnlyTheValuesTheyHave) {
    const cd y[3] = {0.1, 0.2, 0.3};
    AdmittanceLoad one_port(1, nullptr);
    one_port.update_admittance(5.0);
    EXPECT_TRUE(one_port.admittances.empty());

    AdmittanceLoad one_phase(2, y);
    one_phase.update_admittance({0.5, 0.5});
    EXPECT_EQ(one_phase.admittances[0].value, cd(0.5, 0.5));

    CurrentLoad three_phase(4, y);
    three_phase.update_current(7.0);
    EXPECT_EQ(three_phase.currents[0].value, cd(7.0, 0.0));
    EXPECT_EQ(three_phase.currents[1].value, cd(0.2, 0.0));
    EXPECT_EQ(three_phase.currents[2].value, cd(0.3, 0.0));
}

// --- counts and missing values --------------------------------------------------------------------

TEST(Load, RefusesPortCountsBelowItsWiringsMinimum) {
    const std::vector<std::pair<const char*, Factory>> refused = {
        {"star power 0", make<PowerLoad>(0, {})},           {"star current 0", make<CurrentLoad>(0, {})},
        {"star admittance -1", make<AdmittanceLoad>(-1, {})}, {"delta power -1", make<DeltaPowerLoad>(-1, {})},
        {"delta current -1", make<DeltaCurrentLoad>(-1, {})}, {"delta admittance -3", make<DeltaAdmittanceLoad>(-3, {})},
    };
    for (const auto& [name, factory] : refused) {
        SCOPED_TRACE(name);
        try {
            factory();
            ADD_FAILURE() << "built";
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "vector");
        }
    }

    // A delta load of no port is merely empty.
    DeltaPowerLoad empty(0, nullptr);
    EXPECT_TRUE(empty.ports.empty());
    EXPECT_TRUE(empty.powers.empty());
    empty.compute_currents(false);
    empty.backward_step();
    cd out = 5.0;
    empty.get_inner_currents(&out);
    EXPECT_EQ(out, cd(5.0, 0.0));
}

TEST(Load, RefusesMissingValuesWhereItMustReadSome) {
    EXPECT_THROW(PowerLoad(3, nullptr), std::invalid_argument);
    EXPECT_THROW(DeltaAdmittanceLoad(2, nullptr), std::invalid_argument);
    EXPECT_NO_THROW(CurrentLoad(1, nullptr));

    const cd s[2] = {1.0, 2.0};
    PowerLoad load(3, s);
    EXPECT_THROW(load.update_powers(nullptr), std::invalid_argument);
    EXPECT_EQ(load.powers[0].value, cd(1.0, 0.0));
    PowerLoad no_phase(1, nullptr);
    EXPECT_NO_THROW(no_phase.update_powers(nullptr));
}

}  // namespace
