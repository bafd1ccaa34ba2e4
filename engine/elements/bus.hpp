#pragma once
// Buses, grounds and potential references: elements that shape nodes and carry no power.
#include "network/element.hpp"

class Bus : public ElementImpl<Bus> {
public:
    Bus(int n, const std::complex<double>* potentials);
    void compute_currents(bool on_tape) override;
    void backward_step() override;
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;
};

class Ground : public ElementImpl<Ground> {
public:
    Ground();
    void compute_currents(bool on_tape) override;
    void backward_step() override;
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;
};

class PotentialRef : public ElementImpl<PotentialRef> {
public:
    PotentialRef();
    void compute_currents(bool on_tape) override;
    void backward_step() override;
    double forward_step() override;
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;
    // Its node is no longer held at zero unless another reference holds it.
    void disconnect() override;
    // The current the reference supplies: the sum over every port at its node.
    std::complex<double> supplied_current() const;
};

class DeltaPotentialRef : public ElementImpl<DeltaPotentialRef> {
public:
    ComplexParameter current;

    explicit DeltaPotentialRef(int n);
    void collect_variables(std::vector<double>& values) override;
    void bind_variables(ADVector& x, VectorXd& x_values, int& index) override;
    void compute_currents(bool on_tape) override;
    void add_residuals(ADVector& residuals, int& index) override;
    void backward_step() override;
    // Shifts its nodes' potentials to a zero sum.
    double forward_step() override;
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;
};

// Every port current zero, in the representation of the evaluation mode.
void set_all_currents_zero(Element& e, bool on_tape);
