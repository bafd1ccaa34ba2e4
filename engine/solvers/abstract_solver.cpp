#include "solvers/abstract_solver.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <spdlog/fmt/fmt.h>

AbstractSolver::AbstractSolver(ElectricalNetwork* network_) : network(network_) {
    // Before anything is bound: a refused solver changes nothing.
    network->check_topology();
}

AbstractSolver::~AbstractSolver() {
    // Only the links into this solver's vectors go: another solver may have bound some records since.
    if (network != nullptr && binding_key() != nullptr) network->unbind(variables, parameters);
}

const double* AbstractSolver::binding_key() const {
    if (variables.size() > 0) return variables.data();
    if (parameters.size() > 0) return parameters.data();
    return nullptr;
}

void AbstractSolver::reset_inputs() { variables = initial_variables; }

void AbstractSolver::set_variables(const double* values) {
    std::copy(values, values + variables.size(), variables.data());
}

void AbstractSolver::load_initial_values() {
    const auto [x0, p0] = network->get_initial_values();
    variables = Eigen::Map<const VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    parameters = Eigen::Map<const VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
}

BackwardForward::BackwardForward(ElectricalNetwork* network_) : AbstractSolver(network_), plan(*network_) {
    load_initial_values();
    // Binding takes differentiable vectors; nothing is recorded, so these are plain constants.
    ADVector ax(variables.data(), variables.data() + variables.size());
    ADVector ap(parameters.data(), parameters.data() + parameters.size());
    network->bind(ax, variables, ap, parameters);
    initial_variables = variables;
}

namespace {
bool is_nan(const std::complex<double>& z) { return std::isnan(z.real()) || std::isnan(z.imag()); }
bool is_finite(const std::complex<double>& z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }
[[noreturn]] void throw_nan(int sweep) {
    throw std::runtime_error(fmt::format("2 NaN value encountered at iteration {}. ", sweep));
}
}  // namespace

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
    network->check_topology();
    plan.check_structure();
    const std::vector<Element*>& elements = plan.order(*network);
    int i = 0;
    double error = 0.0;
    bool infinite_current = false;
    do {
        ++i;
        error = 0.0;
        // A NaN current at a node whose elements report no change (a reference's) would otherwise
        // pass for convergence. Each element's currents are checked while still in cache. An infinite
        // one may still come right (a load on a node a source has not imposed yet): it fails only if
        // it is left in the result, where the balance check would take it for balanced.
        bool nan_current = false;
        infinite_current = false;
        for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
            Element* e = *it;
            e->backward_step();
            for (const Port& p : e->ports) {
                if (is_finite(p.current)) continue;
                infinite_current = true;
                nan_current |= is_nan(p.current);
            }
        }
        // Likewise every node of an element must hold a finite potential after its step.
        bool bad_potential = false;
        for (Element* e : elements) {
            const double r = e->forward_step();
            if (!std::isnan(error) && (r > error || std::isnan(r))) error = r;
            for (const Port& p : e->ports) bad_potential |= !is_finite(p.connection->get_potential());
        }
        if (std::isnan(error) || nan_current || bad_potential) throw_nan(i);
    } while (error > tolerance && i < max_iterations);
    if (infinite_current) throw_nan(i);
    network->clear_detached_currents();
    if (!(error > tolerance)) plan.check_balance();
    return {i, error};
}
