#pragma once
// What the benchmarks measure of a piece of work, and the child process each run gets, so that its
// peak memory is its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace measure {

// Wall, user and system time in milliseconds and minor page faults. The machine may be shared:
// wall time is the least reliable of the four.
struct Cost {
    double wall = 0.0;
    double user = 0.0;
    double system = 0.0;
    long faults = 0;

    Cost& operator+=(const Cost& c) {
        wall += c.wall;
        user += c.user;
        system += c.system;
        faults += c.faults;
        return *this;
    }
};

inline double milliseconds(const timeval& t) {
    return 1e3 * static_cast<double>(t.tv_sec) + 1e-3 * static_cast<double>(t.tv_usec);
}

inline Cost cost_of(const std::function<void()>& work) {
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto end = std::chrono::steady_clock::now();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    return {std::chrono::duration<double, std::milli>(end - start).count(),
            milliseconds(after.ru_utime) - milliseconds(before.ru_utime),
            milliseconds(after.ru_stime) - milliseconds(before.ru_stime), after.ru_minflt - before.ru_minflt};
}

inline std::string show(const Cost& c) {
    char text[128];
    std::snprintf(text, sizeof text, "wall %9.1f  user %9.1f  sys %8.1f ms  %8ld faults", c.wall, c.user, c.system,
                  c.faults);
    return text;
}

inline double peak_megabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// Runs work in a child process; false if the child did not end normally.
inline bool in_child(const std::function<void()>& work) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        work();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace measure
