// Ray-tree benchmarks of orn_MegaTK at 640x480, one sample per pixel:
//  1. glass and metal with glossy reflection (16 samples) and ambient occlusion (16 samples),
//     frame time on 1 and 2 threads;
//  2. rays per eye sample at trace depth 2 and 6, with the one-branch rule off and on;
//  3. the photon pass for one million photons.
//
//   build/bin/bench_raytree [--repeat N]
#include "bench/bench_common.h"
#include "core/messages.h"
#include "render/session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

using orn::bench::best_seconds;
using orn::bench::Clock;
using orn::bench::Loaded;

namespace {

std::string scene(int depth, int branch_mode, int photons, int threads_hint) {
    (void)threads_hint;
    const std::string d = std::to_string(depth);
    const std::string common =
        "\"opacity\" 1 1 1 1, \"opacity_channel\" 3, \"light_mode\" 4, \"branch_mode\" " +
        std::to_string(branch_mode) + ", \"branch_depth\" 1, \"sample_falloff\" 1, ";
    const std::string ao =
        "\"ao_on\" on, \"ao_samples\" 16, \"ao_bright\" 1 1 1 1, \"ao_dark\" 0 0 0 1, \"ao_spread\" 90, "
        "\"ao_near\" 0.01, \"ao_far\" 4, \"ao_falloff\" 1, \"ao_gamma\" 1, \"ao_on_color\" 1";
    return "link \"shaders_orn.so\"\n$include \"shaders_orn.mi\"\n"
           "options \"opt\" samples 0 0 trace depth " +
           d + " " + d + " " + std::to_string(2 * depth) +
           (photons ? " \"globillum\" on \"globillum photons\" " + std::to_string(photons) : std::string()) +
           " end options\n"
           "camera \"cam\" focal 50 aperture 36 aspect 1.333333 resolution 640 480 end camera\n"
           "instance \"cam_i\" \"cam\" transform 1 0 0 0 0 0.98639 0.16440 0 0 -0.16440 0.98639 0 0 -0.0017 "
           "-9.1242 1 end instance\n"
           "light \"key\" \"orn_DirectTK\" (\"color\" 1 1 1 1, \"intensity\" 1, \"emit_diffuse\" on, "
           "\"emit_specular\" on, "
           "\"shadow\" on, \"shadow_factor\" 0) origin 0 6 2 energy 400 400 400 end light\n"
           "instance \"key_i\" \"key\" end instance\n"
           "shader \"glass\" \"orn_MegaTK\" (\"diffuse_on\" off, \"reflect_diffuse_loss\" 0, "
           "\"refract_diffuse_loss\" 0, \"sample_falloff\" 0, " +
           common +
           "\"ior\" 1.5, \"reflect_on\" on, \"reflect_amount\" 1, "
           "\"reflect_color\" 1 1 1 1, \"reflect_fresnel\" 1, \"reflect_samples\" 1, \"refract_on\" on, "
           "\"refract_amount\" 1, "
           "\"refract_color\" 1 1 1 1, \"refract_fresnel\" 1, \"refract_samples\" 1, \"absorb_inside\" 0.9 "
           "0.8 0.7 1)\n"
           "shader \"metal\" \"orn_MegaTK\" (\"reflect_diffuse_loss\" 0, \"sample_falloff\" 0, " +
           common +
           "\"ior\" 1, \"diffuse_on\" on, \"diffuse_color\" 0.4 0.3 0.2 1, "
           "\"diffuse_weight\" 0.4, \"reflect_on\" on, \"reflect_amount\" 0.7, \"reflect_color\" 1 0.8 0.5 "
           "1, "
           "\"reflect_gloss\" 20, \"reflect_samples\" 16, " +
           ao +
           ")\n"
           "shader \"floor\" \"orn_MegaTK\" (\"ao_on_ambient\" 0, \"ao_on_indirect\" 0, \"ao_on_specular\" "
           "0, " +
           common +
           "\"ior\" 1, \"diffuse_on\" on, \"diffuse_color\" 0.7 0.7 0.7 1, "
           "\"diffuse_weight\" 1, \"indirect_on\" on, \"indirect_color\" 1 1 1 1, \"indirect_saturation\" "
           "1, " +
           ao +
           ")\n"
           "material \"glass_m\" = \"glass\" shadow = \"glass\" photon = \"glass\" end material\n"
           "material \"metal_m\" = \"metal\" shadow = \"metal\" photon = \"metal\" end material\n"
           "material \"floor_m\" = \"floor\" shadow = \"floor\" photon = \"floor\" end material\n"
           "object \"ball\" visible shadow trace file \"" ORN_SOURCE_DIR
           "/scenes/meshes/sphere.obj\" end object\n"
           "object \"plane\" visible shadow trace group\n  -8 0 -8  8 0 -8  8 0 8  -8 0 8  0 0 0  1 0 0  1 1 "
           "0  0 1 0\n"
           "  v 0 t 4 v 1 t 5 v 2 t 6 v 3 t 7\n  p 0 1 2 3\nend group end object\n"
           "instance \"glass_i\" \"ball\" material \"glass_m\" transform 1 0 0 0 0 1 0 0 0 0 1 0 -1.2 -1 0 1 "
           "end instance\n"
           "instance \"metal_i\" \"ball\" material \"metal_m\" transform 1 0 0 0 0 1 0 0 0 0 1 0 1.2 -1 0 1 "
           "end instance\n"
           "instance \"floor_i\" \"plane\" material \"floor_m\" end instance\n"
           "instgroup \"root\" \"cam_i\" \"key_i\" \"glass_i\" \"metal_i\" \"floor_i\" end instgroup\n"
           "render \"root\" \"cam_i\" \"opt\"\n";
}

} // namespace

int main(int argc, char** argv) {
    const int repeat = orn::bench::repeat_option(argc, argv, 3);
    orn::Messages::set_verbosity(1);

    std::printf("# glass and metal, glossy reflection 16 samples, occlusion 16 samples, 640 x 480\n");
    std::printf("%-8s %12s\n", "threads", "frame ms");
    double one = 0;
    for (int threads : {1, 2}) {
        Loaded l = orn::bench::load(scene(2, 0, 0, threads), threads, "bench_raytree.mi");
        if (!l.frame) return 1;
        const double t = best_seconds(repeat, [&] { l.frame->render_pixels(); });
        if (threads == 1) one = t;
        std::printf("%-8d %12.1f\n", threads, t * 1e3);
        if (threads == 2) std::printf("# 2-thread speed-up: %.2f\n", one / t);
        l.frame->finish();
    }

    std::printf("\n# rays per eye sample\n%-12s %-12s %14s\n", "trace depth", "one-branch", "rays/sample");
    for (int depth : {2, 6})
        for (int branch : {0, 1}) {
            Loaded l = orn::bench::load(scene(depth, branch, 0, 2), 2, "bench_raytree.mi");
            if (!l.frame) return 1;
            l.frame->render_pixels();
            std::printf("%-12d %-12s %14.2f\n", depth, branch ? "on" : "off",
                        double(l.frame->rays_traced()) /
                            double(std::max<uint64_t>(1, l.frame->eye_samples())));
            l.frame->finish();
        }

    std::printf("\n# photon pass\n");
    const auto t0 = Clock::now();
    Loaded l = orn::bench::load(scene(2, 0, 1000000, 1), 1, "bench_raytree.mi");
    if (!l.frame) return 1;
    const double t = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("1000000 photons emitted, %zu stored, %.2f s (scene set-up included)\n",
                l.frame->photon_count(), t);
    l.frame->finish();
    return 0;
}
