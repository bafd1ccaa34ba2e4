#include "solvers/sweep_plan.hpp"

#include <algorithm>
#include <complex>
#include <functional>
#include <queue>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include <spdlog/fmt/fmt.h>

namespace {

struct Entry {
    int element;  // index into the distinct elements, in order of first listing
    int port;
    SweepRole role;
};

bool reads(SweepRole r) { return r == SweepRole::reads || r == SweepRole::anchor || r == SweepRole::zero; }

const char* const try_newton = "Solve it by Newton-Goldstein. ";

}  // namespace

SweepPlan::SweepPlan(const ElectricalNetwork& network) {
    // Distinct elements by first listing; an element listed twice is stepped twice, which is harmless.
    // A detached element takes no part: its steps would follow its ports to nodes that no longer list them.
    const std::unordered_set<const Element*> detached(network.detached.begin(), network.detached.end());
    std::unordered_map<const Element*, int> index_of;
    std::vector<Element*> elements;
    std::vector<int> position;
    for (std::size_t i = 0; i < network.elements.size(); ++i) {
        Element* e = network.elements[i];
        if (e == nullptr) return;
        if (detached.count(e) != 0) {
            reordered_ = true;
            continue;
        }
        if (!index_of.emplace(e, static_cast<int>(elements.size())).second) continue;
        elements.push_back(e);
        position.push_back(static_cast<int>(i));
    }
    auto keep_listing = [&] {
        // Without a rule for every element the steps go in the list's order, detached elements left out.
        if (!reordered_) return;
        for (Element* e : network.elements)
            if (detached.count(e) == 0) order_.push_back(e);
    };

    // The ports of every node, grouped node by node (nodes in first-seen order), with their roles.
    std::size_t port_count = 0;
    for (const Element* e : elements) port_count += e->ports.size();
    std::unordered_map<const Connection*, int> node_of;
    node_of.reserve(port_count);
    std::vector<std::shared_ptr<Connection>> nodes;
    std::vector<int> node_of_port;
    std::vector<SweepRole> role_of_port;
    node_of_port.reserve(port_count);
    role_of_port.reserve(port_count);
    for (const Element* e : elements) {
        for (std::size_t k = 0; k < e->ports.size(); ++k) {
            const SweepRole role = e->sweep_role(k);
            if (role == SweepRole::none) {
                keep_listing();
                return;
            }
            const auto [it, added] = node_of.emplace(e->ports[k].connection.get(), static_cast<int>(nodes.size()));
            if (added) nodes.push_back(e->ports[k].connection);
            node_of_port.push_back(it->second);
            role_of_port.push_back(role);
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
            for (std::size_t k = 0; k < elements[u]->ports.size(); ++k, ++i) {
                const std::size_t x = static_cast<std::size_t>(node_of_port[i]);
                entries[next[x]++] = {static_cast<int>(u), static_cast<int>(k), role_of_port[i]};
            }
        }
    }
    auto node_entries = [&](std::size_t x) {
        return std::make_pair(entries.data() + first_entry[x], entries.data() + first_entry[x + 1]);
    };

    auto name = [&](const Entry& e) {
        const std::size_t u = static_cast<std::size_t>(e.element);
        return fmt::format("port {} of the {} at position {}", e.port, elements[u]->kind_name(), position[u]);
    };
    // The first refusal of the most telling kind: a node imposed twice explains the others it causes.
    int refusal_rank = 0;
    auto refuse = [&](int rank, std::string message) {
        if (refusal_.empty() || rank < refusal_rank) {
            refusal_ = std::move(message);
            refusal_rank = rank;
        }
    };

    // The element imposing each node's potential.
    std::vector<const Entry*> driver_of(nodes.size(), nullptr);
    for (std::size_t x = 0; x < nodes.size(); ++x) {
        const auto [begin, end] = node_entries(x);
        for (const Entry* e = begin; e != end; ++e) {
            if (e->role != SweepRole::imposes && e->role != SweepRole::imposes_zero) continue;
            if (driver_of[x] != nullptr) {
                refuse(0, fmt::format("2 The potential of one node is imposed twice, by {} and by {}: a mesh (a ring), "
                                      "a second source, or a branch whose side 1 does not face the source. The "
                                      "backward-forward sweep solves radial networks fed from their sources. {}",
                                      name(*driver_of[x]), name(*e), try_newton));
                break;
            }
            driver_of[x] = e;
        }
    }
    // An element shifting the potentials of its nodes comes after their drivers: the readers that
    // drive one of those nodes come before it, the other readers after it.
    std::unordered_map<int, std::vector<int>> drivers_of_shifter;
    for (std::size_t x = 0; x < nodes.size(); ++x) {
        const auto [begin, end] = node_entries(x);
        for (const Entry* e = begin; e != end; ++e)
            if (e->role == SweepRole::shifts && driver_of[x] != nullptr)
                drivers_of_shifter[e->element].push_back(driver_of[x]->element);
    }
    auto drives_for = [&](int shifter, int element) {
        const auto it = drivers_of_shifter.find(shifter);
        return it != drivers_of_shifter.end() &&
               std::find(it->second.begin(), it->second.end(), element) != it->second.end();
    };

    // The sweep takes a shunt line's ground at zero: wrong wherever an element moves that node.
    auto refuse_ground = [&](const Entry& ground, const Entry& mover, const char* verb) {
        const std::size_t g = static_cast<std::size_t>(ground.element);
        refuse(2, fmt::format("2 The ground port of the {} at position {} is joined to the node whose potential {} "
                              "{}; the sweep takes a shunt line's ground at zero: join it to a potential reference. {}",
                              elements[g]->kind_name(), position[g], name(mover), verb, try_newton));
    };

    // Each element with an element that must come after it.
    std::vector<std::pair<int, int>> edges;
    for (std::size_t x = 0; x < nodes.size(); ++x) {
        const auto [begin, end] = node_entries(x);
        const Entry* const driver = driver_of[x];
        for (const Entry* s = begin; s != end; ++s) {
            if (s->role != SweepRole::shifts) continue;
            for (const Entry* e = begin; e != end; ++e) {
                if (e->role == SweepRole::zero && !nodes[x]->is_zero) refuse_ground(*e, *s, "shifts");
                if (reads(e->role) && e->element != s->element && !drives_for(s->element, e->element))
                    edges.emplace_back(s->element, e->element);
            }
        }
        if (driver == nullptr) {
            const bool active = std::any_of(begin, end, [](const Entry& e) { return e.role != SweepRole::passive; });
            if (!nodes[x]->is_zero && active) free_nodes_.push_back({nodes[x], name(*begin)});
            continue;
        }
        const std::size_t d = static_cast<std::size_t>(driver->element);
        if (nodes[x]->is_zero && driver->role != SweepRole::imposes_zero) {
            // A source imposes its voltages from its anchor: that port is the one to hold at zero.
            int anchor = -1;
            for (std::size_t k = 0; k < elements[d]->ports.size() && anchor < 0; ++k)
                if (elements[d]->sweep_role(k) == SweepRole::anchor) anchor = static_cast<int>(k);
            if (anchor >= 0)
                refuse(1, fmt::format("2 The {} at position {} cannot impose its voltages: a potential reference holds "
                                      "its port {} at zero. Hold its port {} at zero instead, or solve it by "
                                      "Newton-Goldstein. ",
                                      elements[d]->kind_name(), position[d], driver->port, anchor));
            else
                refuse(1, fmt::format("2 A potential reference holds at zero the node whose potential {} imposes: a mesh "
                                      "through the reference, such as a conductor held at zero at both ends. {}",
                                      name(*driver), try_newton));
        }
        bool own_port = false;
        for (const Entry* e = begin; e != end; ++e) {
            if (e == driver || e->role == SweepRole::passive) continue;
            if (e->role == SweepRole::zero && !nodes[x]->is_zero) refuse_ground(*e, *driver, "imposes");
            if (e->element == driver->element) {
                own_port = true;
                continue;
            }
            edges.emplace_back(driver->element, e->element);
        }
        // The driver's other ports here take their currents after it has summed the node's.
        if (own_port && !nodes[x]->is_zero) free_nodes_.push_back({nodes[x], name(*driver)});
    }
    if (!refusal_.empty()) return;
    const bool in_order = std::all_of(edges.begin(), edges.end(), [](const auto& e) { return e.first < e.second; });
    if (in_order && !reordered_) return;

    // Kahn's order, the earliest listed first among those ready: each element after those it reads.
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
        reordered_ = false;
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
