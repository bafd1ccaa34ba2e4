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
    // Elements with a port that its node no longer lists (disconnected before the build): they take
    // no part in the current balances, and the solvers leave their port currents at zero.
    std::vector<Element*> detached;

    explicit ElectricalNetwork(std::vector<Element*>&& elements);

    // Throws std::invalid_argument when a join or a disconnect since the build moved a port of the
    // network's elements or changed the ports of one of its nodes: its solvers would solve a topology
    // that no longer stands. Costs one comparison while nothing was joined or disconnected anywhere.
    void check_topology();
    // Sets the port currents of the detached elements to zero.
    void clear_detached_currents();

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

    // What the topology check compares with: the count of topology changes it last found harmless,
    // each element port's node at the build (element order), and for each node how many merges it
    // had taken, how many ports of the network's elements it listed and whether it was held at zero.
    struct NodeState {
        std::uint64_t merges;
        std::size_t listed_ports;
        bool is_zero;
    };
    std::uint64_t checked_version_ = 0;
    std::vector<const Connection*> port_nodes_;
    std::vector<NodeState> node_states_;

    // Each node's state as it stands.
    std::vector<NodeState> node_states() const;

    // The message of the first change found, or nullptr.
    const char* topology_change() const;
};
