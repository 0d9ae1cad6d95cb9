// Timing and scene-loading helpers shared by the render benchmarks.
#pragma once

#include "render/session.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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

// The median of a set of runs (of paired ratios, say), which a stray slow run does not move.
inline double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The value of `--repeat N` on the command line, or `fallback`.
inline int repeat_option(int argc, char** argv, int fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--repeat") == 0) return std::max(1, std::atoi(argv[i + 1]));
    return fallback;
}

// A scene read from text with its first frame prepared; both null when it failed.
struct Loaded {
    std::unique_ptr<Session> session;
    std::unique_ptr<Frame> frame;
};

inline Loaded load(const std::string& text, int threads, const std::string& name) {
    SessionOptions o;
    o.render.threads = threads;
    o.render.progress = false;
    Loaded l;
    l.session = std::make_unique<Session>(o);
    if (!l.session->load_string(text, name)) return {};
    l.frame = l.session->make_frame();
    if (!l.frame || !l.frame->prepare()) return {};
    return l;
}

} // namespace orn::bench
