#pragma once
// Two-winding transformers: the parameter records and the open-circuit and short-circuit tests
// shared by every kind, and the single-phase and centre-tap kinds. The three-phase kind is in
// three_phase_transformer.hpp. Transformers have no variables and no equations of their own.
#include <utility>

#include "elements/branch.hpp"

class TransformerBase : public Branch {
public:
    ComplexParameter z2;  // series impedance, on side 2
    ComplexParameter ym;  // magnetising admittance, on side 1
    ComplexParameter k;   // ratio: side-2 winding voltage over side-1 winding voltage at no load

    // Six values: z2, ym, k, real part then imaginary part of each.
    void collect_parameters(std::vector<double>& values) override;
    void bind_parameters(ADVector& p, VectorXd& p_values, int& index) override;

    // Writes through to a bound solver's parameters, so its tape stays valid.
    void update_transformer_parameters(const std::complex<double>& z2, const std::complex<double>& ym, double k_re,
                                       double k_im);

    // Both tests write test potentials into the nodes of the transformer's ports (and through the
    // links into a bound solver's variables), recompute the port currents and restore nothing.
    // They return (active power drawn at side 1, the test's ratio). Ratings that are not positive
    // and finite are refused before anything is written.
    virtual std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) = 0;
    virtual std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) = 0;

    // |k| or 1 / |k|, whichever is larger: a transformer may be fed from either side.
    double voltage_gain() const override;

protected:
    TransformerBase(int n1, int n2, const std::complex<double>& z2, const std::complex<double>& ym,
                    const std::complex<double>& k);

    // Throws std::invalid_argument unless all three are positive and finite.
    static void check_ratings(double uhv, double ulv, double sn);
    // Sum over side 1 of Re(V conj(I)), with the port currents in doubles.
    double side1_power() const;
};

template <class T>
class Transformer : public TransformerBase {
public:
    using TransformerBase::TransformerBase;
};

// Test potentials: m times the unit phasor u, part by part. NaN in both parts when m is NaN or has
// its sign bit set (negative, -0.0); otherwise a part that comes out NaN is 0.
std::complex<double> scaled_potential(double m, const std::complex<double>& u);
// The same for the phasor of angle a.
std::complex<double> polar_potential(double m, double a);

// Two ports a side: U1 = V1_0 - V1_1, U2 = V2_0 - V2_1, I2 = (U2 - k U1) / z2, I1 = ym U1 - conj(k) I2.
class SingleTransformer : public Transformer<SingleTransformer> {
public:
    SingleTransformer(const std::complex<double>& z2, const std::complex<double>& ym, const std::complex<double>& k);

    void compute_currents(bool on_tape) override;
    void backward_step() override;
    double forward_step() override;
    // The secondary phase (port 2) imposed, every other port read.
    SweepRole sweep_role(std::size_t k) const override;
    const char* kind_name() const override;
    std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
    std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;
};

// Side 2 is two half windings of z2 / 2 each: ports 2 and 3 are the outer ends, port 4 the centre
// tap. Only the real part of the ratio enters the currents. Takes no part in the sweep.
class CenterTransformer : public Transformer<CenterTransformer> {
public:
    CenterTransformer(const std::complex<double>& z2, const std::complex<double>& ym, double k);

    void compute_currents(bool on_tape) override;
    void backward_step() override;  // throws
    const char* kind_name() const override;
    std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
    std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;
};

// The refusal of the sweep by the transformers that have no backward step.
[[noreturn]] void throw_no_transformer_sweep();
