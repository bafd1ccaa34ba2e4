#pragma once
// Newton-family solvers: the residual equations recorded once on a CppAD tape, a sparse Jacobian by
// forward-mode differentiation and a sparse LU solve at each iteration.
#include <ios>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/SparseCore>

#include "solvers/abstract_solver.hpp"

using IndexVector = std::vector<int>;

// Time and minor page faults of each part of the Newton loop, added up over every call made while
// it is attached to a solver. Only the benchmarks attach one; without it the loop samples nothing.
struct NewtonProfile {
    struct Part {
        double seconds = 0.0;
        long faults = 0;
        long calls = 0;
    };
    Part parameters;     // the parameter values into the tape
    Part residuals;      // zero-order evaluations, line-search trials included
    Part pattern;        // sparsity pattern, until the first LU analysis
    Part jacobian;       // Jacobian values (the column colouring on first use included)
    Part analysis;       // symbolic LU analysis
    Part factorisation;  // numeric LU factorisation
    Part triangular;     // triangular solves
    Part update;         // the step, its residual evaluations not counted
    Part currents;       // port currents after the loop
};

// Between solves a solver keeps what its next solve needs: the Jacobian matrix and the LU's storage,
// and, in CppAD's pool, the blocks its Taylor coefficients and direction vectors take in an
// iteration. A dying Newton-family solver hands the pool back to the system.
class AbstractNewton : public AbstractSolver {
public:
    CppAD::ADFun<double> tape;
    // Emptied (its dimensions kept) once the columns are coloured and the LU pattern analysed:
    // nothing reads it then, and subset holds the same entries.
    CppAD::sparse_rc<IndexVector> pattern;
    CppAD::sparse_rcv<IndexVector, VectorXd> subset;
    CppAD::sparse_jac_work work;
    bool pattern_analysed = false;
    NewtonProfile* profile = nullptr;  // not owned

    AbstractNewton(ElectricalNetwork* network, bool optimize_tape);
    ~AbstractNewton() override;

    std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;

    // Residuals and Jacobian at the present variables, with the parameters loaded by the last
    // solve (or recorded, before any). They install no error handler.
    VectorXd get_residuals();
    Eigen::SparseMatrix<double> compute_jacobian();
    // Dense Jacobian, row by row (row i holds the derivatives of residual i): n * n values into out.
    void dense_jacobian(double* out);

    // The Jacobian to prefix + ".mtx" and the residuals to prefix + "_b.mtx" (MatrixMarket).
    // Throws MatrixExportError naming the files it could not write, after trying both.
    void save_matrix(const std::string& prefix);
    // Elements behind the Jacobian's empty columns, then behind its rows holding a non-finite value.
    std::pair<std::vector<int>, std::vector<int>> analyse_jacobian();

    // Non-zeros of the L and U factors of the last factorisation; (0, 0) before the first.
    std::pair<long, long> factor_nonzeros() const;

    // Moves the variables along -dx and leaves the residuals of the new point in residuals.
    virtual void update_variables(const Eigen::SparseMatrix<double>& jacobian, const VectorXd& dx,
                                  VectorXd& residuals) = 0;
    // What a refusal of run-away potentials advises, where the network may have a load flow.
    virtual const char* where_a_solution_exists() const = 0;

private:
    // The Jacobian at the present variables, in a matrix kept from one evaluation to the next once
    // the pattern is settled.
    const Eigen::SparseMatrix<double>& evaluate_jacobian();
    // The Jacobian values into subset once the columns are coloured.
    void coloured_jacobian_values();
    // Maps the entries of the settled pattern onto the storage of the present matrix, so the next
    // evaluations write their values in place.
    void map_storage();
    // Throws when a converged solve met the tolerance at a potential that ran away.
    void check_run_away(const VectorXd& f, double tolerance) const;
    // update_variables, with its share of the profile.
    void step(const Eigen::SparseMatrix<double>& j, const VectorXd& dx, VectorXd& f);

    struct LinearSolver;  // the sparse LU, kept out of this header
    std::unique_ptr<LinearSolver> solver;
    static constexpr std::size_t group_size = 30;  // Jacobian columns per forward sweep, at most
    bool factorised = false;
    Eigen::SparseMatrix<double> jacobian;  // the last evaluation
    std::vector<int> storage_of_entry;    // where jacobian stores entry k of subset, once settled
};

class Newton : public AbstractNewton {
public:
    Newton(ElectricalNetwork* network, bool optimize_tape);
    void update_variables(const Eigen::SparseMatrix<double>& jacobian, const VectorXd& dx,
                          VectorXd& residuals) override;
    const char* where_a_solution_exists() const override;
};

class NewtonGoldstein : public AbstractNewton {
public:
    double m1;
    double m2;
    bool weighted_merit;

    NewtonGoldstein(ElectricalNetwork* network, bool optimize_tape, double m1, double m2, bool weighted_merit);
    void update_variables(const Eigen::SparseMatrix<double>& jacobian, const VectorXd& dx,
                          VectorXd& residuals) override;
    const char* where_a_solution_exists() const override;
};

// save_matrix could not write one or both files. what() is exactly the message given, without the
// suffix std::ios_base::failure adds.
class MatrixExportError : public std::ios_base::failure {
public:
    explicit MatrixExportError(const std::string& message);
    const char* what() const noexcept override;

private:
    std::string message_;
};
