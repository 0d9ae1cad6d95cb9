// Whole frames of the example scenes against the limit Embree sets: per scene and thread count,
// the share of the render phase spent inside Embree's query calls, the rays of each type, the
// time per eye sample and Embree's time per ray of each kind of query.
//
// Frame times are CPU time: what the process's threads spent while the frame rendered, which
// are the render threads (the calling thread renders too). On a machine that other work keeps
// busy, wall time counts the time the threads waited for a core.
//
// Embree's query functions are interposed: this program defines rtcIntersect1/4/8/16 and
// rtcOccluded1/4/8/16 itself, so the dynamic linker binds the renderer's calls to them, and
// each calls Embree's own (found with dlsym(RTLD_NEXT)). Nothing of this is in the renderer.
// On a timed run each call is timed with the time-stamp counter between two fences; the cost
// of an empty timed interval, measured at start-up, is subtracted per call. The counter runs
// while a thread waits for a core, so a run's Embree time is scaled by that run's CPU time over
// threads x its wall time. Timed and untimed runs alternate; the share is Embree's time on a
// timed run over the CPU time of the untimed run next to it, and the table gives the median of
// those pairs with their range.
// Single-ray queries are told apart by the ray kind the renderer passes in its context
// (eye, secondary, shadow); packets are eye rays.
//
//   build/bin/bench_frame [--repeat N] [--scenes demo,lights,hair,gi,dof] [--threads 1,2]
//                         [--scale F] [--scaling]
//
// --scale multiplies every scene's resolution (dof is rendered at half its size times F).
//
// --scaling compares the 2-thread speed-up of each scene with bare Embree's on the same rays:
// the interposed functions also record every query of a 1-thread render (the ray as the
// renderer passed it, per bucket, through the frame's watch), which are then traced again with
// Embree's own functions on 1 and 2 threads, each thread taking the next bucket's queries as
// the renderer's threads take buckets.
#include "bench/bench_common.h"
#include "core/messages.h"
#include "render/frame_watch.h"
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
#include <thread>
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

// ---------------------------------------------------------------- recorded rays (--scaling)

// A query as the renderer made it, before Embree changed the ray. A packet call is a header
// (`width` lanes) followed by one entry per lane, whose `width` is 1 for a valid lane.
enum QueryKind : uint32_t { Intersect1, Occluded1, IntersectN, OccludedN, Lane };
struct Query {
    RTCScene scene;
    uint32_t kind, width;
    float org[3], dir[3], tnear, tfar;
};

std::atomic<bool> g_recording{false};
thread_local std::vector<Query> t_log; // the queries of the bucket this thread renders

template <typename Ray> void record_single(RTCScene scene, QueryKind kind, const Ray& r) {
    t_log.push_back(
        {scene, kind, 1, {r.org_x, r.org_y, r.org_z}, {r.dir_x, r.dir_y, r.dir_z}, r.tnear, r.tfar});
}

template <int N, typename RayN>
void record_packet(RTCScene scene, QueryKind kind, const int* valid, const RayN& r) {
    t_log.push_back({scene, kind, uint32_t(N), {}, {}, 0.f, 0.f});
    for (int j = 0; j < N; ++j)
        t_log.push_back({scene,
                         Lane,
                         valid[j] == -1 ? 1u : 0u,
                         {r.org_x[j], r.org_y[j], r.org_z[j]},
                         {r.dir_x[j], r.dir_y[j], r.dir_z[j]},
                         r.tnear[j],
                         r.tfar[j]});
}

} // namespace

extern "C" {

void rtcIntersect1(RTCScene scene, RTCIntersectContext* context, RTCRayHit* rayhit) {
    using F = void (*)(RTCScene, RTCIntersectContext*, RTCRayHit*);
    static const F f = embree_function<F>("rtcIntersect1");
    if (g_recording.load(std::memory_order_relaxed)) record_single(scene, Intersect1, rayhit->ray);
    if (!g_timing.load(std::memory_order_relaxed)) return f(scene, context, rayhit);
    timed(f, single_kind(context, false), 1, scene, context, rayhit);
}

void rtcOccluded1(RTCScene scene, RTCIntersectContext* context, RTCRay* ray) {
    using F = void (*)(RTCScene, RTCIntersectContext*, RTCRay*);
    static const F f = embree_function<F>("rtcOccluded1");
    if (g_recording.load(std::memory_order_relaxed)) record_single(scene, Occluded1, *ray);
    if (!g_timing.load(std::memory_order_relaxed)) return f(scene, context, ray);
    timed(f, single_kind(context, true), 1, scene, context, ray);
}

#define ORN_PACKET_HOOK(N)                                                                                   \
    void rtcIntersect##N(const int* valid, RTCScene scene, RTCIntersectContext* context,                     \
                         RTCRayHit##N* rayhit) {                                                             \
        using F = void (*)(const int*, RTCScene, RTCIntersectContext*, RTCRayHit##N*);                       \
        static const F f = embree_function<F>("rtcIntersect" #N);                                            \
        if (g_recording.load(std::memory_order_relaxed))                                                     \
            record_packet<N>(scene, IntersectN, valid, rayhit->ray);                                         \
        if (!g_timing.load(std::memory_order_relaxed)) return f(valid, scene, context, rayhit);              \
        timed(f, EyePacket, lanes<N>(valid), valid, scene, context, rayhit);                                 \
    }                                                                                                        \
    void rtcOccluded##N(const int* valid, RTCScene scene, RTCIntersectContext* context, RTCRay##N* ray) {    \
        using F = void (*)(const int*, RTCScene, RTCIntersectContext*, RTCRay##N*);                          \
        static const F f = embree_function<F>("rtcOccluded" #N);                                             \
        if (g_recording.load(std::memory_order_relaxed)) record_packet<N>(scene, OccludedN, valid, *ray);    \
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
using orn::bench::cpu_seconds;
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

using orn::bench::option;

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
    std::vector<double> cpus, walls, timed_cpus, shares;
    std::vector<std::vector<double>> kind_seconds; // per run
    Counters counts;                               // of the last timed run
};

// ---------------------------------------------------------------- scaling against bare Embree

// Records the queries of each bucket: the thread that finished a bucket hands over what it
// traced since its previous one.
struct Recorder final : orn::FrameWatch {
    std::mutex mutex;
    std::vector<std::vector<Query>> buckets;
    void frame_started(const orn::WatchedFrame&) override {}
    void bucket_done(int, int, int, int, const float*) override {
        std::lock_guard<std::mutex> lock(mutex);
        buckets.push_back(std::move(t_log));
        t_log = {};
    }
    void frame_finished(const std::vector<const float*>&, bool) override {}
};

orn::bench::Loaded load_watched(const std::string& text, const std::string& name, orn::FrameWatch* watch) {
    orn::SessionOptions o;
    o.render.threads = 1;
    o.render.progress = false;
    o.render.watch = watch;
    orn::bench::Loaded l;
    l.session = std::make_unique<orn::Session>(o);
    if (!l.session->load_string(text, name)) return {};
    l.frame = l.session->make_frame();
    if (!l.frame || !l.frame->prepare()) return {};
    return l;
}

template <int N, typename RayHitN, typename F>
void replay_packet(const Query* q, const RTCIntersectContext& context, F f) {
    alignas(64) int valid[N];
    RayHitN p;
    for (int j = 0; j < N; ++j) {
        const Query& l = q[1 + j];
        valid[j] = l.width ? -1 : 0;
        orn::bench::set_lane(p, j, l.org, l.dir, l.tnear, l.tfar);
    }
    RTCIntersectContext ctx = context;
    f(valid, q->scene, &ctx, &p);
}

// Bare Embree on the recorded queries: Embree's own functions with its plain context (no filter
// callbacks of the renderer; packets coherent, as the renderer traces them), each thread taking
// the next bucket's queries from a shared counter as the renderer's threads take buckets.
double replay(const std::vector<std::vector<Query>>& buckets, int threads) {
    using I1 = void (*)(RTCScene, RTCIntersectContext*, RTCRayHit*);
    using O1 = void (*)(RTCScene, RTCIntersectContext*, RTCRay*);
    static const I1 intersect1 = embree_function<I1>("rtcIntersect1");
    static const O1 occluded1 = embree_function<O1>("rtcOccluded1");
#define ORN_EMBREE_N(N)                                                                                      \
    using I##N = void (*)(const int*, RTCScene, RTCIntersectContext*, RTCRayHit##N*);                        \
    using O##N = void (*)(const int*, RTCScene, RTCIntersectContext*, RTCRay##N*);                           \
    static const I##N intersect##N = embree_function<I##N>("rtcIntersect" #N);                               \
    static const O##N occluded##N = embree_function<O##N>("rtcOccluded" #N);
    ORN_EMBREE_N(4)
    ORN_EMBREE_N(8)
    ORN_EMBREE_N(16)
#undef ORN_EMBREE_N
    std::atomic<size_t> next{0};
    auto work = [&] {
        RTCIntersectContext plain, coherent;
        rtcInitIntersectContext(&plain);
        rtcInitIntersectContext(&coherent);
        coherent.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
        for (size_t k = next++; k < buckets.size(); k = next++) {
            const std::vector<Query>& qs = buckets[k];
            for (size_t i = 0; i < qs.size();) {
                const Query& q = qs[i];
                if (q.kind == Intersect1 || q.kind == Occluded1) {
                    RTCRayHit rh;
                    rh.ray = {q.org[0], q.org[1], q.org[2], q.tnear,     q.dir[0], q.dir[1],
                              q.dir[2], 0.f,      q.tfar,   0xffffffffu, 0,        0};
                    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
                    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
                    RTCIntersectContext ctx = plain;
                    if (q.kind == Intersect1)
                        intersect1(q.scene, &ctx, &rh);
                    else
                        occluded1(q.scene, &ctx, &rh.ray);
                    ++i;
                    continue;
                }
                const bool hit = q.kind == IntersectN;
                switch (q.width) {
                case 4:
                    if (hit)
                        replay_packet<4, RTCRayHit4>(&q, coherent, intersect4);
                    else
                        replay_packet<4, RTCRayHit4>(&q, coherent,
                                                     [&](const int* v, RTCScene sc, RTCIntersectContext* c,
                                                         RTCRayHit4* p) { occluded4(v, sc, c, &p->ray); });
                    break;
                case 8:
                    if (hit)
                        replay_packet<8, RTCRayHit8>(&q, coherent, intersect8);
                    else
                        replay_packet<8, RTCRayHit8>(&q, coherent,
                                                     [&](const int* v, RTCScene sc, RTCIntersectContext* c,
                                                         RTCRayHit8* p) { occluded8(v, sc, c, &p->ray); });
                    break;
                default:
                    if (hit)
                        replay_packet<16, RTCRayHit16>(&q, coherent, intersect16);
                    else
                        replay_packet<16, RTCRayHit16>(
                            &q, coherent,
                            [&](const int* v, RTCScene sc, RTCIntersectContext* c, RTCRayHit16* p) {
                                occluded16(v, sc, c, &p->ray);
                            });
                }
                i += 1 + q.width;
            }
        }
    };
    return seconds([&] {
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t)
            pool.emplace_back(work);
        work();
        for (auto& th : pool)
            th.join();
    });
}

struct Spread {
    double mid = 0, lo = 0, hi = 0;
};

Spread spread(const std::vector<double>& v) {
    return {median(v), *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end())};
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// --scaling: per scene, the renderer's 2-thread speed-up against bare Embree's on the frame's
// own queries, recorded bucket by bucket in a 1-thread render and replayed with the renderer's
// work split. Renders and replays on 1 and 2 threads alternate; each round gives one speed-up
// of each and their ratio. "CPU x" is the CPU time of all threads on 2 threads over that on 1:
// the work that running in parallel adds (contention, shared cache lines), which a busy machine
// hides less than it hides the speed-up.
int scaling(const std::vector<std::string>& scenes, double scale, int repeat) {
    std::printf("# load average at start %s\n", load_average().c_str());
    std::printf("\n%-7s %9s %9s %8s %6s %9s %9s %8s %6s %20s %20s %9s\n", "scene", "1 thr ms", "2 thr ms",
                "speed-up", "CPU x", "bare 1", "bare 2", "speed-up", "CPU x", "speed-ups r/b (range)",
                "CPU x r/b (range)", "queries");
    for (const auto& name : scenes) {
        const std::string path = std::string(ORN_SOURCE_DIR) + "/scenes/" + name + ".mi";
        const std::string text = scene_text(path, name == "dof" ? 0.5 * scale : scale);
        Recorder recorder;
        size_t queries = 0;
        {
            auto rec = load_watched(text, path, &recorder);
            if (!rec.frame) {
                std::fprintf(stderr, "bench_frame: %s does not load\n", path.c_str());
                return 1;
            }
            rec.frame->render_pixels();
            recorder.buckets.clear();
            g_recording = true;
            rec.frame->render_pixels();
            g_recording = false;
            // The replay needs the scenes of this frame: rendered again below from a session of
            // its own, the recording's is kept alive until the end of the scene.
            for (const auto& b : recorder.buckets)
                queries += b.size();
            auto one = orn::bench::load(text, 1, path);
            auto two = orn::bench::load(text, 2, path);
            if (!one.frame || !two.frame) return 1;
            one.frame->render_pixels();
            two.frame->render_pixels();
            replay(recorder.buckets, 2);
            std::vector<double> r1, r2, b1, b2, ratio, grow_r, grow_b, grow_ratio;
            for (int i = 0; i < repeat; ++i) {
                double t[4], c[4];
                auto run = [&](int k) {
                    const double c0 = cpu_seconds();
                    switch (k) {
                    case 0:
                        t[0] = seconds([&] { one.frame->render_pixels(); });
                        break;
                    case 1:
                        t[1] = seconds([&] { two.frame->render_pixels(); });
                        break;
                    case 2:
                        t[2] = replay(recorder.buckets, 1);
                        break;
                    default:
                        t[3] = replay(recorder.buckets, 2);
                    }
                    c[k] = cpu_seconds() - c0;
                };
                const int order[2][4] = {{0, 2, 1, 3}, {3, 1, 2, 0}};
                for (int k : order[i % 2])
                    run(k);
                r1.push_back(t[0]);
                r2.push_back(t[1]);
                b1.push_back(t[2]);
                b2.push_back(t[3]);
                ratio.push_back((t[0] / t[1]) / (t[2] / t[3]));
                grow_r.push_back(c[1] / c[0]);
                grow_b.push_back(c[3] / c[2]);
                grow_ratio.push_back(grow_r.back() / grow_b.back());
            }
            std::vector<double> su_r, su_b;
            for (int i = 0; i < repeat; ++i) {
                su_r.push_back(r1[size_t(i)] / r2[size_t(i)]);
                su_b.push_back(b1[size_t(i)] / b2[size_t(i)]);
            }
            const Spread q = spread(ratio), g = spread(grow_ratio);
            std::printf("%-7s %9.1f %9.1f %8.3f %6.3f %9.1f %9.1f %8.3f %6.3f %6.3f (%5.3f-%5.3f) %6.3f "
                        "(%5.3f-%5.3f) %9zu\n",
                        name.c_str(), median(r1) * 1e3, median(r2) * 1e3, median(su_r), median(grow_r),
                        median(b1) * 1e3, median(b2) * 1e3, median(su_b), median(grow_b), q.mid, q.lo, q.hi,
                        g.mid, g.lo, g.hi, queries);
            std::fflush(stdout);
        }
    }
    std::printf(
        "\n# %d rounds per scene; speed-ups and CPU x are medians of the rounds' own; load average at "
        "end %s\n",
        repeat, load_average().c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int repeat = orn::bench::repeat_option(argc, argv, 5);
    const double scale = std::atof(option(argc, argv, "--scale", "1"));
    const auto scenes = split(option(argc, argv, "--scenes", "demo,lights,hair,gi,dof"));
    std::vector<int> thread_counts;
    for (const auto& t : split(option(argc, argv, "--threads", "1,2")))
        thread_counts.push_back(std::max(1, std::atoi(t.c_str())));
    orn::Messages::set_verbosity(1);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--scaling") == 0) return scaling(scenes, scale, repeat);

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
            double c0 = cpu_seconds();
            const double timed_wall = seconds([&] { f.render_pixels(); });
            const double timed_cpu = cpu_seconds() - c0;
            g_timing = false;
            c.counts = sum_counters();
            c0 = cpu_seconds();
            const double wall = seconds([&] { f.render_pixels(); });
            const double cpu = cpu_seconds() - c0;
            // The time-stamp counter ran on while the threads waited for a core.
            const double on_core = std::min(1.0, timed_cpu / (c.threads * timed_wall));
            auto ks = embree_seconds(c.counts, cal);
            double inside = 0;
            for (double& s : ks)
                inside += (s *= on_core);
            c.cpus.push_back(cpu);
            c.walls.push_back(wall);
            c.timed_cpus.push_back(timed_cpu);
            c.shares.push_back(inside / cpu);
            c.kind_seconds.push_back(ks);
        }

    std::printf("\n%-7s %3s %12s %10s %10s %12s %9s %16s %10s\n", "scene", "thr", "frame CPU ms", "wall ms",
                "timed ms", "eye samples", "us/sample", "in Embree", "shadow ns");
    for (Config& c : configs) {
        orn::Frame& f = *c.loaded.frame;
        const double cpu = median(c.cpus);
        const auto [lo, hi] = std::minmax_element(c.shares.begin(), c.shares.end());
        std::vector<double> shadow_ns;
        for (const auto& ks : c.kind_seconds)
            shadow_ns.push_back(f.shadow_rays()
                                    ? (ks[ShadowClosest] + ks[ShadowOccluded]) / double(f.shadow_rays()) * 1e9
                                    : 0.0);
        std::printf("%-7s %3d %12.1f %10.1f %10.1f %12llu %9.3f %5.1f%% (%2.0f-%2.0f) %10.1f\n",
                    c.scene.c_str(), c.threads, cpu * 1e3, median(c.walls) * 1e3, median(c.timed_cpus) * 1e3,
                    static_cast<unsigned long long>(f.eye_samples()),
                    cpu / double(std::max<uint64_t>(1, f.eye_samples())) * 1e6, median(c.shares) * 100,
                    *lo * 100, *hi * 100, median(shadow_ns));
    }

    std::printf("\nEmbree queries (medians over the timed runs; CPU ns per ray inside Embree)\n");
    std::printf("%-7s %3s %-18s %12s %12s %9s %8s\n", "scene", "thr", "query", "calls", "rays", "ns/ray",
                "of frame");
    for (Config& c : configs) {
        const double cpu = median(c.cpus);
        for (int k = 0; k < kKinds; ++k) {
            if (!c.counts.calls[k]) continue;
            std::vector<double> s;
            for (const auto& ks : c.kind_seconds)
                s.push_back(ks[size_t(k)]);
            const double sec = median(s);
            std::printf("%-7s %3d %-18s %12llu %12llu %9.1f %7.1f%%\n", c.scene.c_str(), c.threads,
                        kKindNames[k], static_cast<unsigned long long>(c.counts.calls[k]),
                        static_cast<unsigned long long>(c.counts.rays[k]),
                        sec / double(c.counts.rays[k]) * 1e9, sec / cpu * 100);
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
    std::printf("\n# %d timed and %d untimed runs per row, interleaved over all rows; medians; frame CPU ms "
                "and us/sample are the render threads' CPU time (timed ms: of the timed runs); the share's "
                "range in brackets\n",
                repeat, repeat);
    return 0;
}
