// Big scenes: the memory and the BVH build time of a scene of 10 M triangles and 1 M hairs, the
// renderer against bare Embree building the same geometry with the same scene flags.
//
// Each run is a process of its own (this program started again with --side), so that its peak
// resident size (VmHWM) is its own; renderer and bare runs alternate, the order swapped every
// round. Both sides make the same geometry in memory first: the renderer as the scene reader
// hands it over (an object statement with a polygon mesh, one with hair data), going through
// Session::load_statements and make_frame like a scene file; the bare side as an application
// would hold it for Embree (positions, triangle indices, curve control points and segment
// starts), shared with Embree without a copy. Memory is the growth of the resident size over
// the process's size at start: at its peak and after the build. rtcCommitScene is interposed
// (this program defines it and calls Embree's own), so that the BVH build is timed the same
// way on both sides: in wall time, and in the CPU time of all threads in user mode (the
// build's own work, which other processes on the machine disturb less) and in the kernel
// (clearing the fresh pages the build touches); "whole" is everything from the geometry in
// memory to the scene ready.
//
//   build/bin/bench_bigscene [--repeat N] [--triangles N] [--hairs N] [--segments S]
//                            [--no-huge-pages]
//
// Embree asks for transparent huge pages for its BVH; on this machine the kernel's clearing of
// fresh huge pages takes from 0.4 to 2.7 s for the same build. --no-huge-pages turns them off
// for both sides (prctl), which takes that variation out of the build times.
#include "bench/bench_common.h"
#include "core/messages.h"
#include "render/session.h"
#include "scene/parser.h"
#include "trace/geometry_scene.h"

#include <embree3/rtcore.h>

#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using orn::bench::Clock;
using orn::bench::median;
using orn::bench::seconds;

double g_commit_seconds = 0; // inside rtcCommitScene, summed over the scenes built
// The same in the CPU time of all threads: in user mode (the build's own work) and in the
// kernel (mostly clearing the fresh pages it touches).
double g_commit_user = 0, g_commit_system = 0;

void cpu_seconds(double& user, double& system) {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    user = double(u.ru_utime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec);
    system = double(u.ru_stime.tv_sec) + 1e-6 * double(u.ru_stime.tv_usec);
}

} // namespace

extern "C" void rtcCommitScene(RTCScene scene) {
    using F = void (*)(RTCScene);
    static const F f = reinterpret_cast<F>(dlsym(RTLD_NEXT, "rtcCommitScene"));
    if (!f) {
        std::fprintf(stderr, "bench_bigscene: Embree's rtcCommitScene not found\n");
        std::abort();
    }
    double u0, s0, u1, s1;
    cpu_seconds(u0, s0);
    const double t = seconds([&] { f(scene); });
    g_commit_seconds += t;
    cpu_seconds(u1, s1);
    g_commit_user += u1 - u0;
    g_commit_system += s1 - s0;
}

namespace {

// A line of /proc/self/status in bytes ("VmRSS", "VmHWM").
double status_bytes(const char* key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, std::strlen(key), key) == 0 && line[std::strlen(key)] == ':')
            return std::atof(line.c_str() + std::strlen(key) + 1) * 1024.0;
    return 0;
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

using orn::bench::flag;
using orn::bench::option;

// ---------------------------------------------------------------- the geometry

struct Size {
    size_t triangles = 10'000'000, hairs = 1'000'000;
    int segments = 3; // cubic segments per hair
};

// A rippled square of nx x nz quads, two triangles each, in y = 0 +- 0.05.
struct Grid {
    size_t nx = 0, nz = 0;
    explicit Grid(size_t triangles) {
        nx = std::max<size_t>(1, size_t(std::lround(std::sqrt(double(triangles) / 2))));
        nz = std::max<size_t>(1, triangles / 2 / nx);
    }
    size_t vertices() const { return (nx + 1) * (nz + 1); }
    size_t triangles() const { return 2 * nx * nz; }
    template <typename Out> void positions(Out&& out) const {
        for (size_t j = 0; j <= nz; ++j)
            for (size_t i = 0; i <= nx; ++i) {
                const float x = -1.f + 2.f * float(i) / float(nx), z = -1.f + 2.f * float(j) / float(nz);
                out(x, 0.05f * std::sin(7.f * x) * std::cos(5.f * z), z);
            }
    }
    template <typename Out> void indices(Out&& out) const {
        for (size_t j = 0; j < nz; ++j)
            for (size_t i = 0; i < nx; ++i) {
                const auto a = uint32_t(j * (nx + 1) + i), b = uint32_t(a + nx + 1);
                out(a, b, a + 1);
                out(a + 1, b, b + 1);
            }
    }
};

// Hairs on a square grid over the same patch, each a chain of cubic segments that rises and
// bends, tapering from root to tip: x, y, z, radius per control point.
template <typename Out> void hair_points(const Size& s, Out&& out) {
    const size_t side = std::max<size_t>(1, size_t(std::lround(std::sqrt(double(s.hairs)))));
    const int points = 3 * s.segments + 1;
    for (size_t k = 0; k < s.hairs; ++k) {
        const float x = -1.f + 2.f * (float(k % side) + 0.5f) / float(side);
        const float z = -1.f + 2.f * (float(k / side) + 0.5f) / float(side);
        const float bend = 0.02f * std::sin(float(k) * 0.618f);
        for (int v = 0; v < points; ++v) {
            const float t = float(v) / float(points - 1);
            out(x + bend * t * t, 0.06f + 0.1f * t, z, 0.0004f * (1.f - 0.8f * t));
        }
    }
}

// ---------------------------------------------------------------- one run

struct Result {
    double rss0 = 0, rss_input = 0, rss_loaded = 0, hwm = 0, rss_end = 0; // bytes
    double whole = 0, commit = 0, commit_user = 0, commit_system = 0;     // seconds
    size_t triangles = 0, segments = 0;
};

const char* const kSceneText = "options \"opt\" samples 0 0 end options\n"
                               "camera \"cam\" focal 50 aperture 36 aspect 1 resolution 64 64 end camera\n"
                               "instance \"cam_i\" \"cam\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 -4 1 "
                               "end instance\n"
                               "instance \"grid_i\" \"grid\" end instance\n"
                               "instance \"fur_i\" \"fur\" end instance\n"
                               "instgroup \"root\" \"cam_i\" \"grid_i\" \"fur_i\" end instgroup\n"
                               "render \"root\" \"cam_i\" \"opt\"\n";

Result run_renderer(const Size& s) {
    Result r;
    r.rss0 = status_bytes("VmRSS");
    auto parsed = orn::scene::parse_string(kSceneText, "bigscene.mi");
    if (!parsed.ok) {
        std::fprintf(stderr, "bench_bigscene: the scene text does not read\n");
        std::exit(1);
    }
    // The two objects as the reader makes them from polygon groups and a hair block.
    const Grid grid(s.triangles);
    orn::scene::ObjectStmt mesh;
    mesh.name = "grid";
    mesh.mesh.P.reserve(3 * grid.vertices());
    grid.positions([&](float x, float y, float z) { mesh.mesh.P.insert(mesh.mesh.P.end(), {x, y, z}); });
    mesh.mesh.triangles.reserve(3 * grid.triangles());
    grid.indices([&](uint32_t a, uint32_t b, uint32_t c) {
        mesh.mesh.triangles.insert(mesh.mesh.triangles.end(), {a, b, c});
    });
    mesh.mesh.triangle_material.assign(grid.triangles(), -1); // no polygon names a material
    orn::scene::ObjectStmt fur;
    fur.name = "fur";
    orn::scene::HairData h;
    h.degree = 3;
    h.vertex_info = {{'r', 1}};
    const size_t per_hair = 4 * size_t(3 * s.segments + 1);
    h.scalars.reserve(s.hairs * per_hair);
    hair_points(s, [&](float x, float y, float z, float radius) {
        h.scalars.insert(h.scalars.end(), {x, y, z, radius});
    });
    h.hairs.reserve(s.hairs + 1);
    for (size_t k = 0; k <= s.hairs; ++k)
        h.hairs.push_back(uint32_t(k * per_hair));
    fur.hair = std::move(h);
    std::vector<orn::scene::Statement> statements;
    statements.emplace_back(std::move(mesh));
    statements.emplace_back(std::move(fur));
    for (auto& st : parsed.statements)
        statements.push_back(std::move(st));
    r.rss_input = status_bytes("VmRSS");

    orn::SessionOptions o;
    o.render.threads = 2;
    o.render.progress = false;
    orn::Session session(o);
    std::unique_ptr<orn::Frame> frame;
    r.whole = seconds([&] {
        if (!session.load_statements(std::move(statements))) {
            std::fprintf(stderr, "bench_bigscene: the generated scene does not build\n");
            std::exit(1);
        }
        r.rss_loaded = status_bytes("VmRSS");
        frame = session.make_frame();
    });
    if (!frame) {
        std::fprintf(stderr, "bench_bigscene: no frame\n");
        std::exit(1);
    }
    r.commit = g_commit_seconds;
    r.commit_user = g_commit_user;
    r.commit_system = g_commit_system;
    r.hwm = status_bytes("VmHWM");
    r.rss_end = status_bytes("VmRSS");
    r.triangles = session.world()->triangle_count();
    r.segments = s.hairs * size_t(s.segments);
    return r;
}

Result run_bare(const Size& s) {
    Result r;
    r.rss0 = status_bytes("VmRSS");
    const Grid grid(s.triangles);
    // Embree reads vertex buffers 16 bytes at a time: one vertex (or point) more is allocated.
    std::vector<float> positions;
    positions.reserve(3 * grid.vertices() + 3);
    grid.positions([&](float x, float y, float z) { positions.insert(positions.end(), {x, y, z}); });
    positions.insert(positions.end(), {0.f, 0.f, 0.f});
    std::vector<uint32_t> indices;
    indices.reserve(3 * grid.triangles());
    grid.indices([&](uint32_t a, uint32_t b, uint32_t c) { indices.insert(indices.end(), {a, b, c}); });
    const size_t per_hair = size_t(3 * s.segments + 1);
    std::vector<float> points;
    points.reserve(4 * s.hairs * per_hair + 4);
    hair_points(s, [&](float x, float y, float z, float radius) {
        points.insert(points.end(), {x, y, z, radius});
    });
    points.insert(points.end(), {0.f, 0.f, 0.f, 0.f});
    std::vector<uint32_t> first;
    first.reserve(s.hairs * size_t(s.segments));
    for (size_t k = 0; k < s.hairs; ++k)
        for (int g = 0; g < s.segments; ++g)
            first.push_back(uint32_t(k * per_hair + 3 * size_t(g)));
    r.rss_input = status_bytes("VmRSS");

    RTCDevice device = nullptr;
    RTCScene scene = nullptr;
    r.whole = seconds([&] {
        device = rtcNewDevice(nullptr);
        scene = rtcNewScene(device);
        RTCGeometry tri = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
        rtcSetSharedGeometryBuffer(tri, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, positions.data(), 0,
                                   3 * sizeof(float), grid.vertices());
        rtcSetSharedGeometryBuffer(tri, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, indices.data(), 0,
                                   3 * sizeof(uint32_t), grid.triangles());
        rtcCommitGeometry(tri);
        rtcAttachGeometry(scene, tri);
        rtcReleaseGeometry(tri);
        RTCGeometry curves = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_ROUND_BEZIER_CURVE);
        rtcSetSharedGeometryBuffer(curves, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT4, points.data(), 0,
                                   4 * sizeof(float), s.hairs * per_hair);
        rtcSetSharedGeometryBuffer(curves, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT, first.data(), 0,
                                   sizeof(uint32_t), first.size());
        rtcSetGeometryIntersectFilterFunction(curves, orn::hair_outside_only);
        rtcSetGeometryOccludedFilterFunction(curves, orn::hair_outside_only);
        rtcCommitGeometry(curves);
        rtcAttachGeometry(scene, curves);
        rtcReleaseGeometry(curves);
        // The renderer's flags: robust kernels, and context filters for its shadow rays.
        rtcSetSceneFlags(scene,
                         RTCSceneFlags(RTC_SCENE_FLAG_ROBUST | RTC_SCENE_FLAG_CONTEXT_FILTER_FUNCTION));
        rtcCommitScene(scene);
    });
    r.commit = g_commit_seconds;
    r.commit_user = g_commit_user;
    r.commit_system = g_commit_system;
    r.hwm = status_bytes("VmHWM");
    r.rss_end = status_bytes("VmRSS");
    r.triangles = grid.triangles();
    r.segments = first.size();
    rtcReleaseScene(scene);
    rtcReleaseDevice(device);
    return r;
}

void print(const Result& r) {
    std::printf("%.0f %.0f %.0f %.0f %.0f %.6f %.6f %.6f %.6f %zu %zu\n", r.rss0, r.rss_input, r.rss_loaded,
                r.hwm, r.rss_end, r.whole, r.commit, r.commit_user, r.commit_system, r.triangles, r.segments);
}

bool parse(const std::string& line, Result& r) {
    return std::sscanf(line.c_str(), "%lf %lf %lf %lf %lf %lf %lf %lf %lf %zu %zu", &r.rss0, &r.rss_input,
                       &r.rss_loaded, &r.hwm, &r.rss_end, &r.whole, &r.commit, &r.commit_user,
                       &r.commit_system, &r.triangles, &r.segments) == 11;
}

// This program again, on one side, in a process of its own; its last line of output.
bool run_child(const char* side, const Size& s, bool huge_pages, Result& r) {
    int fd[2];
    if (pipe(fd) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(fd[1], 1);
        close(fd[0]);
        close(fd[1]);
        const std::string t = std::to_string(s.triangles), h = std::to_string(s.hairs),
                          g = std::to_string(s.segments);
        execl("/proc/self/exe", "bench_bigscene", "--side", side, "--triangles", t.c_str(), "--hairs",
              h.c_str(), "--segments", g.c_str(),
              huge_pages ? static_cast<char*>(nullptr) : "--no-huge-pages", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fd[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fd[0], buf, sizeof buf)) > 0;)
        out.append(buf, size_t(n));
    close(fd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    std::istringstream lines(out);
    std::string line, last;
    while (std::getline(lines, line))
        if (!line.empty()) last = line;
    return parse(last, r);
}

struct Spread {
    double mid, lo, hi;
};

Spread spread(const std::vector<double>& v) {
    return {median(v), *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end())};
}

} // namespace

int main(int argc, char** argv) {
    Size s;
    s.triangles = size_t(std::atof(option(argc, argv, "--triangles", "10e6")));
    s.hairs = size_t(std::atof(option(argc, argv, "--hairs", "1e6")));
    s.segments = std::max(1, std::atoi(option(argc, argv, "--segments", "3")));
    const std::string side = option(argc, argv, "--side", "");
    if (side == "renderer" || side == "bare") {
        if (flag(argc, argv, "--no-huge-pages")) prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
        orn::Messages::set_verbosity(1);
        print(side == "renderer" ? run_renderer(s) : run_bare(s));
        return 0;
    }
    const int repeat = orn::bench::repeat_option(argc, argv, 5);
    const bool huge_pages = !flag(argc, argv, "--no-huge-pages");
    std::printf("# load average at start %s\n", load_average().c_str());
    std::vector<Result> ren, bare;
    for (int i = 0; i < repeat; ++i) {
        const bool renderer_first = i % 2 == 0;
        for (int k = 0; k < 2; ++k) {
            const bool is_renderer = (k == 0) == renderer_first;
            Result r;
            if (!run_child(is_renderer ? "renderer" : "bare", s, huge_pages, r)) {
                std::fprintf(stderr, "bench_bigscene: a %s run failed\n", is_renderer ? "renderer" : "bare");
                return 1;
            }
            (is_renderer ? ren : bare).push_back(r);
        }
    }
    const double MB = 1024.0 * 1024.0;
    std::printf("# %zu triangles, %zu hairs of %d cubic segments (%zu segments); %d runs each side, "
                "interleaved%s\n",
                ren[0].triangles, s.hairs, s.segments, ren[0].segments, repeat,
                huge_pages ? "" : "; no transparent huge pages");
    std::printf("\n%-9s %9s %9s %9s %9s %8s %9s %9s %9s\n", "side", "input MB", "loaded MB", "peak MB",
                "after MB", "whole s", "commit s", "user CPU", "kernel");
    for (const auto* side_runs : {&ren, &bare}) {
        std::vector<double> in, loaded, peak, after, whole, commit, user, system;
        for (const Result& r : *side_runs) {
            in.push_back((r.rss_input - r.rss0) / MB);
            loaded.push_back(((r.rss_loaded ? r.rss_loaded : r.rss_input) - r.rss0) / MB);
            peak.push_back((r.hwm - r.rss0) / MB);
            after.push_back((r.rss_end - r.rss0) / MB);
            whole.push_back(r.whole);
            commit.push_back(r.commit);
            user.push_back(r.commit_user);
            system.push_back(r.commit_system);
        }
        std::printf("%-9s %9.0f %9.0f %9.0f %9.0f %8.2f %9.2f %9.2f %9.2f\n",
                    side_runs == &ren ? "renderer" : "bare", median(in), median(loaded), median(peak),
                    median(after), median(whole), median(commit), median(user), median(system));
    }
    std::vector<double> peak, after, whole, commit, user;
    for (int i = 0; i < repeat; ++i) {
        const Result &a = ren[size_t(i)], &b = bare[size_t(i)];
        peak.push_back((a.hwm - a.rss0) / (b.hwm - b.rss0));
        after.push_back((a.rss_end - a.rss0) / (b.rss_end - b.rss0));
        whole.push_back(a.whole / b.whole);
        commit.push_back(a.commit / b.commit);
        user.push_back(a.commit_user / b.commit_user);
    }
    std::printf("\nrenderer / bare, median of the paired ratios (smallest - largest)\n");
    for (const auto& [name, v] : {std::pair<const char*, const std::vector<double>*>{"peak memory", &peak},
                                  {"memory after build", &after},
                                  {"BVH build (commit)", &commit},
                                  {"BVH build, user CPU", &user},
                                  {"whole build", &whole}}) {
        const Spread sp = spread(*v);
        std::printf("%-20s %6.3f (%5.3f - %5.3f)\n", name, sp.mid, sp.lo, sp.hi);
    }
    std::printf("\n# memory: resident size over the process's own at start; load average at end %s\n",
                load_average().c_str());
    return 0;
}
