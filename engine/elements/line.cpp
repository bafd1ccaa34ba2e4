#include "elements/line.hpp"

#include <cmath>
#include <limits>

namespace {
using Matrix = Eigen::MatrixXcd;
using Vector = Eigen::VectorXcd;

// n x n values stored row by row.
Matrix read_matrix(int n, const std::complex<double>* data) {
    Matrix m(n, n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) m(i, j) = data[i * n + j];
    return m;
}

ADComplexVector multiply(const ADComplexMatrix& m, const ADComplexVector& v) {
    ADComplexVector out(m.rows());
    for (Eigen::Index i = 0; i < m.rows(); ++i) {
        ADComplex sum = ad_zero();
        for (Eigen::Index j = 0; j < m.cols(); ++j) sum += m(i, j) * v[j];
        out[i] = sum;
    }
    return out;
}

ADComplexVector potentials_ad(const std::vector<Port*>& side) {
    ADComplexVector v(static_cast<Eigen::Index>(side.size()));
    for (std::size_t k = 0; k < side.size(); ++k) v[static_cast<Eigen::Index>(k)] = side[k]->connection->get_potential_ad();
    return v;
}

Vector potentials(const std::vector<Port*>& side) {
    Vector v(static_cast<Eigen::Index>(side.size()));
    for (std::size_t k = 0; k < side.size(); ++k) v[static_cast<Eigen::Index>(k)] = side[k]->connection->get_potential();
    return v;
}

Vector currents(const std::vector<Port*>& side) {
    Vector v(static_cast<Eigen::Index>(side.size()));
    for (std::size_t k = 0; k < side.size(); ++k) v[static_cast<Eigen::Index>(k)] = side[k]->current;
    return v;
}

// Writes the new side-2 potentials and returns the largest modulus of their change.
double write_side2_potentials(const std::vector<Port*>& side2, const Vector& v2_new) {
    const Vector v2_old = potentials(side2);
    double change = 0.0;
    for (Eigen::Index k = 0; k < v2_new.size(); ++k) {
        const std::complex<double> d = v2_new[k] - v2_old[k];
        change = larger_change(change, std::hypot(d.real(), d.imag()));
    }
    for (std::size_t k = 0; k < side2.size(); ++k)
        side2[k]->connection->set_potential(v2_new[static_cast<Eigen::Index>(k)]);
    return change;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// SimplifiedLine

SimplifiedLine::SimplifiedLine(int n, const std::complex<double>* z_line)
    : Line<SimplifiedLine>(conductors(n), n), y_line(read_matrix(n, z_line).inverse()) {}

void SimplifiedLine::collect_parameters(std::vector<double>& values) { y_line.collect(values); }

void SimplifiedLine::bind_parameters(ADVector& p, VectorXd& p_values, int& index) { y_line.bind(p, p_values, index); }

void SimplifiedLine::compute_currents(bool on_tape) {
    if (on_tape) {
        const ADComplexVector dv = potentials_ad(side1) - potentials_ad(side2);
        const ADComplexVector i1 = multiply(tape_matrix(y_line), dv);
        set_side_currents_ad(i1, -i1);
    } else {
        const Vector i1 = y_line.get_value() * (potentials(side1) - potentials(side2));
        set_side_currents(i1, -i1);
    }
}

void SimplifiedLine::backward_step() {
    for (Port* p : side2) apply_downstream_current(*p);
    for (std::size_t k = 0; k < side1.size(); ++k) side1[k]->current = -side2[k]->current;
}

double SimplifiedLine::forward_step() {
    // Inverted at every step: the admittance may have changed through the solver's parameters.
    const Matrix z = y_line.get_value().inverse();
    return write_side2_potentials(side2, potentials(side1) - z * currents(side1));
}

SweepRole SimplifiedLine::sweep_role(std::size_t k) const { return side_role(k); }
const char* SimplifiedLine::kind_name() const { return "line"; }

void SimplifiedLine::update_line_parameters(const std::complex<double>* z_line) {
    const int n = static_cast<int>(ports.size() / 2);
    y_line.set_value(read_matrix(n, z_line).inverse());
}

// ---------------------------------------------------------------------------------------------
// ShuntLine

ShuntLine::ShuntLine(int n_, const std::complex<double>* y_shunt, const std::complex<double>* z_line)
    : Line<ShuntLine>(conductors(n_), n_, 1), ground_port(&ports.back()), n(n_) {
    const ShuntLineMatrices m = compute_matrices(n, y_shunt, z_line);
    y11 = ComplexMatrixParameter(m.y11);
    y12 = ComplexMatrixParameter(m.y12);
    y21 = ComplexMatrixParameter(m.y21);
    y22 = ComplexMatrixParameter(m.y22);
    yg = ComplexVectorParameter(m.yg.col(0));
    y2g = ComplexMatrixParameter(m.y2g);
    y1g = ComplexMatrixParameter(m.y1g);
}

ShuntLineMatrices ShuntLine::compute_matrices(int n_, const std::complex<double>* y_shunt,
                                              const std::complex<double>* z_line) {
    const Matrix y = read_matrix(n_, y_shunt);
    const Matrix z = read_matrix(n_, z_line);
    const Matrix id = Matrix::Identity(n_, n_);

    matrix_a = id + (0.5 * z) * y;
    matrix_b = z;
    matrix_c = y + ((0.25 * y) * z) * y;
    matrix_d = id + (0.5 * y) * z;
    scalar_a = matrix_a(0, 0);
    scalar_b = matrix_b(0, 0);
    scalar_c = matrix_c(0, 0);
    scalar_d = matrix_d(0, 0);

    Matrix g(n_, 1);
    for (int j = 0; j < n_; ++j) {
        std::complex<double> row = 0.0;
        for (int k = 0; k < n_; ++k) row += y(j, k);
        g(j, 0) = -0.5 * row;
    }
    const Matrix t = z * g;
    const Matrix half_yz = (0.5 * y) * z;
    const Matrix w = 2.0 * g + half_yz * g;

    const Matrix b_inv = matrix_b.inverse();
    const Matrix d_b_inv = matrix_d * b_inv;
    ShuntLineMatrices out;
    out.y11 = d_b_inv;
    out.y12 = matrix_c - d_b_inv * matrix_a;
    out.y21 = -b_inv;
    out.y22 = b_inv * matrix_a;
    out.yg = g;
    out.y2g = w - d_b_inv * t;
    out.y1g = b_inv * t;
    return out;
}

void ShuntLine::collect_parameters(std::vector<double>& values) {
    y11.collect(values);
    y12.collect(values);
    y21.collect(values);
    y22.collect(values);
    yg.collect(values);
    y2g.collect(values);
    y1g.collect(values);
}

void ShuntLine::bind_variables(ADVector&, VectorXd&, int&) {
    // Called for every binding, unbinding included: the pointers always describe the latest one.
    const Connection& c1 = *side1[0]->connection;
    const Connection& c2 = *side2[0]->connection;
    side1_potential = !c1.is_zero && c1.potential.linked ? c1.potential.linked_value : nullptr;
    side2_potential = !c2.is_zero && c2.potential.linked ? c2.potential.linked_value : nullptr;
    side1_current = &side1[0]->current;
    side2_current = &side2[0]->current;
    ground_current = &ground_port->current;
    downstream_currents.clear();
    for (Port* p : c2.ports)
        if (p != side2[0]) downstream_currents.push_back(&p->current);
    bound_side2_ports = c2.ports;
}

void ShuntLine::bind_parameters(ADVector& p, VectorXd& p_values, int& index) {
    y11.bind(p, p_values, index);
    y12.bind(p, p_values, index);
    y21.bind(p, p_values, index);
    y22.bind(p, p_values, index);
    yg.bind(p, p_values, index);
    y2g.bind(p, p_values, index);
    y1g.bind(p, p_values, index);
}

void ShuntLine::compute_currents(bool on_tape) {
    if (on_tape) {
        const ADComplexVector v1 = potentials_ad(side1);
        const ADComplexVector v2 = potentials_ad(side2);
        const ADComplex vg = ground_port->connection->get_potential_ad();
        const ADComplexVector g = tape_vector(yg);
        const ADComplexVector i1 = multiply(tape_matrix(y11), v1) + multiply(tape_matrix(y12), v2) +
                                   tape_matrix(y1g).col(0) * vg;
        const ADComplexVector i2 = multiply(tape_matrix(y21), v1) + multiply(tape_matrix(y22), v2) +
                                   tape_matrix(y2g).col(0) * vg;
        set_side_currents_ad(i1, i2);
        const ADComplex two_vg(AD(2.0) * vg.real(), AD(2.0) * vg.imag());
        ADComplex ig = ad_zero();
        for (int j = 0; j < n; ++j) {
            const ADComplex term = g[j] * (v1[j] + v2[j] - two_vg);
            ig = j == 0 ? term : ig + term;
        }
        ground_port->current_ad = ig;
    } else {
        const Vector v1 = potentials(side1);
        const Vector v2 = potentials(side2);
        const std::complex<double> vg = ground_port->connection->get_potential();
        const Vector g = yg.get_value();
        const Vector i1 = y11.get_value() * v1 + y12.get_value() * v2 + y1g.get_value().col(0) * vg;
        const Vector i2 = y21.get_value() * v1 + y22.get_value() * v2 + y2g.get_value().col(0) * vg;
        set_side_currents(i1, i2);
        std::complex<double> ig = 0.0;
        for (int j = 0; j < n; ++j) ig += g[j] * ((v1[j] + v2[j]) - (vg + vg));
        ground_port->current = ig;
    }
}

bool ShuntLine::one_conductor_pointers_valid() const {
    if (n != 1 || side1_potential == nullptr || side2_potential == nullptr) return false;
    const Connection& c1 = *side1[0]->connection;
    const Connection& c2 = *side2[0]->connection;
    // A node held at zero has no entry; a relinked or unlinked record means another binding
    // (or none) is in force; a changed port list means the stored current addresses are stale.
    return !c1.is_zero && !c2.is_zero && c1.potential.linked && c1.potential.linked_value == side1_potential &&
           c2.potential.linked && c2.potential.linked_value == side2_potential && c2.ports == bound_side2_ports;
}

void ShuntLine::backward_step() {
    if (!one_conductor_pointers_valid()) {
        backward_step_general();
        return;
    }
    std::complex<double> sum = 0.0;
    for (const std::complex<double>* c : downstream_currents) sum += *c;
    const std::complex<double> i2 = -sum;
    *side2_current = i2;
    const std::complex<double> v2(side2_potential[0], side2_potential[1]);
    const std::complex<double> i1 = scalar_c * v2 - scalar_d * i2;
    *side1_current = i1;
    *ground_current = (-i1) - i2;
}

void ShuntLine::backward_step_general() {
    for (Port* p : side2) apply_downstream_current(*p);
    const Vector v2 = potentials(side2);
    const Vector i2 = currents(side2);
    const Vector i1 = matrix_c * v2 - matrix_d * i2;
    std::complex<double> sum1 = 0.0;
    std::complex<double> sum2 = 0.0;
    for (int k = 0; k < n; ++k) {
        side1[static_cast<std::size_t>(k)]->current = i1[k];
        sum1 += i1[k];
        sum2 += i2[k];
    }
    ground_port->current = (-sum1) - sum2;
}

double ShuntLine::forward_step() {
    if (!one_conductor_pointers_valid()) return forward_step_general();
    const std::complex<double> v1(side1_potential[0], side1_potential[1]);
    const std::complex<double> i1 = *side1_current;
    const std::complex<double> v2_old(side2_potential[0], side2_potential[1]);
    const std::complex<double> v2_new = scalar_a * v1 - scalar_b * i1;
    // Only the solver's copy: the node's own value keeps its start value.
    side2_potential[0] = v2_new.real();
    side2_potential[1] = v2_new.imag();
    return potential_change(v2_new, v2_old);
}

double ShuntLine::forward_step_general() {
    return write_side2_potentials(side2, matrix_a * potentials(side1) - matrix_b * currents(side1));
}

SweepRole ShuntLine::sweep_role(std::size_t k) const {
    return k + 1 == ports.size() ? SweepRole::zero : side_role(k);
}

const char* ShuntLine::kind_name() const { return "shunt line"; }

void ShuntLine::update_line_parameters(const std::complex<double>* y_shunt, const std::complex<double>* z_line) {
    const ShuntLineMatrices m = compute_matrices(static_cast<int>(ports.size() / 2), y_shunt, z_line);
    y11.set_value(m.y11);
    y12.set_value(m.y12);
    y21.set_value(m.y21);
    y22.set_value(m.y22);
    yg.set_value(m.yg.col(0));
    y2g.set_value(m.y2g);
    y1g.set_value(m.y1g);
}
