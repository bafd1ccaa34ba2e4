#pragma once
// Differentiable number types shared by the records, the elements and the solvers.
#include <complex>
#include <vector>

#include <Eigen/Dense>
#include <cppad/cppad.hpp>
#include <cppad/example/cppad_eigen.hpp>

using AD = CppAD::AD<double>;
using ADComplex = std::complex<AD>;
using ADVector = std::vector<AD>;
using ADComplexVector = Eigen::Matrix<ADComplex, Eigen::Dynamic, 1>;
using ADComplexMatrix = Eigen::Matrix<ADComplex, Eigen::Dynamic, Eigen::Dynamic>;
using Eigen::VectorXd;

inline ADComplex ad_zero() { return ADComplex(AD(0.0), AD(0.0)); }
