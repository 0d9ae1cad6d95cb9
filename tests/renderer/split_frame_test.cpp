// Split frames: parts rendered apart and merged give the files of the whole frame, bit for bit
// and attribute for attribute; bad splits and bad sets of parts fail without writing.
#include "film/part_file.h"
#include "support/scene_fixture.h"

#include <gtest/gtest.h>

#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfIntAttribute.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

using Result = orn::test::CommandResult;

class SplitFrame : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = orn::test::test_dir(); }
    Result run(const std::string& args) { return orn::test::run_ornrender("-q " + args); }
    std::string d(const std::string& sub) const { return (dir_ / sub).string(); }
    // The demo with its multi-pass set-up and its 2-pixel gauss filter, made small.
    std::string demo(const std::string& name, int output_mode, const char* resolution) {
        std::ifstream in(std::string(ORN_SOURCE_DIR) + "/scenes/demo.mi");
        std::string text{std::istreambuf_iterator<char>(in), {}};
        text = std::regex_replace(text, std::regex("resolution 640 480"),
                                  std::string("resolution ") + resolution);
        text = std::regex_replace(text, std::regex("\"output_mode\" 3"),
                                  "\"output_mode\" " + std::to_string(output_mode));
        text = std::regex_replace(text, std::regex("\"z_format\" 4"), "\"z_format\" 1");
        text = std::regex_replace(text, std::regex("samples 0 2"), "samples 0 1");
        text = std::regex_replace(text, std::regex("\"meshes/"),
                                  "\"" + std::string(ORN_SOURCE_DIR) + "/scenes/meshes/");
        const fs::path p = dir_ / name;
        std::ofstream(p) << text;
        return p.string();
    }
    fs::path dir_;
};

std::set<std::string> files_under(const fs::path& root) {
    std::set<std::string> out;
    if (fs::exists(root))
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file()) out.insert(fs::relative(e.path(), root).string());
    return out;
}

// Every channel's stored bits and every header attribute. TIFF files carry the time they were
// written, which two renders of one frame do not share either.
void expect_same_image(const fs::path& a, const fs::path& b) {
    auto ia = OIIO::ImageInput::open(a.string()), ib = OIIO::ImageInput::open(b.string());
    ASSERT_TRUE(ia && ib) << a;
    const OIIO::ImageSpec &sa = ia->spec(), &sb = ib->spec();
    ASSERT_EQ(sa.width, sb.width) << a;
    ASSERT_EQ(sa.height, sb.height) << a;
    ASSERT_EQ(sa.channelnames, sb.channelnames) << a;
    ASSERT_EQ(sa.format, sb.format) << a;
    EXPECT_EQ(sa.full_width, sb.full_width) << a;
    EXPECT_EQ(sa.full_height, sb.full_height) << a;
    std::vector<char> pa(sa.image_bytes(true)), pb(sb.image_bytes(true));
    ASSERT_TRUE(ia->read_image(0, 0, 0, sa.nchannels, OIIO::TypeUnknown, pa.data())) << a;
    ASSERT_TRUE(ib->read_image(0, 0, 0, sb.nchannels, OIIO::TypeUnknown, pb.data())) << b;
    EXPECT_TRUE(pa == pb) << a << ": pixels differ";
    ASSERT_EQ(sa.extra_attribs.size(), sb.extra_attribs.size()) << a;
    for (const auto& attr : sa.extra_attribs) {
        if (attr.name() == "DateTime") continue;
        const OIIO::ParamValue* other = sb.find_attribute(attr.name());
        ASSERT_TRUE(other) << a << ": " << attr.name();
        EXPECT_EQ(attr.type(), other->type()) << attr.name();
        EXPECT_EQ(attr.get_string(1000), other->get_string(1000)) << a << ": " << attr.name();
    }
}

// A copy of a part with its header changed by `edit`.
void craft(const fs::path& from, const fs::path& to, const std::function<void(Imf::Header&)>& edit) {
    fs::create_directories(to.parent_path());
    Imf::InputFile in(from.c_str());
    Imf::Header h = in.header();
    edit(h);
    Imf::OutputFile out(to.c_str(), h);
    out.copyPixels(in);
}

TEST_F(SplitFrame, MergedPartsGiveTheWholeFramesFiles) {
    // Output mode 3: the saver's multi-layer EXR after the ratio outputs, and the colour through
    // the renderer's own output; mode 0: every pass buffer's own file. Three strips of a 70-row
    // frame in 32-row buckets, and two frames of a sequence, merged in one run.
    for (int mode : {3, 0}) {
        SCOPED_TRACE("output mode " + std::to_string(mode));
        const std::string m = std::to_string(mode);
        const std::string scene = demo("demo" + m + ".mi", mode, "16 70");
        Result r = run("-t 2 --frames 2-3 -o " + d("whole" + m) + " " + scene);
        ASSERT_EQ(r.status, 0) << r.output;
        for (int i = 0; i < 3; ++i) {
            r = run("-t 1 --frames 2-3 --tile " + std::to_string(i) + "/3 -o " + d("parts" + m) + " " +
                    scene);
            ASSERT_EQ(r.status, 0) << r.output;
        }
        EXPECT_EQ(files_under(dir_ / ("parts" + m)).size(), 6u);
        // A part writer killed mid-write leaves its hidden temporary file behind.
        std::ofstream(dir_ / ("parts" + m) / (".demo" + m + ".0002.r0.part0of3.exr.tmp.1.0.exr")) << "killed";
        r = run("--merge -o " + d("merged" + m) + " " + scene + " " + d("parts" + m));
        ASSERT_EQ(r.status, 0) << r.output;
        const auto whole = files_under(dir_ / ("whole" + m));
        // Mode 0: two frames of the fifteen lighting passes and the two special channels the
        // demo switches on, at least.
        EXPECT_GE(whole.size(), mode == 3 ? 2u : 34u);
        EXPECT_EQ(whole, files_under(dir_ / ("merged" + m)));
        for (const auto& f : whole)
            expect_same_image(dir_ / ("whole" + m) / f, dir_ / ("merged" + m) / f);
    }
}

TEST_F(SplitFrame, BadSplitsAndBadSetsOfPartsFailWithoutWriting) {
    const std::string scene = demo("a.mi", 3, "8 70"), other = demo("b.mi", 3, "8 40");
    // Not a part of N, and more parts than the frame's three bucket rows.
    for (const char* bad : {"2/2", "0/0", "1", "-1/2", "a/b"}) {
        const Result r = run(std::string("--tile ") + bad + " -o " + d("p") + " " + scene);
        EXPECT_EQ(r.status, 2) << bad << ": " << r.output;
    }
    Result r = run("--tile 0/4 -o " + d("p") + " " + scene);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("splits into at most"), std::string::npos) << r.output;
    EXPECT_TRUE(files_under(dir_ / "p").empty());

    // A missing part; a part of another split; parts of another scene; a scene changed since.
    ASSERT_EQ(run("--tile 0/2 -o " + d("one") + " " + scene).status, 0);
    ASSERT_EQ(run("--tile 1/2 -o " + d("two") + " " + scene).status, 0);
    ASSERT_EQ(run("--tile 1/3 -o " + d("three") + " " + scene).status, 0);
    ASSERT_EQ(run("--tile 1/2 -o " + d("other") + " " + other).status, 0);
    fs::create_directories(dir_ / "out/out");
    std::ofstream(dir_ / "out/out/demo.singleTK.0001.exr") << "previous";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {d("one"), "part 1 of 2 is missing"},
        {d("one") + " " + d("one") + "/a.0001.r0.part0of2.exr", "part 0 twice"},
        {d("one") + " " + d("three"), "is part of 3"},
        {d("one") + " " + d("other"), "come from different scenes"},
        {d("fake.exr"), "cannot be read as an OpenEXR file"},
    };
    std::ofstream(dir_ / "fake.exr") << "not an image";
    for (const auto& [inputs, expect] : cases) {
        r = run("--merge -o " + d("out") + " " + scene + " " + inputs);
        EXPECT_EQ(r.status, 1) << inputs;
        EXPECT_NE(r.output.find(expect), std::string::npos) << inputs << ": " << r.output;
    }
    // The merge reads only the scene its own command line names: parts of another scene, or a
    // part whose recorded scene and files were edited to name another (hashes recomputed, as
    // anyone who can write the part can), are refused before that scene is read. The other
    // scene links a module that would fail to load, which would show if it were read.
    fs::create_directories(dir_ / "trap");
    std::ofstream(dir_ / "trap/shaders_orn.so") << "not a module";
    {
        std::ifstream in(other);
        std::string text{std::istreambuf_iterator<char>(in), {}};
        std::ofstream(other) << "link \"" << d("trap/shaders_orn.so") << "\"\n" << text;
    }
    ASSERT_EQ(run("--tile 0/2 -o " + d("otherparts") + " " + other).status, 1); // the trap does not load
    const auto retarget = [&](Imf::Header& h) {
        std::vector<orn::film::ReadFile> files;
        ASSERT_FALSE(
            orn::film::record_files({fs::canonical(other).string(), d("trap/shaders_orn.so")}, files));
        std::string listed;
        for (const auto& f : files)
            listed += f.hash + " " + f.path + "\n";
        h.insert("ornScenes", Imf::StringAttribute(fs::canonical(other).string()));
        h.insert("ornFiles", Imf::StringAttribute(listed));
    };
    craft(dir_ / "one/a.0001.r0.part0of2.exr", dir_ / "crafted/a.0001.r0.part0of2.exr", retarget);
    craft(dir_ / "two/a.0001.r0.part1of2.exr", dir_ / "crafted/a.0001.r0.part1of2.exr", retarget);
    for (const std::string& given : {scene, other}) {
        r = run("--merge -o " + d("out") + " " + given + " " +
                (given == scene ? d("crafted") : d("one") + " " + d("two")));
        EXPECT_EQ(r.status, 1) << given;
        EXPECT_NE(r.output.find("not from " + fs::canonical(given).string() + " given to the merge"),
                  std::string::npos)
            << r.output;
        EXPECT_EQ(r.output.find("trap"), std::string::npos) << r.output;
    }
    EXPECT_EQ(run("--merge -o " + d("out") + " " + d("one") + " " + d("two")).status, 2); // no scene

    std::ofstream(scene, std::ios::app) << "# edited\n";
    r = run("--merge -o " + d("out") + " " + scene + " " + d("one") + " " + d("two"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find(scene + " changed since the parts were rendered"), std::string::npos) << r.output;
    EXPECT_EQ(files_under(dir_ / "out"), std::set<std::string>{"out/demo.singleTK.0001.exr"});
    std::ifstream kept(dir_ / "out/out/demo.singleTK.0001.exr");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "previous");
    EXPECT_EQ(run("--tile 0/2 --merge " + scene).status, 2);
}

TEST_F(SplitFrame, EveryKindOfFileTheSceneReadsIsCheckedByTheMerge) {
    // A scene of its own files: the module and its declarations (through -L and -I), an
    // include, an include holding hair, two OBJ files making one object, and a texture.
    const fs::path shot = dir_ / "shot", mod = dir_ / "mod";
    fs::create_directories(shot);
    fs::create_directories(mod);
    fs::copy_file(ORN_BUILD_DIR "/lib/shaders_orn.so", mod / "shaders_orn.so");
    fs::copy_file(ORN_SOURCE_DIR "/declarations/shaders_orn.mi", mod / "shaders_orn.mi");
    fs::copy_file(ORN_SOURCE_DIR "/scenes/meshes/sphere.obj", shot / "ball.obj");
    fs::copy_file(ORN_SOURCE_DIR "/scenes/meshes/sphere.obj", shot / "ball2.obj");
    fs::copy_file(ORN_SOURCE_DIR "/scenes/images/sky.hdr", shot / "sky.hdr");
    std::ofstream(shot / "looks.mi")
        << "material \"m\" \"orn_constant\" (\"color\" 1 0.5 0.25 1) end material\n";
    std::ofstream(shot / "hairs.mi") << "object \"hairs\"\n  hair\n    degree 1\n    radius 0.05\n"
                                        "    scalars 6\n      -1 0 -4  1 0 -4\n    hairs 2 0 6\n  end hair\n"
                                        "end object\n";
    std::ofstream(shot / "shot.mi")
        << "link \"shaders_orn.so\"\n$include \"shaders_orn.mi\"\n$include \"looks.mi\"\n"
           "$include \"hairs.mi\"\noptions \"opt\" samples 0 0 end options\n"
           "color texture \"sky\" \"sky.hdr\"\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 8 40 output \"rgba\" \"exr\" \"shot.exr\" "
           "end camera\ninstance \"cam_i\" \"cam\" end instance\n"
           "object \"ball\" visible shadow trace file \"ball.obj\" file \"ball2.obj\" end object\n"
           "instance \"ball_i\" \"ball\" material \"m\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 6 1 end "
           "instance\n"
           "instance \"hairs_i\" \"hairs\" material \"m\" end instance\n"
           "instgroup \"root\" \"cam_i\" \"ball_i\" \"hairs_i\" end instgroup\nrender \"root\" \"cam_i\" "
           "\"opt\"\n";
    const std::string paths = " -L " + mod.string() + " -I " + mod.string();
    const std::string scene = (shot / "shot.mi").string();
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(
            run("--tile " + std::to_string(i) + "/2" + paths + " -o " + d("parts") + " " + scene).status, 0);
    const std::string merge = "--merge" + paths + " -o " + d("out") + " " + scene + " " + d("parts");

    // Each file edited in turn: the merge names it and writes nothing; put back, it is found
    // as it was.
    for (const fs::path& file :
         {shot / "shot.mi", shot / "looks.mi", shot / "hairs.mi", shot / "ball.obj", shot / "ball2.obj",
          shot / "sky.hdr", mod / "shaders_orn.so", mod / "shaders_orn.mi"}) {
        SCOPED_TRACE(file.string());
        std::string original;
        {
            std::ifstream in(file, std::ios::binary);
            original.assign(std::istreambuf_iterator<char>(in), {});
        }
        ASSERT_FALSE(original.empty());
        std::ofstream(file, std::ios::binary | std::ios::app) << "\n# edited\n";
        const Result r = run(merge);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find(fs::canonical(file).string() + " changed since the parts were rendered"),
                  std::string::npos)
            << r.output;
        EXPECT_TRUE(files_under(dir_ / "out").empty());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << original;
    }
    const Result r = run(merge);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(files_under(dir_ / "out"), std::set<std::string>{"shot.exr"});
}

TEST_F(SplitFrame, APartCannotChooseSearchPathsAndEveryFrameIsCheckedBeforeAFileIsWritten) {
    // The scene includes a file of its own through -I; "inc2" holds an equal copy of it.
    for (const char* sub : {"inc", "inc2"}) {
        fs::create_directories(dir_ / sub);
        std::ofstream(dir_ / sub / "extra.mi") << "options \"spare\" samples 1 end options\n";
    }
    const std::string scene = demo("a.mi", 3, "8 70");
    std::ifstream in(scene);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    std::ofstream(scene) << "$include \"extra.mi\"\n" << text;
    ASSERT_EQ(run("--frames 2-3 --tile 0/1 -I " + d("inc") + " -o " + d("seq") + " " + scene).status, 0);
    const fs::path part2 = dir_ / "seq/a.0002.r0.part0of1.exr", part3 = dir_ / "seq/a.0003.r0.part0of1.exr";
    fs::create_directories(dir_ / "out/out");
    std::ofstream(dir_ / "out/out/demo.singleTK.0002.exr") << "previous";
    const std::string merge = "--merge -I " + d("inc") + " -o " + d("out") + " " + scene + " ";

    // A part number far beyond the frame's 70 rows is refused before anything is sized from it.
    craft(part2, dir_ / "huge/a.0002.r0.part0of1.exr",
          [](Imf::Header& h) { h.insert("ornTiles", Imf::IntAttribute(2147483647)); });
    Result r = run(merge + d("huge"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("part 0 of 2147483647 cannot be part of a frame of 70 rows"), std::string::npos)
        << r.output;
    // Another -I finds another (equal) extra.mi: not the file the parts were made of.
    r = run("--merge -I " + d("inc2") + " -o " + d("out") + " " + scene + " " + d("seq"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("the scene now reads " + fs::canonical(dir_ / "inc2/extra.mi").string()),
              std::string::npos)
        << r.output;
    // Frame 3's pixels are damaged: frame 2, though sound, is not written either.
    fs::create_directories(dir_ / "damaged");
    fs::copy_file(part2, dir_ / "damaged" / part2.filename());
    fs::copy_file(part3, dir_ / "damaged" / part3.filename());
    {
        std::fstream f(dir_ / "damaged" / part3.filename(), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(-64, std::ios::end);
        f << std::string(64, '\x5a');
    }
    r = run(merge + d("damaged"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find(d("damaged/a.0003.r0.part0of1.exr")), std::string::npos) << r.output;
    EXPECT_EQ(files_under(dir_ / "out"), std::set<std::string>{"out/demo.singleTK.0002.exr"});
    std::ifstream kept(dir_ / "out/out/demo.singleTK.0002.exr");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "previous");

    // Search paths written into a part lead nowhere: the trap's module and declarations are not
    // read, and the merge of the sound parts succeeds.
    fs::create_directories(dir_ / "trap");
    std::ofstream(dir_ / "trap/shaders_orn.so") << "not a module";
    std::ofstream(dir_ / "trap/shaders_orn.mi") << "not a declaration";
    craft(part2, dir_ / "trapped" / part2.filename(), [this](Imf::Header& h) {
        h.insert("ornLibraryPaths", Imf::StringAttribute(d("trap") + "\n"));
        h.insert("ornIncludePaths", Imf::StringAttribute(d("trap") + "\n"));
    });
    fs::copy_file(part3, dir_ / "trapped" / part3.filename());
    r = run(merge + d("trapped"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(files_under(dir_ / "out"),
              (std::set<std::string>{"out/demo.singleTK.0002.exr", "out/demo.singleTK.0003.exr"}));

    // An included file edited since the parts were rendered.
    std::ofstream(dir_ / "inc/extra.mi", std::ios::app) << "# edited\n";
    r = run(merge + d("seq"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find(fs::canonical(dir_ / "inc/extra.mi").string() +
                            " changed since the parts were rendered"),
              std::string::npos)
        << r.output;

    // A part that cannot be written is named before its frame renders.
    std::ofstream(dir_ / "blocker") << "a file";
    r = run("--tile 0/2 -I " + d("inc2") + " -o " + d("blocker") + "/p " + scene);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find(d("blocker") + "/p/a.0001.r0.part0of2.exr"), std::string::npos) << r.output;
}

} // namespace
