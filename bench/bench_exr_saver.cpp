// The EXR output shader on a 1920 x 1080 frame with RGBA, Z and all 25 tk layers, for half
// and float samples and every compression, against a plain OpenEXR write of the same channels
// and pixels in the same run; and the peak memory each needs beyond what the frame already
// holds, next to the bytes of pixel data written.
//
//   bench_exr_saver [repetitions [compression]]
//
// Saver and plain write alternate; the table gives the best time of each and the median and
// range of the paired ratios over the repetitions (default 1); a compression code 1 to 8
// measures only that one. The plain write includes the allocation of its half buffers and the
// conversion. Peak memory is the largest rise of the resident set over one run, each side
// measured the same way from a trimmed heap (-1 where the kernel cannot reset the mark).
// The tk buffer table is part of the module, which the benchmark reaches only through the
// renderer: compile the one definition in here rather than repeat it.
#include "common/tk_buffers.h"
#include "db/database.h"
#include "render/frame.h"
#include "render/session.h"
#include "trace/thread_context.h"

#include <Imath/half.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfThreading.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// Kilobytes of a /proc/self/status field ("VmHWM", "VmRSS").
long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
    return -1;
}

// Restarts the high-water mark at the current resident size. Free heap memory is handed back
// first: pages that an earlier run left resident would otherwise be reused without raising the
// mark, and whichever side ran after the other would look smaller. False when the kernel does
// not reset the mark, whose reading would then be the process's peak so far.
bool reset_peak() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    return status_kb("VmHWM") <= status_kb("VmRSS") + 64;
}

struct Measure {
    double seconds = 1e30;
    double peak_mb = 0; // above the resident size at the start; negative when unknown
};

Measure measure(const std::function<void()>& run) {
    Measure m;
    const bool peak = reset_peak();
    const long rss = status_kb("VmRSS");
    const auto t0 = Clock::now();
    run();
    m.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    m.peak_mb = peak ? double(status_kb("VmHWM") - rss) / 1024.0 : -1.0;
    return m;
}

std::string scene(const std::string& dir) {
    std::string s = std::string("link \"") + ORN_BUILD_DIR + "/lib/shaders_orn.so\"\n$include \"" +
                    ORN_SOURCE_DIR +
                    "/declarations/shaders_orn.mi\"\n"
                    "options \"opt\" samples 0 0 filter box 1 1 end options\n"
                    "camera \"cam\" focal 1 aperture 1 aspect 1.7777778 resolution 1920 1080\n";
    for (const auto& b : orn::kTkBuffers)
        s += std::string("framebuffer \"") + b.name + "\" (\"datatype\" \"rgb_fp\", \"user\" on)\n";
    s += "end camera\ninstance \"cam_i\" \"cam\" end instance\n"
         "shader \"grey\" \"orn_constant\" (\"color\" 0.5 0.5 0.5 1)\n"
         "material \"m\" = \"grey\" end material\n"
         "object \"slope\" visible shadow trace group\n"
         "  -50 -50 -20  50 -50 -20  50 50 -4  -50 50 -4\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end "
         "object\n"
         "instance \"slope_i\" \"slope\" material \"m\" end instance\n";
    for (int format : {1, 2})
        for (int c = 1; c <= 8; ++c) {
            s += "shader \"saver_" + std::to_string(format) + "_" + std::to_string(c) +
                 "\" \"orn_OpenEXR_saver\" (\"fileName\" \"" + dir + "/saver.exr\", \"compression\" " +
                 std::to_string(c) + ", \"rgbaPass\" on, \"rgbaFormat\" " + std::to_string(format) +
                 ", \"zPass\" on, \"zFormat\" " + std::to_string(format);
            for (const auto& b : orn::kTkBuffers)
                s += std::string(", \"") + b.saver_group + "Pass\" on, \"" + b.saver_group + "Buffer\" \"" +
                     b.name + "\", \"" + b.saver_group + "Format\" " + std::to_string(format);
            s += ")\n";
        }
    return s + "instgroup \"root\" \"cam_i\" \"slope_i\" end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

// Smooth gradients with a little per-pixel noise, different for every buffer and channel, so
// that compression has real work to do.
float pattern(int k, int c, int x, int y) {
    uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ uint32_t(k * 4 + c) * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    const float noise = float(h & 0xffff) / 65535.f * 0.02f;
    return 0.5f + 0.5f * std::sin(0.004f * x * (k + 1) + 0.003f * y * (c + 1)) + noise;
}

// The same channels as the shader writes, in memory the way a plain writer would hold them.
struct PlainImage {
    std::vector<std::string> names;
    std::vector<std::vector<float>> channels; // top row first
};

PlainImage collect(miState* state, const std::vector<long>& tk_index) {
    PlainImage img;
    auto add = [&](const std::string& name) {
        img.names.push_back(name);
        img.channels.emplace_back(size_t(kWidth) * kHeight);
        return img.channels.size() - 1;
    };
    const size_t rgba = add("R");
    add("G"), add("B"), add("A");
    const size_t z = add("Z.z");
    std::vector<size_t> tk;
    for (const auto& b : orn::kTkBuffers) {
        tk.push_back(add(std::string(b.layer) + ".r"));
        add(std::string(b.layer) + ".g"), add(std::string(b.layer) + ".b");
    }
    miImg_image* colour = mi_output_image_open(state, miRC_IMAGE_RGBA);
    miImg_image* depth = mi_output_image_open(state, miRC_IMAGE_Z);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const size_t i = size_t(kHeight - 1 - y) * kWidth + x;
            miColor c;
            mi_img_get_color(colour, &c, x, y);
            img.channels[rgba][i] = c.r, img.channels[rgba + 1][i] = c.g;
            img.channels[rgba + 2][i] = c.b, img.channels[rgba + 3][i] = c.a;
            mi_img_get_depth(depth, &img.channels[z][i], x, y);
        }
    mi_output_image_close(state, miRC_IMAGE_RGBA);
    mi_output_image_close(state, miRC_IMAGE_Z);
    for (int k = 0; k < orn::kTkBufferCount; ++k) {
        const miUint n = miUint(tk_index[k]) + miRC_IMAGE_USER;
        miImg_image* buf = mi_output_image_open(state, n);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                miColor c{pattern(k, 0, x, y), pattern(k, 1, x, y), pattern(k, 2, x, y), 1.f};
                mi_img_put_color(buf, &c, x, y);
                const size_t i = size_t(kHeight - 1 - y) * kWidth + x;
                img.channels[tk[k]][i] = c.r, img.channels[tk[k] + 1][i] = c.g,
                img.channels[tk[k] + 2][i] = c.b;
            }
        mi_output_image_close(state, n);
    }
    return img;
}

// What a plain writer does with float pixels: allocates its half buffers and converts into
// them when it writes half samples, then writes every row at once.
void plain_write(const std::string& path, const PlainImage& img, bool use_half,
                 Imf::Compression compression) {
    Imf::Header header(kWidth, kHeight, 1.f, Imath::V2f(0, 0), 1.f, Imf::INCREASING_Y, compression);
    Imf::FrameBuffer fb;
    std::vector<std::vector<half>> halves;
    if (use_half)
        for (const auto& c : img.channels)
            halves.emplace_back(c.begin(), c.end());
    for (size_t c = 0; c < img.names.size(); ++c) {
        const Imf::PixelType type = use_half ? Imf::HALF : Imf::FLOAT;
        header.channels().insert(img.names[c], Imf::Channel(type));
        char* base = use_half ? (char*)halves[c].data() : (char*)img.channels[c].data();
        const size_t bytes = use_half ? sizeof(half) : sizeof(float);
        fb.insert(img.names[c], Imf::Slice(type, base, bytes, bytes * kWidth));
    }
    Imf::OutputFile out(path.c_str(), header, Imf::globalThreadCount());
    out.setFrameBuffer(fb);
    out.writePixels(kHeight);
}

} // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    const int only = argc > 2 ? std::atoi(argv[2]) : 0;
    const fs::path dir = fs::temp_directory_path() / "orn_bench_exr";
    fs::create_directories(dir);

    orn::SessionOptions options;
    options.render.progress = false;
    orn::Session session(options);
    if (!session.load_string(scene(dir.string()), "bench_exr.mi")) return 1;
    std::unique_ptr<orn::Frame> frame = session.make_frame(0);
    if (!frame || !frame->prepare()) return 1;
    frame->render_pixels();
    orn::ThreadContext::set_current(&frame->main_context());
    miState* state = frame->main_context().begin_sample(0, 0, 0);

    std::vector<long> tk_index;
    for (const auto& b : orn::kTkBuffers)
        tk_index.push_back(long(orn::tk_buffer_index(state, b.name)));
    if (std::count(tk_index.begin(), tk_index.end(), -1L) > 0) {
        std::fprintf(stderr, "the frame lacks tk buffers\n");
        return 1;
    }
    const PlainImage plain = collect(state, tk_index);

    std::printf("%d x %d, %zu channels, OpenEXR threads %d, best of %d\n", kWidth, kHeight,
                plain.names.size(), Imf::globalThreadCount(), reps);
    std::printf("%-6s %-6s %9s %9s %7s %11s %11s %11s %11s\n", "format", "comp", "saver s", "plain s",
                "ratio", "range", "pixel MB", "saver MB", "plain MB");
    const char* names[9] = {"", "none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a"};
    for (int format : {1, 2}) {
        const bool use_half = format == 1;
        const double pixel_mb =
            double(kWidth) * kHeight * plain.names.size() * (use_half ? 2 : 4) / (1024.0 * 1024.0);
        for (int c = 1; c <= 8; ++c) {
            if (only >= 1 && only <= 8 && c != only) continue;
            const std::string name = "saver_" + std::to_string(format) + "_" + std::to_string(c);
            auto* fe = session.db().get_as<orn::FunctionElement>(session.db().lookup(name), miSCENE_FUNCTION);
            if (!fe) return 1;
            // Saver and plain write take turns; the ratio is the median of the paired ratios.
            const std::string plain_path = (dir / "plain.exr").string();
            Measure saver, direct;
            std::vector<double> ratios;
            for (int r = 0; r < reps; ++r) {
                const Measure a = measure([&] {
                    miBoolean ok = miFALSE;
                    frame->call_shader(&fe->function, &ok, frame->main_context().begin_sample(0, 0, 0));
                    if (!ok) std::fprintf(stderr, "%s failed\n", name.c_str());
                });
                const Measure b =
                    measure([&] { plain_write(plain_path, plain, use_half, Imf::Compression(c - 1)); });
                ratios.push_back(a.seconds / b.seconds);
                saver.seconds = std::min(saver.seconds, a.seconds);
                direct.seconds = std::min(direct.seconds, b.seconds);
                // an unknown peak stays unknown
                saver.peak_mb =
                    std::min(saver.peak_mb, a.peak_mb) < 0 ? -1.0 : std::max(saver.peak_mb, a.peak_mb);
                direct.peak_mb =
                    std::min(direct.peak_mb, b.peak_mb) < 0 ? -1.0 : std::max(direct.peak_mb, b.peak_mb);
            }
            std::sort(ratios.begin(), ratios.end());
            const double ratio = ratios[ratios.size() / 2];
            std::printf("%-6s %-6s %9.3f %9.3f %7.2f %5.2f-%-5.2f %11.1f %11.1f %11.1f\n",
                        use_half ? "half" : "float", names[c], saver.seconds, direct.seconds, ratio,
                        ratios.front(), ratios.back(), pixel_mb, saver.peak_mb, direct.peak_mb);
            std::fflush(stdout);
        }
    }
    orn::ThreadContext::set_current(nullptr);
    fs::remove_all(dir);
    return 0;
}
