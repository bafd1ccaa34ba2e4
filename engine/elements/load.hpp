#pragma once
// Loads: elements that draw current from their nodes by a fixed law. They have no variables and no
// equations of their own; their port currents enter the current balance of their nodes.
//
// Star loads put the neutral last and carry one value per phase (value i between phase i and the
// neutral). Delta loads carry one value per port: value i acts in branch i, from port i to port
// (i+1) mod n, and port j carries J_j - J_(j-1).
#include <cstddef>

#include "network/element.hpp"

class LoadBase : public Element {
public:
    using Element::Element;
    // Star loads write one current per phase (n-1), delta loads one per branch (n).
    virtual void get_inner_currents(std::complex<double>* out) = 0;
    // How many values get_inner_currents writes.
    virtual int inner_current_count() const = 0;

    // A load's backward step reads every port's potential.
    SweepRole sweep_role(std::size_t) const override { return SweepRole::reads; }
    const char* kind_name() const override { return "load"; }
};

template <class T>
class Load : public LoadBase {
public:
    using LoadBase::LoadBase;
};

enum class Wiring { star, delta };

// Laws of one phase or branch: the current drawn from value x at the voltage u across it.
// No guard for u = 0: the non-finite results are kept as they are.
std::complex<double> constant_power_current(const std::complex<double>& s, const std::complex<double>& u);
ADComplex constant_power_current_ad(const ADComplex& s, const ADComplex& u);
std::complex<double> constant_current_current(const std::complex<double>& j, const std::complex<double>& u);
ADComplex constant_current_current_ad(const ADComplex& j, const ADComplex& u);
std::complex<double> constant_admittance_current(const std::complex<double>& y, const std::complex<double>& u);
ADComplex constant_admittance_current_ad(const ADComplex& y, const ADComplex& u);

// a * b from four real products and two sums, so that the tape holds exactly those operations.
inline ADComplex ad_product(const ADComplex& a, const ADComplex& b) {
    return ADComplex(a.real() * b.real() - a.imag() * b.imag(), a.imag() * b.real() + a.real() * b.imag());
}

namespace load_wiring {

// The port count a load of this wiring may have, checked before any port is built.
int checked_ports(int n, Wiring wiring);
// One record per value read from values; values may be null only when there is nothing to read.
std::vector<ComplexParameter> make_records(int n, Wiring wiring, const std::complex<double>* values);
// Writes values[i] into record i through the record, so a bound record updates the solver's copy.
void update_records(std::vector<ComplexParameter>& records, const std::complex<double>* values);
void collect_records(const std::vector<ComplexParameter>& records, std::vector<double>& values);
void bind_records(std::vector<ComplexParameter>& records, ADVector& p, VectorXd& p_values, int& index);

inline std::complex<double> delta_voltage(const std::vector<Port>& ports, std::size_t i) {
    const std::size_t n = ports.size();
    return ports[i].connection->get_potential() - ports[(i + 1) % n].connection->get_potential();
}
inline ADComplex delta_voltage_ad(const std::vector<Port>& ports, std::size_t i) {
    const std::size_t n = ports.size();
    return ports[i].connection->get_potential_ad() - ports[(i + 1) % n].connection->get_potential_ad();
}

// Star: phase(i, u) gives the current of phase i at the voltage u = V_i - V_neutral. Each phase is
// written as soon as it is known; the neutral takes 0 - I_0 - I_1 - ... last.
template <class Phase>
void star_currents(std::vector<Port>& ports, Phase phase) {
    const std::size_t n = ports.size();
    if (n == 0) return;
    if (n == 1) {
        ports[0].current = 0.0;
        return;
    }
    const std::complex<double> v_neutral = ports[n - 1].connection->get_potential();
    std::complex<double> neutral = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        ports[i].current = phase(i, ports[i].connection->get_potential() - v_neutral);
        neutral -= ports[i].current;
    }
    ports[n - 1].current = neutral;
}

template <class Phase>
void star_currents_ad(std::vector<Port>& ports, Phase phase) {
    const std::size_t n = ports.size();
    if (n == 0) return;
    if (n == 1) {
        ports[0].current_ad = ad_zero();
        return;
    }
    const ADComplex v_neutral = ports[n - 1].connection->get_potential_ad();
    ADComplex neutral = ad_zero();
    for (std::size_t i = 0; i + 1 < n; ++i) {
        ports[i].current_ad = phase(i, ports[i].connection->get_potential_ad() - v_neutral);
        neutral -= ports[i].current_ad;
    }
    ports[n - 1].current_ad = neutral;
}

// Star inner currents: the stored phase currents of the last double-mode computation.
inline void star_inner_currents(const std::vector<Port>& ports, std::complex<double>* out) {
    for (std::size_t i = 0; i + 1 < ports.size(); ++i) out[i] = ports[i].current;
}

// Delta: branch(i) gives J_i. Every branch is computed before any port is written, so a law that
// throws leaves the port currents as they were.
template <class BranchCurrent>
void delta_currents(std::vector<Port>& ports, BranchCurrent branch) {
    const std::size_t n = ports.size();
    std::vector<std::complex<double>> j(n);
    for (std::size_t i = 0; i < n; ++i) j[i] = branch(i);
    for (std::size_t k = 0; k < n; ++k) ports[k].current = j[k] - j[(k + n - 1) % n];
}

template <class BranchCurrent>
void delta_currents_ad(std::vector<Port>& ports, BranchCurrent branch) {
    const std::size_t n = ports.size();
    std::vector<ADComplex> j(n);
    for (std::size_t i = 0; i < n; ++i) j[i] = branch(i);
    for (std::size_t k = 0; k < n; ++k) ports[k].current_ad = j[k] - j[(k + n - 1) % n];
}

template <class BranchCurrent>
void delta_inner_currents(std::size_t n, BranchCurrent branch, std::complex<double>* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = branch(i);
}

// Both evaluation modes of a concrete load: the tape writes current_ad, the doubles current.
template <class T>
void compute_currents(T& load, bool on_tape) {
    if (on_tape)
        load.compute_currents_ad();
    else
        load.compute_currents_double();
}

}  // namespace load_wiring

// The three constant-load families differ only in their law; T is the concrete load, which
// provides compute_currents_double() and compute_currents_ad() for its wiring.
template <class T>
class AbstractPowerLoad : public Load<T> {
public:
    std::vector<ComplexParameter> powers;

    void collect_parameters(std::vector<double>& values) override { load_wiring::collect_records(powers, values); }
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override {
        load_wiring::bind_records(powers, p, p_values, index);
    }
    void compute_currents(bool on_tape) override { load_wiring::compute_currents(*static_cast<T*>(this), on_tape); }
    void backward_step() override { static_cast<T*>(this)->compute_currents_double(); }

    // Reads one value per record (n-1 star, n delta).
    void update_powers(const std::complex<double>* values) { load_wiring::update_records(powers, values); }

protected:
    AbstractPowerLoad(int n, Wiring wiring, const std::complex<double>* values)
        : Load<T>(load_wiring::checked_ports(n, wiring)), powers(load_wiring::make_records(n, wiring, values)) {}
};

template <class T>
class AbstractCurrentLoad : public Load<T> {
public:
    std::vector<ComplexParameter> currents;

    void collect_parameters(std::vector<double>& values) override { load_wiring::collect_records(currents, values); }
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override {
        load_wiring::bind_records(currents, p, p_values, index);
    }
    void compute_currents(bool on_tape) override { load_wiring::compute_currents(*static_cast<T*>(this), on_tape); }
    void backward_step() override { static_cast<T*>(this)->compute_currents_double(); }

    void update_currents(const std::complex<double>* values) { load_wiring::update_records(currents, values); }

protected:
    AbstractCurrentLoad(int n, Wiring wiring, const std::complex<double>* values)
        : Load<T>(load_wiring::checked_ports(n, wiring)), currents(load_wiring::make_records(n, wiring, values)) {}
};

template <class T>
class AbstractAdmittanceLoad : public Load<T> {
public:
    std::vector<ComplexParameter> admittances;

    void collect_parameters(std::vector<double>& values) override {
        load_wiring::collect_records(admittances, values);
    }
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override {
        load_wiring::bind_records(admittances, p, p_values, index);
    }
    void compute_currents(bool on_tape) override { load_wiring::compute_currents(*static_cast<T*>(this), on_tape); }
    void backward_step() override { static_cast<T*>(this)->compute_currents_double(); }

    void update_admittances(const std::complex<double>* values) {
        load_wiring::update_records(admittances, values);
    }

protected:
    AbstractAdmittanceLoad(int n, Wiring wiring, const std::complex<double>* values)
        : Load<T>(load_wiring::checked_ports(n, wiring)),
          admittances(load_wiring::make_records(n, wiring, values)) {}
};

// Star loads: n ports, the last the neutral, n-1 values. The scalar updates write the one value
// of a one-phase load; a load without phases is left unchanged, and on a load with more phases
// only the first value changes.
class PowerLoad : public AbstractPowerLoad<PowerLoad> {
public:
    PowerLoad(int n, const std::complex<double>* powers);
    void compute_currents_double();
    void compute_currents_ad();
    void get_inner_currents(std::complex<double>* out) override;
    int inner_current_count() const override { return static_cast<int>(ports.size()) - 1; }
    void update_power(const std::complex<double>& power);
};

class CurrentLoad : public AbstractCurrentLoad<CurrentLoad> {
public:
    CurrentLoad(int n, const std::complex<double>* currents);
    void compute_currents_double();
    void compute_currents_ad();
    void get_inner_currents(std::complex<double>* out) override;
    int inner_current_count() const override { return static_cast<int>(ports.size()) - 1; }
    void update_current(const std::complex<double>& current);
};

class AdmittanceLoad : public AbstractAdmittanceLoad<AdmittanceLoad> {
public:
    AdmittanceLoad(int n, const std::complex<double>* admittances);
    void compute_currents_double();
    void compute_currents_ad();
    void get_inner_currents(std::complex<double>* out) override;
    int inner_current_count() const override { return static_cast<int>(ports.size()) - 1; }
    void update_admittance(const std::complex<double>& admittance);
};

// Delta loads: n ports, n values. Their inner currents are the branch currents, computed afresh.
class DeltaPowerLoad : public AbstractPowerLoad<DeltaPowerLoad> {
public:
    DeltaPowerLoad(int n, const std::complex<double>* powers);
    void compute_currents_double();
    void compute_currents_ad();
    void get_inner_currents(std::complex<double>* out) override;
    int inner_current_count() const override { return static_cast<int>(ports.size()); }
};

class DeltaCurrentLoad : public AbstractCurrentLoad<DeltaCurrentLoad> {
public:
    DeltaCurrentLoad(int n, const std::complex<double>* currents);
    void compute_currents_double();
    void compute_currents_ad();
    void get_inner_currents(std::complex<double>* out) override;
    int inner_current_count() const override { return static_cast<int>(ports.size()); }
    // J_i from the present potentials and values.
    std::complex<double> branch_current(std::size_t i) const;
};

class DeltaAdmittanceLoad : public AbstractAdmittanceLoad<DeltaAdmittanceLoad> {
public:
    DeltaAdmittanceLoad(int n, const std::complex<double>* admittances);
    void compute_currents_double();
    void compute_currents_ad();
    void get_inner_currents(std::complex<double>* out) override;
    int inner_current_count() const override { return static_cast<int>(ports.size()); }
};
