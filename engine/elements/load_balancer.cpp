#include "elements/load_balancer.hpp"

using cd = std::complex<double>;

LoadBalancer::LoadBalancer(const cd& z2, const cd& ym, double k) : Load<LoadBalancer>(4) {
    phase_to_neutral << 1.0, 0.0, 0.0, -1.0,  //
        0.0, 1.0, 0.0, -1.0,                  //
        0.0, 0.0, 1.0, -1.0;
    const double d = 1.0 / (k * k) + 1.0;
    const cd diagonal = cd(d, 0.0) / ym + z2;
    const cd off_diagonal = cd(-1.0, 0.0) / cd(k * ym.real(), k * ym.imag());
    Eigen::Matrix3cd z;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) z(i, j) = i == j ? diagonal : off_diagonal;
    admittance_matrix.value = z.partialPivLu().inverse();
}

void LoadBalancer::collect_parameters(std::vector<double>& values) { admittance_matrix.collect(values); }

void LoadBalancer::bind_parameters(ADVector& p, VectorXd& p_values, int& index) {
    admittance_matrix.bind(p, p_values, index);
}

void LoadBalancer::compute_currents(bool on_tape) {
    const Eigen::Matrix<double, 3, 4>& m = phase_to_neutral;
    if (on_tape) {
        ADComplex v[4];
        for (int j = 0; j < 4; ++j) v[j] = ports[static_cast<std::size_t>(j)].connection->get_potential_ad();
        ADComplex u[3];
        for (int i = 0; i < 3; ++i)
            u[i] = (v[0] * AD(m(i, 0)) + v[1] * AD(m(i, 1))) + (v[2] * AD(m(i, 2)) + v[3] * AD(m(i, 3)));
        const ADComplexMatrix y = tape_matrix(admittance_matrix);
        ADComplex neutral = ad_zero();
        for (int i = 0; i < 3; ++i) {
            ADComplex sum = ad_zero();
            for (int j = 0; j < 3; ++j) sum += y(i, j) * u[j];
            ports[static_cast<std::size_t>(i)].current_ad = sum;
            neutral -= sum;
        }
        ports[3].current_ad = neutral;
    } else {
        Eigen::Vector4cd v;
        for (int j = 0; j < 4; ++j) v[j] = ports[static_cast<std::size_t>(j)].connection->get_potential();
        Eigen::Vector3cd u;
        for (int i = 0; i < 3; ++i)
            u[i] = (v[0] * m(i, 0) + v[1] * m(i, 1)) + (v[2] * m(i, 2) + v[3] * m(i, 3));
        const Eigen::Vector3cd current = admittance_matrix.get_value() * u;
        cd neutral = 0.0;
        for (int i = 0; i < 3; ++i) {
            ports[static_cast<std::size_t>(i)].current = current[i];
            neutral -= current[i];
        }
        ports[3].current = neutral;
    }
}

void LoadBalancer::backward_step() { compute_currents(false); }

void LoadBalancer::get_inner_currents(cd* out) {
    for (std::size_t i = 0; i < 3; ++i) out[i] = ports[i].current;
}
