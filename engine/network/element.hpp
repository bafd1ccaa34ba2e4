#pragma once
// Elements, their ports and the electrical nodes (connections) that join ports.
#include <cstdint>
#include <memory>

#include "network/parameters.hpp"

class Element;
class Connection;

// What an element's backward-forward steps do with the node of one of its ports: the sweep works out
// its order and what it cannot solve from these.
enum class SweepRole : unsigned char {
    none,     // no sweep rule: the element's own steps decide
    passive,  // nothing that depends on the node: no potential read, a current that is always zero
    reads,    // reads the node's potential, or sets a current there that the node's driver must see
    anchor,   // reads the node: the element imposes its other ports' potentials from it
    imposes,  // imposes the node's potential and takes the current the rest of the node leaves
    imposes_zero,  // the same on a node held at zero, imposing the zero it reads (a closed switch)
    shifts,   // moves potentials that others impose: after their drivers, before their readers
    zero,     // the node is taken as zero (a shunt line's ground)
};

// One terminal of an element. Current flows from the port's node into the element.
struct Port {
    std::shared_ptr<Connection> connection;
    Element* element;
    ADComplex current_ad;
    std::complex<double> current;

    Port(const std::complex<double>& current, const std::complex<double>& potential, Element* owner);
    // Nodes refer to ports by address: ports are built in place and never move.
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    Port(Port&&) noexcept;  // required by std::vector, never called (the array is reserved once)
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    std::vector<Port*> ports;
    ComplexParameter potential;
    bool is_zero = false;
    // How many potential references joined here hold the node at zero; one that is disconnected
    // lets go (one that is destroyed does not).
    int zero_holds = 0;
    // How many times another node was merged into this one: a network notices joins by it.
    std::uint64_t merges = 0;

    Connection(Port* first_port, const std::complex<double>& potential);

    std::complex<double> get_potential() const {
        return is_zero ? std::complex<double>(0.0, 0.0) : potential.get_value();
    }
    ADComplex get_potential_ad() const { return is_zero ? ad_zero() : potential.ad; }
    void set_potential(const std::complex<double>& v) { potential.set_value(v); }

    // This node absorbs other: it takes over other's ports and keeps its own potential.
    void merge(const std::shared_ptr<Connection>& other);
    // Removes a port from the list (disconnecting, or its element going away).
    void remove_port(const Port* port);
};

// Counts every join and every removal of a port from a node, process-wide: a network compares it
// with the count it last checked, so an unchanged topology costs one comparison.
std::uint64_t topology_version();

class Element {
public:
    std::vector<Port> ports;

    explicit Element(int n);
    virtual ~Element();

    virtual void collect_variables(std::vector<double>& values);
    virtual void collect_parameters(std::vector<double>& values);
    virtual void bind_variables(ADVector& x, VectorXd& x_values, int& index);
    virtual void bind_parameters(ADVector& p, VectorXd& p_values, int& index);
    virtual void compute_currents(bool on_tape) = 0;
    virtual void add_residuals(ADVector& residuals, int& index);
    virtual void backward_step();
    virtual double forward_step();

    // What the sweep steps do with the node of port k.
    virtual SweepRole sweep_role(std::size_t k) const;
    // How the solvers' messages name the element ("load", "line", ...).
    virtual const char* kind_name() const;
    // The largest voltage the element imposes (V): sources only.
    virtual double imposed_voltage() const;
    // The largest factor by which the element carries a voltage from one side to the other.
    virtual double voltage_gain() const;

    // Takes every port off its node's port list; each port keeps pointing at its old node.
    virtual void disconnect();
    // Whether the node of port k still lists it (false once disconnected).
    bool is_connected(std::size_t k) const;

    Element(const Element&) = delete;
    Element& operator=(const Element&) = delete;

protected:
    // Ports whose nodes start at the given potentials (n values are read).
    Element(int n, const std::complex<double>* potentials);
};

template <class T>
class ElementImpl : public Element {
public:
    using Element::Element;
};

// The engine refuses a count that would size a vector negatively with this message.
[[noreturn]] void throw_negative_count();
inline void check_count(int n, int minimum = 0) {
    if (n < minimum) throw_negative_count();
}
