#include "network/network.hpp"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "elements/flexible_load.hpp"

namespace {
// Every flexible parameter of a flexible load, once each (a set of pointers: address order).
void gather_flexible_parameters(Element* e, std::set<FlexibleParameter*>& set) {
    if (auto* star = dynamic_cast<FlexibleLoad*>(e))
        set.insert(star->parameters.begin(), star->parameters.end());
    else if (auto* delta = dynamic_cast<DeltaFlexibleLoad*>(e))
        set.insert(delta->parameters.begin(), delta->parameters.end());
}
}  // namespace

ElectricalNetwork::ElectricalNetwork(std::vector<Element*>&& elements_)
    : elements(std::move(elements_)), checked_version_(topology_version()) {
    std::set<const Connection*> seen;
    for (Element* e : elements) {
        for (Port& port : e->ports) {
            if (seen.insert(port.connection.get()).second) connections.push_back(port.connection);
            port_nodes_.push_back(port.connection.get());
        }
        gather_flexible_parameters(e, flexible_parameters);
    }
    node_states_ = node_states();
    // An element with a port its node does not list was disconnected.
    std::unordered_map<const Element*, std::size_t> listed_ports;
    for (const auto& c : connections)
        for (const Port* p : c->ports) ++listed_ports[p->element];
    for (Element* e : elements) {
        std::size_t& listed = listed_ports[e];
        if (listed >= e->ports.size()) continue;
        detached.push_back(e);
        listed = e->ports.size();  // once, if listed twice
    }
}

std::vector<ElectricalNetwork::NodeState> ElectricalNetwork::node_states() const {
    const std::unordered_set<const Element*> listed(elements.begin(), elements.end());
    std::vector<NodeState> states;
    states.reserve(connections.size());
    for (const auto& c : connections) {
        std::size_t count = 0;
        for (const Port* p : c->ports) count += listed.count(p->element);
        states.push_back({c->merges, count, c->is_zero});
    }
    return states;
}

const char* ElectricalNetwork::topology_change() const {
    const char* const joined = "the network's elements were joined after it was built: build a new network";
    const char* const disconnected = "the network's elements were disconnected after it was built: build a new network";
    std::size_t i = 0;
    for (const Element* e : elements)
        for (const Port& p : e->ports)
            if (p.connection.get() != port_nodes_[i++]) return joined;
    // A port leaves a node only by a disconnect (or its element's end) and never comes back, so a
    // node listing as many of the network's ports as at the build lists the same ones. Ports of
    // other elements may have gone: they never entered the network's equations.
    const std::vector<NodeState> now = node_states();
    for (std::size_t x = 0; x < now.size(); ++x) {
        const NodeState& was = node_states_[x];
        if (now[x].merges != was.merges || (now[x].is_zero && !was.is_zero)) return joined;
        if (now[x].listed_ports != was.listed_ports || now[x].is_zero != was.is_zero) return disconnected;
    }
    return nullptr;
}

void ElectricalNetwork::check_topology() {
    const std::uint64_t version = topology_version();
    if (version == checked_version_) return;
    if (const char* change = topology_change()) throw std::invalid_argument(change);
    checked_version_ = version;
}

void ElectricalNetwork::clear_detached_currents() {
    for (Element* e : detached)
        for (Port& p : e->ports) p.current = 0.0;
}

std::pair<std::vector<double>, std::vector<double>> ElectricalNetwork::get_initial_values() {
    std::vector<double> variables;
    std::vector<double> parameters;
    for (const auto& c : connections) {
        if (c->is_zero) continue;
        variables.push_back(c->potential.value.real());
        variables.push_back(c->potential.value.imag());
    }
    for (Element* e : elements) {
        e->collect_variables(variables);
        e->collect_parameters(parameters);
    }
    for (FlexibleParameter* f : flexible_parameters) f->collect_parameters(parameters);
    return {std::move(variables), std::move(parameters)};
}

void ElectricalNetwork::bind(ADVector& x, VectorXd& x_values, ADVector& p, VectorXd& p_values) {
    int i = 0;
    for (const auto& c : connections) {
        if (c->is_zero) continue;
        c->potential.bind(x, x_values, i);
    }
    int j = 0;
    for (Element* e : elements) {
        e->bind_variables(x, x_values, i);
        e->bind_parameters(p, p_values, j);
    }
    for (FlexibleParameter* f : flexible_parameters) f->bind_parameters(p, p_values, j);
    bound_values_ = x_values.size() > 0 ? x_values.data() : (p_values.size() > 0 ? p_values.data() : nullptr);
}

void ElectricalNetwork::unbind() {
    VectorXd empty_x;
    VectorXd empty_p;
    unbind(empty_x, empty_p);
}

void ElectricalNetwork::unbind(VectorXd& x_values, VectorXd& p_values) {
    const double* was_bound_to = bound_values_;
    ADVector none;
    bind(none, x_values, none, p_values);
    // A node joined to a reference after binding is held at zero but still linked.
    int unused = 0;
    for (const auto& c : connections) c->potential.bind(none, x_values, unused);
    const bool everything = x_values.size() == 0 && p_values.size() == 0;
    bound_values_ = (everything || was_bound_to == x_values.data() || was_bound_to == p_values.data()) ? nullptr : was_bound_to;
}

void ElectricalNetwork::fill_residuals(ADVector& residuals) {
    for (Element* e : elements) e->compute_currents(true);
    int i = 0;
    for (const auto& c : connections) {
        if (c->is_zero) continue;
        AD re(0.0);
        AD im(0.0);
        for (const Port* port : c->ports) {
            re += port->current_ad.real();
            im += port->current_ad.imag();
        }
        residuals[i] = re;
        residuals[i + 1] = im;
        i += 2;
    }
    for (Element* e : elements) e->add_residuals(residuals, i);
}

std::vector<int> ElectricalNetwork::elements_of_indices(const std::vector<long>& indices) {
    std::vector<const Connection*> free_nodes;
    for (const auto& c : connections)
        if (!c->is_zero) free_nodes.push_back(c.get());
    const long node_entries = 2 * static_cast<long>(free_nodes.size());

    auto position_of = [this](const Element* e) -> int {
        auto it = std::find(elements.begin(), elements.end(), e);
        return it == elements.end() ? -1 : static_cast<int>(it - elements.begin());
    };

    std::set<int> positions;
    // Block ends of the elements' variables, computed only as far as needed.
    std::vector<long> block_end;
    long next_start = node_entries;
    std::vector<double> scratch;
    for (long index : indices) {
        if (index < node_entries) {
            const Connection* node = free_nodes[static_cast<std::size_t>(index / 2)];
            bool any_nan = false;
            for (const Port* port : node->ports) {
                const double re = CppAD::Value(CppAD::Var2Par(port->current_ad.real()));
                const double im = CppAD::Value(CppAD::Var2Par(port->current_ad.imag()));
                if (re != re || im != im) {
                    any_nan = true;
                    const int pos = position_of(port->element);
                    if (pos >= 0) positions.insert(pos);
                }
            }
            if (!any_nan && !node->ports.empty()) {
                const int pos = position_of(node->ports.front()->element);
                if (pos >= 0) positions.insert(pos);
            }
            continue;
        }
        while (block_end.size() < elements.size() && (block_end.empty() || block_end.back() <= index)) {
            scratch.clear();
            elements[block_end.size()]->collect_variables(scratch);
            next_start += static_cast<long>(scratch.size());
            block_end.push_back(next_start);
        }
        auto it = std::upper_bound(block_end.begin(), block_end.end(), index);
        const std::size_t owner = it == block_end.end() ? elements.size() - 1 : static_cast<std::size_t>(it - block_end.begin());
        if (!elements.empty()) positions.insert(static_cast<int>(owner));
    }
    return {positions.begin(), positions.end()};
}
