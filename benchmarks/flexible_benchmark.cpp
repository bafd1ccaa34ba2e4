// Times the radial four-wire feeder of feeder_benchmark with one star load per bus, once with
// constant-power loads and once with flexible loads (volt-var "q_u" with the "euclidean"
// projection, one flexible parameter per load) drawing the same theoretical powers.
// Usage: flexible_benchmark [buses...]   (default 1000 10000). Run by hand, in Release.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "elements/flexible_load.hpp"
#include "feeder.hpp"
#include "measure.hpp"
#include "solvers/abstract_solver.hpp"
#include "solvers/newton.hpp"

namespace {
using feeder::Complex;

using measure::Cost;
using measure::show;

// The feeder of feeder.hpp (same source, lines and tree), a star load of unbalanced phases at every
// bus: constant power, or flexible with the same theoretical powers.
struct Feeder {
    std::vector<std::unique_ptr<Element>> owned;
    std::vector<std::unique_ptr<FlexibleParameter>> parameters;
    std::vector<PowerLoad*> power_loads;
    std::vector<FlexibleLoad*> flexible_loads;
    std::vector<std::vector<Complex>> base;
    std::unique_ptr<ElectricalNetwork> network;

    template <class T, class... Args>
    T* add(std::vector<Element*>& list, Args&&... args) {
        owned.push_back(std::make_unique<T>(std::forward<Args>(args)...));
        list.push_back(owned.back().get());
        return static_cast<T*>(owned.back().get());
    }

    void scale_loads(double factor) {
        for (std::size_t k = 0; k < base.size(); ++k) {
            std::vector<Complex> v(base[k]);
            for (Complex& x : v) x *= factor;
            if (power_loads.empty())
                flexible_loads[k]->update_powers(v.data());
            else
                power_loads[k]->update_powers(v.data());
        }
    }
};

std::unique_ptr<Feeder> build(int buses, bool flexible) {
    const feeder::Options o;
    auto f = std::make_unique<Feeder>();
    std::vector<Element*> list;
    const std::vector<Complex> u = feeder::nominal_voltages();
    const std::vector<Complex> z = feeder::section_impedance();
    const std::vector<Complex> y = feeder::section_admittance();
    auto* source = f->add<VoltageSource>(list, 4, u.data());
    auto* neutral_ref = f->add<PotentialRef>(list);
    auto* ground = f->add<Ground>(list);
    auto* ground_ref = f->add<PotentialRef>(list);
    feeder::join(ground->ports[0], ground_ref->ports[0]);
    const Complex bus_start[4] = {u[0], u[1], u[2], 0.0};
    const double p_bus = o.total_power / buses;
    const double q_ratio = std::tan(std::acos(o.power_factor));
    std::vector<Bus*> placed;
    for (int k = 0; k < buses; ++k) {
        Bus* bus = f->add<Bus>(list, 4, bus_start);
        if (k == 0) {
            for (int c = 0; c < 4; ++c) feeder::join(bus->ports[c], source->ports[c]);
            feeder::join(neutral_ref->ports[0], bus->ports[3]);
        } else {
            Bus* parent = placed[static_cast<std::size_t>((k - 1) / o.branching)];
            const bool shunt = k % 2 == 0;
            Branch* line = shunt ? static_cast<Branch*>(f->add<ShuntLine>(list, 4, y.data(), z.data()))
                                 : static_cast<Branch*>(f->add<SimplifiedLine>(list, 4, z.data()));
            for (int c = 0; c < 4; ++c) {
                feeder::join(parent->ports[c], *line->side1[c]);
                feeder::join(bus->ports[c], *line->side2[c]);
            }
            if (shunt) feeder::join(ground->ports[0], line->ports[8]);
        }
        placed.push_back(bus);
        std::vector<Complex> s;
        for (int p = 0; p < 3; ++p) {
            const double pw = p_bus / 3.0 * feeder::phase_share(k, p);
            s.emplace_back(pw, pw * q_ratio);
        }
        Element* load = nullptr;
        if (flexible) {
            const double s_max = 1.3 * p_bus / 3.0;
            f->parameters.push_back(std::make_unique<FlexibleParameter>(
                Control("constant", 0, 0, 0, 0, 0, 0), Control("q_u", 207, 220, 240, 253, 200, 1e-4),
                Projection("euclidean", 200, 1e-5), s_max, -0.4 * s_max, 0.4 * s_max));
            FlexibleParameter* fp = f->parameters.back().get();
            auto* l = f->add<FlexibleLoad>(list, 4, s.data(), std::vector<FlexibleParameter*>{fp, fp, fp});
            f->flexible_loads.push_back(l);
            load = l;
        } else {
            auto* l = f->add<PowerLoad>(list, 4, s.data());
            f->power_loads.push_back(l);
            load = l;
        }
        for (int c = 0; c < 4; ++c) feeder::join(bus->ports[c], load->ports[c]);
        f->base.push_back(s);
    }
    f->network = std::make_unique<ElectricalNetwork>(std::move(list));
    return f;
}

void solve_twice(AbstractSolver& solver, Feeder& f, int max_iterations, double tolerance) {
    std::pair<int, double> first, second;
    const Cost t1 = measure::cost_of([&] { first = solver.solve_load_flow(max_iterations, tolerance); });
    f.scale_loads(1.2);
    const Cost t2 = measure::cost_of([&] { second = solver.solve_load_flow(max_iterations, tolerance); });
    std::printf("  solve %3d it %s (error %.1e)\n  re-solve after updating every load %3d it %s (error %.1e)\n",
                first.first, show(t1).c_str(), first.second, second.first, show(t2).c_str(), second.second);
}

void run(int buses, bool flexible) {
    std::unique_ptr<Feeder> f;
    const Cost building = measure::cost_of([&] { f = build(buses, flexible); });
    std::unique_ptr<BackwardForward> bf;
    const Cost construction = measure::cost_of([&] { bf = std::make_unique<BackwardForward>(f->network.get()); });
    std::printf("--- %d buses, %s loads: %zu elements, %zu nodes, %lld variables, %lld parameters\n", buses,
                flexible ? "flexible" : "constant-power", f->network->elements.size(),
                f->network->connections.size(), static_cast<long long>(bf->variables.size()),
                static_cast<long long>(bf->parameters.size()));
    std::printf("build %s\nbackward-forward\n  construction %s\n", show(building).c_str(), show(construction).c_str());
    solve_twice(*bf, *f, 1000, 1e-8);
    bf.reset();
    f = build(buses, flexible);
    std::unique_ptr<Newton> newton;
    const Cost recording = measure::cost_of([&] { newton = std::make_unique<Newton>(f->network.get(), false); });
    const std::size_t before = newton->tape.size_op();
    const Cost optimisation = measure::cost_of([&] { newton->tape.optimize(""); });
    std::printf("newton\n  recording %s (%zu operators)\n  optimisation %s (%zu operators)\n", show(recording).c_str(),
                before, show(optimisation).c_str(), newton->tape.size_op());
    solve_twice(*newton, *f, 20, 1e-8);
}
}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int k = 1; k < argc; ++k) sizes.push_back(std::atoi(argv[k]));
    if (sizes.empty()) sizes = {1000, 10000};
    for (int buses : sizes) {
        for (bool flexible : {false, true}) {
            const bool done = measure::in_child([&] {
                run(buses, flexible);
                std::printf("peak memory %9.1f MB\n\n", measure::peak_megabytes());
            });
            if (!done) {
                std::printf("size %d failed\n", buses);
                return 1;
            }
        }
    }
    return 0;
}
