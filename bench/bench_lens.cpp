// Depth of field against supersampling: the demo scene with every tk pass at 320x240, once
// with 16 eye samples per pixel and no lens, once with one eye sample per pixel through the
// depth-of-field lens with 16 rays (which also averages every pass buffer over its rays).
// Prints the frame times on 1 and 2 threads and their ratio.
//
//   build/bin/bench_lens [--repeat N]
#include "bench/bench_common.h"
#include "core/messages.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string replace(std::string s, const std::string& from, const std::string& to) {
    const size_t at = s.find(from);
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

std::string demo_text(bool lens) {
    std::ifstream in(ORN_SOURCE_DIR "/scenes/demo.mi");
    std::stringstream text;
    text << in.rdbuf();
    std::string s = replace(text.str(), "resolution 640 480", "resolution 320 240");
    s = replace(s, "\"meshes/", "\"" ORN_SOURCE_DIR "/scenes/meshes/");
    if (lens) {
        s = replace(s, "    samples 0 2\n", "    samples 0 0\n");
        s = replace(
            s, "    frame 1\nend camera",
            "    frame 1\n    lens \"orn_physical_lens_dof\" (\"focus_plane\" 9.1, \"lens_radius\" 0.3, "
            "\"samples\" 16)\nend camera");
    }
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const int repeat = orn::bench::repeat_option(argc, argv, 3);
    orn::Messages::set_verbosity(1);
    std::printf("%-8s %16s %16s %8s\n", "threads", "16 spp (s)", "lens 16 rays (s)", "ratio");
    for (int threads : {1, 2}) {
        double t[2];
        for (int lens = 0; lens < 2; ++lens) {
            auto l = orn::bench::load(demo_text(lens != 0), threads, "bench_lens.mi");
            if (!l.frame) return 1;
            t[lens] = orn::bench::best_seconds(repeat, [&] { l.frame->render_pixels(); });
        }
        std::printf("%-8d %16.3f %16.3f %8.3f\n", threads, t[0], t[1], t[1] / t[0]);
    }
    return 0;
}
