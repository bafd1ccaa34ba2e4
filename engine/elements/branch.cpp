#include "elements/branch.hpp"

#include "elements/bus.hpp"

#include <cmath>
#include <limits>

namespace {
int total_ports(int n1, int n2, int n3) {
    check_count(n1);
    check_count(n2);
    check_count(n3);
    // A sum beyond int would wrap; it is refused like a negative count.
    const long long total = static_cast<long long>(n1) + n2 + n3;
    if (total > std::numeric_limits<int>::max()) throw_negative_count();
    return static_cast<int>(total);
}

template <class Vector, class Value, class Setter>
void apply_side_rule(std::vector<Port*>& side, const Vector& values, Value zero, Setter set) {
    const std::size_t m = side.size();
    const std::size_t v = static_cast<std::size_t>(values.size());
    for (std::size_t k = 0; k < v; ++k) set(*side[k], values[static_cast<Eigen::Index>(k)]);
    if (v < m) {
        Value sum = zero;
        for (std::size_t k = 0; k < v; ++k) sum -= values[static_cast<Eigen::Index>(k)];
        set(*side[m - 1], sum);
    }
}
}  // namespace

double larger_change(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
    return a < b ? b : a;
}

Branch::Branch(int n1, int n2) : Branch(n1, n2, 0) {}

Branch::Branch(int n1, int n2, int n3) : Element(total_ports(n1, n2, n3)) {
    side1.reserve(static_cast<std::size_t>(n1));
    side2.reserve(static_cast<std::size_t>(n2));
    for (int k = 0; k < n1; ++k) side1.push_back(&ports[static_cast<std::size_t>(k)]);
    for (int k = 0; k < n2; ++k) side2.push_back(&ports[static_cast<std::size_t>(n1 + k)]);
}

void Branch::set_side_currents_ad(const ADComplexVector& i1, const ADComplexVector& i2) {
    auto set = [](Port& p, const ADComplex& v) { p.current_ad = v; };
    apply_side_rule(side1, i1, ad_zero(), set);
    apply_side_rule(side2, i2, ad_zero(), set);
}

void Branch::set_side_currents(const Eigen::VectorXcd& i1, const Eigen::VectorXcd& i2) {
    auto set = [](Port& p, const std::complex<double>& v) { p.current = v; };
    apply_side_rule(side1, i1, std::complex<double>(0.0), set);
    apply_side_rule(side2, i2, std::complex<double>(0.0), set);
}

std::complex<double> downstream_current(const Port& p) {
    std::complex<double> sum = 0.0;
    for (const Port* other : p.connection->ports)
        if (other != &p) sum += other->current;
    return -sum;
}

Switch::Switch(int n) : Branch(n, n) {
    currents.reserve(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) currents.emplace_back(0.0);
}

void Switch::collect_variables(std::vector<double>& values) {
    for (const auto& c : currents) c.collect(values);
}

void Switch::bind_variables(ADVector& x, VectorXd& x_values, int& index) {
    for (auto& c : currents) c.bind(x, x_values, index);
}

void Switch::compute_currents(bool on_tape) {
    for (std::size_t k = 0; k < currents.size(); ++k) {
        if (on_tape) {
            side1[k]->current_ad = currents[k].ad;
            side2[k]->current_ad = -currents[k].ad;
        } else {
            const std::complex<double> i = currents[k].get_value();
            side1[k]->current = i;
            side2[k]->current = -i;
        }
    }
}

void Switch::add_residuals(ADVector& residuals, int& index) {
    for (std::size_t k = 0; k < currents.size(); ++k) {
        const ADComplex d = side1[k]->connection->get_potential_ad() - side2[k]->connection->get_potential_ad();
        residuals[index] = d.real();
        residuals[index + 1] = d.imag();
        index += 2;
    }
}

void Switch::backward_step() {
    for (Port* p : side2) apply_downstream_current(*p);
    for (std::size_t k = 0; k < side1.size(); ++k) side1[k]->current = -side2[k]->current;
}

double Switch::forward_step() {
    double change = 0.0;
    for (std::size_t k = 0; k < side1.size(); ++k)
        change = impose_potential(*side2[k]->connection, side1[k]->connection->get_potential(), change);
    return change;
}

SweepRole Switch::sweep_role(std::size_t k) const {
    // Between two nodes held at zero it copies zero onto zero, which holds.
    if (k >= side1.size() && side2[k - side1.size()]->connection->is_zero &&
        side1[k - side1.size()]->connection->is_zero)
        return SweepRole::imposes_zero;
    return side_role(k);
}

const char* Switch::kind_name() const { return "switch"; }

OpenSwitch::OpenSwitch(int n) : Branch(n, n) {}

void OpenSwitch::compute_currents(bool on_tape) { set_all_currents_zero(*this, on_tape); }

void OpenSwitch::backward_step() {
    for (Port* p : side2) p->current = 0.0;
    for (Port* p : side1) p->current = 0.0;
}

SweepRole OpenSwitch::sweep_role(std::size_t) const { return SweepRole::passive; }
const char* OpenSwitch::kind_name() const { return "open switch"; }
