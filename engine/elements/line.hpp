#pragma once
// Lines: the series-impedance line and the pi-section (shunt) line.
#include <stdexcept>

#include "elements/branch.hpp"

// Base of the line kinds. Refuses a line without conductors before any port exists.
template <class T>
class Line : public Branch {
public:
    using Branch::Branch;

protected:
    // n itself when it is a usable conductor count; a negative count fails like every other count.
    static int conductors(int n) {
        check_count(n);
        if (n == 0) throw std::invalid_argument("a line needs at least one conductor");
        return n;
    }
};

// n conductors, side 1 = ports 0..n-1, side 2 = ports n..2n-1; I1 = y_line (V1 - V2), I2 = -I1.
class SimplifiedLine : public Line<SimplifiedLine> {
public:
    ComplexMatrixParameter y_line;  // inverse of z_line, n x n

    // z_line: n x n values, row by row.
    SimplifiedLine(int n, const std::complex<double>* z_line);

    void collect_parameters(std::vector<double>& values) override;
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override;
    void compute_currents(bool on_tape) override;
    void backward_step() override;
    double forward_step() override;
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;

    // Same layout as the constructor's z_line, n x n values for the line's own n.
    void update_line_parameters(const std::complex<double>* z_line);
};

// The seven admittance parameters of a pi section, in collection order.
struct ShuntLineMatrices {
    Eigen::MatrixXcd y11, y12, y21, y22, yg, y2g, y1g;
};

// n conductors on each side plus a ground port (port 2n) that belongs to no side.
class ShuntLine : public Line<ShuntLine> {
public:
    Port* ground_port;
    ComplexMatrixParameter y11, y12, y21, y22;
    ComplexVectorParameter yg;
    ComplexMatrixParameter y2g, y1g;
    // Chain matrices of the section with its shunt halves returned to zero potential:
    // V2 = A V1 - B I1, I1 = C V2 - D I2.
    Eigen::MatrixXcd matrix_a, matrix_b, matrix_c, matrix_d;
    int n;
    std::complex<double> scalar_a, scalar_b, scalar_c, scalar_d;

    // What the one-conductor sweep works on, stored by bind_variables. Used only while
    // one_conductor_pointers_valid() holds.
    std::vector<std::complex<double>*> downstream_currents;
    double* side1_potential = nullptr;
    double* side2_potential = nullptr;
    std::complex<double>* side1_current = nullptr;
    std::complex<double>* side2_current = nullptr;
    std::complex<double>* ground_current = nullptr;
    // The side-2 node's port list when the pointers were stored.
    std::vector<Port*> bound_side2_ports;

    // y_shunt, z_line: n x n values each, row by row.
    ShuntLine(int n, const std::complex<double>* y_shunt, const std::complex<double>* z_line);

    // Also refreshes the chain matrices and their (0, 0) entries.
    ShuntLineMatrices compute_matrices(int n, const std::complex<double>* y_shunt, const std::complex<double>* z_line);

    void collect_parameters(std::vector<double>& values) override;
    void bind_variables(ADVector& x, VectorXd& x_values, int& index) override;
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override;
    void compute_currents(bool on_tape) override;
    void backward_step() override;
    double forward_step() override;
    // The ground port is taken at zero.
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;

    void update_line_parameters(const std::complex<double>* y_shunt, const std::complex<double>* z_line);

    // True while the stored pointers describe the binding in force and the side-2 node as bound.
    bool one_conductor_pointers_valid() const;

private:
    void backward_step_general();
    double forward_step_general();
};
