// What light groups cost: scenes/lights.mi at 320x240 with every toolkit pass, its three lights
// and a fourth (a kicker, in the fill's category), rendered without light groups, with two groups (two lights
// each) and with four (one per light). The same frame each time: only the groups differ. Runs of the three
// are interleaved; printed are the median frame times and the median of the paired ratios to the frame
// without groups, with their range.
//
//   build/bin/bench_lightgroups [--repeat N] [--threads T]
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

std::string scene_text(const std::string& groups) {
    std::ifstream in(ORN_SOURCE_DIR "/scenes/lights.mi");
    std::stringstream text;
    text << in.rdbuf();
    std::string s = replace(text.str(), "\"meshes/", "\"" ORN_SOURCE_DIR "/scenes/meshes/");
    s = replace(s, "    shadow segments\n", "    shadow segments\n" + groups);
    const std::string kicker =
        "light \"kick\" \"orn_PointTK\" (\"color\" 0.9 0.9 1 1, \"intensity\" 1, \"emit_diffuse\" on, "
        "\"emit_specular\" on, \"decay_type\" 2, \"decay_start\" 0, \"shadow\" on, \"shadow_factor\" 0, "
        "\"category\" \"fill\")\n    origin -1.8 2.2 1.5\nend light\ninstance \"kick_i\" \"kick\" end "
        "instance\n";
    s = replace(s, "instance \"fill_i\" \"fill\" end instance\n",
                "instance \"fill_i\" \"fill\" end instance\n" + kicker);
    s = replace(s, "\"key_i\" \"fill_i\" \"back_i\"", "\"key_i\" \"fill_i\" \"kick_i\" \"back_i\"");
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const int repeat = orn::bench::repeat_option(argc, argv, 7);
    int threads = 1;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--threads") threads = std::max(1, std::atoi(argv[i + 1]));
    orn::Messages::set_verbosity(1);
    const char* names[3] = {"no groups", "2 groups", "4 groups"};
    const std::string variants[3] = {
        "    lightgroups off\n",
        "    lightgroup \"warm\" [\"key_i\", \"back_i\"]\n    lightgroup \"cool\" [\"fill_i\", \"kick_i\"]\n",
        "    lightgroup \"k\" \"key_i\"\n    lightgroup \"f\" \"fill_i\"\n    lightgroup \"b\" \"back_i\"\n"
        "    lightgroup \"x\" \"kick_i\"\n"};
    orn::bench::Loaded frames[3];
    for (int v = 0; v < 3; ++v) {
        frames[v] = orn::bench::load(scene_text(variants[v]), threads, "bench_lightgroups.mi");
        if (!frames[v].frame) return 1;
        std::printf("%-10s %d light groups tracked\n", names[v], frames[v].frame->tracked_light_groups());
    }
    std::vector<double> seconds[3], ratio[3];
    for (int r = 0; r < repeat; ++r) {
        double t[3];
        for (int v = 0; v < 3; ++v) {
            const auto t0 = orn::bench::Clock::now();
            frames[v].frame->render_pixels();
            t[v] = std::chrono::duration<double>(orn::bench::Clock::now() - t0).count();
            seconds[v].push_back(t[v]);
        }
        for (int v = 0; v < 3; ++v)
            ratio[v].push_back(t[v] / t[0]);
    }
    std::printf("%d thread(s), %d interleaved runs\n%-10s %12s %22s\n", threads, repeat, "", "frame (s)",
                "ratio (median, range)");
    for (int v = 0; v < 3; ++v) {
        const auto [lo, hi] = std::minmax_element(ratio[v].begin(), ratio[v].end());
        std::printf("%-10s %12.3f %10.3f (%.3f-%.3f)\n", names[v], orn::bench::median(seconds[v]),
                    orn::bench::median(ratio[v]), *lo, *hi);
    }
    return 0;
}
