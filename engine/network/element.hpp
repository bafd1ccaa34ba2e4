#pragma once
// Elements, their ports and the electrical nodes (connections) that join ports.
#include <memory>

#include "network/parameters.hpp"

class Element;
class Connection;

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
