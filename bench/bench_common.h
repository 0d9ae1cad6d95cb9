// Timing helpers shared by the render benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace orn::bench {

using Clock = std::chrono::steady_clock;

// The best of `repeat` runs of f, in seconds.
template <typename F> double best_seconds(int repeat, F&& f) {
    double best = 1e30;
    for (int i = 0; i < repeat; ++i) {
        const auto t0 = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

// The value of `--repeat N` on the command line, or `fallback`.
inline int repeat_option(int argc, char** argv, int fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--repeat") == 0) return std::max(1, std::atoi(argv[i + 1]));
    return fallback;
}

} // namespace orn::bench
