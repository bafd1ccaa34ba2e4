#include "elements/bus.hpp"

#include <algorithm>
#include <cmath>

void set_all_currents_zero(Element& e, bool on_tape) {
    for (Port& p : e.ports) {
        if (on_tape)
            p.current_ad = ad_zero();
        else
            p.current = 0.0;
    }
}

Bus::Bus(int n, const std::complex<double>* potentials) : ElementImpl<Bus>(n, potentials) {}
void Bus::compute_currents(bool on_tape) { set_all_currents_zero(*this, on_tape); }
void Bus::backward_step() { set_all_currents_zero(*this, false); }
SweepRole Bus::sweep_role(std::size_t) const { return SweepRole::passive; }
const char* Bus::kind_name() const { return "bus"; }

Ground::Ground() : ElementImpl<Ground>(1) {}
void Ground::compute_currents(bool on_tape) { set_all_currents_zero(*this, on_tape); }
void Ground::backward_step() { set_all_currents_zero(*this, false); }
SweepRole Ground::sweep_role(std::size_t) const { return SweepRole::passive; }
const char* Ground::kind_name() const { return "ground"; }

PotentialRef::PotentialRef() : ElementImpl<PotentialRef>(1) {
    ports[0].connection->is_zero = true;
    ports[0].connection->zero_holds = 1;
}
void PotentialRef::compute_currents(bool on_tape) { set_all_currents_zero(*this, on_tape); }
void PotentialRef::backward_step() { set_all_currents_zero(*this, false); }
// Its node is held at zero: nothing there is stepped.
SweepRole PotentialRef::sweep_role(std::size_t) const { return SweepRole::passive; }
const char* PotentialRef::kind_name() const { return "potential reference"; }

void PotentialRef::disconnect() {
    Connection& node = *ports[0].connection;
    if (!is_connected(0)) return;
    Element::disconnect();
    if (node.zero_holds > 0 && --node.zero_holds == 0) node.is_zero = false;
}

double PotentialRef::forward_step() {
    Connection& node = *ports[0].connection;
    const std::complex<double> v = node.get_potential();
    node.set_potential(0.0);
    return std::max(std::abs(v.real()), std::abs(v.imag()));
}

std::complex<double> PotentialRef::supplied_current() const {
    std::complex<double> sum = 0.0;
    for (const Port* p : ports[0].connection->ports) sum += p->current;
    return sum;
}

DeltaPotentialRef::DeltaPotentialRef(int n) : ElementImpl<DeltaPotentialRef>((check_count(n, 1), n)), current(0.0) {}

void DeltaPotentialRef::collect_variables(std::vector<double>& values) { current.collect(values); }

void DeltaPotentialRef::bind_variables(ADVector& x, VectorXd& x_values, int& index) {
    current.bind(x, x_values, index);
}

void DeltaPotentialRef::compute_currents(bool on_tape) {
    set_all_currents_zero(*this, on_tape);
    if (on_tape)
        ports[0].current_ad = current.ad;
    else
        ports[0].current = current.get_value();
}

void DeltaPotentialRef::add_residuals(ADVector& residuals, int& index) {
    AD re(0.0);
    AD im(0.0);
    for (const Port& p : ports) {
        const ADComplex v = p.connection->get_potential_ad();
        re += v.real();
        im += v.imag();
    }
    residuals[index] = re;
    residuals[index + 1] = im;
    index += 2;
}

void DeltaPotentialRef::backward_step() { set_all_currents_zero(*this, false); }
SweepRole DeltaPotentialRef::sweep_role(std::size_t) const { return SweepRole::shifts; }
const char* DeltaPotentialRef::kind_name() const { return "delta potential reference"; }

double DeltaPotentialRef::forward_step() {
    if (ports.empty()) return 0.0;
    std::complex<double> sum = 0.0;
    for (const Port& p : ports) sum += p.connection->get_potential();
    const double n = static_cast<double>(ports.size());
    for (Port& p : ports) {
        Connection& node = *p.connection;
        node.set_potential(node.get_potential() - sum / n);
    }
    return std::max(std::abs(sum.real()), std::abs(sum.imag()));
}
