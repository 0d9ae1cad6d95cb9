// Timing and scene-loading helpers shared by the render benchmarks.
#pragma once

#include "render/session.h"

#include <embree3/rtcore.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <time.h>
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

// CPU time of all the process's threads so far, in seconds: the measure of a render on a machine
// that other work keeps busy, where wall time counts the waits for a core.
inline double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// The median of a set of runs (of paired ratios, say), which a stray slow run does not move.
inline double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The word after `name` on the command line, or `fallback`.
inline const char* option(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

// Whether `name` is on the command line.
inline bool flag(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return true;
    return false;
}

// The value of `--repeat N` on the command line, or `fallback`.
inline int repeat_option(int argc, char** argv, int fallback) {
    const char* n = option(argc, argv, "--repeat", nullptr);
    return n ? std::max(1, std::atoi(n)) : fallback;
}

// Lane j of a packet: a ray of the mask every ray of the benchmarks has, with no hit yet.
template <typename RayHitN>
void set_lane(RayHitN& p, int j, const float* org, const float* dir, float tnear, float tfar) {
    p.ray.org_x[j] = org[0];
    p.ray.org_y[j] = org[1];
    p.ray.org_z[j] = org[2];
    p.ray.dir_x[j] = dir[0];
    p.ray.dir_y[j] = dir[1];
    p.ray.dir_z[j] = dir[2];
    p.ray.tnear[j] = tnear;
    p.ray.tfar[j] = tfar;
    p.ray.time[j] = 0.f;
    p.ray.mask[j] = 0xffffffffu;
    p.ray.id[j] = 0;
    p.ray.flags[j] = 0;
    p.hit.geomID[j] = RTC_INVALID_GEOMETRY_ID;
    p.hit.instID[0][j] = RTC_INVALID_GEOMETRY_ID;
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

// The eye rays of a frame (one per pixel, the first sample position), bucket after bucket in
// the order the renderer takes them.
struct BucketRays {
    std::vector<std::vector<float>> rays; // per bucket: origin and direction of each pixel
    std::vector<int> widths;              // per bucket: pixels in a row
};

inline BucketRays bucket_rays(Frame& frame, int bucket_size = 32) {
    BucketRays b;
    const int w = frame.film().width(), h = frame.film().height();
    for (int by = 0; by * bucket_size < h; ++by)
        for (int bx = 0; bx * bucket_size < w; ++bx) {
            std::vector<float> r;
            for (int y = by * bucket_size; y < std::min(h, (by + 1) * bucket_size); ++y)
                for (int x = bx * bucket_size; x < std::min(w, (bx + 1) * bucket_size); ++x) {
                    const auto p = frame.film().sample_position(x, y, 0);
                    miVector o, d;
                    frame.camera_ray(p.x, p.y, o, d);
                    r.insert(r.end(), {o.x, o.y, o.z, d.x, d.y, d.z});
                }
            b.rays.push_back(std::move(r));
            b.widths.push_back(std::min(w, (bx + 1) * bucket_size) - bx * bucket_size);
        }
    return b;
}

// Runs `trace(r, ctx)` on each bucket's rays with the renderer's work split: each thread takes
// the next bucket from a shared counter; hits are counted per thread and summed once at the end.
template <typename Trace>
size_t bare_buckets(const BucketRays& b, int threads, bool coherent, Trace&& trace) {
    // trace(rays, width, context)
    std::atomic<size_t> next{0};
    std::vector<size_t> hits(size_t(threads), 0);
    auto work = [&](int t) {
        RTCIntersectContext ctx;
        rtcInitIntersectContext(&ctx);
        if (coherent) ctx.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
        size_t own = 0;
        for (size_t k = next++; k < b.rays.size(); k = next++)
            own += trace(b.rays[k], b.widths[k], ctx);
        hits[size_t(t)] = own;
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(work, t);
    work(0);
    for (auto& th : pool)
        th.join();
    size_t total = 0;
    for (size_t h : hits)
        total += h;
    return total;
}

// Bare rtcIntersect1 over the same rays with the renderer's work split.
inline size_t bare_intersect(RTCScene scene, const BucketRays& b, int threads) {
    return bare_buckets(b, threads, false, [&](const std::vector<float>& r, int, RTCIntersectContext& ctx) {
        size_t own = 0;
        for (size_t i = 0; i + 6 <= r.size(); i += 6) {
            RTCRayHit rh{};
            rh.ray.org_x = r[i];
            rh.ray.org_y = r[i + 1];
            rh.ray.org_z = r[i + 2];
            rh.ray.dir_x = r[i + 3];
            rh.ray.dir_y = r[i + 4];
            rh.ray.dir_z = r[i + 5];
            rh.ray.tfar = INFINITY;
            rh.ray.mask = 0xffffffffu;
            rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
            rtcIntersect1(scene, &ctx, &rh);
            own += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
        }
        return own;
    });
}

// Lanes [first, first + N) of a packet of 16 rays (indices into r) through Embree's call of
// width N.
template <int N, typename RayHitN, typename Intersect>
size_t bare_lanes(RTCScene scene, const std::vector<float>& r, const size_t* index, int first, int n,
                  RTCIntersectContext& ctx, Intersect intersect) {
    alignas(64) int valid[N];
    RayHitN p;
    for (int j = 0; j < N; ++j) {
        const size_t q = 6 * index[first + j < n ? first + j : 0];
        valid[j] = first + j < n ? -1 : 0;
        set_lane(p, j, &r[q], &r[q + 3], 0.f, INFINITY);
    }
    intersect(valid, scene, &ctx, &p);
    size_t own = 0;
    for (int j = 0; j < N && first + j < n; ++j)
        own += p.hit.geomID[j] != RTC_INVALID_GEOMETRY_ID;
    return own;
}

// The same rays in the coherent packets the renderer traces eye rays in: 16 rays over blocks
// of 4 x 4 pixels, handed to Embree whole where the CPU has 16-wide vectors and as two of 8
// otherwise.
inline size_t bare_packets(RTCScene scene, const BucketRays& b, int threads) {
    const bool native16 =
        rtcGetDeviceProperty(rtcGetSceneDevice(scene), RTC_DEVICE_PROPERTY_NATIVE_RAY16_SUPPORTED);
    return bare_buckets(
        b, threads, true, [&](const std::vector<float>& r, int width, RTCIntersectContext& ctx) {
            size_t own = 0;
            const int rows = int(r.size() / 6) / width;
            size_t index[16];
            int n = 0;
            auto flush = [&] {
                if (native16) {
                    own += bare_lanes<16, RTCRayHit16>(scene, r, index, 0, n, ctx, rtcIntersect16);
                } else {
                    own += bare_lanes<8, RTCRayHit8>(scene, r, index, 0, n, ctx, rtcIntersect8);
                    if (n > 8) own += bare_lanes<8, RTCRayHit8>(scene, r, index, 8, n, ctx, rtcIntersect8);
                }
                n = 0;
            };
            for (int yb = 0; yb < rows; yb += 4) {
                for (int xb = 0; xb < width; xb += 4)
                    for (int y = yb; y < std::min(rows, yb + 4); ++y)
                        for (int x = xb; x < std::min(width, xb + 4); ++x) {
                            index[n] = size_t(y) * size_t(width) + size_t(x);
                            if (++n == 16) flush();
                        }
                if (n) flush();
            }
            return own;
        });
}

template <typename F> double seconds(F&& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Paired, interleaved runs of two ways of doing the same work: rates (work / time) of each,
// and the median, smallest and largest of the per-pair ratios a / b.
struct Paired {
    double rate_a = 0, rate_b = 0, ratio = 0, ratio_min = 0, ratio_max = 0;
};

template <typename A, typename B> Paired paired_runs(int repeat, double work, A&& a, B&& b) {
    std::vector<double> ra, rb, ratios;
    for (int i = 0; i < repeat; ++i) {
        ra.push_back(work / seconds(a));
        rb.push_back(work / seconds(b));
        ratios.push_back(ra.back() / rb.back());
    }
    Paired p;
    p.rate_a = median(ra);
    p.rate_b = median(rb);
    p.ratio = median(ratios);
    p.ratio_min = *std::min_element(ratios.begin(), ratios.end());
    p.ratio_max = *std::max_element(ratios.begin(), ratios.end());
    return p;
}

} // namespace orn::bench
