#include "solvers/sweep_plan.hpp"

#include <algorithm>
#include <cmath>
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

struct Kind {
    const char* name = nullptr;  // null: no sweep rule known here, the element's own steps decide
    bool source = false;
    std::vector<Role> roles;
};

Kind uniform(const char* name, std::size_t n, Role role) { return Kind{name, false, std::vector<Role>(n, role)}; }

// Side 1 read, side 2 imposed.
Kind branch(const char* name, const Branch& b) {
    Kind k = uniform(name, b.ports.size(), Role::active);
    std::fill_n(k.roles.begin() + static_cast<std::ptrdiff_t>(b.side1.size()), b.side2.size(), Role::driven);
    return k;
}

Kind classify(const Element& e) {
    const std::size_t n = e.ports.size();
    if (dynamic_cast<const LoadBase*>(&e)) return uniform("load", n, Role::active);
    if (dynamic_cast<const Bus*>(&e)) return uniform("bus", n, Role::passive);
    if (dynamic_cast<const Ground*>(&e)) return uniform("ground", n, Role::passive);
    if (dynamic_cast<const PotentialRef*>(&e)) return uniform("potential reference", n, Role::passive);
    if (dynamic_cast<const DeltaPotentialRef*>(&e)) return uniform("delta potential reference", n, Role::passive);
    if (dynamic_cast<const OpenSwitch*>(&e)) return uniform("open switch", n, Role::passive);
    if (auto* s = dynamic_cast<const Switch*>(&e)) return branch("switch", *s);
    if (auto* l = dynamic_cast<const SimplifiedLine*>(&e)) return branch("line", *l);
    if (auto* l = dynamic_cast<const ShuntLine*>(&e)) {
        Kind k = branch("shunt line", *l);
        k.roles.back() = Role::ground;
        return k;
    }
    // Both impose the secondary phase over the secondary neutral they read.
    if (dynamic_cast<const SingleTransformer*>(&e) || dynamic_cast<const SingleVoltageRegulator*>(&e)) {
        Kind k = uniform(dynamic_cast<const SingleTransformer*>(&e) ? "transformer" : "voltage regulator", n,
                         Role::active);
        k.roles[2] = Role::driven;
        return k;
    }
    if (dynamic_cast<const VoltageSource*>(&e)) {
        Kind k = uniform("voltage source", n, Role::driven);
        k.source = true;
        k.roles.back() = Role::active;
        return k;
    }
    if (dynamic_cast<const DeltaVoltageSource*>(&e)) {
        Kind k = uniform("delta voltage source", n, Role::driven);
        k.source = true;
        k.roles.front() = Role::active;
        return k;
    }
    return {};
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
        if (kinds.back().name == nullptr) return;
        elements.push_back(e);
        position.push_back(static_cast<int>(i));
    }

    std::unordered_map<const Connection*, int> node_of;
    std::vector<const Connection*> nodes;
    std::vector<std::vector<Entry>> entries;
    for (std::size_t u = 0; u < elements.size(); ++u) {
        const std::vector<Port>& ports = elements[u]->ports;
        for (std::size_t k = 0; k < ports.size(); ++k) {
            const Connection* c = ports[k].connection.get();
            const auto [it, added] = node_of.emplace(c, static_cast<int>(nodes.size()));
            if (added) {
                nodes.push_back(c);
                entries.emplace_back();
            }
            entries[static_cast<std::size_t>(it->second)].push_back(
                {static_cast<int>(u), static_cast<int>(k), kinds[u].roles[k]});
        }
    }

    auto name = [&](const Entry& e) {
        return fmt::format("port {} of the {} at position {}", e.port, kinds[static_cast<std::size_t>(e.element)].name,
                           position[static_cast<std::size_t>(e.element)]);
    };
    auto at_zero = [&](const Entry& e) {
        return elements[static_cast<std::size_t>(e.element)]->ports[static_cast<std::size_t>(e.port)].connection->is_zero;
    };
    auto refuse = [this](std::string message) {
        if (refusal_.empty()) refusal_ = std::move(message);
    };

    // Each driver with the elements that must come after it.
    std::vector<std::vector<int>> after(elements.size());
    bool in_order = true;
    for (std::size_t x = 0; x < nodes.size(); ++x) {
        const std::vector<Entry>& here = entries[x];
        const Entry* driver = nullptr;
        for (const Entry& e : here) {
            if (e.role != Role::driven) continue;
            if (driver != nullptr) {
                refuse(fmt::format("2 The potential of one node is imposed twice, by {} and by {}: a mesh (a ring), "
                                   "a second source, or a branch whose side 1 does not face the source. The "
                                   "backward-forward sweep solves radial networks fed from their sources. {}",
                                   name(*driver), name(e), try_newton));
                break;
            }
            driver = &e;
        }
        const bool active = std::any_of(here.begin(), here.end(), [](const Entry& e) { return e.role != Role::passive; });
        if (driver == nullptr) {
            if (!nodes[x]->is_zero && active) {
                const Entry& first = *std::min_element(here.begin(), here.end(), [](const Entry& a, const Entry& b) {
                    return a.element < b.element;
                });
                free_nodes_.push_back({nodes[x], position[static_cast<std::size_t>(first.element)], first.port,
                                       kinds[static_cast<std::size_t>(first.element)].name});
            }
            continue;
        }
        const Element& d = *elements[static_cast<std::size_t>(driver->element)];
        const Kind& dk = kinds[static_cast<std::size_t>(driver->element)];
        if (nodes[x]->is_zero) {
            // A closed switch between two nodes held at zero holds; anything else would have to move the node.
            const auto* s = dynamic_cast<const Switch*>(&d);
            const bool holds = s != nullptr && s->side1[static_cast<std::size_t>(driver->port) - s->side1.size()]->connection->is_zero;
            if (!holds && dk.source)
                refuse(fmt::format("2 The {} at position {} cannot impose its voltages: a potential reference holds "
                                   "its port {} at zero. Hold its port {} at zero instead, or solve it by "
                                   "Newton-Goldstein. ",
                                   dk.name, position[static_cast<std::size_t>(driver->element)], driver->port,
                                   dynamic_cast<const VoltageSource*>(&d) ? d.ports.size() - 1 : 0));
            else if (!holds)
                refuse(fmt::format("2 A potential reference holds at zero the node whose potential {} imposes: a mesh "
                                   "through the reference, such as a conductor held at zero at both ends. {}",
                                   name(*driver), try_newton));
        }
        bool own_port = false;
        for (const Entry& e : here) {
            if (&e == driver || e.role == Role::passive) continue;
            if (e.role == Role::ground && !at_zero(e))
                refuse(fmt::format("2 The ground port of the shunt line at position {} is joined to the node whose "
                                   "potential {} imposes; the sweep takes a shunt line's ground at zero: join it to "
                                   "a potential reference. {}",
                                   position[static_cast<std::size_t>(e.element)], name(*driver), try_newton));
            if (e.element == driver->element) {
                own_port = true;
                continue;
            }
            after[static_cast<std::size_t>(driver->element)].push_back(e.element);
            in_order = in_order && driver->element < e.element;
        }
        // The driver's other ports here take their currents after it has summed the node's.
        if (own_port && !nodes[x]->is_zero)
            free_nodes_.push_back({nodes[x], position[static_cast<std::size_t>(driver->element)], driver->port, dk.name});
    }
    if (!refusal_.empty() || in_order) return;

    // Kahn's order, the earliest listed first among those ready: drivers before what they feed.
    std::vector<int> waiting(elements.size(), 0);
    for (const auto& next : after)
        for (int v : next) ++waiting[static_cast<std::size_t>(v)];
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
        refuse(fmt::format("2 The elements at positions {}{} impose each other's potentials in a loop: a mesh, or "
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
                "2 The currents do not balance at the node of port {} of the {} at position {}: {:.3g} A reach no "
                "source or potential reference. A part that no source feeds (an island, such as one behind an open "
                "switch), or a star point or ground port joined to nothing: join it to a source or a potential "
                "reference, or solve it by Newton-Goldstein. ",
                f.port, f.kind, f.position, std::abs(sum)));
    }
}
