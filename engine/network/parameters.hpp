#pragma once
// Parameter records: a value kept by the record, a link into a solver's value vector once bound,
// and the differentiable value the equations are recorded over.
#include <cstddef>

#include "network/types.hpp"

// Binding with an empty differentiable vector unlinks a record linked into the value vector given
// (any record when that is empty too): a solver that goes away uses it so that no record keeps
// pointing into its freed vectors.
struct ComplexParameter {
    double* linked_value = nullptr;
    ADComplex ad = ad_zero();
    std::complex<double> value;
    bool linked = false;

    ComplexParameter(const std::complex<double>& v = 0.0) : value(v) {}

    std::complex<double> get_value() const {
        return linked ? std::complex<double>(linked_value[0], linked_value[1]) : value;
    }
    void set_value(const std::complex<double>& v) {
        value = v;
        if (linked) {
            linked_value[0] = v.real();
            linked_value[1] = v.imag();
        }
    }
    void collect(std::vector<double>& values) const {
        values.push_back(value.real());
        values.push_back(value.imag());
    }
    void bind(ADVector& d, VectorXd& d_values, int& index);
};

struct RealParameter {
    double* linked_value = nullptr;
    AD ad = AD(0.0);
    double value;
    bool linked = false;

    RealParameter(double v = 0.0) : value(v) {}

    double get_value() const { return linked ? *linked_value : value; }
    void set_value(double v) {
        value = v;
        if (linked) *linked_value = v;
    }
    void collect(std::vector<double>& values) const { values.push_back(value); }
    void bind(ADVector& d, VectorXd& d_values, int& index);
};

struct ComplexVectorParameter {
    double* linked_value = nullptr;
    ADComplexVector ad;
    Eigen::VectorXcd value;
    bool linked = false;

    ComplexVectorParameter() = default;
    explicit ComplexVectorParameter(const Eigen::VectorXcd& v) : value(v) {}

    Eigen::VectorXcd get_value() const;
    // Entry k only, without building the whole vector.
    std::complex<double> get_entry(Eigen::Index k) const {
        return linked ? std::complex<double>(linked_value[2 * k], linked_value[2 * k + 1]) : value[k];
    }
    void set_value(const Eigen::VectorXcd& v);
    void collect(std::vector<double>& values) const;
    void bind(ADVector& d, VectorXd& d_values, int& index);
};

struct ComplexMatrixParameter {
    double* linked_value = nullptr;
    ADComplexMatrix ad;
    Eigen::MatrixXcd value;
    bool linked = false;

    ComplexMatrixParameter() = default;
    explicit ComplexMatrixParameter(const Eigen::MatrixXcd& v) : value(v) {}

    Eigen::MatrixXcd get_value() const;
    void set_value(const Eigen::MatrixXcd& v);
    void collect(std::vector<double>& values) const;
    void bind(ADVector& d, VectorXd& d_values, int& index);
};

// A record on the tape: its bound dynamic parameters, or its own values as constants when it was
// never bound.
ADComplexMatrix tape_matrix(const ComplexMatrixParameter& m);
ADComplexVector tape_vector(const ComplexVectorParameter& v);

std::vector<double> matrix_to_real_vector(const Eigen::MatrixXcd& m);
std::vector<double> array_to_real_vector(const std::complex<double>* data, std::size_t n);

// k / z over differentiable numbers; no guard for z = 0.
ADComplex complex_inverse_scaled(const double& k, const ADComplex& z);
// Smooth max(x, 0) with sharpness k > 0.
AD soft_positive_part(const AD& x, double k);
