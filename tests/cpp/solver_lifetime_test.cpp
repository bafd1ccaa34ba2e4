// What a solver leaves behind: the network's records stop pointing into a solver that is gone.
#include <memory>

#include <gtest/gtest.h>

#include "elements/bus.hpp"
#include "solvers/abstract_solver.hpp"
#include "solvers/newton.hpp"
#include "solver_test_support.hpp"

namespace {
class SolverLifetime : public ::testing::TestWithParam<SolverKind> {
protected:
    std::complex<double> start[2] = {{230.0, 1.0}, {-115.0, 2.0}};
    Bus bus{2, start};
    ElectricalNetwork network{{&bus}};
    Connection& node() { return *bus.ports[1].connection; }
};

TEST_P(SolverLifetime, DestructionUnlinksTheRecords) {
    {
        auto solver = make_solver(GetParam(), &network);
        ASSERT_TRUE(node().potential.linked);
        solver->variables[2] = 7.0;
        EXPECT_EQ(node().get_potential(), std::complex<double>(7.0, 2.0));
    }
    EXPECT_FALSE(node().potential.linked);
    EXPECT_EQ(network.bound_to(), nullptr);
    // The record reads its own value again.
    EXPECT_EQ(node().get_potential(), std::complex<double>(-115.0, 2.0));
    // A new solver binds again.
    auto again = make_solver(GetParam(), &network);
    EXPECT_TRUE(node().potential.linked);
}

TEST_P(SolverLifetime, AnOlderSolverLeavesTheNewerBinding) {
    auto older = make_solver(GetParam(), &network);
    auto newer = make_solver(GetParam(), &network);
    older.reset();
    ASSERT_TRUE(node().potential.linked);
    newer->variables[2] = 9.0;
    EXPECT_EQ(node().get_potential(), std::complex<double>(9.0, 2.0));
    newer.reset();
    EXPECT_FALSE(node().potential.linked);
}

TEST_P(SolverLifetime, ASolverOfAnotherNetworkKeepsTheSharedRecords) {
    // The bus sits in two networks; the newer network's solver bound its nodes last.
    std::complex<double> other_start[1] = {{1.0, 1.0}};
    Bus other{1, other_start};
    ElectricalNetwork second{{&bus, &other}};
    auto first_solver = make_solver(GetParam(), &network);
    auto second_solver = make_solver(GetParam(), &second);
    first_solver.reset();
    ASSERT_TRUE(node().potential.linked);
    second_solver->variables[2] = 5.0;
    EXPECT_EQ(node().get_potential(), std::complex<double>(5.0, 2.0));
    EXPECT_EQ(second.bound_to(), second_solver->variables.data());
    second_solver.reset();
    EXPECT_FALSE(node().potential.linked);
    EXPECT_FALSE(other.ports[0].connection->potential.linked);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SolverLifetime,
                         ::testing::ValuesIn(all_solver_kinds), solver_param_name);

// An element that fails while its equations are recorded.
class FailingElement : public Element {
public:
    FailingElement() : Element(1) {}
    void compute_currents(bool on_tape) override {
        if (on_tape) throw std::runtime_error("cannot record");
    }
};

TEST(SolverLifetime, FailedRecordingLeavesNothingBehind) {
    std::complex<double> v[1] = {1.0};
    Bus bus(1, v);
    FailingElement failing;
    ElectricalNetwork bad({&bus, &failing});
    const std::size_t in_use = CppAD::thread_alloc::inuse(0);
    EXPECT_THROW(Newton(&bad, false), std::runtime_error);
    // The partial recording is gone with its memory.
    EXPECT_EQ(CppAD::thread_alloc::inuse(0), in_use);
    EXPECT_FALSE(bus.ports[0].connection->potential.linked);
    // The aborted recording does not block the next one.
    ElectricalNetwork good({&bus});
    Newton newton(&good, false);
    EXPECT_EQ(newton.get_residuals().size(), 2);
    EXPECT_EQ(newton.solve_load_flow(3, 0.0), std::make_pair(0, 0.0));
    // Nothing of the failed recording is left in the next one.
    Newton again(&good, false);
    EXPECT_EQ(newton.tape.size_op(), again.tape.size_op());
    EXPECT_EQ(newton.tape.size_var(), again.tape.size_var());
}
}  // namespace
