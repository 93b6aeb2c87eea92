// Timing for the C++ benchmarks: CPU time of the process, since on a shared
// machine the wall clock also counts other jobs (the Python side measures the
// same way), and the median over repetitions.
#pragma once

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <vector>

namespace corvane::bench {

inline double cpu_ns()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// The median over `reps` runs of the ns per element that `body` takes for n
// elements, after one untimed run that warms caches and pages.
template <class Body>
double median_ns(std::size_t n, int reps, Body body)
{
    body();
    std::vector<double> times;
    for (int r = 0; r < reps; ++r) {
        const double start = cpu_ns();
        body();
        times.push_back((cpu_ns() - start) / static_cast<double>(n));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace corvane::bench
