#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "element_check_support.hpp"
#include "elements/bus.hpp"
#include "elements/line.hpp"
#include "network/network.hpp"

namespace {
using C = std::complex<double>;
using Matrix = Eigen::MatrixXcd;
using Vector = Eigen::VectorXcd;

// Entry (i, j) is a[i n + j].
Matrix row_major(int n, const std::vector<C>& a) {
    Matrix m(n, n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) m(i, j) = a[static_cast<std::size_t>(i * n + j)];
    return m;
}

// a's node absorbs b's node.
void join(Port& a, Port& b) { a.connection->merge(b.connection); }

Vector potentials_of(const std::vector<Port*>& side) {
    Vector v(static_cast<Eigen::Index>(side.size()));
    for (std::size_t k = 0; k < side.size(); ++k) v[static_cast<Eigen::Index>(k)] = side[k]->connection->get_potential();
    return v;
}

Vector currents_of(const std::vector<Port*>& side) {
    Vector v(static_cast<Eigen::Index>(side.size()));
    for (std::size_t k = 0; k < side.size(); ++k) v[static_cast<Eigen::Index>(k)] = side[k]->current;
    return v;
}

void set_potentials(const std::vector<Port*>& side, const Vector& v) {
    for (std::size_t k = 0; k < side.size(); ++k) side[k]->connection->set_potential(v[static_cast<Eigen::Index>(k)]);
}

void expect_close(const Vector& got, const Vector& want, double tol = 1e-9) {
    ASSERT_EQ(got.size(), want.size());
    for (Eigen::Index k = 0; k < got.size(); ++k)
        EXPECT_LE(std::abs(got[k] - want[k]), tol * (1.0 + std::abs(want[k]))) << "entry " << k << ": " << got[k] << " vs " << want[k];
}

const std::vector<C> kFullZ = {{1.0, 2.0}, {0.1, 0.3}, {0.05, 0.0}, {0.2, 0.1}, {1.5, 1.0},
                               {0.07, 0.02}, {0.03, 0.0}, {0.0, 0.4}, {0.8, 0.6}};
}  // namespace

// ---------------------------------------------------------------------------------------------

TEST(LineConstruction, RefusesLinesWithoutConductors) {
    const C z[1] = {{1.0, 1.0}};
    const std::vector<std::pair<std::string, std::function<void(int)>>> kinds = {
        {"simplified", [&](int n) { SimplifiedLine l(n, z); }},
        {"shunt", [&](int n) { ShuntLine l(n, z, z); }},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.first);
        try {
            kind.second(0);
            ADD_FAILURE() << "n = 0 accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "a line needs at least one conductor");
        }
        for (int n : {-1, -4}) {
            try {
                kind.second(n);
                ADD_FAILURE() << "n = " << n << " accepted";
            } catch (const std::length_error& e) {
                EXPECT_STREQ(e.what(), "vector");
            }
        }
    }
}

TEST(SimplifiedLine, CurrentsSatisfyOhmsLawInRowMajorOrientation) {
    struct Case {
        const char* name;
        int n;
        std::vector<C> z;
    };
    const Case cases[] = {
        {"one conductor", 1, {{0.3, 0.4}}},
        {"diagonal", 2, {{0.2, 0.1}, 0.0, 0.0, {0.5, 0.3}}},
        {"full non-symmetric", 3, kFullZ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimplifiedLine line(c.n, c.z.data());
        ASSERT_EQ(line.ports.size(), static_cast<std::size_t>(2 * c.n));
        Vector v1(c.n), v2(c.n);
        for (int k = 0; k < c.n; ++k) {
            v1[k] = C(230.0 - 7.0 * k, 11.0 * k - 3.0);
            v2[k] = C(225.0 + 2.0 * k, 4.0 - 5.0 * k);
        }
        set_potentials(line.side1, v1);
        set_potentials(line.side2, v2);
        line.compute_currents(false);
        const Vector i1 = currents_of(line.side1);
        expect_close(row_major(c.n, c.z) * i1, v1 - v2);
        for (int k = 0; k < c.n; ++k) EXPECT_EQ(line.side2[static_cast<std::size_t>(k)]->current, -i1[k]);
    }
}

TEST(SimplifiedLine, BackwardTakesDownstreamCurrentsForwardDropsVoltage) {
    SimplifiedLine line(3, kFullZ.data());
    Bus load(3, nullptr);
    for (int k = 0; k < 3; ++k) {
        join(*line.side2[static_cast<std::size_t>(k)], load.ports[static_cast<std::size_t>(k)]);
        load.ports[static_cast<std::size_t>(k)].current = C(2.0 + k, -1.0 + 0.5 * k);
    }
    const Vector v1 = Vector::Constant(3, C(230.0, 1.0));
    set_potentials(line.side1, v1);
    set_potentials(line.side2, Vector::Constant(3, C(200.0, 0.0)));

    line.backward_step();
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(line.side2[k]->current, -load.ports[k].current);
        EXPECT_EQ(line.side1[k]->current, -line.side2[k]->current);
    }
    const Vector old_v2 = potentials_of(line.side2);
    const double change = line.forward_step();
    const Vector v2 = potentials_of(line.side2);
    expect_close(row_major(3, kFullZ) * currents_of(line.side1), v1 - v2);
    EXPECT_NEAR(change, (v2 - old_v2).cwiseAbs().maxCoeff(), 1e-9);
}

TEST(SimplifiedLine, UpdatesBeforeAndAfterBinding) {
    const C z0[1] = {{0.5, 0.5}}, z1[1] = {{0.0, 2.0}}, z2[1] = {{4.0, 0.0}};
    SimplifiedLine line(1, z0);
    line.update_line_parameters(z1);
    ElectricalNetwork net({&line});
    EXPECT_EQ(net.get_initial_values().second, (std::vector<double>{0.0, -0.5}));  // 1 / 2i

    Binding solver(net);
    line.update_line_parameters(z2);
    EXPECT_EQ(collected(line), (std::vector<double>{0.25, 0.0}));
    EXPECT_EQ(as_std(solver.p_values), collected(line));
    line.side1[0]->connection->set_potential(8.0);
    line.compute_currents(false);
    EXPECT_EQ(line.side1[0]->current, C(2.0, 0.0));

    // Both modes read the admittance through the link: a change of the solver's entry (here to
    // 1 / 2) reaches the next step, not only a change made through the record.
    solver.p_values[0] = 0.5;
    line.compute_currents(false);
    EXPECT_EQ(line.side1[0]->current, C(4.0, 0.0));
    line.side1[0]->current = 1.0;
    line.forward_step();
    EXPECT_EQ(line.side2[0]->connection->get_potential(), C(6.0, 0.0));
}

// ---------------------------------------------------------------------------------------------

TEST(ShuntLine, OneConductorMatricesAndParameterLayout) {
    const C y(0.0, 4e-4), z(0.2, 0.35);
    ShuntLine line(1, &y, &z);
    const C a = 1.0 + z * y / 2.0;
    EXPECT_NEAR(std::abs(line.scalar_a - a), 0.0, 1e-15);
    EXPECT_NEAR(std::abs(line.scalar_d - a), 0.0, 1e-15);
    EXPECT_EQ(line.scalar_b, z);
    EXPECT_NEAR(std::abs(line.scalar_c - (y + z * y * y / 4.0)), 0.0, 1e-18);
    const std::vector<double> p = collected(line);
    ASSERT_EQ(p.size(), 14u);
    const C expected[7] = {1.0 / z + y / 2.0, -1.0 / z, -1.0 / z, 1.0 / z + y / 2.0, -y / 2.0, -y / 2.0, -y / 2.0};
    for (int k = 0; k < 7; ++k) EXPECT_NEAR(std::abs(C(p[2 * k], p[2 * k + 1]) - expected[k]), 0.0, 1e-12) << k;

    // Two conductors: y11, y12, y21, y22 take 16 pairs, yg starts at pair 16.
    const std::vector<C> y2 = {{0.0, 3.0}, {0.0, -1.0}, {0.0, -1.0}, {0.0, 5.0}};
    const std::vector<C> z2 = {{1.0, 1.0}, {0.2, 0.1}, {0.2, 0.1}, {1.0, 2.0}};
    ShuntLine two(2, y2.data(), z2.data());
    const std::vector<double> p2 = collected(two);
    ASSERT_EQ(p2.size(), 2u * (4 * 4 + 3 * 2));
    EXPECT_EQ(C(p2[32], p2[33]), -0.5 * (y2[0] + y2[1]));
    EXPECT_EQ(C(p2[34], p2[35]), -0.5 * (y2[2] + y2[3]));
}

TEST(ShuntLine, CurrentsMatchPiSection) {
    struct Case {
        const char* name;
        int n;
        std::vector<C> y, z;
    };
    const Case cases[] = {
        {"one conductor", 1, {{0.0, 4e-4}}, {{0.2, 0.35}}},
        {"three conductors, non-symmetric z", 3,
         {{0.0, 3e-3}, {0.0, -1e-3}, {0.0, -5e-4}, {0.0, -1e-3}, {0.0, 2.5e-3}, {0.0, -7e-4}, {0.0, -5e-4}, {0.0, -7e-4}, {0.0, 2e-3}},
         kFullZ},
        {"no shunt", 2, {0.0, 0.0, 0.0, 0.0}, {{0.4, 0.3}, {0.1, 0.05}, {0.02, 0.1}, {0.5, 0.2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShuntLine line(c.n, c.y.data(), c.z.data());
        ASSERT_EQ(line.ports.size(), static_cast<std::size_t>(2 * c.n + 1));
        ASSERT_EQ(line.ground_port, &line.ports.back());
        Vector v1(c.n), v2(c.n);
        for (int k = 0; k < c.n; ++k) {
            v1[k] = C(230.0 - 7.0 * k, 11.0 * k - 3.0);
            v2[k] = C(225.0 + 2.0 * k, 4.0 - 5.0 * k);
        }
        const C vg(1.5, -0.5);
        set_potentials(line.side1, v1);
        set_potentials(line.side2, v2);
        line.ground_port->connection->set_potential(vg);
        line.compute_currents(false);

        const Matrix z = row_major(c.n, c.z);
        const Matrix half_y = 0.5 * row_major(c.n, c.y);
        const Vector ones = Vector::Ones(c.n);
        const Vector i1 = currents_of(line.side1), i2 = currents_of(line.side2);
        expect_close(z * (i1 - half_y * (v1 - vg * ones)), v1 - v2);
        expect_close(z * (i2 - half_y * (v2 - vg * ones)), v2 - v1);
        // Symmetric shunt: the 2n + 1 currents balance.
        EXPECT_NEAR(std::abs(i1.sum() + i2.sum() + line.ground_port->current), 0.0, 1e-9);
    }
}

// Residuals recorded once, re-evaluated at other potentials and with parameters updated through
// the links: the tape must follow both and agree with the double-mode currents.
TEST(LineTape, ResidualsFollowVariablesAndUpdatedParameters) {
    SimplifiedLine simple(3, kFullZ.data());
    const std::vector<C> y = {{0.0, 3e-3}, {0.0, -1e-3}, {0.0, -1e-3}, {0.0, 2e-3}};
    const std::vector<C> z = {{0.3, 0.6}, {0.1, 0.2}, {0.05, 0.25}, {0.4, 0.5}};
    ShuntLine shunt(2, y.data(), z.data());
    join(*simple.side2[0], *shunt.side1[0]);
    join(*simple.side2[1], *shunt.side1[1]);
    int k = 0;
    for (Element* e : std::vector<Element*>{&simple, &shunt}) {
        for (Port& port : e->ports) {
            port.connection->set_potential(C(230.0 - 3.0 * k, 2.0 * k - 7.0));
            ++k;
        }
    }
    ElectricalNetwork net({&simple, &shunt});

    const std::vector<double> unbound = double_residuals(net);

    VectorXd x_values, p_values;
    CppAD::ADFun<double> f;
    record_network(net, x_values, p_values, f);

    auto expect_same = [](const std::vector<double>& got, const std::vector<double>& want) {
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-9 * (1.0 + std::abs(want[i]))) << i;
    };
    expect_same(f.Forward(0, as_std(x_values)), unbound);

    for (Eigen::Index i = 0; i < x_values.size(); ++i) x_values[i] += 0.5 * static_cast<double>(i) - 4.0;
    std::vector<C> z_new = kFullZ;
    z_new[1] *= 3.0;
    simple.update_line_parameters(z_new.data());
    const std::vector<C> y_new = {{0.0, 6e-3}, {0.0, -2e-3}, {0.0, -2e-3}, {0.0, 1e-3}};
    const std::vector<C> z2_new = {{0.6, 0.6}, {0.1, 0.2}, {0.05, 0.25}, {0.4, 0.9}};
    shunt.update_line_parameters(y_new.data(), z2_new.data());
    f.new_dynamic(as_std(p_values));
    const std::vector<double> moved = double_residuals(net);
    expect_same(f.Forward(0, as_std(x_values)), moved);
    EXPECT_NE(moved, unbound);
}

// ---------------------------------------------------------------------------------------------
// Backward-forward steps of the shunt line. The one-conductor path writes only the solver's copy
// of the side-2 potential; the general path writes the node's own value too, which tells the
// paths apart.

namespace {
struct ShuntFeeder {
    int n;
    std::vector<C> y, z;
    std::unique_ptr<ShuntLine> line;
    std::unique_ptr<Bus> upstream, loads;
    std::unique_ptr<ElectricalNetwork> net;
    std::unique_ptr<Binding> binding;
    // Elements, a network and a solver that a scenario adds.
    std::vector<std::unique_ptr<Element>> extras;
    std::unique_ptr<ElectricalNetwork> other_net;
    std::unique_ptr<Binding> other_binding;

    explicit ShuntFeeder(int n_) : n(n_) {
        const std::vector<C> y3 = {{0.0, 3e-3}, {0.0, -1e-3}, {0.0, -5e-4}, {0.0, -1e-3}, {0.0, 2.5e-3},
                                   {0.0, -7e-4}, {0.0, -5e-4}, {0.0, -7e-4}, {0.0, 2e-3}};
        if (n == 1) {
            y = {{0.0, 4e-4}};
            z = {{0.2, 0.35}};
        } else {
            y = y3;
            z = kFullZ;
        }
        line = std::make_unique<ShuntLine>(n, y.data(), z.data());
        upstream = std::make_unique<Bus>(n, nullptr);
        loads = std::make_unique<Bus>(2 * n, nullptr);  // two loads per side-2 node
        for (int k = 0; k < n; ++k) {
            const auto K = static_cast<std::size_t>(k);
            join(*line->side1[K], upstream->ports[K]);
            join(*line->side2[K], loads->ports[2 * K]);
            join(*line->side2[K], loads->ports[2 * K + 1]);
            loads->ports[2 * K].current = C(3.0 + k, -1.0);
            loads->ports[2 * K + 1].current = C(2.0, 0.5 * k + 0.5);
            line->side1[K]->connection->set_potential(C(230.0 - k, 1.0 + k));
            line->side2[K]->connection->set_potential(C(228.0, -1.0 - k));
        }
    }
    void bind() {
        net = std::make_unique<ElectricalNetwork>(std::vector<Element*>{line.get(), upstream.get(), loads.get()});
        binding = std::make_unique<Binding>(*net);
    }
    // A new one-port element joined at port's node (port's node absorbs the element's).
    template <class E>
    E& attach(Port& port) {
        extras.push_back(std::make_unique<E>());
        join(port, extras.back()->ports[0]);
        return static_cast<E&>(*extras.back());
    }
    Matrix zm() const { return row_major(n, z); }
    Matrix half_y() const { return 0.5 * row_major(n, y); }
};

// The sweep's relations in physical form, with the shunt halves returned to zero potential:
// after the backward step side 1 feeds the side-2 currents through the series impedance and both
// shunt halves; after the forward step the series drop is Z times the series current.
void expect_backward_physics(const ShuntFeeder& f) {
    const ShuntLine& l = *f.line;
    Vector want_i2(f.n);
    for (int k = 0; k < f.n; ++k) {
        C others = 0.0;
        for (const Port* p : l.side2[static_cast<std::size_t>(k)]->connection->ports)
            if (p != l.side2[static_cast<std::size_t>(k)]) others += p->current;
        want_i2[k] = -others;
    }
    const Vector i2 = currents_of(l.side2);
    EXPECT_EQ(i2, want_i2);
    const Vector v2 = potentials_of(l.side2);
    const Vector series = f.half_y() * v2 - i2;
    const Vector v1 = v2 + f.zm() * series;
    const Vector i1 = currents_of(l.side1);
    expect_close(i1, f.half_y() * v1 + series);
    EXPECT_NEAR(std::abs(l.ground_port->current - ((-i1.sum()) - i2.sum())), 0.0, 1e-12);
}

void expect_forward_physics(const ShuntFeeder& f, const Vector& v2_new) {
    const Vector v1 = potentials_of(f.line->side1);
    const Vector i1 = currents_of(f.line->side1);
    expect_close(f.zm() * (i1 - f.half_y() * v1), v1 - v2_new);
}
}  // namespace

TEST(ShuntLineSweep, StepsFollowChainRelationsOnEitherPath) {
    struct Case {
        const char* name;
        int n;
        bool bind;
        bool pointer_path;
        double measure;  // of a change by (3, 4) or by (-4, 3)
    };
    const Case cases[] = {
        {"one conductor, bound", 1, true, true, 4.0},
        {"one conductor, never bound", 1, false, false, 5.0},
        {"three conductors, bound", 3, true, false, 5.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShuntFeeder f(c.n);
        if (c.bind) f.bind();
        ShuntLine& l = *f.line;
        // Stale currents of the line's own ports must not enter the downstream sums.
        for (Port& p : l.ports) p.current = C(99.0, 99.0);
        l.backward_step();
        expect_backward_physics(f);

        // Place the present side-2 potential away from what the step will write, the larger
        // component once imaginary and once real.
        const Vector v1 = potentials_of(l.side1), i1 = currents_of(l.side1);
        const Vector v2_new = v1 - f.zm() * (i1 - f.half_y() * v1);
        for (const C offset : {C(3.0, 4.0), C(-4.0, 3.0)}) {
            SCOPED_TRACE(offset);
            Vector old = v2_new;
            old[0] -= offset;
            set_potentials(l.side2, old);
            const C own_before = l.side2[0]->connection->potential.value;

            EXPECT_NEAR(l.forward_step(), c.measure, 1e-9);
            const Vector v2 = potentials_of(l.side2);
            expect_forward_physics(f, v2);
            expect_close(v2, v2_new);
            EXPECT_EQ(l.side2[0]->connection->potential.value == own_before, c.pointer_path);
        }
    }
}

// Whatever happened to the nodes or the binding since the pointers were stored, the steps stay
// correct and never go through a stale pointer.
TEST(ShuntLineSweep, OneConductorStepsCheckTheirStoredPointers) {
    struct Case {
        const char* name;
        bool bind_first;
        std::function<void(ShuntFeeder&)> change;
        bool pointer_path;
    };
    const Case cases[] = {
        {"bound again to a newer solver", true, [](ShuntFeeder& f) { f.binding = std::make_unique<Binding>(*f.net); }, true},
        {"side-2 node held at zero before binding", false,
         [](ShuntFeeder& f) {
             f.attach<PotentialRef>(*f.line->side2[0]);
             f.bind();
         },
         false},
        {"side-1 node held at zero before binding", false,
         [](ShuntFeeder& f) {
             f.attach<PotentialRef>(*f.line->side1[0]);
             f.bind();
         },
         false},
        {"side-2 node held at zero since", true, [](ShuntFeeder& f) { f.attach<PotentialRef>(*f.line->side2[0]); }, false},
        {"load joined at side 2 since", true,
         [](ShuntFeeder& f) { f.attach<Ground>(*f.line->side2[0]).ports[0].current = C(7.0, 7.0); }, false},
        {"side-2 node absorbed by another node since", true,
         [](ShuntFeeder& f) {
             f.extras.push_back(std::make_unique<Ground>());
             join(f.extras.back()->ports[0], *f.line->side2[0]);
         },
         false},
        {"side-1 node absorbed by another node since", true,
         [](ShuntFeeder& f) {
             f.extras.push_back(std::make_unique<Ground>());
             join(f.extras.back()->ports[0], *f.line->side1[0]);
         },
         false},
        {"load disconnected at side 2 since", true,
         [](ShuntFeeder& f) { f.line->side2[0]->connection->remove_port(&f.loads->ports[1]); }, false},
        {"nodes bound by another network, old solver gone", true,
         [](ShuntFeeder& f) {
             f.other_net = std::make_unique<ElectricalNetwork>(std::vector<Element*>{f.upstream.get(), f.loads.get()});
             f.other_binding = std::make_unique<Binding>(*f.other_net);
             f.binding.reset();
         },
         false},
        {"unbound, solver gone", true,
         [](ShuntFeeder& f) {
             f.net->unbind();
             f.binding.reset();
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShuntFeeder f(1);
        if (c.bind_first) f.bind();
        c.change(f);
        EXPECT_EQ(f.line->one_conductor_pointers_valid(), c.pointer_path);
        ShuntLine& l = *f.line;
        for (Port& p : l.ports) p.current = C(99.0, 99.0);
        l.backward_step();
        expect_backward_physics(f);
        const C own_before = l.side2[0]->connection->potential.value;
        const double change = l.forward_step();
        EXPECT_TRUE(std::isfinite(change));
        const Connection& node = *l.side2[0]->connection;
        // A node held at zero keeps reading zero; the written value lands in its own value.
        const Vector written = Vector::Constant(1, node.is_zero ? node.potential.value : node.get_potential());
        expect_forward_physics(f, written);
        EXPECT_EQ(node.potential.value == own_before, c.pointer_path);
    }
}

// A NaN in either component of a change must reach the sweep, whichever conductor it is in.
TEST(LineSweep, ForwardStepReportsNaNChange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        std::function<double()> run;
    };
    const Case cases[] = {
        {"shunt, one conductor through stored pointers",
         [&] {
             ShuntFeeder f(1);
             f.bind();
             f.line->side2[0]->connection->set_potential(C(228.0, nan));
             return f.line->forward_step();
         }},
        {"shunt, three conductors, NaN before a larger change",
         [&] {
             ShuntFeeder f(3);
             f.line->side2[0]->connection->set_potential(C(f.line->side2[0]->connection->get_potential().real(), nan));
             f.line->side2[2]->connection->set_potential(C(1e6, 0.0));
             return f.line->forward_step();
         }},
        {"simplified, NaN before a larger change",
         [&] {
             SimplifiedLine l(3, kFullZ.data());
             set_potentials(l.side1, Vector::Constant(3, C(230.0, 0.0)));
             l.side2[0]->connection->set_potential(C(230.0, nan));
             l.side2[1]->connection->set_potential(C(1e6, 0.0));
             return l.forward_step();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(std::isnan(c.run()));
    }
}

TEST(ShuntLine, UpdatesBeforeAndAfterBinding) {
    ShuntFeeder f(1);
    ShuntLine& l = *f.line;
    const C y1(0.0, 1e-3), z1(0.5, 0.5);
    l.update_line_parameters(&y1, &z1);
    EXPECT_EQ(l.scalar_b, z1);
    EXPECT_EQ(l.matrix_b(0, 0), z1);
    f.bind();
    EXPECT_EQ(as_std(f.binding->p_values), collected(l));
    EXPECT_EQ(C(f.binding->p_values[8], f.binding->p_values[9]), -0.5 * y1);  // yg

    const C y2(0.0, 2e-3), z2(0.1, 0.9);
    l.update_line_parameters(&y2, &z2);
    EXPECT_EQ(as_std(f.binding->p_values), collected(l));
    EXPECT_EQ(C(f.binding->p_values[8], f.binding->p_values[9]), -0.5 * y2);
    // The sweep sees the new section at once.
    f.y = {y2};
    f.z = {z2};
    l.backward_step();
    expect_backward_physics(f);
}
