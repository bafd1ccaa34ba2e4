// Wrappers of the flexible control law (controls, projections, flexible parameters) and of the star
// and delta flexible loads. A flexible load keeps its flexible-parameter wrappers alive: the load,
// its networks and their recorded tapes point into the parameters those wrappers own.
#include <algorithm>
#include <memory>

#include "elements/flexible_load.hpp"
#include "pylayer.hpp"

namespace lfe::py {
namespace {

// Items 0 .. count-1 of `items`, each a CyFlexibleParameter holding its engine object; every item
// is checked before anything uses one.
std::vector<FlexibleParameter*> flexible_parameters(ObjectArray items, long long count,
                                                    std::vector<PyObject*>& wrappers) {
    require_values(items, count, "parameters");
    PyTypeObject* expected = class_object(ClassId::CyFlexibleParameter);
    std::vector<FlexibleParameter*> list;
    list.reserve(static_cast<std::size_t>(count));
    wrappers.reserve(static_cast<std::size_t>(count));
    for (long long i = 0; i < count; ++i) {
        PyObject* item = items[static_cast<Py_ssize_t>(i)];
        list.push_back(static_cast<FlexibleParameter*>(item_engine(item, i, expected, "parameters")));
        wrappers.push_back(item);
    }
    return list;
}

template <class L>
L* new_load(PyObject* self, int n, ComplexArray powers, ObjectArray parameters, long long count) {
    require_values(powers, count, "powers");
    std::vector<PyObject*> wrappers;
    std::vector<FlexibleParameter*> list = flexible_parameters(parameters, count, wrappers);
    auto load = std::make_unique<L>(n, powers.data, std::move(list));
    keep_references(self, wrappers);
    return load.release();
}

template <class L>
void update_powers(L& self, ComplexArray powers) {
    require_values(powers, static_cast<long long>(self.powers.size()), "powers");
    self.update_powers(powers.data);
}

// The load writes all of its values; the items beyond them read 0.
template <class L>
Ref get_powers(L& self, int n) {
    const std::size_t written = static_cast<std::size_t>(std::max(self.power_count(), 0));
    return written_values("get_powers", "n", n, written, [&](std::complex<double>* out) { self.get_powers(out); });
}

}  // namespace

ClassDef define_CyControl() {
    ClassDef c(no_default_reduce);
    c.root<Control>();
    c.constructor(args("t", "u_min", "u_down", "u_up", "u_max", "alpha", "epsilon"),
                  [](const std::string& t, double u_min, double u_down, double u_up, double u_max, double alpha,
                     double epsilon) { return new Control(t, u_min, u_down, u_up, u_max, alpha, epsilon); });
    return c;
}

ClassDef define_CyProjection() {
    ClassDef c(no_default_reduce);
    c.root<Projection>();
    c.constructor(args("t", "alpha", "epsilon"),
                  [](const std::string& t, double alpha, double epsilon) { return new Projection(t, alpha, epsilon); });
    return c;
}

ClassDef define_CyFlexibleParameter() {
    ClassDef c(no_default_reduce);
    c.root<FlexibleParameter>();
    c.constructor(args("control_p", "control_q", "projection", "s_max", "q_min", "q_max"),
                  [](Instance<ClassId::CyControl> control_p, Instance<ClassId::CyControl> control_q,
                     Instance<ClassId::CyProjection> projection, double s_max, double q_min, double q_max) {
                      // One at a time: the order of a call's arguments is unspecified, and the first
                      // missing engine object in the declared order is the one reported.
                      const Control& p = control_p.engine<Control>();
                      const Control& q = control_q.engine<Control>();
                      const Projection& r = projection.engine<Projection>();
                      return new FlexibleParameter(p, q, r, s_max, q_min, q_max);
                  });
    c.method("compute_power", "CyFlexibleParameter.compute_power(self, double x, double complex s_th)",
             args("x", "s_th"), [](FlexibleParameter& self, double x, std::complex<double> s_th) {
                 return self.compute_power(x, s_th);
             });
    c.method("update_parameters",
             "CyFlexibleParameter.update_parameters(self, double s_max, double q_min, double q_max)",
             args("s_max", "q_min", "q_max"), [](FlexibleParameter& self, double s_max, double q_min, double q_max) {
                 self.update_parameters(s_max, q_min, q_max);
             });
    return c;
}

ClassDef define_CyFlexibleLoad() {
    ClassDef c(no_default_reduce);
    c.root<Element>(true);
    c.constructor(args("n", "powers", "parameters"),
                  [](PyObject* self, int n, ComplexArray powers, ObjectArray parameters) {
                      return new_load<FlexibleLoad>(self, n, powers, parameters, star_values(n));
                  });
    c.method("update_powers", "CyFlexibleLoad.update_powers(self, double complex[::1] powers)", args("powers"),
             [](FlexibleLoad& self, ComplexArray powers) { update_powers(self, powers); });
    c.method("update_power", "CyFlexibleLoad.update_power(self, double complex power)", args("power"),
             [](FlexibleLoad& self, std::complex<double> power) {
                 // The engine writes value 0 only; a load with more phases would keep the rest.
                 if (self.powers.size() > 1)
                     raise(PyExc_ValueError, "update_power needs an element with a single value");
                 self.update_power(power);
             });
    c.method("get_powers", "CyFlexibleLoad.get_powers(self, int n)", args("n"),
             [](FlexibleLoad& self, int n) { return get_powers(self, n); });
    return c;
}

ClassDef define_CyDeltaFlexibleLoad() {
    ClassDef c(no_default_reduce);
    c.root<Element>(true);
    c.constructor(args("n", "powers", "parameters"),
                  [](PyObject* self, int n, ComplexArray powers, ObjectArray parameters) {
                      return new_load<DeltaFlexibleLoad>(self, n, powers, parameters, delta_values(n));
                  });
    c.method("update_powers", "CyDeltaFlexibleLoad.update_powers(self, double complex[::1] powers)",
             args("powers"), [](DeltaFlexibleLoad& self, ComplexArray powers) { update_powers(self, powers); });
    c.method("get_powers", "CyDeltaFlexibleLoad.get_powers(self, int n)", args("n"),
             [](DeltaFlexibleLoad& self, int n) { return get_powers(self, n); });
    return c;
}

}  // namespace lfe::py
