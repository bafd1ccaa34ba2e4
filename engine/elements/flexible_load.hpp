#pragma once
// Flexible loads: each phase (star) or branch (delta) has a theoretical power and a flexible
// parameter that turns the voltage magnitude across it into the power actually drawn. The
// theoretical powers are the load's updatable parameters; the flexible parameters are shared and
// not owned (the network numbers their limits once, after every element).
#include <cstddef>
#include <utility>

#include "elements/flexible_parameter.hpp"
#include "elements/load.hpp"

namespace flexible_wiring {
// The list a load of `count` phases or branches takes: one non-null pointer each.
std::vector<FlexibleParameter*> checked_parameters(std::vector<FlexibleParameter*>&& parameters, int n,
                                                    Wiring wiring);
}  // namespace flexible_wiring

template <class T>
class AbstractFlexibleLoad : public Load<T> {
public:
    std::vector<FlexibleParameter*> parameters;  // one per phase or branch, not owned
    std::vector<ComplexParameter> powers;        // the theoretical powers

    void collect_parameters(std::vector<double>& values) override { load_wiring::collect_records(powers, values); }
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override {
        load_wiring::bind_records(powers, p, p_values, index);
    }
    void compute_currents(bool on_tape) override { load_wiring::compute_currents(*static_cast<T*>(this), on_tape); }
    void backward_step() override { static_cast<T*>(this)->compute_currents_double(); }

    // The power drawn by every phase or branch at the present potentials (power_count() values).
    virtual void get_powers(std::complex<double>* out) = 0;
    virtual int power_count() const = 0;

    // Reads one value per record (n-1 star, n delta).
    void update_powers(const std::complex<double>* values) { load_wiring::update_records(powers, values); }

protected:
    AbstractFlexibleLoad(int n, Wiring wiring, const std::complex<double>* values,
                         std::vector<FlexibleParameter*>&& parameters_)
        : Load<T>(load_wiring::checked_ports(n, wiring)),
          parameters(flexible_wiring::checked_parameters(std::move(parameters_), n, wiring)),
          powers(load_wiring::make_records(n, wiring, values)) {}
};

// Star: n ports, the last the neutral, n-1 phases.
class FlexibleLoad : public AbstractFlexibleLoad<FlexibleLoad> {
public:
    FlexibleLoad(int n, const std::complex<double>* powers, std::vector<FlexibleParameter*>&& parameters);
    void compute_currents_double();
    void compute_currents_ad();
    // The phase currents of the last double-mode computation.
    void get_inner_currents(std::complex<double>* out) override;
    int inner_current_count() const override { return static_cast<int>(ports.size()) - 1; }
    void get_powers(std::complex<double>* out) override;
    int power_count() const override { return static_cast<int>(ports.size()) - 1; }
    // Writes the one value of a one-phase load; a load without phases is left unchanged.
    void update_power(const std::complex<double>& power);
};

// Delta: n ports and n branches, branch i from port i to port (i+1) mod n.
class DeltaFlexibleLoad : public AbstractFlexibleLoad<DeltaFlexibleLoad> {
public:
    DeltaFlexibleLoad(int n, const std::complex<double>* powers, std::vector<FlexibleParameter*>&& parameters);
    void compute_currents_double();
    void compute_currents_ad();
    // The branch currents, recomputed from the present potentials.
    void get_inner_currents(std::complex<double>* out) override;
    int inner_current_count() const override { return static_cast<int>(ports.size()); }
    void get_powers(std::complex<double>* out) override;
    int power_count() const override { return static_cast<int>(ports.size()); }
    // (U_i, S_i) of branch i: its voltage and the power it draws, in double mode.
    std::pair<std::complex<double>, std::complex<double>> branch_power(std::size_t i) const;
    // Branch i's current by that power.
    std::complex<double> branch_current(std::size_t i) const;
};
