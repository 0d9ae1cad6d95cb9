// Continue rays through a stack of 8 spheres combined pairwise by orn_CSG against bare
// Embree. Each pair is an intersection of two spheres that do not touch, so every surface is
// passed over: an eye ray through the stack meets 16 surfaces, one continue ray after each,
// then the black background. 200x200, one sample per pixel, on 1 and 2 threads.
//
// The renderer's rate is its rays traced per second over the whole frame (eye and continue
// rays, with the material called at every hit); bare Embree walks the very same segments
// with rtcIntersect1 from each hit on, on as many threads. Runs are interleaved; the table
// gives the median of the paired ratios (renderer rate / Embree's) with their range.
//
//   build/bin/bench_csg [--repeat N]
#include "bench/bench_common.h"
#include "core/messages.h"
#include "render/session.h"

#include <embree3/rtcore.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using orn::bench::Clock;
using orn::bench::Loaded;
using orn::bench::median;

namespace {

constexpr int kSize = 200;

std::string scene() {
    std::string s =
        "link \"shaders_orn.so\"\n$include \"shaders_orn.mi\"\n"
        "options \"opt\" samples 0 0 filter box 1 1 trace depth 2 2 4 shadow off end options\n"
        "camera \"cam\" focal 1 aperture 0.5 aspect 1 resolution 200 200 end camera\n"
        "instance \"cam_i\" \"cam\" end instance\n"
        "object \"ball\" visible shadow trace file \"" ORN_SOURCE_DIR "/scenes/meshes/sphere.obj\" "
        "end object\n";
    std::string names;
    for (int pair = 0; pair < 4; ++pair) {
        const std::string p = std::to_string(pair), a = "a" + p, b = "b" + p;
        s += "shader \"csg" + p + "\" \"orn_CSG\" (\"color1\" 1 0 0 1, \"color2\" 0 1 0 1, \"object1\" \"" +
             a + "\", \"object2\" \"" + b + "\", \"operation\" 2)\nmaterial \"m" + p + "\" = \"csg" + p +
             "\" end material\n";
        for (int k = 0; k < 2; ++k) {
            const int i = pair * 2 + k;
            s += "instance \"" + (k ? b : a) + "\" \"ball\" material \"m" + p +
                 "\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 " + std::to_string(5 + 2.5 * i) +
                 " 1 end instance\n";
            names += " \"" + (k ? b : a) + "\"";
        }
    }
    return s + "instgroup \"root\" \"cam_i\"" + names + " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

template <typename F> double seconds(F&& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Every pixel's ray from the camera through the stack, restarted behind each hit; the
// segments it traced.
size_t bare_walk(RTCScene scene, orn::Frame& frame, int threads) {
    std::atomic<int> next_row{0};
    std::vector<size_t> counts(size_t(threads), 0);
    auto work = [&](int t) {
        RTCIntersectContext ctx;
        rtcInitIntersectContext(&ctx);
        size_t own = 0;
        for (int y; (y = next_row++) < kSize;)
            for (int x = 0; x < kSize; ++x) {
                miVector org, dir;
                frame.camera_ray(float(x) + 0.5f, float(y) + 0.5f, org, dir);
                float tnear = 0.f;
                for (int hop = 0; hop < 64; ++hop) {
                    RTCRayHit rh{};
                    rh.ray.org_x = org.x;
                    rh.ray.org_y = org.y;
                    rh.ray.org_z = org.z;
                    rh.ray.dir_x = dir.x;
                    rh.ray.dir_y = dir.y;
                    rh.ray.dir_z = dir.z;
                    rh.ray.tnear = tnear;
                    rh.ray.tfar = 1e30f;
                    rh.ray.mask = 0xffffffffu;
                    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
                    rtcIntersect1(scene, &ctx, &rh);
                    ++own;
                    if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) break;
                    tnear = rh.ray.tfar * (1.f + 1e-5f) + 1e-4f;
                }
            }
        counts[size_t(t)] = own;
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(work, t);
    work(0);
    for (auto& th : pool)
        th.join();
    size_t total = 0;
    for (size_t c : counts)
        total += c;
    return total;
}

} // namespace

int main(int argc, char** argv) {
    const int repeat = orn::bench::repeat_option(argc, argv, 9);
    orn::Messages::set_verbosity(1);
    std::printf("%-7s %12s %14s %14s %16s %9s\n", "threads", "rays", "renderer/s", "embree/s",
                "ratio (median)", "range");
    for (const int threads : {1, 2}) {
        Loaded l = orn::bench::load(scene(), threads, "bench_csg.mi");
        if (!l.frame) return 1;
        RTCScene handle = l.session->world()->geometry().handle();
        l.frame->render_pixels();
        std::vector<double> ratios, r_rates, e_rates;
        double rays = 0;
        for (int i = 0; i < repeat; ++i) {
            const double t_render = seconds([&] { l.frame->render_pixels(); });
            rays = double(l.frame->rays_traced());
            size_t segments = 0;
            const double t_bare = seconds([&] { segments = bare_walk(handle, *l.frame, threads); });
            r_rates.push_back(rays / t_render);
            e_rates.push_back(double(segments) / t_bare);
            ratios.push_back(r_rates.back() / e_rates.back());
        }
        const auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
        std::printf("%-7d %12.0f %14.0f %14.0f %16.2f %4.2f-%4.2f\n", threads, rays, median(r_rates),
                    median(e_rates), median(ratios), *lo, *hi);
    }
    return 0;
}
