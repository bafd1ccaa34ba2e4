// The Newton loop, its failures and logging, the Jacobian, and the two step rules.
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include <Eigen/SparseLU>
#include <gtest/gtest.h>

#include "../../benchmarks/feeder.hpp"
#include "element_check_support.hpp"
#include "solver_test_support.hpp"

namespace {
using feeder::Complex;
const double nan = std::numeric_limits<double>::quiet_NaN();

feeder::Options tiny_feeder() {
    feeder::Options o;
    o.buses = 6;  // each load kind once, both line kinds
    return o;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(NewtonLoop, StopRuleAndIterationCounts) {
    auto f = feeder::build(tiny_feeder());
    Newton newton(f->network.get(), false);
    const double initial = newton.get_residuals().cwiseAbs().maxCoeff();
    ASSERT_GT(initial, 1.0);

    // No step allowed: the initial residual comes back, and the currents are still computed.
    for (int limit : {0, -2}) {
        EXPECT_EQ(newton.solve_load_flow(limit, 1e-9), std::make_pair(0, initial));
        EXPECT_NE(f->loads[0].load->ports[0].current, Complex(0.0, 0.0));
    }
    // A NaN tolerance stops at once while the residuals are finite.
    EXPECT_EQ(newton.solve_load_flow(10, nan).first, 0);

    const auto [iterations, error] = newton.solve_load_flow(20, 1e-9);
    EXPECT_GE(iterations, 2);
    EXPECT_LE(iterations, 5);
    EXPECT_LE(error, 1e-9);
    EXPECT_EQ(error, newton.get_residuals().cwiseAbs().maxCoeff());
    // Converged: the next solve does nothing.
    EXPECT_EQ(newton.solve_load_flow(20, 1e-9), std::make_pair(0, error));
    // A negative tolerance runs to the limit without failing.
    EXPECT_EQ(newton.solve_load_flow(3, -1.0).first, 3);

    newton.reset_inputs();
    EXPECT_EQ(newton.variables, newton.initial_variables);
    EXPECT_EQ(newton.get_residuals().cwiseAbs().maxCoeff(), initial);
}

TEST(NewtonLoop, ANewSolverStartsFromTheNodesOwnValues) {
    auto f = feeder::build(tiny_feeder());
    Newton first(f->network.get(), false);
    first.solve_load_flow(20, 1e-9);
    Newton second(f->network.get(), false);
    EXPECT_EQ(second.variables.head(6), first.initial_variables.head(6));
    EXPECT_NE(second.variables, first.variables);
}

TEST(NewtonLogging, TapeAndPatternLines) {
    auto f = feeder::build(tiny_feeder());
    for (const bool optimise : {false, true}) {
        LogCapture log;
        Newton newton(f->network.get(), optimise);
        EXPECT_EQ(count(log.text(), "debug|----- Tape evaluation -----\n"), 1);
        EXPECT_EQ(count(log.text(), "debug|Number of tape operators: "), optimise ? 2 : 1);
        EXPECT_EQ(count(log.text(), "debug|----- Tape optimization -----\n"), optimise ? 1 : 0);
        EXPECT_EQ(count(log.text(), "debug|"), optimise ? 4 : 2);
        // The last count is that of the tape as kept.
        const std::string last = "debug|Number of tape operators: " + std::to_string(newton.tape.size_op()) + "\n";
        EXPECT_EQ(log.text().rfind(last), log.text().size() - last.size());
    }
    Newton newton(f->network.get(), true);
    const std::string n = std::to_string(newton.variables.size());
    {
        // Before the first LU analysis every Jacobian computes the pattern again.
        LogCapture log;
        newton.compute_jacobian();
        newton.analyse_jacobian();
        EXPECT_EQ(count(log.text(), "debug|----- Sparse pattern initialisation -----\n"), 2);
        EXPECT_EQ(count(log.text(), "debug|n: " + n + " nnz: "), 2);
    }
    {
        LogCapture log;
        newton.solve_load_flow(20, 1e-9);
        EXPECT_EQ(count(log.text(), "debug|"), 2);
    }
    {
        LogCapture log;
        newton.solve_load_flow(20, -1.0);
        newton.analyse_jacobian();
        EXPECT_EQ(log.text(), "");
    }
    {
        // The level filters the lines out.
        LogCapture log(spdlog::level::info);
        Newton quiet(f->network.get(), true);
        EXPECT_EQ(log.text(), "");
    }
}

TEST(NewtonLogging, PatternLineCountsTheEntries) {
    // A lone bus: two variables, constant equations, no entry.
    const Complex v[1] = {1.0};
    Bus bus(1, v);
    ElectricalNetwork network({&bus});
    Newton newton(&network, false);
    LogCapture log;
    newton.compute_jacobian();
    EXPECT_EQ(log.text(), "debug|----- Sparse pattern initialisation -----\ndebug|n: 2 nnz: 0\n");
}

TEST(NewtonJacobian, MatchesFiniteDifferences) {
    auto f = feeder::build(tiny_feeder());
    Newton newton(f->network.get(), true);
    // Away from the start (source currents zero) so that every term is exercised.
    newton.solve_load_flow(1, 0.0);
    const VectorXd x = newton.variables;
    const Eigen::MatrixXd j = Eigen::MatrixXd(newton.compute_jacobian());
    const Eigen::Index n = x.size();
    Eigen::MatrixXd dense(n, n);
    newton.dense_jacobian(dense.data());  // row by row, so this is the transpose
    EXPECT_LT((dense.transpose() - j).cwiseAbs().maxCoeff(), 1e-9);
    EXPECT_LT(jacobian_difference(newton), 1e-6);
    // Some derivatives are far from trivial.
    EXPECT_GT(j.cwiseAbs().maxCoeff(), 100.0);
}

TEST(NewtonFailures, FloatingBusIsSingular) {
    auto f = feeder::build(tiny_feeder());
    const Complex v[4] = {1.0, 2.0, 3.0, 4.0};
    Bus floating(4, v);
    std::vector<Element*> list = f->network->elements;
    list.push_back(&floating);
    ElectricalNetwork network(std::move(list));
    Newton newton(&network, false);
    EXPECT_EQ(failure_of(newton, 10, 1e-9), "1 Decomposition failed, singular matrix at iteration 0. ");
    EXPECT_TRUE(newton.pattern_analysed);
    const auto [empty_columns, bad_rows] = newton.analyse_jacobian();
    EXPECT_EQ(empty_columns, std::vector<int>{static_cast<int>(network.elements.size()) - 1});
    EXPECT_TRUE(bad_rows.empty());
    // Fails the same way again (the analysis is not repeated).
    EXPECT_EQ(failure_of(newton, 10, 1e-9), "1 Decomposition failed, singular matrix at iteration 0. ");
}

TEST(NewtonFailures, JacobianWithFarFewerEntriesThanColumnsFailsInsteadOfHanging) {
    // Eleven unjoined ports: 22 variables, no equation touching them.
    std::vector<Complex> v(11, 1.0);
    Bus alone(11, v.data());
    ElectricalNetwork network({&alone});
    Newton newton(&network, false);
    EXPECT_EQ(failure_of(newton, 5, -1.0), "1 Decomposition failed, singular matrix at iteration 0. ");
}

TEST(NewtonFailures, WellPosedNetworkHasNothingToReport) {
    auto f = feeder::build(tiny_feeder());
    Newton newton(f->network.get(), false);
    const auto [empty_columns, bad_rows] = newton.analyse_jacobian();
    EXPECT_TRUE(empty_columns.empty());
    EXPECT_TRUE(bad_rows.empty());
}

TEST(NewtonFailures, NanRules) {
    auto f = feeder::build(tiny_feeder());
    Newton newton(f->network.get(), false);
    newton.solve_load_flow(20, 1e-9);
    const VectorXd solved = newton.variables;
    // Bus 0's first phase at the potential of its neutral (held at zero): the constant-power load
    // there sees no voltage.
    newton.variables[0] = 0.0;
    newton.variables[1] = 0.0;
    const VectorXd f0 = newton.get_residuals();
    ASSERT_TRUE(std::isnan(f0[0]));

    // Stopped by the limit with a NaN left: a failure, never a result.
    EXPECT_EQ(failure_of(newton, 0, 1e-9), "1 NaN value encountered at iteration 0. ");
    // A NaN keeps the loop going whatever the tolerance, and the Jacobian stops it.
    EXPECT_EQ(failure_of(newton, 10, nan), "1 NaN value encountered at iteration 0. ");
    EXPECT_EQ(failure_of(newton, 10, 1e300), "1 NaN value encountered at iteration 0. ");
    const auto [empty_columns, bad_rows] = newton.analyse_jacobian();
    EXPECT_TRUE(empty_columns.empty());
    const int bus0 = 4;  // source, two references, ground, then bus 0
    ASSERT_EQ(f->network->elements[bus0], f->buses[0]);
    EXPECT_EQ(bad_rows, std::vector<int>{bus0});

    newton.set_variables(solved.data());
    EXPECT_EQ(newton.solve_load_flow(20, 1e-9).first, 0);
}

TEST(NewtonFailures, NetworkWithoutVariables) {
    // Nothing at all, and a bus whose only node is held at zero.
    ElectricalNetwork empty({});
    const Complex v[1] = {5.0};
    Bus bus(1, v);
    PotentialRef ref;
    feeder::join(ref.ports[0], bus.ports[0]);
    ElectricalNetwork grounded({&bus, &ref});
    for (ElectricalNetwork* network : {&empty, &grounded}) {
        Newton newton(network, true);
        EXPECT_EQ(newton.variables.size(), 0);
        EXPECT_EQ(newton.get_residuals().size(), 0);
        EXPECT_EQ(newton.compute_jacobian().rows(), 0);
        EXPECT_EQ(newton.analyse_jacobian(), std::make_pair(std::vector<int>{}, std::vector<int>{}));
        EXPECT_EQ(newton.solve_load_flow(10, 0.0), std::make_pair(0, 0.0));
        // Below a negative tolerance the loop steps, on an empty system, to the limit.
        EXPECT_EQ(newton.solve_load_flow(3, -1.0), std::make_pair(3, 0.0));
        NewtonGoldstein goldstein(network, false, 0.1, 0.9, true);
        EXPECT_EQ(goldstein.solve_load_flow(3, -1.0), std::make_pair(3, 0.0));
    }
}

TEST(NewtonFailures, EmptyNetworkLogsEmptyPatternOnce) {
    ElectricalNetwork network({});
    Newton newton(&network, false);
    LogCapture log;
    // The first step settles the (empty) pattern: the later ones do not compute it again.
    EXPECT_EQ(newton.solve_load_flow(3, -1.0), std::make_pair(3, 0.0));
    EXPECT_EQ(log.text(), "debug|----- Sparse pattern initialisation -----\ndebug|n: 0 nnz: 0\n");
    EXPECT_TRUE(newton.pattern_analysed);
}

// One update from the start of the tiny feeder, by each rule.
struct Step {
    std::unique_ptr<feeder::Feeder> f = feeder::build(tiny_feeder());
    VectorXd x0, dx, f0;
    Eigen::SparseMatrix<double> j;
};

void prepare(Step& s, AbstractNewton& solver) {
    s.x0 = solver.variables;
    s.f0 = solver.get_residuals();
    s.j = solver.compute_jacobian();
    Eigen::SparseLU<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<int>> lu(s.j);
    s.dx = lu.solve(s.f0);
}

TEST(NewtonStep, FullStepMovesByExactlyMinusDx) {
    Step s;
    Newton newton(s.f->network.get(), false);
    prepare(s, newton);
    VectorXd f = s.f0;
    newton.update_variables(s.j, s.dx, f);
    EXPECT_EQ(newton.variables, VectorXd(s.x0 - s.dx));
    EXPECT_EQ(f, newton.get_residuals());
}

TEST(NewtonStep, GoldsteinAcceptsAGoodFullStep) {
    Step s;
    Newton newton(s.f->network.get(), false);
    prepare(s, newton);
    VectorXd f_newton = s.f0;
    newton.update_variables(s.j, s.dx, f_newton);
    for (const bool weighted : {false, true}) {
        NewtonGoldstein goldstein(s.f->network.get(), false, 0.1, 0.9, weighted);
        VectorXd f = s.f0;
        goldstein.update_variables(s.j, s.dx, f);
        EXPECT_EQ(goldstein.variables, newton.variables);
        EXPECT_EQ(f, f_newton);
    }
}

TEST(NewtonStep, GoldsteinWithNanResidualsDoublesToTheLastTrial) {
    Step s;
    NewtonGoldstein goldstein(s.f->network.get(), false, 0.1, 0.9, false);
    prepare(s, goldstein);
    VectorXd f = VectorXd::Constant(s.f0.size(), nan);
    goldstein.update_variables(s.j, s.dx, f);
    // Every trial is rejected as too short: 1, 2, ..., 512.
    EXPECT_EQ(goldstein.variables, VectorXd(s.x0 - 512.0 * s.dx));
}

TEST(NewtonStep, GoldsteinWithAnEmptyWindowKeepsTheTenthTrial) {
    Step s;
    NewtonGoldstein goldstein(s.f->network.get(), false, 0.9, 0.1, false);
    prepare(s, goldstein);
    VectorXd f = s.f0;
    goldstein.update_variables(s.j, s.dx, f);
    // The search brackets and bisects: the point stays on the Newton direction, short of the full step.
    const Eigen::Index k = [&] {
        Eigen::Index at;
        s.dx.cwiseAbs().maxCoeff(&at);
        return at;
    }();
    const double t = (s.x0[k] - goldstein.variables[k]) / s.dx[k];
    EXPECT_GT(t, 0.0);
    EXPECT_LT(t, 1.0);
    EXPECT_LT((goldstein.variables - (s.x0 - t * s.dx)).cwiseAbs().maxCoeff(), 1e-9);
    EXPECT_EQ(f, goldstein.get_residuals());
    // The settings may change between solves; a usable window converges again.
    goldstein.m1 = 0.1;
    goldstein.m2 = 0.9;
    EXPECT_LE(goldstein.solve_load_flow(20, 1e-9).first, 6);
}
// One complex variable z with the equations f(Re z) = 0 and Im z = 0: a system whose every step can
// be worked out by hand.
class ScalarEquation : public Element {
public:
    using Function = AD (*)(const AD&);
    ComplexParameter z;
    Function f;

    ScalarEquation(double start, Function f_) : Element(0), z(start), f(f_) {}
    void collect_variables(std::vector<double>& values) override { z.collect(values); }
    void bind_variables(ADVector& x, VectorXd& x_values, int& index) override { z.bind(x, x_values, index); }
    void compute_currents(bool) override {}
    void add_residuals(ADVector& residuals, int& index) override {
        residuals[index] = f(z.ad.real());
        residuals[index + 1] = z.ad.imag();
        index += 2;
    }
};

AD root_less_one(const AD& x) { return CppAD::sqrt(x) - 1.0; }
AD parabola(const AD& x) { return x * x - 4.0 * x + 5.0; }  // vertex at 2, no root
AD identity(const AD& x) { return x; }

struct LaterFailureCase {
    const char* what;
    ScalarEquation::Function f;
    double start;
    const char* message;
    double stopped_at;  // Re z after the last completed step
    bool analysed;
};

void PrintTo(const LaterFailureCase& c, std::ostream* os) { *os << c.what; }

class NewtonFailureIteration : public ::testing::TestWithParam<LaterFailureCase> {};

TEST_P(NewtonFailureIteration, CountsTheCompletedSteps) {
    const LaterFailureCase& c = GetParam();
    ScalarEquation equation(c.start, c.f);
    ElectricalNetwork network({&equation});
    Newton newton(&network, false);
    EXPECT_EQ(failure_of(newton, 10, 1e-9), c.message) << c.what;
    EXPECT_EQ(newton.variables, Eigen::Vector2d(c.stopped_at, 0.0)) << c.what;
    EXPECT_EQ(newton.pattern_analysed, c.analysed) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NewtonFailureIteration,
    ::testing::Values(
        // sqrt(4) - 1 = 1 with slope 1/4: the step lands on 0, where the slope is infinite.
        LaterFailureCase{"root, one step to an infinite slope", root_less_one, 4.0,
                         "1 NaN value encountered at iteration 1. ", 0.0, true},
        LaterFailureCase{"root, infinite slope at the start", root_less_one, 0.0,
                         "1 NaN value encountered at iteration 0. ", 0.0, false},
        // From 3 (value 2, slope 2) the step lands on the vertex, where the slope is 0.
        LaterFailureCase{"parabola, one step to its vertex", parabola, 3.0,
                         "1 Decomposition failed, singular matrix at iteration 1. ", 2.0, true}),
    described_case<LaterFailureCase>);

// The Goldstein search on F(z) = z, given the direction and the Jacobian that sets the weights, so
// that every trial can be followed by hand.
struct SearchCase {
    const char* what;
    Eigen::Vector2d start;
    Eigen::Vector2d dx;
    std::vector<Eigen::Triplet<double, int>> jacobian;
    bool weighted;
    double m1;
    double m2;
    double t;  // the step length kept
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.what; }

class GoldsteinTrials : public ::testing::TestWithParam<SearchCase> {};

TEST_P(GoldsteinTrials, KeepTheStepWorkedOutByHand) {
    const SearchCase& c = GetParam();
    ScalarEquation equation(c.start[0], identity);
    ElectricalNetwork network({&equation});
    NewtonGoldstein goldstein(&network, false, c.m1, c.m2, c.weighted);
    goldstein.variables = c.start;
    Eigen::SparseMatrix<double> j(2, 2);
    j.setFromTriplets(c.jacobian.begin(), c.jacobian.end());
    VectorXd f = goldstein.get_residuals();
    goldstein.update_variables(j, c.dx, f);
    EXPECT_EQ(goldstein.variables, VectorXd(c.start - c.t * c.dx)) << c.what;
    EXPECT_EQ(f, goldstein.variables) << c.what;
}

const double big = 1000.0;
const std::vector<Eigen::Triplet<double, int>> unit_jacobian = {{0, 0, 1.0}, {1, 1, 1.0}};
// Row 0 below 1 everywhere, row 1 steep (in column 0): weights 1 and 1 / 1000.
const std::vector<Eigen::Triplet<double, int>> steep_second_row = {{0, 0, 0.5}, {1, 0, -big}};

INSTANTIATE_TEST_SUITE_P(
    Cases, GoldsteinTrials,
    ::testing::Values(
        // ratio / slope = 0.1 - 0.005 t, accepted within [0.0625, 0.0675]: t = 1, 2, 4 too short,
        // 8 too long, 6 too short, 7 kept.
        SearchCase{"doubling, then bisecting", {1.0, 0.0}, {0.1, 0.0}, unit_jacobian, false, 0.0625, 0.0675, 7.0},
        // ratio / slope = 1 - t / 2 can never lie in [0.9, 0.1]: 1, 1/2, 1/4 too long, 1/8 too
        // short, then bisection until the tenth trial, 103/512.
        SearchCase{"empty window keeps the tenth trial", {1.0, 0.0}, {1.0, 0.0}, unit_jacobian, false, 0.9, 0.1,
                   103.0 / 512.0},
        // F = (1 - t, 1 - 2 t): the full step leaves the second residual at -1, too little
        // decrease; half a step is accepted.
        SearchCase{"plain merit halves the step", {1.0, 1.0}, {1.0, 2.0}, steep_second_row, false, 0.3, 0.9, 0.5},
        // The steep row barely counts, so the full step is accepted.
        SearchCase{"weighted merit takes the full step", {1.0, 1.0}, {1.0, 2.0}, steep_second_row, true, 0.3, 0.9,
                   1.0},
        SearchCase{"rows below 1 keep the weight 1", {1.0, 1.0}, {1.0, 2.0}, {{0, 0, 0.5}, {1, 1, 0.25}}, true, 0.3,
                   0.9, 0.5},
        SearchCase{"a NaN in a row changes nothing", {1.0, 1.0}, {1.0, 2.0}, {{0, 0, nan}, {1, 1, 0.25}}, true, 0.3,
                   0.9, 0.5}),
    described_case<SearchCase>);
}  // namespace
