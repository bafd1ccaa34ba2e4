#pragma once
// Single-phase regulating transformer. Side 1 = (primary phase, primary neutral), side 2 =
// (secondary phase, secondary neutral); the two neutrals are one node from construction on.
//
// U2 = k U1 + z2 I2 and I1 = ym U1 - conj(k) I2, with the ratio k = T(tap) e^(j phi). T clamps the
// tap smoothly into [1 - u_range, 1 + u_range]; the tap is a variable of the Newton-family solvers
// whose equation holds |U2| at u_ref while the tap stays inside the band.
#include "elements/branch.hpp"

class SingleVoltageRegulator : public Branch {
public:
    ComplexParameter z2;
    ComplexParameter ym;
    RealParameter u_ref;
    double u_range;
    double alpha;  // sharpness of the smooth clamp, positive
    double phi;    // phase of the ratio, radians
    RealParameter tap;

    SingleVoltageRegulator(const std::complex<double>& z2, const std::complex<double>& ym, double u_ref,
                           double u_range, double alpha, double phi);

    void collect_variables(std::vector<double>& values) override;
    void collect_parameters(std::vector<double>& values) override;
    void bind_variables(ADVector& x, VectorXd& x_values, int& index) override;
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override;
    void compute_currents(bool on_tape) override;
    void add_residuals(ADVector& residuals, int& index) override;
    void backward_step() override;
    double forward_step() override;
    // The secondary phase (port 2) imposed, every other port read.
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;
    // The largest ratio the band allows, either way.
    double voltage_gain() const override;

    // Writes the three records (through their links), then, when the primary is live, restarts the
    // tap at the clamped ratio u_ref / |U1| and the secondary phase at V1 + T(tap) U1.
    void update_parameters(const std::complex<double>& z2, const std::complex<double>& ym, double u_ref);

    // Clamp into the band; a NaN passes through.
    double hard_clamp(double x) const;
    // T(x) in doubles: what the tape records, what get_tap and compute_tap report.
    double smooth_clamp(double x) const;
    // T(tap): the ratio magnitude in force.
    double get_tap() const { return smooth_clamp(tap.get_value()); }
    // T(u_ref / u_in): the ratio that would serve a primary voltage magnitude u_in.
    double compute_tap(double u_in) const { return smooth_clamp(u_ref.get_value() / u_in); }

private:
    AD smooth_clamp_ad(const AD& x) const;
    std::complex<double> ratio(double t) const;
    std::complex<double> primary_voltage() const;
};
