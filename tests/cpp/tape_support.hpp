#pragma once
// Recording a network on a CppAD tape the way a Newton-family solver does, for the element and
// network tests.
#include <functional>
#include <vector>

#include "network/network.hpp"

// Starts the solver's value vectors at the network's initial values, binds the network's records to
// them and records its residuals into f; add_outputs may append further outputs after the residuals.
// Returns the number of residual outputs.
inline std::size_t record_network(ElectricalNetwork& net, VectorXd& x_values, VectorXd& p_values,
                                  CppAD::ADFun<double>& f,
                                  const std::function<void(ADVector&)>& add_outputs = {}) {
    auto [x0, p0] = net.get_initial_values();
    x_values = Eigen::Map<VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    p_values = Eigen::Map<VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
    ADVector x(x0.begin(), x0.end());
    ADVector p(p0.begin(), p0.end());
    CppAD::Independent(x, p);
    net.bind(x, x_values, p, p_values);
    ADVector y(x.size());
    net.fill_residuals(y);
    const std::size_t nb_residuals = y.size();
    if (add_outputs) add_outputs(y);
    f.Dependent(x, y);
    return nb_residuals;
}

inline std::vector<double> as_std(const VectorXd& v) { return {v.data(), v.data() + v.size()}; }

// Stands in for a solver: owns the value vectors the network's records are linked to. Unlike a
// solver it leaves the links in place when it dies, so that a test can rebind the network to a
// newer one first or see what a vanished solver leaves behind.
struct Binding {
    ADVector x, p;
    VectorXd x_values, p_values;

    explicit Binding(ElectricalNetwork& net) {
        const auto values = net.get_initial_values();
        x.assign(values.first.begin(), values.first.end());
        p.assign(values.second.begin(), values.second.end());
        x_values = Eigen::Map<const VectorXd>(values.first.data(), static_cast<Eigen::Index>(values.first.size()));
        p_values = Eigen::Map<const VectorXd>(values.second.data(), static_cast<Eigen::Index>(values.second.size()));
        net.bind(x, x_values, p, p_values);
    }
};

// A network recorded once, evaluated at whatever its records are bound to at the time.
struct RecordedNetwork {
    VectorXd x_values;
    VectorXd p_values;
    CppAD::ADFun<double> f;
    std::size_t nb_residuals = 0;

    explicit RecordedNetwork(ElectricalNetwork& net, const std::function<void(ADVector&)>& add_outputs = {})
        : nb_residuals(record_network(net, x_values, p_values, f, add_outputs)) {}

    // Every output (residuals first) at the present bound variables and parameters.
    std::vector<double> outputs() {
        if (p_values.size() > 0) f.new_dynamic(as_std(p_values));
        return f.Forward(0, as_std(x_values));
    }
};

// Records fn over independents that start at recorded_at, then evaluates the tape at evaluated_at.
inline std::vector<double> evaluate_on_tape(const std::vector<double>& recorded_at,
                                            const std::function<ADVector(const ADVector&)>& fn,
                                            const std::vector<double>& evaluated_at) {
    ADVector x(recorded_at.begin(), recorded_at.end());
    CppAD::Independent(x);
    ADVector y = fn(x);
    CppAD::ADFun<double> f(x, y);
    return f.Forward(0, evaluated_at);
}
