#pragma once
// Checks shared by the element tests that solve small networks: both evaluation modes of an
// element's currents, the current balance at a solution, and the Jacobian against differences.
#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include <gtest/gtest.h>

#include "solvers/newton.hpp"
#include "tape_support.hpp"

// Each port of a fresh element has a node of its own; give those nodes potentials, some held at zero.
inline void place(Element& element, const std::vector<std::complex<double>>& potentials,
                  const std::vector<int>& held_at_zero = {}) {
    for (std::size_t k = 0; k < potentials.size(); ++k) element.ports[k].connection->set_potential(potentials[k]);
    for (int k : held_at_zero) element.ports[static_cast<std::size_t>(k)].connection->is_zero = true;
}

inline std::vector<std::complex<double>> port_currents(const Element& e) {
    std::vector<std::complex<double>> out;
    for (const Port& p : e.ports) out.push_back(p.current);
    return out;
}

// The element's parameters in the order it collects them.
inline std::vector<double> collected(Element& e) {
    std::vector<double> out;
    e.collect_parameters(out);
    return out;
}

// The (real, imaginary) pairs of y from entry first on.
inline std::vector<std::complex<double>> as_complex(const std::vector<double>& y, std::size_t first = 0) {
    std::vector<std::complex<double>> out;
    for (std::size_t k = first; k + 1 < y.size(); k += 2) out.emplace_back(y[k], y[k + 1]);
    return out;
}

// Records the network as a Newton solver does, with every port's recorded current as an extra
// output, so that the tape's currents can be compared with the double-mode ones.
struct PortTape {
    ElectricalNetwork net;
    RecordedNetwork recorded;

    explicit PortTape(std::vector<Element*> elements)
        : net(std::move(elements)), recorded(net, [this](ADVector& y) {
              for (Element* e : net.elements)
                  for (const Port& port : e->ports) {
                      y.push_back(port.current_ad.real());
                      y.push_back(port.current_ad.imag());
                  }
          }) {}
    ~PortTape() { net.unbind(); }
    PortTape(const PortTape&) = delete;
    PortTape& operator=(const PortTape&) = delete;

    std::vector<double> residuals() {
        const std::vector<double> y = recorded.outputs();
        return {y.begin(), y.begin() + static_cast<std::ptrdiff_t>(recorded.nb_residuals)};
    }
    // The recorded current of every port, element by element, at the present bound values.
    std::vector<std::complex<double>> currents() { return as_complex(recorded.outputs(), recorded.nb_residuals); }
};

// Largest modulus of the sum of the port currents at a node not held at zero.
inline double worst_imbalance(const ElectricalNetwork& network) {
    double worst = 0.0;
    for (const auto& node : network.connections) {
        if (node->is_zero) continue;
        std::complex<double> sum = 0.0;
        for (const Port* p : node->ports) sum += p->current;
        worst = std::max(worst, std::abs(sum));
    }
    return worst;
}

// Every element's double-mode currents, then the sum of the port currents at every node, real then
// imaginary part, in network order: the residuals where no node is held at zero.
inline std::vector<double> double_residuals(ElectricalNetwork& network) {
    for (Element* e : network.elements) e->compute_currents(false);
    std::vector<double> r;
    for (const auto& node : network.connections) {
        std::complex<double> sum = 0.0;
        for (const Port* p : node->ports) sum += p->current;
        r.push_back(sum.real());
        r.push_back(sum.imag());
    }
    return r;
}

// The recorded Jacobian at the bound variables against central differences (step h) of the
// double-mode residuals, each entry within tolerance times the largest entry; the bound variables
// are left as they were.
inline void expect_tape_jacobian(RecordedNetwork& recorded, ElectricalNetwork& network, double h, double tolerance) {
    const std::vector<double> x0 = as_std(recorded.x_values);
    const std::vector<double> jacobian = recorded.f.Jacobian(x0);
    const std::size_t n = x0.size();
    double largest = 0.0;
    for (double d : jacobian) largest = std::max(largest, std::abs(d));
    for (std::size_t j = 0; j < n; ++j) {
        const auto at = static_cast<Eigen::Index>(j);
        recorded.x_values[at] = x0[j] + h;
        const std::vector<double> up = double_residuals(network);
        recorded.x_values[at] = x0[j] - h;
        const std::vector<double> down = double_residuals(network);
        recorded.x_values[at] = x0[j];
        for (std::size_t i = 0; i < jacobian.size() / n; ++i)
            EXPECT_NEAR(jacobian[i * n + j], (up[i] - down[i]) / (2.0 * h), tolerance * largest)
                << "row " << i << " column " << j;
    }
}

// Largest relative difference between the solver's Jacobian and central differences of its
// residuals, column by column, at the present variables (left as they were).
inline double jacobian_difference(AbstractNewton& newton) {
    const VectorXd x = newton.variables;
    const Eigen::MatrixXd j = Eigen::MatrixXd(newton.compute_jacobian());
    double worst = 0.0;
    for (Eigen::Index c = 0; c < x.size(); ++c) {
        const double h = 1e-6 * std::max(1.0, std::abs(x[c]));
        newton.variables = x;
        newton.variables[c] += h;
        const VectorXd up = newton.get_residuals();
        newton.variables[c] -= 2.0 * h;
        const VectorXd down = newton.get_residuals();
        const VectorXd column = (up - down) / (2.0 * h);
        const double scale = std::max(1.0, j.col(c).cwiseAbs().maxCoeff());
        worst = std::max(worst, (column - j.col(c)).cwiseAbs().maxCoeff() / scale);
    }
    newton.variables = x;
    return worst;
}
