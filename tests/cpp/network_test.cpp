// The network: node gathering, numbering, start values, binding, residuals on a tape, and
// naming the elements behind variable indices.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <limits>
#include <memory>
#include <tuple>

#include "case_names.hpp"
#include "elements/branch.hpp"
#include "elements/bus.hpp"
#include "elements/flexible_parameter.hpp"
#include "network/network.hpp"
#include "tape_support.hpp"

namespace {

using cd = std::complex<double>;

void join(Port& absorbing, Port& absorbed) { absorbing.connection->merge(absorbed.connection); }

Eigen::VectorXcd vec(std::initializer_list<cd> entries) {
    Eigen::VectorXcd v(static_cast<Eigen::Index>(entries.size()));
    Eigen::Index k = 0;
    for (const cd& e : entries) v[k++] = e;
    return v;
}

ADVector to_ad(const std::vector<double>& v) {
    ADVector out;
    for (double d : v) out.push_back(AD(d));
    return out;
}

VectorXd to_eigen(const std::vector<double>& v) {
    VectorXd out(static_cast<Eigen::Index>(v.size()));
    for (std::size_t k = 0; k < v.size(); ++k) out[static_cast<Eigen::Index>(k)] = v[k];
    return out;
}

// An admittance per port to its node, value k in parameter entries 2k and 2k+1: the one element
// kind here that has updatable parameters.
class Shunt : public ElementImpl<Shunt> {
public:
    ComplexVectorParameter y;
    Shunt(int n, const Eigen::VectorXcd& y_) : ElementImpl<Shunt>(n), y(y_) {}
    void collect_parameters(std::vector<double>& values) override { y.collect(values); }
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override { y.bind(p, p_values, index); }
    void compute_currents(bool on_tape) override {
        for (std::size_t k = 0; k < ports.size(); ++k) {
            const auto i = static_cast<Eigen::Index>(k);
            if (on_tape)
                ports[k].current_ad = y.ad[i] * ports[k].connection->get_potential_ad();
            else
                ports[k].current = y.get_entry(i) * ports[k].connection->get_potential();
        }
    }
};

// Two 2-port buses A and B joined by a 2-conductor switch; a shunt on B; a delta reference over
// A's nodes; a potential reference on B's second node.
//   nodes: A0 (x0, x1), A1 (x2, x3), B0 (x4, x5), B1 held at zero
//   switch currents x6..x9, delta reference current x10, x11; shunt admittances p0..p3
struct SwitchedBuses {
    cd va[2] = {{1, 2}, {3, -1}};
    cd vb[2] = {{0.5, -0.25}, {9, 9}};
    Bus a{2, va};
    Bus b{2, vb};
    Switch s{2};
    Shunt y{2, vec({{2, 1}, {0, 3}})};
    DeltaPotentialRef d{2};
    PotentialRef r;
    std::unique_ptr<ElectricalNetwork> net;

    std::vector<double> x0, p0;
    VectorXd x_values, p_values;
    CppAD::ADFun<double> f;

    SwitchedBuses() {
        join(a.ports[0], *s.side1[0]);
        join(a.ports[1], *s.side1[1]);
        join(b.ports[0], *s.side2[0]);
        join(b.ports[1], *s.side2[1]);
        join(b.ports[0], y.ports[0]);
        join(b.ports[1], y.ports[1]);
        join(a.ports[0], d.ports[0]);
        join(a.ports[1], d.ports[1]);
        join(b.ports[1], r.ports[0]);
        s.currents[0].set_value({2, 1});
        s.currents[1].set_value({-1, 3});
        d.current.set_value({0.5, -0.5});
        net = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&a, &b, &s, &y, &d, &r});
    }

    // What a Newton-family solver does when it is built.
    void record() {
        std::tie(x0, p0) = net->get_initial_values();
        record_network(*net, x_values, p_values, f);
    }
};

TEST(NetworkGathering, EmptyListHasNothing) {
    ElectricalNetwork net({});
    EXPECT_TRUE(net.connections.empty());
    EXPECT_TRUE(net.flexible_parameters.empty());
    const auto init = net.get_initial_values();
    EXPECT_TRUE(init.first.empty());
    EXPECT_TRUE(init.second.empty());
    ADVector none;
    VectorXd empty;
    net.bind(none, empty, none, empty);
    net.fill_residuals(none);
    EXPECT_TRUE(net.elements_of_indices({}).empty());
}

TEST(NetworkGathering, NodesInFirstSeenOrderOnceEach) {
    const cd va[2] = {{1, 0}, {2, 0}};
    const cd vb[2] = {{3, 0}, {4, 0}};
    Bus a(2, va);
    Bus b(2, vb);
    // Crossed, the second bus's nodes absorbing.
    join(b.ports[1], a.ports[0]);
    join(b.ports[0], a.ports[1]);

    ElectricalNetwork ab({&a, &b});
    ASSERT_EQ(ab.connections.size(), 2u);
    EXPECT_EQ(ab.connections[0], a.ports[0].connection);
    EXPECT_EQ(ab.connections[1], a.ports[1].connection);
    EXPECT_EQ(ab.get_initial_values().first, (std::vector<double>{4, 0, 3, 0}));

    ElectricalNetwork ba({&b, &a});
    EXPECT_EQ(ba.connections[0], b.ports[0].connection);
    EXPECT_EQ(ba.get_initial_values().first, (std::vector<double>{3, 0, 4, 0}));
}

TEST(NetworkGathering, NodesLiveAsLongAsTheNetwork) {
    std::weak_ptr<Connection> node;
    std::unique_ptr<ElectricalNetwork> net;
    {
        Ground g;
        node = g.ports[0].connection;
        net = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&g});
    }
    EXPECT_FALSE(node.expired());
    EXPECT_TRUE(net->connections[0]->ports.empty());
    net.reset();
    EXPECT_TRUE(node.expired());
}

TEST(NetworkNumbering, PotentialReferenceRemovesItsNodeAndTheRestClosesUp) {
    const cd v[3] = {{1, 10}, {2, 20}, {3, 30}};
    const std::vector<double> all = {1, 10, 2, 20, 3, 30};
    for (int referenced = -1; referenced < 3; ++referenced) {
        SCOPED_TRACE(referenced);
        Bus bus(3, v);
        PotentialRef ref;
        if (referenced >= 0) join(bus.ports[static_cast<std::size_t>(referenced)], ref.ports[0]);
        ElectricalNetwork net({&bus, &ref});
        std::vector<double> expected;
        for (int k = 0; k < 3; ++k)
            if (k != referenced) expected.insert(expected.end(), {all[2 * k], all[2 * k + 1]});
        // An unjoined reference is a node of its own, held at zero: listed but not numbered.
        EXPECT_EQ(net.connections.size(), referenced >= 0 ? 3u : 4u);
        EXPECT_EQ(net.get_initial_values().first, expected);

        ADVector residuals(expected.size(), AD(-1.0));
        net.fill_residuals(residuals);
        for (const AD& res : residuals) EXPECT_EQ(CppAD::Value(res), 0.0);
    }
}

TEST(NetworkNumbering, StartValuesAreOwnValuesInNodeThenElementOrder) {
    SwitchedBuses n;
    const auto init = n.net->get_initial_values();
    EXPECT_EQ(init.first, (std::vector<double>{1, 2, 3, -1, 0.5, -0.25, 2, 1, -1, 3, 0.5, -0.5}));
    EXPECT_EQ(init.second, (std::vector<double>{2, 1, 0, 3}));
    ASSERT_EQ(n.net->connections.size(), 4u);
    EXPECT_TRUE(n.net->connections[3]->is_zero);
}

TEST(NetworkBinding, RecordsLinkInTheNumberingOrder) {
    SwitchedBuses n;
    n.record();
    const double* x = n.x_values.data();
    const double* p = n.p_values.data();
    EXPECT_EQ(n.net->connections[0]->potential.linked_value, x + 0);
    EXPECT_EQ(n.net->connections[1]->potential.linked_value, x + 2);
    EXPECT_EQ(n.net->connections[2]->potential.linked_value, x + 4);
    EXPECT_FALSE(n.net->connections[3]->potential.linked);
    EXPECT_EQ(n.s.currents[0].linked_value, x + 6);
    EXPECT_EQ(n.s.currents[1].linked_value, x + 8);
    EXPECT_EQ(n.d.current.linked_value, x + 10);
    EXPECT_EQ(n.y.y.linked_value, p + 0);
    EXPECT_EQ(n.net->bound_to(), x);

    // A solver's steps change its vectors only: the next solver starts from the own values.
    n.x_values.setConstant(42.0);
    EXPECT_EQ(n.a.ports[0].connection->get_potential(), cd(42, 42));
    EXPECT_EQ(n.net->get_initial_values().first, n.x0);
}

TEST(NetworkBinding, BindingAgainFollowsTheLaterSolverAndUnbindRestoresOwnValues) {
    SwitchedBuses n;
    const auto init = n.net->get_initial_values();
    ADVector x1 = to_ad(init.first), p1 = to_ad(init.second);
    VectorXd xv1 = VectorXd::Constant(12, 1.0), pv1 = VectorXd::Constant(4, 1.0);
    ADVector x2 = to_ad(init.first), p2 = to_ad(init.second);
    VectorXd xv2 = VectorXd::Constant(12, 2.0), pv2 = VectorXd::Constant(4, 2.0);
    n.net->bind(x1, xv1, p1, pv1);
    n.net->bind(x2, xv2, p2, pv2);
    EXPECT_EQ(n.net->bound_to(), xv2.data());
    EXPECT_EQ(n.a.ports[1].connection->get_potential(), cd(2, 2));
    n.y.y.set_value(vec({{5, 5}, {6, 6}}));
    EXPECT_EQ(pv2[0], 5.0);
    EXPECT_EQ(pv1[0], 1.0);

    n.net->unbind();
    EXPECT_EQ(n.net->bound_to(), nullptr);
    EXPECT_FALSE(n.net->connections[0]->potential.linked);
    EXPECT_FALSE(n.s.currents[1].linked);
    EXPECT_FALSE(n.d.current.linked);
    EXPECT_FALSE(n.y.y.linked);
    EXPECT_EQ(n.a.ports[1].connection->get_potential(), cd(3, -1));
    EXPECT_EQ(n.s.currents[1].get_value(), cd(-1, 3));
}

TEST(NetworkBinding, NetworkWithParametersOnlyIsBoundToItsParameters) {
    PotentialRef ref;
    Shunt y(1, vec({{1, 1}}));
    join(ref.ports[0], y.ports[0]);
    ElectricalNetwork net({&ref, &y});
    const auto init = net.get_initial_values();
    EXPECT_TRUE(init.first.empty());
    ADVector x, p = to_ad(init.second);
    VectorXd xv, pv = to_eigen(init.second);
    net.bind(x, xv, p, pv);
    EXPECT_TRUE(y.y.linked);
    EXPECT_EQ(net.bound_to(), pv.data());
}

TEST(NetworkNumbering, FlexibleParametersFollowTheElementsInAddressOrder) {
    const Control constant("constant", 0, 0, 0, 0, 0, 0);
    const Projection euclidean("euclidean", 0, 0);
    FlexibleParameter limits[2] = {FlexibleParameter(constant, constant, euclidean, 1, 2, 3),
                                   FlexibleParameter(constant, constant, euclidean, 4, 5, 6)};
    Shunt y(1, vec({{7, 8}}));
    ElectricalNetwork net({&y});
    // Flexible loads gather these; here the set is filled directly, the later address first.
    net.flexible_parameters.insert(&limits[1]);
    net.flexible_parameters.insert(&limits[0]);
    net.flexible_parameters.insert(&limits[1]);

    const auto init = net.get_initial_values();
    EXPECT_EQ(init.second, (std::vector<double>{7, 8, 1, 2, 3, 4, 5, 6}));
    ADVector x = to_ad(init.first), p = to_ad(init.second);
    VectorXd xv = to_eigen(init.first), pv = to_eigen(init.second);
    net.bind(x, xv, p, pv);
    EXPECT_EQ(limits[0].s_max.linked_value, pv.data() + 2);
    EXPECT_EQ(limits[0].q_max.linked_value, pv.data() + 4);
    EXPECT_EQ(limits[1].s_max.linked_value, pv.data() + 5);
    EXPECT_EQ(limits[1].q_max.linked_value, pv.data() + 7);
    EXPECT_EQ(CppAD::Value(limits[1].q_min.ad), 5.0);
    limits[1].q_min.set_value(-5.0);
    EXPECT_EQ(pv[6], -5.0);
}

// Residuals as the recorded tape computes them, at the start point and after moving the
// variables and the dynamic parameters.
TEST(NetworkResiduals, RecordedTapeEvaluatesToTheBalanceAndElementEquations) {
    SwitchedBuses n;
    n.record();
    ASSERT_EQ(n.f.Domain(), 12u);
    ASSERT_EQ(n.f.Range(), 12u);
    ASSERT_EQ(n.f.size_dyn_ind(), 4u);

    // V0 = 1+2i, V1 = 3-i, V2 = 0.5-0.25i, V3 = 0 (held); switch currents 2+i, -1+3i;
    // delta reference current 0.5-0.5i; shunt admittance at B0 2+i (its B1 admittance sees 0).
    const std::vector<double> at_start = {
        2.5,   0.5,   // A0: switch 2+i plus reference 0.5-0.5i
        -1.0,  3.0,   // A1: switch -1+3i
        -0.75, -1.0,  // B0: -(2+i) + (2+i)(0.5-0.25i) = -(2+i) + 1.25
        0.5,   2.25,  // switch conductor 0: V0 - V2
        3.0,   -1.0,  // switch conductor 1: V1 - 0
        4.0,   1.0,   // delta reference: V0 + V1
    };
    const std::vector<double> r0 = n.f.Forward(0, n.x0);
    for (std::size_t k = 0; k < 12; ++k) EXPECT_DOUBLE_EQ(r0[k], at_start[k]) << "residual " << k;

    // V0 moved to 2: only the equations that read it change.
    std::vector<double> x1 = n.x0;
    x1[0] = 2.0;
    x1[1] = 0.0;
    std::vector<double> expected1 = at_start;
    expected1[0] = 2.5;
    expected1[6] = 1.5;
    expected1[7] = 0.25;
    expected1[10] = 5.0;
    expected1[11] = -1.0;
    const std::vector<double> r1 = n.f.Forward(0, x1);
    for (std::size_t k = 0; k < 12; ++k) EXPECT_DOUBLE_EQ(r1[k], expected1[k]) << "residual " << k;

    // New admittances 1-i at B0 (and 5 at the held node) without recording again.
    n.f.new_dynamic(std::vector<double>{1, -1, 5, 0});
    std::vector<double> expected2 = at_start;
    expected2[4] = -2.0 + 0.25;  // (1-i)(0.5-0.25i) = 0.25-0.75i
    expected2[5] = -1.0 - 0.75;
    const std::vector<double> r2 = n.f.Forward(0, n.x0);
    for (std::size_t k = 0; k < 12; ++k) EXPECT_DOUBLE_EQ(r2[k], expected2[k]) << "residual " << k;
}

TEST(NetworkResiduals, ComplexDoubleCurrentsReadThroughTheLinks) {
    SwitchedBuses n;
    n.record();
    n.x_values[6] = 7.0;   // switch conductor 0, real part
    n.p_values[0] = 3.0;   // shunt admittance at B0, real part
    for (Element* e : n.net->elements) e->compute_currents(false);
    EXPECT_EQ(n.s.side1[0]->current, cd(7, 1));
    EXPECT_EQ(n.s.side2[0]->current, cd(-7, -1));
    EXPECT_EQ(n.y.ports[0].current, cd(3, 1) * cd(0.5, -0.25));
    EXPECT_EQ(n.y.ports[1].current, cd(0));
    EXPECT_EQ(n.d.ports[0].current, cd(0.5, -0.5));
}

TEST(ElementsOfIndices, NamesTheElementsBehindIndices) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        std::vector<long> indices;
        std::function<void(SwitchedBuses&)> change;
        std::vector<int> expected;
    };
    const auto none = [](SwitchedBuses&) {};
    const Case cases[] = {
        {"free node with finite currents: its first port's element", {0, 1}, none, {0}},
        {"second bus node", {4, 5}, none, {1}},
        {"switch block, both ends", {6, 9}, none, {2}},
        {"delta reference block", {10, 11}, none, {4}},
        {"past the last block: the last element", {12, 40}, none, {5}},
        {"mixed, each position once, ascending", {0, 1, 2, 4, 6, 7, 10}, none, {0, 1, 2, 4}},
        {"a NaN current names its element only",
         {4},
         [nan](SwitchedBuses& n) { n.y.ports[0].current_ad = ADComplex(AD(0.0), AD(nan)); },
         {3}},
        {"NaN currents of several ports",
         {0},
         [nan](SwitchedBuses& n) {
             n.s.side1[0]->current_ad = ADComplex(AD(nan), AD(0.0));
             n.d.ports[0].current_ad = ADComplex(AD(nan), AD(nan));
         },
         {2, 4}},
        {"first port taken out of the node",
         {0},
         [](SwitchedBuses& n) { n.a.ports[0].connection->remove_port(&n.a.ports[0]); },
         {2}},
        {"node without any listed port adds nothing",
         {0, 1, 6},
         [](SwitchedBuses& n) {
             const std::shared_ptr<Connection> node = n.a.ports[0].connection;
             for (const Port* p : std::vector<Port*>(node->ports)) node->remove_port(p);
         },
         {2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SwitchedBuses n;
        n.record();
        c.change(n);
        EXPECT_EQ(n.net->elements_of_indices(c.indices), c.expected);
    }
}

TEST(ElementsOfIndices, NaNAtAnElementOutsideTheNetworkNamesNothing) {
    SwitchedBuses n;
    n.record();
    Ground stray;
    join(n.a.ports[1], stray.ports[0]);
    stray.ports[0].current_ad = ADComplex(AD(std::numeric_limits<double>::quiet_NaN()), AD(0.0));
    EXPECT_TRUE(n.net->elements_of_indices({2}).empty());
}

}  // namespace

namespace {

// What the network says of its topology: nothing, or the message of its refusal.
std::string topology(ElectricalNetwork& network) {
    try {
        network.check_topology();
        return "unchanged";
    } catch (const std::invalid_argument& e) {
        return e.what() == std::string("the network's elements were joined after it was built: build a new network")
                   ? "joined"
                   : e.what() == std::string(
                                     "the network's elements were disconnected after it was built: build a new network")
                         ? "disconnected"
                         : e.what();
    }
}

struct TopologyCase {
    const char* what;
    std::function<void(Bus& listed, Bus& other, Bus& unlisted)> change;
    const char* found;
};

class NetworkTopology : public ::testing::TestWithParam<TopologyCase> {};

// Two listed buses a and b; a third, unlisted, already joined to a's first node at the build.
TEST_P(NetworkTopology, ChangesThatTouchTheNetworkAreFound) {
    const cd v[2] = {1.0, 2.0};
    Bus a(2, v), b(2, v), unlisted(2, v);
    join(a.ports[0], unlisted.ports[0]);
    ElectricalNetwork network({&a, &b});
    ASSERT_EQ(topology(network), "unchanged");
    GetParam().change(a, b, unlisted);
    EXPECT_EQ(topology(network), GetParam().found);
    EXPECT_EQ(topology(network), GetParam().found);  // found again, not only once
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkTopology,
    ::testing::Values(
        TopologyCase{"a listed port disconnected", [](Bus& a, Bus&, Bus&) { a.disconnect(); }, "disconnected"},
        TopologyCase{"two listed nodes joined", [](Bus& a, Bus& b, Bus&) { join(a.ports[1], b.ports[1]); },
                     "joined"},
        TopologyCase{"a listed node absorbed by an outside one",
                     [](Bus&, Bus& b, Bus& unlisted) { join(unlisted.ports[1], b.ports[0]); }, "joined"},
        TopologyCase{"an outside port joined to a listed node",
                     [](Bus&, Bus& b, Bus& unlisted) { join(b.ports[0], unlisted.ports[1]); }, "joined"},
        TopologyCase{"an unlisted port disconnected from a listed node",
                     [](Bus&, Bus&, Bus& unlisted) { unlisted.disconnect(); }, "unchanged"},
        TopologyCase{"an emptied node held at zero merged into a listed node",
                     [](Bus&, Bus& b, Bus&) {
                         const cd v[1] = {0.0};
                         Bus x(1, v);
                         auto ref = std::make_unique<PotentialRef>();
                         join(ref->ports[0], x.ports[0]);
                         ref.reset();      // a reference that goes away leaves its node held
                         x.disconnect();   // x's port still points at that node, which lists nothing
                         join(b.ports[0], x.ports[0]);
                     },
                     "joined"},
        TopologyCase{"outside elements joined to each other", [](Bus&, Bus&, Bus&) {
                         const cd v[1] = {0.0};
                         Bus x(1, v), y(1, v);
                         join(x.ports[0], y.ports[0]);
                     }, "unchanged"}),
    described_case<TopologyCase>);

TEST(NetworkTopology, AnUnlistedElementGoingAwayChangesNothing) {
    const cd v[1] = {1.0};
    Bus listed(1, v);
    auto unlisted = std::make_unique<Bus>(1, v);
    join(listed.ports[0], unlisted->ports[0]);
    ElectricalNetwork network({&listed});
    unlisted.reset();
    EXPECT_EQ(topology(network), "unchanged");
}

TEST(NetworkTopology, AnElementDisconnectedBeforeTheBuildIsDetached) {
    const cd v[1] = {1.0};
    Bus kept(1, v), gone(1, v);
    join(kept.ports[0], gone.ports[0]);
    gone.disconnect();
    ElectricalNetwork network({&kept, &gone});
    EXPECT_EQ(network.detached, std::vector<Element*>{&gone});
    EXPECT_EQ(topology(network), "unchanged");
}

}  // namespace
