#pragma once
// Three-phase two-winding transformer. Side 1 is the HV side ("Y" star or "D" delta), side 2 the LV
// side ("y" star, "d" delta or "z" zigzag); the clock is the LV lag in steps of 30 degrees. Ports
// 0, 1, 2 of a side are the phases a, b, c; a star or zigzag side has the neutral as port 3.
//
// The ratio k, z2 and ym are per winding: k is one LV winding's voltage over one HV winding's at no
// load (for a zigzag, one of its two half windings), z2 is that of one LV winding and ym that of one
// HV winding. For Dyn11 20 kV / 400 V, k = 400 / (sqrt(3) x 20,000) = 0.01155.
#include <string>

#include "elements/transformer.hpp"

class ThreePhaseTransformer : public Transformer<ThreePhaseTransformer> {
public:
    Eigen::Matrix3d hv_current_matrix;    // A: side-1 phase currents = A HV winding currents
    Eigen::MatrixXd hv_winding_matrix;    // W1: HV winding voltages = W1 side-1 potentials
    Eigen::Matrix3d lv_current_matrix;    // B: side-2 phase currents = B LV winding currents
    Eigen::Matrix3d lv_voltage_coupling;  // G: HV winding voltages into the LV winding equation
    Eigen::MatrixXd lv_winding_matrix;    // W2: LV winding voltages = W2 side-2 potentials
    Eigen::Matrix3d hv_current_coupling;  // D: LV winding currents into the HV winding currents
    double orientation;                   // sign of the LV winding currents, folded into B and G
    int clock;
    std::string whv;
    std::string wlv;

    // Throws std::runtime_error for a bad letter (HV first), then std::invalid_argument for side
    // port counts that do not match the letters and for a clock the winding pair cannot produce.
    // Nothing is allocated before these checks pass (a negative count fails as every count does).
    ThreePhaseTransformer(int n1, int n2, const std::string& whv, const std::string& wlv,
                          const std::complex<double>& z2, const std::complex<double>& ym, double k, int clock);

    void compute_currents(bool on_tape) override;
    void backward_step() override;  // throws
    const char* kind_name() const override;
    // A phase of one side spans up to three times the ratio (k or 1 / k) times a phase of the other's
    // (D to z).
    double voltage_gain() const override;
    std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
    std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;

private:
    // Writes the three phase potentials of each side alternately, then zero on the neutrals.
    void write_test_potentials(const std::complex<double>* v1, const std::complex<double>* v2);
};
