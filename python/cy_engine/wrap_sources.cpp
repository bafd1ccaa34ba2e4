// Wrappers of the star and delta voltage sources.
#include "elements/voltage_source.hpp"
#include "pylayer.hpp"

namespace lfe::py {
namespace {

// A source with n ports carries n-1 voltages; a count the engine refuses reads none.
long long voltage_count(int n) { return n > 1 ? static_cast<long long>(n) - 1 : 0; }

}  // namespace

ClassDef define_CyVoltageSource() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "voltages"), [](int n, ComplexArray voltages) {
        require_values(voltages, voltage_count(n), "voltages");
        return new VoltageSource(n, voltages.data);
    });
    c.method("update_voltages", "CyVoltageSource.update_voltages(self, double complex[::1] voltages)",
             args("voltages"), [](VoltageSource& self, ComplexArray voltages) {
                 require_values(voltages, static_cast<long long>(self.voltages.size()), "voltages");
                 self.update_voltages(voltages.data);
             });
    c.method("update_voltage", "CyVoltageSource.update_voltage(self, double complex voltage)", args("voltage"),
             [](VoltageSource& self, std::complex<double> voltage) {
                 if (self.voltages.size() > 1)
                     raise(PyExc_ValueError, "update_voltage needs an element with a single value");
                 self.update_voltages(&voltage);
             });
    return c;
}

ClassDef define_CyDeltaVoltageSource() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "voltages"), [](int n, ComplexArray voltages) {
        require_values(voltages, voltage_count(n), "voltages");
        return new DeltaVoltageSource(n, voltages.data);
    });
    c.method("update_voltages", "CyDeltaVoltageSource.update_voltages(self, double complex[::1] voltages)",
             args("voltages"), [](DeltaVoltageSource& self, ComplexArray voltages) {
                 require_values(voltages, static_cast<long long>(self.voltages.size()), "voltages");
                 self.update_voltages(voltages.data);
             });
    return c;
}

}  // namespace lfe::py
