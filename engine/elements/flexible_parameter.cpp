#include "elements/flexible_parameter.hpp"

#include <cmath>
#include <stdexcept>

namespace {

// ln of the largest double is about 709.78: exp overflows above this argument.
constexpr double exp_limit = 709.0;
// The soft minimum's weights are rescaled once their larger exponent leaves this range: beyond it
// they would overflow, or both underflow and leave 0 / 0.
constexpr double weight_limit = 700.0;

// The elementary functions of both number types, so that one template holds the law.
double exp_of(double x) { return std::exp(x); }
AD exp_of(const AD& x) { return CppAD::exp(x); }
double log_of(double x) { return std::log(x); }
AD log_of(const AD& x) { return CppAD::log(x); }
double log1p_of(double x) { return std::log1p(x); }
AD log1p_of(const AD& x) { return CppAD::log1p(x); }
double sqrt_of(double x) { return std::sqrt(x); }
AD sqrt_of(const AD& x) { return CppAD::sqrt(x); }
double tanh_of(double x) { return std::tanh(x); }
AD tanh_of(const AD& x) { return CppAD::tanh(x); }
double abs_of(double x) { return std::abs(x); }
AD abs_of(const AD& x) { return CppAD::abs(x); }

// a > b ? if_true() : if_false(). Over doubles only the branch taken is evaluated; on the tape both
// are recorded under a conditional expression, so that the choice follows the values of every
// evaluation rather than those of the recording.
template <class T, class F>
double choose_greater(double a, double b, T if_true, F if_false) {
    return a > b ? if_true() : if_false();
}
template <class T, class F>
AD choose_greater(const AD& a, double b, T if_true, F if_false) {
    return CppAD::CondExpGt(a, AD(b), if_true(), if_false());
}

// a >= 0 ? x : -x, chosen at every evaluation like choose_greater (a NaN takes -x).
double signed_like(double a, double x) { return a >= 0.0 ? x : -x; }
AD signed_like(const AD& a, const AD& x) { return CppAD::CondExpGe(a, AD(0.0), x, AD(-x)); }

double larger(double a, double b) { return a > b ? a : b; }
AD larger(const AD& a, const AD& b) { return CppAD::CondExpGt(a, b, a, b); }

// max(m, 0), keeping a NaN.
double not_negative(double m) { return m < 0.0 ? 0.0 : m; }
AD not_negative(const AD& m) { return CppAD::CondExpLt(m, AD(0.0), AD(0.0), m); }

// L(a, b) = ln((exp(a) + 1) / (exp(b) + 1)). Where an exponential would overflow, the equal
// sp(a) - sp(b) with sp(y) = max(y, 0) + log1p(exp(-|y|)): read literally, inf / inf is NaN far
// above a threshold instead of the law's limit.
template <class S>
S log_ratio(const S& a, const S& b) {
    return choose_greater(
        larger(a, b), exp_limit,
        [&] {
            return (larger(a, S(0.0)) + log1p_of(exp_of(-abs_of(a)))) -
                   (larger(b, S(0.0)) + log1p_of(exp_of(-abs_of(b))));
        },
        [&] { return log_of((exp_of(a) + 1.0) / (exp_of(b) + 1.0)); });
}

// sqrt of the soft minimum m of a and b (plus the soft floor). Shifting both exponents by the
// larger changes no weight ratio. Where m is negative (the kept component is already beyond the
// disc) no room is left: m = 0, continuous with the law there, whereas eps exp(-m / eps) would
// explode.
template <class S>
S soft_room(const S& a, const S& b, double alpha, double epsilon) {
    const double c = alpha * -0.15;
    const S e1 = c * a;
    const S e2 = c * b;
    const S high = larger(e1, e2);
    const S shift = choose_greater(abs_of(high), weight_limit, [&] { return high; }, [&] { return S(0.0); });
    const S w1 = exp_of(e1 - shift);
    const S w2 = exp_of(e2 - shift);
    const S m = not_negative((a * w1 + b * w2) / (w1 + w2));
    return sqrt_of(m + epsilon * exp_of(-m / epsilon));
}

template <class S>
S active_power(const Control& c, const S& u, const S& pt, const S& s) {
    const double a = c.alpha;
    const double eps = c.epsilon;
    switch (c.type) {
        case ControlType::constant:
            return pt;
        case ControlType::p_max_u_production: {
            const S x = u / c.u_max;
            const S e = (c.u_up + (1.0 + pt / s) * (c.u_max - c.u_up)) / c.u_max;
            return pt * (1.0 + log_ratio(a * (x - 1.0), a * (x - e)) / (a * (1.0 - e + eps * exp_of((e - 1.0) / eps))));
        }
        case ControlType::p_max_u_consumption: {
            const S x = u / c.u_min;
            const S e = (c.u_down - (1.0 - pt / s) * (c.u_down - c.u_min)) / c.u_min;
            return -pt * log_ratio(a * (x - e), a * (x - 1.0)) / (a * (e - 1.0 + eps * exp_of((1.0 - e) / eps)));
        }
        case ControlType::q_u:
            break;
    }
    throw std::runtime_error("Bad control type for P");
}

template <class S>
S reactive_power(const Control& c, const S& u, const S& qt, const S& qmin, const S& qmax) {
    switch (c.type) {
        case ControlType::constant:
            return qt;
        case ControlType::q_u: {
            const double a = c.alpha;
            const double mn = c.u_min / c.u_max;
            const double dn = c.u_down / c.u_max;
            const double up = c.u_up / c.u_max;
            const double kf = 1.0 / (a * (mn - dn));
            const double kg = 1.0 / (a * (1.0 - up));
            const S x = u / c.u_max;
            const S f = log_ratio(a * (x - dn), a * (x - mn)) * kf - 1.0;
            const S g = log_ratio(a * (x - up), a * (x - 1.0)) * kg;
            return qt + f * (qt - qmin) + g * (qmax - qt);
        }
        case ControlType::p_max_u_production:
        case ControlType::p_max_u_consumption:
            break;
    }
    throw std::runtime_error("Bad control type for Q");
}

// The four steps: P, then Q, then (unless both controls are constant) the projection onto the
// disc of radius s, in units of s.
template <class S>
std::complex<S> law(const FlexibleParameter& f, const S& u, const std::complex<S>& s_th, const S& s, const S& qmin,
                    const S& qmax) {
    const S pt = s_th.real();
    const S qt = s_th.imag();
    const S power_p = active_power(f.control_p, u, pt, s);
    const S power_q = reactive_power(f.control_q, u, qt, qmin, qmax);
    if (f.control_p.type == ControlType::constant && f.control_q.type == ControlType::constant) return s_th;

    S p = power_p / s;
    S q = power_q / s;
    const double a = f.projection.alpha;
    const double eps = f.projection.epsilon;
    switch (f.projection.type) {
        case ProjectionType::euclidean: {
            const S r2 = p * p + q * q;
            const S r = sqrt_of(r2 + eps * exp_of(r2 * (-1.0 / eps)));
            const S z = a * (r - 1.0);
            // log1p(exp(z)) as z + log1p(exp(-z)) where exp(z) overflows: d = inf would send a
            // power far outside the disc to zero instead of onto the circle.
            const S soft = choose_greater(z, exp_limit, [&] { return z + log1p_of(exp_of(-z)); },
                                          [&] { return log1p_of(exp_of(z)); });
            const S d = 1.0 + soft / a;
            p = p / d;
            q = q / d;
            break;
        }
        case ProjectionType::keep_p:
            q = tanh_of(a * q) * soft_room(q * q, 1.0 - p * p, a, eps);
            break;
        case ProjectionType::keep_q: {
            // The sign of the theoretical power (zero counts as positive).
            p = signed_like(pt, soft_room(p * p, 1.0 - q * q, a, eps));
            break;
        }
    }
    return {p * s, q * s};
}

ControlType control_type(const std::string& t) {
    if (t == "constant") return ControlType::constant;
    if (t == "q_u") return ControlType::q_u;
    if (t == "p_max_u_production") return ControlType::p_max_u_production;
    if (t == "p_max_u_consumption") return ControlType::p_max_u_consumption;
    throw std::runtime_error(t + " is a bad control type name");
}

ProjectionType projection_type(const std::string& t) {
    if (t == "euclidean") return ProjectionType::euclidean;
    if (t == "keep_p") return ProjectionType::keep_p;
    if (t == "keep_q") return ProjectionType::keep_q;
    throw std::runtime_error(t + " is a bad projection type name");
}

}  // namespace

Control::Control(const std::string& t, double u_min_, double u_down_, double u_up_, double u_max_, double alpha_,
                 double epsilon_)
    : u_min(u_min_), u_down(u_down_), u_up(u_up_), u_max(u_max_), alpha(alpha_), epsilon(epsilon_) {
    type = control_type(t);
}

Projection::Projection(const std::string& t, double alpha_, double epsilon_) : alpha(alpha_), epsilon(epsilon_) {
    type = projection_type(t);
}

FlexibleParameter::FlexibleParameter(const Control& control_p_, const Control& control_q_,
                                     const Projection& projection_, double s_max_, double q_min_, double q_max_)
    : control_p(control_p_),
      control_q(control_q_),
      projection(projection_),
      s_max(s_max_),
      q_min(q_min_),
      q_max(q_max_) {}

std::complex<double> FlexibleParameter::compute_power(double u, std::complex<double> s_th) const {
    return law(*this, u, s_th, s_max.get_value(), q_min.get_value(), q_max.get_value());
}

std::complex<AD> FlexibleParameter::compute_power_ad(const AD& u, const std::complex<AD>& s_th) const {
    return law(*this, u, s_th, s_max.ad, q_min.ad, q_max.ad);
}

void FlexibleParameter::update_parameters(double s_max_, double q_min_, double q_max_) {
    s_max.set_value(s_max_);
    q_min.set_value(q_min_);
    q_max.set_value(q_max_);
}
