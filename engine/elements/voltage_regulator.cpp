#include "elements/voltage_regulator.hpp"

#include <cmath>
#include <limits>

using cd = std::complex<double>;

namespace {
cd port_voltage(const Port& phase, const Port& neutral) {
    return phase.connection->get_potential() - neutral.connection->get_potential();
}

ADComplex port_voltage_ad(const Port& phase, const Port& neutral) {
    return phase.connection->get_potential_ad() - neutral.connection->get_potential_ad();
}

// A tap that only a primary all but dead asks for (u_ref / |U1|): there the rounding of x - lo and
// x - hi already costs the soft clamp 1e-8 of its value, and from about 1e16 on it cancels out.
constexpr double far_beyond_the_band = 1e8;
}  // namespace

SingleVoltageRegulator::SingleVoltageRegulator(const cd& z2_, const cd& ym_, double u_ref_, double u_range_,
                                               double alpha_, double phi_)
    : Branch(2, 2), z2(z2_), ym(ym_), u_ref(u_ref_), u_range(u_range_), alpha(alpha_), phi(phi_), tap(1.0) {
    // One neutral node for both sides; it keeps the primary neutral's potential.
    ports[1].connection->merge(ports[3].connection);
}

double SingleVoltageRegulator::hard_clamp(double x) const {
    const double lo = 1.0 - u_range;
    const double hi = u_range + 1.0;
    const double y = x < lo ? lo : x;
    return hi < y ? hi : y;
}

double SingleVoltageRegulator::smooth_clamp(double x) const {
    const double lo = 1.0 - u_range;
    const double hi = u_range + 1.0;
    auto soft_positive = [this](double y) {
        const double a = std::abs(y);
        return std::fma(y + a, 0.5, std::log1p(std::exp(-alpha * a)) / alpha);
    };
    // Far above the band the two soft parts cancel: there the ratio is the band's upper edge. (Below
    // the band both parts vanish, so lo stands.) An infinite tap, from a primary without any voltage,
    // stays NaN.
    if (x > far_beyond_the_band && x < HUGE_VAL) return hi;
    return lo + soft_positive(x - lo) - soft_positive(x - hi);
}

AD SingleVoltageRegulator::smooth_clamp_ad(const AD& x) const {
    const AD lo(1.0 - u_range);
    const AD hi(u_range + 1.0);
    // The plain form on the tape: a live primary's tap never comes near the range where it cancels.
    return lo + soft_positive_part(x - lo, alpha) - soft_positive_part(x - hi, alpha);
}

cd SingleVoltageRegulator::ratio(double t) const {
    const double m = smooth_clamp(t);
    return cd(m * std::cos(phi), m * std::sin(phi));
}

cd SingleVoltageRegulator::primary_voltage() const { return port_voltage(ports[0], ports[1]); }

void SingleVoltageRegulator::collect_variables(std::vector<double>& values) {
    // The start tap serves the primary voltage of the moment, read through the links; a dead
    // (or NaN) primary keeps the tap as it is.
    const cd u1 = primary_voltage();
    const double m = std::hypot(u1.real(), u1.imag());
    values.push_back(m > 0.0 ? hard_clamp(u_ref.get_value() / m) : tap.value);
}

void SingleVoltageRegulator::collect_parameters(std::vector<double>& values) {
    z2.collect(values);
    ym.collect(values);
    u_ref.collect(values);
}

void SingleVoltageRegulator::bind_variables(ADVector& x, VectorXd& x_values, int& index) {
    tap.bind(x, x_values, index);
}

void SingleVoltageRegulator::bind_parameters(ADVector& p, VectorXd& p_values, int& index) {
    z2.bind(p, p_values, index);
    ym.bind(p, p_values, index);
    u_ref.bind(p, p_values, index);
}

void SingleVoltageRegulator::compute_currents(bool on_tape) {
    if (on_tape) {
        const AD m = smooth_clamp_ad(tap.ad);
        const ADComplex k(m * std::cos(phi), m * std::sin(phi));
        const ADComplex u1 = port_voltage_ad(ports[0], ports[1]);
        const ADComplex u2 = port_voltage_ad(ports[2], ports[3]);
        const ADComplex i2 = complex_inverse_scaled(1.0, z2.ad) * (u2 - k * u1);
        const ADComplex i1 = ym.ad * u1 - std::conj(k) * i2;
        ADComplexVector side1(2);
        ADComplexVector side2(2);
        side1 << i1, -(i1 + i2);
        side2 << i2, ad_zero();
        set_side_currents_ad(side1, side2);
    } else {
        const cd k = ratio(tap.get_value());
        const cd u1 = primary_voltage();
        const cd u2 = port_voltage(ports[2], ports[3]);
        const cd i2 = (cd(1.0, 0.0) / z2.get_value()) * (u2 - k * u1);
        const cd i1 = ym.get_value() * u1 - std::conj(k) * i2;
        ports[0].current = i1;
        ports[1].current = -(i1 + i2);
        ports[2].current = i2;
        ports[3].current = 0.0;
    }
}

void SingleVoltageRegulator::add_residuals(ADVector& residuals, int& index) {
    const ADComplex u2 = port_voltage_ad(ports[2], ports[3]);
    const AD magnitude = CppAD::sqrt(u2.real() * u2.real() + u2.imag() * u2.imag());
    const AD& t = tap.ad;
    residuals[static_cast<std::size_t>(index)] = t * magnitude / u_ref.ad - smooth_clamp_ad(t);
    index += 1;
}

SweepRole SingleVoltageRegulator::sweep_role(std::size_t k) const { return secondary_phase_role(k); }

const char* SingleVoltageRegulator::kind_name() const { return "voltage regulator"; }

double SingleVoltageRegulator::voltage_gain() const {
    const double lo = 1.0 - std::abs(u_range);
    return lo > 0.0 ? std::max(1.0 + std::abs(u_range), 1.0 / lo) : HUGE_VAL;
}

void SingleVoltageRegulator::backward_step() {
    apply_downstream_current(ports[2]);
    const cd i2 = ports[2].current;
    const cd k = ratio(tap.get_value());
    const cd i1 = ym.get_value() * primary_voltage() - std::conj(k) * i2;
    ports[0].current = i1;
    ports[1].current = -(i1 + i2);
    ports[3].current = 0.0;
}

double SingleVoltageRegulator::forward_step() {
    const cd u1 = primary_voltage();
    const cd i2 = ports[2].current;
    const cd v3 = ports[3].connection->get_potential();
    const cd v2 = ports[2].connection->get_potential();
    const double t = tap.get_value();
    const cd z = z2.get_value();
    // The tap moves by the ratio of the set-point to the secondary voltage the present tap gives.
    const cd w = z * i2 + ratio(t) * u1;
    const double t_new = smooth_clamp(t) * u_ref.get_value() / std::hypot(w.real(), w.imag());
    tap.set_value(t_new);
    const cd v2_new = (z * i2 + ratio(t_new) * u1) + v3;
    ports[2].connection->set_potential(v2_new);
    return potential_change(v2_new, v2);
}

void SingleVoltageRegulator::update_parameters(const cd& z2_, const cd& ym_, double u_ref_) {
    z2.set_value(z2_);
    ym.set_value(ym_);
    u_ref.set_value(u_ref_);
    const cd u1 = primary_voltage();
    const double m = std::hypot(u1.real(), u1.imag());
    if (!(m > 0.0)) return;
    tap.set_value(hard_clamp(u_ref_ / m));
    // The real ratio alone, without the phase factor.
    ports[2].connection->set_potential(ports[1].connection->get_potential() + smooth_clamp(tap.get_value()) * u1);
}
