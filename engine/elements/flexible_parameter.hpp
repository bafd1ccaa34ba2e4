#pragma once
// The limits of a flexible load's control law that a network numbers as updatable parameters.
// Several flexible loads may share one flexible parameter; the network counts it once.
#include "network/parameters.hpp"

class FlexibleParameter {
public:
    RealParameter s_max;
    RealParameter q_min;
    RealParameter q_max;

    FlexibleParameter(double s_max_, double q_min_, double q_max_) : s_max(s_max_), q_min(q_min_), q_max(q_max_) {}

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
};
