// The flexible control law in both evaluation modes, the star and delta flexible loads, and
// feeders of flexible loads solved by the three solvers.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "../../benchmarks/feeder.hpp"
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
    ADVector y(2);
    try {
        int j = 0;
        f.bind_parameters(p, p_values, j);
        const ADComplex s = f.compute_power_ad(x[0], ADComplex(x[1], x[2]));
        y[0] = s.real();
        y[1] = s.imag();
    } catch (...) {
        AD::abort_recording();
        ADVector none;
        int j = 0;
        f.bind_parameters(none, p_values, j);
        throw;
    }
    CppAD::ADFun<double> tape(x, y);
    ADVector none;
    int j = 0;
    f.bind_parameters(none, p_values, j);
    std::vector<double> limits;
    f.collect_parameters(limits);
    tape.new_dynamic(limits);
    const std::vector<double> out = tape.Forward(0, std::vector<double>{u, s_th.real(), s_th.imag()});
    return {out[0], out[1]};
}

// Both forms agree to 1e-12 relative (exactly where the power is 0).
void expect_same_law(FlexibleParameter& f, double u, cd s_th) {
    const cd doubles = f.compute_power(u, s_th);
    // Recorded elsewhere, so that a switch frozen at recording would show; same sign of Pt.
    const cd taped = recorded_power(f, 0.93 * u + 11.0, 0.7 * s_th, u, s_th);
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

const double nan_value = std::numeric_limits<double>::quiet_NaN();

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

    const auto message = [](const std::function<void()>& build) {
        try {
            build();
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("built");
    };
    for (const std::string name : {"Constant", "q_u ", "q_v", "", "p_max_u"})
        EXPECT_EQ(message([&] { Control(name, 1, 2, 3, 4, 5, 6); }), name + " is a bad control type name");
    for (const std::string name : {"Euclidean", "keep_p ", "keep_r", ""})
        EXPECT_EQ(message([&] { Projection(name, 1, 2); }), name + " is a bad projection type name");
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
            try {
                if (on_tape)
                    recorded_power(f, 230.0, 1000.0, 230.0, 1000.0);
                else
                    f.compute_power(230.0, 1000.0);
                ADD_FAILURE() << "evaluated";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), c.message);
            }
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

}  // namespace
