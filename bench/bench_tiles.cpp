// Split frames:
//  1. total CPU of the demo at 1920x1080 rendered in one piece against four parts (each its own
//     scene read, as on a farm) plus their merge, on 2 threads; the saver's files must be equal;
//  2. the merge of an 80-channel 1920x1080 frame from four parts (read them, write the frame as
//     one file) against a plain OpenEXR read and write of the same frame as one file.
//
//   build/bin/bench_tiles [--repeat N] [--samples LEVEL]   (LEVEL: the options' max samples, 0-2;
//                                                          -1 leaves the render out)
#include "bench/bench_common.h"
#include "core/messages.h"
#include "film/film.h"
#include "film/part_file.h"
#include "render/merge.h"
#include "render/session.h"

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfOutputFile.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using orn::bench::best_seconds;

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

template <typename F> double cpu_of(F&& f) {
    const double t0 = cpu_seconds();
    f();
    return cpu_seconds() - t0;
}

bool same_file(const fs::path& a, const fs::path& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    return fa && fb &&
           std::string(std::istreambuf_iterator<char>(fa), {}) ==
               std::string(std::istreambuf_iterator<char>(fb), {});
}

orn::SessionOptions options(const fs::path& out) {
    orn::SessionOptions o;
    o.render.threads = 2;
    o.render.progress = false;
    o.render.output_dir = out.string();
    return o;
}

void split_overhead(const fs::path& work, int level) {
    std::ifstream in(std::string(ORN_SOURCE_DIR) + "/scenes/demo.mi");
    std::string text{std::istreambuf_iterator<char>(in), {}};
    text = std::regex_replace(text, std::regex("resolution 640 480"), "resolution 1920 1080");
    text = std::regex_replace(text, std::regex("samples 0 2"), "samples 0 " + std::to_string(level));
    text = std::regex_replace(text, std::regex("\"meshes/"),
                              "\"" + std::string(ORN_SOURCE_DIR) + "/scenes/meshes/");
    const fs::path scene = work / "demo.mi";
    std::ofstream(scene) << text;

    const double whole = cpu_of([&] {
        orn::Session s(options(work / "whole"));
        if (!s.load_file(scene.string()) || !s.render_all()) std::fprintf(stderr, "whole render failed\n");
    });
    double parts = 0.0;
    for (int i = 0; i < 4; ++i)
        parts += cpu_of([&] {
            orn::Session s(options(work / "parts"));
            if (!s.load_file(scene.string()) || !s.render_parts(i, 4, (work / "parts").string()))
                std::fprintf(stderr, "part %d failed\n", i);
        });
    const double merge = cpu_of([&] {
        if (!orn::merge_parts({scene.string()}, {(work / "parts").string()}, options(work / "merged")))
            std::fprintf(stderr, "merge failed\n");
    });
    const char* file = "out/demo.singleTK.0001.exr";
    std::printf("demo 1920x1080, %d samples per pixel, 2 threads, total CPU:\n", 1 << (2 * level));
    std::printf("  one piece          %8.2f s\n", whole);
    std::printf("  4 parts            %8.2f s\n", parts);
    std::printf("  merge              %8.2f s\n", merge);
    std::printf("  parts + merge      %8.2f s: %+.1f%% (%s)\n", parts + merge,
                100.0 * (parts + merge - whole) / whole,
                same_file(work / "whole" / file, work / "merged" / file) ? "files equal" : "FILES DIFFER");
}

// Every channel of an EXR file read into float arrays and written again under another name, at
// OpenEXR's default zlib level or at the parts' level 1.
void plain_copy(const std::string& from, const std::string& to, bool fast) {
    Imf::InputFile in(from.c_str());
    const Imath::Box2i dw = in.header().dataWindow();
    const size_t w = size_t(dw.max.x - dw.min.x + 1), h = size_t(dw.max.y - dw.min.y + 1);
    std::vector<std::vector<float>> data;
    Imf::FrameBuffer fb;
    for (auto c = in.header().channels().begin(); c != in.header().channels().end(); ++c) {
        data.emplace_back(w * h);
        fb.insert(c.name(), Imf::Slice::Make(c.channel().type, data.back().data(), dw));
    }
    in.setFrameBuffer(fb);
    in.readPixels(dw.min.y, dw.max.y);
    Imf::Header header = in.header();
    if (fast) header.zipCompressionLevel() = 1;
    Imf::OutputFile out(to.c_str(), header);
    out.setFrameBuffer(fb);
    out.writePixels(int(h));
}

void merge_80_channels(const fs::path& work, int repeat) {
    auto make_film = [] {
        auto f = std::make_unique<orn::film::Film>(1920, 1080, 1);
        for (int i = 0; i < 22; ++i)
            f->add_plane("pass" + std::to_string(i), 3, true);
        f->add_plane("extra", 1, true);
        return f;
    };
    auto film = make_film();
    int channels = 0;
    for (int p = 0; p < film->plane_count(); ++p) {
        const int comps = film->plane_info(p).components;
        channels += comps;
        for (int y = 0; y < film->height(); ++y)
            for (int x = 0; x < film->width(); ++x)
                for (int c = 0; c < comps; ++c)
                    film->pixel_mutable(p, x, y)[c] = float((x * 7 + y * 13 + p * 3 + c) % 1000) * 0.001f;
    }
    orn::film::PartOrigin origin;
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) {
        origin.tile = i;
        origin.tiles = 4;
        paths.push_back((work / ("p" + std::to_string(i) + ".exr")).string());
        orn::film::write_part(*film, 1080 - (i + 1) * 270, 1080 - i * 270, origin, paths.back());
    }
    const std::string whole = (work / "whole80.exr").string();
    orn::film::write_part(*film, 0, 1080, origin, whole);
    const double merge = best_seconds(repeat, [&] {
        auto f = make_film();
        for (const auto& p : paths) {
            orn::film::PartFile part;
            if (orn::film::read_part_header(p, part) || orn::film::read_part_pixels(part, *f))
                std::fprintf(stderr, "reading %s failed\n", p.c_str());
        }
        orn::film::write_part(*f, 0, 1080, origin, (work / "merged80.exr").string());
    });
    const double plain =
        best_seconds(repeat, [&] { plain_copy(whole, (work / "copy80.exr").string(), false); });
    const double fast =
        best_seconds(repeat, [&] { plain_copy(whole, (work / "fast80.exr").string(), true); });
    std::printf("%d-channel 1920x1080 frame, ZIP, best of %d:\n", channels, repeat);
    std::printf("  merge of 4 parts into one file   %7.3f s\n", merge);
    std::printf("  plain OpenEXR read + write        %7.3f s  (merge/plain %.2f)\n", plain, merge / plain);
    std::printf("  the same, written at zlib level 1 %7.3f s  (merge/plain %.2f)\n", fast, merge / fast);
}

} // namespace

int main(int argc, char** argv) {
    const int repeat = orn::bench::repeat_option(argc, argv, 3);
    int level = 1;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--samples") == 0) level = std::clamp(std::atoi(argv[i + 1]), -1, 2);
    orn::Messages::set_verbosity(1);
    const fs::path work = fs::temp_directory_path() / "orn_bench_tiles";
    fs::remove_all(work);
    fs::create_directories(work / "parts");
    merge_80_channels(work, repeat);
    if (level >= 0) split_overhead(work, level);
    fs::remove_all(work);
    return 0;
}
