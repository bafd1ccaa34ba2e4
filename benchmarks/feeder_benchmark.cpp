// Times the three solvers on synthetic radial four-wire feeders of growing size, and for the Newton
// family what each part of an iteration costs and where its memory goes.
// Usage: feeder_benchmark [--steps N] [buses...]   (default 100 1000 10000; 5 time-series steps).
// Run by hand, in Release. Each size runs in a process of its own, so its peak memory is its own.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "feeder.hpp"
#include "measure.hpp"
#include "solvers/abstract_solver.hpp"
#include "solvers/newton.hpp"

namespace {
using measure::Cost;
using measure::peak_megabytes;
using measure::show;

double resident_megabytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double megabytes(double bytes) { return bytes / (1024.0 * 1024.0); }

int time_series_steps = 5;
// The load factors of the time-series steps, taken in turn.
const double series_factors[] = {1.25, 1.15, 1.3, 1.1, 1.2};

feeder::Options options_for(int buses) {
    feeder::Options o;
    o.buses = buses;
    return o;
}

// The peak so far shows in which phase the peak of the run is reached.
void print_result(const char* what, const std::pair<int, double>& r, const Cost& c) {
    std::printf("  %-38s %3d it  error %-24.17g %s  peak %7.1f MB\n", what, r.first, r.second, show(c).c_str(),
                peak_megabytes());
}

// The parts of the Newton loop, per iteration, for each phase of the run.
struct Phase {
    const char* name;
    NewtonProfile profile;
    Cost cost;
    int iterations = 0;
};

void print_parts(const std::vector<Phase>& phases) {
    struct Row {
        const char* name;
        NewtonProfile::Part NewtonProfile::*part;
    };
    static const Row rows[] = {
        {"parameters into tape", &NewtonProfile::parameters},
        {"residual evaluation", &NewtonProfile::residuals},
        {"sparsity pattern", &NewtonProfile::pattern},
        {"Jacobian values", &NewtonProfile::jacobian},
        {"LU analysis", &NewtonProfile::analysis},
        {"factorisation", &NewtonProfile::factorisation},
        {"triangular solve", &NewtonProfile::triangular},
        {"step update", &NewtonProfile::update},
        {"final currents", &NewtonProfile::currents},
    };
    std::printf("  per iteration, ms and minor faults  ");
    for (const Phase& p : phases) std::printf("| %-22s", p.name);
    std::printf("\n");
    for (const Row& row : rows) {
        std::printf("    %-32s", row.name);
        for (const Phase& p : phases) {
            const NewtonProfile::Part& part = p.profile.*row.part;
            const double it = p.iterations > 0 ? p.iterations : 1;
            std::printf("| %9.2f %11.0f ", 1e3 * part.seconds / it, static_cast<double>(part.faults) / it);
        }
        std::printf("\n");
    }
    std::printf("    %-32s", "rest of the call");
    for (const Phase& p : phases) {
        double seconds = 0.0;
        double faults = 0.0;
        for (const Row& row : rows) {
            seconds += (p.profile.*row.part).seconds;
            faults += static_cast<double>((p.profile.*row.part).faults);
        }
        const double it = p.iterations > 0 ? p.iterations : 1;
        std::printf("| %9.2f %11.0f ", (p.cost.wall - 1e3 * seconds) / it,
                    (static_cast<double>(p.cost.faults) - faults) / it);
    }
    std::printf("\n");
}

void print_memory(const AbstractNewton& solver, double records) {
    const std::size_t thread = CppAD::thread_alloc::thread_num();
    const double taylor = static_cast<double>(solver.tape.size_var()) *
                          static_cast<double>(1 + solver.tape.size_direction()) * sizeof(double);
    const double pattern = static_cast<double>(solver.pattern.row().capacity() + solver.pattern.col().capacity() +
                                               solver.subset.row().capacity() + solver.subset.col().capacity()) *
                               sizeof(int) +
                           static_cast<double>(solver.subset.val().size()) * sizeof(double);
    const double colouring =
        static_cast<double>(solver.work.color.capacity() + solver.work.order.capacity()) * sizeof(std::size_t);
    const auto [l, u] = solver.factor_nonzeros();
    std::size_t colours = 0;
    for (std::size_t c : solver.work.color)
        if (c < solver.work.color.size() && c + 1 > colours) colours = c + 1;
    std::printf("  memory held after the run, MB\n");
    std::printf("    elements, records and nodes (built, before any solver) %9.1f\n", records);
    std::printf("    tape operation sequence %9.1f  (%zu operators, %zu variables, %zu parameters)\n",
                megabytes(static_cast<double>(solver.tape.size_op_seq() + solver.tape.size_random())),
                solver.tape.size_op(), solver.tape.size_var(), solver.tape.size_par());
    std::printf("    Taylor coefficients in use %9.1f  (%zu direction(s))\n", megabytes(taylor),
                solver.tape.size_direction());
    std::printf("    CppAD memory in use %9.1f, held for reuse %9.1f\n",
                megabytes(static_cast<double>(CppAD::thread_alloc::inuse(thread))),
                megabytes(static_cast<double>(CppAD::thread_alloc::available(thread))));
    std::printf("    sparsity pattern and Jacobian values %9.1f  (%zu non-zeros)\n", megabytes(pattern),
                solver.subset.nnz());
    std::printf("    column colouring %9.1f  (%zu colours)\n", megabytes(colouring), colours);
    std::printf("    LU factors (non-zeros of L and U, values and row indices) %9.1f  (%ld + %ld)\n",
                megabytes(static_cast<double>(l + u) * (sizeof(double) + sizeof(int))), l, u);
    std::printf("    resident now %9.1f, peak %9.1f\n", resident_megabytes(), peak_megabytes());
}

void run_newton(const char* name, int buses, bool goldstein, double records) {
    std::unique_ptr<feeder::Feeder> f = feeder::build(options_for(buses));
    std::unique_ptr<AbstractNewton> solver;
    const Cost recording = measure::cost_of([&] {
        if (goldstein)
            solver = std::make_unique<NewtonGoldstein>(f->network.get(), false, 0.1, 0.9, true);
        else
            solver = std::make_unique<Newton>(f->network.get(), false);
    });
    const std::size_t before = solver->tape.size_op();
    const Cost optimisation = measure::cost_of([&] { solver->tape.optimize(""); });
    std::printf("%s\n  recording     %s  (%zu operators)\n  optimisation  %s  (%zu operators)  peak %7.1f MB\n",
                name, show(recording).c_str(), before, show(optimisation).c_str(), solver->tape.size_op(),
                peak_megabytes());

    std::vector<Phase> phases(3);
    phases[0].name = "solve";
    phases[1].name = "re-solve";
    phases[2].name = "time-series step";
    std::pair<int, double> r;

    solver->profile = &phases[0].profile;
    phases[0].cost = measure::cost_of([&] { r = solver->solve_load_flow(20, 1e-8); });
    phases[0].iterations = r.first;
    print_result("solve", r, phases[0].cost);

    f->scale_loads(1.2);
    solver->profile = &phases[1].profile;
    phases[1].cost = measure::cost_of([&] { r = solver->solve_load_flow(20, 1e-8); });
    phases[1].iterations = r.first;
    print_result("re-solve after updating every load", r, phases[1].cost);

    // A time series: one update of every load, then one iteration, as a quasi-static run does.
    solver->profile = &phases[2].profile;
    for (int step = 0; step < time_series_steps; ++step) {
        f->scale_loads(series_factors[step % 5]);
        const Cost c = measure::cost_of([&] { r = solver->solve_load_flow(1, -1.0); });
        char what[64];
        std::snprintf(what, sizeof what, "time-series step %d (loads x %.2f)", step + 1, series_factors[step % 5]);
        print_result(what, r, c);
        phases[2].cost += c;
        phases[2].iterations += r.first;
    }
    solver->profile = nullptr;
    if (time_series_steps == 0) phases.pop_back();
    print_parts(phases);
    print_memory(*solver, records);
    const Cost destruction = measure::cost_of([&] { solver.reset(); });
    std::printf("  destruction   %s  (resident afterwards %.1f MB)\n", show(destruction).c_str(), resident_megabytes());
}

// Returns the resident memory that building the feeder took, in MB.
double run_backward_forward(int buses) {
    std::unique_ptr<feeder::Feeder> f;
    const double at_start = resident_megabytes();
    const Cost build = measure::cost_of([&] { f = feeder::build(options_for(buses)); });
    const double records = resident_megabytes() - at_start;
    std::unique_ptr<BackwardForward> bf;
    const Cost construction = measure::cost_of([&] { bf = std::make_unique<BackwardForward>(f->network.get()); });
    std::printf("=== %d buses: %zu elements, %zu nodes, %lld variables, %lld parameters\n", buses,
                f->network->elements.size(), f->network->connections.size(),
                static_cast<long long>(bf->variables.size()), static_cast<long long>(bf->parameters.size()));
    std::printf("build           %s\n", show(build).c_str());
    std::printf("backward-forward\n  construction  %s\n", show(construction).c_str());
    std::pair<int, double> r;
    Cost c = measure::cost_of([&] { r = bf->solve_load_flow(1000, 1e-8); });
    print_result("solve", r, c);
    f->scale_loads(1.2);
    c = measure::cost_of([&] { r = bf->solve_load_flow(1000, 1e-8); });
    print_result("re-solve after updating every load", r, c);
    // A time series: one update of every load, then a solve to the tolerance.
    Cost steps;
    int sweeps = 0;
    for (int step = 0; step < time_series_steps; ++step) {
        f->scale_loads(series_factors[step % 5]);
        c = measure::cost_of([&] { r = bf->solve_load_flow(1000, 1e-8); });
        char what[64];
        std::snprintf(what, sizeof what, "time-series step %d (loads x %.2f)", step + 1, series_factors[step % 5]);
        print_result(what, r, c);
        steps += c;
        sweeps += r.first;
    }
    if (time_series_steps > 0)
        std::printf("  time-series step, mean  wall %9.2f ms  per sweep %7.2f ms\n", steps.wall / time_series_steps,
                    sweeps > 0 ? steps.wall / sweeps : 0.0);
    return records;
}

void run(int buses) {
    const double records = run_backward_forward(buses);
    run_newton("newton", buses, false, records);
    run_newton("newton-goldstein", buses, true, records);
    std::printf("peak memory %9.1f MB\n\n", peak_megabytes());
}
}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--steps") == 0 && k + 1 < argc) {
            time_series_steps = std::atoi(argv[++k]);
            continue;
        }
        const int buses = std::atoi(argv[k]);
        if (buses <= 0) {
            std::fprintf(stderr, "usage: %s [--steps N] [buses...]\n", argv[0]);
            return 2;
        }
        sizes.push_back(buses);
    }
    if (sizes.empty()) sizes = {100, 1000, 10000};
    for (int buses : sizes) {
        if (!measure::in_child([&] { run(buses); })) {
            std::printf("size %d failed\n", buses);
            return 1;
        }
    }
    return 0;
}
