// Adaptive sampling: pixels take from 4^min to 4^max eye samples as the contrast among their
// samples asks; the sample-count buffer shows where they went; frames stay the same bits.
#include "support/scene_fixture.h"

#include "film/film.h"

#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>

using orn::test::MessageCapture;
using orn::test::module_preamble;
using orn::test::SceneFixture;

namespace {

// An 8 x 8 frame through a pinhole of focal 1 and aperture 2: a red wall 5 units away and, in
// front of it at 4 units, a second wall whose left edge x = 0.5 projects onto the middle of
// pixel column 4 (raster x = (0.5 / 4 / 2 + 0.5) * 8 = 4.5). Each wall's material is `left` or
// `right`; the camera keeps `extra_buffers` (from index 0 on) and a one-component "Samples" buffer.
std::string edge_scene(const std::string& options, const std::string& left, const std::string& right,
                       const std::string& extra_buffers = "", bool samples_buffer = true) {
    return module_preamble() + "options \"opt\" " + options +
           " end options\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 8 8\n" +
           extra_buffers + (samples_buffer ? "framebuffer \"Samples\" (\"datatype\" \"z\")\n" : "") +
           "end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n" +
           left + right +
           "material \"left\" = \"left_s\" end material\n"
           "material \"right\" = \"right_s\" end material\n"
           "object \"wall\" visible shadow trace group\n"
           "  -20 -20 0  20 -20 0  20 20 0  -20 20 0\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
           "object \"half\" visible shadow trace group\n"
           "  0.5 -20 0  20 -20 0  20 20 0  0.5 20 0\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
           "instance \"back\" \"wall\" material \"left\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1 end "
           "instance\n"
           "instance \"front\" \"half\" material \"right\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 4 1 end "
           "instance\n"
           "instgroup \"root\" \"cam_i\" \"back\" \"front\" end instgroup\nrender \"root\" \"cam_i\" "
           "\"opt\"\n";
}

std::string constant(const char* name, const char* color) {
    return std::string("shader \"") + name + "\" \"orn_constant\" (\"color\" " + color + ")\n";
}

// A red surface that writes `value` into user buffer 0.
std::string writer(const char* name, const char* value) {
    return std::string("shader \"") + name + "\" \"orn_buffer_writer\" (\"color\" 1 0 0 1, \"write_0\" on, " +
           "\"value_0\" " + value + ")\n";
}

float samples_at(SceneFixture& fx, int x, int y) {
    const orn::film::Film& film = fx.frame().film();
    return film.pixel(film.plane_id("Samples"), x, y)[0];
}

// Sample counts of row y.
std::vector<float> counts(SceneFixture& fx, int y) {
    std::vector<float> row;
    for (int x = 0; x < 8; ++x)
        row.push_back(samples_at(fx, x, y));
    return row;
}

// Columns 0 to 2 and 6, 7 see one colour in their whole neighbourhood: one sample. Column 4 holds
// the edge in its middle: its four quarters differ, and so do its 16 samples. Its one base sample
// lies on one side of the edge, and the neighbour on the other side (column 3 or 5) sees that
// difference among its neighbourhood's samples, which stays: it takes 16 as well; the neighbour
// on the same side takes one.
void expect_edge_counts(SceneFixture& fx) {
    for (int y = 0; y < 8; ++y) {
        const std::vector<float> row = counts(fx, y);
        for (int x : {0, 1, 2, 6, 7})
            EXPECT_EQ(row[size_t(x)], 1.f) << "column " << x << " row " << y;
        EXPECT_EQ(row[4], 16.f) << "row " << y;
        EXPECT_TRUE((row[3] == 16.f && row[5] == 1.f) || (row[3] == 1.f && row[5] == 16.f))
            << "row " << y << ": " << row[3] << " " << row[5];
    }
}

// Every sampled and matte plane of two films, bit for bit.
void expect_same_film(const orn::film::Film& a, const orn::film::Film& b) {
    ASSERT_EQ(a.plane_count(), b.plane_count());
    for (int p = 0; p < a.plane_count(); ++p) {
        const std::vector<float>&pa = a.resolved(p), &pb = b.resolved(p);
        ASSERT_EQ(pa.size(), pb.size());
        EXPECT_EQ(std::memcmp(pa.data(), pb.data(), pa.size() * sizeof(float)), 0)
            << "plane " << a.plane_info(p).name;
    }
}

// The demo, small, with the given options line for its samples.
std::string demo(const std::string& samples) {
    std::ifstream in(std::string(ORN_SOURCE_DIR) + "/scenes/demo.mi");
    std::string text{std::istreambuf_iterator<char>(in), {}};
    text = std::regex_replace(text, std::regex("resolution 640 480"), "resolution 40 30");
    text = std::regex_replace(text, std::regex("samples 0 2"), samples);
    text = std::regex_replace(text, std::regex("\"meshes/"),
                              "\"" + std::string(ORN_SOURCE_DIR) + "/scenes/meshes/");
    return text;
}

} // namespace

TEST(AdaptiveSampling, SamplesGoWhereTheContrastIs) {
    {
        SceneFixture fx;
        ASSERT_TRUE(fx.load(edge_scene("samples 0 2 contrast 0.1 0.1 0.1 0.1", constant("left_s", "1 0 0 1"),
                                       constant("right_s", "0 1 0 1"))));
        fx.render();
        expect_edge_counts(fx);
        // The box of one pixel averages the pixel's own samples. Column 4's 16 stratified samples
        // fall 8 on each side, except that its first one sits on the edge itself: with red there
        // (column 3 took 1) 9 are red. Column 3 is all red, column 5 all green.
        const orn::film::Film& film = fx.frame().film();
        for (int y = 0; y < 8; ++y) {
            const float* c4 = film.pixel(orn::film::Color, 4, y);
            const float red = samples_at(fx, 3, y) == 1.f ? 9.f / 16.f : 8.f / 16.f;
            EXPECT_NEAR(c4[0], red, 1e-6f) << "row " << y;
            EXPECT_NEAR(c4[1], 1.f - red, 1e-6f) << "row " << y;
            EXPECT_EQ(film.pixel(orn::film::Color, 3, y)[0], 1.f);
            EXPECT_EQ(film.pixel(orn::film::Color, 5, y)[1], 1.f);
        }
    }
    {
        // Below the threshold nothing is refined; `samples 2` takes 16 everywhere.
        SceneFixture low, uniform;
        ASSERT_TRUE(low.load(edge_scene("samples 0 2 contrast 1.5 1.5 1.5 1.5", constant("left_s", "1 0 0 1"),
                                        constant("right_s", "0 1 0 1"))));
        ASSERT_TRUE(uniform.load(
            edge_scene("samples 2", constant("left_s", "1 0 0 1"), constant("right_s", "0 1 0 1"))));
        low.render();
        uniform.render();
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                EXPECT_EQ(samples_at(low, x, y), 1.f);
                EXPECT_EQ(samples_at(uniform, x, y), 16.f);
            }
        EXPECT_NEAR(uniform.frame().film().pixel(orn::film::Color, 4, 3)[0], 0.5f, 1e-6f);
    }
    {
        // Without a buffer of the camera's (the pass set-up replaces them all) the option asks for
        // the counts and their file.
        const std::string file = orn::test::temp_path("counts.exr");
        SceneFixture fx;
        ASSERT_TRUE(
            fx.load(edge_scene("samples 0 2 \"sample counts\" \"" + file + "\"",
                               constant("left_s", "1 0 0 1"), constant("right_s", "0 1 0 1"), "", false)));
        fx.render();
        expect_edge_counts(fx);
        fx.frame().finish();
        auto in = OIIO::ImageInput::open(file);
        ASSERT_TRUE(in);
        ASSERT_EQ(in->spec().nchannels, 1);
        std::vector<float> pixels(64);
        ASSERT_TRUE(in->read_image(0, 0, 0, 1, OIIO::TypeDesc::FLOAT, pixels.data()));
        EXPECT_EQ(pixels[4], 16.f) << "the middle column of the top row";
        EXPECT_EQ(pixels[0], 1.f);
    }
}

TEST(AdaptiveSampling, ContrastAllBuffersCountsTheUserBuffers) {
    // The colour is red on both walls; only user buffer 0 tells them apart.
    const std::string buffer =
        "framebuffer \"fb0\" (\"datatype\" \"rgb_fp\", \"user\" on, \"filtering\" on)\n";
    for (bool all : {false, true}) {
        SceneFixture fx;
        ASSERT_TRUE(
            fx.load(edge_scene(std::string("samples 0 2 contrast 0.1 0.1 0.1 0.1 \"contrast all buffers\" ") +
                                   (all ? "on" : "off"),
                               writer("left_s", "0 0 0 1"), writer("right_s", "1 1 1 1"), buffer)));
        fx.render();
        if (all) {
            expect_edge_counts(fx);
        } else {
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                    EXPECT_EQ(samples_at(fx, x, y), 1.f) << x << " " << y;
        }
    }
}

TEST(AdaptiveSampling, SameBitsAsTheBaseWhenNothingRefinesAndAcrossThreads) {
    // A pixel that stays at its base samples takes those of a uniform render at the base level,
    // and its weights, scaled by a power of 2, divide out exactly: every plane of the demo (passes,
    // light groups, ID mattes, under its gauss filter of 2 pixels) comes out the same bits.
    SceneFixture base(2), never(2);
    ASSERT_TRUE(base.load(demo("samples 0 0")));
    ASSERT_TRUE(never.load(demo("samples 0 2\n    contrast 1e30 1e30 1e30 1e30")));
    base.render();
    never.render();
    expect_same_film(base.frame().film(), never.frame().film());
    // Refining for real: the same bits on one thread as on three.
    SceneFixture one(1), three(3);
    ASSERT_TRUE(one.load(demo("samples 0 2")));
    ASSERT_TRUE(three.load(demo("samples 0 2")));
    one.render();
    three.render();
    expect_same_film(one.frame().film(), three.frame().film());
    EXPECT_LT(one.frame().eye_samples(), 40u * 30u * 16u) << "the demo's flat walls take fewer samples";
}

TEST(AdaptiveSampling, BadLevelsAndContrastAreToldAndMended) {
    struct Case {
        const char* options;
        int min, max;
        const char* message;
    };
    const Case cases[] = {
        {"samples 3 1", 1, 1, "samples 3 1: the minimum is above the maximum; using 1 1"},
        {"samples 1 6", 1, 4, "samples 1 6: 6 is more than 4 (256 per pixel); using 4"},
        {"samples -1 2", 0, 2,
         "samples -1 2: every pixel takes at least one sample; the minimum -1 counts as 0"},
        {"samples 0 -3", 0, 0,
         "samples 0 -3: a maximum below 0 takes no fewer samples than 0 (one per pixel); using 0"},
        {"samples 0 2 contrast -0.2 0.05 0.05", 0, 2,
         "contrast red -0.2 is not a contrast (0 or more); using 0.1"},
    };
    for (const Case& c : cases) {
        SceneFixture fx;
        MessageCapture messages;
        ASSERT_TRUE(
            fx.load(edge_scene(c.options, constant("left_s", "1 0 0 1"), constant("right_s", "0 1 0 1"))))
            << messages.all();
        EXPECT_TRUE(messages.contains(c.message)) << c.options << ": " << messages.all();
        const miOptions* o = fx.frame().options_record();
        EXPECT_EQ(o->min_samples, c.min) << c.options;
        EXPECT_EQ(o->max_samples, c.max) << c.options;
        EXPECT_EQ(fx.frame().film().spp(), 1 << (2 * c.max)) << c.options;
        EXPECT_EQ(fx.frame().film().base_spp(), 1 << (2 * c.min)) << c.options;
    }
    SceneFixture fx;
    MessageCapture messages;
    ASSERT_TRUE(fx.load(edge_scene("samples 0 2 contrast -0.2 0.05 0.05", constant("left_s", "1 0 0 1"),
                                   constant("right_s", "0 1 0 1"))));
    EXPECT_EQ(fx.frame().options_record()->contrast.r, 0.1f);
    EXPECT_EQ(fx.frame().options_record()->contrast.g, 0.05f);
    // No samples statement: the default one sample per pixel, and nothing to say.
    SceneFixture plain;
    MessageCapture quiet;
    ASSERT_TRUE(plain.load(edge_scene("", constant("left_s", "1 0 0 1"), constant("right_s", "0 1 0 1"))));
    EXPECT_TRUE(quiet.of(orn::Severity::Warning).empty()) << quiet.all();
    EXPECT_EQ(plain.frame().film().spp(), 1);
}
