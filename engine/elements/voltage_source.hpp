#pragma once
// Voltage sources: fixed voltages between ports, the port currents left to the solver.
#include "network/element.hpp"

// Shared part of the star and delta sources: n-1 voltages (parameters) and n-1 current variables.
// Current k is port k's current; the last port closes the sum to zero.
template <class T>
class AbstractVoltageSource : public ElementImpl<T> {
public:
    std::vector<ComplexParameter> voltages;
    std::vector<ComplexParameter> currents;

    // Reads n-1 voltages (none for a one-port source); refuses n < 1.
    AbstractVoltageSource(int n, const std::complex<double>* voltages);

    void collect_variables(std::vector<double>& values) override;
    void collect_parameters(std::vector<double>& values) override;
    void bind_variables(ADVector& x, VectorXd& x_values, int& index) override;
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override;
    void compute_currents(bool on_tape) override;

    // Writes n-1 new voltages, through the links into a bound solver's parameter vector.
    void update_voltages(const std::complex<double>* values);

    // The sum of the voltages' magnitudes: no two of its ports lie further apart.
    double imposed_voltage() const override;
};

// Star source: phase port k sits at the neutral's (last port's) potential plus voltage k.
class VoltageSource : public AbstractVoltageSource<VoltageSource> {
public:
    VoltageSource(int n, const std::complex<double>* voltages);
    void add_residuals(ADVector& residuals, int& index) override;
    void backward_step() override;
    // Imposes the phases over the neutral and reports how far they moved.
    double forward_step() override;
    // The phases imposed from the neutral, the anchor.
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;
};

// Delta source: voltage k is port k's potential minus port k+1's; port 0 is the chain's reference.
class DeltaVoltageSource : public AbstractVoltageSource<DeltaVoltageSource> {
public:
    DeltaVoltageSource(int n, const std::complex<double>* voltages);
    void add_residuals(ADVector& residuals, int& index) override;
    void backward_step() override;
    double forward_step() override;
    // Ports 1 to n-1 imposed from port 0, the anchor.
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;
};
