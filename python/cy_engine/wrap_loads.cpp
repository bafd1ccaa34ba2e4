// Wrappers of the constant power, current and admittance loads, star and delta.
#include "elements/load.hpp"
#include "pylayer.hpp"

namespace lfe::py {
namespace {

void require_records(const ComplexArray& values, const std::vector<ComplexParameter>& records, const char* argument) {
    require_values(values, static_cast<long long>(records.size()), argument);
}

// The engine's scalar updates write record 0 only; a load with more records would keep the rest.
void require_single_record(const std::vector<ComplexParameter>& records, const char* method) {
    if (records.size() > 1) raise_format(PyExc_ValueError, "%s needs an element with a single value", method);
}

}  // namespace

ClassDef define_CyPowerLoad() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "powers"), [](int n, ComplexArray powers) {
        require_values(powers, star_values(n), "powers");
        return new PowerLoad(n, powers.data);
    });
    c.method("update_powers", "CyPowerLoad.update_powers(self, double complex[::1] powers)", args("powers"),
             [](PowerLoad& self, ComplexArray powers) {
                 require_records(powers, self.powers, "powers");
                 self.update_powers(powers.data);
             });
    c.method("update_power", "CyPowerLoad.update_power(self, double complex power)", args("power"),
             [](PowerLoad& self, std::complex<double> power) {
                 require_single_record(self.powers, "update_power");
                 self.update_power(power);
             });
    return c;
}

ClassDef define_CyDeltaPowerLoad() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "powers"), [](int n, ComplexArray powers) {
        require_values(powers, delta_values(n), "powers");
        return new DeltaPowerLoad(n, powers.data);
    });
    c.method("update_powers", "CyDeltaPowerLoad.update_powers(self, double complex[::1] powers)", args("powers"),
             [](DeltaPowerLoad& self, ComplexArray powers) {
                 require_records(powers, self.powers, "powers");
                 self.update_powers(powers.data);
             });
    return c;
}

ClassDef define_CyAdmittanceLoad() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "admittances"), [](int n, ComplexArray admittances) {
        require_values(admittances, star_values(n), "admittances");
        return new AdmittanceLoad(n, admittances.data);
    });
    c.method("update_admittances", "CyAdmittanceLoad.update_admittances(self, double complex[::1] admittances)",
             args("admittances"), [](AdmittanceLoad& self, ComplexArray admittances) {
                 require_records(admittances, self.admittances, "admittances");
                 self.update_admittances(admittances.data);
             });
    c.method("update_admittance", "CyAdmittanceLoad.update_admittance(self, double complex admittance)",
             args("admittance"), [](AdmittanceLoad& self, std::complex<double> admittance) {
                 require_single_record(self.admittances, "update_admittance");
                 self.update_admittance(admittance);
             });
    return c;
}

ClassDef define_CyDeltaAdmittanceLoad() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "admittances"), [](int n, ComplexArray admittances) {
        require_values(admittances, delta_values(n), "admittances");
        return new DeltaAdmittanceLoad(n, admittances.data);
    });
    c.method("update_admittances",
             "CyDeltaAdmittanceLoad.update_admittances(self, double complex[::1] admittances)", args("admittances"),
             [](DeltaAdmittanceLoad& self, ComplexArray admittances) {
                 require_records(admittances, self.admittances, "admittances");
                 self.update_admittances(admittances.data);
             });
    return c;
}

ClassDef define_CyCurrentLoad() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "currents"), [](int n, ComplexArray currents) {
        require_values(currents, star_values(n), "currents");
        return new CurrentLoad(n, currents.data);
    });
    c.method("update_currents", "CyCurrentLoad.update_currents(self, double complex[::1] currents)",
             args("currents"), [](CurrentLoad& self, ComplexArray currents) {
                 require_records(currents, self.currents, "currents");
                 self.update_currents(currents.data);
             });
    c.method("update_current", "CyCurrentLoad.update_current(self, double complex current)", args("current"),
             [](CurrentLoad& self, std::complex<double> current) {
                 require_single_record(self.currents, "update_current");
                 self.update_current(current);
             });
    return c;
}

ClassDef define_CyDeltaCurrentLoad() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "currents"), [](int n, ComplexArray currents) {
        require_values(currents, delta_values(n), "currents");
        return new DeltaCurrentLoad(n, currents.data);
    });
    c.method("update_currents", "CyDeltaCurrentLoad.update_currents(self, double complex[::1] currents)",
             args("currents"), [](DeltaCurrentLoad& self, ComplexArray currents) {
                 require_records(currents, self.currents, "currents");
                 self.update_currents(currents.data);
             });
    return c;
}

}  // namespace lfe::py
