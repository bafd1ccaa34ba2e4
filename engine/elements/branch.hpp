#pragma once
// Two-sided elements: the side groups, the shared side-current and downstream-current rules,
// and the closed and open switches.
#include <cmath>
#include <complex>

#include "network/element.hpp"

class Branch : public Element {
public:
    std::vector<Port*> side1;
    std::vector<Port*> side2;

    Branch(int n1, int n2);
    Branch(int n1, int n2, int n3);

    // Values k go to ports k of each side; a side with one port more than values gives its last
    // port minus the sum of the values.
    void set_side_currents_ad(const ADComplexVector& i1, const ADComplexVector& i2);
    void set_side_currents(const Eigen::VectorXcd& i1, const Eigen::VectorXcd& i2);

protected:
    // Side 1 read, side 2 imposed: the sweep role of the switches' and lines' ports.
    SweepRole side_role(std::size_t k) const { return k < side1.size() ? SweepRole::reads : SweepRole::imposes; }
    // The secondary phase (port 2) imposed, every other port read: the single-phase two-winding
    // branches (transformer, regulator).
    static SweepRole secondary_phase_role(std::size_t k) { return k == 2 ? SweepRole::imposes : SweepRole::reads; }
};

// The larger of two change measures of a forward step; a NaN in either wins, so that the sweep
// sees it.
double larger_change(double a, double b);
// The change of a potential written by a forward step: the larger of its components' changes.
inline double potential_change(std::complex<double> now, std::complex<double> before) {
    return larger_change(std::abs(now.real() - before.real()), std::abs(now.imag() - before.imag()));
}

// Writes v into the node; returns the larger of change and how far the node moved. A finite v over
// a non-finite potential (what a refused solve left) counts as a move from zero, not as NaN, so
// that the next sweep confirms it instead of refusing.
inline double impose_potential(Connection& node, const std::complex<double>& v, double change) {
    const std::complex<double> old = node.get_potential();
    const bool from_nowhere = std::isfinite(v.real()) && std::isfinite(v.imag()) &&
                              !(std::isfinite(old.real()) && std::isfinite(old.imag()));
    change = larger_change(change, potential_change(v, from_nowhere ? 0.0 : old));
    node.set_potential(v);
    return change;
}

// Minus the sum of the currents of the other ports at p's node.
std::complex<double> downstream_current(const Port& p);
// Sets p's current by that rule (backward steps of branches and sources).
inline void apply_downstream_current(Port& p) { p.current = downstream_current(p); }

class Switch : public Branch {
public:
    std::vector<ComplexParameter> currents;

    explicit Switch(int n);
    void collect_variables(std::vector<double>& values) override;
    void bind_variables(ADVector& x, VectorXd& x_values, int& index) override;
    void compute_currents(bool on_tape) override;
    void add_residuals(ADVector& residuals, int& index) override;
    void backward_step() override;
    // Copies side 1's potentials onto side 2 and reports how far they moved.
    double forward_step() override;
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;
};

class OpenSwitch : public Branch {
public:
    explicit OpenSwitch(int n);
    void compute_currents(bool on_tape) override;
    void backward_step() override;
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;
};
