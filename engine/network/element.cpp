#include "network/element.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>

void throw_negative_count() { throw std::length_error("vector"); }

namespace {
std::atomic<std::uint64_t> topology_changes{0};
void count_topology_change() { topology_changes.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

std::uint64_t topology_version() { return topology_changes.load(std::memory_order_relaxed); }

Port::Port(const std::complex<double>& current_, const std::complex<double>& potential, Element* owner)
    : element(owner), current_ad(ad_zero()), current(current_) {
    connection = std::make_shared<Connection>(this, potential);
}

Port::Port(Port&& other) noexcept
    : connection(std::move(other.connection)),
      element(other.element),
      current_ad(other.current_ad),
      current(other.current) {}

Connection::Connection(Port* first_port, const std::complex<double>& potential_)
    : ports{first_port}, potential(potential_) {}

void Connection::merge(const std::shared_ptr<Connection>& other) {
    if (other.get() == this) return;
    count_topology_change();
    ++merges;
    is_zero = is_zero || other->is_zero;
    zero_holds += other->zero_holds;
    std::shared_ptr<Connection> self = shared_from_this();
    // Keep other alive while its ports move: the last move would otherwise free it mid-walk.
    std::shared_ptr<Connection> keep = other;
    std::vector<Port*> moved;
    moved.swap(keep->ports);  // other no longer lists ports it does not own
    ports.reserve(ports.size() + moved.size());
    for (Port* p : moved) {
        ports.push_back(p);
        p->connection = self;
    }
}

void Connection::remove_port(const Port* port) {
    auto it = std::find(ports.begin(), ports.end(), port);
    if (it == ports.end()) return;
    ports.erase(it);
    count_topology_change();
}

Element::Element(int n) : Element(n, nullptr) {}

Element::Element(int n, const std::complex<double>* potentials) {
    check_count(n);
    ports.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) ports.emplace_back(0.0, potentials ? potentials[i] : 0.0, this);
}

Element::~Element() {
    // Nodes that outlive this element must not list its ports any more.
    for (auto it = ports.rbegin(); it != ports.rend(); ++it) {
        if (it->connection) {
            it->connection->remove_port(&*it);
            it->connection.reset();
        }
    }
}

void Element::collect_variables(std::vector<double>&) {}
void Element::collect_parameters(std::vector<double>&) {}
void Element::bind_variables(ADVector&, VectorXd&, int&) {}
void Element::bind_parameters(ADVector&, VectorXd&, int&) {}
void Element::add_residuals(ADVector&, int&) {}

void Element::backward_step() {
    throw std::runtime_error("2 No backward-forward method has been defined for this element");
}

double Element::forward_step() { return 0.0; }

SweepRole Element::sweep_role(std::size_t) const { return SweepRole::none; }
const char* Element::kind_name() const { return "element"; }
double Element::imposed_voltage() const { return 0.0; }
double Element::voltage_gain() const { return 1.0; }

void Element::disconnect() {
    for (Port& p : ports) p.connection->remove_port(&p);
}

bool Element::is_connected(std::size_t k) const {
    const Port& p = ports[k];
    const std::vector<Port*>& listed = p.connection->ports;
    return std::find(listed.begin(), listed.end(), &p) != listed.end();
}
