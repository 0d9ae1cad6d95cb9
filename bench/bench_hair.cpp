// Hair benchmark: a patch of 100,000 cubic hairs at 640x480, one sample per pixel, 1 and 2
// threads.
//  1. Build: hairs read, turned into curve segments and put into Embree per second, and the
//     memory per hair (the renderer's curve data, and the growth of the resident set).
//  2. A trivial material (orn_constant): eye samples per second against bare Embree
//     rtcIntersect1 on the same curves and the same rays with the same work split (buckets of
//     32x32 pixels taken in turn by each thread, no shared counters). Runs are interleaved and
//     the ratio is the median of paired ratios with its range.
//  3. orn_HairTK under two toolkit lights with transparency, at most 4 layers: shaded samples
//     per second.
//
//   build/bin/bench_hair [--repeat N] [--hairs N]
#include "bench/bench_common.h"
#include "core/messages.h"
#include "render/session.h"

#include <embree3/rtcore.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using orn::bench::median;
using orn::bench::seconds;

namespace {

// Hairs rooted on a jittered grid over [-2, 2] x [-2, 2] in the plane y = 0, growing up and
// bending towards +x; four vertices each, thinning from root to tip.
std::string hair_patch(int hairs) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    const int side = int(std::ceil(std::sqrt(double(hairs))));
    std::ostringstream s;
    s.precision(5);
    s << "object \"patch\"\n hair\n  degree 3\n  vertex_data r 1\n  scalars " << hairs * 16 << "\n";
    for (int k = 0; k < hairs; ++k) {
        const float x = -2.f + 4.f * (float(k % side) + u(rng)) / float(side);
        const float z = -2.f + 4.f * (float(k / side) + u(rng)) / float(side);
        const float len = 0.4f + 0.3f * u(rng), bend = 0.2f + 0.2f * u(rng);
        for (int v = 0; v < 4; ++v) {
            const float t = float(v) / 3.f;
            s << x + bend * t * t * len << ' ' << t * len << ' ' << z + 0.05f * t << ' '
              << 0.004f * (1.f - 0.75f * t) << '\n';
        }
    }
    s << "  hairs " << hairs + 1;
    for (int k = 0; k <= hairs; ++k)
        s << ' ' << k * 16;
    s << "\n end hair\nend object\n";
    return s.str();
}

std::string scene(const std::string& patch, bool toolkit) {
    const std::string material =
        toolkit
            ? "shader \"hair\" \"orn_HairTK\" (\"diffuse\" on, \"diffuse_weight\" 1, \"root_color\" 0.3 0.2 "
              "0.1 1, \"tip_color\" 0.6 0.5 0.3 1, \"specular\" on, \"specular_weight\" 1, \"primary_color\" "
              "1 1 1 1, \"primary_glossiness\" 40, \"transparency\" on, \"root_transparency\" 0, "
              "\"tip_transparency\" 0.8, \"transparency_position\" 0.5, \"transparency_spread\" 0.5, "
              "\"max_transparency_layers\" 4, \"light_mode\" 4)\nmaterial \"m\" = \"hair\" end material\n"
              "light \"key\" \"orn_DirectTK\" (\"color\" 1 1 1 1, \"intensity\" 1, \"emit_diffuse\" on, "
              "\"emit_specular\" on, \"shadow\" on, \"shadow_factor\" 0) direction -0.4 -0.8 -0.45 end "
              "light\n"
              "light \"rim\" \"orn_DirectTK\" (\"color\" 0.5 0.6 1 1, \"intensity\" 1, \"emit_diffuse\" on, "
              "\"emit_specular\" on) direction 0.6 -0.5 0.6 end light\n"
              "instance \"key_i\" \"key\" end instance\ninstance \"rim_i\" \"rim\" end instance\n"
            : "material \"m\" \"orn_constant\" (\"color\" 0.5 0.4 0.3 1) end material\n";
    return "link \"shaders_orn.so\"\n$include \"shaders_orn.mi\"\n"
           "options \"opt\" samples 0 0 filter box 1 1 trace depth 2 8 10 end options\n"
           "camera \"cam\" focal 50 aperture 36 aspect 1.333333 resolution 640 480 end camera\n"
           "instance \"cam_i\" \"cam\" transform 1 0 0 0 0 0.894427 0.447214 0 0 -0.447214 0.894427 0 0 "
           "-0.2 -6 1 end instance\n" +
           material + patch +
           "instance \"patch_i\" \"patch\" material \"m\" end instance\n"
           "instgroup \"root\" \"cam_i\" \"patch_i\"" +
           (toolkit ? " \"key_i\" \"rim_i\"" : "") +
           " end instgroup\n"
           "render \"root\" \"cam_i\" \"opt\"\n";
}

long rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

int option(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::max(1, std::atoi(argv[i + 1]));
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    const int repeat = option(argc, argv, "--repeat", 7);
    const int hairs = option(argc, argv, "--hairs", 100000);
    orn::Messages::set_verbosity(1);
    const std::string patch = hair_patch(hairs);

    std::printf("# %d hairs of one cubic segment, 640 x 480, 1 sample per pixel\n", hairs);
    std::printf("%-8s %14s %14s %14s %16s %12s\n", "threads", "hairs built/s", "renderer/s", "embree/s",
                "ratio (median)", "range");
    for (int threads : {1, 2}) {
        orn::SessionOptions o;
        o.render.threads = threads;
        o.render.progress = false;
        orn::Session session(o);
        const long rss0 = rss_kib();
        std::unique_ptr<orn::Frame> frame;
        const double t_build = seconds([&] {
            if (session.load_string(scene(patch, false), "bench_hair.mi")) frame = session.make_frame();
        });
        if (!frame || !frame->prepare()) return 1;
        const long rss1 = rss_kib();
        const auto* obj = session.world()->instances().front().object;
        if (threads == 1)
            std::printf("# memory per hair: %.0f bytes of curve data, %.0f bytes of resident set growth "
                        "(scene text, curves and Embree's structure)\n",
                        double(obj->hair->bytes()) / hairs, double(rss1 - rss0) * 1024.0 / hairs);
        const orn::bench::BucketRays rays = orn::bench::bucket_rays(*frame);
        const double samples = double(frame->film().width()) * frame->film().height();
        const RTCScene handle = session.world()->geometry().handle();
        frame->render_pixels();
        orn::bench::bare_intersect(handle, rays, threads);
        const orn::bench::Paired p = orn::bench::paired_runs(
            repeat, samples, [&] { frame->render_pixels(); },
            [&] { orn::bench::bare_intersect(handle, rays, threads); });
        std::printf("%-8d %14.0f %14.0f %14.0f %16.2f %5.2f-%4.2f\n", threads, hairs / t_build, p.rate_a,
                    p.rate_b, p.ratio, p.ratio_min, p.ratio_max);
        frame->finish();
    }

    std::printf("\n# orn_HairTK, two toolkit lights, transparency of at most 4 layers\n");
    std::printf("%-8s %16s %12s\n", "threads", "samples/s", "rays/sample");
    for (int threads : {1, 2}) {
        orn::bench::Loaded l = orn::bench::load(scene(patch, true), threads, "bench_hair_tk.mi");
        if (!l.frame) {
            std::printf("(orn_HairTK is not available)\n");
            break;
        }
        l.frame->render_pixels();
        std::vector<double> rates;
        for (int i = 0; i < repeat; ++i)
            rates.push_back(double(l.frame->film().width()) * l.frame->film().height() /
                            seconds([&] { l.frame->render_pixels(); }));
        std::printf("%-8d %16.0f %12.2f\n", threads, median(rates),
                    double(l.frame->rays_traced()) / double(std::max<uint64_t>(1, l.frame->eye_samples())));
        l.frame->finish();
    }
    return 0;
}
