#include "elements/flexible_load.hpp"

#include <cmath>
#include <stdexcept>

using cd = std::complex<double>;
using namespace load_wiring;

namespace flexible_wiring {

std::vector<FlexibleParameter*> checked_parameters(std::vector<FlexibleParameter*>&& parameters, int n,
                                                    Wiring wiring) {
    const long long count = wiring == Wiring::star ? static_cast<long long>(n) - 1 : n;
    bool valid = static_cast<long long>(parameters.size()) == count;
    for (const FlexibleParameter* f : parameters) valid = valid && f != nullptr;
    if (!valid) throw std::invalid_argument("a flexible load needs one flexible parameter per phase");
    return std::move(parameters);
}

}  // namespace flexible_wiring

namespace {
double magnitude(const cd& u) { return std::hypot(u.real(), u.imag()); }
AD magnitude_ad(const ADComplex& u) { return CppAD::sqrt(u.real() * u.real() + u.imag() * u.imag()); }
}  // namespace

// Star.

FlexibleLoad::FlexibleLoad(int n, const cd* powers_, std::vector<FlexibleParameter*>&& parameters_)
    : AbstractFlexibleLoad<FlexibleLoad>(n, Wiring::star, powers_, std::move(parameters_)) {}

void FlexibleLoad::compute_currents_double() {
    star_currents(ports, [this](std::size_t i, const cd& u) {
        return constant_power_current(parameters[i]->compute_power(magnitude(u), powers[i].get_value()), u);
    });
}

void FlexibleLoad::compute_currents_ad() {
    star_currents_ad(ports, [this](std::size_t i, const ADComplex& u) {
        return constant_power_current_ad(parameters[i]->compute_power_ad(magnitude_ad(u), powers[i].ad), u);
    });
}

void FlexibleLoad::get_inner_currents(cd* out) { star_inner_currents(ports, out); }

void FlexibleLoad::get_powers(cd* out) {
    const std::size_t n = ports.size();
    if (n < 2) return;
    const cd v_neutral = ports[n - 1].connection->get_potential();
    for (std::size_t i = 0; i + 1 < n; ++i)
        out[i] = parameters[i]->compute_power(magnitude(ports[i].connection->get_potential() - v_neutral),
                                              powers[i].get_value());
}

void FlexibleLoad::update_power(const cd& power) {
    if (!powers.empty()) powers[0].set_value(power);
}

// Delta.

DeltaFlexibleLoad::DeltaFlexibleLoad(int n, const cd* powers_, std::vector<FlexibleParameter*>&& parameters_)
    : AbstractFlexibleLoad<DeltaFlexibleLoad>(n, Wiring::delta, powers_, std::move(parameters_)) {}

std::pair<cd, cd> DeltaFlexibleLoad::branch_power(std::size_t i) const {
    const cd u = delta_voltage(ports, i);
    return {u, parameters[i]->compute_power(magnitude(u), powers[i].get_value())};
}

cd DeltaFlexibleLoad::branch_current(std::size_t i) const {
    const auto [u, s] = branch_power(i);
    return constant_power_current(s, u);
}

void DeltaFlexibleLoad::compute_currents_double() {
    delta_currents(ports, [this](std::size_t i) { return branch_current(i); });
}

void DeltaFlexibleLoad::compute_currents_ad() {
    delta_currents_ad(ports, [this](std::size_t i) {
        const ADComplex u = delta_voltage_ad(ports, i);
        return constant_power_current_ad(parameters[i]->compute_power_ad(magnitude_ad(u), powers[i].ad), u);
    });
}

void DeltaFlexibleLoad::get_inner_currents(cd* out) {
    delta_inner_currents(ports.size(), [this](std::size_t i) { return branch_current(i); }, out);
}

void DeltaFlexibleLoad::get_powers(cd* out) {
    for (std::size_t i = 0; i < ports.size(); ++i) out[i] = branch_power(i).second;
}
