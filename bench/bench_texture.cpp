// Texture lookups per second through the frame's texture system, on 1 and 2 threads: the HDR
// sky of scenes/images/sky.hdr read in two fixed sequences, the same lookups in every run:
// "scattered" jumps across the image with footprints from the finest level to a quarter of
// the image (every lookup in another tile); "raster" scans the image row by row at one
// lookup per pixel of a 2000 pixel wide picture, as a render's neighbouring pixels do. Two
// threads split a sequence into halves and keep their own sums; runs on 1 and 2 threads
// alternate, and each figure is the median of its runs. A plain arithmetic loop split the same
// way, timed between them, shows what a second thread can give on the machine at that moment
// (on a shared machine, often less than 2).
//
//   build/bin/bench_texture [--repeat N] [--lookups N]
#include "bench/bench_common.h"
#include "core/messages.h"
#include "texture/texture_store.h"

#include <cstdio>
#include <cstring>
#include <thread>

namespace {

struct Lookup {
    float u, v, width;
};

// Low-discrepancy coordinates (the golden-ratio sequence and its partner) over the image, with
// footprints cycling through powers of two.
std::vector<Lookup> scattered(size_t n) {
    std::vector<Lookup> out(n);
    double u = 0.0, v = 0.0;
    for (size_t i = 0; i < n; ++i) {
        u += 0.6180339887498949;
        v += 0.7548776662466927;
        u -= std::floor(u);
        v -= std::floor(v);
        out[i] = {float(u), float(v), float(1.0 / double(1u << (2 + i % 8)))};
    }
    return out;
}

std::vector<Lookup> raster(size_t n) {
    constexpr size_t kWidth = 2000;
    const size_t height = std::max<size_t>(1, n / kWidth);
    std::vector<Lookup> out;
    out.reserve(kWidth * height);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < kWidth; ++x)
            out.push_back({float((double(x) + 0.5) / kWidth), float((double(y) + 0.5) / double(height)),
                           1.f / float(kWidth)});
    return out;
}

struct alignas(64) Sum {
    double value = 0.0;
};

// Seconds for all lookups, split evenly over `threads`.
double run(const orn::TextureStore& store, miTag tag, const std::vector<Lookup>& work, int threads,
           std::vector<Sum>& sums) {
    const auto t0 = orn::bench::Clock::now();
    auto part = [&](int t) {
        const size_t begin = work.size() * size_t(t) / size_t(threads);
        const size_t end = work.size() * size_t(t + 1) / size_t(threads);
        double s = 0.0;
        miColor c;
        for (size_t i = begin; i < end; ++i)
            if (store.lookup(tag, t, work[i].u, work[i].v, work[i].width, work[i].width, &c))
                s += c.r + c.g + c.b;
        sums[size_t(t)].value = s;
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(part, t);
    part(0);
    for (auto& th : pool)
        th.join();
    return std::chrono::duration<double>(orn::bench::Clock::now() - t0).count();
}

// The arithmetic control: the same split of a loop that touches no memory.
double control(int threads, std::vector<Sum>& sums) {
    const auto t0 = orn::bench::Clock::now();
    auto part = [&](int t) {
        double s = 0.0;
        const long n = 100000000L / threads;
        for (long i = 0; i < n; ++i)
            s += 1.0 / double(i + 1);
        sums[size_t(t)].value = s;
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(part, t);
    part(0);
    for (auto& th : pool)
        th.join();
    return std::chrono::duration<double>(orn::bench::Clock::now() - t0).count();
}

size_t lookups_option(int argc, char** argv, size_t fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--lookups") == 0) return size_t(std::max(1000L, std::atol(argv[i + 1])));
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    const int repeat = orn::bench::repeat_option(argc, argv, 7);
    const size_t n = lookups_option(argc, argv, 2000000);
    orn::Messages::set_verbosity(1);
    orn::Session session;
    if (!session.load_string("color texture \"sky\" \"" ORN_SOURCE_DIR "/scenes/images/sky.hdr\"\n",
                             "bench_texture.mi"))
        return 1;
    const miTag tag = session.db().lookup("sky");
    orn::TextureStore store(session.db(), 2);
    if (!store.open()) return 1;
    std::vector<Sum> sums(2);
    std::printf("%zu lookups of a 400 x 200 HDR image, median of %d runs\n", n, repeat);
    std::printf("%-10s %-8s %12s %16s\n", "pattern", "threads", "time (s)", "lookups per s");
    for (int pattern = 0; pattern < 2; ++pattern) {
        const std::vector<Lookup> work = pattern == 0 ? scattered(n) : raster(n);
        run(store, tag, work, 2, sums); // reads the tiles and builds the MIP levels once
        std::vector<double> times[2], plain[2];
        for (int r = 0; r < repeat; ++r)
            for (int threads : {1, 2}) {
                times[threads - 1].push_back(run(store, tag, work, threads, sums));
                plain[threads - 1].push_back(control(threads, sums));
            }
        for (int threads : {1, 2}) {
            const double t = orn::bench::median(times[threads - 1]);
            std::printf("%-10s %-8d %12.3f %16.0f\n", pattern == 0 ? "scattered" : "raster", threads, t,
                        double(work.size()) / t);
        }
        std::printf("%-10s speed-up on 2 threads: %.2f (plain arithmetic meanwhile: %.2f)\n", "",
                    orn::bench::median(times[0]) / orn::bench::median(times[1]),
                    orn::bench::median(plain[0]) / orn::bench::median(plain[1]));
    }
    return 0;
}
