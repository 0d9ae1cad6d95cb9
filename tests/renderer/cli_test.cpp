// The ornrender command on good and bad scenes: errors name file, line and column (or the
// path), the exit status is non-zero, and no output file is left behind.
#include "support/scene_fixture.h"

#include <gtest/gtest.h>

#include <OpenEXR/ImfBoxAttribute.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Result = orn::test::CommandResult;

class Cli : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = orn::test::test_dir(); }
    std::string write(const std::string& name, const std::string& text) {
        const fs::path p = dir_ / name;
        std::ofstream(p) << text;
        return p.string();
    }
    Result run(const std::string& args, bool quiet = true) {
        return orn::test::run_ornrender(std::string(quiet ? "-q " : "") + "-o " + dir_.string() + " " + args);
    }
    static std::string preamble() {
        return std::string("link \"") + ORN_BUILD_DIR +
               "/lib/shaders_orn.so\"\n$include \"shaders_orn.mi\"\n";
    }
    // A one-quad scene; `extra` goes before the render statement, `material` is the quad's.
    static std::string scene(const std::string& output_file, const std::string& material_shader,
                             const std::string& extra = "") {
        return preamble() +
               "options \"opt\" samples 0 0 end options\n"
               "camera \"cam\" output \"rgba\" \"exr\" \"" +
               output_file +
               "\" focal 1 aperture 1 aspect 1 resolution 8 8 end camera\n"
               "instance \"cam_i\" \"cam\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 -5 1 end instance\n" +
               material_shader +
               "object \"quad\" visible shadow trace group\n"
               "  -4 -4 0  4 -4 0  4 4 0  -4 4 0\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
               "instance \"quad_i\" \"quad\" material \"m\" end instance\n" +
               extra +
               "instgroup \"root\" \"cam_i\" \"quad_i\" end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
    }
    fs::path dir_;
};

const char* kConstant = "material \"m\" \"orn_constant\" (\"color\" 0.25 0.5 0.75 1) end material\n";

TEST_F(Cli, RendersAndWritesTheOutput) {
    const std::string path = write("ok.mi", scene("ok.exr", kConstant));
    // Hidden temporary files of writers of ok.exr that were killed: those of processes that no
    // longer exist go; one of a living process (this test) stays, as do another file's.
    const std::string dead = orn::test::run_command("sh -c 'echo $$'").output;
    const std::string gone = ".ok.exr.tmp." + dead.substr(0, dead.find('\n'));
    const std::string living = ".ok.exr.tmp." + std::to_string(::getpid()) + ".0.exr";
    const std::string others = ".other.exr.tmp." + dead.substr(0, dead.find('\n')) + ".0.exr";
    for (const std::string& f : {gone + ".0.exr", gone + ".17.tmp", living, others})
        std::ofstream(dir_ / f) << "killed while writing";
    const Result r = run(path);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(fs::exists(dir_ / (gone + ".0.exr")));
    EXPECT_FALSE(fs::exists(dir_ / (gone + ".17.tmp")));
    EXPECT_TRUE(fs::exists(dir_ / living));
    EXPECT_TRUE(fs::exists(dir_ / others));
    auto in = OIIO::ImageInput::open((dir_ / "ok.exr").string());
    ASSERT_TRUE(in);
    float px[4 * 64];
    ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, px));
    // The quad fills the view: every pixel is the constant colour.
    EXPECT_FLOAT_EQ(px[0], 0.25f);
    EXPECT_FLOAT_EQ(px[1], 0.5f);
    EXPECT_FLOAT_EQ(px[2], 0.75f);
    EXPECT_FLOAT_EQ(px[3], 1.f);
}

TEST_F(Cli, TheRenderersOwnModuleWinsOverOneBesideTheScene) {
    // A file of that name beside the scene would fail to load; the renderer's own is found first.
    write("shaders_orn.so", "not a module");
    std::string text = scene("ok.exr", kConstant);
    text.replace(0, preamble().size(), "link \"shaders_orn.so\"\n$include \"shaders_orn.mi\"\n");
    const Result r = run(write("ok.mi", text) + " -v 3", false);
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string own = fs::canonical(std::string(ORN_BUILD_DIR) + "/lib/shaders_orn.so").string();
    EXPECT_NE(r.output.find("loaded shader module " + own + "\n"), std::string::npos) << r.output;
}

TEST_F(Cli, SceneErrorsNameFileLineAndColumn) {
    struct Case {
        std::string name, text, expect;
    };
    const std::vector<Case> cases = {
        {"syntax", preamble() + "options \"opt\"\n  samples 0 x\nend options\n", "syntax.mi:4:"},
        {"unknown_shader", scene("a.exr", "material \"m\" \"orn_constnat\" () end material\n"),
         "unknown shader \"orn_constnat\" (no declaration); did you mean \"orn_constant\"?"},
        // Nothing is near enough to suggest.
        {"far_shader", scene("a.exr", "material \"m\" \"orn_nonexistent\" () end material\n"),
         "unknown shader \"orn_nonexistent\" (no declaration)\n"},
        {"unknown_param", scene("a.exr", "material \"m\" \"orn_constant\" (\"colour\" 1 1 1) end material\n"),
         "unknown parameter \"colour\" of shader \"orn_constant\"; did you mean \"color\"?"},
        {"unknown_light_param",
         scene("a.exr", kConstant, "light \"l\" \"orn_SpotTK\" (\"intensty\" 2) origin 0 0 1 end light\n"),
         "unknown parameter \"intensty\" of shader \"orn_SpotTK\"; did you mean \"intensity\"?"},
        {"wrong_type", scene("a.exr", "material \"m\" \"orn_constant\" (\"color\" \"red\") end material\n"),
         "parameter \"color\" of shader \"orn_constant\" expects a colour, found the string \"red\""},
        {"fraction_for_integer",
         scene("a.exr", "material \"m\" \"orn_motion_to_rgb\" (\"max_pixels\" 16.5) end material\n"),
         "parameter \"max_pixels\" of shader \"orn_motion_to_rgb\" expects an integer, found the number "
         "16.5"},
        {"missing_include", "$include \"no_such_file.mi\"\n", "no_such_file.mi"},
        {"missing_module", "link \"no_such_module.so\"\n", "no_such_module.so"},
        // The object's name where its instance's belongs.
        {"object_in_group",
         [] {
             std::string t = scene("a.exr", kConstant);
             return t.replace(t.find("\"quad_i\" end instgroup"), 8, "\"quad\"");
         }(),
         "\"quad\" is not an instance or instgroup; did you mean \"quad_i\"?"},
        // A slip of letter case is the nearest of all.
        {"unknown_material", scene("a.exr", "material \"M\" \"orn_constant\" () end material\n"),
         "unknown material \"m\"; did you mean \"M\"?"},
    };
    for (const auto& c : cases) {
        const std::string path = write(c.name + ".mi", c.text);
        const Result r = run(path);
        EXPECT_NE(r.status, 0) << c.name;
        EXPECT_NE(r.output.find(c.expect), std::string::npos) << c.name << ":\n" << r.output;
        EXPECT_NE(r.output.find(c.name + ".mi:"), std::string::npos) << c.name << " names no file:\n"
                                                                     << r.output;
        EXPECT_FALSE(fs::exists(dir_ / "a.exr")) << c.name;
    }
}

TEST_F(Cli, ConnectionToAWrongResultTypeIsRefused) {
    const std::string mat = "shader \"f\" \"orn_color_to_float\" () \n"
                            "material \"m\" \"orn_constant\" (\"color\" = \"f\") end material\n";
    const Result r = run(write("conn.mi", scene("a.exr", mat)));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("cannot connect shader \"f\""), std::string::npos) << r.output;
}

TEST_F(Cli, UnwritableOutputFailsBeforeRenderingAndKeepsOldFiles) {
    // A directory that cannot be made: a plain file stands in its place.
    std::ofstream(dir_ / "blocker") << "a file";
    const Result r = run(write("nodir.mi", scene("blocker/x.exr", kConstant)));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("blocker/x.exr"), std::string::npos) << r.output;
    EXPECT_TRUE(fs::is_regular_file(dir_ / "blocker"));

    // An existing file is not touched by a scene that fails.
    std::ofstream(dir_ / "keep.exr") << "previous";
    const Result bad = run(
        write("bad.mi", scene("keep.exr", "material \"m\" \"orn_constant\" (\"nope\" 1) end material\n")));
    EXPECT_NE(bad.status, 0);
    std::ifstream in(dir_ / "keep.exr");
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), "previous");
    // Nothing half-written lies next to it.
    for (const auto& e : fs::directory_iterator(dir_))
        EXPECT_EQ(e.path().extension() == ".exr" && e.path().filename() != "keep.exr", false) << e.path();
}

// Runs ornrender ARGS in the background with its output in `log`, sends it SIGTERM once `when`
// holds (a shell condition, polled every 0.1 s, at most a minute), and gives its output, then
// "status=S ms=M": its exit status and the milliseconds from the signal to its exit.
Result stop_when(const std::string& args, const std::string& log, const std::string& when) {
    const std::string script = "cd " + log.substr(0, log.rfind('/')) + "; " + std::string(ORN_BUILD_DIR) +
                               "/bin/ornrender " + args + " >log 2>&1 & pid=$!; n=0; until " + when +
                               " || [ $n -ge 600 ]; do sleep 0.1; n=$((n+1)); done; "
                               "t0=$(date +%s%N); kill -TERM $pid; wait $pid; s=$?; t1=$(date +%s%N); "
                               "cat log; echo \"status=$s ms=$(( (t1 - t0) / 1000000 ))\"";
    return orn::test::run_command("sh -c '" + script + "'");
}

int status_of(const Result& r) {
    const std::size_t at = r.output.rfind("status=");
    return at == std::string::npos ? -1 : std::atoi(r.output.c_str() + at + 7);
}

int ms_of(const Result& r) {
    const std::size_t at = r.output.rfind(" ms=");
    return at == std::string::npos ? -1 : std::atoi(r.output.c_str() + at + 4);
}

TEST_F(Cli, TerminationStopsTheFrameAndKeepsTheOlderImage) {
    // A frame of many seconds (occlusion with many rays per pixel), stopped after one second
    // as a farm scheduler would (one SIGTERM: without --foreground, timeout also signals its own
    // process group, and a second signal means "leave at once", with no message)
    std::ofstream(dir_ / "slow.exr") << "previous";
    const std::string slow =
        "material \"m\" \"orn_MegaTK\" (\"ao_on\" on, \"ao_samples\" 256) end material\n";
    std::string text = scene("slow.exr", slow);
    text.replace(text.find("resolution 8 8"), 14, "resolution 1000 1000");
    const std::string path = write("slow.mi", text);
    const Result r = orn::test::run_command("timeout --foreground --preserve-status -s TERM 1 " +
                                            std::string(ORN_BUILD_DIR) + "/bin/ornrender -q --threads 2 -o " +
                                            dir_.string() + " " + path);
    EXPECT_EQ(r.status, 143) << r.output;
    EXPECT_NE(r.output.find("ornrender: interrupted by SIGTERM"), std::string::npos) << r.output;
    std::ifstream in(dir_ / "slow.exr");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "previous");
    for (const auto& e : fs::directory_iterator(dir_))
        EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
}

TEST_F(Cli, EveryStopIsPromptAndSaysWhatWasWritten) {
    // A large frame (3000 x 3000: its film takes moments to build and resolve) stopped while it is
    // read and set up, and while it renders: each time it ends soon after the signal (a generous
    // bound: this is a check for a stop that never comes, not a timing), with 143, and the older
    // image stays.
    std::ofstream(dir_ / "large.exr") << "previous";
    std::string text = scene("large.exr", "material \"m\" \"orn_MegaTK\" (\"ao_on\" on, \"ao_samples\" 64) "
                                          "end material\n");
    text.replace(text.find("resolution 8 8"), 14, "resolution 3000 3000");
    // Many statements, so that the scene takes a while to read.
    std::string filler;
    for (int i = 0; i < 100000; ++i)
        filler += "options \"o" + std::to_string(i) + "\" samples 0 0 end options\n";
    const std::string path = write("large.mi", filler + text);
    const std::string args = "-q --threads 2 -o " + dir_.string() + " " + path;
    for (const std::string& when : {std::string("sleep 0.3"), std::string("sleep 1.5")}) {
        const Result r = stop_when(args, (dir_ / "log").string(), when);
        EXPECT_EQ(status_of(r), 143) << when << ": " << r.output;
        EXPECT_LT(ms_of(r), 10000) << when << ": " << r.output;
        // A stop while the scene is read is no error of the scene.
        EXPECT_EQ(r.output.find("has errors"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("ornrender: interrupted by SIGTERM: nothing was written"), std::string::npos)
            << r.output;
        std::ifstream in(dir_ / "large.exr");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "previous");
    }

    // A signal after the frame's files were written changes nothing and says so: the view keeps
    // the process alive after the frame, until the signal.
    const Result late = stop_when("--view 0 " + args.substr(0, args.rfind(' ')) + " " +
                                      write("small.mi", scene("small.exr", kConstant)),
                                  (dir_ / "log").string(), "grep -q \"view stays\" log");
    EXPECT_EQ(status_of(late), 0) << late.output;
    EXPECT_NE(late.output.find("ornrender: SIGTERM came after the frame's files were written: the frame is "
                               "complete"),
              std::string::npos)
        << late.output;
    EXPECT_TRUE(fs::exists(dir_ / "small.exr"));
}

TEST_F(Cli, FrameRangesRenderASequence) {
    // one scene for every frame: the camera's frame and the '#' of the output name follow it,
    // and the pass set-up names its files from the camera's frame
    const std::string passes = "shader \"passes\" \"orn_MegaTK_pass\" (\"file_name\" \"shot\", \"directory\" "
                               "\"passes\", \"frame_digits\" 3)\ncall \"passes\"\n";
    Result r = run("--frames 1-7x3 " + write("seq.mi", scene("seq.####.exr", kConstant)));
    EXPECT_EQ(r.status, 0) << r.output;
    for (const char* f : {"seq.0001.exr", "seq.0004.exr", "seq.0007.exr"})
        EXPECT_TRUE(fs::exists(dir_ / f)) << f;
    EXPECT_FALSE(fs::exists(dir_ / "seq.0002.exr"));
    r = run("--frames 4 " + write("pass.mi", scene("pass.####.exr", kConstant, passes)));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fs::exists(dir_ / "passes" / "shot.singleTK.004.exr")) << r.output;

    // one scene file per frame: the broken second frame stops the sequence, the first is kept
    write("shot.0001.mi", scene("shot.0001.exr", kConstant));
    write("shot.0002.mi", "this is not a scene");
    write("shot.0003.mi", scene("shot.0003.exr", kConstant));
    r = run("--frames 1-3 " + (dir_ / "shot.####.mi").string());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("frame 2: "), std::string::npos) << r.output;
    EXPECT_TRUE(fs::exists(dir_ / "shot.0001.exr"));
    EXPECT_FALSE(fs::exists(dir_ / "shot.0003.exr"));

    // every frame would write one file; empty and reversed ranges are usage errors
    r = run("--frames 1-2 " + write("same.mi", scene("same.exr", kConstant)));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("has no '#' for the frame number"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir_ / "same.exr"));
    for (const char* bad : {"5-1", "1-5x0", "", "a-b"}) {
        r = run(std::string("--frames \"") + bad + "\" " + (dir_ / "seq.mi").string());
        EXPECT_EQ(r.status, 2) << bad << ": " << r.output;
    }
}

TEST_F(Cli, MissingSceneFileAndBadOptions) {
    const std::string ok = write("ok.mi", scene("a.exr", kConstant));
    const std::vector<std::string> usage_errors = {(dir_ / "absent.mi").string(), "--threads -3 " + ok,
                                                   "--no-such-option " + ok, "", "--contact-sheet x.png"};
    for (const std::string& args : usage_errors) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << args << ": " << r.output;
        EXPECT_EQ(r.output.rfind("ornrender: error: ", 0), 0u) << args << ": " << r.output;
    }
    // A mistyped option is named, with the option it was probably meant to be.
    for (const auto& [args, message] :
         {std::pair<std::string, std::string>{
              "--descibe orn_SpotTK", "unknown option --descibe; did you mean --describe? (see --help)"},
          {"--treads=2 " + ok, "unknown option --treads; did you mean --threads?"},
          {"--no-such-option " + ok, "unknown option --no-such-option (see --help)"}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << args << ": " << r.output;
        EXPECT_NE(r.output.find("ornrender: error: " + message), std::string::npos)
            << args << ": " << r.output;
    }
    const Result r = run(write("bad.mi", "cmaera\n"));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("ornrender: error: " + (dir_ / "bad.mi").string() + ":1:1: unknown statement"),
              std::string::npos)
        << r.output;
}

TEST_F(Cli, VersionShaderListAndDescription) {
    Result r = run("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.rfind("ornrender ", 0), 0u) << r.output;
    r = run("--list-shaders");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("orn_MegaTK                   color      version 3"), std::string::npos)
        << r.output;
    // every declared shader is built: the module's 37
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 37) << r.output;
    EXPECT_NE(r.output.find("geofeather                   geometry   version 1"), std::string::npos)
        << r.output;
    r = run("--describe orn_PointTK");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("color orn_PointTK, version 2"), std::string::npos) << r.output;
    // each parameter with the meaning docs/shaders.md gives it
    EXPECT_NE(r.output.find("\"decay_end\"                  default 100\n"
                            "      Distance scale of types 1, 3 and 5.\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("  string           \"category\"\n"), std::string::npos) << r.output;
    r = run("--describe orn_nothing");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("ornrender: error: no loaded module provides a shader \"orn_nothing\" (see"),
              std::string::npos)
        << r.output;
    r = run("--describe orn_SpotTk");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("shader \"orn_SpotTk\"; did you mean \"orn_SpotTK\"? (see --list-shaders)"),
              std::string::npos)
        << r.output;
}

// The window renders its pixels (x from the left, y from the bottom) and leaves the rest empty;
// --region does the same from the command line, in place of the scene's window.
TEST_F(Cli, CameraWindowRendersOnlyItsPixels) {
    std::string text = scene("w.exr", kConstant);
    text.insert(text.find(" end camera"), " window 0 0 4 2");
    const std::string windowed = write("w.mi", text);
    for (const std::string& args : {windowed, "--region 2 6 8 8 " + windowed}) {
        Result r = run(args);
        ASSERT_EQ(r.status, 0) << r.output;
        auto in = OIIO::ImageInput::open((dir_ / "w.exr").string());
        ASSERT_TRUE(in);
        float px[4 * 64];
        ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, px));
        // The region goes into the windowed frame, which stays around it.
        const bool region = args != windowed;
        for (int row = 0; row < 8; ++row) // the file's rows run from the top
            for (int x = 0; x < 8; ++x) {
                const bool inside = (region && row < 2 && x >= 2) || (row >= 6 && x < 4);
                EXPECT_FLOAT_EQ(px[(row * 8 + x) * 4 + 1], inside ? 0.5f : 0.f)
                    << args << ": " << x << " " << row;
            }
    }

    text = scene("e.exr", kConstant);
    text.insert(text.find(" end camera"), " window 8 0 12 8");
    Result r = run(write("e.mi", text));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("window 8 0 12 8 holds no pixel of the 8 x 8 image"), std::string::npos)
        << r.output;
    r = run("--region 8 0 12 8 " + windowed);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("--region 8 0 12 8 holds no pixel of the 8 x 8 image"), std::string::npos)
        << r.output;
    r = run("--region 3 0 3 8 " + windowed);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("--region 3 0 3 8 is empty"), std::string::npos) << r.output;
}

// Reads the pixels (R G B A) of an EXR file and its box attribute `name` (EXR coordinates), or
// none when the file has no such attribute.
std::vector<float> rgba_of(const fs::path& file, const char* name, std::optional<Imath::Box2i>& box) {
    Imf::InputFile in(file.c_str());
    const auto* a = in.header().findTypedAttribute<Imf::Box2iAttribute>(name);
    box = a ? std::optional<Imath::Box2i>(a->value()) : std::nullopt;
    auto img = OIIO::ImageInput::open(file.string());
    std::vector<float> px(size_t(img->spec().width) * size_t(img->spec().height) * 4);
    img->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, px.data());
    return px;
}

TEST_F(Cli, RegionRendersKeepTheEarlierFrame) {
    // The renderer's own output, and the toolkit saver's file (the pass set-up replaces the
    // camera's outputs).
    const std::string passes =
        "shader \"passes\" \"orn_MegaTK_pass\" (\"file_name\" \"shot\", \"directory\" \"" + dir_.string() +
        "\", \"output_mode\" 3, \"rgba_pass\" on, \"rgba_format\" 2, \"bit_depth\" 1)\ncall \"passes\"\n";
    const std::string red_material = "material \"m\" \"orn_constant\" (\"color\" 1 0.25 0 1) end material\n";
    const std::pair<fs::path, std::string> cases[] = {{dir_ / "r.exr", ""},
                                                      {dir_ / "shot.singleTK.0001.exr", passes}};
    for (const auto& [file, extra] : cases) {
        const std::string blue = write("blue.mi", scene("r.exr", kConstant, extra));
        const std::string red = write("red.mi", scene("r.exr", red_material, extra));
        std::optional<Imath::Box2i> box;

        // No frame yet: the region alone, its outside not rendered, and the header says which.
        Result r = run("--region 2 1 5 4 " + red);
        ASSERT_EQ(r.status, 0) << r.output;
        auto px = rgba_of(file, "ornRenderedRegion", box);
        ASSERT_TRUE(box) << file;
        // x 2 to 4, y 1 to 3 from the bottom: file rows 4 to 6.
        EXPECT_EQ(box->min, Imath::V2i(2, 4)) << file;
        EXPECT_EQ(box->max, Imath::V2i(4, 6)) << file;
        for (int row = 0; row < 8; ++row)
            for (int x = 0; x < 8; ++x) {
                const bool inside = x >= 2 && x < 5 && row >= 4 && row < 7;
                EXPECT_FLOAT_EQ(px[size_t(row * 8 + x) * 4], inside ? 1.f : 0.f)
                    << file << " " << x << " " << row;
                EXPECT_FLOAT_EQ(px[size_t(row * 8 + x) * 4 + 3], inside ? 1.f : 0.f) << file;
            }
        // A region alone is no earlier frame: the next region replaces it.
        ASSERT_EQ(run("--region 0 0 1 1 " + red).status, 0);
        EXPECT_FLOAT_EQ(rgba_of(file, "ornRenderedRegion", box)[size_t(4 * 8 + 2) * 4], 0.f);

        // A whole frame, then a region of another colour: the region replaces only its rectangle,
        // in every channel; no second name of the earlier frame is left behind.
        ASSERT_EQ(run(blue).status, 0);
        r = run("--region 2 1 5 4 " + red);
        ASSERT_EQ(r.status, 0) << r.output;
        px = rgba_of(file, "ornUpdatedRegion", box);
        ASSERT_TRUE(box) << file;
        EXPECT_EQ(box->min, Imath::V2i(2, 4)) << file;
        EXPECT_EQ(box->max, Imath::V2i(4, 6)) << file;
        for (int row = 0; row < 8; ++row)
            for (int x = 0; x < 8; ++x) {
                const bool inside = x >= 2 && x < 5 && row >= 4 && row < 7;
                EXPECT_FLOAT_EQ(px[size_t(row * 8 + x) * 4], inside ? 1.f : 0.25f)
                    << file << " " << x << " " << row;
                EXPECT_FLOAT_EQ(px[size_t(row * 8 + x) * 4 + 2], inside ? 0.f : 0.75f) << file;
                EXPECT_FLOAT_EQ(px[size_t(row * 8 + x) * 4 + 3], 1.f) << file;
            }
        for (const auto& e : fs::directory_iterator(dir_))
            EXPECT_EQ(e.path().filename().string().find(".before-region"), std::string::npos) << e.path();
        // The frame with its region in it is still a whole frame: a second region goes in too.
        ASSERT_EQ(run("--region 0 0 1 1 " + red).status, 0);
        px = rgba_of(file, "ornUpdatedRegion", box);
        EXPECT_FLOAT_EQ(px[size_t(7 * 8 + 0) * 4], 1.f);
        EXPECT_FLOAT_EQ(px[size_t(4 * 8 + 2) * 4], 1.f);
        EXPECT_FLOAT_EQ(px[size_t(0 * 8 + 0) * 4], 0.25f);
        fs::remove(file);
    }
}

// The smallest scene of the README renders a lit ball and prints nothing but its progress: its
// light and material name the same category.
TEST_F(Cli, FirstSceneRendersWithOnlyProgress) {
    fs::copy(ORN_SOURCE_DIR "/scenes/first.mi", dir_ / "first.mi");
    fs::create_directories(dir_ / "meshes");
    for (const char* mesh : {"sphere.obj", "plane.obj"})
        fs::copy(fs::path(ORN_SOURCE_DIR "/scenes/meshes") / mesh, dir_ / "meshes" / mesh);
    const Result r = run((dir_ / "first.mi").string() + " --threads 2", false);
    ASSERT_EQ(r.status, 0) << r.output;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.rfind("ornrender: rendering ", 0), 0u) << line;
    EXPECT_NE(r.output.find("ornrender: rendering 100%"), std::string::npos) << r.output;

    auto in = OIIO::ImageInput::open((dir_ / "first.png").string());
    ASSERT_TRUE(in);
    std::vector<float> px(200 * 200 * 4);
    ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, px.data()));
    // The ball's centre faces the camera; the light falls on it at the cosine between (0, 0, 1)
    // and the direction to the light, (0.4, 1, 0.6) normalised: 0.6 / 1.2329 = 0.4867, times the
    // default colour 0.8 gives 0.389 (8-bit: within 1/255).
    const float* centre = &px[(100 * 200 + 100) * 4];
    EXPECT_NEAR(centre[0], 0.389f, 0.01f);
    EXPECT_FLOAT_EQ(centre[3], 1.f);
}

} // namespace

namespace {

TEST_F(Cli, CheckPassesReportsClosureAndFailsAboveTheTolerance) {
    // A tiny two-layer file whose beauty is shading + incandescence, then one that is off, one
    // marked unfinished and one of zeros, which adds up but holds no frame.
    auto write_exr = [&](const std::string& name, float beauty, int complete = -1, float shading = 0.25f) {
        const std::string path = (dir_ / name).string();
        OIIO::ImageSpec spec(2, 1, 7, OIIO::TypeDesc::FLOAT);
        spec.channelnames = {"R",
                             "G",
                             "B",
                             "orn_MegaTK_shading.r",
                             "orn_MegaTK_shading.g",
                             "orn_MegaTK_shading.b",
                             "orn_MegaTK_incand.r"};
        if (complete >= 0) spec.attribute("ornFrameComplete", complete);
        const float g = shading * 2.f;
        const float px[14] = {beauty, g, g, shading, g, g, 0.25f, beauty, g, g, shading, g, g, 0.25f};
        auto out = OIIO::ImageOutput::create(path);
        EXPECT_TRUE(out->open(path, spec));
        EXPECT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, px));
        out->close();
        return path;
    };
    // incand has only r here, so the check finds no incand layer and takes it as 0
    Result r = run("--check-passes " + write_exr("ok.exr", 0.25f));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("closed"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("not in the file"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("warning: the file has no \"ornFrameComplete\" mark"), std::string::npos)
        << r.output;
    r = run("--check-passes " + write_exr("off.exr", 0.2501f, 1));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("NOT closed"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("100.0000%"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("warning:"), std::string::npos) << r.output;
    r = run("--check-passes " + write_exr("unfinished.exr", 0.25f, 0));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("not closed: the file marks its frame unfinished"), std::string::npos)
        << r.output;
    r = run("--check-passes " + write_exr("zeros.exr", 0.f, 1, 0.f));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("not closed: the beauty is empty"), std::string::npos) << r.output;
}

} // namespace

namespace {

TEST_F(Cli, AFailedOutputShaderFailsTheRender) {
    const std::string missing = (dir_ / "blocker").string(); // a file, not a directory
    std::ofstream(missing) << "a file";
    const std::string passes =
        "shader \"passes\" \"orn_MegaTK_pass\" (\"file_name\" \"shot\", \"directory\" \"" + missing +
        "\", \"output_mode\" 3, \"rgba_pass\" on, \"rgba_format\" 2, \"bit_depth\" 1)\n"
        "call \"passes\"\n";
    const Result r = run(write("saver.mi", scene("a.exr", kConstant, passes)));
    EXPECT_EQ(r.status, 1) << r.output;
    // The saver's file is checked with the camera's before the frame renders, so the saver
    // never runs towards it.
    EXPECT_NE(r.output.find("ornrender: error: output shader \"orn_OpenEXR_saver\": cannot write \"" +
                            missing + "/shot.singleTK.0001.exr\""),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("orn_OpenEXR_saver(): Error writing exr file"), std::string::npos) << r.output;
    EXPECT_TRUE(fs::is_regular_file(missing));
}

} // namespace

namespace {

TEST_F(Cli, MixWritesANewFileWithTheGroupsMixedAndRefusesBadMixes) {
    // Two pixels: beauty = key + rest, and a depth channel and a half layer that must come
    // through untouched.
    const std::string in = (dir_ / "groups.exr").string();
    {
        OIIO::ImageSpec spec(2, 1, 11, OIIO::TypeDesc::FLOAT);
        spec.channelnames = {"R",
                             "G",
                             "B",
                             "orn_MegaTK_lightgroup_key.r",
                             "orn_MegaTK_lightgroup_key.g",
                             "orn_MegaTK_lightgroup_key.b",
                             "orn_MegaTK_lightgroup_rest.r",
                             "orn_MegaTK_lightgroup_rest.g",
                             "orn_MegaTK_lightgroup_rest.b",
                             "Z",
                             "orn_MegaTK_diffuse.r"};
        spec.attribute("ornFrameComplete", 1);
        const float px[22] = {0.75f, 0.5f,  0.3f, 0.5f, 0.25f, 0.2f, 0.25f, 0.25f, 0.1f, 7.5f, 0.123f,
                              1.5f,  1.25f, 0.f,  1.f,  1.f,   0.f,  0.5f,  0.25f, 0.f,  2.5f, 0.456f};
        auto out = OIIO::ImageOutput::create(in);
        ASSERT_TRUE(out->open(in, spec));
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, px));
        out->close();
    }
    const auto before = fs::last_write_time(in);
    const std::string out = (dir_ / "mixed.exr").string();
    Result r = orn::test::run_ornrender("-q --mix key=0.5:2:0 " + in + " -o " + out);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(fs::last_write_time(in), before);
    auto mixed = OIIO::ImageInput::open(out);
    ASSERT_TRUE(mixed);
    const auto& spec = mixed->spec();
    std::vector<float> px(size_t(spec.nchannels) * 2);
    mixed->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, px.data());
    auto at = [&](int x, const std::string& name) {
        const int c = spec.channelindex(name);
        return c < 0 ? -1.f : px[size_t(x * spec.nchannels + c)];
    };
    // Pixel 0: key (0.5, 0.25, 0.2) x (0.5, 2, 0) + rest (0.25, 0.25, 0.1).
    EXPECT_FLOAT_EQ(at(0, "R"), 0.25f + 0.25f);
    EXPECT_FLOAT_EQ(at(0, "G"), 0.5f + 0.25f);
    EXPECT_FLOAT_EQ(at(0, "B"), 0.f + 0.1f);
    EXPECT_FLOAT_EQ(at(0, "orn_MegaTK_lightgroup_key.g"), 0.5f);
    EXPECT_FLOAT_EQ(at(0, "orn_MegaTK_lightgroup_rest.r"), 0.25f);
    // Pixel 1: key (1, 1, 0), rest (0.5, 0.25, 0).
    EXPECT_FLOAT_EQ(at(1, "R"), 0.5f + 0.5f);
    EXPECT_FLOAT_EQ(at(1, "G"), 2.f + 0.25f);
    EXPECT_EQ(at(0, "Z"), 7.5f);
    EXPECT_EQ(at(1, "orn_MegaTK_diffuse.r"), 0.456f);
    EXPECT_EQ(spec.get_string_attribute("ornLightMix"), "key=0.5:2:0");
    EXPECT_EQ(spec.get_string_attribute("ornMixedFrom"), in);
    EXPECT_EQ(spec.get_int_attribute("ornFrameComplete"), 1);
    mixed->close();

    // A bad mix says why and writes nothing.
    const std::pair<std::string, std::string> bad[] = {
        {"kye=0.5", "has no light group \"kye\"; did you mean \"key\"? (its groups: \"key\", \"rest\")"},
        {"key=-1", "must be a number or R:G:B of numbers, each finite and 0 or more"},
        {"key=nan", "must be a number or R:G:B"},
        {"key=1:2", "must be a number or R:G:B"},
        {"key=1,key=2", "group \"key\" is given twice"},
        {"=2", "is not GROUP=FACTOR or GROUP=R:G:B"}};
    for (const auto& [mix, message] : bad) {
        const std::string to = (dir_ / "bad.exr").string();
        r = orn::test::run_ornrender("-q --mix " + mix + " " + in + " -o " + to);
        EXPECT_NE(r.status, 0) << mix;
        EXPECT_NE(r.output.find(message), std::string::npos) << mix << ": " << r.output;
        EXPECT_FALSE(fs::exists(to)) << mix;
    }
    // A file without groups, the input as the output, no output at all.
    const std::string plain = write("plain.mi", scene("plain.exr", kConstant));
    ASSERT_EQ(run(plain).status, 0);
    r = orn::test::run_ornrender("-q --mix key=2 " + (dir_ / "plain.exr").string() + " -o " + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("has no light-group layers"), std::string::npos) << r.output;
    r = orn::test::run_ornrender("-q --mix key=2 " + in + " -o " + in);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("must go to another file"), std::string::npos) << r.output;
    EXPECT_EQ(fs::last_write_time(in), before);
    r = orn::test::run_ornrender("-q --mix key=2 " + in);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("--mix needs -o OUT.exr"), std::string::npos) << r.output;
}

} // namespace
