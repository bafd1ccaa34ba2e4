#include "network/parameters.hpp"

#include <functional>

namespace {
// Binding with an empty differentiable vector is the unlink request (see parameters.hpp). It
// returns whether the record should do nothing but advance the index; the record is unlinked when
// it is linked into d_values, or whatever it is linked to when d_values is empty too.
template <class Record>
bool unlink_request(Record& r, const ADVector& d, const VectorXd& d_values) {
    if (!d.empty()) return false;
    const std::less<const double*> before;
    const double* begin = d_values.data();
    const double* end = begin + d_values.size();
    const bool inside = r.linked && !before(r.linked_value, begin) && before(r.linked_value, end);
    if (d_values.size() == 0 || inside) {
        r.linked = false;
        r.linked_value = nullptr;
    }
    return true;
}
}  // namespace

void ComplexParameter::bind(ADVector& d, VectorXd& d_values, int& index) {
    if (!unlink_request(*this, d, d_values)) {
        ad = ADComplex(d[index], d[index + 1]);
        linked_value = &d_values[index];
        linked = true;
    }
    index += 2;
}

void RealParameter::bind(ADVector& d, VectorXd& d_values, int& index) {
    if (!unlink_request(*this, d, d_values)) {
        ad = d[index];
        linked_value = &d_values[index];
        linked = true;
    }
    index += 1;
}

Eigen::VectorXcd ComplexVectorParameter::get_value() const {
    if (!linked) return value;
    Eigen::VectorXcd out(value.size());
    for (Eigen::Index k = 0; k < value.size(); ++k)
        out[k] = std::complex<double>(linked_value[2 * k], linked_value[2 * k + 1]);
    return out;
}

void ComplexVectorParameter::set_value(const Eigen::VectorXcd& v) {
    value = v;
    if (linked) {
        for (Eigen::Index k = 0; k < v.size(); ++k) {
            linked_value[2 * k] = v[k].real();
            linked_value[2 * k + 1] = v[k].imag();
        }
    }
}

void ComplexVectorParameter::collect(std::vector<double>& values) const {
    for (Eigen::Index k = 0; k < value.size(); ++k) {
        values.push_back(value[k].real());
        values.push_back(value[k].imag());
    }
}

void ComplexVectorParameter::bind(ADVector& d, VectorXd& d_values, int& index) {
    const int n = static_cast<int>(value.size());
    if (!unlink_request(*this, d, d_values)) {
        ad.resize(n);
        for (int k = 0; k < n; ++k) ad[k] = ADComplex(d[index + 2 * k], d[index + 2 * k + 1]);
        linked_value = d_values.data() + index;  // index may be the end for an empty record
        linked = true;
    }
    index += 2 * n;
}

ADComplexMatrix tape_matrix(const ComplexMatrixParameter& m) {
    if (m.ad.rows() == m.value.rows() && m.ad.cols() == m.value.cols()) return m.ad;
    ADComplexMatrix out(m.value.rows(), m.value.cols());
    for (Eigen::Index i = 0; i < m.value.rows(); ++i)
        for (Eigen::Index j = 0; j < m.value.cols(); ++j)
            out(i, j) = ADComplex(AD(m.value(i, j).real()), AD(m.value(i, j).imag()));
    return out;
}

ADComplexVector tape_vector(const ComplexVectorParameter& v) {
    if (v.ad.size() == v.value.size()) return v.ad;
    ADComplexVector out(v.value.size());
    for (Eigen::Index k = 0; k < v.value.size(); ++k) out[k] = ADComplex(AD(v.value[k].real()), AD(v.value[k].imag()));
    return out;
}

Eigen::MatrixXcd ComplexMatrixParameter::get_value() const {
    if (!linked) return value;
    const Eigen::Index c = value.cols();
    Eigen::MatrixXcd out(value.rows(), c);
    for (Eigen::Index i = 0; i < value.rows(); ++i)
        for (Eigen::Index j = 0; j < c; ++j)
            out(i, j) = std::complex<double>(linked_value[2 * (i * c + j)], linked_value[2 * (i * c + j) + 1]);
    return out;
}

void ComplexMatrixParameter::set_value(const Eigen::MatrixXcd& v) {
    value = v;
    if (linked) {
        const Eigen::Index c = v.cols();
        for (Eigen::Index i = 0; i < v.rows(); ++i)
            for (Eigen::Index j = 0; j < c; ++j) {
                linked_value[2 * (i * c + j)] = v(i, j).real();
                linked_value[2 * (i * c + j) + 1] = v(i, j).imag();
            }
    }
}

void ComplexMatrixParameter::collect(std::vector<double>& values) const {
    for (Eigen::Index i = 0; i < value.rows(); ++i)
        for (Eigen::Index j = 0; j < value.cols(); ++j) {
            values.push_back(value(i, j).real());
            values.push_back(value(i, j).imag());
        }
}

void ComplexMatrixParameter::bind(ADVector& d, VectorXd& d_values, int& index) {
    const int r = static_cast<int>(value.rows());
    const int c = static_cast<int>(value.cols());
    if (!unlink_request(*this, d, d_values)) {
        ad.resize(r, c);
        for (int i = 0; i < r; ++i)
            for (int j = 0; j < c; ++j) {
                const int at = index + 2 * (i * c + j);
                ad(i, j) = ADComplex(d[at], d[at + 1]);
            }
        linked_value = d_values.data() + index;  // index may be the end for an empty record
        linked = true;
    }
    index += 2 * r * c;
}

std::vector<double> matrix_to_real_vector(const Eigen::MatrixXcd& m) {
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(2 * m.rows() * m.cols()));
    for (Eigen::Index i = 0; i < m.rows(); ++i)
        for (Eigen::Index j = 0; j < m.cols(); ++j) {
            out.push_back(m(i, j).real());
            out.push_back(m(i, j).imag());
        }
    return out;
}

std::vector<double> array_to_real_vector(const std::complex<double>* data, std::size_t n) {
    std::vector<double> out;
    out.reserve(2 * n);
    for (std::size_t k = 0; k < n; ++k) {
        out.push_back(data[k].real());
        out.push_back(data[k].imag());
    }
    return out;
}

ADComplex complex_inverse_scaled(const double& k, const ADComplex& z) {
    const AD m = -z.imag();
    const AD n = z.real() * z.real() + z.imag() * z.imag();
    const AD a = z.real() / n;
    const AD b = m / n;
    const AD kk(k);
    return ADComplex(kk * a, kk * b);
}

AD soft_positive_part(const AD& x, double k) {
    const AD a = CppAD::abs(x);
    const AD h = AD(0.5) * (x + a);
    const AD t = AD(-k) * a;
    const AD e = CppAD::exp(t);
    const AD l = CppAD::log1p(e);
    const AD d = l / AD(k);
    return h + d;
}
