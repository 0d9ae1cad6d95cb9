// Adaptive sampling measured as time to equal error. Per scene: a reference at 256 samples per
// pixel, then uniform levels and adaptive settings, each timed (CPU time of the render, all
// threads) in interleaved rounds, with its relative mean squared error against the reference:
// the mean over pixels and r, g, b of (v - ref)^2 / (ref^2 + 0.01).
//
//   bench_adaptive [--scenes demo,lights,dof,hair] [--scale F] [--repeat N] [--threads N]
//
// --scale multiplies each scene's resolution (default 0.125; dof at half its size times F).
// Ratios are paired within a round against uniform 64 (and, for the demo as shipped, against
// `samples 2 2`); the medians and ranges of those pairs are printed.
#include "bench_common.h"

#include "core/messages.h"
#include "film/film.h"

#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace {

using orn::bench::median;
using orn::bench::option;

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

std::string read_scene(const std::string& path, double scale) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    const std::regex res(R"(resolution\s+(\d+)\s+(\d+))");
    std::smatch m;
    if (std::regex_search(text, m, res)) {
        const int w = std::max(1, int(std::lround(std::stod(m[1]) * scale)));
        const int h = std::max(1, int(std::lround(std::stod(m[2]) * scale)));
        text =
            m.prefix().str() + "resolution " + std::to_string(w) + " " + std::to_string(h) + m.suffix().str();
    }
    // Relative paths of meshes and textures from the scenes folder.
    return std::regex_replace(text, std::regex("\"meshes/"),
                              "\"" + std::string(ORN_SOURCE_DIR) + "/scenes/meshes/");
}

// The scene with its options' samples statement replaced (and a contrast added when given).
std::string with_sampling(const std::string& text, const std::string& sampling) {
    return std::regex_replace(text, std::regex(R"(\n(\s*)samples\s+-?\d+(\s+-?\d+)?)"), "\n$1" + sampling,
                              std::regex_constants::format_first_only);
}

struct Setting {
    std::string label;
    std::string sampling; // "" keeps the scene's own
};

struct Result {
    std::vector<double> seconds;
    double rel_mse = 0;
    unsigned long long samples = 0;
};

// Renders once; the colour plane (r, g, b per pixel) and the CPU time.
bool render(const std::string& text, const std::string& path, int threads, std::vector<float>& rgb,
            double& seconds, unsigned long long& samples) {
    // Named as its file, so that its includes are found beside it.
    auto l = orn::bench::load(text, threads, path);
    if (!l.frame) return false;
    const double c0 = cpu_seconds();
    l.frame->render_pixels();
    seconds = cpu_seconds() - c0;
    samples = l.frame->eye_samples();
    const orn::film::Film& film = l.frame->film();
    const std::vector<float>& c = film.resolved(orn::film::Color);
    rgb.resize(c.size() / 4 * 3);
    for (size_t i = 0; i < c.size() / 4; ++i)
        for (int k = 0; k < 3; ++k)
            rgb[3 * i + size_t(k)] = c[4 * i + size_t(k)];
    return true;
}

double rel_mse(const std::vector<float>& v, const std::vector<float>& ref) {
    double sum = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const double d = double(v[i]) - double(ref[i]);
        sum += d * d / (double(ref[i]) * double(ref[i]) + 0.01);
    }
    return v.empty() ? 0 : sum / double(v.size());
}

} // namespace

int main(int argc, char** argv) {
    const double scale = std::atof(option(argc, argv, "--scale", "0.125"));
    const int repeat = orn::bench::repeat_option(argc, argv, 3);
    const int threads = std::atoi(option(argc, argv, "--threads", "1"));
    std::vector<std::string> scenes;
    {
        std::stringstream ss(option(argc, argv, "--scenes", "demo,lights,dof,hair"));
        for (std::string s; std::getline(ss, s, ',');)
            scenes.push_back(s);
    }
    const std::vector<Setting> settings = {
        {"uniform 1", "samples 0 0"},
        {"uniform 4", "samples 1 1"},
        {"uniform 16", "samples 2 2"},
        {"uniform 64", "samples 3 3"},
        {"as shipped", ""},
        {"adaptive 1-64 c0.1", "samples 0 3 contrast 0.1 0.1 0.1 0.1"},
        {"adaptive 1-64 c0.05", "samples 0 3 contrast 0.05 0.05 0.05 0.05"},
        {"adaptive 1-64 c0.02", "samples 0 3 contrast 0.02 0.02 0.02 0.02"},
        {"adaptive 4-64 c0.05", "samples 1 3 contrast 0.05 0.05 0.05 0.05"},
        {"adaptive 1-256 c0.05", "samples 0 4 contrast 0.05 0.05 0.05 0.05"},
        {"adaptive 1-64 c0", "samples 0 3 contrast 0 0 0 0"},
    };
    orn::Messages::set_verbosity(1);
    std::printf("adaptive sampling, scale %g, %d thread(s), %d rounds\n", scale, threads, repeat);
    for (const std::string& name : scenes) {
        const std::string path = std::string(ORN_SOURCE_DIR) + "/scenes/" + name + ".mi";
        const std::string text = read_scene(path, name == "dof" ? 0.5 * scale : scale);
        std::vector<float> ref;
        double ref_seconds = 0;
        unsigned long long ref_samples = 0;
        if (!render(with_sampling(text, "samples 4 4"), path, threads, ref, ref_seconds, ref_samples)) {
            std::fprintf(stderr, "%s: the scene did not render\n", name.c_str());
            return 1;
        }
        std::map<std::string, Result> results;
        for (int r = 0; r < repeat; ++r)
            for (const Setting& s : settings) {
                std::vector<float> rgb;
                double seconds = 0;
                Result& res = results[s.label];
                if (!render(s.sampling.empty() ? text : with_sampling(text, s.sampling), path, threads, rgb,
                            seconds, res.samples))
                    return 1;
                res.seconds.push_back(seconds);
                res.rel_mse = rel_mse(rgb, ref);
            }
        std::printf("\n%s (reference 256 per pixel: %.2f s, %llu eye samples)\n", name.c_str(), ref_seconds,
                    ref_samples);
        std::printf("%-22s %10s %14s %12s %28s %22s\n", "setting", "cpu s", "eye samples", "rel MSE",
                    "time / uniform 64 (range)", "time / samples 2 2");
        const Result& u64 = results["uniform 64"];
        const Result& u16 = results["uniform 16"];
        for (const Setting& s : settings) {
            const Result& res = results[s.label];
            std::vector<double> r64, r16;
            for (int r = 0; r < repeat; ++r) {
                r64.push_back(res.seconds[size_t(r)] / u64.seconds[size_t(r)]);
                r16.push_back(res.seconds[size_t(r)] / u16.seconds[size_t(r)]);
            }
            std::printf("%-22s %10.3f %14llu %12.3g %10.3f (%.3f-%.3f) %14.3f (%.3f-%.3f)\n", s.label.c_str(),
                        median(res.seconds), res.samples, res.rel_mse, median(r64),
                        *std::min_element(r64.begin(), r64.end()), *std::max_element(r64.begin(), r64.end()),
                        median(r16), *std::min_element(r16.begin(), r16.end()),
                        *std::max_element(r16.begin(), r16.end()));
        }
        std::fflush(stdout);
    }
    return 0;
}
