// Timing shared by the C++ benchmark programs: the best of a few runs.
#pragma once

#include <algorithm>
#include <chrono>

namespace morva::bench {

// Best of `repeats` runs of `work`, in seconds.
template <class F>
double best_seconds(int repeats, F&& work) {
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace morva::bench
