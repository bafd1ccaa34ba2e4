// Times the radial four-wire feeder of feeder_benchmark with one star load per bus, once with
// constant-power loads and once with flexible loads (volt-var "q_u" with the "euclidean"
// projection, or the one given, one flexible parameter per load) drawing the same theoretical powers.
// Usage: flexible_benchmark [--projection NAME] [buses...]   (default 1000 10000). Run by hand, in Release.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "feeder.hpp"
#include "measure.hpp"
#include "solvers/abstract_solver.hpp"
#include "solvers/newton.hpp"

namespace {
using measure::Cost;
using measure::show;

std::string projection = "euclidean";

// The feeder of feeder.hpp with a star load of unbalanced phases at every bus: constant power, or
// flexible with the same theoretical powers.
std::unique_ptr<feeder::Feeder> build(int buses, bool flexible) {
    feeder::Options o;
    o.buses = buses;
    o.load_kinds = {flexible ? feeder::LoadKind::flexible : feeder::LoadKind::power};
    o.projection = projection;
    return feeder::build(o);
}

void solve_twice(AbstractSolver& solver, const feeder::Feeder& f, int max_iterations, double tolerance) {
    std::pair<int, double> first, second;
    const Cost t1 = measure::cost_of([&] { first = solver.solve_load_flow(max_iterations, tolerance); });
    f.scale_loads(1.2);
    const Cost t2 = measure::cost_of([&] { second = solver.solve_load_flow(max_iterations, tolerance); });
    std::printf("  solve %3d it %s (error %.1e)\n  re-solve after updating every load %3d it %s (error %.1e)\n",
                first.first, show(t1).c_str(), first.second, second.first, show(t2).c_str(), second.second);
}

void run(int buses, bool flexible) {
    std::unique_ptr<feeder::Feeder> f;
    const Cost building = measure::cost_of([&] { f = build(buses, flexible); });
    std::unique_ptr<BackwardForward> bf;
    const Cost construction = measure::cost_of([&] { bf = std::make_unique<BackwardForward>(f->network.get()); });
    std::printf("--- %d buses, %s%s loads: %zu elements, %zu nodes, %lld variables, %lld parameters\n", buses,
                flexible ? "flexible " : "constant-power", flexible ? projection.c_str() : "", f->network->elements.size(),
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
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--projection") == 0 && k + 1 < argc) {
            projection = argv[++k];
            continue;
        }
        sizes.push_back(std::atoi(argv[k]));
    }
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
