#pragma once
// Load balancer: a four-port linear load (phases a, b, c, then the neutral) whose phase currents are
// a fixed 3 x 3 admittance matrix times the phase-to-neutral voltages; the neutral carries minus
// their sum. The matrix is the inverse of the impedance matrix built from z2, ym and the ratio k,
// which gives u / z2 per phase for a zero-sequence voltage u and u / (z2 + 3 / ym) for a
// positive-sequence one when k = 1.
#include "elements/load.hpp"

class LoadBalancer : public Load<LoadBalancer> {
public:
    ComplexMatrixParameter admittance_matrix;     // 3 x 3, row i gives phase i's current
    Eigen::Matrix<double, 3, 4> phase_to_neutral;  // row i: +1 at port i, -1 at the neutral

    // No guard: k = 0, ym = 0 or a singular impedance matrix give non-finite admittances.
    LoadBalancer(const std::complex<double>& z2, const std::complex<double>& ym, double k);

    void collect_parameters(std::vector<double>& values) override;
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override;
    void compute_currents(bool on_tape) override;
    void backward_step() override;
    // The three phase currents of the last double-mode computation.
    void get_inner_currents(std::complex<double>* out) override;
    int inner_current_count() const override { return 3; }
};
