// Wrappers of the transformers: the shared base with the parameter update and the two tests, and the
// three-phase, single-phase and centre-tap kinds.
#include "elements/three_phase_transformer.hpp"
#include "elements/transformer.hpp"
#include "pylayer.hpp"

namespace lfe::py {

ClassDef define_CyTransformer() {
    ClassDef c(element_not_picklable);
    c.method("update_transformer_parameters",
             "CyTransformer.update_transformer_parameters(self, double complex z2, double complex ym, double complex k)",
             args("z2", "ym", "k"),
             [](TransformerBase& self, std::complex<double> z2, std::complex<double> ym, std::complex<double> k) {
                 self.update_transformer_parameters(z2, ym, k.real(), k.imag());
             });
    c.method("compute_open_circuit_parameters",
             "CyTransformer.compute_open_circuit_parameters(self, double uhv, double ulv, double sn)",
             args("uhv", "ulv", "sn"), [](TransformerBase& self, double uhv, double ulv, double sn) {
                 return self.compute_open_circuit_parameters(uhv, ulv, sn);
             });
    c.method("compute_short_circuit_parameters",
             "CyTransformer.compute_short_circuit_parameters(self, double uhv, double ulv, double sn)",
             args("uhv", "ulv", "sn"), [](TransformerBase& self, double uhv, double ulv, double sn) {
                 return self.compute_short_circuit_parameters(uhv, ulv, sn);
             });
    return c;
}

ClassDef define_CyThreePhaseTransformer() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n1", "n2", "whv", "wlv", "z2", "ym", "k", "clock"),
                  [](int n1, int n2, const std::string& whv, const std::string& wlv, std::complex<double> z2,
                     std::complex<double> ym, double k, int clock) {
                      return new ThreePhaseTransformer(n1, n2, whv, wlv, z2, ym, k, clock);
                  });
    return c;
}

ClassDef define_CySingleTransformer() {
    ClassDef c(no_default_reduce);
    c.constructor(args("z2", "ym", "k"), [](std::complex<double> z2, std::complex<double> ym, std::complex<double> k) {
        return new SingleTransformer(z2, ym, k);
    });
    return c;
}

ClassDef define_CyCenterTransformer() {
    ClassDef c(no_default_reduce);
    c.constructor(args("z2", "ym", "k"), [](std::complex<double> z2, std::complex<double> ym, double k) {
        return new CenterTransformer(z2, ym, k);
    });
    return c;
}

}  // namespace lfe::py
