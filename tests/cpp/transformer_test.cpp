// The transformers element by element: records, currents in both modes, sweep steps, the two tests,
// the three-phase vector groups and refusals, and the tape's Jacobian against finite differences.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "element_check_support.hpp"
#include "elements/bus.hpp"
#include "elements/three_phase_transformer.hpp"
#include "elements/transformer.hpp"
#include "network/network.hpp"
#include "solver_test_support.hpp"

namespace {
using C = std::complex<double>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double pi = 3.141592653589793;
const double s3 = std::sqrt(3.0);

void join(Port& a, Port& b) { a.connection->merge(b.connection); }

C potential(const Port* p) { return p->connection->get_potential(); }
void set(Port* p, const C& v) { p->connection->set_potential(v); }

void expect_close(const C& got, const C& want, double tol, const std::string& what = "") {
    EXPECT_LE(std::abs(got - want), tol) << what << ": " << got << " vs " << want;
}

// Distinct, unbalanced potentials for port i, so that no symmetry hides a wrong coefficient.
C odd_potential(std::size_t i, double scale) {
    const double t = static_cast<double>(i);
    return scale * C(std::sin(1.3 * t + 0.2) + 0.1 * t, std::cos(0.7 * t) - 0.05 * t);
}

// Phase a, b, c of a positive-sequence set of magnitude m whose phase a has angle a0.
C sequence(double m, double a0, int phase) { return std::polar(m, a0 - 2.0 * pi / 3.0 * phase); }

// A transformer of each kind with its own numbers; k as stored (real for two of them).
struct Kind {
    const char* name;
    std::function<std::unique_ptr<TransformerBase>()> make;
    C stored_k;
};

const C kZ2(0.02, 0.06), kYm(1e-4, -3e-4);

std::vector<Kind> kinds() {
    return {
        {"single", [] { return std::make_unique<SingleTransformer>(kZ2, kYm, C(0.5, 0.1)); }, C(0.5, 0.1)},
        {"centre tap", [] { return std::make_unique<CenterTransformer>(kZ2, kYm, 0.5); }, C(0.5, 0.0)},
        {"Dyn11", [] { return std::make_unique<ThreePhaseTransformer>(3, 4, "D", "y", kZ2, kYm, 0.5, 11); },
         C(0.5, 0.0)},
    };
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Records

TEST(TransformerRecords, CollectBindAndUpdateInThatOrder) {
    for (const Kind& kind : kinds()) {
        SCOPED_TRACE(kind.name);
        auto first = kind.make();
        auto second = kind.make();
        const std::vector<double> initial = {kZ2.real(), kZ2.imag(), kYm.real(), kYm.imag(), kind.stored_k.real(),
                                             kind.stored_k.imag()};
        EXPECT_EQ(collected(*first), initial);
        EXPECT_FALSE(first->k.linked);

        // Before binding the update changes the own values, the imaginary ratio included.
        first->update_transformer_parameters(C(1.0, 2.0), C(3.0, 4.0), 5.0, 6.0);
        EXPECT_EQ(collected(*first), (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));

        // Six parameters each, in element order; after binding the update writes through.
        ElectricalNetwork net({first.get(), second.get()});
        RecordedNetwork solver(net);  // binds the records as a solver does
        ASSERT_EQ(solver.p_values.size(), 12);
        EXPECT_EQ(second->z2.linked_value, &solver.p_values[6]);
        EXPECT_EQ(second->k.linked_value, &solver.p_values[10]);
        second->update_transformer_parameters(C(7.0, 8.0), C(9.0, 10.0), 11.0, -12.0);
        EXPECT_EQ(std::vector<double>(solver.p_values.data() + 6, solver.p_values.data() + 12), collected(*second));
        EXPECT_EQ(second->k.get_value(), C(11.0, -12.0));
        solver.p_values[10] = 0.25;  // a change of the solver's entry is what the element reads
        EXPECT_EQ(second->k.get_value(), C(0.25, -12.0));
    }
}

TEST(TransformerTestPotentials, PolarRule) {
    struct Case {
        double m, a;
        C expected;
        bool both_nan;
    };
    const Case cases[] = {
        {2.0, 0.0, C(2.0, 0.0), false},
        {2.0, pi / 2.0, C(2.0 * std::cos(pi / 2.0), 2.0), false},
        {0.0, 1.0, C(0.0, 0.0), false},
        {kInf, 0.0, C(kInf, 0.0), false},  // inf x sin 0 is NaN, made 0
        {3.0, kNaN, C(0.0, 0.0), false},  // NaN parts become 0
        {0.0, kInf, C(0.0, 0.0), false},
        {-1.0, 0.0, C(), true},
        {-0.0, 0.0, C(), true},
        {kNaN, 0.0, C(), true},
        {-kInf, 0.0, C(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.m) + " at " + std::to_string(c.a));
        const C v = polar_potential(c.m, c.a);
        if (c.both_nan) {
            EXPECT_TRUE(std::isnan(v.real()) && std::isnan(v.imag())) << v;
        } else {
            EXPECT_EQ(v, c.expected);
        }
    }
    EXPECT_EQ(scaled_potential(2.0, C(-0.5, 0.25)), C(-1.0, 0.5));
}

// ---------------------------------------------------------------------------------------------
// Single-phase transformer

TEST(SingleTransformer, CurrentsFollowTheWindingEquations) {
    struct Case {
        const char* name;
        C z2, ym, k;
    };
    const Case cases[] = {
        {"complex ratio", {0.3, 0.9}, {2e-3, -5e-3}, {0.45, -0.08}},
        {"no ratio: sides decoupled", {0.3, 0.9}, {2e-3, -5e-3}, {0.0, 0.0}},
        {"lossless", {0.0, 0.9}, {0.0, 0.0}, {0.45, -0.08}},
    };
    const C v1[2] = {{230.0, 10.0}, {3.0, -2.0}}, v2[2] = {{101.0, -7.0}, {-1.5, 0.5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SingleTransformer t(c.z2, c.ym, c.k);
        for (int i = 0; i < 2; ++i) {
            set(t.side1[i], v1[i]);
            set(t.side2[i], v2[i]);
        }
        t.compute_currents(false);
        const C u1 = v1[0] - v1[1], u2 = v2[0] - v2[1];
        const C i2 = t.side2[0]->current, i1 = t.side1[0]->current;
        expect_close(c.z2 * i2, u2 - c.k * u1, 1e-9, "I2 z2 = U2 - k U1");
        expect_close(i1, c.ym * u1 - std::conj(c.k) * i2, 1e-9, "I1");
        EXPECT_EQ(t.side1[1]->current, -i1);
        EXPECT_EQ(t.side2[1]->current, -i2);
        if (c.k == C(0.0, 0.0)) expect_close(i1, c.ym * u1, 1e-12, "decoupled");
        if (c.z2.real() == 0.0 && c.ym == C(0.0, 0.0)) {
            // A lossless winding pair with a complex ratio draws no active power in all.
            double p = 0.0;
            for (const Port& port : t.ports) p += (potential(&port) * std::conj(port.current)).real();
            EXPECT_NEAR(p, 0.0, 1e-9 * std::abs(u1 * i1));
        }
    }
}

TEST(SingleTransformer, SweepStepsTakeTheDownstreamCurrentAndSetTheSecondary) {
    const C z2(0.3, 0.9), ym(2e-3, -5e-3), k(0.45, -0.08);
    SingleTransformer t(z2, ym, k);
    Bus downstream(1, nullptr), neutral(1, nullptr);
    set(t.side1[0], C(230.0, 10.0));
    set(t.side1[1], C(3.0, -2.0));
    set(t.side2[1], C(-1.5, 0.5));
    const C u1 = C(227.0, 12.0);

    // Nothing else at the secondary node: the secondary carries no current.
    t.backward_step();
    EXPECT_EQ(t.side2[0]->current, C(0.0, 0.0));
    expect_close(t.side1[0]->current, ym * u1, 1e-12, "no-load primary");

    join(*t.side2[0], downstream.ports[0]);
    downstream.ports[0].current = C(4.0, -1.0);
    t.backward_step();
    EXPECT_EQ(t.side2[0]->current, C(-4.0, 1.0));
    EXPECT_EQ(t.side2[1]->current, C(4.0, -1.0));
    expect_close(t.side1[0]->current, ym * u1 - std::conj(k) * C(-4.0, 1.0), 1e-12, "I1");
    EXPECT_EQ(t.side1[1]->current, -t.side1[0]->current);

    set(t.side2[0], C(50.0, 50.0));
    const double change = t.forward_step();
    const C v2 = potential(t.side2[0]);
    expect_close(v2, z2 * C(-4.0, 1.0) + k * u1 + C(-1.5, 0.5), 1e-12, "secondary");
    EXPECT_DOUBLE_EQ(change, std::max(std::abs(v2.real() - 50.0), std::abs(v2.imag() - 50.0)));
    EXPECT_EQ(t.forward_step(), 0.0);

    // A NaN in one part only is reported, not lost behind the other part's change.
    join(*t.side2[1], neutral.ports[0]);
    set(t.side2[1], C(1e3, kNaN));
    EXPECT_TRUE(std::isnan(t.forward_step()));
}

// ---------------------------------------------------------------------------------------------
// Centre-tap transformer

TEST(CenterTransformer, HalfWindingsAndTheRealRatio) {
    const C z2(0.04, 0.1), ym(1e-3, -2e-3);
    const double kr = 0.05;
    CenterTransformer t(z2, ym, kr);
    const C v1[2] = {{7200.0, 30.0}, {-5.0, 2.0}};
    const C v2[3] = {{190.0, -3.0}, {-170.0, 6.0}, {2.0, 1.0}};
    for (int i = 0; i < 2; ++i) set(t.side1[i], v1[i]);
    for (int i = 0; i < 3; ++i) set(t.side2[i], v2[i]);
    const C u1 = v1[0] - v1[1];

    t.compute_currents(false);
    const C ia = t.side2[0]->current, ib = t.side2[1]->current;
    expect_close(ia * (z2 / 2.0), v2[0] - v2[2] - kr / 2.0 * u1, 1e-9, "upper half");
    expect_close(ib * (z2 / 2.0), v2[1] - v2[2] + kr / 2.0 * u1, 1e-9, "lower half");
    expect_close(t.side2[2]->current, -ia - ib, 1e-12, "centre tap");
    expect_close(t.side1[0]->current, ym * u1 - (ia - ib) * (kr / 2.0), 1e-9, "primary");
    EXPECT_EQ(t.side1[1]->current, -t.side1[0]->current);

    // An imaginary part of the ratio leaves the currents as they are.
    const std::vector<C> before = port_currents(t);
    t.update_transformer_parameters(z2, ym, kr, 0.3);
    t.compute_currents(false);
    for (std::size_t i = 0; i < t.ports.size(); ++i) EXPECT_EQ(t.ports[i].current, before[i]) << i;

    // A load only between the outer ends: nothing in the centre tap.
    const C sym = C(120.0, -4.0);
    set(t.side2[0], v2[2] + sym + kr / 2.0 * u1 - C(0.0, 0.0));
    set(t.side2[1], v2[2] - sym - kr / 2.0 * u1);
    t.compute_currents(false);
    expect_close(t.side2[2]->current, 0.0, 1e-9, "centre tap");
    expect_close(t.side1[0]->current, ym * u1 - t.side2[0]->current * kr, 1e-9, "primary");

    EXPECT_EQ(error_of([&] { t.backward_step(); }), "2 No backward-forward method has been defined for transformers yet.");
}

// ---------------------------------------------------------------------------------------------
// Open-circuit and short-circuit tests

TEST(TransformerTests, SinglePhaseFigures) {
    const double uhv = 20e3, ulv = 20e3, sn = 50e3;
    const C ym(2e-6, -8e-6), z2(4.0, 12.0);
    SingleTransformer t(z2, ym, 1.0);
    const auto [p0, i0] = t.compute_open_circuit_parameters(uhv, ulv, sn);
    EXPECT_EQ(t.side2[0]->current, C(0.0, 0.0));  // exactly
    EXPECT_NEAR(p0, uhv * uhv * ym.real(), 1e-9 * uhv * uhv * ym.real());
    EXPECT_NEAR(i0, std::abs(ym) * uhv * uhv / sn, 1e-12);
    EXPECT_EQ(potential(t.side1[0]), C(uhv, 0.0));
    EXPECT_EQ(potential(t.side2[0]), C(ulv, 0.0));

    const auto [p1, vsc] = t.compute_short_circuit_parameters(uhv, ulv, sn);
    EXPECT_DOUBLE_EQ(vsc, std::abs(z2) * sn / (ulv * ulv));
    const C u1 = vsc * uhv;
    const C i1 = ym * u1 + (u1 / z2);  // I2 = -U1 / z2
    EXPECT_EQ(potential(t.side1[0]), u1);
    EXPECT_EQ(potential(t.side2[0]), C(0.0, 0.0));
    EXPECT_NEAR(p1, (u1 * std::conj(i1)).real(), 1e-9 * std::abs(u1 * i1));

    // The secondary test voltage turns with the ratio.
    SingleTransformer turned(z2, ym, std::polar(0.02, -0.3));
    turned.compute_open_circuit_parameters(uhv, 400.0, sn);
    expect_close(potential(turned.side2[0]), std::polar(400.0, -0.3), 1e-9, "secondary");
    EXPECT_LT(std::abs(turned.side2[0]->current), 1e-12);
}

TEST(TransformerTests, CentreTapFigures) {
    const double uhv = 7200.0, ulv = 240.0, sn = 25e3;
    const C ym(3e-6, -1e-5), z2(0.02, 0.05);
    CenterTransformer t(z2, ym, ulv / uhv);
    t.update_transformer_parameters(z2, ym, ulv / uhv, 0.01);  // the currents use the real part only
    const auto [p0, i0] = t.compute_open_circuit_parameters(uhv, ulv, sn);
    const double turn = std::atan2(0.01, ulv / uhv);
    EXPECT_EQ(potential(t.side1[0]), C(uhv / 2.0, 0.0));
    EXPECT_EQ(potential(t.side1[1]), -C(uhv / 2.0, 0.0));
    expect_close(potential(t.side2[0]), std::polar(ulv / 2.0, turn), 1e-12, "outer end");
    expect_close(potential(t.side2[1]), -std::polar(ulv / 2.0, turn), 1e-12, "outer end");
    EXPECT_EQ(potential(t.side2[2]), C(0.0, 0.0));
    EXPECT_NEAR(p0, (C(uhv, 0.0) * std::conj(t.side1[0]->current)).real(), 1e-9);
    EXPECT_NEAR(i0, std::abs(t.side1[0]->current) / (sn / uhv), 1e-15);

    const auto [p1, vsc] = t.compute_short_circuit_parameters(uhv, ulv, sn);
    EXPECT_DOUBLE_EQ(vsc, std::abs(z2) * sn / (ulv * ulv));
    EXPECT_EQ(potential(t.side1[0]), C(vsc * uhv / 2.0, 0.0));
    for (const Port* p : t.side2) EXPECT_EQ(potential(p), C(0.0, 0.0));
    // Both halves shorted: each carries (kr / 2) U1 / (z2 / 2), the primary kr^2 U1 / z2 besides ym U1.
    const C u1 = vsc * uhv;
    const double kr = ulv / uhv;
    expect_close(t.side2[0]->current, -kr * u1 / z2, 1e-12, "upper half");
    expect_close(t.side2[1]->current, kr * u1 / z2, 1e-12, "lower half");
    const C i1 = ym * u1 + kr * kr * u1 / z2;
    expect_close(t.side1[0]->current, i1, 1e-12, "primary");
    EXPECT_NEAR(p1, (u1 * std::conj(i1)).real(), 1e-9 * std::abs(u1 * i1));
}

TEST(TransformerTests, WritesInTheListedOrderWhenPortsShareANode) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<TransformerBase>()> make;
        int a, b;  // joined ports; the later write wins
        C expected;
    };
    const double uhv = 1000.0, ulv = 100.0;
    const Case cases[] = {
        {"single: primary and secondary terminal", [] { return std::make_unique<SingleTransformer>(kZ2, kYm, 0.1); },
         0, 2, C(ulv, 0.0)},
        {"single: secondary terminal, then 0", [] { return std::make_unique<SingleTransformer>(kZ2, kYm, 0.1); }, 2,
         3, C(0.0, 0.0)},
        {"centre tap: lower end, then the tap", [] { return std::make_unique<CenterTransformer>(kZ2, kYm, 0.1); }, 3,
         4, C(0.0, 0.0)},
        {"three-phase: LV a before HV b",
         [] { return std::make_unique<ThreePhaseTransformer>(4, 4, "Y", "y", kZ2, kYm, 0.1, 0); }, 1, 4,
         uhv / s3 * C(-0.49999999999999983, -0.8660254037844387)},
        {"three-phase: the HV neutral's zero after LV b",
         [] { return std::make_unique<ThreePhaseTransformer>(4, 4, "Y", "y", kZ2, kYm, 0.1, 0); }, 3, 5,
         C(0.0, 0.0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto t = c.make();
        join(t->ports[static_cast<std::size_t>(c.a)], t->ports[static_cast<std::size_t>(c.b)]);
        t->compute_open_circuit_parameters(uhv, ulv, 1e3);
        EXPECT_EQ(potential(&t->ports[static_cast<std::size_t>(c.a)]), c.expected);
    }
}

TEST(TransformerTests, ANodeHeldAtZeroKeepsReadingZero) {
    SingleTransformer t(kZ2, kYm, C(0.1, 0.02));
    PotentialRef ref;
    join(ref.ports[0], *t.side1[0]);
    const auto [p, i] = t.compute_open_circuit_parameters(1000.0, 100.0, 1e3);
    EXPECT_EQ(potential(t.side1[0]), C(0.0, 0.0));
    // U1 = 0: the primary carries only the reflected secondary current, and no power enters.
    const C i2 = C(100.0, 0.0) * std::polar(1.0, std::arg(C(0.1, 0.02))) / kZ2;
    expect_close(t.side2[0]->current, i2, 1e-9, "I2");
    expect_close(t.side1[0]->current, -std::conj(C(0.1, 0.02)) * i2, 1e-9, "I1");
    EXPECT_EQ(p, 0.0);
    EXPECT_NEAR(i, std::abs(t.side1[0]->current) / (1e3 / 1000.0), 1e-12);
}

TEST(TransformerTests, BadRatingsWriteNothing) {
    const double bad[] = {0.0, -1.0, -0.0, kNaN, kInf, -kInf};
    for (const Kind& kind : kinds()) {
        auto t = kind.make();
        ElectricalNetwork net({t.get()});
        RecordedNetwork solver(net);  // binds the records as a solver does
        for (std::size_t i = 0; i < t->ports.size(); ++i) {
            set(&t->ports[i], odd_potential(i, 10.0));
            t->ports[i].current = odd_potential(i + 7, 1.0);
        }
        const VectorXd variables = solver.x_values;
        for (int which = 0; which < 3; ++which)
            for (double value : bad)
                for (bool open : {true, false}) {
                    double r[3] = {1000.0, 100.0, 5e3};
                    r[which] = value;
                    SCOPED_TRACE(std::string(kind.name) + (open ? " open" : " short") + " rating " +
                                 std::to_string(which) + " = " + std::to_string(value));
                    try {
                        if (open)
                            t->compute_open_circuit_parameters(r[0], r[1], r[2]);
                        else
                            t->compute_short_circuit_parameters(r[0], r[1], r[2]);
                        ADD_FAILURE() << "accepted";
                    } catch (const std::invalid_argument& e) {
                        EXPECT_STREQ(e.what(), "uhv, ulv and sn must be positive and finite");
                    }
                }
        EXPECT_EQ(solver.x_values, variables);
        for (std::size_t i = 0; i < t->ports.size(); ++i) {
            EXPECT_EQ(potential(&t->ports[i]), odd_potential(i, 10.0));
            EXPECT_EQ(t->ports[i].current, odd_potential(i + 7, 1.0));
        }
        // Good ratings write through the links into the bound variables.
        t->compute_short_circuit_parameters(1000.0, 100.0, 5e3);
        EXPECT_EQ(C(solver.x_values[0], solver.x_values[1]), potential(t->side1[0]));
        EXPECT_NE(solver.x_values, variables);
    }
}

// ---------------------------------------------------------------------------------------------
// Three-phase transformer

namespace {
struct Group {
    const char* hv;
    const char* lv;
    int clock;
};

// The winding pairs and the clocks each can produce.
std::vector<Group> allowed_groups() {
    std::vector<Group> out;
    const std::pair<const char*, const char*> pairs[] = {{"Y", "y"}, {"Y", "d"}, {"Y", "z"},
                                                         {"D", "y"}, {"D", "d"}, {"D", "z"}};
    for (const auto& [hv, lv] : pairs) {
        const bool even = (std::string(hv) == "Y") == (std::string(lv) == "y");
        for (int clock : even ? std::vector<int>{0, 2, 4, 6, 8, 10} : std::vector<int>{1, 5, 7, 11})
            out.push_back({hv, lv, clock});
    }
    return out;
}

// LV over HV line-to-line voltage at no load per unit of k, from the windings: k is one LV
// winding's voltage over one HV winding's. A star winding sits across a phase voltage (line / sqrt 3),
// a delta winding across a line voltage, and a zigzag phase is two half windings on two different
// HV windings, sqrt 3 times one of them.
double line_ratio(const std::string& hv, const std::string& lv) {
    const double hv_winding = hv == "Y" ? 1.0 / s3 : 1.0;   // per unit of the HV line voltage
    const double lv_line = lv == "y" ? s3 : lv == "d" ? 1.0 : 3.0;  // LV line voltage per winding voltage
    return hv_winding * lv_line;
}

int ports_of(const std::string& letter) { return letter == "D" || letter == "d" ? 3 : 4; }

std::unique_ptr<ThreePhaseTransformer> make(const Group& g, const C& z2, const C& ym, double k) {
    return std::make_unique<ThreePhaseTransformer>(ports_of(g.hv), ports_of(g.lv), g.hv, g.lv, z2, ym, k, g.clock);
}

std::string label(const Group& g) { return std::string(g.hv) + g.lv + std::to_string(g.clock); }
}  // namespace

TEST(ThreePhaseTransformer, VectorGroups) {
    const double u_hv = 20e3;  // line to line
    const double k = 0.0123;
    const C z2(0.01, 0.04), ym(2e-6, -9e-6);
    for (const Group& g : allowed_groups()) {
        SCOPED_TRACE(label(g));
        auto t = make(g, z2, ym, k);

        // No load: the LV positive-sequence line voltage lags the HV one by clock x 30 degrees, at
        // the magnitude the windings give; then no LV current flows.
        for (int i = 0; i < 3; ++i) set(t->side1[i], sequence(u_hv / s3, 0.1, i));
        const double u_lv = u_hv * k * line_ratio(g.hv, g.lv);
        const double lag = g.clock * pi / 6.0;
        for (int i = 0; i < 3; ++i) set(t->side2[i], sequence(u_lv / s3, 0.1 - lag, i));
        if (t->side1.size() == 4) set(t->side1[3], 0.0);
        if (t->side2.size() == 4) set(t->side2[3], 0.0);
        t->compute_currents(false);
        const double scale = u_lv / std::abs(z2);
        for (const Port* p : t->side2) EXPECT_LT(std::abs(p->current), 1e-9 * scale) << "LV current";
        // Half a step off is not a no-load state.
        set(t->side2[0], potential(t->side2[0]) * std::polar(1.0, pi / 6.0));
        t->compute_currents(false);
        EXPECT_GT(std::abs(t->side2[0]->current), 0.1 * scale);

        // Lossless windings: at any potentials no active power is lost and each side's currents
        // close.
        t->update_transformer_parameters(C(0.0, 0.04), 0.0, k, 0.0);
        for (std::size_t i = 0; i < t->ports.size(); ++i) set(&t->ports[i], odd_potential(i, i < t->side1.size() ? 1e4 : 200.0));
        t->compute_currents(false);
        double p = 0.0, size = 0.0;
        C sum1 = 0.0, sum2 = 0.0;
        for (const Port* port : t->side1) sum1 += port->current;
        for (const Port* port : t->side2) sum2 += port->current;
        for (const Port& port : t->ports) {
            p += (potential(&port) * std::conj(port.current)).real();
            size += std::abs(potential(&port) * port.current);
        }
        EXPECT_GT(size, 1.0);
        EXPECT_NEAR(p, 0.0, 1e-12 * size);
        EXPECT_LT(std::abs(sum1), 1e-12 * size);
        EXPECT_LT(std::abs(sum2), 1e-12 * size);

        // The open-circuit test lags its LV potentials by the same clock: at the ratio that makes the
        // rated LV voltage the no-load one no LV current flows, and each HV winding draws ym U.
        const double u_rated = 400.0, sn = 250e3;
        const bool star = std::string(g.hv) == "Y";
        const double hv_winding = star ? u_hv / s3 : u_hv;
        t->update_transformer_parameters(z2, ym, u_rated / (u_hv * line_ratio(g.hv, g.lv)), 0.0);
        const auto [p0, i0] = t->compute_open_circuit_parameters(u_hv, u_rated, sn);
        for (const Port* port : t->side2)
            EXPECT_LT(std::abs(port->current), 1e-9 * u_rated / std::abs(z2)) << "open-circuit LV current";
        const double losses = 3.0 * ym.real() * hv_winding * hv_winding;
        EXPECT_NEAR(p0, losses, 1e-9 * losses);
        const double line_current = std::abs(ym) * hv_winding * (star ? 1.0 : s3);
        EXPECT_NEAR(i0, line_current / (sn / (u_hv * s3)), 1e-9 * i0);
    }
}

TEST(ThreePhaseTransformer, Refusals) {
    struct Case {
        int n1, n2;
        std::string hv, lv;
        int clock;
        const char* kind;  // "runtime", "invalid" or "length"
        const char* message;
    };
    const Case cases[] = {
        {4, 4, "", "y", 0, "runtime", "Bad HV winding: "},
        {4, 4, "YN", "y", 0, "runtime", "Bad HV winding: YN"},
        {3, 3, "Dd", "d", 0, "runtime", "Bad HV winding: Dd"},
        {3, 3, "d", "d", 0, "runtime", "Bad HV winding: d"},
        {4, 4, "y", "y", 0, "runtime", "Bad HV winding: y"},
        {4, 4, "Y", "D", 0, "runtime", "Bad LV winding: D"},
        {4, 4, "Y", "yn", 0, "runtime", "Bad LV winding: yn"},
        {4, 4, "Y", "", 0, "runtime", "Bad LV winding: "},
        {4, 4, "X", "Q", 0, "runtime", "Bad HV winding: X"},                         // HV first
        {3, 4, "X", "y", 3, "runtime", "Bad HV winding: X"},                         // letters before counts
        {-1, 4, "X", "y", 0, "length", "vector"},                                    // a negative count first
        {4, -3, "Y", "y", 0, "length", "vector"},
        {3, 4, "Y", "y", 0, "invalid", "HV winding Y needs 4 ports, got 3"},
        {4, 4, "D", "y", 1, "invalid", "HV winding D needs 3 ports, got 4"},
        {4, 4, "Y", "d", 1, "invalid", "LV winding d needs 3 ports, got 4"},
        {4, 3, "Y", "z", 1, "invalid", "LV winding z needs 4 ports, got 3"},
        {4, 0, "Y", "y", 0, "invalid", "LV winding y needs 4 ports, got 0"},
        {3, 4, "Y", "y", 3, "invalid", "HV winding Y needs 4 ports, got 3"},         // counts before clock
        {3, 4, "D", "y", 3, "invalid", "Bad clock: 3 for Dy"},
        {3, 4, "D", "y", 0, "invalid", "Bad clock: 0 for Dy"},
        {4, 4, "Y", "y", 1, "invalid", "Bad clock: 1 for Yy"},
        {4, 4, "Y", "y", 12, "invalid", "Bad clock: 12 for Yy"},
        {3, 3, "D", "d", 13, "invalid", "Bad clock: 13 for Dd"},
        {4, 3, "Y", "d", -1, "invalid", "Bad clock: -1 for Yd"},
        {4, 3, "Y", "d", 9, "invalid", "Bad clock: 9 for Yd"},
        {3, 4, "D", "z", 1, "invalid", "Bad clock: 1 for Dz"},
        {4, 4, "Y", "z", 2, "invalid", "Bad clock: 2 for Yz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::string kind = "none", message;
        try {
            ThreePhaseTransformer t(c.n1, c.n2, c.hv, c.lv, kZ2, kYm, 0.1, c.clock);
        } catch (const std::length_error& e) {
            kind = "length";
            message = e.what();
        } catch (const std::invalid_argument& e) {
            kind = "invalid";
            message = e.what();
        } catch (const std::runtime_error& e) {
            kind = "runtime";
            message = e.what();
        }
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(message, c.message);
    }
}

TEST(ThreePhaseTransformer, OpenCircuitTestOfYy0) {
    const double uhv = 20e3, ulv = 410.0, sn = 250e3;
    const C ym(3e-7, -2e-6);
    ThreePhaseTransformer t(4, 4, "Y", "y", C(0.003, 0.012), ym, ulv / uhv, 0);
    const auto [p, ratio] = t.compute_open_circuit_parameters(uhv, ulv, sn);
    for (const Port* port : t.side2) EXPECT_LT(std::abs(port->current), 1e-10);
    C sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        expect_close(t.side1[i]->current, ym * potential(t.side1[i]), 1e-9 * std::abs(ym) * uhv, "HV phase current");
        sum += t.side1[i]->current;
    }
    EXPECT_EQ(t.side1[3]->current, -sum);
    EXPECT_EQ(potential(t.side1[3]), C(0.0, 0.0));
    EXPECT_NEAR(p, uhv * uhv * ym.real(), 1e-9 * uhv * uhv * ym.real());
    EXPECT_NEAR(ratio, std::abs(ym) * uhv * uhv / sn, 1e-12);
    EXPECT_EQ(potential(t.side1[1]), uhv / 1.7320508075688772 * C(-0.49999999999999983, -0.8660254037844387));
}

TEST(ThreePhaseTransformer, RatioIsPerWindingDyn11WorkedCase) {
    // Dyn11, 20 kV / 400 V: the ratio of one LV winding's voltage to one HV winding's.
    const double uhv = 20e3, ulv = 400.0;
    const double k = 400.0 / (s3 * 20e3);
    EXPECT_NEAR(k, 0.01155, 5e-6);
    for (const double ratio : {k, ulv / uhv}) {
        ThreePhaseTransformer t(3, 4, "D", "y", C(0.0032, 0.0128), C(1e-7, -6e-7), ratio, 11);
        t.compute_open_circuit_parameters(uhv, ulv, 400e3);
        // The test's LV voltage lags the HV one by 330 degrees at 400 V between lines.
        const C hv_ab = potential(t.side1[0]) - potential(t.side1[1]);
        const C lv_ab = potential(t.side2[0]) - potential(t.side2[1]);
        EXPECT_NEAR(std::abs(lv_ab), ulv, 1e-9);
        expect_close(lv_ab / hv_ab * (uhv / ulv), std::polar(1.0, -11.0 * pi / 6.0), 1e-12, "shift");
        // Only the per-winding ratio makes that the no-load state.
        const double lv_current = std::abs(t.side2[0]->current);
        if (ratio == k)
            EXPECT_LT(lv_current, 1e-9);
        else
            EXPECT_GT(lv_current, 1e3);
    }
}

TEST(ThreePhaseTransformer, ShortCircuitTestAndTheDeltaThird) {
    const double uhv = 20e3, ulv = 400.0, sn = 250e3, k = 0.02;
    const C z2(0.01, 0.05);
    ThreePhaseTransformer star(4, 4, "Y", "y", z2, 0.0, k, 0);
    ThreePhaseTransformer delta(4, 3, "Y", "d", z2, 0.0, k, 1);
    const auto [p_star, vsc_star] = star.compute_short_circuit_parameters(uhv, ulv, sn);
    const auto [p_delta, vsc_delta] = delta.compute_short_circuit_parameters(uhv, ulv, sn);
    EXPECT_DOUBLE_EQ(vsc_star, std::abs(z2) * sn / (ulv * ulv));
    EXPECT_DOUBLE_EQ(vsc_delta, std::abs(z2) / 3.0 * sn / (ulv * ulv));
    for (const Port* port : delta.side2) EXPECT_EQ(potential(port), C(0.0, 0.0));
    EXPECT_EQ(potential(star.side1[2]),
              vsc_star * uhv / 1.7320508075688772 * C(-0.5000000000000004, 0.8660254037844384));

    // Without magnetising branch a shorted LV winding reflects k^2 / z2 onto each HV star winding:
    // the currents use z2 as stored, for the d winding too.
    for (ThreePhaseTransformer* t : {&star, &delta}) {
        SCOPED_TRACE(t->wlv);
        double p = 0.0;
        for (int i = 0; i < 3; ++i) {
            const C v = potential(t->side1[i]);
            expect_close(t->side1[i]->current, k * k * v / z2, 1e-12 * std::abs(k * k * v / z2), "HV current");
            p += (v * std::conj(k * k * v / z2)).real();
        }
        EXPECT_NEAR(t == &star ? p_star : p_delta, p, 1e-9 * p);
    }
}

TEST(ThreePhaseTransformer, SidesWithANeutralCloseThroughIt) {
    ThreePhaseTransformer t(4, 4, "Y", "z", kZ2, kYm, 0.1, 11);
    for (std::size_t i = 0; i < t.ports.size(); ++i) set(&t.ports[i], odd_potential(i, 100.0));
    t.compute_currents(false);
    for (const std::vector<Port*>* side : {&t.side1, &t.side2}) {
        const C phases = (*side)[0]->current + (*side)[1]->current + (*side)[2]->current;
        EXPECT_GT(std::abs(phases), 1e-6);  // unbalanced potentials put current in the neutral
        EXPECT_EQ((*side)[3]->current, C(0.0) - phases);
    }
    // Refused by the sweep, like the centre tap.
    EXPECT_EQ(error_of([&] { t.backward_step(); }), "2 No backward-forward method has been defined for transformers yet.");
}

// ---------------------------------------------------------------------------------------------
// The tape against the doubles

TEST(TransformerJacobian, MatchesFiniteDifferencesOfTheDoubleCurrents) {
    const C z2(0.02, 0.07), ym(3e-4, -9e-4);
    const std::vector<std::pair<std::string, std::function<std::unique_ptr<TransformerBase>()>>> cases = {
        {"single", [&] { return std::make_unique<SingleTransformer>(z2, ym, C(0.3, -0.2)); }},
        {"centre tap", [&] { return std::make_unique<CenterTransformer>(z2, ym, 0.3); }},
        {"Dyn11", [&] { return make({"D", "y", 11}, z2, ym, 0.3); }},
        {"Yy2", [&] { return make({"Y", "y", 2}, z2, ym, 0.3); }},
        {"Yy10", [&] { return make({"Y", "y", 10}, z2, ym, 0.3); }},
        {"Yd5", [&] { return make({"Y", "d", 5}, z2, ym, 0.3); }},
        {"Yz7", [&] { return make({"Y", "z", 7}, z2, ym, 0.3); }},
        {"Dd6", [&] { return make({"D", "d", 6}, z2, ym, 0.3); }},
        {"Dz4", [&] { return make({"D", "z", 4}, z2, ym, 0.3); }},
    };
    for (const auto& [name, factory] : cases) {
        SCOPED_TRACE(name);
        auto t = factory();
        // A complex ratio: the three-phase and centre-tap currents must ignore its imaginary part.
        t->update_transformer_parameters(z2, ym, 0.3, 0.05);
        for (std::size_t i = 0; i < t->ports.size(); ++i) set(&t->ports[i], odd_potential(i, 50.0));
        ElectricalNetwork net({t.get()});
        RecordedNetwork tape(net);
        const std::size_t n = static_cast<std::size_t>(tape.x_values.size());
        ASSERT_EQ(n, 2 * t->ports.size());

        // Each port is alone at its node: the residuals are the port currents.
        const std::vector<double> at = tape.outputs();
        const std::vector<double> expected = double_residuals(net);
        for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(at[i], expected[i], 1e-9 * (1.0 + std::abs(expected[i]))) << i;
        expect_tape_jacobian(tape, net, 1e-3, 1e-7);
    }
}
