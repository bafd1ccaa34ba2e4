// Branch sides, the side-current and downstream-current rules, and the two switches.
#include <gtest/gtest.h>

#include <optional>

#include "elements/branch.hpp"
#include "elements/bus.hpp"
#include "network/network.hpp"

namespace {

using cd = std::complex<double>;

double value_of(const AD& a) { return CppAD::Value(CppAD::Var2Par(a)); }
cd value_of(const ADComplex& a) { return {value_of(a.real()), value_of(a.imag())}; }
void join(Port& absorbing, Port& absorbed) { absorbing.connection->merge(absorbed.connection); }

class BranchProbe : public Branch {
public:
    BranchProbe(int n1, int n2) : Branch(n1, n2) {}
    BranchProbe(int n1, int n2, int n3) : Branch(n1, n2, n3) {}
    void compute_currents(bool) override {}
};

class Probe : public ElementImpl<Probe> {
public:
    explicit Probe(int n) : ElementImpl<Probe>(n) {}
    void compute_currents(bool) override {}
};

TEST(BranchSides, PortsSplitInPortOrder) {
    struct Case {
        int n1, n2, n3;
        bool two_argument_constructor;
    };
    const Case cases[] = {
        {2, 3, 0, true}, {3, 3, 1, false}, {0, 2, 0, true}, {2, 0, 1, false}, {0, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n1 << "," << c.n2 << "," << c.n3);
        const BranchProbe b = c.two_argument_constructor ? BranchProbe(c.n1, c.n2) : BranchProbe(c.n1, c.n2, c.n3);
        ASSERT_EQ(b.ports.size(), static_cast<std::size_t>(c.n1 + c.n2 + c.n3));
        ASSERT_EQ(b.side1.size(), static_cast<std::size_t>(c.n1));
        ASSERT_EQ(b.side2.size(), static_cast<std::size_t>(c.n2));
        for (int k = 0; k < c.n1; ++k) EXPECT_EQ(b.side1[static_cast<std::size_t>(k)], &b.ports[static_cast<std::size_t>(k)]);
        for (int k = 0; k < c.n2; ++k)
            EXPECT_EQ(b.side2[static_cast<std::size_t>(k)], &b.ports[static_cast<std::size_t>(c.n1 + k)]);
    }
}

// A side of m ports given a list of values; nullopt marks a port the rule leaves as it was.
struct SideCase {
    const char* what;
    int ports;
    std::vector<cd> values;
    std::vector<std::optional<cd>> expected;
};

const cd ia(1, 2), ib(-3, 0.5), ic(4, -1);
const cd untouched(100, 100);

std::vector<SideCase> side_cases() {
    return {
        {"one value fewer than ports: the last port returns the sum", 3, {ia, ib}, {ia, ib, -(ia + ib)}},
        {"as many values as ports: no sum", 3, {ia, ib, ic}, {ia, ib, ic}},
        {"one value on three ports: the middle port is left", 3, {ia}, {ia, std::nullopt, -ia}},
        {"no value on two ports: the last gets zero", 2, {}, {std::nullopt, cd(0)}},
        {"single port, single value", 1, {ia}, {ia}},
        {"empty side", 0, {}, {}},
    };
}

Eigen::VectorXcd to_vector(const std::vector<cd>& v) {
    Eigen::VectorXcd out(static_cast<Eigen::Index>(v.size()));
    for (std::size_t k = 0; k < v.size(); ++k) out[static_cast<Eigen::Index>(k)] = v[k];
    return out;
}
ADComplexVector to_ad_vector(const std::vector<cd>& v) {
    ADComplexVector out(static_cast<Eigen::Index>(v.size()));
    for (std::size_t k = 0; k < v.size(); ++k)
        out[static_cast<Eigen::Index>(k)] = ADComplex(AD(v[k].real()), AD(v[k].imag()));
    return out;
}

void expect_side(const std::vector<Port*>& side, const SideCase& sc, bool on_tape) {
    ASSERT_EQ(side.size(), sc.expected.size());
    for (std::size_t k = 0; k < side.size(); ++k) {
        const cd written = on_tape ? value_of(side[k]->current_ad) : side[k]->current;
        const cd other = on_tape ? side[k]->current : value_of(side[k]->current_ad);
        EXPECT_EQ(written, sc.expected[k].value_or(untouched)) << "port " << k;
        EXPECT_EQ(other, untouched) << "port " << k << " in the other representation";
    }
}

TEST(SideCurrentRule, BothRepresentationsOnBothSides) {
    const std::vector<SideCase> cases = side_cases();
    for (bool on_tape : {true, false}) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            // Each case on side 1, the next one on side 2, and a port in neither group.
            const SideCase& s1 = cases[i];
            const SideCase& s2 = cases[(i + 1) % cases.size()];
            SCOPED_TRACE(testing::Message() << (on_tape ? "tape: " : "doubles: ") << s1.what << " / " << s2.what);
            BranchProbe br(s1.ports, s2.ports, 1);
            for (Port& p : br.ports) {
                p.current = untouched;
                p.current_ad = ADComplex(AD(untouched.real()), AD(untouched.imag()));
            }
            if (on_tape)
                br.set_side_currents_ad(to_ad_vector(s1.values), to_ad_vector(s2.values));
            else
                br.set_side_currents(to_vector(s1.values), to_vector(s2.values));
            expect_side(br.side1, s1, on_tape);
            expect_side(br.side2, s2, on_tape);
            EXPECT_EQ(br.ports.back().current, untouched);
            EXPECT_EQ(value_of(br.ports.back().current_ad), untouched);
        }
    }
}

TEST(DownstreamCurrentRule, MinusTheOtherCurrentsAtTheNode) {
    struct Case {
        std::vector<cd> others;
        cd expected;
    };
    const Case cases[] = {
        {{}, cd(0)},
        {{cd(1, 0), cd(2, 1)}, cd(-3, -1)},
        {{cd(5, 0), cd(-2, 0)}, cd(-3, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.others.size());
        Probe target(1);
        Probe others(static_cast<int>(c.others.size()));
        for (std::size_t k = 0; k < c.others.size(); ++k) {
            join(target.ports[0], others.ports[k]);
            others.ports[k].current = c.others[k];
        }
        target.ports[0].current = cd(100, 100);  // its own earlier current does not count
        EXPECT_EQ(downstream_current(target.ports[0]), c.expected);
        apply_downstream_current(target.ports[0]);
        EXPECT_EQ(target.ports[0].current, c.expected);
        cd sum = 0;
        for (const Port* p : target.ports[0].connection->ports) sum += p->current;
        EXPECT_EQ(sum, cd(0));
    }
}

// A switch of 3 conductors whose side nodes are bound to differentiable constants; the side 2
// node of conductor 1 is held at zero.
struct BoundSwitch {
    Switch sw{3};
    ADVector x;
    VectorXd x_values;
    int index = 0;
    BoundSwitch() {
        sw.side2[1]->connection->is_zero = true;
        for (int k = 0; k < 3; ++k) sw.currents[static_cast<std::size_t>(k)].set_value(cd(k + 1, -(k + 1)));
        // Nodes: side 1 conductor k at 10k + 1 + 2i, side 2 at k + 0.5i, then the 6 current doubles.
        for (int k = 0; k < 3; ++k) x.insert(x.end(), {AD(10.0 * k + 1), AD(2.0)});
        for (int k = 0; k < 3; ++k) x.insert(x.end(), {AD(1.0 * k), AD(0.5)});
        for (int k = 0; k < 6; ++k) x.push_back(AD(100.0 + k));
        x_values.resize(static_cast<Eigen::Index>(x.size()));
        for (std::size_t k = 0; k < x.size(); ++k) x_values[static_cast<Eigen::Index>(k)] = value_of(x[k]);
        for (Port* p : sw.side1) p->connection->potential.bind(x, x_values, index);
        for (Port* p : sw.side2) p->connection->potential.bind(x, x_values, index);
    }
};

TEST(SwitchElement, CurrentVariablesAndPotentialEquations) {
    BoundSwitch s;
    std::vector<double> values;
    s.sw.collect_variables(values);
    EXPECT_EQ(values, (std::vector<double>{1, -1, 2, -2, 3, -3}));
    std::vector<double> parameters;
    s.sw.collect_parameters(parameters);
    EXPECT_TRUE(parameters.empty());

    s.sw.bind_variables(s.x, s.x_values, s.index);
    EXPECT_EQ(s.index, 18);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(s.sw.currents[k].linked_value, s.x_values.data() + 12 + 2 * k);

    ADVector residuals(8, AD(-1.0));
    int at = 1;
    s.sw.add_residuals(residuals, at);
    EXPECT_EQ(at, 7);
    const std::vector<double> expected = {-1, 1 - 0, 2 - 0.5, 11 - 0, 2 - 0, 21 - 2, 2 - 0.5, -1};
    for (std::size_t k = 0; k < residuals.size(); ++k) EXPECT_EQ(value_of(residuals[k]), expected[k]) << k;
}

TEST(SwitchElement, SidesCarryOppositeCurrentsInBothModes) {
    BoundSwitch s;
    s.sw.bind_variables(s.x, s.x_values, s.index);
    s.sw.compute_currents(true);
    for (std::size_t k = 0; k < 3; ++k) {
        const cd i(100.0 + 2 * k, 101.0 + 2 * k);
        EXPECT_EQ(value_of(s.sw.side1[k]->current_ad), i);
        EXPECT_EQ(value_of(s.sw.side2[k]->current_ad), -i);
    }
    s.x_values[14] = -7.0;  // conductor 1, real part, as a solve left it
    s.sw.compute_currents(false);
    for (std::size_t k = 0; k < 3; ++k) {
        const cd i(k == 1 ? -7.0 : 100.0 + 2 * k, 101.0 + 2 * k);
        EXPECT_EQ(s.sw.side1[k]->current, i);
        EXPECT_EQ(s.sw.side2[k]->current, -i);
    }
    // The own values keep their start values.
    EXPECT_EQ(s.sw.currents[1].value, cd(2, -2));
}

TEST(SwitchElement, BackwardStepTakesSideTwoFromItsNodes) {
    Switch sw(2);
    Probe downstream(2);
    Probe upstream(1);
    join(*sw.side2[0], downstream.ports[0]);
    join(*sw.side2[0], downstream.ports[1]);
    join(*sw.side1[0], upstream.ports[0]);
    downstream.ports[0].current = 5.0;
    downstream.ports[1].current = -2.0;
    upstream.ports[0].current = 40.0;  // upstream currents play no part
    for (Port& p : sw.ports) p.current = cd(9, 9);
    sw.backward_step();
    EXPECT_EQ(sw.side2[0]->current, cd(-3));
    EXPECT_EQ(sw.side1[0]->current, cd(3));
    EXPECT_EQ(sw.side2[1]->current, cd(0));
    EXPECT_EQ(sw.side1[1]->current, cd(0));
}

TEST(SwitchElement, ForwardStepCopiesSideOnePotentials) {
    BoundSwitch s;
    s.sw.side1[2]->connection->is_zero = true;
    // It reports how far side 2 moved (from 0 to 11 + 2j at most), as a line does: loads right on
    // side 2 computed their currents before the move.
    EXPECT_EQ(s.sw.forward_step(), 11.0);
    const cd expected[3] = {{1, 2}, {11, 2}, {0, 0}};
    for (std::size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const Connection& side2 = *s.sw.side2[k]->connection;
        EXPECT_EQ(side2.potential.value, expected[k]);
        EXPECT_EQ(cd(s.x_values[static_cast<Eigen::Index>(6 + 2 * k)], s.x_values[static_cast<Eigen::Index>(7 + 2 * k)]),
                  expected[k]);
        EXPECT_EQ(s.sw.side1[k]->connection->potential.value, cd(0));  // own values untouched
    }
    EXPECT_EQ(s.sw.side2[0]->connection->get_potential(), cd(1, 2));
}

TEST(SwitchElement, InANetworkAddsTwoVariablesPerConductor) {
    const cd v[3] = {{1, 0}, {2, 0}, {3, 0}};
    Bus a(3, v);
    Bus b(3, v);
    Switch sw(3);
    for (std::size_t k = 0; k < 3; ++k) {
        join(a.ports[k], *sw.side1[k]);
        join(b.ports[k], *sw.side2[k]);
    }
    ElectricalNetwork net({&a, &b, &sw});
    EXPECT_EQ(net.get_initial_values().first.size(), 18u);
}

TEST(OpenSwitchElement, NoCurrentNoVariableNoEquation) {
    const cd v[2] = {{1, 0}, {2, 0}};
    Bus a(2, v);
    Bus b(2, v);
    OpenSwitch open(2);
    for (std::size_t k = 0; k < 2; ++k) {
        join(a.ports[k], *open.side1[k]);
        join(b.ports[k], *open.side2[k]);
    }
    for (std::size_t k = 0; k < 2; ++k) EXPECT_NE(open.side1[k]->connection, open.side2[k]->connection);
    ElectricalNetwork net({&a, &b, &open});
    EXPECT_EQ(net.get_initial_values().first.size(), 8u);
    ADVector residuals(1, AD(-1.0));
    int at = 0;
    open.add_residuals(residuals, at);
    EXPECT_EQ(at, 0);

    for (Port& p : open.ports) {
        p.current = cd(9, 9);
        p.current_ad = ADComplex(AD(9.0), AD(9.0));
    }
    open.compute_currents(true);
    for (const Port& p : open.ports) EXPECT_EQ(value_of(p.current_ad), cd(0));
    open.compute_currents(false);
    for (const Port& p : open.ports) EXPECT_EQ(p.current, cd(0));
    for (Port& p : open.ports) p.current = cd(9, 9);
    open.backward_step();
    for (const Port& p : open.ports) EXPECT_EQ(p.current, cd(0));
    EXPECT_EQ(open.forward_step(), 0.0);
    EXPECT_EQ(b.ports[1].connection->get_potential(), cd(2, 0));
}

}  // namespace
