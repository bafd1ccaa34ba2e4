// Wrapper of the single-phase voltage regulator.
#include "elements/voltage_regulator.hpp"
#include "pylayer.hpp"

namespace lfe::py {

ClassDef define_CySingleVoltageRegulator() {
    ClassDef c(no_default_reduce);
    c.constructor(args("z2", "ym", "u_ref", "u_range", "alpha", "phi"),
                  [](std::complex<double> z2, std::complex<double> ym, double u_ref, double u_range, double alpha,
                     double phi) { return new SingleVoltageRegulator(z2, ym, u_ref, u_range, alpha, phi); });
    c.method("update_parameters",
             "CySingleVoltageRegulator.update_parameters(self, double complex z2, double complex ym, double u_ref)",
             args("z2", "ym", "u_ref"),
             [](SingleVoltageRegulator& self, std::complex<double> z2, std::complex<double> ym, double u_ref) {
                 self.update_parameters(z2, ym, u_ref);
             });
    c.method("get_tap", "CySingleVoltageRegulator.get_tap(self)", args(),
             [](SingleVoltageRegulator& self) { return self.get_tap(); });
    c.method("compute_tap", "CySingleVoltageRegulator.compute_tap(self, double u_in)", args("u_in"),
             [](SingleVoltageRegulator& self, double u_in) { return self.compute_tap(u_in); });
    return c;
}

}  // namespace lfe::py
