#include "elements/load.hpp"

#include <cmath>
#include <stdexcept>

using cd = std::complex<double>;

cd constant_power_current(const cd& s, const cd& u) { return std::conj(s / u); }

ADComplex constant_power_current_ad(const ADComplex& s, const ADComplex& u) {
    const ADComplex p = ad_product(s, complex_inverse_scaled(1.0, u));
    return ADComplex(p.real(), -p.imag());
}

cd constant_current_current(const cd& j, const cd& u) {
    const double magnitude = std::hypot(u.real(), u.imag());
    const cd p = j * u;
    return cd(p.real() / magnitude, p.imag() / magnitude);
}

ADComplex constant_current_current_ad(const ADComplex& j, const ADComplex& u) {
    const AD magnitude = CppAD::sqrt(u.real() * u.real() + u.imag() * u.imag());
    const ADComplex p = ad_product(j, u);
    return ADComplex(p.real() / magnitude, p.imag() / magnitude);
}

cd constant_admittance_current(const cd& y, const cd& u) { return y * u; }

ADComplex constant_admittance_current_ad(const ADComplex& y, const ADComplex& u) { return ad_product(y, u); }

namespace load_wiring {

int checked_ports(int n, Wiring wiring) {
    // A star load needs its neutral; a delta load of no port is merely empty.
    check_count(n, wiring == Wiring::star ? 1 : 0);
    return n;
}

std::vector<ComplexParameter> make_records(int n, Wiring wiring, const cd* values) {
    const int count = wiring == Wiring::star ? n - 1 : n;
    std::vector<ComplexParameter> records;
    if (count == 0) return records;
    if (values == nullptr) throw std::invalid_argument("no values given for the load");
    records.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) records.emplace_back(values[i]);
    return records;
}

void update_records(std::vector<ComplexParameter>& records, const cd* values) {
    if (records.empty()) return;
    if (values == nullptr) throw std::invalid_argument("no values given for the load");
    for (std::size_t i = 0; i < records.size(); ++i) records[i].set_value(values[i]);
}

void collect_records(const std::vector<ComplexParameter>& records, std::vector<double>& values) {
    for (const ComplexParameter& r : records) r.collect(values);
}

void bind_records(std::vector<ComplexParameter>& records, ADVector& p, VectorXd& p_values, int& index) {
    for (ComplexParameter& r : records) r.bind(p, p_values, index);
}

}  // namespace load_wiring

using namespace load_wiring;

// Star loads.

PowerLoad::PowerLoad(int n, const cd* powers) : AbstractPowerLoad<PowerLoad>(n, Wiring::star, powers) {}

void PowerLoad::compute_currents_double() {
    star_currents(ports, [this](std::size_t i, const cd& u) { return constant_power_current(powers[i].get_value(), u); });
}

void PowerLoad::compute_currents_ad() {
    star_currents_ad(ports, [this](std::size_t i, const ADComplex& u) { return constant_power_current_ad(powers[i].ad, u); });
}

void PowerLoad::get_inner_currents(cd* out) { star_inner_currents(ports, out); }

void PowerLoad::update_power(const cd& power) {
    if (!powers.empty()) powers[0].set_value(power);
}

CurrentLoad::CurrentLoad(int n, const cd* currents_)
    : AbstractCurrentLoad<CurrentLoad>(n, Wiring::star, currents_) {}

void CurrentLoad::compute_currents_double() {
    star_currents(ports, [this](std::size_t i, const cd& u) { return constant_current_current(currents[i].get_value(), u); });
}

void CurrentLoad::compute_currents_ad() {
    star_currents_ad(ports,
                     [this](std::size_t i, const ADComplex& u) { return constant_current_current_ad(currents[i].ad, u); });
}

void CurrentLoad::get_inner_currents(cd* out) { star_inner_currents(ports, out); }

void CurrentLoad::update_current(const cd& current) {
    if (!currents.empty()) currents[0].set_value(current);
}

AdmittanceLoad::AdmittanceLoad(int n, const cd* admittances_)
    : AbstractAdmittanceLoad<AdmittanceLoad>(n, Wiring::star, admittances_) {}

void AdmittanceLoad::compute_currents_double() {
    star_currents(ports,
                  [this](std::size_t i, const cd& u) { return constant_admittance_current(admittances[i].get_value(), u); });
}

void AdmittanceLoad::compute_currents_ad() {
    star_currents_ad(
        ports, [this](std::size_t i, const ADComplex& u) { return constant_admittance_current_ad(admittances[i].ad, u); });
}

void AdmittanceLoad::get_inner_currents(cd* out) { star_inner_currents(ports, out); }

void AdmittanceLoad::update_admittance(const cd& admittance) {
    if (!admittances.empty()) admittances[0].set_value(admittance);
}

// Delta loads.

DeltaPowerLoad::DeltaPowerLoad(int n, const cd* powers_)
    : AbstractPowerLoad<DeltaPowerLoad>(n, Wiring::delta, powers_) {}

void DeltaPowerLoad::compute_currents_double() {
    delta_currents(ports, [this](std::size_t i) { return constant_power_current(powers[i].get_value(), delta_voltage(ports, i)); });
}

void DeltaPowerLoad::compute_currents_ad() {
    delta_currents_ad(ports, [this](std::size_t i) { return constant_power_current_ad(powers[i].ad, delta_voltage_ad(ports, i)); });
}

void DeltaPowerLoad::get_inner_currents(cd* out) {
    delta_inner_currents(
        ports.size(), [this](std::size_t i) { return constant_power_current(powers[i].get_value(), delta_voltage(ports, i)); },
        out);
}

DeltaCurrentLoad::DeltaCurrentLoad(int n, const cd* currents_)
    : AbstractCurrentLoad<DeltaCurrentLoad>(n, Wiring::delta, currents_) {}

cd DeltaCurrentLoad::branch_current(std::size_t i) const {
    return constant_current_current(currents[i].get_value(), delta_voltage(ports, i));
}

void DeltaCurrentLoad::compute_currents_double() {
    delta_currents(ports, [this](std::size_t i) { return branch_current(i); });
}

void DeltaCurrentLoad::compute_currents_ad() {
    delta_currents_ad(ports,
                      [this](std::size_t i) { return constant_current_current_ad(currents[i].ad, delta_voltage_ad(ports, i)); });
}

void DeltaCurrentLoad::get_inner_currents(cd* out) {
    delta_inner_currents(ports.size(), [this](std::size_t i) { return branch_current(i); }, out);
}

DeltaAdmittanceLoad::DeltaAdmittanceLoad(int n, const cd* admittances_)
    : AbstractAdmittanceLoad<DeltaAdmittanceLoad>(n, Wiring::delta, admittances_) {}

void DeltaAdmittanceLoad::compute_currents_double() {
    delta_currents(ports, [this](std::size_t i) {
        return constant_admittance_current(admittances[i].get_value(), delta_voltage(ports, i));
    });
}

void DeltaAdmittanceLoad::compute_currents_ad() {
    delta_currents_ad(ports, [this](std::size_t i) {
        return constant_admittance_current_ad(admittances[i].ad, delta_voltage_ad(ports, i));
    });
}

void DeltaAdmittanceLoad::get_inner_currents(cd* out) {
    delta_inner_currents(
        ports.size(),
        [this](std::size_t i) { return constant_admittance_current(admittances[i].get_value(), delta_voltage(ports, i)); },
        out);
}
