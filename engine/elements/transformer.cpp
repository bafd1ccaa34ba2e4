#include "elements/transformer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace {
using C = std::complex<double>;

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

bool positive_finite(double x) { return std::isfinite(x) && x > 0.0; }

double zero_if_nan(double x) { return std::isnan(x) ? 0.0 : x; }

double magnitude(const C& z) { return std::hypot(z.real(), z.imag()); }

ADComplexVector ad_vector(std::initializer_list<ADComplex> values) {
    ADComplexVector v(static_cast<Eigen::Index>(values.size()));
    Eigen::Index k = 0;
    for (const ADComplex& x : values) v[k++] = x;
    return v;
}

C potential(const Port* p) { return p->connection->get_potential(); }
ADComplex potential_ad(const Port* p) { return p->connection->get_potential_ad(); }
void write(Port* p, const C& v) { p->connection->set_potential(v); }
}  // namespace

// ---------------------------------------------------------------------------------------------
// Shared part

C scaled_potential(double m, const C& u) {
    if (std::isnan(m) || std::signbit(m)) return C(not_a_number, not_a_number);
    return C(zero_if_nan(m * u.real()), zero_if_nan(m * u.imag()));
}

C polar_potential(double m, double a) { return scaled_potential(m, C(std::cos(a), std::sin(a))); }

void throw_no_transformer_sweep() {
    throw std::runtime_error("2 No backward-forward method has been defined for transformers yet.");
}

TransformerBase::TransformerBase(int n1, int n2, const C& z2_, const C& ym_, const C& k_)
    : Branch(n1, n2), z2(z2_), ym(ym_), k(k_) {}

void TransformerBase::collect_parameters(std::vector<double>& values) {
    z2.collect(values);
    ym.collect(values);
    k.collect(values);
}

void TransformerBase::bind_parameters(ADVector& p, VectorXd& p_values, int& index) {
    z2.bind(p, p_values, index);
    ym.bind(p, p_values, index);
    k.bind(p, p_values, index);
}

double TransformerBase::voltage_gain() const {
    const double m = std::abs(k.get_value());
    return std::max(m, 1.0 / m);
}

void TransformerBase::update_transformer_parameters(const C& z2_, const C& ym_, double k_re, double k_im) {
    z2.set_value(z2_);
    ym.set_value(ym_);
    k.set_value(C(k_re, k_im));
}

void TransformerBase::check_ratings(double uhv, double ulv, double sn) {
    // Otherwise the tests would write NaN or infinite potentials into shared nodes.
    if (!positive_finite(uhv) || !positive_finite(ulv) || !positive_finite(sn))
        throw std::invalid_argument("uhv, ulv and sn must be positive and finite");
}

double TransformerBase::side1_power() const {
    double p = 0.0;
    for (const Port* port : side1) p += (potential(port) * std::conj(port->current)).real();
    return p;
}

// ---------------------------------------------------------------------------------------------
// SingleTransformer

SingleTransformer::SingleTransformer(const C& z2_, const C& ym_, const C& k_)
    : Transformer<SingleTransformer>(2, 2, z2_, ym_, k_) {}

void SingleTransformer::compute_currents(bool on_tape) {
    if (on_tape) {
        const ADComplex u1 = potential_ad(side1[0]) - potential_ad(side1[1]);
        const ADComplex u2 = potential_ad(side2[0]) - potential_ad(side2[1]);
        const ADComplex i2 = complex_inverse_scaled(1.0, z2.ad) * (u2 - k.ad * u1);
        const ADComplex i1 = ym.ad * u1 - std::conj(k.ad) * i2;
        set_side_currents_ad(ad_vector({i1}), ad_vector({i2}));
    } else {
        const C kk = k.get_value();
        const C u1 = potential(side1[0]) - potential(side1[1]);
        const C u2 = potential(side2[0]) - potential(side2[1]);
        const C i2 = (C(1.0, 0.0) / z2.get_value()) * (u2 - kk * u1);
        const C i1 = ym.get_value() * u1 - std::conj(kk) * i2;
        side1[0]->current = i1;
        side1[1]->current = -i1;
        side2[0]->current = i2;
        side2[1]->current = -i2;
    }
}

SweepRole SingleTransformer::sweep_role(std::size_t k) const { return secondary_phase_role(k); }

const char* SingleTransformer::kind_name() const { return "transformer"; }

void SingleTransformer::backward_step() {
    const C i2 = downstream_current(*side2[0]);
    side2[0]->current = i2;
    side2[1]->current = -i2;
    const C u1 = potential(side1[0]) - potential(side1[1]);
    const C i1 = ym.get_value() * u1 - std::conj(k.get_value()) * i2;
    side1[0]->current = i1;
    side1[1]->current = -i1;
}

double SingleTransformer::forward_step() {
    const C u1 = potential(side1[0]) - potential(side1[1]);
    const C i2 = side2[0]->current;
    const C v2 = ((z2.get_value() * i2) + (k.get_value() * u1)) + potential(side2[1]);
    const C old = potential(side2[0]);
    write(side2[0], v2);
    return potential_change(v2, old);
}

std::pair<double, double> SingleTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
    check_ratings(uhv, ulv, sn);
    const C kk = k.get_value();
    write(side1[0], polar_potential(uhv, 0.0));
    write(side1[1], 0.0);
    write(side2[0], polar_potential(ulv, std::atan2(kk.imag(), kk.real())));
    write(side2[1], 0.0);
    compute_currents(false);
    return {side1_power(), magnitude(side1[0]->current) / (sn / uhv)};
}

std::pair<double, double> SingleTransformer::compute_short_circuit_parameters(double uhv, double ulv, double sn) {
    check_ratings(uhv, ulv, sn);
    const double vsc = (magnitude(z2.get_value()) * sn) / (ulv * ulv);
    write(side1[0], C(vsc * uhv, 0.0));
    write(side1[1], 0.0);
    write(side2[0], 0.0);
    write(side2[1], 0.0);
    compute_currents(false);
    return {side1_power(), vsc};
}

// ---------------------------------------------------------------------------------------------
// CenterTransformer

CenterTransformer::CenterTransformer(const C& z2_, const C& ym_, double k_)
    : Transformer<CenterTransformer>(2, 3, z2_, ym_, C(k_, 0.0)) {}

void CenterTransformer::compute_currents(bool on_tape) {
    if (on_tape) {
        const ADComplex u1 = potential_ad(side1[0]) - potential_ad(side1[1]);
        const AD h = k.ad.real() * AD(0.5);
        const ADComplex hu1 = u1 * h;
        const ADComplex vc = potential_ad(side2[2]);
        const ADComplex y_half = complex_inverse_scaled(1.0, z2.ad * AD(0.5));
        const ADComplex i2a = (potential_ad(side2[0]) - (vc + hu1)) * y_half;
        const ADComplex i2b = (potential_ad(side2[1]) - (vc - hu1)) * y_half;
        const ADComplex i1 = ym.ad * u1 - (i2a - i2b) * h;
        set_side_currents_ad(ad_vector({i1}), ad_vector({i2a, i2b}));
    } else {
        const C u1 = potential(side1[0]) - potential(side1[1]);
        const double h = k.get_value().real() * 0.5;
        const C vc = potential(side2[2]);
        const C z_half = z2.get_value() * 0.5;
        const C i2a = (potential(side2[0]) - (vc + h * u1)) / z_half;
        const C i2b = (potential(side2[1]) - (vc - h * u1)) / z_half;
        const C i1 = ym.get_value() * u1 - (i2a - i2b) * h;
        side1[0]->current = i1;
        side1[1]->current = -i1;
        side2[0]->current = i2a;
        side2[1]->current = i2b;
        side2[2]->current = -i2a - i2b;
    }
}

void CenterTransformer::backward_step() { throw_no_transformer_sweep(); }
const char* CenterTransformer::kind_name() const { return "centre-tap transformer"; }

std::pair<double, double> CenterTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
    check_ratings(uhv, ulv, sn);
    const C kk = k.get_value();
    const C v1 = polar_potential(uhv * 0.5, 0.0);
    const C v2 = polar_potential(ulv * 0.5, std::atan2(kk.imag(), kk.real()));
    write(side1[0], v1);
    write(side1[1], -v1);
    write(side2[0], v2);
    write(side2[1], -v2);
    write(side2[2], 0.0);
    compute_currents(false);
    return {side1_power(), magnitude(side1[0]->current) / (sn / uhv)};
}

std::pair<double, double> CenterTransformer::compute_short_circuit_parameters(double uhv, double ulv, double sn) {
    check_ratings(uhv, ulv, sn);
    const double vsc = (magnitude(z2.get_value()) * sn) / (ulv * ulv);
    const C v1 = polar_potential((vsc * uhv) * 0.5, 0.0);
    write(side1[0], v1);
    write(side1[1], -v1);
    for (Port* p : side2) write(p, 0.0);
    compute_currents(false);
    return {side1_power(), vsc};
}
