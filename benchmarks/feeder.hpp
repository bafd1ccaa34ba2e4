#pragma once
// Synthetic three-phase four-wire radial feeders, shared by the solver tests and the benchmarks.
//
// A star source (neutral held at zero by a potential reference) feeds bus 0; every other bus hangs
// from its parent bus (k - 1) / branching through a four-conductor line whose side 1 is the parent.
// Lines alternate between series-impedance and pi-section (shunt) lines; the shunt lines' ground
// ports share one node held at zero. Every bus carries one load, the load kinds of the options taken
// in turn (by default the six constant-load kinds; star on the four conductors, delta on the three
// phases), with unbalanced phases. A flexible load has a volt-var parameter of its own.
// Elements are listed source first, then bus by bus (the bus, the line feeding it, its load), so
// that every line comes after the line feeding its side 1. Optionally every n-th bus is fed through
// a YNyn0 transformer of ratio 1 instead of a line, its LV neutral held at zero.
#include <cmath>
#include <complex>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "elements/bus.hpp"
#include "elements/flexible_load.hpp"
#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/three_phase_transformer.hpp"
#include "elements/voltage_source.hpp"
#include "network/network.hpp"

namespace feeder {

using Complex = std::complex<double>;

enum class LoadKind { power, delta_power, current, delta_current, admittance, delta_admittance, flexible };

struct Options {
    int buses = 12;
    int branching = 2;           // children per bus
    double total_power = 90e3;   // W drawn by all loads together (before updates)
    double power_factor = 0.95;  // inductive
    bool shunt_lines = true;     // every second line a pi section; false: series lines only
    int transformer_every = 0;   // buses k > 0 with k % transformer_every == 0 hang from a transformer
    std::string projection = "euclidean";  // of the flexible loads' parameters
    // Taken in turn, bus by bus.
    std::vector<LoadKind> load_kinds{LoadKind::power,         LoadKind::delta_power, LoadKind::current,
                                     LoadKind::delta_current, LoadKind::admittance,  LoadKind::delta_admittance};
};

inline bool is_delta(LoadKind kind) {
    return kind == LoadKind::delta_power || kind == LoadKind::delta_current || kind == LoadKind::delta_admittance;
}

struct LoadEntry {
    LoadBase* load;
    LoadKind kind;
    std::vector<Complex> base;  // the values at construction

    // Writes base * factor into the load through its records.
    void scale(double factor) const {
        std::vector<Complex> v(base);
        for (Complex& x : v) x *= factor;
        switch (kind) {
            case LoadKind::power:
                static_cast<PowerLoad*>(load)->update_powers(v.data());
                break;
            case LoadKind::delta_power:
                static_cast<DeltaPowerLoad*>(load)->update_powers(v.data());
                break;
            case LoadKind::current:
                static_cast<CurrentLoad*>(load)->update_currents(v.data());
                break;
            case LoadKind::delta_current:
                static_cast<DeltaCurrentLoad*>(load)->update_currents(v.data());
                break;
            case LoadKind::admittance:
                static_cast<AdmittanceLoad*>(load)->update_admittances(v.data());
                break;
            case LoadKind::delta_admittance:
                static_cast<DeltaAdmittanceLoad*>(load)->update_admittances(v.data());
                break;
            case LoadKind::flexible:
                static_cast<FlexibleLoad*>(load)->update_powers(v.data());
                break;
        }
    }
};

struct LineEntry {
    Branch* line;
    bool shunt;
    int parent;
    int child;
};

const double phase_voltage = 230.0;

inline std::vector<Complex> nominal_voltages() {
    const double a = 2.0 * std::acos(-1.0) / 3.0;
    return {std::polar(phase_voltage, 0.0), std::polar(phase_voltage, -a), std::polar(phase_voltage, a)};
}

// Series impedance of one section (ohm), 4 x 4 row by row: phases and neutral alike, coupled.
inline std::vector<Complex> section_impedance() {
    std::vector<Complex> z(16, Complex(0.0, 0.0015));
    for (int k = 0; k < 4; ++k) z[5 * k] = Complex(0.01, 0.004);
    return z;
}

// Shunt admittance of one section (S), 4 x 4 row by row.
inline std::vector<Complex> section_admittance() {
    std::vector<Complex> y(16, Complex(0.0, -1e-6));
    for (int k = 0; k < 4; ++k) y[5 * k] = Complex(0.0, 4e-6);
    return y;
}

inline void join(Port& keep, Port& other) { keep.connection->merge(other.connection); }

struct Feeder {
    std::vector<std::unique_ptr<FlexibleParameter>> parameters;  // outlive the loads that use them
    std::vector<std::unique_ptr<Element>> owned;
    VoltageSource* source = nullptr;
    std::vector<Bus*> buses;
    std::vector<LineEntry> lines;
    std::vector<LoadEntry> loads;
    std::vector<ThreePhaseTransformer*> transformers;
    Complex z2_transformer{0.01, 0.03};
    Complex ym_transformer{1e-6, -4e-6};
    std::vector<Complex> z_section = section_impedance();
    std::vector<Complex> y_section = section_admittance();
    std::unique_ptr<ElectricalNetwork> network;

    void scale_loads(double factor) const {
        for (const LoadEntry& l : loads) l.scale(factor);
    }

    // Writes z2 * factor, ym * factor and the ratio 1 into every transformer through its records.
    void scale_transformers(double factor) const {
        for (ThreePhaseTransformer* t : transformers)
            t->update_transformer_parameters(z2_transformer * factor, ym_transformer * factor, 1.0, 0.0);
    }

    template <class T, class... Args>
    T* add(std::vector<Element*>& list, Args&&... args) {
        owned.push_back(std::make_unique<T>(std::forward<Args>(args)...));
        list.push_back(owned.back().get());
        return static_cast<T*>(owned.back().get());
    }
};

// Unbalanced phase shares of one bus, rotated from bus to bus; they sum to 3.
inline double phase_share(int bus, int phase) {
    static const double shares[3] = {1.0, 0.7, 1.3};
    return shares[(bus + phase) % 3];
}

inline std::unique_ptr<Feeder> build(const Options& options) {
    auto f = std::make_unique<Feeder>();
    std::vector<Element*> list;
    const std::vector<Complex> u = nominal_voltages();

    f->source = f->add<VoltageSource>(list, 4, u.data());
    auto* neutral_ref = f->add<PotentialRef>(list);
    auto* ground = f->add<Ground>(list);
    auto* ground_ref = f->add<PotentialRef>(list);
    join(ground->ports[0], ground_ref->ports[0]);

    const Complex bus_start[4] = {u[0], u[1], u[2], 0.0};
    const double p_bus = options.total_power / options.buses;
    const double q_ratio = std::tan(std::acos(options.power_factor));
    const double line_voltage = phase_voltage * std::sqrt(3.0);

    for (int k = 0; k < options.buses; ++k) {
        Bus* bus = f->add<Bus>(list, 4, bus_start);
        f->buses.push_back(bus);
        const int parent = (k - 1) / options.branching;
        if (k == 0) {
            for (int c = 0; c < 4; ++c) join(bus->ports[c], f->source->ports[c]);
            join(neutral_ref->ports[0], bus->ports[3]);
        } else if (options.transformer_every > 0 && k % options.transformer_every == 0) {
            auto* t = f->add<ThreePhaseTransformer>(list, 4, 4, "Y", "y", f->z2_transformer, f->ym_transformer, 1.0, 0);
            for (int c = 0; c < 4; ++c) {
                join(f->buses[parent]->ports[c], *t->side1[c]);
                join(bus->ports[c], *t->side2[c]);
            }
            join(f->add<PotentialRef>(list)->ports[0], bus->ports[3]);
            f->transformers.push_back(t);
        } else {
            const bool shunt = options.shunt_lines && k % 2 == 0;
            Branch* line = nullptr;
            if (shunt)
                line = f->add<ShuntLine>(list, 4, f->y_section.data(), f->z_section.data());
            else
                line = f->add<SimplifiedLine>(list, 4, f->z_section.data());
            for (int c = 0; c < 4; ++c) {
                join(f->buses[parent]->ports[c], *line->side1[c]);
                join(bus->ports[c], *line->side2[c]);
            }
            if (shunt) join(ground->ports[0], line->ports[8]);
            f->lines.push_back({line, shunt, parent, k});
        }

        const LoadKind kind = options.load_kinds[static_cast<std::size_t>(k) % options.load_kinds.size()];
        std::vector<Complex> values;
        for (int p = 0; p < 3; ++p) {
            const double pw = p_bus / 3.0 * phase_share(k, p);
            const Complex s(pw, pw * q_ratio);
            const double v = is_delta(kind) ? line_voltage : phase_voltage;
            switch (kind) {
                case LoadKind::power:
                case LoadKind::delta_power:
                case LoadKind::flexible:
                    values.push_back(s);
                    break;
                case LoadKind::current:
                case LoadKind::delta_current:
                    values.push_back(std::conj(s) / v);
                    break;
                case LoadKind::admittance:
                case LoadKind::delta_admittance:
                    values.push_back(std::conj(s) / (v * v));
                    break;
            }
        }
        LoadBase* load = nullptr;
        const int ports = is_delta(kind) ? 3 : 4;
        switch (kind) {
            case LoadKind::power:
                load = f->add<PowerLoad>(list, 4, values.data());
                break;
            case LoadKind::delta_power:
                load = f->add<DeltaPowerLoad>(list, 3, values.data());
                break;
            case LoadKind::current:
                load = f->add<CurrentLoad>(list, 4, values.data());
                break;
            case LoadKind::delta_current:
                load = f->add<DeltaCurrentLoad>(list, 3, values.data());
                break;
            case LoadKind::admittance:
                load = f->add<AdmittanceLoad>(list, 4, values.data());
                break;
            case LoadKind::delta_admittance:
                load = f->add<DeltaAdmittanceLoad>(list, 3, values.data());
                break;
            case LoadKind::flexible: {
                const double s_max = 1.3 * p_bus / 3.0;
                f->parameters.push_back(std::make_unique<FlexibleParameter>(
                    Control("constant", 0, 0, 0, 0, 0, 0), Control("q_u", 207, 220, 240, 253, 200, 1e-4),
                    Projection(options.projection, 200, 1e-5), s_max, -0.4 * s_max, 0.4 * s_max));
                FlexibleParameter* fp = f->parameters.back().get();
                load = f->add<FlexibleLoad>(list, 4, values.data(), std::vector<FlexibleParameter*>{fp, fp, fp});
                break;
            }
        }
        for (int c = 0; c < ports; ++c) join(bus->ports[c], load->ports[c]);
        f->loads.push_back({load, kind, values});
    }
    f->network = std::make_unique<ElectricalNetwork>(std::move(list));
    return f;
}

}  // namespace feeder
