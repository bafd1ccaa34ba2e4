#pragma once
// What the backward-forward sweep needs to know of a network's structure, worked out once when its
// solver is built from what each element says its steps do with each port's node: the order that
// takes every element after the ones whose potentials it reads, what it cannot solve at all, and the
// nodes whose current balance no step enforces.
#include <memory>
#include <string>
#include <vector>

#include "network/network.hpp"

class SweepPlan {
public:
    explicit SweepPlan(const ElectricalNetwork& network);

    // The elements in the order the sweep steps them: the network's own list unless that list takes
    // an element before one whose potentials it reads, or holds an element that takes no part.
    const std::vector<Element*>& order(const ElectricalNetwork& network) const {
        return reordered_ ? order_ : network.elements;
    }
    // Throws what keeps the sweep from solving this network at all; nothing when it can.
    void check_structure() const;
    // Throws when, after a sweep reported convergence, the currents of a node that nothing imposes
    // do not balance: its current would flow to or from nowhere.
    void check_balance() const;

private:
    struct FreeNode {
        std::shared_ptr<const Connection> node;
        std::string name;  // "port k of the ... at position i": the first listed element there
    };

    bool reordered_ = false;
    std::vector<Element*> order_;
    std::string refusal_;
    std::vector<FreeNode> free_nodes_;
};
