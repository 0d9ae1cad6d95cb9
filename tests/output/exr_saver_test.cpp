// The multi-layer OpenEXR output shader on rendered frames, read back with OpenEXR itself:
// channel groups and pixel types, value conversions, row order, compression, header
// attributes, tk pass layers, messages and failures.
#include "support/scene_fixture.h"

#include "render/frame.h"
#include "source/output/orn_OpenEXR_saver.h"

#include <Imath/half.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFloatAttribute.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfIntAttribute.h>
#include <OpenEXR/ImfMatrixAttribute.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <OpenEXR/ImfStringAttribute.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

using orn::test::MessageCapture;
using orn::test::temp_path;
using orn::test::zero_defaults;
namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 4, kHeight = 6;
constexpr int kBottom = kHeight - 1; // file row of the renderer's row 0

// Camera at the origin looking down -z, 4 x 6 pixels, one sample each. Upper half: a quad at
// z = -5 facing the camera, colour (0.25, 1.5, 2.75, 1), label 70000. Lower half: a plane
// through (0, 0, -10) with unit normal (-0.6, 0, 0.8), colour (-1, 3.5, 0.5, 1), label 3.
std::string scene(const std::string& saver, const std::string& camera_extra = "",
                  const std::string& camera_transform = "") {
    return orn::test::module_preamble() + "shader \"saver\" \"orn_OpenEXR_saver\" (" + saver +
           ")\noptions \"opt\" samples 0 0 filter box 1 1 end options\n"
           "camera \"cam\" focal 1 aperture 1 aspect 0.6666667 resolution 4 6 clip 0.5 200\n" +
           camera_extra + "end camera\ninstance \"cam_i\" \"cam\" " + camera_transform +
           " end instance\n"
           "material \"top\" \"orn_constant\" (\"color\" 0.25 1.5 2.75 1) end material\n"
           "material \"bottom\" \"orn_constant\" (\"color\" -1 3.5 0.5 1) end material\n"
           "object \"upper\" group -20 0 0  20 0 0  20 20 0  -20 20 0 v 0 v 1 v 2 v 3 p 0 1 2 3 "
           "end group end object\n"
           "object \"tilted\" group -8 -20 -16  8 -20 -4  8 0 -4  -8 0 -16 v 0 v 1 v 2 v 3 p 0 1 2 3 "
           "end group end object\n"
           "instance \"upper_i\" \"upper\" material \"top\" label 70000 "
           "transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1 end instance\n"
           "instance \"tilted_i\" \"tilted\" material \"bottom\" label 3 end instance\n"
           "instgroup \"root\" \"cam_i\" \"upper_i\" \"tilted_i\" end instgroup\n"
           "render \"root\" \"cam_i\" \"opt\"\n";
}

std::string file_param(const std::string& path) {
    return "\"fileName\" \"" + path + "\"";
}

std::string all_standard(int format) {
    std::string s;
    for (const char* g : {"rgba", "z", "n", "m", "t", "c"})
        s += std::string(", \"") + g + "Pass\" on, \"" + g + "Format\" " + std::to_string(format);
    return s;
}

// A rendered frame on which the test runs the saver the way the output stage does.
struct SavedFrame {
    MessageCapture messages; // first, so it also takes what loading and rendering say
    orn::test::SceneFixture fx;
    bool loaded = false;

    explicit SavedFrame(const std::string& text) {
        loaded = fx.load(text);
        if (loaded) fx.render();
    }
    // The shader's return value; `result` receives its boolean result.
    bool save(miBoolean* result = nullptr) {
        miBoolean r = miFALSE;
        const bool ok = fx.call("saver", &r, fx.root());
        if (result) *result = r;
        return ok;
    }
    // Overwrites pixel (x, y) of an output image (renderer rows, 0 at the bottom).
    void put(miUint image, int x, int y, miColor c) {
        miImg_image* img = mi_output_image_open(fx.root(), image);
        ASSERT_NE(img, nullptr) << "image " << image;
        mi_img_put_color(img, &c, x, y);
        mi_output_image_close(fx.root(), image);
    }
    miUint buffer_image(const char* name) {
        mi::shader::Interface* iface = mi_get_shader_interface(3);
        const miTag set = fx.root()->camera->buffertag;
        const mi::shader::Framebuffer& fb = iface->accessFramebuffer(set);
        size_t index = size_t(-1);
        EXPECT_TRUE(fb.get_index(name, index)) << name;
        iface->releaseFramebuffer(fb, set);
        iface->release();
        return miUint(index) + miRC_IMAGE_USER;
    }
};

class ExrRead {
  public:
    explicit ExrRead(const std::string& path) : file_(path.c_str()) {}
    const Imf::Header& header() const { return file_.header(); }
    Imf::PixelType type(const char* channel) const { return header().channels().findChannel(channel)->type; }
    std::vector<std::string> channels() const {
        std::vector<std::string> out;
        for (auto it = header().channels().begin(); it != header().channels().end(); ++it)
            out.push_back(it.name());
        return out;
    }
    // One sample in file order (row 0 at the top), read as T.
    template <typename T> T at(const char* channel, int x, int row) {
        const Imf::PixelType as = std::is_same_v<T, half>    ? Imf::HALF
                                  : std::is_same_v<T, float> ? Imf::FLOAT
                                                             : Imf::UINT;
        std::vector<T> data(size_t(kWidth) * kHeight);
        Imf::FrameBuffer fb;
        fb.insert(channel,
                  Imf::Slice(as, reinterpret_cast<char*>(data.data()), sizeof(T), sizeof(T) * kWidth));
        file_.setFrameBuffer(fb);
        file_.readPixels(0, kHeight - 1);
        return data[size_t(row) * kWidth + size_t(x)];
    }
    template <typename A> auto attr(const char* name) const {
        return header().typedAttribute<A>(name).value();
    }

  private:
    Imf::InputFile file_;
};

// ------------------------------------------------------------------ standard groups

TEST(ExrSaverStandard, FloatGroupsHoldTheImagesWithTheTopRowFirst) {
    const std::string path = temp_path("float.exr");
    SavedFrame f(scene(file_param(path) + all_standard(2)));
    ASSERT_TRUE(f.loaded);
    // The renderer leaves motion at 0; one pixel's motion vector, x, y and z
    f.put(miRC_IMAGE_M, 2, kHeight - 2, {0.5f, -1.25f, 3.75f, 0.f}); // file row 1
    miBoolean result = miFALSE;
    ASSERT_TRUE(f.save(&result));
    EXPECT_TRUE(result);

    ExrRead exr(path);
    EXPECT_EQ(exr.channels(),
              (std::vector<std::string>{"A", "B", "Coverage.x", "G", "Label.x", "Motion.b", "Motion.g",
                                        "Motion.r", "Normal.b", "Normal.g", "Normal.r", "R", "Z.z"}));
    for (const auto& c : exr.channels())
        EXPECT_EQ(exr.type(c.c_str()), Imf::FLOAT) << c;
    EXPECT_EQ(exr.header().dataWindow().max, Imath::V2i(kWidth - 1, kHeight - 1));
    for (int x = 0; x < kWidth; ++x) {
        // file rows 0 to 2 are the renderer's rows 5 to 3: the upper quad
        EXPECT_EQ(exr.at<float>("R", x, 2), 0.25f);
        EXPECT_EQ(exr.at<float>("B", x, 0), 2.75f);
        EXPECT_EQ(exr.at<float>("A", x, 1), 1.f);
        EXPECT_NEAR(exr.at<float>("Z.z", x, 0), 5.f, 1e-4);
        EXPECT_NEAR(exr.at<float>("Normal.b", x, 0), 1.f, 1e-6);
        EXPECT_EQ(exr.at<float>("Label.x", x, 0), 70000.f);
        // file rows 3 to 5: the tilted plane, more than 7 away everywhere in view
        EXPECT_EQ(exr.at<float>("R", x, 3), -1.f);
        EXPECT_EQ(exr.at<float>("G", x, kBottom), 3.5f);
        EXPECT_GT(exr.at<float>("Z.z", x, kBottom), 7.f);
        EXPECT_NEAR(exr.at<float>("Normal.r", x, kBottom), -0.6f, 1e-6);
        EXPECT_NEAR(exr.at<float>("Normal.b", x, kBottom), 0.8f, 1e-6);
        EXPECT_EQ(exr.at<float>("Label.x", x, kBottom), 3.f);
        EXPECT_EQ(exr.at<float>("Coverage.x", x, kBottom), 1.f);
        EXPECT_EQ(exr.at<float>("Motion.r", x, 0), 0.f);
    }
    EXPECT_EQ(exr.at<float>("Motion.r", 2, 1), 0.5f);
    EXPECT_EQ(exr.at<float>("Motion.g", 2, 1), -1.25f);
    EXPECT_EQ(exr.at<float>("Motion.b", 2, 1), 3.75f);
}

TEST(ExrSaverStandard, HalfGroupsRoundAndALabelAbove65504IsInfinite) {
    const std::string path = temp_path("half.exr");
    SavedFrame f(scene(file_param(path) + all_standard(1)));
    ASSERT_TRUE(f.loaded);
    ASSERT_TRUE(f.save());
    ExrRead exr(path);
    for (const auto& c : exr.channels())
        EXPECT_EQ(exr.type(c.c_str()), Imf::HALF) << c;
    EXPECT_EQ(float(exr.at<half>("B", 2, 0)), 2.75f);
    const half top_label = exr.at<half>("Label.x", 0, 0);
    EXPECT_TRUE(top_label.isInfinity() && !top_label.isNegative());
    EXPECT_EQ(float(exr.at<half>("Label.x", 0, kBottom)), 3.f);
    EXPECT_EQ(float(exr.at<half>("Normal.r", 1, kBottom)), -1229.f / 2048.f); // nearest half to -0.6
}

TEST(ExrSaverStandard, UnsignedGroupsKeepTheIntegerPartWithinTheRange) {
    const std::string path = temp_path("uint.exr");
    SavedFrame f(scene(file_param(path) + all_standard(0)));
    ASSERT_TRUE(f.loaded);
    const float inf = std::numeric_limits<float>::infinity();
    f.put(miRC_IMAGE_RGBA, 1, kHeight - 1, {0.75f, 1.999f, 5e9f, inf}); // file row 0
    f.put(miRC_IMAGE_RGBA, 2, 0, {std::nanf(""), -3.f, 65536.5f, 7.f}); // file row 5
    ASSERT_TRUE(f.save());
    ExrRead exr(path);
    for (const auto& c : exr.channels())
        EXPECT_EQ(exr.type(c.c_str()), Imf::UINT) << c;
    const unsigned top[4] = {0, 1, 4294967295u, 4294967295u}, bottom[4] = {0, 0, 65536, 7};
    const char* rgba[4] = {"R", "G", "B", "A"};
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(exr.at<unsigned>(rgba[c], 1, 0), top[c]) << rgba[c];
        EXPECT_EQ(exr.at<unsigned>(rgba[c], 2, kBottom), bottom[c]) << rgba[c];
    }
    EXPECT_EQ(exr.at<unsigned>("B", 0, 0), 2u); // 2.75 from the upper quad
    EXPECT_EQ(exr.at<unsigned>("Label.x", 0, 0), 70000u);
    EXPECT_EQ(exr.at<unsigned>("Normal.r", 0, kBottom), 0u); // -0.6
    EXPECT_EQ(exr.at<unsigned>("Z.z", 0, 0), 5u);
}

TEST(ExrSaverStandard, OnlyGroupsSwitchedOnWithAKnownFormatAreWritten) {
    const std::string path = temp_path("some.exr");
    SavedFrame f(scene(file_param(path) +
                       ", \"rgbaPass\" off, \"rgbaFormat\" 2, \"zPass\" on, \"zFormat\" 1, "
                       "\"nPass\" on, \"nFormat\" 3, \"tPass\" on, \"tFormat\" -1"));
    ASSERT_TRUE(f.loaded);
    ASSERT_TRUE(f.save());
    ExrRead exr(path);
    EXPECT_EQ(exr.channels(), std::vector<std::string>{"Z.z"});
    EXPECT_EQ(exr.type("Z.z"), Imf::HALF);
}

// ------------------------------------------------------------------ header

TEST(ExrSaverHeader, CompressionCodesSelectTheMethodAndItsName) {
    const std::string path = temp_path("compressed.exr");
    SavedFrame f(scene(file_param(path) + all_standard(1)));
    ASSERT_TRUE(f.loaded);
    auto& db = f.fx.session().db();
    auto* saver = db.get_as<orn::FunctionElement>(db.lookup("saver"), miSCENE_FUNCTION);
    ASSERT_NE(saver, nullptr);
    auto* params = static_cast<orn_OpenEXR_saver_params*>(saver->function.block());
    struct Case {
        int code;
        Imf::Compression method;
        const char* name;
    };
    const Case cases[] = {{1, Imf::NO_COMPRESSION, "none"},   {2, Imf::RLE_COMPRESSION, "rle"},
                          {3, Imf::ZIPS_COMPRESSION, "zip1"}, {4, Imf::ZIP_COMPRESSION, "zip16"},
                          {5, Imf::PIZ_COMPRESSION, "piz"},   {6, Imf::PXR24_COMPRESSION, "pxr24"},
                          {7, Imf::B44_COMPRESSION, "b44"},   {8, Imf::B44A_COMPRESSION, "b44a"},
                          {0, Imf::NO_COMPRESSION, "none"},   {9, Imf::NO_COMPRESSION, "none"}};
    for (const Case& c : cases) {
        params->compression = c.code; // the same frame, saved again with each code
        fs::remove(path);
        ASSERT_TRUE(f.save()) << "code " << c.code;
        ExrRead exr(path);
        EXPECT_EQ(exr.header().compression(), c.method) << "code " << c.code;
        EXPECT_EQ(exr.attr<Imf::StringAttribute>("compress"), c.name) << "code " << c.code;
        EXPECT_EQ(float(exr.at<half>("G", 0, 0)), 1.5f) << "code " << c.code;
    }
}

TEST(ExrSaverHeader, CameraAttributes) {
    const std::string path = temp_path("camera.exr");
    // world to camera moves the world by (0, -1, -10): the camera stands at (0, 1, 10); a focal
    // length of 2 and an aperture of 1.5 (a later value replaces the first)
    SavedFrame f(scene(file_param(path) + all_standard(1), "focal 2 aperture 1.5\n",
                       "transform 1 0 0 0 0 1 0 0 0 0 1 0 0 -1 -10 1"));
    ASSERT_TRUE(f.loaded);
    ASSERT_TRUE(f.save());
    ExrRead exr(path);
    EXPECT_EQ(exr.attr<Imf::StringAttribute>("comments"),
              "Created using mental ray orn_OpenEXR_saver shader");
    EXPECT_EQ(exr.attr<Imf::FloatAttribute>("aperture"), 1.5f);
    EXPECT_EQ(exr.attr<Imf::FloatAttribute>("focal"), 2.f * 25.400051f);
    // 2 atan(1.5 / 2 / 2) in degrees
    EXPECT_NEAR(exr.attr<Imf::FloatAttribute>("angleOfView"), 2.0 * std::atan(0.375) * 180.0 / M_PI, 1e-4);
    EXPECT_EQ(exr.attr<Imf::FloatAttribute>("clipNear"), 0.5f);
    EXPECT_EQ(exr.attr<Imf::FloatAttribute>("clipFar"), 200.f);
    EXPECT_EQ(exr.attr<Imf::M44fAttribute>("cameraTransform"),
              Imath::M44f(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 1, 10, 1));
    EXPECT_EQ(exr.attr<Imf::M44fAttribute>("cameraMotion"), Imath::M44f());
    EXPECT_EQ(exr.header().pixelAspectRatio(), 1.f);
    EXPECT_EQ(exr.header().lineOrder(), Imf::INCREASING_Y);
}

TEST(ExrSaverHeader, CameraMotionIsTheCameraInstancesMotionTransform) {
    const std::string path = temp_path("camera_motion.exr");
    // The camera moves from (0, 1, 10) to (0.5, 1, 10) over the shutter.
    SavedFrame f(scene(file_param(path) + all_standard(1), "",
                       "transform 1 0 0 0 0 1 0 0 0 0 1 0 0 -1 -10 1\n"
                       "motion transform 1 0 0 0 0 1 0 0 0 0 1 0 -0.5 -1 -10 1"));
    ASSERT_TRUE(f.loaded);
    ASSERT_TRUE(f.save());
    ExrRead exr(path);
    EXPECT_EQ(exr.attr<Imf::M44fAttribute>("cameraMotion"),
              Imath::M44f(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -0.5f, -1, -10, 1));
}

TEST(ExrSaverHeader, StandardCameraColourAndFrameAttributes) {
    const std::string path = temp_path("standard.exr");
    // the camera stands at (0, 2, 10) looking down -z
    SavedFrame f(scene(file_param(path) + all_standard(1), "frame 7\n",
                       "transform 1 0 0 0 0 1 0 0 0 0 1 0 0 -2 -10 1"));
    ASSERT_TRUE(f.loaded);
    ASSERT_TRUE(f.save());
    ExrRead exr(path);
    EXPECT_EQ(exr.attr<Imf::M44fAttribute>("worldToCamera"),
              Imath::M44f(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -2, -10, 1));
    // focal 1, aperture 1, aspect 2/3: a point 10 in front at camera (x, y) lands at
    // (0.5 + x / 10, 0.5 - y / 10 / 1.5) in device coordinates, y downwards
    const Imath::M44f ndc = exr.attr<Imf::M44fAttribute>("worldToNDC");
    auto project = [&](float x, float y, float z) {
        Imath::V3f out;
        ndc.multVecMatrix(Imath::V3f(x, y, z), out);
        return out;
    };
    EXPECT_NEAR(project(0, 2, 0).x, 0.5f, 1e-6f);
    EXPECT_NEAR(project(0, 2, 0).y, 0.5f, 1e-6f);
    EXPECT_NEAR(project(1, 2, 0).x, 0.6f, 1e-6f);
    EXPECT_NEAR(project(0, 3, 0).y, 0.5f - 0.1f / 1.5f, 1e-6f);
    const Imf::Chromaticities c = exr.attr<Imf::ChromaticitiesAttribute>("chromaticities");
    EXPECT_EQ(c.red, Imath::V2f(0.64f, 0.33f));
    EXPECT_EQ(c.green, Imath::V2f(0.30f, 0.60f));
    EXPECT_EQ(c.blue, Imath::V2f(0.15f, 0.06f));
    EXPECT_EQ(c.white, Imath::V2f(0.3127f, 0.3290f));
    EXPECT_EQ(exr.attr<Imf::IntAttribute>("frame"), 7);
    EXPECT_EQ(exr.attr<Imf::IntAttribute>("ornFrameComplete"), 1); // only finished frames are saved
    // as a compositing tool sees it: the world moves by minus the camera position
    FILE* p = popen(("oiiotool --info -v " + path).c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string info;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p))
        info += buf;
    pclose(p);
    EXPECT_NE(info.find("worldToCamera: 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -2, -10, 1"),
              std::string::npos)
        << info;
}

// ------------------------------------------------------------------ tk groups

TEST(ExrSaverTk, LayersComeFromTheNamedBuffersInTheirFormats) {
    const std::string path = temp_path("tk.exr");
    std::string buffers;
    for (const char* b : {"tk_diffuse", "my_spec", "occl"})
        buffers += std::string("framebuffer \"") + b + "\" (\"datatype\" \"rgb_fp\", \"user\" on)\n";
    SavedFrame f(scene(file_param(path) +
                           ", \"diffusePass\" on, \"diffuseBuffer\" \"tk_diffuse\", \"diffuseFormat\" 2"
                           ", \"specularPass\" on, \"specularBuffer\" \"my_spec\", \"specularFormat\" 1"
                           ", \"diffuseOcclusionPass\" on, \"diffuseOcclusionBuffer\" \"occl\""
                           ", \"diffuseOcclusionFormat\" 0"
                           ", \"refractPass\" on, \"refractBuffer\" \"tk_diffuse\", \"refractFormat\" 3"
                           ", \"reflectPass\" on, \"reflectBuffer\" \"no_such_buffer\", \"reflectFormat\" 2",
                       buffers));
    ASSERT_TRUE(f.loaded);
    f.put(f.buffer_image("tk_diffuse"), 3, kHeight - 1, {0.5f, 0.25f, 2.f, 1.f});
    f.put(f.buffer_image("my_spec"), 0, 0, {0.1f, -2.f, 70000.f, 1.f});
    f.put(f.buffer_image("occl"), 1, 2, {3.7f, 0.3f, 9.f, 1.f});
    ASSERT_TRUE(f.save());

    ExrRead exr(path);
    EXPECT_EQ(exr.channels(),
              (std::vector<std::string>{
                  "orn_MegaTK_diff_occlus.b", "orn_MegaTK_diff_occlus.g", "orn_MegaTK_diff_occlus.r",
                  "orn_MegaTK_diffuse.b", "orn_MegaTK_diffuse.g", "orn_MegaTK_diffuse.r",
                  "orn_MegaTK_specular.b", "orn_MegaTK_specular.g", "orn_MegaTK_specular.r"}));
    EXPECT_EQ(exr.type("orn_MegaTK_diffuse.r"), Imf::FLOAT);
    EXPECT_EQ(exr.type("orn_MegaTK_specular.g"), Imf::HALF);
    EXPECT_EQ(exr.type("orn_MegaTK_diff_occlus.b"), Imf::UINT);
    EXPECT_EQ(exr.at<float>("orn_MegaTK_diffuse.b", 3, 0), 2.f);
    EXPECT_EQ(exr.at<float>("orn_MegaTK_diffuse.r", 3, 1), 0.f); // nothing wrote the buffer there
    EXPECT_EQ(float(exr.at<half>("orn_MegaTK_specular.g", 0, kBottom)), -2.f);
    EXPECT_TRUE(exr.at<half>("orn_MegaTK_specular.b", 0, kBottom).isInfinity());
    EXPECT_EQ(exr.at<unsigned>("orn_MegaTK_diff_occlus.r", 1, kHeight - 3), 3u);

    // the 20 groups without a buffer name each report it; the unknown buffer is named
    size_t null_tags = 0;
    for (const auto& e : f.messages.of(orn::Severity::Error))
        null_tags += e == "OpenEXR_saver shader: could not eval buffer miTag";
    EXPECT_EQ(null_tags, 20u);
    EXPECT_TRUE(f.messages.contains("no_such_buffer"));
}

TEST(ExrSaverTk, LayersFromBuffersOfOneAndFourComponents) {
    const std::string path = temp_path("components.exr");
    SavedFrame f(scene(file_param(path) +
                           ", \"shadingPass\" on, \"shadingBuffer\" \"grey\", \"shadingFormat\" 2"
                           ", \"colorPass\" on, \"colorBuffer\" \"grey\", \"colorFormat\" 1"
                           ", \"diffusePass\" on, \"diffuseBuffer\" \"quad\", \"diffuseFormat\" 2",
                       "framebuffer \"grey\" (\"datatype\" \"z\", \"user\" on)\n"
                       "framebuffer \"quad\" (\"datatype\" \"rgba_fp\", \"user\" on)\n"));
    ASSERT_TRUE(f.loaded);
    f.put(f.buffer_image("grey"), 1, kHeight - 1, {0.75f, 5.f, 6.f, 7.f}); // keeps only 0.75
    f.put(f.buffer_image("quad"), 2, 0, {0.5f, 0.25f, 2.f, 9.f});
    ASSERT_TRUE(f.save());
    ExrRead exr(path);
    // one component is read as grey, in float and in half; of four, alpha is left out
    for (const char* c : {"orn_MegaTK_shading.r", "orn_MegaTK_shading.g", "orn_MegaTK_shading.b"})
        EXPECT_EQ(exr.at<float>(c, 1, 0), 0.75f) << c;
    for (const char* c : {"orn_MegaTK_color.r", "orn_MegaTK_color.g", "orn_MegaTK_color.b"})
        EXPECT_EQ(float(exr.at<half>(c, 1, 0)), 0.75f) << c;
    EXPECT_EQ(exr.at<float>("orn_MegaTK_shading.r", 0, 0), 0.f);
    EXPECT_EQ(exr.at<float>("orn_MegaTK_diffuse.r", 2, kBottom), 0.5f);
    EXPECT_EQ(exr.at<float>("orn_MegaTK_diffuse.g", 2, kBottom), 0.25f);
    EXPECT_EQ(exr.at<float>("orn_MegaTK_diffuse.b", 2, kBottom), 2.f);
    EXPECT_EQ(exr.at<float>("orn_MegaTK_diffuse.b", 2, 0), 0.f);
}

TEST(ExrSaverTk, ProgressLinesFollowTheGroupOrder) {
    const std::string path = temp_path("progress.exr");
    SavedFrame f(scene(file_param(path) +
                           ", \"colorPass\" on, \"colorBuffer\" \"tk_color\", \"colorFormat\" 1"
                           ", \"tPass\" on, \"tFormat\" 0, \"rgbaPass\" on, \"rgbaFormat\" 2",
                       "framebuffer \"tk_color\" (\"datatype\" \"rgb_fp\", \"user\" on)\n"));
    ASSERT_TRUE(f.loaded);
    ASSERT_TRUE(f.save());
    EXPECT_EQ(f.messages.of(orn::Severity::Progress),
              (std::vector<std::string>{
                  "orn_OpenEXR_saver(): writing image file " + path, "orn_OpenEXR_saver(): RGBA...(float)",
                  "orn_OpenEXR_saver(): Label...(unint)", "orn_OpenEXR_saver(): orn_MegaTK_color...(half)",
                  "orn_OpenEXR_saver(): File saved!"}));
}

// ------------------------------------------------------------------ failures and the output stage

TEST(ExrSaverFailure, MissingDirectoriesAreMadeAndAnImpossibleOneIsNamedWithItsReason) {
    {
        const std::string path = temp_path("absent") + "/sub/out.exr";
        SavedFrame f(scene(file_param(path) + all_standard(2)));
        ASSERT_TRUE(f.loaded);
        EXPECT_TRUE(f.save());
        EXPECT_TRUE(fs::is_regular_file(path));
    }
    const std::string blocker = temp_path("blocker"); // a file where a directory would go
    std::ofstream(blocker) << "a file";
    const std::string path = blocker + "/out.exr";
    SavedFrame f(scene(file_param(path) + all_standard(2)));
    ASSERT_TRUE(f.loaded);
    miBoolean result = miTRUE;
    EXPECT_FALSE(f.save(&result));
    EXPECT_FALSE(result);
    EXPECT_TRUE(fs::is_regular_file(blocker));
    EXPECT_TRUE(f.messages.contains(
        "orn_OpenEXR_saver(): Error writing exr file. Please check your permission or free space."));
    // the second message names the file and why
    EXPECT_TRUE(
        f.messages.contains("orn_OpenEXR_saver(): " + path + ": cannot create the directory " + blocker))
        << f.messages.all();
    EXPECT_FALSE(f.messages.contains("File saved!"));
}

TEST(ExrSaverFailure, AFailedWriteLeavesNoTemporaryFileAndTheTargetUntouched) {
    const std::string target = temp_path("taken.exr"); // a directory: the file cannot take its name
    fs::create_directories(target);
    SavedFrame f(scene(file_param(target) + all_standard(2)));
    ASSERT_TRUE(f.loaded);
    EXPECT_FALSE(f.save());
    EXPECT_TRUE(fs::is_directory(target));
    for (const auto& e : fs::directory_iterator(fs::path(target).parent_path()))
        EXPECT_EQ(e.path(), fs::path(target));
    EXPECT_TRUE(f.messages.contains("Error writing exr file"));
}

TEST(ExrSaverFailure, NoFileNameReturnsFalseQuietly) {
    SavedFrame f(scene(all_standard(2).substr(2)));
    ASSERT_TRUE(f.loaded);
    EXPECT_FALSE(f.save());
    EXPECT_TRUE(f.messages.of(orn::Severity::Progress).empty());
    EXPECT_TRUE(f.messages.of(orn::Severity::Warning).empty());
}

TEST(ExrSaverFailure, AnAbortKeepsTheOlderFile) {
    // The channels of an aborted frame would be zeros: the finished file stays as it was.
    const std::string path = temp_path("aborted.exr");
    std::ofstream(path) << "older";
    SavedFrame f(scene(file_param(path) + all_standard(2)));
    ASSERT_TRUE(f.loaded);
    orn::Frame::aborted() = true;
    miBoolean result = miFALSE;
    const bool saved = f.save(&result);
    orn::Frame::aborted() = false;
    EXPECT_FALSE(saved || result);
    std::ifstream kept(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "older");
    EXPECT_TRUE(f.messages.contains("rendering was aborted; " + path + " not written")) << f.messages.all();
}

TEST(ExrSaverOutputStage, TheCameraOutputWritesTheFileAfterTheFrame) {
    const std::string path = temp_path("stage.exr");
    MessageCapture messages;
    orn::SessionOptions o;
    o.render.progress = false;
    orn::Session session(o);
    ASSERT_TRUE(
        session.load_string(scene(file_param(path) + all_standard(1), "output = \"saver\"\n"), "s.mi"));
    ASSERT_TRUE(session.render_all());
    ExrRead exr(path);
    EXPECT_EQ(float(exr.at<half>("R", 0, 0)), 0.25f);
    EXPECT_EQ(float(exr.at<half>("R", 0, kBottom)), -1.f);

    // A file the saver cannot write stops the frame before it renders, as a camera output does.
    const std::string blocker = temp_path("blocker"); // a file where a directory would go
    std::ofstream(blocker) << "a file";
    MessageCapture early;
    orn::Session blocked(o);
    ASSERT_TRUE(blocked.load_string(
        scene(file_param(blocker + "/x.exr") + all_standard(1), "output = \"saver\"\n"), "s.mi"));
    EXPECT_FALSE(blocked.render_all());
    EXPECT_TRUE(early.contains("output shader \"orn_OpenEXR_saver\": ")) << early.all();
    EXPECT_TRUE(early.contains(blocker + "/x.exr")) << early.all();
    EXPECT_FALSE(early.contains("orn_OpenEXR_saver(): writing image file")) << early.all();
}

TEST(ExrSaverOutputStage, ThePassSetUpAttachesTheSaverForItsPasses) {
    const fs::path dir = fs::path(temp_path("shot.singleTK.0001.exr")).parent_path();
    std::string text = scene(file_param((dir / "unused.exr").string()));
    text.insert(text.rfind("render"), "shader \"pass\" \"orn_MegaTK_pass\" (" +
                                          zero_defaults("orn_MegaTK_pass") +
                                          "\"file_name\" \"shot\", \"directory\" \"" + dir.string() +
                                          "\", \"frame_digits\" 4, \"output_mode\" 3, \"bit_depth\" 1, "
                                          "\"rgba_pass\" on, \"rgba_format\" 2, \"diffuse_pass\" on)\n"
                                          "call \"pass\"\n");
    MessageCapture messages;
    orn::SessionOptions o;
    o.render.progress = false;
    orn::Session session(o);
    ASSERT_TRUE(session.load_string(text, "pass.mi"));
    ASSERT_TRUE(session.render_all()) << messages.all();
    ExrRead exr((dir / "shot.singleTK.0001.exr").string());
    // tk_shadow is defined for the ratio, but only the switched-on diffuse pass is saved
    EXPECT_EQ(exr.channels(), (std::vector<std::string>{"A", "B", "G", "R", "orn_MegaTK_diffuse.b",
                                                        "orn_MegaTK_diffuse.g", "orn_MegaTK_diffuse.r"}));
    EXPECT_EQ(exr.type("orn_MegaTK_diffuse.g"), Imf::FLOAT);
    EXPECT_EQ(exr.at<float>("R", 0, 0), 0.25f);
    EXPECT_FALSE(fs::exists(dir / "unused.exr"));
}

} // namespace
