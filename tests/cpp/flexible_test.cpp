// The flexible control law in both evaluation modes, the star and delta flexible loads, and
// feeders of flexible loads solved by the three solvers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "../../benchmarks/feeder.hpp"
#include "element_check_support.hpp"
#include "elements/flexible_load.hpp"
#include "solver_test_support.hpp"
#include "tape_support.hpp"

namespace {
using cd = std::complex<double>;

// Thresholds around a 230 V phase: 207, 220, 240, 253 (as fractions of u_max: 0.818 .. 1).
Control volt(const char* type, double alpha = 1e4, double epsilon = 1e-4) {
    return Control(type, 207.0, 220.0, 240.0, 253.0, alpha, epsilon);
}
Control constant() { return Control("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0); }

// The law recorded on a tape with u and s_th as independent variables and the three limits as
// dynamic parameters, recorded at (u_record, s_record) and evaluated at (u, s_th) with the limits
// the parameter holds now. The parameter is unlinked again afterwards.
cd recorded_power(FlexibleParameter& f, double u_record, cd s_record, double u, cd s_th) {
    std::vector<double> p0;
    f.collect_parameters(p0);
    VectorXd p_values = Eigen::Map<VectorXd>(p0.data(), 3);
    ADVector x = {AD(u_record), AD(s_record.real()), AD(s_record.imag())};
    ADVector p(p0.begin(), p0.end());
    CppAD::Independent(x, p);
    const auto unlink = [&] {
        ADVector none;
        int j = 0;
        f.bind_parameters(none, p_values, j);
    };
    ADVector y(2);
    try {
        int j = 0;
        f.bind_parameters(p, p_values, j);
        const ADComplex s = f.compute_power_ad(x[0], ADComplex(x[1], x[2]));
        y[0] = s.real();
        y[1] = s.imag();
    } catch (...) {
        AD::abort_recording();
        unlink();
        throw;
    }
    CppAD::ADFun<double> tape(x, y);
    unlink();
    std::vector<double> limits;
    f.collect_parameters(limits);
    tape.new_dynamic(limits);
    const std::vector<double> out = tape.Forward(0, std::vector<double>{u, s_th.real(), s_th.imag()});
    return {out[0], out[1]};
}

// Both forms agree to 1e-12 relative (exactly where the power is 0).
void expect_same_law(FlexibleParameter& f, double u, cd s_th) {
    const cd doubles = f.compute_power(u, s_th);
    // Recorded elsewhere, Pt of the other sign included, so that a choice frozen at recording would show.
    const cd taped = recorded_power(f, 0.93 * u + 11.0, cd(-0.7 * s_th.real() - 1.0, 0.7 * s_th.imag()), u, s_th);
    EXPECT_LE(std::abs(taped - doubles), 1e-12 * std::abs(doubles)) << "tape " << taped << " doubles " << doubles;
}

// ---------------------------------------------------------------- the law

struct LawCase {
    const char* name;
    Control p;
    Control q;
    Projection projection;
    double s_max;
    double u;
    cd s_th;
    cd expected;
    double tolerance;  // |S - expected|, VA
};

std::vector<LawCase> law_cases() {
    const Projection keep_p("keep_p", 1e3, 1e-5);
    const Projection keep_q("keep_q", 1e3, 1e-5);
    const Projection euclidean("euclidean", 1e3, 1e-5);
    const Control production = volt("p_max_u_production");
    const Control consumption = volt("p_max_u_consumption");
    const Control q_u = volt("q_u");
    // q_min -3000, q_max 3000 throughout; s_max 5000 unless said.
    return {
        // Production, Pt = -s: Pt up to u_up, a ramp to 0 at u_max, 0 above (keep_p leaves P alone).
        {"production at half u_min", production, constant(), keep_p, 5000, 103.5, -5000.0, -5000.0, 1e-9},
        {"production below u_up", production, constant(), keep_p, 5000, 230.0, -5000.0, -5000.0, 1e-9},
        {"production mid ramp", production, constant(), keep_p, 5000, 246.5, -5000.0, -2500.0, 1e-3},
        {"production above u_max", production, constant(), keep_p, 5000, 260.0, -5000.0, 0.0, 1e-6},
        {"production at twice u_max", production, constant(), keep_p, 5000, 506.0, -5000.0, 0.0, 1e-6},
        // Half the power moves the break point: (240 + 0.5 * 13) V.
        {"production of half the power", production, constant(), keep_p, 5000, 249.75, -2500.0, -1250.0, 1e-3},
        // Consumption, Pt = s: 0 below u_min, a ramp to Pt at u_down, Pt above.
        {"consumption at half u_min", consumption, constant(), keep_p, 5000, 103.5, 5000.0, 0.0, 1e-9},
        {"consumption mid ramp", consumption, constant(), keep_p, 5000, 213.5, 5000.0, 2500.0, 1e-3},
        {"consumption above u_down", consumption, constant(), keep_p, 5000, 230.0, 5000.0, 5000.0, 1e-9},
        {"consumption at twice u_max", consumption, constant(), keep_p, 5000, 506.0, 5000.0, 5000.0, 1e-9},
        // Volt-var: q_min below u_min, Qt in the dead band, q_max above u_max (keep_q leaves Q alone).
        {"q_u at half u_min", constant(), q_u, keep_q, 5000, 103.5, {500.0, 1000.0}, {500.0, -3000.0}, 1e-6},
        {"q_u low ramp", constant(), q_u, keep_q, 5000, 213.5, {500.0, 1000.0}, {500.0, -1000.0}, 1e-3},
        {"q_u dead band", constant(), q_u, keep_q, 5000, 230.0, {500.0, 1000.0}, {500.0, 1000.0}, 1e-6},
        {"q_u high ramp", constant(), q_u, keep_q, 5000, 246.5, {500.0, 1000.0}, {500.0, 2000.0}, 1e-3},
        {"q_u above u_max", constant(), q_u, keep_q, 5000, 260.0, {500.0, 1000.0}, {500.0, 3000.0}, 1e-6},
        {"q_u at twice u_max", constant(), q_u, keep_q, 5000, 506.0, {500.0, 1000.0}, {500.0, 3000.0}, 1e-6},
        // Projections, the controls left at s_th (q_u in its dead band).
        {"euclidean inside the disc", constant(), q_u, euclidean, 5000, 230.0, {1000.0, 500.0}, {1000.0, 500.0},
         1e-9},
        {"euclidean onto the circle", constant(), q_u, euclidean, 5000, 230.0, {6000.0, 8000.0}, {3000.0, 4000.0},
         1e-6},
        {"euclidean keeps zero", constant(), q_u, euclidean, 5000, 230.0, 0.0, 0.0, 0.0},
        {"keep_p limits Q", constant(), q_u, keep_p, 5000, 230.0, {4000.0, 4500.0}, {4000.0, 3000.0}, 1e-6},
        {"keep_p keeps the sign of Q", constant(), q_u, keep_p, 5000, 230.0, {4000.0, -4500.0}, {4000.0, -3000.0},
         1e-6},
        // Both weights of the soft minimum would underflow at this alpha.
        {"keep_p sharp", constant(), q_u, Projection("keep_p", 1e4, 1e-5), 5000, 230.0, {2500.0, 4500.0},
         {2500.0, 5000.0 * std::sqrt(0.75)}, 1e-6},
        // P beyond the disc: no room is left for Q but the soft floor, sqrt(eps) s.
        {"keep_p with P beyond s_max", constant(), q_u, Projection("keep_p", 1e3, 1e-4), 5000, 230.0,
         {5050.0, 1500.0}, {5050.0, 50.0}, 1e-6},
        {"keep_p with P far beyond s_max", constant(), q_u, Projection("keep_p", 1e3, 1e-4), 5000, 230.0,
         {15000.0, 1500.0}, {15000.0, 50.0}, 1e-6},
        {"keep_q limits P", constant(), q_u, keep_q, 5000, 230.0, {4500.0, 4000.0}, {3000.0, 4000.0}, 1e-6},
        {"keep_q negative Pt", constant(), q_u, keep_q, 5000, 230.0, {-2500.0, 1000.0}, {-2500.0, 1000.0}, 1e-6},
        // Pt = 0 counts as positive: about sqrt(eps) s.
        {"keep_q zero Pt", constant(), q_u, keep_q, 5000, 230.0, {0.0, 1000.0}, {5000.0 * std::sqrt(1e-5), 1000.0},
         1e-6},
        {"keep_q with Q beyond s_max", constant(), q_u, Projection("keep_q", 1e3, 1e-4), 5000, 230.0,
         {-2000.0, 5050.0}, {-50.0, 5050.0}, 1e-6},
        // Not projected: s_th exactly, whatever s_max.
        {"two constants", constant(), constant(), euclidean, 0.0, 230.0, {7000.0, -3000.0}, {7000.0, -3000.0}, 0.0},
        {"two constants at no voltage", constant(), constant(), keep_q, 0.0, 0.0, {-1.0, 2.0}, {-1.0, 2.0}, 0.0},
    };
}

TEST(FlexibleLaw, TableOfControlsAndProjectionsInBothModes) {
    for (const LawCase& c : law_cases()) {
        SCOPED_TRACE(c.name);
        FlexibleParameter f(c.p, c.q, c.projection, c.s_max, -3000.0, 3000.0);
        const cd s = f.compute_power(c.u, c.s_th);
        EXPECT_TRUE(std::isfinite(s.real()) && std::isfinite(s.imag())) << s;
        EXPECT_LE(std::abs(s - c.expected), c.tolerance) << s;
        expect_same_law(f, c.u, c.s_th);
    }
}

TEST(FlexibleLaw, SoftRampsHoldTheirLimitsWellBeyondTheThresholds) {
    // Far above a threshold the literal logarithm of a quotient of exponentials is inf / inf.
    const Projection keep_p("keep_p", 1e3, 1e-5);
    const Projection keep_q("keep_q", 1e3, 1e-5);
    FlexibleParameter production(volt("p_max_u_production"), constant(), keep_p, 5000, -3000, 3000);
    FlexibleParameter consumption(volt("p_max_u_consumption"), constant(), keep_p, 5000, -3000, 3000);
    FlexibleParameter var(constant(), volt("q_u"), keep_q, 5000, -3000, 3000);
    // Far out the two ramps' arguments are huge and nearly equal: their difference carries the
    // rounding of their size.
    for (double u : {0.0, 1.0, 50.0, 300.0, 1e3, 1e5, 1e8}) {
        SCOPED_TRACE(u);
        const cd p = production.compute_power(u, -4000.0);
        const cd c = consumption.compute_power(u, 4000.0);
        const cd q = var.compute_power(u, {100.0, 200.0});
        const double tolerance = u > 1e4 ? 1e-5 : 1e-6;
        EXPECT_NEAR(p.real(), u < 240.0 ? -4000.0 : 0.0, tolerance);
        EXPECT_NEAR(c.real(), u < 207.0 ? 0.0 : 4000.0, tolerance);
        EXPECT_NEAR(q.imag(), u < 207.0 ? -3000.0 : 3000.0, tolerance);
        expect_same_law(production, u, -4000.0);
        expect_same_law(consumption, u, 4000.0);
        expect_same_law(var, u, {100.0, 200.0});
    }
}

TEST(FlexibleLaw, EuclideanProjectsEveryDirectionOntoTheCircle) {
    FlexibleParameter f(constant(), volt("q_u"), Projection("euclidean", 1e3, 1e-5), 5000, -3000, 3000);
    for (double k = 0; k < 8; ++k) {
        for (double scale : {1.05, 2.0, 10.0, 1e3}) {
            const cd s_th = std::polar(5000.0 * scale, 0.8 * k);
            const cd s = f.compute_power(230.0, s_th);
            EXPECT_NEAR(std::abs(s), 5000.0, scale < 1.5 ? 5.0 : 1e-6) << s_th;
            EXPECT_NEAR(std::arg(s), std::arg(s_th), 1e-9) << s_th;
            expect_same_law(f, 230.0, s_th);
        }
    }
}

TEST(FlexibleLaw, TypeNamesAreExact) {
    for (const char* name : {"constant", "q_u", "p_max_u_production", "p_max_u_consumption"})
        EXPECT_NO_THROW(Control(name, 1, 2, 3, 4, 5, 6)) << name;
    for (const char* name : {"euclidean", "keep_p", "keep_q"}) EXPECT_NO_THROW(Projection(name, 1, 2)) << name;

    for (const std::string name : {"Constant", "q_u ", "q_v", "", "p_max_u"})
        EXPECT_EQ(error_of([&] { Control(name, 1, 2, 3, 4, 5, 6); }), name + " is a bad control type name");
    for (const std::string name : {"Euclidean", "keep_p ", "keep_r", ""})
        EXPECT_EQ(error_of([&] { Projection(name, 1, 2); }), name + " is a bad projection type name");
    // The whole string is compared, past an embedded zero byte too.
    EXPECT_THROW(Control(std::string("q_u\0x", 5), 1, 2, 3, 4, 5, 6), std::runtime_error);
    EXPECT_THROW(Projection(std::string("keep_p\0", 7), 1, 2), std::runtime_error);

    const Control c("q_u", 1, 2, 3, 4, 5, 6);
    EXPECT_EQ(c.type, ControlType::q_u);
    EXPECT_EQ(static_cast<int>(c.type), 1);
    EXPECT_EQ(c.u_min, 1);
    EXPECT_EQ(c.epsilon, 6);
    EXPECT_EQ(static_cast<int>(Projection("keep_q", 1, 2).type), 2);
    EXPECT_EQ(static_cast<int>(Control("p_max_u_consumption", 1, 2, 3, 4, 5, 6).type), 3);
}

TEST(FlexibleLaw, ControlTypesAreCheckedWhenTheLawIsEvaluated) {
    const Projection euclidean("euclidean", 1e3, 1e-5);
    struct Case {
        Control p;
        Control q;
        const char* message;
    };
    const Case cases[] = {
        {volt("q_u"), constant(), "Bad control type for P"},
        {volt("q_u"), volt("p_max_u_production"), "Bad control type for P"},
        {constant(), volt("p_max_u_consumption"), "Bad control type for Q"},
        {volt("p_max_u_production"), volt("p_max_u_production"), "Bad control type for Q"},
    };
    for (const Case& c : cases) {
        FlexibleParameter f(c.p, c.q, euclidean, 5000, -3000, 3000);  // built all the same
        for (bool on_tape : {false, true}) {
            SCOPED_TRACE(std::string(c.message) + (on_tape ? " on the tape" : " in doubles"));
            EXPECT_EQ(error_of([&] {
                          if (on_tape)
                              recorded_power(f, 230.0, 1000.0, 230.0, 1000.0);
                          else
                              f.compute_power(230.0, 1000.0);
                      }),
                      c.message);
        }
    }
    // The aborted recordings left nothing behind.
    FlexibleParameter good(constant(), volt("q_u"), euclidean, 5000, -3000, 3000);
    expect_same_law(good, 245.0, {1000.0, 500.0});
}

TEST(FlexibleLaw, UpdatedLimitsAreSeenAtOnceInBothModes) {
    FlexibleParameter f(constant(), volt("q_u"), Projection("keep_q", 1e3, 1e-5), 5000, -3000, 3000);
    EXPECT_NEAR(f.compute_power(100.0, {500.0, 0.0}).imag(), -3000.0, 1e-6);
    f.update_parameters(4000, -1000, 2000);
    EXPECT_NEAR(f.compute_power(100.0, {500.0, 0.0}).imag(), -1000.0, 1e-6);
    EXPECT_NEAR(f.compute_power(300.0, {500.0, 0.0}).imag(), 2000.0, 1e-6);
    expect_same_law(f, 300.0, {500.0, 0.0});

    // Linked, the solver's copy follows too, and double-mode reads go through the link.
    std::vector<double> values;
    f.collect_parameters(values);
    EXPECT_EQ(values, (std::vector<double>{4000, -1000, 2000}));
    ADVector p(values.begin(), values.end());
    VectorXd p_values = Eigen::Map<VectorXd>(values.data(), 3);
    int j = 0;
    f.bind_parameters(p, p_values, j);
    f.update_parameters(3000, -500, 700);
    EXPECT_EQ(p_values, (VectorXd(3) << 3000, -500, 700).finished());
    p_values[2] = 900;
    EXPECT_NEAR(f.compute_power(300.0, {500.0, 0.0}).imag(), 900.0, 1e-6);
    EXPECT_EQ(f.q_max.value, 700);
    ADVector none;
    j = 0;
    f.bind_parameters(none, p_values, j);
}

TEST(FlexibleLaw, ConstantControlsRecordNothing) {
    const auto tape_size = [](const std::function<ADComplex(const ADVector&)>& fn) {
        ADVector x = {AD(1.0), AD(2.0), AD(3.0)};
        CppAD::Independent(x);
        const ADComplex s = fn(x);
        ADVector y = {s.real(), s.imag()};
        CppAD::ADFun<double> tape(x, y);
        return tape.size_op();
    };
    FlexibleParameter f(constant(), constant(), Projection("euclidean", 1, 1), 0, 0, 0);
    const std::size_t law = tape_size([&](const ADVector& x) { return f.compute_power_ad(x[0], ADComplex(x[1], x[2])); });
    EXPECT_EQ(law, tape_size([](const ADVector& x) { return ADComplex(x[1], x[2]); }));
}

// ---------------------------------------------------------------- the loads

void expect_near(const std::vector<cd>& actual, const std::vector<cd>& expected, double tolerance, const char* what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t k = 0; k < actual.size(); ++k)
        EXPECT_LE(std::abs(actual[k] - expected[k]), tolerance) << what << " [" << k << "] " << actual[k];
}

// Volt-var on the phase voltage, projected on the disc.
FlexibleParameter volt_var(double alpha = 1e3) {
    return FlexibleParameter(constant(), volt("q_u", alpha), Projection("euclidean", alpha, 1e-5), 6000, -2000,
                             2000);
}
// Volt-watt on a line voltage around 400 V: production curtailed from 400 V to 420 V.
FlexibleParameter volt_watt(double alpha = 1e3) {
    return FlexibleParameter(Control("p_max_u_production", 360, 380, 400, 420, alpha, 1e-3), constant(),
                             Projection("euclidean", alpha, 1e-5), 8000, 0, 0);
}

// The loads' port currents recorded as a Newton solver would, the nodes' potentials the variables.
std::vector<cd> taped_port_currents(std::vector<Element*> loads) { return PortTape(std::move(loads)).currents(); }

TEST(FlexibleLoad, ConstantControlsDrawLikeAConstantPowerLoad) {
    FlexibleParameter f(constant(), constant(), Projection("keep_q", 1, 1), 0, 0, 0);
    const cd s[1] = {{2000.0, 700.0}};
    FlexibleLoad flexible(2, s, {&f});
    PowerLoad reference(2, s);
    const std::vector<cd> v = {{215.0, -30.0}, {3.0, 1.0}};
    place(flexible, v);
    place(reference, v);
    flexible.compute_currents(false);
    reference.compute_currents(false);
    EXPECT_EQ(port_currents(flexible), port_currents(reference));
    EXPECT_EQ(flexible.ports[1].current, -flexible.ports[0].current);
    expect_near(taped_port_currents({&flexible}), port_currents(reference), 1e-12, "tape");
}

TEST(FlexibleLoad, BothModesAndTheReadOutsAgree) {
    FlexibleParameter vv = volt_var();
    FlexibleParameter vw = volt_watt();
    const cd star_s[3] = {{3000.0, 1000.0}, {-7000.0, 500.0}, {4000.0, -800.0}};
    const cd delta_s[3] = {-6000.0, {-5000.0, 300.0}, -7000.0};
    FlexibleLoad star(4, star_s, {&vv, &vv, &vv});
    DeltaFlexibleLoad delta(3, delta_s, {&vw, &vw, &vw});
    // Phases at 216, 230 and 249 V (both ramps and the dead band); branches around 400-420 V.
    const std::vector<cd> sv = {std::polar(216.0, 0.1) + cd(2.0, 1.0), std::polar(230.0, -2.0) + cd(2.0, 1.0),
                                std::polar(249.0, 2.2) + cd(2.0, 1.0), {2.0, 1.0}};
    const std::vector<cd> dv = {std::polar(236.0, 0.0), std::polar(240.0, -2.1), std::polar(238.0, 2.1)};
    place(star, sv);
    place(delta, dv);
    star.compute_currents(false);
    delta.compute_currents(false);

    // The currents from the law, phase by phase and branch by branch.
    std::vector<cd> expected_star(4, 0.0), expected_delta(3, 0.0), powers_star, powers_delta, branch(3);
    for (std::size_t i = 0; i < 3; ++i) {
        const cd u = sv[i] - sv[3];
        powers_star.push_back(vv.compute_power(std::abs(u), star_s[i]));
        expected_star[i] = std::conj(powers_star[i] / u);
        expected_star[3] -= expected_star[i];
        const cd ud = dv[i] - dv[(i + 1) % 3];
        powers_delta.push_back(vw.compute_power(std::abs(ud), delta_s[i]));
        branch[i] = std::conj(powers_delta[i] / ud);
    }
    for (std::size_t k = 0; k < 3; ++k) expected_delta[k] = branch[k] - branch[(k + 2) % 3];
    expect_near(port_currents(star), expected_star, 1e-12, "star");
    expect_near(port_currents(delta), expected_delta, 1e-12, "delta");
    cd sum = 0.0;
    for (const cd& c : port_currents(delta)) sum += c;
    EXPECT_LT(std::abs(sum), 1e-12);
    // The controls act (phase 1, in the dead band, beyond the disc): nothing draws its theoretical
    // power.
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_GT(std::abs(powers_star[i] - star_s[i]), 1.0) << i;
        EXPECT_GT(std::abs(powers_delta[i] - delta_s[i]), 1.0) << i;
    }

    std::vector<cd> tape_expected = expected_star;
    tape_expected.insert(tape_expected.end(), expected_delta.begin(), expected_delta.end());
    expect_near(taped_port_currents({&star, &delta}), tape_expected, 1e-10, "tape");

    // Read-outs, each writing exactly its values (a sentinel after them).
    std::vector<cd> out(4, -7.0);
    star.get_powers(out.data());
    expect_near({out.begin(), out.begin() + 3}, powers_star, 1e-12, "star get_powers");
    EXPECT_EQ(out[3], cd(-7.0));
    star.get_inner_currents(out.data());
    expect_near({out.begin(), out.begin() + 3}, {expected_star.begin(), expected_star.begin() + 3}, 0.0,
                "star inner");
    EXPECT_EQ(out[3], cd(-7.0));
    delta.get_powers(out.data());
    expect_near({out.begin(), out.begin() + 3}, powers_delta, 1e-12, "delta get_powers");
    delta.get_inner_currents(out.data());
    expect_near({out.begin(), out.begin() + 3}, branch, 1e-12, "delta inner");
    EXPECT_EQ(out[3], cd(-7.0));
    EXPECT_EQ(delta.branch_power(1).first, dv[1] - dv[2]);
    EXPECT_EQ(delta.branch_power(1).second, powers_delta[1]);

    for (Port& p : star.ports) p.current = 99.0;
    star.backward_step();
    expect_near(port_currents(star), expected_star, 1e-12, "star backward step");
    EXPECT_EQ(star.forward_step(), 0.0);
    EXPECT_EQ(star.inner_current_count(), 3);
    EXPECT_EQ(delta.power_count(), 3);

    // New potentials: the delta load's inner currents and both loads' powers follow them, the star
    // load's inner currents stay those of its last computation.
    for (Element* e : {static_cast<Element*>(&star), static_cast<Element*>(&delta)})
        e->ports[0].connection->set_potential(e->ports[0].connection->get_potential() * 1.03);
    star.get_inner_currents(out.data());
    expect_near({out.begin(), out.begin() + 3}, {expected_star.begin(), expected_star.begin() + 3}, 0.0,
                "star inner after moving");
    delta.get_inner_currents(out.data());
    EXPECT_GT(std::abs(out[0] - branch[0]), 1e-3);
    star.get_powers(out.data());
    EXPECT_EQ(out[0], vv.compute_power(std::abs(sv[0] * 1.03 - sv[3]), star_s[0]));

    // New theoretical powers, before any solve: the powers at the present potentials.
    const cd doubled[3] = {star_s[0] * 2.0, star_s[1] * 2.0, star_s[2] * 2.0};
    star.update_powers(doubled);
    star.get_powers(out.data());
    EXPECT_EQ(out[1], vv.compute_power(std::abs(sv[1] - sv[3]), doubled[1]));
}

TEST(FlexibleLoad, SmallestLoadsHaveNothingToDo) {
    FlexibleLoad one_port(1, nullptr, {});
    place(one_port, {230.0});
    one_port.ports[0].current = 5.0;
    one_port.compute_currents(false);
    EXPECT_EQ(one_port.ports[0].current, cd(0.0));
    cd out = -7.0;
    one_port.get_powers(&out);
    one_port.get_inner_currents(&out);
    EXPECT_EQ(out, cd(-7.0));
    one_port.update_power(3.0);
    one_port.update_powers(nullptr);
    EXPECT_TRUE(one_port.powers.empty());
    EXPECT_EQ(taped_port_currents({&one_port}), std::vector<cd>{0.0});

    DeltaFlexibleLoad no_port(0, nullptr, {});
    no_port.compute_currents(false);
    no_port.get_powers(&out);
    no_port.get_inner_currents(&out);
    EXPECT_EQ(out, cd(-7.0));
    EXPECT_EQ(no_port.power_count(), 0);
}

TEST(FlexibleLoad, ConstructionRefusals) {
    FlexibleParameter f = volt_var();
    const cd s[3] = {1.0, 2.0, 3.0};
    const auto message = [](const std::function<void()>& build) -> std::string {
        try {
            build();
        } catch (const std::exception& e) {
            return std::string(typeid(e) == typeid(std::invalid_argument) ? "invalid_argument: "
                               : typeid(e) == typeid(std::length_error) ? "length_error: "
                                                                         : "other: ") +
                   e.what();
        }
        return "built";
    };
    const std::string wrong = "invalid_argument: a flexible load needs one flexible parameter per phase";
    EXPECT_EQ(message([&] { FlexibleLoad(4, s, {&f, &f}); }), wrong);
    EXPECT_EQ(message([&] { FlexibleLoad(2, s, {&f, &f}); }), wrong);
    EXPECT_EQ(message([&] { FlexibleLoad(3, s, {&f, nullptr}); }), wrong);
    EXPECT_EQ(message([&] { FlexibleLoad(1, s, {&f}); }), wrong);
    EXPECT_EQ(message([&] { DeltaFlexibleLoad(3, s, {&f, &f}); }), wrong);
    EXPECT_EQ(message([&] { DeltaFlexibleLoad(2, s, {nullptr, &f}); }), wrong);
    EXPECT_EQ(message([&] { DeltaFlexibleLoad(0, s, {&f}); }), wrong);
    EXPECT_EQ(message([&] { FlexibleLoad(3, nullptr, {&f, &f}); }), "invalid_argument: no values given for the load");
    EXPECT_EQ(message([&] { DeltaFlexibleLoad(2, nullptr, {&f, &f}); }),
              "invalid_argument: no values given for the load");
    EXPECT_EQ(message([&] { FlexibleLoad(0, s, {}); }), "length_error: vector");
    EXPECT_EQ(message([&] { DeltaFlexibleLoad(-1, s, {}); }), "length_error: vector");
    EXPECT_EQ(message([&] { FlexibleLoad(3, s, {&f, &f}); }), "built");
}

TEST(FlexibleLoad, CollectsAndBindsItsPowersButNotTheLimits) {
    FlexibleParameter f = volt_var();
    const cd s[3] = {{1.0, 2.0}, {3.0, 4.0}, {5.0, 6.0}};
    DeltaFlexibleLoad delta(3, s, {&f, &f, &f});
    std::vector<double> values = {-1.0};
    delta.collect_parameters(values);
    EXPECT_EQ(values, (std::vector<double>{-1, 1, 2, 3, 4, 5, 6}));
    ADVector p(10, AD(0.0));
    VectorXd p_values = VectorXd::Zero(10);
    int j = 2;
    delta.bind_parameters(p, p_values, j);
    EXPECT_EQ(j, 8);
    EXPECT_EQ(delta.powers[2].linked_value, &p_values[6]);
    EXPECT_FALSE(f.s_max.linked);
    delta.update_powers(s + 0);
    EXPECT_EQ(p_values[7], 6.0);

    // The network gathers the one parameter of all three branches once.
    ElectricalNetwork net({&delta});
    ASSERT_EQ(net.flexible_parameters.size(), 1u);
    const auto init = net.get_initial_values();
    EXPECT_EQ(init.second, (std::vector<double>{1, 2, 3, 4, 5, 6, 6000, -2000, 2000}));
}

TEST(FlexibleLoad, AFailingLawStopsWhereItFails) {
    FlexibleParameter good = volt_var();
    FlexibleParameter bad(volt("q_u"), constant(), Projection("euclidean", 1, 1), 1, 1, 1);
    const cd s[3] = {1000.0, 1000.0, 1000.0};
    FlexibleLoad star(4, s, {&good, &bad, &good});
    DeltaFlexibleLoad delta(3, s, {&good, &good, &bad});
    place(star, {230.0, 230.0, 230.0, 0.0});
    place(delta, {230.0, 0.0, -230.0});
    for (Element* e : {static_cast<Element*>(&star), static_cast<Element*>(&delta)})
        for (Port& p : e->ports) p.current = 99.0;
    const std::string bad_p = "Bad control type for P";
    EXPECT_EQ(error_of([&] { star.compute_currents(false); }), bad_p);
    // The phase before the failing one is written; the later ones and the neutral are not.
    EXPECT_NEAR(std::abs(star.ports[0].current), 1000.0 / 230.0, 1e-6);
    EXPECT_EQ(star.ports[1].current, cd(99.0));
    EXPECT_EQ(star.ports[3].current, cd(99.0));
    EXPECT_EQ(error_of([&] { delta.backward_step(); }), bad_p);
    EXPECT_EQ(port_currents(delta), std::vector<cd>(3, 99.0));
    cd out[3];
    EXPECT_EQ(error_of([&] { star.get_powers(out); }), bad_p);
    EXPECT_EQ(error_of([&] { delta.get_powers(out); }), bad_p);
    EXPECT_EQ(error_of([&] { delta.get_inner_currents(out); }), bad_p);
}

// ---------------------------------------------------------------- feeders of flexible loads

// A star source (neutral held at zero) feeds a chain of three four-conductor lines. Bus 1 has a
// star volt-var load, bus 2 a delta volt-watt load that generates, bus 3 a star load and a
// one-phase load. One parameter, whose ramps cover both the phase and the line voltages, serves
// one phase of each three-phase load.
struct FlexibleFeeder {
    FlexibleParameter var = volt_var(200.0);
    FlexibleParameter watt = volt_watt(200.0);
    FlexibleParameter shared{constant(), Control("q_u", 200, 300, 360, 460, 50, 1e-3),
                             Projection("euclidean", 100, 1e-4), 9000, -1500, 2500};
    std::vector<std::unique_ptr<Element>> owned;
    VoltageSource* source = nullptr;
    std::vector<Bus*> buses;
    FlexibleLoad* star1 = nullptr;
    DeltaFlexibleLoad* delta = nullptr;
    FlexibleLoad* star3 = nullptr;
    FlexibleLoad* one_phase = nullptr;
    std::unique_ptr<ElectricalNetwork> network;

    template <class T, class... Args>
    T* add(std::vector<Element*>& list, Args&&... args) {
        owned.push_back(std::make_unique<T>(std::forward<Args>(args)...));
        list.push_back(owned.back().get());
        return static_cast<T*>(owned.back().get());
    }

    FlexibleFeeder() {
        std::vector<Element*> list;
        const std::vector<cd> u = feeder::nominal_voltages();
        source = add<VoltageSource>(list, 4, u.data());
        auto* ref = add<PotentialRef>(list);
        std::vector<cd> z = feeder::section_impedance();
        for (cd& x : z) x *= 8.0;
        const cd start[4] = {u[0], u[1], u[2], 0.0};
        for (int k = 0; k < 4; ++k) {
            Bus* bus = add<Bus>(list, 4, start);
            if (k == 0) {
                for (int c = 0; c < 4; ++c) feeder::join(bus->ports[c], source->ports[c]);
                feeder::join(ref->ports[0], bus->ports[3]);
            } else {
                auto* line = add<SimplifiedLine>(list, 4, z.data());
                for (int c = 0; c < 4; ++c) {
                    feeder::join(buses.back()->ports[c], *line->side1[c]);
                    feeder::join(bus->ports[c], *line->side2[c]);
                }
            }
            buses.push_back(bus);
        }
        const cd s1[3] = {{5000.0, 1500.0}, {4000.0, 1000.0}, {6000.0, 2000.0}};
        star1 = add<FlexibleLoad>(list, 4, s1, std::vector<FlexibleParameter*>{&var, &shared, &var});
        const cd s2[3] = {-6000.0, {-5000.0, 500.0}, -7000.0};
        delta = add<DeltaFlexibleLoad>(list, 3, s2, std::vector<FlexibleParameter*>{&watt, &shared, &watt});
        const cd s3[3] = {{3000.0, 500.0}, {-4000.0, 0.0}, {2500.0, 800.0}};
        star3 = add<FlexibleLoad>(list, 4, s3, std::vector<FlexibleParameter*>{&shared, &var, &var});
        const cd s4[1] = {{1500.0, 300.0}};
        one_phase = add<FlexibleLoad>(list, 2, s4, std::vector<FlexibleParameter*>{&var});
        for (int c = 0; c < 4; ++c) feeder::join(buses[1]->ports[c], star1->ports[c]);
        for (int c = 0; c < 3; ++c) feeder::join(buses[2]->ports[c], delta->ports[c]);
        for (int c = 0; c < 4; ++c) feeder::join(buses[3]->ports[c], star3->ports[c]);
        feeder::join(buses[3]->ports[1], one_phase->ports[0]);
        feeder::join(buses[3]->ports[3], one_phase->ports[1]);
        network = std::make_unique<ElectricalNetwork>(std::move(list));
    }

    std::vector<FlexibleLoad*> stars() const { return {star1, star3, one_phase}; }
};

std::vector<cd> solved(FlexibleFeeder& f, SolverKind kind) {
    auto solver = make_solver(kind, f.network.get());
    const auto [iterations, error] = solve_tightly(*solver, kind);
    EXPECT_LT(iterations, kind == SolverKind::backward_forward ? 500 : 20) << solver_name(kind);
    return node_potentials(*f.network);
}

class FlexibleFeederSolution : public ::testing::TestWithParam<SolverKind> {};

TEST_P(FlexibleFeederSolution, TheLawAndTheCurrentBalanceHoldAtTheSolution) {
    const SolverKind kind = GetParam();
    FlexibleFeeder f;
    auto solver = make_solver(kind, f.network.get());
    const auto [iterations, error] = solve_tightly(*solver, kind);
    ASSERT_LT(iterations, kind == SolverKind::backward_forward ? 500 : 20);
    const bool newton = kind != SolverKind::backward_forward;
    // After a sweep the last forward step moved the potentials after the loads' last currents.
    const double law_tolerance = newton ? 1e-9 : 1e-6;

    // Every phase and branch draws the law's power at the solved voltages.
    for (FlexibleLoad* load : f.stars()) {
        const std::size_t n = load->ports.size();
        std::vector<cd> powers(n - 1);
        load->get_powers(powers.data());
        for (std::size_t i = 0; i + 1 < n; ++i) {
            const cd u = load->ports[i].connection->get_potential() - load->ports[n - 1].connection->get_potential();
            const cd law = load->parameters[i]->compute_power(std::abs(u), load->powers[i].get_value());
            const cd drawn = u * std::conj(load->ports[i].current);
            EXPECT_LE(std::abs(drawn - law), law_tolerance * std::abs(law)) << "phase " << i;
            if (newton) {
                EXPECT_LE(std::abs(powers[i] - drawn), 1e-9 * std::abs(law)) << "get_powers " << i;
            }
        }
    }
    std::vector<cd> branch(3);
    f.delta->get_inner_currents(branch.data());
    std::vector<cd> powers(3);
    f.delta->get_powers(powers.data());
    for (std::size_t i = 0; i < 3; ++i) {
        const cd u = f.delta->ports[i].connection->get_potential() -
                     f.delta->ports[(i + 1) % 3].connection->get_potential();
        const cd law = f.delta->parameters[i]->compute_power(std::abs(u), f.delta->powers[i].get_value());
        EXPECT_LE(std::abs(u * std::conj(branch[i]) - law), 1e-9 * std::abs(law)) << "branch " << i;
        EXPECT_LE(std::abs(powers[i] - law), 1e-12 * std::abs(law)) << "get_powers " << i;
        const cd port = branch[i] - branch[(i + 2) % 3];
        EXPECT_LE(std::abs(f.delta->ports[i].current - port), law_tolerance * std::abs(port)) << "port " << i;
    }

    // The loads' own currents balance at every free node.
    for (Element* e : f.network->elements)
        if (e != f.source) e->compute_currents(false);
    EXPECT_LT(worst_imbalance(*f.network), 1e-6);

    // The operating point puts the laws to work: the generation is curtailed and the shared
    // parameter is on its ramps at both voltage levels.
    EXPECT_GT(std::abs(f.delta->branch_power(0).first), 400.0);
    EXPECT_GT(f.delta->branch_power(0).second.real(), -5990.0);
    std::vector<cd> s1(3);
    f.star1->get_powers(s1.data());
    EXPECT_LT(s1[1].imag(), 900.0);
    EXPECT_GT(powers[1].imag(), 500.0);
}

INSTANTIATE_TEST_SUITE_P(Solvers, FlexibleFeederSolution, ::testing::ValuesIn(all_solver_kinds), solver_param_name);

TEST(FlexibleFeeder, AllSolversFindTheSamePotentials) {
    FlexibleFeeder reference_feeder;
    const auto reference = solved(reference_feeder, SolverKind::newton);
    for (SolverKind kind : {SolverKind::newton_goldstein, SolverKind::backward_forward}) {
        FlexibleFeeder f;
        EXPECT_LT(largest_difference(reference, solved(f, kind)), 1e-6) << solver_name(kind);
    }
}

TEST(FlexibleFeeder, TheSharedLimitsAreNumberedOnceAfterTheElements) {
    FlexibleFeeder f;
    ASSERT_EQ(f.network->flexible_parameters.size(), 3u);
    auto solver = make_solver(SolverKind::newton, f.network.get());
    // The source's three voltages, the lines' impedances and ten theoretical powers, then three
    // limits per parameter.
    const int before_limits = 2 * (3 + 3 * 16 + 3 + 3 + 3 + 1);
    ASSERT_EQ(solver->parameters.size(), before_limits + 9);
    int k = before_limits;
    for (FlexibleParameter* p : f.network->flexible_parameters) {
        EXPECT_EQ(p->s_max.linked_value, solver->parameters.data() + k) << k;
        EXPECT_EQ(p->q_max.linked_value, solver->parameters.data() + k + 2) << k;
        EXPECT_EQ(solver->parameters[k], p->s_max.value);
        k += 3;
    }
    EXPECT_LT(*f.network->flexible_parameters.begin(), *f.network->flexible_parameters.rbegin());
    // A dying solver unlinks the limits bound into its vectors.
    solver.reset();
    EXPECT_FALSE(f.shared.s_max.linked);
    EXPECT_FALSE(f.shared.q_max.linked);
}

class FlexibleFeederUpdate : public ::testing::TestWithParam<SolverKind> {};

TEST_P(FlexibleFeederUpdate, SecondSolveEqualsAFreshSolver) {
    const SolverKind kind = GetParam();
    FlexibleFeeder f;
    auto solver = make_solver(kind, f.network.get());
    solve_tightly(*solver, kind);
    const auto first = node_potentials(*f.network);
    auto* newton = dynamic_cast<AbstractNewton*>(solver.get());
    const std::size_t operators = newton ? newton->tape.size_op() : 0;

    f.shared.update_parameters(7000, -2500, 1000);
    f.var.update_parameters(5000, -1000, 2500);
    const cd s1[3] = {{6000.0, 500.0}, {3000.0, 2000.0}, {5000.0, 0.0}};
    f.star1->update_powers(s1);
    const cd s2[3] = {-8000.0, -3000.0, {-7500.0, 1000.0}};
    f.delta->update_powers(s2);
    f.one_phase->update_power({3000.0, -500.0});
    EXPECT_EQ(node_potentials(*f.network), first) << "nothing moves before the next solve";

    solve_tightly(*solver, kind);
    const auto second = node_potentials(*f.network);
    EXPECT_GT(largest_difference(first, second), 0.1);
    if (newton) {
        EXPECT_EQ(newton->tape.size_op(), operators);
    }

    auto fresh = make_solver(kind, f.network.get());
    solve_tightly(*fresh, kind);
    EXPECT_LT(largest_difference(second, node_potentials(*f.network)), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Solvers, FlexibleFeederUpdate, ::testing::ValuesIn(all_solver_kinds), solver_param_name);

// One star load with keep_q behind a line.
struct KeepQCircuit {
    FlexibleParameter f{constant(), volt("q_u", 200.0), Projection("keep_q", 200, 1e-4), 5000, -2000, 2000};
    VoltageSource source;
    PotentialRef ref;
    SimplifiedLine line;
    Bus bus;
    FlexibleLoad load;
    ElectricalNetwork network;

    static std::vector<cd> impedance() {
        std::vector<cd> z(4, 0.0);
        z[0] = z[3] = {0.3, 0.1};
        return z;
    }
    explicit KeepQCircuit(cd s)
        : source(2, std::vector<cd>{230.0}.data()),
          line(2, impedance().data()),
          bus(2, std::vector<cd>{230.0, 0.0}.data()),
          load(2, &s, {&f}),
          network(join_all()) {}

    std::vector<Element*> join_all() {
        feeder::join(source.ports[1], ref.ports[0]);
        for (int c = 0; c < 2; ++c) {
            feeder::join(source.ports[c], *line.side1[c]);
            feeder::join(bus.ports[c], *line.side2[c]);
            feeder::join(bus.ports[c], load.ports[c]);
        }
        return {&source, &ref, &line, &bus, &load};
    }
};

TEST(FlexibleFeeder, KeepQSignFollowsAnUpdateOnTheSameSolver) {
    KeepQCircuit c({3000.0, 1500.0});
    Newton old(&c.network, true);
    old.solve_load_flow(20, 1e-9);
    const auto before = node_potentials(c.network);

    c.load.update_powers(std::vector<cd>{{-3000.0, 1500.0}}.data());
    const auto [iterations, error] = old.solve_load_flow(20, 1e-9);
    EXPECT_GT(iterations, 0);
    EXPECT_LT(error, 1e-9);
    const auto after = node_potentials(c.network);
    EXPECT_GT(largest_difference(before, after), 1.0);
    cd drawn;
    c.load.get_powers(&drawn);
    EXPECT_LT(drawn.real(), -2000.0);

    Newton fresh(&c.network, true);
    fresh.solve_load_flow(20, 1e-9);
    EXPECT_LT(largest_difference(after, node_potentials(c.network)), 1e-9);
}

TEST(FlexibleFeeder, ABadControlFailsEverySolverAndLeavesTheNextOneSound) {
    for (const char* message : {"Bad control type for P", "Bad control type for Q"}) {
        SCOPED_TRACE(message);
        KeepQCircuit c({3000.0, 1500.0});
        c.f.control_p = message[std::strlen(message) - 1] == 'P' ? volt("q_u") : constant();
        c.f.control_q = message[std::strlen(message) - 1] == 'P' ? constant() : volt("p_max_u_consumption");
        EXPECT_EQ(error_of([&] { Newton(&c.network, true); }), message);
        EXPECT_EQ(error_of([&] { NewtonGoldstein(&c.network, false, 0.1, 0.9, true); }), message);
        BackwardForward sweep(&c.network);
        EXPECT_EQ(failure_of(sweep, 10, 1e-9), message);
        cd out;
        EXPECT_EQ(error_of([&] { c.load.get_powers(&out); }), message);

        KeepQCircuit good({3000.0, 1500.0});
        Newton newton(&good.network, true);
        const auto [iterations, error] = newton.solve_load_flow(20, 1e-9);
        EXPECT_LT(iterations, 20);
        EXPECT_LT(error, 1e-9);
    }
}

TEST(FlexibleFeeder, NonFiniteLawsAreReportedByTheSolvers) {
    // A zero s_max under a control: the law divides by it. The solvers report NaN, never success.
    KeepQCircuit c({3000.0, 1500.0});
    c.f.update_parameters(0.0, -2000, 2000);
    EXPECT_FALSE(std::isfinite(std::abs(c.f.compute_power(230.0, {3000.0, 1500.0}))));
    EXPECT_EQ(error_of([&] { Newton(&c.network, true).solve_load_flow(20, 1e-9); }),
              "1 NaN value encountered at iteration 0. ");
    EXPECT_EQ(error_of([&] { BackwardForward(&c.network).solve_load_flow(20, 1e-9); }),
              "2 NaN value encountered at iteration 1. ");

    // No voltage across a phase: non-finite currents in both modes, no exception.
    FlexibleParameter f = volt_var();
    const cd s[1] = {{1000.0, 200.0}};
    FlexibleLoad load(2, s, {&f});
    place(load, {7.0, 7.0});
    load.compute_currents(false);
    EXPECT_FALSE(std::isfinite(load.ports[0].current.real()) && std::isfinite(load.ports[0].current.imag()));
    const cd taped = taped_port_currents({&load})[0];
    EXPECT_FALSE(std::isfinite(taped.real()) && std::isfinite(taped.imag()));
}

// ---------------------------------------------------------------- Jacobian rows

// Star and delta loads at one bus of free nodes: every residual is a load current. The tape's
// Jacobian against central differences of the double-mode currents.
void check_jacobian(const std::vector<cd>& potentials, FlexibleParameter& star_f, FlexibleParameter& delta_f,
                    const char* what) {
    SCOPED_TRACE(what);
    const cd s[3] = {{3000.0, 1000.0}, {-2500.0, 800.0}, {4500.0, -1200.0}};
    const cd sd[3] = {-6000.0, {-5000.0, 300.0}, -7000.0};
    Bus bus(4, potentials.data());
    FlexibleLoad star(4, s, {&star_f, &star_f, &star_f});
    DeltaFlexibleLoad delta(3, sd, {&delta_f, &delta_f, &delta_f});
    for (int c = 0; c < 4; ++c) feeder::join(bus.ports[c], star.ports[c]);
    for (int c = 0; c < 3; ++c) feeder::join(bus.ports[c], delta.ports[c]);
    ElectricalNetwork net({&bus, &star, &delta});
    RecordedNetwork recorded(net);
    ASSERT_EQ(recorded.x_values.size(), 8);
    const std::vector<double> r0 = double_residuals(net);
    const std::vector<double> taped = recorded.outputs();
    for (std::size_t k = 0; k < r0.size(); ++k) EXPECT_NEAR(taped[k], r0[k], 1e-10) << "residual " << k;
    expect_tape_jacobian(recorded, net, 1e-5, 1e-6);
    net.unbind();
}

std::vector<cd> star_at(double ua, double ub, double uc, cd neutral) {
    return {std::polar(ua, 0.05) + neutral, std::polar(ub, -2.05) + neutral, std::polar(uc, 2.2) + neutral, neutral};
}

TEST(FlexibleJacobian, MatchesFiniteDifferencesNearAndAwayFromTheCorners) {
    // The phase voltages set the star phases on the q_u law; the line voltages (about sqrt(3) times
    // them) set the delta branches on the production law, whose thresholds follow.
    struct Case {
        const char* name;
        double ua, ub, uc;
        double delta_up;  // u_up of the production law (u_max 20 V above); 0: at branch 0's voltage
        double s_max;     // of the star phases' disc
    };
    const Case cases[] = {
        {"away from the corners", 213.5, 230.0, 246.5, 380.0, 8000.0},
        {"at the corners", 220.02, 239.98, 253.03, 0.0, 8000.0},
        {"at the disc's edge", 230.0, 230.0, 230.0, 380.0, 3162.3},
    };
    for (const Case& c : cases) {
        const std::vector<cd> v = star_at(c.ua, c.ub, c.uc, {3.0, -2.0});
        const double up = c.delta_up > 0.0 ? c.delta_up : std::abs(v[0] - v[1]) + 0.01;
        FlexibleParameter star_f(constant(), volt("q_u", 1e3), Projection("euclidean", 1e3, 1e-5), c.s_max, -2000,
                                 2000);
        FlexibleParameter delta_f(Control("p_max_u_production", up - 40, up - 20, up, up + 20, 1e3, 1e-3), constant(),
                                  Projection("euclidean", 1e3, 1e-5), 8000, 0, 0);
        check_jacobian(v, star_f, delta_f, c.name);
        FlexibleParameter keep(constant(), volt("q_u", 1e3), Projection("keep_q", 1e3, 1e-5), c.s_max, -2000, 2000);
        FlexibleParameter keep_p(Control("p_max_u_production", up - 40, up - 20, up, up + 20, 1e3, 1e-3), constant(),
                                 Projection("keep_p", 1e3, 1e-5), 8000, 0, 0);
        check_jacobian(v, keep, keep_p, c.name);
    }
}

}  // namespace
