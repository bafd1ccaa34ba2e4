// Times the three solvers on synthetic radial four-wire feeders of growing size.
// Usage: feeder_benchmark [buses...]   (default 100 1000 10000). Run by hand, in Release.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "feeder.hpp"
#include "solvers/abstract_solver.hpp"
#include "solvers/newton.hpp"

namespace {
// Wall-clock and process CPU time of one piece of work, in milliseconds. The machine may be shared,
// so both are printed ("wall/cpu").
struct Timing {
    double wall = 0.0;
    double cpu = 0.0;
};

double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return 1e3 * static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_nsec);
}

Timing measure(const std::function<void()>& work) {
    const double cpu = cpu_now();
    const auto start = std::chrono::steady_clock::now();
    work();
    return {std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(),
            cpu_now() - cpu};
}

std::string show(const Timing& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%8.1f/%8.1f ms", t.wall, t.cpu);
    return text;
}

double peak_megabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

feeder::Options options_for(int buses) {
    feeder::Options o;
    o.buses = buses;
    return o;
}

void solve_twice(AbstractSolver& solver, feeder::Feeder& f, int max_iterations, double tolerance) {
    std::pair<int, double> first, second;
    const Timing t1 = measure([&] { first = solver.solve_load_flow(max_iterations, tolerance); });
    f.scale_loads(1.2);
    const Timing t2 = measure([&] { second = solver.solve_load_flow(max_iterations, tolerance); });
    std::printf("  solve %3d it %s (error %.1e)\n  re-solve after updating every load %3d it %s\n", first.first,
                show(t1).c_str(), first.second, second.first, show(t2).c_str());
}

void run_newton(const char* name, int buses, bool goldstein) {
    std::unique_ptr<feeder::Feeder> f = feeder::build(options_for(buses));
    std::unique_ptr<AbstractNewton> solver;
    const Timing recording = measure([&] {
        if (goldstein)
            solver = std::make_unique<NewtonGoldstein>(f->network.get(), false, 0.1, 0.9, true);
        else
            solver = std::make_unique<Newton>(f->network.get(), false);
    });
    const std::size_t before = solver->tape.size_op();
    const Timing optimisation = measure([&] { solver->tape.optimize(""); });
    std::printf("%s\n  recording %s (%zu operators)\n  optimisation %s (%zu operators)\n", name,
                show(recording).c_str(), before, show(optimisation).c_str(), solver->tape.size_op());
    solve_twice(*solver, *f, 20, 1e-8);
}

void run(int buses) {
    std::unique_ptr<feeder::Feeder> f;
    const Timing build = measure([&] { f = feeder::build(options_for(buses)); });
    std::unique_ptr<BackwardForward> bf;
    const Timing construction = measure([&] { bf = std::make_unique<BackwardForward>(f->network.get()); });
    std::printf("=== %d buses: %zu elements, %zu nodes, %lld variables, %lld parameters\n", buses,
                f->network->elements.size(), f->network->connections.size(),
                static_cast<long long>(bf->variables.size()), static_cast<long long>(bf->parameters.size()));
    std::printf("times are wall/cpu\nbuild %s\n", show(build).c_str());
    std::printf("backward-forward\n  construction %s\n", show(construction).c_str());
    solve_twice(*bf, *f, 1000, 1e-8);
    bf.reset();
    f.reset();
    run_newton("newton", buses, false);
    run_newton("newton-goldstein", buses, true);
    std::printf("peak memory %9.1f MB\n\n", peak_megabytes());
}
}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int k = 1; k < argc; ++k) sizes.push_back(std::atoi(argv[k]));
    if (sizes.empty()) sizes = {100, 1000, 10000};
    for (int buses : sizes) {
        // One process per size, so that the peak memory is that size's own.
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            run(buses);
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::printf("size %d failed\n", buses);
            return 1;
        }
    }
    return 0;
}
