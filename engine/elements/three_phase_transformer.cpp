#include "elements/three_phase_transformer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace {
using C = std::complex<double>;
using Real = Eigen::MatrixXd;

const double sqrt3 = 1.7320508075688772;
const double pi = 3.141592653589793;
// Phases a, b, c of a positive-sequence set, as the tests write them.
const C phase_factors[3] = {{1.0, 0.0}, {-0.49999999999999983, -0.8660254037844387}, {-0.5000000000000004, 0.8660254037844384}};

bool in(int clock, std::initializer_list<int> set) {
    for (int c : set)
        if (c == clock) return true;
    return false;
}

// Phase minus neutral, 3 x 4.
Real phase_to_neutral() {
    Real n = Real::Zero(3, 4);
    for (int i = 0; i < 3; ++i) {
        n(i, i) = 1.0;
        n(i, 3) = -1.0;
    }
    return n;
}

// (P1 v)_i = v_(i+1 mod 3); P2 is its transpose.
Eigen::Matrix3d shift_next() {
    Eigen::Matrix3d p = Eigen::Matrix3d::Zero();
    for (int i = 0; i < 3; ++i) p(i, (i + 1) % 3) = 1.0;
    return p;
}

int ports_for(const std::string& letter) { return letter == "D" || letter == "d" ? 3 : 4; }

// Every check of the constructor, in its order, before any port exists; returns n1.
int checked_hv_ports(int n1, int n2, const std::string& whv, const std::string& wlv, int clock) {
    check_count(n1);
    check_count(n2);
    if (whv != "Y" && whv != "D") throw std::runtime_error("Bad HV winding: " + whv);
    if (wlv != "y" && wlv != "d" && wlv != "z") throw std::runtime_error("Bad LV winding: " + wlv);
    // The winding products read exactly these many potentials.
    const auto check_ports = [](const char* side, const std::string& letter, int n) {
        const int needed = ports_for(letter);
        if (n != needed)
            throw std::invalid_argument(std::string(side) + " winding " + letter + " needs " + std::to_string(needed) +
                                        " ports, got " + std::to_string(n));
    };
    check_ports("HV", whv, n1);
    check_ports("LV", wlv, n2);
    // Only these clocks get their own phase shift from the tables below; any other would silently
    // act as a neighbouring one.
    const bool even = (whv == "Y") == (wlv == "y");
    const bool allowed = even ? in(clock, {0, 2, 4, 6, 8, 10}) : in(clock, {1, 5, 7, 11});
    if (!allowed) throw std::invalid_argument("Bad clock: " + std::to_string(clock) + " for " + whv + wlv);
    return n1;
}

template <class S>
std::complex<S> times(const std::complex<S>& z, double m) {
    return z * S(m);
}

// The winding equations over either number type: U1 = W1 V1, U2 = W2 V2,
// I2w = (o / z2)(U2 - G kr U1), I1w = ym U1 + kr D I2w; port currents A I1w and B I2w.
template <class S>
void port_currents(const ThreePhaseTransformer& t, const std::vector<std::complex<S>>& v1,
                   const std::vector<std::complex<S>>& v2, const S& kr, const std::complex<S>& inverse_z2,
                   const std::complex<S>& ym, Eigen::Matrix<std::complex<S>, Eigen::Dynamic, 1>& i1,
                   Eigen::Matrix<std::complex<S>, Eigen::Dynamic, 1>& i2) {
    using Cx = std::complex<S>;
    const Cx zero(S(0.0), S(0.0));
    std::array<Cx, 3> u1, u2, i1w, i2w;
    for (int i = 0; i < 3; ++i) {
        u1[i] = zero;
        for (std::size_t j = 0; j < v1.size(); ++j)
            u1[i] += times(v1[j], t.hv_winding_matrix(i, static_cast<Eigen::Index>(j)));
        u2[i] = zero;
        for (std::size_t j = 0; j < v2.size(); ++j)
            u2[i] += times(v2[j], t.lv_winding_matrix(i, static_cast<Eigen::Index>(j)));
    }
    const Cx y_o(inverse_z2.real() * S(t.orientation), inverse_z2.imag() * S(t.orientation));
    for (int i = 0; i < 3; ++i) {
        Cx coupled = zero;
        for (int j = 0; j < 3; ++j) coupled += u1[j] * (S(t.lv_voltage_coupling(i, j)) * kr);
        i2w[i] = y_o * (u2[i] - coupled);
    }
    for (int i = 0; i < 3; ++i) {
        Cx coupled = zero;
        for (int j = 0; j < 3; ++j) coupled += i2w[j] * (kr * S(t.hv_current_coupling(i, j)));
        i1w[i] = ym * u1[i] + coupled;
    }
    i1.resize(3);
    i2.resize(3);
    for (int i = 0; i < 3; ++i) {
        i1[i] = zero;
        i2[i] = zero;
        for (int j = 0; j < 3; ++j) {
            i1[i] += times(i1w[j], t.hv_current_matrix(i, j));
            i2[i] += times(i2w[j], t.lv_current_matrix(i, j));
        }
    }
}
}  // namespace

ThreePhaseTransformer::ThreePhaseTransformer(int n1, int n2, const std::string& whv_, const std::string& wlv_,
                                             const C& z2_, const C& ym_, double k_, int clock_)
    : Transformer<ThreePhaseTransformer>(checked_hv_ports(n1, n2, whv_, wlv_, clock_), n2, z2_, ym_, C(k_, 0.0)),
      clock(clock_),
      whv(whv_),
      wlv(wlv_) {
    const Eigen::Matrix3d id = Eigen::Matrix3d::Identity();
    const Eigen::Matrix3d p1 = shift_next();
    const Eigen::Matrix3d p2 = p1.transpose();
    const Eigen::Matrix3d d1 = id - p1;  // phase i minus phase i+1
    const Eigen::Matrix3d d2 = id - p2;  // phase i minus phase i-1
    const Real n = phase_to_neutral();
    const double o0 = clock >= 4 && clock <= 8 ? -1.0 : 1.0;

    if (whv == "Y") {
        hv_winding_matrix = n;
        hv_current_matrix = id;
    } else if (in(clock, {0, 4, 5, 6, 10, 11})) {
        hv_winding_matrix = d1;
        hv_current_matrix = d2;
    } else {
        hv_winding_matrix = d2;
        hv_current_matrix = d1;
    }

    const bool first_set = in(clock, {0, 1, 2, 6, 7, 8});
    double o = o0;
    Eigen::Matrix3d b = id, g = id;
    hv_current_coupling = -id;
    if (wlv == "y") {
        if (clock == 2 || clock == 8) {
            lv_winding_matrix = p1 * n;
            o = -o0;
            b = p1.transpose();
        } else if (clock == 4 || clock == 10) {
            lv_winding_matrix = p2 * n;
            o = -o0;
            b = p2.transpose();
        } else {
            lv_winding_matrix = n;
        }
    } else if (wlv == "d") {
        lv_winding_matrix = first_set ? d1 : d2;
        b = lv_winding_matrix.transpose();
    } else {
        lv_winding_matrix = n;
        g = first_set ? d2 : d1;
        hv_current_coupling = -g.transpose();
    }
    orientation = o;
    lv_current_matrix = o * b;
    lv_voltage_coupling = o * g;
}

void ThreePhaseTransformer::compute_currents(bool on_tape) {
    if (on_tape) {
        std::vector<ADComplex> v1, v2;
        for (const Port* p : side1) v1.push_back(p->connection->get_potential_ad());
        for (const Port* p : side2) v2.push_back(p->connection->get_potential_ad());
        ADComplexVector i1, i2;
        port_currents<AD>(*this, v1, v2, k.ad.real(), complex_inverse_scaled(1.0, z2.ad), ym.ad, i1, i2);
        set_side_currents_ad(i1, i2);
    } else {
        std::vector<C> v1, v2;
        for (const Port* p : side1) v1.push_back(p->connection->get_potential());
        for (const Port* p : side2) v2.push_back(p->connection->get_potential());
        Eigen::VectorXcd i1, i2;
        port_currents<double>(*this, v1, v2, k.get_value().real(), C(1.0, 0.0) / z2.get_value(), ym.get_value(), i1,
                              i2);
        set_side_currents(i1, i2);
    }
}

void ThreePhaseTransformer::backward_step() { throw_no_transformer_sweep(); }
const char* ThreePhaseTransformer::kind_name() const { return "three-phase transformer"; }
double ThreePhaseTransformer::voltage_gain() const { return 3.0 * TransformerBase::voltage_gain(); }

void ThreePhaseTransformer::write_test_potentials(const C* v1, const C* v2) {
    for (std::size_t i = 0; i < 3; ++i) {
        side1[i]->connection->set_potential(v1[i]);
        side2[i]->connection->set_potential(v2[i]);
    }
    if (side1.size() == 4) side1[3]->connection->set_potential(0.0);
    if (side2.size() == 4) side2[3]->connection->set_potential(0.0);
}

std::pair<double, double> ThreePhaseTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
    check_ratings(uhv, ulv, sn);
    const double x = (clock * (-0.0) * pi) / 6.0;
    const double y = (clock * (-pi)) / 6.0;
    const C rotation = std::exp(C(x, y));  // LV lags by clock x 30 degrees
    const double g = uhv / sqrt3;
    const double h = ulv / sqrt3;
    C v1[3], v2[3];
    for (int i = 0; i < 3; ++i) {
        v1[i] = scaled_potential(g, phase_factors[i]);
        v2[i] = scaled_potential(h, phase_factors[i]) * rotation;
    }
    write_test_potentials(v1, v2);
    compute_currents(false);
    const C ia = side1[0]->current;
    return {side1_power(), std::hypot(ia.real(), ia.imag()) / (sn / (uhv * sqrt3))};
}

std::pair<double, double> ThreePhaseTransformer::compute_short_circuit_parameters(double uhv, double ulv, double sn) {
    check_ratings(uhv, ulv, sn);
    const C z = z2.get_value();
    double d = std::hypot(z.real(), z.imag());
    if (wlv == "d") d = d / 3.0;
    const double vsc = (d * sn) / (ulv * ulv);
    const double a = (vsc * uhv) / sqrt3;
    C v1[3], v2[3];
    for (int i = 0; i < 3; ++i) {
        v1[i] = scaled_potential(a, phase_factors[i]);
        v2[i] = 0.0;
    }
    write_test_potentials(v1, v2);
    compute_currents(false);
    return {side1_power(), vsc};
}
