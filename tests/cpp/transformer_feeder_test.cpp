// Feeders through transformers, solved: Kirchhoff and each transformer's own equations at the
// solution, agreement of the solvers, parameter updates between solves, the sweep's refusal and what
// a destroyed solver leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "../../benchmarks/feeder.hpp"
#include "elements/bus.hpp"
#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/three_phase_transformer.hpp"
#include "elements/transformer.hpp"
#include "elements/voltage_source.hpp"
#include "element_check_support.hpp"
#include "solver_test_support.hpp"

namespace {
using C = std::complex<double>;
const double pi = 3.141592653589793;
const double s3 = std::sqrt(3.0);

using feeder::join;
C v(const Port* p) { return p->connection->get_potential(); }
C v(const Port& p) { return p.connection->get_potential(); }

struct Circuit {
    std::vector<std::unique_ptr<Element>> owned;
    std::vector<Element*> list;
    std::vector<Element*> sources;
    std::unique_ptr<ElectricalNetwork> network;

    template <class T, class... A>
    T* add(A&&... args) {
        owned.push_back(std::make_unique<T>(std::forward<A>(args)...));
        list.push_back(owned.back().get());
        return static_cast<T*>(owned.back().get());
    }
    void finish() { network = std::make_unique<ElectricalNetwork>(std::vector<Element*>(list)); }

    // A two-terminal source of u, its second terminal held at zero, across the primary of a
    // transformer T built from args.
    template <class T, class... A>
    T* add_fed_transformer(C u, A&&... args) {
        auto* source = add<VoltageSource>(2, &u);
        sources.push_back(source);
        join(add<PotentialRef>()->ports[0], source->ports[1]);
        T* t = add<T>(std::forward<A>(args)...);
        for (std::size_t i = 0; i < 2; ++i) join(source->ports[i], *t->side1[i]);
        return t;
    }

    // Recomputes every element's currents but the sources' (the sweep leaves theirs from its last
    // backward step) and returns the largest current sum at a free node.
    double worst_balance() {
        for (Element* e : list)
            if (std::find(sources.begin(), sources.end(), e) == sources.end()) e->compute_currents(false);
        return worst_imbalance(*network);
    }
};

std::vector<C> scaled(std::vector<C> values, double factor) {
    for (C& x : values) x *= factor;
    return values;
}

std::vector<C> four_by_four(C diagonal, C off) {
    std::vector<C> z(16, off);
    for (int k = 0; k < 4; ++k) z[static_cast<std::size_t>(5 * k)] = diagonal;
    return z;
}

// ---------------------------------------------------------------------------------------------
// (a) 20 kV source, Dyn11 400 kVA, four-wire LV feeder with star and delta loads

struct ThreePhaseParameters {
    C z2{0.004, 0.016};  // per LV winding
    C ym{2e-8, -1.5e-7};  // per HV winding
    double k = 400.0 / (s3 * 20e3);
    double load = 1.0;
};

struct ThreePhaseFeeder : Circuit {
    ThreePhaseTransformer* transformer;
    PowerLoad* star;
    DeltaPowerLoad* delta;
    std::vector<C> star_powers = {{30e3, 8e3}, {18e3, 4e3}, {25e3, 9e3}};
    std::vector<C> delta_powers = {{20e3, 6e3}, {12e3, 2e3}, {16e3, 5e3}};
    std::vector<C> z_line = four_by_four({0.04, 0.02}, {0.0, 0.008});

    explicit ThreePhaseFeeder(const ThreePhaseParameters& q) {
        const C u[3] = {std::polar(20e3 / s3, 0.0), std::polar(20e3 / s3, -2 * pi / 3), std::polar(20e3 / s3, 2 * pi / 3)};
        auto* source = add<VoltageSource>(4, u);
        sources.push_back(source);
        join(add<PotentialRef>()->ports[0], source->ports[3]);
        transformer = add<ThreePhaseTransformer>(3, 4, "D", "y", q.z2, q.ym, q.k, 11);
        for (int i = 0; i < 3; ++i) join(source->ports[i], *transformer->side1[i]);
        // Dyn11: the LV side leads by 30 degrees.
        const C lv[4] = {std::polar(230.0, pi / 6), std::polar(230.0, pi / 6 - 2 * pi / 3),
                         std::polar(230.0, pi / 6 + 2 * pi / 3), 0.0};
        auto* near = add<Bus>(4, lv);
        for (int i = 0; i < 4; ++i) join(near->ports[i], *transformer->side2[i]);
        join(add<PotentialRef>()->ports[0], near->ports[3]);  // LV neutral earthed at the transformer
        auto* line = add<SimplifiedLine>(4, z_line.data());
        auto* far = add<Bus>(4, lv);
        for (int i = 0; i < 4; ++i) {
            join(near->ports[i], *line->side1[i]);
            join(far->ports[i], *line->side2[i]);
        }
        star = add<PowerLoad>(4, scaled(star_powers, q.load).data());
        delta = add<DeltaPowerLoad>(3, scaled(delta_powers, q.load).data());
        for (int i = 0; i < 4; ++i) join(far->ports[i], star->ports[i]);
        for (int i = 0; i < 3; ++i) join(far->ports[i], delta->ports[i]);
        finish();
    }

    // The Dyn11 windings written out: HV winding i across phases i and i+1, LV winding i from
    // phase i to the neutral, HV port i between windings i and i-1.
    void expect_winding_equations(const ThreePhaseParameters& q) const {
        const auto& t = *transformer;
        C i1w[3];
        for (int i = 0; i < 3; ++i) {
            const C u1 = v(t.side1[i]) - v(t.side1[(i + 1) % 3]);
            const C u2 = v(t.side2[i]) - v(t.side2[3]);
            const C i2 = t.side2[i]->current;
            EXPECT_LT(std::abs(i2 * q.z2 - (u2 - q.k * u1)), 1e-9 * std::abs(u2)) << "LV winding " << i;
            i1w[i] = q.ym * u1 - q.k * i2;
        }
        for (int i = 0; i < 3; ++i)
            EXPECT_LT(std::abs(t.side1[i]->current - (i1w[i] - i1w[(i + 2) % 3])), 1e-9) << "HV port " << i;
    }
};

TEST(DynFeeder, NewtonFamilySolutionsAgreeAndHoldTheEquations) {
    const ThreePhaseParameters q;
    std::vector<C> reference;
    for (SolverKind kind : {SolverKind::newton, SolverKind::newton_goldstein}) {
        SCOPED_TRACE(solver_name(kind));
        ThreePhaseFeeder f(q);
        auto solver = make_solver(kind, f.network.get());
        const auto [iterations, error] = solve_tightly(*solver, kind);
        EXPECT_LE(iterations, 6);
        EXPECT_LE(error, 1e-9);
        EXPECT_LT(f.worst_balance(), 1e-7);
        f.expect_winding_equations(q);
        // A loaded LV feeder a little below 230 V, carrying the loads' power from the MV side.
        const double lv = std::abs(v(f.star->ports[0]) - v(f.star->ports[3]));
        EXPECT_GT(lv, 215.0);
        EXPECT_LT(lv, 230.0);
        C delivered = 0.0;
        for (int i = 0; i < 3; ++i) delivered += v(f.transformer->side1[i]) * std::conj(f.transformer->side1[i]->current);
        EXPECT_GT(delivered.real(), 121e3);
        EXPECT_LT(delivered.real(), 135e3);
        if (reference.empty())
            reference = node_potentials(*f.network);
        else
            EXPECT_LT(largest_difference(reference, node_potentials(*f.network)), 1e-6);
    }
}

TEST(DynFeeder, UpdatesBetweenSolvesMatchAFreshSolver) {
    ThreePhaseParameters q;
    ThreePhaseFeeder f(q);
    Newton solver(f.network.get(), true);
    solve_tightly(solver, SolverKind::newton);
    const std::size_t operators = solver.tape.size_op();

    q.z2 = C(0.006, 0.02);
    q.ym = C(5e-8, -3e-7);
    q.k = 410.0 / (s3 * 20e3);
    q.load = 1.3;
    f.transformer->update_transformer_parameters(q.z2, q.ym, q.k, 0.0);
    f.star->update_powers(scaled(f.star_powers, q.load).data());
    f.delta->update_powers(scaled(f.delta_powers, q.load).data());
    solve_tightly(solver, SolverKind::newton);
    EXPECT_EQ(solver.tape.size_op(), operators);
    f.expect_winding_equations(q);

    ThreePhaseFeeder fresh(q);
    Newton fresh_solver(fresh.network.get(), true);
    solve_tightly(fresh_solver, SolverKind::newton);
    EXPECT_LT(largest_difference(node_potentials(*f.network), node_potentials(*fresh.network)), 1e-6);
}

// ---------------------------------------------------------------------------------------------
// (b) single-phase 11 kV source, single transformer, two-wire LV feeder

struct SingleParameters {
    C z2{0.02, 0.05};
    C ym{1e-7, -6e-7};
    C k = std::polar(240.0 / 11e3, -0.05);
    double load = 1.0;
};

struct SingleFeeder : Circuit {
    SingleTransformer* transformer;
    PowerLoad* load;
    AdmittanceLoad* heater;
    C power{9e3, 3e3};
    C admittance{0.05, 0.0};
    std::vector<C> z_line = {{0.08, 0.03}, {0.0, 0.01}, {0.0, 0.01}, {0.08, 0.03}};

    explicit SingleFeeder(const SingleParameters& q) {
        transformer = add_fed_transformer<SingleTransformer>(11e3, q.z2, q.ym, q.k);
        const C lv[2] = {std::polar(240.0, std::arg(q.k)), 0.0};
        auto* near = add<Bus>(2, lv);
        join(near->ports[0], *transformer->side2[0]);
        join(near->ports[1], *transformer->side2[1]);
        join(add<PotentialRef>()->ports[0], near->ports[1]);
        auto* line = add<SimplifiedLine>(2, z_line.data());
        auto* far = add<Bus>(2, lv);
        for (int i = 0; i < 2; ++i) {
            join(near->ports[i], *line->side1[i]);
            join(far->ports[i], *line->side2[i]);
        }
        const C s = power * q.load;
        load = add<PowerLoad>(2, &s);
        heater = add<AdmittanceLoad>(2, &admittance);
        for (int i = 0; i < 2; ++i) {
            join(far->ports[i], load->ports[i]);
            join(far->ports[i], heater->ports[i]);
        }
        finish();
    }

    void expect_winding_equations(const SingleParameters& q) const {
        const auto& t = *transformer;
        const C u1 = v(t.side1[0]) - v(t.side1[1]), u2 = v(t.side2[0]) - v(t.side2[1]);
        const C i2 = t.side2[0]->current;
        EXPECT_LT(std::abs(i2 * q.z2 - (u2 - q.k * u1)), 1e-9 * std::abs(u2));
        EXPECT_LT(std::abs(t.side1[0]->current - (q.ym * u1 - std::conj(q.k) * i2)), 1e-10);
        EXPECT_EQ(t.side1[1]->current, -t.side1[0]->current);
        EXPECT_EQ(t.side2[1]->current, -i2);
    }
};

class SingleFeederSolution : public ::testing::TestWithParam<SolverKind> {};

TEST_P(SingleFeederSolution, AllSolversAgreeAndHoldTheEquations) {
    const SingleParameters q;
    SingleFeeder f(q);
    auto solver = make_solver(GetParam(), f.network.get());
    solve_tightly(*solver, GetParam());
    EXPECT_LT(f.worst_balance(), 1e-7);
    f.expect_winding_equations(q);
    const double lv = std::abs(v(f.load->ports[0]) - v(f.load->ports[1]));
    EXPECT_GT(lv, 200.0);
    EXPECT_LT(lv, 240.0);

    SingleFeeder reference(q);
    Newton newton(reference.network.get(), false);
    solve_tightly(newton, SolverKind::newton);
    EXPECT_LT(largest_difference(node_potentials(*f.network), node_potentials(*reference.network)), 1e-6);
}

TEST_P(SingleFeederSolution, UpdatesBetweenSolvesMatchAFreshSolver) {
    SingleParameters q;
    SingleFeeder f(q);
    auto solver = make_solver(GetParam(), f.network.get());
    solve_tightly(*solver, GetParam());

    q.z2 = C(0.03, 0.08);
    q.ym = C(3e-7, -1e-6);
    q.k = std::polar(230.0 / 11e3, 0.1);
    q.load = 0.6;
    f.transformer->update_transformer_parameters(q.z2, q.ym, q.k.real(), q.k.imag());
    f.load->update_power(f.power * q.load);
    solve_tightly(*solver, GetParam());
    f.expect_winding_equations(q);

    SingleFeeder fresh(q);
    auto fresh_solver = make_solver(GetParam(), fresh.network.get());
    solve_tightly(*fresh_solver, GetParam());
    EXPECT_LT(largest_difference(node_potentials(*f.network), node_potentials(*fresh.network)), 1e-6);
}

TEST_P(SingleFeederSolution, ADestroyedSolverLeavesOwnValuesToReadUpdateAndTest) {
    SingleParameters q;
    SingleFeeder f(q);
    C solved;
    {
        auto solver = make_solver(GetParam(), f.network.get());
        solve_tightly(*solver, GetParam());
        ASSERT_TRUE(f.transformer->k.linked);
        solved = v(f.transformer->side2[0]);
    }
    SingleTransformer& t = *f.transformer;
    EXPECT_FALSE(t.z2.linked || t.ym.linked || t.k.linked);
    EXPECT_FALSE(t.side2[0]->connection->potential.linked);
    // The node's own value: the start value after Newton, the sweep's last write after the sweep.
    const bool sweep = GetParam() == SolverKind::backward_forward;
    EXPECT_EQ(v(t.side2[0]), sweep ? solved : std::polar(240.0, std::arg(q.k)));
    q.z2 = C(0.05, 0.1);
    t.update_transformer_parameters(q.z2, q.ym, q.k.real(), q.k.imag());
    EXPECT_EQ(t.z2.get_value(), q.z2);
    const auto [p, vsc] = t.compute_short_circuit_parameters(11e3, 240.0, 25e3);
    EXPECT_DOUBLE_EQ(vsc, std::abs(q.z2) * 25e3 / (240.0 * 240.0));
    EXPECT_GT(p, 0.0);
    EXPECT_EQ(v(t.side1[0]), C(vsc * 11e3, 0.0));
    // A new solver starts from these own values and solves with the updated parameters.
    auto again = make_solver(GetParam(), f.network.get());
    solve_tightly(*again, GetParam());
    f.expect_winding_equations(q);
}

INSTANTIATE_TEST_SUITE_P(Solvers, SingleFeederSolution, ::testing::ValuesIn(all_solver_kinds), solver_param_name);

TEST(SinglePhaseFeeder, AZeroImpedanceIsNewtonsNaNFailure) {
    SingleParameters q;
    q.z2 = 0.0;
    SingleFeeder f(q);
    Newton newton(f.network.get(), false);
    EXPECT_EQ(failure_of(newton, 50, 1e-9), "1 NaN value encountered at iteration 0. ");
}

// ---------------------------------------------------------------------------------------------
// (c) centre-tap transformer with loads on both halves and across the outer ends

struct CentreParameters {
    C z2{0.012, 0.03};
    C ym{2e-7, -1e-6};
    double k = 240.0 / 7200.0;
};

struct CentreFeeder : Circuit {
    CenterTransformer* transformer;
    PowerLoad* upper;
    PowerLoad* lower;
    PowerLoad* across;

    explicit CentreFeeder(const CentreParameters& q) {
        transformer = add_fed_transformer<CenterTransformer>(7200.0, q.z2, q.ym, q.k);
        const C lv[3] = {120.0, -120.0, 0.0};
        auto* bus = add<Bus>(3, lv);
        for (int i = 0; i < 3; ++i) join(bus->ports[i], *transformer->side2[i]);
        join(add<PotentialRef>()->ports[0], bus->ports[2]);
        const C s_upper(3e3, 1e3), s_lower(1.5e3, 0.2e3), s_across(6e3, 2e3);
        upper = add<PowerLoad>(2, &s_upper);
        lower = add<PowerLoad>(2, &s_lower);
        across = add<PowerLoad>(2, &s_across);
        join(bus->ports[0], upper->ports[0]);
        join(bus->ports[2], upper->ports[1]);
        join(bus->ports[1], lower->ports[0]);
        join(bus->ports[2], lower->ports[1]);
        join(bus->ports[0], across->ports[0]);
        join(bus->ports[1], across->ports[1]);
        finish();
    }

    void expect_winding_equations(const CentreParameters& q) const {
        const auto& t = *transformer;
        const C u1 = v(t.side1[0]) - v(t.side1[1]), vc = v(t.side2[2]);
        const C ia = t.side2[0]->current, ib = t.side2[1]->current;
        const double h = q.k / 2.0;
        EXPECT_LT(std::abs(ia * (q.z2 / 2.0) - (v(t.side2[0]) - vc - h * u1)), 1e-9);
        EXPECT_LT(std::abs(ib * (q.z2 / 2.0) - (v(t.side2[1]) - vc + h * u1)), 1e-9);
        EXPECT_LT(std::abs(t.side2[2]->current + ia + ib), 1e-9);
        EXPECT_LT(std::abs(t.side1[0]->current - (q.ym * u1 - (ia - ib) * h)), 1e-10);
    }
};

TEST(CentreTapFeeder, NewtonSolutionHoldsTheEquationsAndUpdates) {
    CentreParameters q;
    CentreFeeder f(q);
    Newton solver(f.network.get(), true);
    const auto [iterations, error] = solve_tightly(solver, SolverKind::newton);
    EXPECT_LE(iterations, 6);
    EXPECT_LT(f.worst_balance(), 1e-7);
    f.expect_winding_equations(q);
    // Unequal halves: the centre tap carries their difference.
    const C centre = f.transformer->side2[2]->current;
    EXPECT_GT(std::abs(centre), 5.0);
    const double upper = std::abs(v(f.upper->ports[0]) - v(f.upper->ports[1]));
    EXPECT_GT(upper, 110.0);
    EXPECT_LT(upper, 120.0);

    q.z2 = C(0.02, 0.05);
    q.k = 250.0 / 7200.0;
    f.transformer->update_transformer_parameters(q.z2, q.ym, q.k, 0.02);  // the imaginary part is ignored
    solve_tightly(solver, SolverKind::newton);
    f.expect_winding_equations(q);
    CentreFeeder fresh(q);
    Newton fresh_solver(fresh.network.get(), true);
    solve_tightly(fresh_solver, SolverKind::newton);
    EXPECT_LT(largest_difference(node_potentials(*f.network), node_potentials(*fresh.network)), 1e-6);
}

TEST(TransformerFeeders, TheSweepRefusesThreePhaseAndCentreTapTransformers) {
    ThreePhaseFeeder a{ThreePhaseParameters{}};
    CentreFeeder c{CentreParameters{}};
    for (ElectricalNetwork* network : {a.network.get(), c.network.get()}) {
        BackwardForward sweep(network);
        EXPECT_EQ(failure_of(sweep, 50, 1e-9), "2 No backward-forward method has been defined for transformers yet.");
    }
}

// ---------------------------------------------------------------------------------------------
// The benchmark's feeder with transformers in place of some lines

TEST(BenchmarkFeederWithTransformers, SolvesAndTakesUpdatesLikeAFreshSolver) {
    feeder::Options o;
    o.buses = 13;
    o.transformer_every = 4;
    auto f = feeder::build(o);
    ASSERT_EQ(f->transformers.size(), 3u);
    Newton solver(f->network.get(), true);
    EXPECT_LE(solve_tightly(solver, SolverKind::newton).first, 6);
    f->scale_transformers(1.1);
    f->scale_loads(1.2);
    EXPECT_LE(solve_tightly(solver, SolverKind::newton).first, 6);
    for (const ThreePhaseTransformer* t : f->transformers) {
        // Ratio 1, clock 0: each LV phase sits one winding drop below its HV phase.
        for (int i = 0; i < 3; ++i) {
            const C drop = (v(t->side1[i]) - v(t->side1[3])) - (v(t->side2[i]) - v(t->side2[3]));
            EXPECT_LT(std::abs(drop - f->z2_transformer * 1.1 * (-t->side2[i]->current)), 1e-9);
        }
        EXPECT_EQ(v(t->side2[3]), C(0.0, 0.0));
    }

    auto fresh = feeder::build(o);
    fresh->scale_transformers(1.1);
    fresh->scale_loads(1.2);
    Newton fresh_solver(fresh->network.get(), false);
    solve_tightly(fresh_solver, SolverKind::newton);
    EXPECT_LT(largest_difference(node_potentials(*f->network), node_potentials(*fresh->network)), 1e-6);
}

}  // namespace
