// Times Newton on the synthetic feeders with a three-phase transformer every 100 buses, beside the
// same feeders with lines there: construction (recording and optimisation), a solve, and a re-solve
// after updating every transformer and every load.
// Usage: transformer_benchmark [buses...]   (default 1000 10000). Run by hand, in Release.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "feeder.hpp"
#include "solvers/newton.hpp"

namespace {
// Wall-clock and process CPU time in milliseconds ("wall/cpu": the machine may be shared).
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

void run(int buses, int every) {
    feeder::Options options;
    options.buses = buses;
    options.transformer_every = every;
    std::unique_ptr<feeder::Feeder> f = feeder::build(options);
    std::unique_ptr<Newton> solver;
    const Timing construction = measure([&] { solver = std::make_unique<Newton>(f->network.get(), true); });
    std::printf("%d buses, %s: %zu transformers, %zu elements, %lld variables, %lld parameters, %zu operators\n",
                buses, every > 0 ? "transformers" : "lines only", f->transformers.size(),
                f->network->elements.size(), static_cast<long long>(solver->variables.size()),
                static_cast<long long>(solver->parameters.size()), solver->tape.size_op());
    std::pair<int, double> first, second;
    const Timing solve = measure([&] { first = solver->solve_load_flow(20, 1e-8); });
    f->scale_transformers(1.1);
    f->scale_loads(1.2);
    const Timing resolve = measure([&] { second = solver->solve_load_flow(20, 1e-8); });
    std::printf("  construction %s\n  solve %s (%d it, error %.1e)\n  re-solve after updating %s (%d it)\n",
                show(construction).c_str(), show(solve).c_str(), first.first, first.second, show(resolve).c_str(),
                second.first);
}
}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int k = 1; k < argc; ++k) sizes.push_back(std::atoi(argv[k]));
    if (sizes.empty()) sizes = {1000, 10000};
    std::printf("times are wall/cpu\n");
    for (int buses : sizes)
        for (int every : {0, 100}) {
            // One process per run, so that one run's memory does not colour the next.
            std::fflush(stdout);
            const pid_t child = fork();
            if (child == 0) {
                run(buses, every);
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
