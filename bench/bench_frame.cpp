// Whole frames of the example scenes against the limit Embree sets: per scene and thread count,
// the share of the render phase spent inside Embree's query calls, the rays of each type, the
// time per eye sample and Embree's time per ray of each kind of query.
//
// Embree's query functions are interposed: this program defines rtcIntersect1/4/8/16 and
// rtcOccluded1/4/8/16 itself, so the dynamic linker binds the renderer's calls to them, and
// each calls Embree's own (found with dlsym(RTLD_NEXT)). Nothing of this is in the renderer.
// On a timed run each call is timed with the time-stamp counter between two fences; the cost
// of an empty timed interval, measured at start-up, is subtracted per call. Timed and untimed
// runs alternate; the share is Embree's time on a timed run over threads x the wall time of
// the untimed run next to it, and the table gives the median of those pairs with their range.
// Single-ray queries are told apart by the ray kind the renderer passes in its context
// (eye, secondary, shadow); packets are eye rays.
//
//   build/bin/bench_frame [--repeat N] [--scenes demo,lights,hair,gi,dof] [--threads 1,2]
//                         [--scale F]
//
// --scale multiplies every scene's resolution (dof is rendered at half its size times F).
#include "bench/bench_common.h"
#include "core/messages.h"
#include "render/session.h"
#include "trace/geometry_scene.h"

#include <embree3/rtcore.h>

#include <dlfcn.h>
#include <x86intrin.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- query timing

enum Kind { EyePacket, EyeSingle, Secondary, ShadowClosest, ShadowOccluded, OtherOccluded, kKinds };
const char* const kKindNames[kKinds] = {"eye packets",    "eye single rays", "secondary closest",
                                        "shadow closest", "shadow occluded", "other occluded"};

struct Counters {
    uint64_t ticks[kKinds] = {};
    uint64_t calls[kKinds] = {};
    uint64_t rays[kKinds] = {};
};

std::atomic<bool> g_timing{false};
std::mutex g_mutex;
std::deque<Counters> g_slots; // one per thread that ever made a timed query; never shrinks

Counters& own_counters() {
    thread_local Counters* mine = nullptr;
    if (!mine) {
        std::lock_guard<std::mutex> lock(g_mutex);
        mine = &g_slots.emplace_back();
    }
    return *mine;
}

inline uint64_t stamp() {
    _mm_lfence();
    const uint64_t t = __rdtsc();
    _mm_lfence();
    return t;
}

template <typename F> F embree_function(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (!f) {
        std::fprintf(stderr, "bench_frame: Embree's %s not found\n", name);
        std::abort();
    }
    return reinterpret_cast<F>(f);
}

Kind single_kind(const RTCIntersectContext* context, bool occluded) {
    // The renderer's single-ray queries all pass its MaskContext.
    const unsigned mask = reinterpret_cast<const orn::MaskContext*>(context)->mask;
    if (mask & orn::kMaskShadow) return occluded ? ShadowOccluded : ShadowClosest;
    if (occluded) return OtherOccluded;
    return mask & orn::kMaskEye ? EyeSingle : Secondary;
}

inline void record(Kind kind, uint64_t ticks, uint64_t rays) {
    Counters& c = own_counters();
    c.ticks[kind] += ticks;
    c.calls[kind] += 1;
    c.rays[kind] += rays;
}

template <int N> uint64_t lanes(const int* valid) {
    uint64_t n = 0;
    for (int i = 0; i < N; ++i)
        n += valid[i] == -1;
    return n;
}

template <typename F, typename... A> void timed(F f, Kind kind, uint64_t rays, A... args) {
    const uint64_t t0 = stamp();
    f(args...);
    const uint64_t t1 = stamp();
    record(kind, t1 - t0, rays);
}

} // namespace

extern "C" {

void rtcIntersect1(RTCScene scene, RTCIntersectContext* context, RTCRayHit* rayhit) {
    using F = void (*)(RTCScene, RTCIntersectContext*, RTCRayHit*);
    static const F f = embree_function<F>("rtcIntersect1");
    if (!g_timing.load(std::memory_order_relaxed)) return f(scene, context, rayhit);
    timed(f, single_kind(context, false), 1, scene, context, rayhit);
}

void rtcOccluded1(RTCScene scene, RTCIntersectContext* context, RTCRay* ray) {
    using F = void (*)(RTCScene, RTCIntersectContext*, RTCRay*);
    static const F f = embree_function<F>("rtcOccluded1");
    if (!g_timing.load(std::memory_order_relaxed)) return f(scene, context, ray);
    timed(f, single_kind(context, true), 1, scene, context, ray);
}

#define ORN_PACKET_HOOK(N)                                                                                   \
    void rtcIntersect##N(const int* valid, RTCScene scene, RTCIntersectContext* context,                     \
                         RTCRayHit##N* rayhit) {                                                             \
        using F = void (*)(const int*, RTCScene, RTCIntersectContext*, RTCRayHit##N*);                       \
        static const F f = embree_function<F>("rtcIntersect" #N);                                            \
        if (!g_timing.load(std::memory_order_relaxed)) return f(valid, scene, context, rayhit);              \
        timed(f, EyePacket, lanes<N>(valid), valid, scene, context, rayhit);                                 \
    }                                                                                                        \
    void rtcOccluded##N(const int* valid, RTCScene scene, RTCIntersectContext* context, RTCRay##N* ray) {    \
        using F = void (*)(const int*, RTCScene, RTCIntersectContext*, RTCRay##N*);                          \
        static const F f = embree_function<F>("rtcOccluded" #N);                                             \
        if (!g_timing.load(std::memory_order_relaxed)) return f(valid, scene, context, ray);                 \
        timed(f, OtherOccluded, lanes<N>(valid), valid, scene, context, ray);                                \
    }
ORN_PACKET_HOOK(4)
ORN_PACKET_HOOK(8)
ORN_PACKET_HOOK(16)
#undef ORN_PACKET_HOOK

} // extern "C"

namespace {

using orn::bench::Clock;
using orn::bench::median;
using orn::bench::seconds;

struct Calibration {
    double ticks_per_second = 0;
    double pair_ticks = 0; // an empty timed interval
};

Calibration calibrate() {
    Calibration c;
    const auto w0 = Clock::now();
    const uint64_t t0 = __rdtsc();
    while (Clock::now() - w0 < std::chrono::milliseconds(200)) {
    }
    const uint64_t t1 = __rdtsc();
    c.ticks_per_second = double(t1 - t0) / std::chrono::duration<double>(Clock::now() - w0).count();
    std::vector<double> pairs;
    for (int i = 0; i < 200000; ++i) {
        const uint64_t a = stamp();
        const uint64_t b = stamp();
        pairs.push_back(double(b - a));
    }
    c.pair_ticks = median(pairs);
    return c;
}

void reset_counters() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (Counters& c : g_slots)
        c = Counters{};
}

Counters sum_counters() {
    std::lock_guard<std::mutex> lock(g_mutex);
    Counters s;
    for (const Counters& c : g_slots)
        for (int k = 0; k < kKinds; ++k) {
            s.ticks[k] += c.ticks[k];
            s.calls[k] += c.calls[k];
            s.rays[k] += c.rays[k];
        }
    return s;
}

// Seconds inside Embree of each kind, the timer's cost taken off.
std::vector<double> embree_seconds(const Counters& c, const Calibration& cal) {
    std::vector<double> s(kKinds);
    for (int k = 0; k < kKinds; ++k)
        s[size_t(k)] =
            std::max(0.0, double(c.ticks[k]) - cal.pair_ticks * double(c.calls[k])) / cal.ticks_per_second;
    return s;
}

// ---------------------------------------------------------------- scenes

std::string scene_text(const std::string& path, double scale) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    if (scale == 1.0) return text;
    const std::regex res(R"(resolution\s+(\d+)\s+(\d+))");
    std::smatch m;
    if (!std::regex_search(text, m, res)) return text;
    const int w = std::max(1, int(std::lround(std::stod(m[1]) * scale)));
    const int h = std::max(1, int(std::lround(std::stod(m[2]) * scale)));
    return m.prefix().str() + "resolution " + std::to_string(w) + " " + std::to_string(h) + m.suffix().str();
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream ss(list);
    for (std::string item; std::getline(ss, item, ',');)
        if (!item.empty()) out.push_back(item);
    return out;
}

const char* option(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

struct RayTypeName {
    int type;
    const char* name;
};
const RayTypeName kRayTypes[] = {{miRAY_EYE, "eye"},
                                 {miRAY_TRANSPARENT, "transparent"},
                                 {miRAY_REFLECT, "reflect"},
                                 {miRAY_REFRACT, "refract"},
                                 {miRAY_SHADOW, "occluder states"},
                                 {miRAY_ENVIRONMENT, "environment"},
                                 {miRAY_FINALGATHER, "final gather"},
                                 {miRAY_PROBE, "probe"}};

struct Config {
    std::string scene;
    int threads = 1;
    orn::bench::Loaded loaded;
    std::vector<double> walls, timed_walls, shares;
    std::vector<std::vector<double>> kind_seconds; // per run
    Counters counts;                               // of the last timed run
};

} // namespace

int main(int argc, char** argv) {
    const int repeat = orn::bench::repeat_option(argc, argv, 5);
    const double scale = std::atof(option(argc, argv, "--scale", "1"));
    const auto scenes = split(option(argc, argv, "--scenes", "demo,lights,hair,gi,dof"));
    std::vector<int> thread_counts;
    for (const auto& t : split(option(argc, argv, "--threads", "1,2")))
        thread_counts.push_back(std::max(1, std::atoi(t.c_str())));
    orn::Messages::set_verbosity(1);

    const Calibration cal = calibrate();
    std::printf("# time-stamp counter %.3f GHz, an empty timed interval %.1f ticks (%.1f ns)\n",
                cal.ticks_per_second * 1e-9, cal.pair_ticks, cal.pair_ticks / cal.ticks_per_second * 1e9);

    std::vector<Config> configs;
    for (const auto& name : scenes)
        for (int threads : thread_counts) {
            const std::string path = std::string(ORN_SOURCE_DIR) + "/scenes/" + name + ".mi";
            Config c;
            c.scene = name;
            c.threads = threads;
            c.loaded = orn::bench::load(scene_text(path, name == "dof" ? 0.5 * scale : scale), threads, path);
            if (!c.loaded.frame) {
                std::fprintf(stderr, "bench_frame: %s does not load\n", path.c_str());
                return 1;
            }
            c.loaded.frame->render_pixels(); // warms the caches and the threads' memory
            configs.push_back(std::move(c));
        }

    // Runs interleaved over every configuration, timed and untimed side by side.
    for (int i = 0; i < repeat; ++i)
        for (Config& c : configs) {
            orn::Frame& f = *c.loaded.frame;
            reset_counters();
            g_timing = true;
            const double timed_wall = seconds([&] { f.render_pixels(); });
            g_timing = false;
            c.counts = sum_counters();
            const double wall = seconds([&] { f.render_pixels(); });
            const auto ks = embree_seconds(c.counts, cal);
            double inside = 0;
            for (double s : ks)
                inside += s;
            c.walls.push_back(wall);
            c.timed_walls.push_back(timed_wall);
            c.shares.push_back(inside / (c.threads * wall));
            c.kind_seconds.push_back(ks);
        }

    std::printf("\n%-7s %3s %10s %10s %12s %9s %16s %10s\n", "scene", "thr", "frame ms", "timed ms",
                "eye samples", "us/sample", "in Embree", "shadow ns");
    for (Config& c : configs) {
        orn::Frame& f = *c.loaded.frame;
        const double wall = median(c.walls);
        const auto [lo, hi] = std::minmax_element(c.shares.begin(), c.shares.end());
        std::vector<double> shadow_ns;
        for (const auto& ks : c.kind_seconds)
            shadow_ns.push_back(f.shadow_rays()
                                    ? (ks[ShadowClosest] + ks[ShadowOccluded]) / double(f.shadow_rays()) * 1e9
                                    : 0.0);
        std::printf("%-7s %3d %10.1f %10.1f %12llu %9.3f %5.1f%% (%2.0f-%2.0f) %10.1f\n", c.scene.c_str(),
                    c.threads, wall * 1e3, median(c.timed_walls) * 1e3,
                    static_cast<unsigned long long>(f.eye_samples()),
                    wall * c.threads / double(std::max<uint64_t>(1, f.eye_samples())) * 1e6,
                    median(c.shares) * 100, *lo * 100, *hi * 100, median(shadow_ns));
    }

    std::printf("\nEmbree queries (medians over the timed runs; ns per ray inside Embree)\n");
    std::printf("%-7s %3s %-18s %12s %12s %9s %8s\n", "scene", "thr", "query", "calls", "rays", "ns/ray",
                "of frame");
    for (Config& c : configs) {
        const double wall = median(c.walls);
        for (int k = 0; k < kKinds; ++k) {
            if (!c.counts.calls[k]) continue;
            std::vector<double> s;
            for (const auto& ks : c.kind_seconds)
                s.push_back(ks[size_t(k)]);
            const double sec = median(s);
            std::printf("%-7s %3d %-18s %12llu %12llu %9.1f %7.1f%%\n", c.scene.c_str(), c.threads,
                        kKindNames[k], static_cast<unsigned long long>(c.counts.calls[k]),
                        static_cast<unsigned long long>(c.counts.rays[k]),
                        sec / double(c.counts.rays[k]) * 1e9, sec / (c.threads * wall) * 100);
        }
    }

    std::printf("\nRays by type (the renderer's states; shadow rays: mi_trace_shadow calls that traced)\n");
    std::printf("%-7s %12s", "scene", "shadow rays");
    for (const auto& t : kRayTypes)
        std::printf(" %12s", t.name);
    std::printf("\n");
    for (Config& c : configs) {
        if (c.threads != configs.front().threads) continue; // the counts do not depend on threads
        orn::Frame& f = *c.loaded.frame;
        std::printf("%-7s %12llu", c.scene.c_str(), static_cast<unsigned long long>(f.shadow_rays()));
        for (const auto& t : kRayTypes)
            std::printf(" %12llu", static_cast<unsigned long long>(f.rays_of_type(t.type)));
        std::printf("\n");
    }
    std::printf("\n# %d timed and %d untimed runs per row, interleaved over all rows; the share's range in "
                "brackets; us/sample is thread time (threads x frame) per eye sample\n",
                repeat, repeat);
    return 0;
}
