// Wrappers of the elements that shape nodes: buses, grounds, potential references and switches.
#include "elements/branch.hpp"
#include "elements/bus.hpp"
#include "pylayer.hpp"

namespace lfe::py {

ClassDef define_CyBus() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "potentials"), [](int n, ComplexArray potentials) {
        require_values(potentials, n, "potentials");
        return new Bus(n, potentials.data);
    });
    c.method("initialize_potentials", "CyBus.initialize_potentials(self, double complex[::1] potentials)",
             args("potentials"), [](Bus& self, ComplexArray potentials) {
                 require_values(potentials, static_cast<long long>(self.ports.size()), "potentials");
                 for (std::size_t i = 0; i < self.ports.size(); ++i)
                     self.ports[i].connection->set_potential(potentials[static_cast<Py_ssize_t>(i)]);
             });
    return c;
}

ClassDef define_CyGround() {
    ClassDef c(no_default_reduce);
    c.constructor_ignoring_arguments([] { return new Ground(); });
    return c;
}

ClassDef define_CyPotentialRef() {
    ClassDef c(no_default_reduce);
    c.constructor_ignoring_arguments([] { return new PotentialRef(); });
    c.method("get_current", "CyPotentialRef.get_current(self)", args(),
             [](PotentialRef& self) { return self.supplied_current(); });
    return c;
}

ClassDef define_CyDeltaPotentialRef() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n"), [](int n) { return new DeltaPotentialRef(n); });
    c.method("get_current", "CyDeltaPotentialRef.get_current(self)", args(),
             [](DeltaPotentialRef& self) { return self.ports[0].current; });
    return c;
}

ClassDef define_CySwitch() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n"), [](int n) { return new Switch(n); });
    return c;
}

ClassDef define_CyOpenSwitch() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n"), [](int n) { return new OpenSwitch(n); });
    return c;
}

}  // namespace lfe::py
