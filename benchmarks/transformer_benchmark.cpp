// Times Newton on the synthetic feeders with a three-phase transformer every 100 buses, beside the
// same feeders with lines there: construction (recording and optimisation), a solve, and a re-solve
// after updating every transformer and every load.
// Usage: transformer_benchmark [buses...]   (default 1000 10000). Run by hand, in Release.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "feeder.hpp"
#include "measure.hpp"
#include "solvers/newton.hpp"

namespace {
using measure::Cost;
using measure::show;

void run(int buses, int every) {
    feeder::Options options;
    options.buses = buses;
    options.transformer_every = every;
    std::unique_ptr<feeder::Feeder> f = feeder::build(options);
    std::unique_ptr<Newton> solver;
    const Cost construction = measure::cost_of([&] { solver = std::make_unique<Newton>(f->network.get(), true); });
    std::printf("%d buses, %s: %zu transformers, %zu elements, %lld variables, %lld parameters, %zu operators\n",
                buses, every > 0 ? "transformers" : "lines only", f->transformers.size(),
                f->network->elements.size(), static_cast<long long>(solver->variables.size()),
                static_cast<long long>(solver->parameters.size()), solver->tape.size_op());
    std::pair<int, double> first, second;
    const Cost solve = measure::cost_of([&] { first = solver->solve_load_flow(20, 1e-8); });
    f->scale_transformers(1.1);
    f->scale_loads(1.2);
    const Cost resolve = measure::cost_of([&] { second = solver->solve_load_flow(20, 1e-8); });
    std::printf("  construction %s\n  solve %s (%d it, error %.1e)\n  re-solve after updating %s (%d it)\n",
                show(construction).c_str(), show(solve).c_str(), first.first, first.second, show(resolve).c_str(),
                second.first);
}
}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int k = 1; k < argc; ++k) sizes.push_back(std::atoi(argv[k]));
    if (sizes.empty()) sizes = {1000, 10000};
    for (int buses : sizes)
        for (int every : {0, 100}) {
            if (!measure::in_child([&] { run(buses, every); })) {
                std::printf("size %d failed\n", buses);
                return 1;
            }
        }
    return 0;
}
