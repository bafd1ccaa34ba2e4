#include "elements/voltage_source.hpp"

#include "elements/branch.hpp"

template <class T>
AbstractVoltageSource<T>::AbstractVoltageSource(int n, const std::complex<double>* values)
    : ElementImpl<T>((check_count(n, 1), n)) {
    const std::size_t m = static_cast<std::size_t>(n - 1);
    voltages.reserve(m);
    for (std::size_t k = 0; k < m; ++k) voltages.emplace_back(values[k]);
    currents.reserve(m);
    for (std::size_t k = 0; k < m; ++k) currents.emplace_back(0.0);
}

template <class T>
void AbstractVoltageSource<T>::collect_variables(std::vector<double>& values) {
    for (const auto& c : currents) c.collect(values);
}

template <class T>
void AbstractVoltageSource<T>::collect_parameters(std::vector<double>& values) {
    for (const auto& u : voltages) u.collect(values);
}

template <class T>
void AbstractVoltageSource<T>::bind_variables(ADVector& x, VectorXd& x_values, int& index) {
    for (auto& c : currents) c.bind(x, x_values, index);
}

template <class T>
void AbstractVoltageSource<T>::bind_parameters(ADVector& p, VectorXd& p_values, int& index) {
    for (auto& u : voltages) u.bind(p, p_values, index);
}

template <class T>
void AbstractVoltageSource<T>::compute_currents(bool on_tape) {
    auto& ports = this->ports;
    const std::size_t m = currents.size();
    if (on_tape) {
        AD re(0.0);
        AD im(0.0);
        for (std::size_t k = 0; k < m; ++k) {
            ports[k].current_ad = currents[k].ad;
            re -= currents[k].ad.real();
            im -= currents[k].ad.imag();
        }
        ports.back().current_ad = ADComplex(re, im);
    } else {
        std::complex<double> sum = 0.0;
        for (std::size_t k = 0; k < m; ++k) {
            const std::complex<double> i = currents[k].get_value();
            ports[k].current = i;
            sum -= i;
        }
        ports.back().current = sum;
    }
}

template <class T>
void AbstractVoltageSource<T>::update_voltages(const std::complex<double>* values) {
    for (std::size_t k = 0; k < voltages.size(); ++k) voltages[k].set_value(values[k]);
}

template <class T>
double AbstractVoltageSource<T>::imposed_voltage() const {
    double sum = 0.0;
    for (const auto& u : voltages) sum += std::abs(u.get_value());
    return sum;
}

template class AbstractVoltageSource<VoltageSource>;
template class AbstractVoltageSource<DeltaVoltageSource>;

namespace {
void store(ADVector& residuals, int& index, const ADComplex& d) {
    residuals[static_cast<std::size_t>(index)] = d.real();
    residuals[static_cast<std::size_t>(index) + 1] = d.imag();
    index += 2;
}
}  // namespace

VoltageSource::VoltageSource(int n, const std::complex<double>* values)
    : AbstractVoltageSource<VoltageSource>(n, values) {}

void VoltageSource::add_residuals(ADVector& residuals, int& index) {
    const ADComplex neutral = ports.back().connection->get_potential_ad();
    for (std::size_t k = 0; k < voltages.size(); ++k)
        store(residuals, index, (ports[k].connection->get_potential_ad() - neutral) - voltages[k].ad);
}

void VoltageSource::backward_step() {
    std::complex<double> sum = 0.0;
    for (std::size_t k = 0; k + 1 < ports.size(); ++k) {
        apply_downstream_current(ports[k]);
        sum += ports[k].current;
    }
    ports.back().current = -sum;
}

double VoltageSource::forward_step() {
    // The change is reported too: loads right on these nodes computed their currents before it.
    const Connection& neutral = *ports.back().connection;
    double change = 0.0;
    for (std::size_t k = 0; k < voltages.size(); ++k)
        change = impose_potential(*ports[k].connection, neutral.get_potential() + voltages[k].get_value(), change);
    return change;
}

SweepRole VoltageSource::sweep_role(std::size_t k) const {
    return k + 1 == ports.size() ? SweepRole::anchor : SweepRole::imposes;
}

const char* VoltageSource::kind_name() const { return "voltage source"; }

DeltaVoltageSource::DeltaVoltageSource(int n, const std::complex<double>* values)
    : AbstractVoltageSource<DeltaVoltageSource>(n, values) {}

void DeltaVoltageSource::add_residuals(ADVector& residuals, int& index) {
    for (std::size_t k = 0; k < voltages.size(); ++k)
        store(residuals, index,
              (ports[k].connection->get_potential_ad() - ports[k + 1].connection->get_potential_ad()) -
                  voltages[k].ad);
}

void DeltaVoltageSource::backward_step() {
    // Port 0 is the reference of the chain and closes the sum.
    std::complex<double> sum = 0.0;
    for (std::size_t k = 1; k < ports.size(); ++k) {
        apply_downstream_current(ports[k]);
        sum += ports[k].current;
    }
    ports.front().current = -sum;
}

double DeltaVoltageSource::forward_step() {
    // Each step reads the potential the previous one wrote.
    double change = 0.0;
    for (std::size_t k = 0; k < voltages.size(); ++k)
        change = impose_potential(*ports[k + 1].connection, ports[k].connection->get_potential() - voltages[k].get_value(), change);
    return change;
}

SweepRole DeltaVoltageSource::sweep_role(std::size_t k) const {
    return k == 0 ? SweepRole::anchor : SweepRole::imposes;
}

const char* DeltaVoltageSource::kind_name() const { return "delta voltage source"; }
