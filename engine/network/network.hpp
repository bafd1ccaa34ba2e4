#pragma once
// The network a solver works on: numbering of variables and parameters, binding, residuals.
#include <memory>
#include <set>
#include <utility>

#include "network/element.hpp"

class FlexibleParameter;

class ElectricalNetwork {
public:
    std::vector<Element*> elements;
    std::vector<std::shared_ptr<Connection>> connections;
    std::set<FlexibleParameter*> flexible_parameters;

    explicit ElectricalNetwork(std::vector<Element*>&& elements);

    std::pair<std::vector<double>, std::vector<double>> get_initial_values();
    void bind(ADVector& x, VectorXd& x_values, ADVector& p, VectorXd& p_values);
    // Drops every record's link.
    void unbind();
    // Drops the links into these vectors only (their solver is going away); records that another
    // network's solver bound since keep theirs.
    void unbind(VectorXd& x_values, VectorXd& p_values);
    void fill_residuals(ADVector& residuals);
    std::vector<int> elements_of_indices(const std::vector<long>& indices);

    // Identifies the value vectors the records are linked to, so that a solver can tell whether
    // the binding in force is its own.
    const double* bound_to() const { return bound_values_; }

private:
    const double* bound_values_ = nullptr;
};
