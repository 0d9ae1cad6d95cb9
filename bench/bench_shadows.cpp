// Shadow rays of the toolkit lights against bare Embree. A plane and a sphere with a diffuse
// orn_MegaTK under one directional, point or spot toolkit light, hard or soft (16 samples)
// shadows, 320x240, one sample per pixel, on 1 and 2 threads.
//
// The renderer's shadow cost is the frame time with shadows on minus the same frame with
// shadows off; bare Embree replays the very shadow rays the renderer traced (recorded per
// thread), each thread its own, with rtcOccluded1. Runs are interleaved; the table gives the
// median of the paired ratios (renderer shadow rays per second / Embree's) with their range,
// and the renderer's 2-thread speed-up on the whole frame.
//
//   build/bin/bench_shadows [--repeat N]
#include "bench/bench_common.h"
#include "core/messages.h"
#include "render/session.h"

#include <embree3/rtcore.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using orn::bench::Clock;
using orn::bench::Loaded;
using orn::bench::median;

namespace {

std::string scene(const std::string& light, bool soft, bool shadows) {
    const std::string shadow =
        soft ? "\"shadow\" on, \"shadow_factor\" 0, \"shadow_samples\" 16, \"softness\" "
             : "\"shadow\" on, \"shadow_factor\" 0, \"softness\" 0";
    std::string light_stmt;
    if (light == "directional")
        light_stmt = "light \"l\" \"orn_DirectTK\" (\"color\" 1 1 1 1, \"intensity\" 1, " + shadow +
                     (soft ? "3" : "") + ", \"category\" \"k\") direction -0.4 -0.8 -0.45 end light\n";
    else if (light == "point")
        light_stmt = "light \"l\" \"orn_PointTK\" (\"color\" 1 1 1 1, \"intensity\" 1, " + shadow +
                     (soft ? "0.3" : "") + ", \"category\" \"k\") origin 3 6 3 end light\n";
    else
        light_stmt = "light \"l\" \"orn_SpotTK\" (\"color\" 1 1 1 1, \"intensity\" 1, \"cone_angle\" 50, "
                     "\"cone_falloff_exponent\" 1, " +
                     shadow + (soft ? "0.3" : "") +
                     ", \"category\" \"k\") origin 3 6 3 direction -0.4 -0.8 -0.45 spread 0.5 end light\n";
    return "link \"shaders_orn.so\"\n$include \"shaders_orn.mi\"\n"
           "options \"opt\" samples 0 0 filter box 1 1 shadow " +
           std::string(shadows ? "on" : "off") +
           " end options\n"
           "camera \"cam\" focal 50 aperture 36 aspect 1.333333 resolution 320 240 end camera\n"
           "instance \"cam_i\" \"cam\" transform 1 0 0 0 0 0.98639 0.16440 0 0 -0.16440 0.98639 0 0 -0.0017 "
           "-9.1242 1 end instance\n" +
           light_stmt +
           "instance \"l_i\" \"l\" end instance\n"
           "shader \"mega\" \"orn_MegaTK\" (\"opacity\" 1 1 1 1, \"opacity_channel\" 3, \"ior\" 1, "
           "\"diffuse_on\" "
           "on, \"diffuse_color\" 0.7 0.6 0.5 1, \"diffuse_weight\" 1, \"diffuse_category\" \"k\", "
           "\"light_mode\" 4)\n"
           "material \"m\" = \"mega\" end material\n"
           "object \"ball\" visible shadow trace file \"" ORN_SOURCE_DIR
           "/scenes/meshes/sphere.obj\" end object\n"
           "object \"plane\" visible shadow trace group\n"
           "  -8 0 -8  8 0 -8  8 0 8  -8 0 8\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
           "instance \"ball_i\" \"ball\" material \"m\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 -1 0 1 end "
           "instance\n"
           "instance \"plane_i\" \"plane\" material \"m\" end instance\n"
           "instgroup \"root\" \"cam_i\" \"ball_i\" \"plane_i\" \"l_i\" end instgroup\n"
           "render \"root\" \"cam_i\" \"opt\"\n";
}

template <typename F> double seconds(F&& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Replays each thread's recorded shadow rays on a thread of its own.
void bare_occluded(RTCScene scene, const std::vector<std::vector<float>>& logs) {
    std::vector<std::thread> pool;
    std::vector<size_t> blocked(logs.size(), 0); // one slot per thread, written once at the end
    auto work = [&](size_t t) {
        RTCIntersectContext ctx;
        rtcInitIntersectContext(&ctx);
        size_t own = 0;
        const std::vector<float>& log = logs[t];
        for (size_t i = 0; i + 8 <= log.size(); i += 8) {
            RTCRay r{};
            r.org_x = log[i];
            r.org_y = log[i + 1];
            r.org_z = log[i + 2];
            r.dir_x = log[i + 3];
            r.dir_y = log[i + 4];
            r.dir_z = log[i + 5];
            r.tnear = log[i + 6];
            r.tfar = log[i + 7];
            r.mask = 0xffffffffu;
            rtcOccluded1(scene, &ctx, &r);
            own += r.tfar < 0.f;
        }
        blocked[t] = own;
    };
    for (size_t t = 1; t < logs.size(); ++t)
        pool.emplace_back(work, t);
    work(0);
    for (auto& th : pool)
        th.join();
}

} // namespace

int main(int argc, char** argv) {
    const int repeat = orn::bench::repeat_option(argc, argv, 11);
    orn::Messages::set_verbosity(1);
    std::printf("%-12s %-5s %-7s %12s %14s %14s %16s %9s\n", "light", "soft", "threads", "shadow rays",
                "renderer/s", "embree/s", "ratio (median)", "range");
    for (const std::string light : {"directional", "point", "spot"})
        for (const bool soft : {false, true}) {
            double frame_one = 0;
            for (const int threads : {1, 2}) {
                Loaded on = orn::bench::load(scene(light, soft, true), threads, "bench_shadows.mi"),
                       off = orn::bench::load(scene(light, soft, false), threads, "bench_shadows.mi");
                if (!on.frame || !off.frame) return 1;
                std::vector<std::vector<float>> logs;
                on.frame->log_shadow_rays(&logs);
                on.frame->render_pixels();
                on.frame->log_shadow_rays(nullptr);
                off.frame->render_pixels();
                const double rays = double(on.frame->shadow_rays());
                RTCScene handle = on.session->world()->geometry().handle();
                std::vector<double> ratios, frames, r_rates, e_rates;
                for (int i = 0; i < repeat; ++i) {
                    const double t_on = seconds([&] { on.frame->render_pixels(); });
                    const double t_off = seconds([&] { off.frame->render_pixels(); });
                    const double t_bare = seconds([&] { bare_occluded(handle, logs); });
                    const double t_shadow = std::max(t_on - t_off, 1e-9);
                    ratios.push_back(t_bare / t_shadow);
                    r_rates.push_back(rays / t_shadow);
                    e_rates.push_back(rays / t_bare);
                    frames.push_back(t_on);
                }
                const auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
                std::printf("%-12s %-5s %-7d %12.0f %14.0f %14.0f %16.2f %4.2f-%4.2f\n", light.c_str(),
                            soft ? "16" : "hard", threads, rays, median(r_rates), median(e_rates),
                            median(ratios), *lo, *hi);
                const double frame = median(frames);
                if (threads == 1)
                    frame_one = frame;
                else
                    std::printf("# %s, %s: 2-thread speed-up of the frame %.2f\n", light.c_str(),
                                soft ? "soft" : "hard", frame_one / frame);
                on.frame->finish();
                off.frame->finish();
            }
        }
    return 0;
}
