// Wrappers of the network object and the solvers. A network wrapper keeps its element wrappers alive
// and a solver wrapper its network wrapper, since the engine objects point into one another.
#include <algorithm>
#include <memory>
#include <unordered_map>

#include "network/network.hpp"
#include "solvers/abstract_solver.hpp"
#include "solvers/cppad_error_handler.hpp"
#include "solvers/newton.hpp"
#include "pylayer.hpp"

namespace lfe::py {
namespace {

// The elements of the first nb_elements items: each a wrapper of a concrete element, none twice.
std::vector<Element*> network_elements(ObjectArray items, int nb_elements, std::vector<PyObject*>& wrappers) {
    PyTypeObject* element_class = class_object(ClassId::CyElement);
    std::vector<Element*> elements;
    elements.reserve(static_cast<std::size_t>(nb_elements));
    wrappers.reserve(static_cast<std::size_t>(nb_elements));
    std::unordered_map<const Element*, int> position;
    for (int i = 0; i < nb_elements; ++i) {
        PyObject* item = items[i];
        auto* element = static_cast<Element*>(item_engine(item, i, element_class, "elements"));
        // Listed twice, an element would be numbered and bound twice.
        const auto [seen, first] = position.emplace(element, i);
        if (!first) raise_format(PyExc_ValueError, "elements[%d] is elements[%d] again", i, seen->second);
        elements.push_back(element);
        wrappers.push_back(item);
    }
    return elements;
}

template <class S>
S* keeping_network(PyObject* self, Instance<ClassId::CyElectricalNetwork> network, std::unique_ptr<S> solver) {
    keep_references(self, {network.obj});
    return solver.release();
}

// Largest number of variables whose dense Jacobian is built.
constexpr Py_ssize_t max_dense_variables = 65535;

}  // namespace

ClassDef define_CyElectricalNetwork() {
    ClassDef c(no_default_reduce);
    c.root<ElectricalNetwork>(true);
    c.constructor(args("elements", "nb_elements"), [](PyObject* self, ObjectArray elements, int nb_elements) {
        check_count(nb_elements);
        require_values(elements, nb_elements, "elements");
        std::vector<PyObject*> wrappers;
        std::vector<Element*> list = network_elements(elements, nb_elements, wrappers);
        auto network = std::make_unique<ElectricalNetwork>(std::move(list));
        keep_references(self, wrappers);
        return network.release();
    });
    return c;
}

ClassDef define_CyAbstractSolver() {
    ClassDef c(solver_not_picklable);
    c.root<AbstractSolver>(true);
    c.method("solve_load_flow", "CyAbstractSolver.solve_load_flow(self, int max_iterations, double tolerance)",
             args("max_iterations", "tolerance"), [](AbstractSolver& self, int max_iterations, double tolerance) {
                 return self.solve_load_flow(max_iterations, tolerance);
             });
    c.method("reset_inputs", "CyAbstractSolver.reset_inputs(self)", args(),
             [](AbstractSolver& self) { self.reset_inputs(); });
    c.method("get_variables", "CyAbstractSolver.get_variables(self)", args(), [](AbstractSolver& self) {
        Ref array = new_float_array(self.variables.size());
        std::copy_n(self.variables.data(), self.variables.size(), float_data(array.get()));
        return array;
    });
    c.method("set_variables", "CyAbstractSolver.set_variables(self, double[::1] variables)", args("variables"),
             [](AbstractSolver& self, FloatArray variables) {
                 require_values(variables, self.variables.size(), "variables");
                 self.set_variables(variables.data);
             });
    return c;
}

ClassDef define_CyAbstractNewton() {
    ClassDef c(solver_not_picklable);
    c.method("save_matrix", "CyAbstractNewton.save_matrix(self, string prefix)", args("prefix"),
             [](AbstractNewton& self, const std::string& prefix) {
                 // A file name ends at its first zero byte: the files would be written elsewhere.
                 if (prefix.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
                 self.save_matrix(prefix);
             });
    c.method("get_jacobian", "CyAbstractNewton.get_jacobian(self)", args(), [](AbstractNewton& self) {
        const Py_ssize_t n = self.variables.size();
        if (n > max_dense_variables || (n > 0 && n > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(double)) / n))
            raise_format(PyExc_MemoryError, "get_jacobian: a dense Jacobian of %zd variables is too large", n);
        Ref array = new_float_matrix(n, n);
        CppadErrorHandlerScope handler;
        self.dense_jacobian(float_data(array.get()));
        return array;
    });
    c.method("get_residuals", "CyAbstractNewton.get_residuals(self)", args(), [](AbstractNewton& self) {
        const Py_ssize_t n = self.variables.size();
        Ref array = new_float_array(n);
        CppadErrorHandlerScope handler;
        const VectorXd residuals = self.get_residuals();
        std::copy_n(residuals.data(), std::min<Py_ssize_t>(n, residuals.size()), float_data(array.get()));
        return array;
    });
    c.method("analyse_jacobian", "CyAbstractNewton.analyse_jacobian(self)", args(),
             [](AbstractNewton& self) { return self.analyse_jacobian(); });
    return c;
}

ClassDef define_CyNewton() {
    ClassDef c(no_default_reduce);
    c.constructor(args("network", "optimize_tape"),
                  [](PyObject* self, Instance<ClassId::CyElectricalNetwork> network, bool optimize_tape) {
                      ElectricalNetwork& n = network.engine<ElectricalNetwork>();
                      return keeping_network(self, network, std::make_unique<Newton>(&n, optimize_tape));
                  });
    return c;
}

ClassDef define_CyNewtonGoldstein() {
    ClassDef c(no_default_reduce);
    c.constructor(args("network", "optimize_tape", "m1", "m2", "weighted_merit"),
                  [](PyObject* self, Instance<ClassId::CyElectricalNetwork> network, bool optimize_tape, double m1,
                     double m2, bool weighted_merit) {
                      ElectricalNetwork& n = network.engine<ElectricalNetwork>();
                      return keeping_network(
                          self, network, std::make_unique<NewtonGoldstein>(&n, optimize_tape, m1, m2, weighted_merit));
                  });
    c.method("update_params", "CyNewtonGoldstein.update_params(self, double m1, double m2, bool weighted_merit)",
             args("m1", "m2", "weighted_merit"), [](NewtonGoldstein& self, double m1, double m2, bool weighted_merit) {
                 self.m1 = m1;
                 self.m2 = m2;
                 self.weighted_merit = weighted_merit;
             });
    return c;
}

ClassDef define_CyBackwardForward() {
    ClassDef c(no_default_reduce);
    c.constructor(args("network"), [](PyObject* self, Instance<ClassId::CyElectricalNetwork> network) {
        ElectricalNetwork& n = network.engine<ElectricalNetwork>();
        return keeping_network(self, network, std::make_unique<BackwardForward>(&n));
    });
    return c;
}

}  // namespace lfe::py
