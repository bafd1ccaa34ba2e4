#pragma once
// The control law of a flexible load: an active-power control, a reactive-power control and a
// projection onto the disc of radius s_max, each step smooth so that the recorded equations can be
// differentiated. The law exists over doubles and over the tape with the same steps.
//
// Several phases and loads may share one flexible parameter; the network numbers its three limits
// once. Loads and networks hold raw pointers to it: it outlives them.
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "network/parameters.hpp"

enum class ControlType : std::int32_t { constant = 0, q_u = 1, p_max_u_production = 2, p_max_u_consumption = 3 };
enum class ProjectionType : std::int32_t { euclidean = 0, keep_p = 1, keep_q = 2 };

class Control {
public:
    ControlType type = ControlType::constant;
    double u_min;
    double u_down;
    double u_up;
    double u_max;
    double alpha;
    double epsilon;

    // Throws std::runtime_error for a name that is not exactly one of the four.
    Control(const std::string& t, double u_min, double u_down, double u_up, double u_max, double alpha,
            double epsilon);
};

class Projection {
public:
    ProjectionType type = ProjectionType::euclidean;
    double alpha;
    double epsilon;

    // Throws std::runtime_error for a name that is not exactly one of the three.
    Projection(const std::string& t, double alpha, double epsilon);
};

class FlexibleParameter {
public:
    Control control_p;
    Control control_q;
    Projection projection;
    RealParameter s_max;
    RealParameter q_min;
    RealParameter q_max;

    // The control types are not checked here: a combination the law refuses fails when evaluated.
    FlexibleParameter(const Control& control_p, const Control& control_q, const Projection& projection, double s_max,
                      double q_min, double q_max);

    // The power drawn at the voltage magnitude u by a phase whose theoretical power is s_th.
    std::complex<double> compute_power(double u, std::complex<double> s_th) const;
    // The same on the tape being recorded.
    std::complex<CppAD::AD<double>> compute_power_ad(const CppAD::AD<double>& u,
                                                     const std::complex<CppAD::AD<double>>& s_th) const;

    void collect_parameters(std::vector<double>& values) const {
        s_max.collect(values);
        q_min.collect(values);
        q_max.collect(values);
    }
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) {
        s_max.bind(p, p_values, index);
        q_min.bind(p, p_values, index);
        q_max.bind(p, p_values, index);
    }
    // Writes the three limits, through their links once bound: nothing is recorded again.
    void update_parameters(double s_max, double q_min, double q_max);
};
