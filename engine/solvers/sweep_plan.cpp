#include "solvers/sweep_plan.hpp"

#include <algorithm>
#include <complex>
#include <functional>
#include <queue>
#include <stdexcept>
#include <unordered_map>

#include <spdlog/fmt/fmt.h>

#include "elements/branch.hpp"
#include "elements/bus.hpp"
#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/transformer.hpp"
#include "elements/voltage_regulator.hpp"
#include "elements/voltage_source.hpp"

namespace {

// What an element's sweep steps do with the node of one of its ports.
enum class Role : unsigned char {
    passive,  // nothing that depends on the node: a current that is always zero, no potential read
    active,   // reads the node's potential, or sets a current there that its driver must see
    driven,   // imposes the node's potential and takes the current the rest of the node leaves
    ground,   // a shunt line's ground: read as zero by its steps
};

enum class Family : unsigned char {
    unknown,       // no sweep rule known here: the element's own steps decide
    load,          // every port read
    passive,       // buses, grounds, references, open switches
    branch,        // side 1 read, side 2 imposed
    shunt_line,    // a branch with a ground port last
    secondary,     // a transformer or regulator imposing its secondary phase (port 2)
    star_source,   // the phases imposed over the neutral, last
    delta_source,  // ports 1 to n-1 imposed down the chain from port 0
};

struct Kind {
    Family family = Family::unknown;
    const char* name = nullptr;
};

Kind classify(const Element& e) {
    if (dynamic_cast<const LoadBase*>(&e)) return {Family::load, "load"};
    if (dynamic_cast<const Bus*>(&e)) return {Family::passive, "bus"};
    if (dynamic_cast<const Ground*>(&e)) return {Family::passive, "ground"};
    if (dynamic_cast<const PotentialRef*>(&e)) return {Family::passive, "potential reference"};
    if (dynamic_cast<const DeltaPotentialRef*>(&e)) return {Family::passive, "delta potential reference"};
    if (dynamic_cast<const OpenSwitch*>(&e)) return {Family::passive, "open switch"};
    if (dynamic_cast<const Switch*>(&e)) return {Family::branch, "switch"};
    if (dynamic_cast<const SimplifiedLine*>(&e)) return {Family::branch, "line"};
    if (dynamic_cast<const ShuntLine*>(&e)) return {Family::shunt_line, "shunt line"};
    if (dynamic_cast<const SingleTransformer*>(&e)) return {Family::secondary, "transformer"};
    if (dynamic_cast<const SingleVoltageRegulator*>(&e)) return {Family::secondary, "voltage regulator"};
    if (dynamic_cast<const VoltageSource*>(&e)) return {Family::star_source, "voltage source"};
    if (dynamic_cast<const DeltaVoltageSource*>(&e)) return {Family::delta_source, "delta voltage source"};
    return {};
}

Role role_of(Family family, const Element& e, std::size_t k) {
    switch (family) {
        case Family::load:
            return Role::active;
        case Family::branch:
            return k < static_cast<const Branch&>(e).side1.size() ? Role::active : Role::driven;
        case Family::shunt_line:
            if (k + 1 == e.ports.size()) return Role::ground;
            return k < static_cast<const Branch&>(e).side1.size() ? Role::active : Role::driven;
        case Family::secondary:
            return k == 2 ? Role::driven : Role::active;
        case Family::star_source:
            return k + 1 == e.ports.size() ? Role::active : Role::driven;
        case Family::delta_source:
            return k == 0 ? Role::active : Role::driven;
        case Family::passive:
        case Family::unknown:
            break;
    }
    return Role::passive;
}

struct Entry {
    int element;  // index into the distinct elements, in order of first listing
    int port;
    Role role;
};

const char* const try_newton = "Solve it by Newton-Goldstein. ";

}  // namespace

SweepPlan::SweepPlan(const ElectricalNetwork& network) {
    // Distinct elements by first listing; an element listed twice is stepped twice, which is harmless.
    std::unordered_map<const Element*, int> index_of;
    std::vector<Element*> elements;
    std::vector<int> position;
    std::vector<Kind> kinds;
    for (std::size_t i = 0; i < network.elements.size(); ++i) {
        Element* e = network.elements[i];
        if (e == nullptr) return;
        if (!index_of.emplace(e, static_cast<int>(elements.size())).second) continue;
        kinds.push_back(classify(*e));
        if (kinds.back().family == Family::unknown) return;
        elements.push_back(e);
        position.push_back(static_cast<int>(i));
    }

    // The ports of every node, grouped node by node (nodes in first-seen order).
    std::size_t port_count = 0;
    for (const Element* e : elements) port_count += e->ports.size();
    std::unordered_map<const Connection*, int> node_of;
    node_of.reserve(port_count);
    std::vector<std::shared_ptr<Connection>> nodes;
    std::vector<int> node_of_port;
    node_of_port.reserve(port_count);
    for (const Element* e : elements) {
        for (const Port& p : e->ports) {
            const auto [it, added] = node_of.emplace(p.connection.get(), static_cast<int>(nodes.size()));
            if (added) nodes.push_back(p.connection);
            node_of_port.push_back(it->second);
        }
    }
    std::vector<std::size_t> first_entry(nodes.size() + 1, 0);
    for (int x : node_of_port) ++first_entry[static_cast<std::size_t>(x) + 1];
    for (std::size_t x = 0; x < nodes.size(); ++x) first_entry[x + 1] += first_entry[x];
    std::vector<Entry> entries(port_count);
    {
        std::vector<std::size_t> next(first_entry.begin(), first_entry.end() - 1);
        std::size_t i = 0;
        for (std::size_t u = 0; u < elements.size(); ++u) {
            for (std::size_t k = 0; k < elements[u]->ports.size(); ++k) {
                const std::size_t x = static_cast<std::size_t>(node_of_port[i++]);
                entries[next[x]++] = {static_cast<int>(u), static_cast<int>(k),
                                      role_of(kinds[u].family, *elements[u], k)};
            }
        }
    }

    auto name = [&](const Entry& e) {
        return fmt::format("port {} of the {} at position {}", e.port, kinds[static_cast<std::size_t>(e.element)].name,
                           position[static_cast<std::size_t>(e.element)]);
    };
    // The first refusal of the most telling kind: a node imposed twice explains the others it causes.
    int refusal_rank = 0;
    auto refuse = [&](int rank, std::string message) {
        if (refusal_.empty() || rank < refusal_rank) {
            refusal_ = std::move(message);
            refusal_rank = rank;
        }
    };

    // Each driver with an element that must come after it.
    std::vector<std::pair<int, int>> edges;
    bool in_order = true;
    for (std::size_t x = 0; x < nodes.size(); ++x) {
        const Entry* const begin = entries.data() + first_entry[x];
        const Entry* const end = entries.data() + first_entry[x + 1];
        const Entry* driver = nullptr;
        for (const Entry* e = begin; e != end; ++e) {
            if (e->role != Role::driven) continue;
            if (driver != nullptr) {
                refuse(0, fmt::format("2 The potential of one node is imposed twice, by {} and by {}: a mesh (a ring), "
                                      "a second source, or a branch whose side 1 does not face the source. The "
                                      "backward-forward sweep solves radial networks fed from their sources. {}",
                                      name(*driver), name(*e), try_newton));
                break;
            }
            driver = e;
        }
        if (driver == nullptr) {
            const bool active = std::any_of(begin, end, [](const Entry& e) { return e.role != Role::passive; });
            if (!nodes[x]->is_zero && active) free_nodes_.push_back({nodes[x], name(*begin)});
            continue;
        }
        const std::size_t d = static_cast<std::size_t>(driver->element);
        if (nodes[x]->is_zero) {
            // A closed switch between two nodes held at zero holds; anything else would have to move the node.
            const auto* s = dynamic_cast<const Switch*>(elements[d]);
            const bool holds =
                s != nullptr &&
                s->side1[static_cast<std::size_t>(driver->port) - s->side1.size()]->connection->is_zero;
            const Family f = kinds[d].family;
            if (!holds && (f == Family::star_source || f == Family::delta_source))
                refuse(1, fmt::format("2 The {} at position {} cannot impose its voltages: a potential reference holds "
                                      "its port {} at zero. Hold its port {} at zero instead, or solve it by "
                                      "Newton-Goldstein. ",
                                      kinds[d].name, position[d], driver->port,
                                      f == Family::star_source ? elements[d]->ports.size() - 1 : 0));
            else if (!holds)
                refuse(1, fmt::format("2 A potential reference holds at zero the node whose potential {} imposes: a mesh "
                                      "through the reference, such as a conductor held at zero at both ends. {}",
                                      name(*driver), try_newton));
        }
        bool own_port = false;
        for (const Entry* e = begin; e != end; ++e) {
            if (e == driver || e->role == Role::passive) continue;
            if (e->role == Role::ground && !nodes[x]->is_zero)
                refuse(2, fmt::format("2 The ground port of the shunt line at position {} is joined to the node whose "
                                      "potential {} imposes; the sweep takes a shunt line's ground at zero: join it to "
                                      "a potential reference. {}",
                                      position[static_cast<std::size_t>(e->element)], name(*driver), try_newton));
            if (e->element == driver->element) {
                own_port = true;
                continue;
            }
            edges.emplace_back(driver->element, e->element);
            in_order = in_order && driver->element < e->element;
        }
        // The driver's other ports here take their currents after it has summed the node's.
        if (own_port && !nodes[x]->is_zero) free_nodes_.push_back({nodes[x], name(*driver)});
    }
    if (!refusal_.empty() || in_order) return;

    // Kahn's order, the earliest listed first among those ready: drivers before what they feed.
    std::vector<std::vector<int>> after(elements.size());
    std::vector<int> waiting(elements.size(), 0);
    for (const auto& [u, v] : edges) {
        after[static_cast<std::size_t>(u)].push_back(v);
        ++waiting[static_cast<std::size_t>(v)];
    }
    std::priority_queue<int, std::vector<int>, std::greater<int>> ready;
    for (std::size_t u = 0; u < elements.size(); ++u)
        if (waiting[u] == 0) ready.push(static_cast<int>(u));
    order_.reserve(elements.size());
    while (!ready.empty()) {
        const int u = ready.top();
        ready.pop();
        order_.push_back(elements[static_cast<std::size_t>(u)]);
        for (int v : after[static_cast<std::size_t>(u)])
            if (--waiting[static_cast<std::size_t>(v)] == 0) ready.push(v);
    }
    if (order_.size() < elements.size()) {
        std::string loop;
        int named = 0;
        for (std::size_t u = 0; u < elements.size() && named < 6; ++u) {
            if (waiting[u] == 0) continue;
            loop += fmt::format("{}{}", named == 0 ? "" : ", ", position[u]);
            ++named;
        }
        refuse(3, fmt::format("2 The elements at positions {}{} impose each other's potentials in a loop: a mesh, or "
                              "branches whose side 1 does not face the source. {}",
                              loop, named == 6 ? ", ..." : "", try_newton));
        order_.clear();
        return;
    }
    reordered_ = true;
}

void SweepPlan::check_structure() const {
    if (!refusal_.empty()) throw std::runtime_error(refusal_);
}

void SweepPlan::check_balance() const {
    for (const FreeNode& f : free_nodes_) {
        std::complex<double> sum = 0.0;
        double scale = 0.0;
        for (const Port* p : f.node->ports) {
            sum += p->current;
            for (const Port& q : p->element->ports) scale = std::max(scale, std::abs(q.current));
        }
        // Every current the sweep sets at such a node comes from the same backward pass: a node
        // that balances does so to rounding.
        if (!(std::abs(sum) <= 1e-9 * scale))
            throw std::runtime_error(fmt::format(
                "2 The currents do not balance at the node of {}: {:.3g} A reach no "
                "source or potential reference. A part that no source feeds (an island, such as one behind an open "
                "switch), or a star point or ground port joined to nothing: join it to a source or a potential "
                "reference, or solve it by Newton-Goldstein. ",
                f.name, std::abs(sum)));
    }
}
