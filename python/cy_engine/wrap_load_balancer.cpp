// Wrapper of the load balancer; its inner currents are read through CyLoad.
#include "elements/load_balancer.hpp"
#include "pylayer.hpp"

namespace lfe::py {

ClassDef define_CyLoadBalancer() {
    ClassDef c(no_default_reduce);
    c.constructor(args("z2", "ym", "k"), [](std::complex<double> z2, std::complex<double> ym, double k) {
        return new LoadBalancer(z2, ym, k);
    });
    return c;
}

}  // namespace lfe::py
