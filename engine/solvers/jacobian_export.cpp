// Export and diagnosis of the Jacobian of a Newton-family solver.
#include <cmath>
#include <fstream>
#include <set>

#include "solvers/cppad_error_handler.hpp"
#include "solvers/newton.hpp"

MatrixExportError::MatrixExportError(const std::string& message)
    : std::ios_base::failure(message), message_(message) {}

const char* MatrixExportError::what() const noexcept { return message_.c_str(); }

namespace {
// Opens name for writing with the number format of the MatrixMarket files; false if it cannot.
bool open_matrix_file(std::ofstream& out, const std::string& name) {
    out.open(name, std::ios::out | std::ios::trunc);
    if (!out.is_open()) return false;
    out.flags(std::ios_base::scientific);
    out.precision(17);
    return true;
}

// Closes the file; false when anything written to it was lost.
bool close_matrix_file(std::ofstream& out) {
    out.close();
    return !out.fail();
}

bool write_jacobian(const std::string& name, const Eigen::SparseMatrix<double>& j) {
    std::ofstream out;
    if (!open_matrix_file(out, name)) return false;
    out << "%%MatrixMarket matrix coordinate " << " real" << " general" << std::endl;
    out << j.rows() << " " << j.cols() << " " << j.nonZeros() << "\n";
    for (int c = 0; c < j.outerSize(); ++c)
        for (Eigen::SparseMatrix<double>::InnerIterator it(j, c); it; ++it)
            out << it.row() + 1 << " " << it.col() + 1 << " " << it.value() << "\n";
    return close_matrix_file(out);
}

bool write_residuals(const std::string& name, const VectorXd& f) {
    std::ofstream out;
    if (!open_matrix_file(out, name)) return false;
    out << "%%MatrixMarket matrix array real general\n";
    out << f.size() << " " << 1 << "\n";
    for (Eigen::Index k = 0; k < f.size(); ++k) out << f[k] << "\n";
    return close_matrix_file(out);
}
}  // namespace

void AbstractNewton::save_matrix(const std::string& prefix) {
    CppadErrorHandlerScope handler;
    const VectorXd f = get_residuals();
    const Eigen::SparseMatrix<double> j = compute_jacobian();
    const std::string jacobian_name = prefix + ".mtx";
    const std::string residuals_name = prefix + "_b.mtx";
    const bool jacobian_ok = write_jacobian(jacobian_name, j);
    const bool residuals_ok = write_residuals(residuals_name, f);
    if (jacobian_ok && residuals_ok) return;
    std::string message = "Cannot write ";
    if (!jacobian_ok) message += "'" + jacobian_name + "'";
    if (!jacobian_ok && !residuals_ok) message += ", ";
    if (!residuals_ok) message += "'" + residuals_name + "'";
    throw MatrixExportError(message);
}

std::pair<std::vector<int>, std::vector<int>> AbstractNewton::analyse_jacobian() {
    CppadErrorHandlerScope handler;
    const Eigen::SparseMatrix<double> j = compute_jacobian();
    std::vector<long> empty_columns;
    std::set<long> non_finite_rows;
    for (int c = 0; c < j.outerSize(); ++c) {
        bool non_zero = false;
        for (Eigen::SparseMatrix<double>::InnerIterator it(j, c); it; ++it) {
            const double v = it.value();
            if (!std::isfinite(v)) non_finite_rows.insert(it.row());
            if (v != 0.0) non_zero = true;  // NaN counts as non-zero
        }
        if (!non_zero) empty_columns.push_back(c);
    }
    std::vector<int> first = network->elements_of_indices(empty_columns);
    std::vector<int> second =
        network->elements_of_indices(std::vector<long>(non_finite_rows.begin(), non_finite_rows.end()));
    return {std::move(first), std::move(second)};
}
