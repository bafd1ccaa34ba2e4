#pragma once
// Base of every solver: the value vectors the network's records are linked to.
#include <utility>

#include "network/network.hpp"
#include "solvers/sweep_plan.hpp"

class AbstractSolver {
public:
    ElectricalNetwork* network;  // not owned
    VectorXd variables;
    VectorXd initial_variables;
    VectorXd parameters;

    explicit AbstractSolver(ElectricalNetwork* network);
    // Unlinks the network's records when the binding in force is this solver's, so nothing keeps
    // reading the freed vectors.
    virtual ~AbstractSolver();

    virtual std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) = 0;

    // Restores the variables of the end of construction, in place.
    void reset_inputs();
    // Copies variables.size() values into the variables, in place.
    void set_variables(const double* values);

    AbstractSolver(const AbstractSolver&) = delete;
    AbstractSolver& operator=(const AbstractSolver&) = delete;

protected:
    // The network's start values into variables and parameters (sizes fixed from then on).
    void load_initial_values();
    // The address the network records for a binding to this solver's vectors.
    const double* binding_key() const;
};

// One sweep per iteration: backward steps in reverse element order, then forward steps in order.
// A solve refuses what the sweep cannot solve, and reports convergence only over a load flow.
class BackwardForward : public AbstractSolver {
public:
    explicit BackwardForward(ElectricalNetwork* network);
    std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;

private:
    SweepPlan plan;
};
