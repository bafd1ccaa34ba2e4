// The abstract element wrappers: CyElement (joining ports, reading potentials and currents),
// CyBranch (the two port groups of a branch) and CyLoad (a load's inner currents).
#include <memory>

#include "elements/branch.hpp"
#include "elements/load.hpp"
#include "network/element.hpp"
#include "pylayer.hpp"

namespace lfe::py {
namespace {

void check_port_index(const char* method, int index, std::size_t count, const char* whose) {
    if (index < 0 || static_cast<std::size_t>(index) >= count)
        raise_format(PyExc_IndexError, "%s: index %d out of range for %s with %zu port%s", method, index, whose, count,
                     plural(count));
}

// A count of ports to read; a negative one is left to the array creation, which refuses it.
void check_port_count(const char* method, const char* argument, int n, std::size_t count, const char* whose) {
    if (n > 0 && static_cast<std::size_t>(n) > count)
        raise_format(PyExc_ValueError, "%s: %s = %d exceeds the %zu port%s of %s", method, argument, n, count,
                     plural(count), whose);
}

// The node of `keeper` absorbs the node of `absorbed`.
void absorb(Port& keeper, Port& absorbed) {
    const std::shared_ptr<Connection> node = keeper.connection;
    const std::shared_ptr<Connection> other = absorbed.connection;
    node->merge(other);
}

template <class Read>
Ref read_ports(const std::vector<Port*>& ports, int n, Read read) {
    Ref array = new_complex_array(n);
    std::complex<double>* out = complex_data(array.get());
    for (int i = 0; i < n; ++i) out[i] = read(*ports[static_cast<std::size_t>(i)]);
    return array;
}

template <class Read>
Ref read_ports(std::vector<Port>& ports, int n, Read read) {
    Ref array = new_complex_array(n);
    std::complex<double>* out = complex_data(array.get());
    for (int i = 0; i < n; ++i) out[i] = read(ports[static_cast<std::size_t>(i)]);
    return array;
}

std::complex<double> potential(const Port& p) { return p.connection->get_potential(); }
std::complex<double> current(const Port& p) { return p.current; }

template <class Read>
Ref read_sides(const char* method, Branch& branch, int n1, int n2, Read read) {
    check_port_count(method, "n1", n1, branch.side1.size(), "side1");
    check_port_count(method, "n2", n2, branch.side2.size(), "side2");
    Ref first = new_complex_array(n1);
    Ref second = new_complex_array(n2);
    std::complex<double>* out1 = complex_data(first.get());
    std::complex<double>* out2 = complex_data(second.get());
    for (int i = 0; i < n1; ++i) out1[i] = read(*branch.side1[static_cast<std::size_t>(i)]);
    for (int i = 0; i < n2; ++i) out2[i] = read(*branch.side2[static_cast<std::size_t>(i)]);
    std::vector<Ref> items;
    items.push_back(std::move(first));
    items.push_back(std::move(second));
    return make_tuple(std::move(items));
}

}  // namespace

ClassDef define_CyElement() {
    ClassDef c(element_not_picklable);
    c.root<Element>();
    c.method("connect", "CyElement.connect(self, CyElement cy_element, connections)", args("cy_element", "connections"),
             [](Element& self, Instance<ClassId::CyElement> cy_element, Object connections) {
                 const auto pairs = index_pairs(connections.obj);
                 if (pairs.empty()) return;
                 Element& other = cy_element.engine<Element>();
                 for (const auto& [i, j] : pairs) {
                     check_port_index("connect", i, self.ports.size(), "self");
                     check_port_index("connect", j, other.ports.size(), "cy_element");
                 }
                 for (const auto& [i, j] : pairs)
                     absorb(self.ports[static_cast<std::size_t>(i)], other.ports[static_cast<std::size_t>(j)]);
             });
    c.method("connect_ports", "CyElement.connect_ports(self, int[::1] ports)", args("ports"),
             [](Element& self, IntArray ports) {
                 for (Py_ssize_t k = 0; k < ports.size; ++k)
                     check_port_index("connect_ports", ports[k], self.ports.size(), "self");
                 if (ports.size < 2) return;
                 Port& keeper = self.ports[static_cast<std::size_t>(ports[0])];
                 for (Py_ssize_t k = 1; k < ports.size; ++k) absorb(keeper, self.ports[static_cast<std::size_t>(ports[k])]);
             });
    c.method("disconnect", "CyElement.disconnect(self)", args(), [](Element& self) { self.disconnect(); });
    c.method("get_potentials", "CyElement.get_potentials(self, int n)", args("n"), [](Element& self, int n) {
        check_port_count("get_potentials", "n", n, self.ports.size(), "self");
        return read_ports(self.ports, n, potential);
    });
    c.method("get_currents", "CyElement.get_currents(self, int n)", args("n"), [](Element& self, int n) {
        check_port_count("get_currents", "n", n, self.ports.size(), "self");
        return read_ports(self.ports, n, current);
    });
    c.method("get_port_potential", "CyElement.get_port_potential(self, int index)", args("index"),
             [](Element& self, int index) {
                 check_port_index("get_port_potential", index, self.ports.size(), "self");
                 return potential(self.ports[static_cast<std::size_t>(index)]);
             });
    c.method("get_port_current", "CyElement.get_port_current(self, int index)", args("index"),
             [](Element& self, int index) {
                 check_port_index("get_port_current", index, self.ports.size(), "self");
                 return current(self.ports[static_cast<std::size_t>(index)]);
             });
    return c;
}

ClassDef define_CyBranch() {
    ClassDef c(element_not_picklable);
    c.method("connect_side", "CyBranch.connect_side(self, CyElement element, connections, bool beginning)",
             args("element", "connections", "beginning"),
             [](Branch& self, Instance<ClassId::CyElement> element, Object connections, bool beginning) {
                 const auto pairs = index_pairs(connections.obj);
                 if (pairs.empty()) return;
                 Element& other = element.engine<Element>();
                 std::vector<Port*>& side = beginning ? self.side1 : self.side2;
                 const char* side_name = beginning ? "side1" : "side2";
                 for (const auto& [i, j] : pairs) {
                     check_port_index("connect_side", i, side.size(), side_name);
                     check_port_index("connect_side", j, other.ports.size(), "element");
                 }
                 for (const auto& [i, j] : pairs)
                     absorb(other.ports[static_cast<std::size_t>(j)], *side[static_cast<std::size_t>(i)]);
             });
    c.method("get_side_potentials", "CyBranch.get_side_potentials(self, int n1, int n2)", args("n1", "n2"),
             [](Branch& self, int n1, int n2) { return read_sides("get_side_potentials", self, n1, n2, potential); });
    c.method("get_side_currents", "CyBranch.get_side_currents(self, int n1, int n2)", args("n1", "n2"),
             [](Branch& self, int n1, int n2) { return read_sides("get_side_currents", self, n1, n2, current); });
    return c;
}

ClassDef define_CyLoad() {
    ClassDef c(element_not_picklable);
    c.method("get_inner_currents", "CyLoad.get_inner_currents(self, int size)", args("size"),
             [](LoadBase& self, int size) {
                 // The load writes all of its values; the items beyond them read 0.
                 const std::size_t written = static_cast<std::size_t>(self.inner_current_count());
                 return written_values("get_inner_currents", "size", size, written,
                                       [&](std::complex<double>* out) { self.get_inner_currents(out); });
             });
    return c;
}

}  // namespace lfe::py
