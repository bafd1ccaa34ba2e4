// Ports, nodes, merging, node accessors, element defaults, destruction and count refusals.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "elements/branch.hpp"
#include "elements/bus.hpp"
#include "network/network.hpp"

namespace {

using cd = std::complex<double>;

double value_of(const AD& a) { return CppAD::Value(CppAD::Var2Par(a)); }

// An element kind with nothing but its ports: shows what Element itself provides.
class Probe : public ElementImpl<Probe> {
public:
    explicit Probe(int n) : ElementImpl<Probe>(n) {}
    void compute_currents(bool) override {}
};

class BranchProbe : public Branch {
public:
    BranchProbe(int n1, int n2, int n3) : Branch(n1, n2, n3) {}
    void compute_currents(bool) override {}
};

std::vector<const Port*> listed(const Connection& c) { return {c.ports.begin(), c.ports.end()}; }

TEST(NewElement, EveryPortStartsOnANodeOfItsOwn) {
    for (int n : {0, 1, 3}) {
        SCOPED_TRACE(n);
        Probe e(n);
        ASSERT_EQ(e.ports.size(), static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            const Port& p = e.ports[static_cast<std::size_t>(i)];
            ASSERT_TRUE(p.connection);
            EXPECT_EQ(p.element, &e);
            EXPECT_EQ(listed(*p.connection), std::vector<const Port*>{&p});
            EXPECT_EQ(p.connection->potential.value, cd(0));
            EXPECT_FALSE(p.connection->potential.linked);
            EXPECT_FALSE(p.connection->is_zero);
            EXPECT_EQ(p.current, cd(0));
            EXPECT_EQ(value_of(p.current_ad.real()), 0.0);
            EXPECT_EQ(value_of(p.current_ad.imag()), 0.0);
            for (int j = 0; j < i; ++j) EXPECT_NE(e.ports[static_cast<std::size_t>(j)].connection, p.connection);
        }
    }
}

TEST(Merge, WithItselfChangesNothing) {
    const cd v[1] = {{5, 1}};
    Bus a(1, v);
    Port& p = a.ports[0];
    p.connection->merge(p.connection);
    EXPECT_EQ(listed(*p.connection), std::vector<const Port*>{&p});
    EXPECT_EQ(p.connection->potential.value, cd(5, 1));
    EXPECT_FALSE(p.connection->is_zero);
}

// The absorbing node lists its own ports first, then the absorbed ones in their former order,
// keeps its potential, and the absorbed node is left empty and freed.
TEST(Merge, AbsorbingNodeTakesPortsInOrderAndKeepsItsPotential) {
    const cd va[1] = {{5, 0}};
    const cd vb[2] = {{7, 0}, {8, 0}};
    Bus a(1, va);
    Bus b(2, vb);
    Port& p1 = a.ports[0];
    Port& q1 = b.ports[0];
    Port& q2 = b.ports[1];
    q1.connection->merge(q2.connection);
    ASSERT_EQ(listed(*q1.connection), (std::vector<const Port*>{&q1, &q2}));

    std::weak_ptr<Connection> absorbed = q1.connection;
    const std::shared_ptr<Connection> target = p1.connection;
    // The argument aliases a field that the merge itself rewrites.
    p1.connection->merge(q1.connection);

    EXPECT_EQ(listed(*target), (std::vector<const Port*>{&p1, &q1, &q2}));
    for (const Port* p : {&p1, &q1, &q2}) EXPECT_EQ(p->connection, target);
    EXPECT_EQ(target->potential.value, cd(5, 0));
    EXPECT_TRUE(absorbed.expired());

    // A further merge appends after everything already listed.
    Bus c(1, vb);
    Port& c1 = c.ports[0];
    c1.connection->merge(p1.connection);
    EXPECT_EQ(listed(*c1.connection), (std::vector<const Port*>{&c1, &p1, &q1, &q2}));
    EXPECT_EQ(c1.connection->potential.value, cd(7, 0));
}

TEST(Merge, AbsorbedNodeHeldElsewhereListsNoPort) {
    const cd va[1] = {{5, 0}};
    const cd vb[1] = {{7, 0}};
    Bus a(1, va);
    Bus b(1, vb);
    const std::shared_ptr<Connection> held = b.ports[0].connection;
    a.ports[0].connection->merge(held);
    EXPECT_TRUE(held->ports.empty());
    EXPECT_EQ(held->potential.value, cd(7, 0));
    EXPECT_EQ(b.ports[0].connection, a.ports[0].connection);
}

TEST(Merge, HeldAtZeroWinsWhicheverSideItIsOn) {
    struct Case {
        bool absorbing_zero;
        bool absorbed_zero;
    };
    for (const Case c : {Case{false, false}, Case{true, false}, Case{false, true}, Case{true, true}}) {
        SCOPED_TRACE(testing::Message() << c.absorbing_zero << c.absorbed_zero);
        Probe a(1);
        Probe b(1);
        const std::shared_ptr<Connection> other = b.ports[0].connection;
        a.ports[0].connection->is_zero = c.absorbing_zero;
        other->is_zero = c.absorbed_zero;
        a.ports[0].connection->merge(other);
        EXPECT_EQ(a.ports[0].connection->is_zero, c.absorbing_zero || c.absorbed_zero);
        EXPECT_EQ(b.ports[0].connection->is_zero, c.absorbing_zero || c.absorbed_zero);
        EXPECT_EQ(other->is_zero, c.absorbed_zero);
    }
}

TEST(Merge, PotentialReferenceMakesTheJoinedNodeZeroInEitherDirection) {
    for (bool reference_absorbs : {false, true}) {
        SCOPED_TRACE(reference_absorbs);
        const cd v[1] = {{230, 0}};
        Bus bus(1, v);
        PotentialRef ref;
        if (reference_absorbs)
            ref.ports[0].connection->merge(bus.ports[0].connection);
        else
            bus.ports[0].connection->merge(ref.ports[0].connection);
        EXPECT_TRUE(bus.ports[0].connection->is_zero);
        EXPECT_EQ(bus.ports[0].connection->get_potential(), cd(0));
    }
}

TEST(Accessors, FollowZeroFlagAndLink) {
    struct Case {
        bool zero;
        bool linked;
    };
    for (const Case c : {Case{false, false}, Case{false, true}, Case{true, false}, Case{true, true}}) {
        SCOPED_TRACE(testing::Message() << "zero=" << c.zero << " linked=" << c.linked);
        const cd v[1] = {{1, 2}};
        Bus b(1, v);
        Connection& node = *b.ports[0].connection;
        node.is_zero = c.zero;
        ADVector d = {AD(30.0), AD(40.0)};
        VectorXd values(2);
        values << 3.0, 4.0;
        if (c.linked) {
            int index = 0;
            node.potential.bind(d, values, index);
        }

        const cd expected_read = c.zero ? cd(0) : (c.linked ? cd(3, 4) : cd(1, 2));
        EXPECT_EQ(node.get_potential(), expected_read);
        const ADComplex ad = node.get_potential_ad();
        EXPECT_EQ(value_of(ad.real()), c.zero || !c.linked ? 0.0 : 30.0);
        EXPECT_EQ(value_of(ad.imag()), c.zero || !c.linked ? 0.0 : 40.0);

        node.set_potential(cd(5, 6));
        EXPECT_EQ(node.potential.value, cd(5, 6));
        EXPECT_EQ(values[0], c.linked ? 5.0 : 3.0);
        EXPECT_EQ(values[1], c.linked ? 6.0 : 4.0);
        EXPECT_EQ(node.get_potential(), c.zero ? cd(0) : cd(5, 6));
    }
}

TEST(ElementDefaults, NoVariablesParametersOrEquations) {
    Probe e(2);
    std::vector<double> values = {9.0};
    e.collect_variables(values);
    e.collect_parameters(values);
    EXPECT_EQ(values, std::vector<double>{9.0});

    ADVector d = {AD(1.0), AD(2.0)};
    VectorXd dv(2);
    int index = 1;
    e.bind_variables(d, dv, index);
    e.bind_parameters(d, dv, index);
    EXPECT_EQ(index, 1);
    EXPECT_FALSE(e.ports[0].connection->potential.linked);

    ADVector residuals = {AD(7.0), AD(8.0)};
    index = 1;
    e.add_residuals(residuals, index);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(value_of(residuals[1]), 8.0);
}

TEST(ElementDefaults, SweepStepsWithoutRules) {
    Probe e(1);
    e.ports[0].connection->set_potential(cd(4, 1));
    e.ports[0].current = cd(2, 2);
    try {
        e.backward_step();
        ADD_FAILURE() << "backward_step did not throw";
    } catch (const std::runtime_error& err) {
        EXPECT_STREQ(err.what(), "2 No backward-forward method has been defined for this element");
    }
    EXPECT_EQ(e.forward_step(), 0.0);
    EXPECT_EQ(e.ports[0].connection->get_potential(), cd(4, 1));
    EXPECT_EQ(e.ports[0].current, cd(2, 2));
}

// Two 2-port buses joined port k to port k, the first bus's nodes absorbing.
struct JoinedBuses {
    cd va[2] = {{1, 0}, {2, 0}};
    cd vb[2] = {{3, 0}, {4, 0}};
    std::unique_ptr<Element> a = std::make_unique<Bus>(2, va);
    std::unique_ptr<Element> b = std::make_unique<Bus>(2, vb);
    std::shared_ptr<Connection> node0, node1;
    JoinedBuses() {
        for (std::size_t k = 0; k < 2; ++k) a->ports[k].connection->merge(b->ports[k].connection);
        node0 = a->ports[0].connection;
        node1 = a->ports[1].connection;
    }
};

TEST(ElementDestruction, SurvivingNodesNoLongerListItsPorts) {
    for (bool destroy_absorbing_side : {false, true}) {
        SCOPED_TRACE(destroy_absorbing_side);
        JoinedBuses j;
        std::unique_ptr<Element>& gone = destroy_absorbing_side ? j.a : j.b;
        std::unique_ptr<Element>& kept = destroy_absorbing_side ? j.b : j.a;
        gone.reset();
        EXPECT_EQ(listed(*j.node0), std::vector<const Port*>{&kept->ports[0]});
        EXPECT_EQ(listed(*j.node1), std::vector<const Port*>{&kept->ports[1]});
        EXPECT_EQ(kept->ports[0].connection, j.node0);
        // The node keeps the absorbing bus's potential whichever element goes.
        EXPECT_EQ(j.node0->potential.value, cd(1, 0));
    }
}

TEST(ElementDestruction, SwitchBetweenBusesLeavesEachBusAloneAtItsNode) {
    const cd v[1] = {{1, 0}};
    Bus a(1, v);
    Bus b(1, v);
    auto sw = std::make_unique<Switch>(1);
    a.ports[0].connection->merge(sw->side1[0]->connection);
    b.ports[0].connection->merge(sw->side2[0]->connection);
    ElectricalNetwork net({&a, &b});
    sw.reset();
    ASSERT_EQ(net.connections.size(), 2u);
    EXPECT_EQ(listed(*net.connections[0]), std::vector<const Port*>{&a.ports[0]});
    EXPECT_EQ(listed(*net.connections[1]), std::vector<const Port*>{&b.ports[0]});
    // The residuals now sum only the surviving ports.
    ADVector residuals(4);
    net.fill_residuals(residuals);
    for (const AD& r : residuals) EXPECT_EQ(value_of(r), 0.0);
}

TEST(ElementDestruction, AfterOneOfItsPortsWasRemovedFromItsNode) {
    JoinedBuses j;
    j.node0->remove_port(&j.b->ports[0]);
    j.b.reset();
    EXPECT_EQ(listed(*j.node0), std::vector<const Port*>{&j.a->ports[0]});
    EXPECT_EQ(listed(*j.node1), std::vector<const Port*>{&j.a->ports[1]});
}

TEST(RemovePort, LeavesOthersInOrderAndIgnoresUnlistedPorts) {
    JoinedBuses j;
    Probe stranger(1);
    j.node0->remove_port(&stranger.ports[0]);
    EXPECT_EQ(j.node0->ports.size(), 2u);
    j.node0->remove_port(&j.a->ports[0]);
    EXPECT_EQ(listed(*j.node0), std::vector<const Port*>{&j.b->ports[0]});
    // The port keeps its pointer to the node it was taken out of.
    EXPECT_EQ(j.a->ports[0].connection, j.node0);
}

TEST(CountRefusals, CountsBelowTheMinimumThrowVector) {
    struct Case {
        const char* what;
        std::function<void()> build;
    };
    const Case refused[] = {
        {"Element(-1)", [] { Probe e(-1); }},
        {"Bus(-1)", [] { Bus b(-1, nullptr); }},
        {"DeltaPotentialRef(0)", [] { DeltaPotentialRef d(0); }},
        {"DeltaPotentialRef(-2)", [] { DeltaPotentialRef d(-2); }},
        {"Switch(-1)", [] { Switch s(-1); }},
        {"OpenSwitch(-1)", [] { OpenSwitch s(-1); }},
        {"Branch(-1, 2, 0)", [] { BranchProbe b(-1, 2, 0); }},
        {"Branch(2, -1, 0)", [] { BranchProbe b(2, -1, 0); }},
        {"Branch(1, 1, -1)", [] { BranchProbe b(1, 1, -1); }},
        // Port totals beyond int, which would wrap.
        {"Switch(2^30 + 1)", [] { Switch s((1 << 30) + 1); }},
        {"Branch(max, 1, 0)", [] { BranchProbe b(std::numeric_limits<int>::max(), 1, 0); }},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        try {
            c.build();
            ADD_FAILURE() << "no exception";
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "vector");
        }
    }
    const Case accepted[] = {
        {"Element(0)", [] { Probe e(0); }},
        {"Bus(0)", [] { Bus b(0, nullptr); }},
        {"DeltaPotentialRef(1)", [] { DeltaPotentialRef d(1); }},
        {"Switch(0)", [] { Switch s(0); }},
        {"Branch(0, 0, 0)", [] { BranchProbe b(0, 0, 0); }},
    };
    for (const Case& c : accepted) {
        SCOPED_TRACE(c.what);
        EXPECT_NO_THROW(c.build());
    }
}

}  // namespace
