// Buses, grounds, potential references and delta potential references.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "elements/bus.hpp"
#include "network/network.hpp"

namespace {

using cd = std::complex<double>;

double value_of(const AD& a) { return CppAD::Value(CppAD::Var2Par(a)); }
void join(Port& absorbing, Port& absorbed) { absorbing.connection->merge(absorbed.connection); }

void fill_with_junk(Element& e) {
    for (Port& p : e.ports) {
        p.current = cd(9, -9);
        p.current_ad = ADComplex(AD(9.0), AD(-9.0));
    }
}

TEST(BusElement, NodesStartAtTheGivenPotentials) {
    const cd v[2] = {{230, 0}, {-115, 199.2}};
    Bus bus(2, v);
    ASSERT_EQ(bus.ports.size(), 2u);
    EXPECT_EQ(bus.ports[0].connection->potential.value, cd(230, 0));
    EXPECT_EQ(bus.ports[1].connection->potential.value, cd(-115, 199.2));
    EXPECT_NE(bus.ports[0].connection, bus.ports[1].connection);
    ElectricalNetwork net({&bus});
    EXPECT_EQ(net.get_initial_values().first, (std::vector<double>{230, 0, -115, 199.2}));
    EXPECT_TRUE(net.get_initial_values().second.empty());
}

TEST(ZeroCurrentKinds, EveryPortCurrentIsZeroInBothModesAndInTheBackwardStep) {
    struct Case {
        const char* what;
        std::function<std::unique_ptr<Element>()> make;
        std::size_t ports;
    };
    static const cd v[3] = {{1, 0}, {2, 0}, {3, 0}};
    const Case cases[] = {
        {"Bus", [] { return std::make_unique<Bus>(3, v); }, 3},
        {"Ground", [] { return std::make_unique<Ground>(); }, 1},
        {"PotentialRef", [] { return std::make_unique<PotentialRef>(); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<Element> e = c.make();
        ASSERT_EQ(e->ports.size(), c.ports);
        std::vector<double> values;
        e->collect_variables(values);
        e->collect_parameters(values);
        EXPECT_TRUE(values.empty());

        fill_with_junk(*e);
        e->compute_currents(true);
        for (const Port& p : e->ports) {
            EXPECT_EQ(value_of(p.current_ad.real()), 0.0);
            EXPECT_EQ(value_of(p.current_ad.imag()), 0.0);
            EXPECT_EQ(p.current, cd(9, -9));
        }
        e->compute_currents(false);
        for (const Port& p : e->ports) EXPECT_EQ(p.current, cd(0));
        fill_with_junk(*e);
        e->backward_step();
        for (const Port& p : e->ports) EXPECT_EQ(p.current, cd(0));
    }
}

TEST(GroundElement, JoinedNodeStaysFree) {
    const cd v[1] = {{5, 1}};
    Bus bus(1, v);
    Ground g;
    join(bus.ports[0], g.ports[0]);
    EXPECT_FALSE(bus.ports[0].connection->is_zero);
    ElectricalNetwork net({&bus, &g});
    EXPECT_EQ(net.get_initial_values().first, (std::vector<double>{5, 1}));
    EXPECT_EQ(g.forward_step(), 0.0);
    EXPECT_EQ(bus.ports[0].connection->get_potential(), cd(5, 1));
}

TEST(PotentialRefElement, HoldsItsNodeAtZero) {
    PotentialRef ref;
    EXPECT_TRUE(ref.ports[0].connection->is_zero);
    EXPECT_EQ(ref.ports[0].connection->get_potential(), cd(0));
}

TEST(PotentialRefElement, ForwardStepWritesZeroOwnAndLinkedAndReturnsZero) {
    const cd v[1] = {{230, 10}};
    Bus bus(1, v);
    PotentialRef ref;
    join(bus.ports[0], ref.ports[0]);
    Connection& node = *bus.ports[0].connection;
    ADVector d = {AD(1.0), AD(2.0)};
    VectorXd values(2);
    values << 3.0, 4.0;
    int index = 0;
    node.potential.bind(d, values, index);

    EXPECT_EQ(ref.forward_step(), 0.0);
    EXPECT_EQ(node.potential.value, cd(0));
    EXPECT_EQ(values[0], 0.0);
    EXPECT_EQ(values[1], 0.0);
    EXPECT_EQ(node.get_potential(), cd(0));
    EXPECT_EQ(ref.forward_step(), 0.0);
}

TEST(PotentialRefElement, SuppliedCurrentSumsEveryPortAtItsNode) {
    const cd v[2] = {{1, 0}, {1, 0}};
    Bus bus(2, v);
    PotentialRef ref;
    join(ref.ports[0], bus.ports[0]);
    join(ref.ports[0], bus.ports[1]);
    bus.ports[0].current = cd(1, 1);
    bus.ports[1].current = cd(2, -3);
    ref.compute_currents(false);
    EXPECT_EQ(ref.supplied_current(), cd(3, -2));
}

// Builds a delta reference whose port k sits on node node_of[k] of a bus at the given potentials.
struct DeltaFixture {
    std::vector<cd> potentials;
    Bus bus;
    DeltaPotentialRef ref;
    DeltaFixture(std::vector<cd> v, const std::vector<int>& node_of)
        : potentials(std::move(v)),
          bus(static_cast<int>(potentials.size()), potentials.data()),
          ref(static_cast<int>(node_of.size())) {
        for (std::size_t k = 0; k < node_of.size(); ++k)
            join(bus.ports[static_cast<std::size_t>(node_of[k])], ref.ports[k]);
    }
    cd node(std::size_t k) const { return bus.ports[k].connection->get_potential(); }
};

TEST(DeltaPotentialRefElement, ForwardStepShiftsNodesToSumZero) {
    struct Case {
        const char* what;
        std::vector<cd> potentials;
        std::vector<int> node_of;
        double returned;
        std::vector<cd> after;
    };
    const Case cases[] = {
        {"three real nodes", {{1, 0}, {2, 0}, {3, 0}}, {0, 1, 2}, 6.0, {{-1, 0}, {0, 0}, {1, 0}}},
        {"imaginary part larger", {{1, 4}, {2, -1}, {0, 3}}, {0, 1, 2}, 6.0, {{0, 2}, {1, -3}, {-1, 1}}},
        {"one port", {{2, -1}}, {0}, 2.0, {{0, 0}}},
        // Each port corrects the node again, reading it afresh: 4 - 4, then 0 - 4.
        {"two ports on one node", {{4, 0}}, {0, 0}, 8.0, {{-4, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeltaFixture f(c.potentials, c.node_of);
        EXPECT_DOUBLE_EQ(f.ref.forward_step(), c.returned);
        for (std::size_t k = 0; k < c.after.size(); ++k) {
            EXPECT_DOUBLE_EQ(f.node(k).real(), c.after[k].real());
            EXPECT_DOUBLE_EQ(f.node(k).imag(), c.after[k].imag());
        }
    }
}

TEST(DeltaPotentialRefElement, SecondForwardStepReturnsZeroAndWritesLinks) {
    DeltaFixture f({{1, 0}, {2, 0}, {3, 0}}, {0, 1, 2});
    ADVector d(6, AD(0.0));
    VectorXd values = VectorXd::Zero(6);
    values << 1, 0, 2, 0, 3, 0;
    int index = 0;
    for (Port& p : f.bus.ports) p.connection->potential.bind(d, values, index);
    EXPECT_EQ(f.ref.forward_step(), 6.0);
    EXPECT_EQ(values[0], -1.0);
    EXPECT_EQ(f.bus.ports[0].connection->potential.value, cd(-1, 0));
    EXPECT_EQ(f.ref.forward_step(), 0.0);
}

TEST(DeltaPotentialRefElement, OneCurrentVariableAndTwoEquationsWhateverItsPortCount) {
    for (int n : {1, 2, 4}) {
        SCOPED_TRACE(n);
        std::vector<cd> potentials;
        std::vector<int> node_of;
        for (int k = 0; k < n; ++k) {
            potentials.emplace_back(k + 1, -2.0 * k);
            node_of.push_back(k);
        }
        DeltaFixture f(potentials, node_of);
        f.ref.current.set_value({1.5, -2});

        std::vector<double> values = {99};
        f.ref.collect_variables(values);
        EXPECT_EQ(values, (std::vector<double>{99, 1.5, -2}));

        // Nodes bound to differentiable constants 10(k+1) + i(20(k+1)); the last node of a
        // multi-port reference held at zero.
        ADVector x;
        VectorXd xv(2 * n + 5);
        xv.setZero();
        for (int k = 0; k < n; ++k) x.insert(x.end(), {AD(10.0 * (k + 1)), AD(20.0 * (k + 1))});
        x.insert(x.end(), {AD(5.0), AD(6.0)});
        int index = 0;
        for (Port& p : f.bus.ports) p.connection->potential.bind(x, xv, index);
        if (n > 1) f.bus.ports.back().connection->is_zero = true;
        f.ref.bind_variables(x, xv, index);
        EXPECT_EQ(index, 2 * n + 2);
        EXPECT_EQ(f.ref.current.linked_value, xv.data() + 2 * n);

        ADVector residuals(5, AD(-1.0));
        int at = 1;
        f.ref.add_residuals(residuals, at);
        EXPECT_EQ(at, 3);
        const int summed = n > 1 ? n - 1 : n;
        const double re = 10.0 * summed * (summed + 1) / 2;
        EXPECT_EQ(value_of(residuals[1]), re);
        EXPECT_EQ(value_of(residuals[2]), 2 * re);
        EXPECT_EQ(value_of(residuals[0]), -1.0);
        EXPECT_EQ(value_of(residuals[3]), -1.0);

        // Port 0 carries the variable, the others nothing; in complex doubles through the link.
        fill_with_junk(f.ref);
        f.ref.compute_currents(true);
        EXPECT_EQ(value_of(f.ref.ports[0].current_ad.real()), 5.0);
        EXPECT_EQ(value_of(f.ref.ports[0].current_ad.imag()), 6.0);
        for (std::size_t k = 1; k < f.ref.ports.size(); ++k)
            EXPECT_EQ(value_of(f.ref.ports[k].current_ad.real()), 0.0);
        xv[2 * n] = 7.0;
        xv[2 * n + 1] = -8.0;
        f.ref.compute_currents(false);
        EXPECT_EQ(f.ref.ports[0].current, cd(7, -8));
        for (std::size_t k = 1; k < f.ref.ports.size(); ++k) EXPECT_EQ(f.ref.ports[k].current, cd(0));
        // The own value keeps its start value.
        EXPECT_EQ(f.ref.current.value, cd(1.5, -2));

        fill_with_junk(f.ref);
        f.ref.backward_step();
        for (const Port& p : f.ref.ports) EXPECT_EQ(p.current, cd(0));
    }
}

TEST(DeltaPotentialRefElement, InANetworkItAddsTwoVariablesAfterTheNodes) {
    const cd v[3] = {{1, 1}, {2, 2}, {3, 3}};
    Bus bus(3, v);
    DeltaPotentialRef ref(3);
    for (std::size_t k = 0; k < 3; ++k) join(bus.ports[k], ref.ports[k]);
    ElectricalNetwork net({&ref, &bus});
    EXPECT_EQ(net.get_initial_values().first, (std::vector<double>{1, 1, 2, 2, 3, 3, 0, 0}));
}

}  // namespace
