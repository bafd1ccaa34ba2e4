// Wrappers of the series-impedance line and the pi-section (shunt) line.
#include "elements/line.hpp"
#include "pylayer.hpp"

namespace lfe::py {
namespace {

// Values of one n x n matrix; a conductor count the engine refuses reads none.
long long matrix_values(std::size_t n) { return static_cast<long long>(n) * static_cast<long long>(n); }
long long matrix_values(int n) { return n > 0 ? matrix_values(static_cast<std::size_t>(n)) : 0; }

std::size_t conductors(const SimplifiedLine& line) { return line.side1.size(); }
std::size_t conductors(const ShuntLine& line) { return line.side1.size(); }

// The scalar forms hand the engine the address of one value per matrix.
void require_single_conductor(std::size_t n, const char* method) {
    if (n > 1) raise_format(PyExc_ValueError, "%s needs an element with a single value", method);
}

}  // namespace

ClassDef define_CySimplifiedLine() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "z_line"), [](int n, ComplexArray z_line) {
        require_values(z_line, matrix_values(n), "z_line");
        return new SimplifiedLine(n, z_line.data);
    });
    c.method("update_line_parameters", "CySimplifiedLine.update_line_parameters(self, double complex[::1] z_line)",
             args("z_line"), [](SimplifiedLine& self, ComplexArray z_line) {
                 require_values(z_line, matrix_values(conductors(self)), "z_line");
                 self.update_line_parameters(z_line.data);
             });
    c.method("update_single_line_parameters",
             "CySimplifiedLine.update_single_line_parameters(self, double complex z_line)", args("z_line"),
             [](SimplifiedLine& self, std::complex<double> z_line) {
                 require_single_conductor(conductors(self), "update_single_line_parameters");
                 self.update_line_parameters(&z_line);
             });
    return c;
}

ClassDef define_CyShuntLine() {
    ClassDef c(no_default_reduce);
    c.constructor(args("n", "y_shunt", "z_line"), [](int n, ComplexArray y_shunt, ComplexArray z_line) {
        require_values(y_shunt, matrix_values(n), "y_shunt");
        require_values(z_line, matrix_values(n), "z_line");
        return new ShuntLine(n, y_shunt.data, z_line.data);
    });
    c.method("update_line_parameters",
             "CyShuntLine.update_line_parameters(self, double complex[::1] y_shunt, double complex[::1] z_line)",
             args("y_shunt", "z_line"), [](ShuntLine& self, ComplexArray y_shunt, ComplexArray z_line) {
                 const long long k = matrix_values(conductors(self));
                 require_values(y_shunt, k, "y_shunt");
                 require_values(z_line, k, "z_line");
                 self.update_line_parameters(y_shunt.data, z_line.data);
             });
    c.method("update_single_line_parameters",
             "CyShuntLine.update_single_line_parameters(self, double complex y_shunt, double complex z_line)",
             args("y_shunt", "z_line"), [](ShuntLine& self, std::complex<double> y_shunt, std::complex<double> z_line) {
                 require_single_conductor(conductors(self), "update_single_line_parameters");
                 self.update_line_parameters(&y_shunt, &z_line);
             });
    return c;
}

}  // namespace lfe::py
