// The sweep over elements listed in any order: the same steps as over the source-to-leaves list.
#include <algorithm>
#include <memory>
#include <random>

#include <gtest/gtest.h>

#include "../../benchmarks/feeder.hpp"
#include "solver_test_support.hpp"

namespace {

// Every port current and every bus potential, in the feeder's own order (not the network's).
std::vector<std::complex<double>> state(const feeder::Feeder& f) {
    std::vector<std::complex<double>> v;
    for (const Bus* b : f.buses)
        for (const Port& p : b->ports) v.push_back(p.connection->get_potential());
    for (const auto& e : f.owned)
        for (const Port& p : e->ports) v.push_back(p.current);
    return v;
}

TEST(SweepOrder, AnyListingSweepsLikeTheSourceToLeavesOneToTheBit) {
    feeder::Options o;
    o.buses = 15;
    o.load_kinds.push_back(feeder::LoadKind::flexible);
    const auto reference = feeder::build(o);
    BackwardForward ordered(reference->network.get());
    const auto first = ordered.solve_load_flow(500, 1e-11);
    const auto first_state = state(*reference);
    reference->scale_loads(1.3);
    const auto second = ordered.solve_load_flow(500, 1e-11);
    const auto second_state = state(*reference);

    std::mt19937 rng(11);
    for (int trial = 0; trial < 12; ++trial) {
        SCOPED_TRACE(trial);
        const auto f = feeder::build(o);
        std::vector<Element*> list = f->network->elements;
        if (trial == 0)
            std::reverse(list.begin(), list.end());
        else
            std::shuffle(list.begin(), list.end(), rng);
        ElectricalNetwork network(std::move(list));
        BackwardForward solver(&network);
        EXPECT_EQ(solver.solve_load_flow(500, 1e-11), first);
        EXPECT_EQ(state(*f), first_state);
        f->scale_loads(1.3);
        EXPECT_EQ(solver.solve_load_flow(500, 1e-11), second);
        EXPECT_EQ(state(*f), second_state);
    }
}

// A line whose far bus is held at zero on its second conductor, by a reference listed where the
// user put it: the sweep cannot move that node, so it refuses before changing anything.
TEST(SweepOrder, ARefusedNetworkIsLeftAsItWas) {
    const std::complex<double> u[1] = {230.0};
    const std::complex<double> start[2] = {{230.0, 0.0}, {0.0, 0.0}};
    const std::complex<double> z[4] = {{0.1, 0.05}, {0.0, 0.02}, {0.0, 0.02}, {0.1, 0.05}};
    const std::complex<double> s[1] = {3000.0};
    VoltageSource source(2, u);
    PotentialRef near_ref;
    PotentialRef far_ref;
    Bus near(2, start);
    Bus far(2, start);
    SimplifiedLine line(2, z);
    PowerLoad load(2, s);
    feeder::join(near.ports[0], source.ports[0]);
    feeder::join(near.ports[1], source.ports[1]);
    feeder::join(near.ports[1], near_ref.ports[0]);
    for (int k = 0; k < 2; ++k) {
        feeder::join(near.ports[k], *line.side1[k]);
        feeder::join(far.ports[k], *line.side2[k]);
        feeder::join(far.ports[k], load.ports[k]);
    }
    feeder::join(far.ports[1], far_ref.ports[0]);
    ElectricalNetwork network({&source, &near_ref, &near, &line, &far, &far_ref, &load});
    BackwardForward solver(&network);
    const auto before = solver.variables;
    EXPECT_EQ(failure_of(solver, 100, 1e-9),
              "2 A potential reference holds at zero the node whose potential port 3 of the line at position 3 "
              "imposes: a mesh through the reference, such as a conductor held at zero at both ends. Solve it by "
              "Newton-Goldstein. ");
    EXPECT_EQ(solver.variables, before);
    for (const Port& p : load.ports) EXPECT_EQ(p.current, 0.0);
}

}  // namespace
