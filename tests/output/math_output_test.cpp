// The buffer arithmetic output shader on real frame buffers: values are put into the
// buffers' output images, the shader combines them, and buffer a is read back.
#include "support/scene_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using orn::test::MessageCapture;
using orn::test::module_preamble;
using orn::test::SceneFixture;

namespace {

constexpr int kPixels = 8; // 4 x 2
using Image = std::vector<miColor>;

// Buffers "a" and "b" (indices 0 and 1: the renderer numbers them in definition order) and one
// orn_math_output instance "op" with `params`.
std::string math_scene(const std::string& params) {
    return module_preamble() +
           "options \"opt\" samples 0 0 end options\ncamera \"cam\" resolution 4 2\n"
           "  framebuffer \"a\" (\"datatype\" \"rgb_fp\", \"user\" on)\n"
           "  framebuffer \"b\" (\"datatype\" \"rgb_fp\", \"user\" on)\nend camera\n"
           "instance \"cam_i\" \"cam\" end instance\nshader \"op\" \"orn_math_output\" (" +
           params + ")\ninstgroup \"root\" \"cam_i\" end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

// Runs "op" on buffers filled with `a` and `b` and returns what buffer a then holds.
class MathOutput : public ::testing::Test {
  protected:
    Image run(const std::string& params, const Image& a, const Image& b, bool* ok = nullptr) {
        EXPECT_TRUE(fx.load(math_scene(params))) << messages.all();
        miState* state = fx.root(0, 0);
        state->type = miRAY_OUTPUT;
        fill(state, 0, a);
        fill(state, 1, b);
        miBoolean result = miFALSE;
        const bool done = fx.call("op", &result, state);
        if (ok) *ok = done;
        Image out(kPixels);
        miImg_image* img = mi_output_image_open(state, miRC_IMAGE_USER);
        for (int i = 0; img && i < kPixels; ++i)
            mi_img_get_color(img, &out[size_t(i)], i % 4, i / 4);
        mi_output_image_close(state, miRC_IMAGE_USER);
        return out;
    }
    static void fill(miState* state, int buffer, const Image& pixels) {
        miImg_image* img = mi_output_image_open(state, miUint(buffer + miRC_IMAGE_USER));
        ASSERT_NE(img, nullptr);
        for (int i = 0; i < kPixels; ++i) {
            miColor c = pixels[size_t(i)];
            mi_img_put_color(img, &c, i % 4, i / 4);
        }
        mi_output_image_close(state, miUint(buffer + miRC_IMAGE_USER));
    }

    MessageCapture messages;
    SceneFixture fx;
};

Image uniform(miColor c) {
    return Image(kPixels, c);
}

void expect_rgb(const miColor& c, float r, float g, float b, const std::string& where) {
    EXPECT_FLOAT_EQ(c.r, r) << where;
    EXPECT_FLOAT_EQ(c.g, g) << where;
    EXPECT_FLOAT_EQ(c.b, b) << where;
}

TEST_F(MathOutput, DivisionZeroesChannelsAtOrBelowTheFloor) {
    Image a = uniform({0.5f, 0.5f, 0.5f, 0.f});
    Image b = uniform({0.25f, 0.00001f, 0.f, 0.f});
    a[1] = {0.00001f, 0.3f, -0.5f, 0.f}; // numerator at the floor; a plain quotient; both negative
    b[1] = {0.5f, 0.6f, -0.25f, 0.f};
    a[6] = {0.00002f, 2.f, 7.f, 0.f}; // just above the floor
    b[6] = {0.00002f, 0.000011f, -1.f, 0.f};
    const Image r = run("\"buffer_a\" \"a\", \"buffer_b\" \"b\", \"operation\" 1", a, b);
    expect_rgb(r[0], 2.f, 0.f, 0.f, "0.5 / 0.25, denominator at and below the floor");
    expect_rgb(r[7], 2.f, 0.f, 0.f, "last pixel");
    expect_rgb(r[1], 0.f, 0.5f, 0.f, "pixel 1");
    expect_rgb(r[6], 1.f, 2.f / 0.000011f, 0.f, "pixel 6");
    EXPECT_TRUE(messages.contains("orn_math_output: a / b")) << messages.all();
}

TEST_F(MathOutput, SubtractionIsAMinusB) {
    const Image r = run("\"buffer_a\" \"a\", \"buffer_b\" \"b\", \"operation\" 3",
                        uniform({1.f, 0.25f, 3.f, 0.f}), uniform({0.25f, 1.f, 3.f, 0.f}));
    expect_rgb(r[5], 0.75f, -0.75f, 0.f, "a - b");
}

TEST_F(MathOutput, MultiplyingABufferByItselfSquaresItInPlace) {
    Image a = uniform({3.f, -2.f, 0.5f, 0.f});
    a[6] = {0.1f, 10.f, 0.f, 0.f};
    const Image r =
        run("\"buffer_a\" \"a\", \"buffer_b\" \"a\", \"operation\" 0", a, uniform({7.f, 7.f, 7.f, 0.f}));
    expect_rgb(r[0], 9.f, 4.f, 0.25f, "pixel 0");
    expect_rgb(r[6], 0.1f * 0.1f, 100.f, 0.f, "pixel 6");
    EXPECT_TRUE(messages.contains("orn_math_output: a * a")) << messages.all();
}

TEST_F(MathOutput, UnknownOperationLeavesBufferAAndPrintsNothing) {
    const Image r = run("\"buffer_a\" \"a\", \"buffer_b\" \"b\", \"operation\" 4",
                        uniform({0.5f, 0.25f, 2.f, 0.f}), uniform({2.f, 2.f, 2.f, 0.f}));
    expect_rgb(r[3], 0.5f, 0.25f, 2.f, "unchanged");
    EXPECT_TRUE(messages.of(orn::Severity::Progress).empty()) << messages.all();
}

TEST_F(MathOutput, MissingBuffersFailWithOneWarningNamingTheFirst) {
    bool ok = true;
    const Image r = run("\"buffer_a\" \"x\", \"buffer_b\" \"y\", \"operation\" 0",
                        uniform({0.5f, 0.5f, 0.5f, 0.f}), uniform({0.f, 0.f, 0.f, 0.f}), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(messages.of(orn::Severity::Warning),
              std::vector<std::string>{"orn_math_output: wrong buffer number "
                                       "for buffer x"});
    expect_rgb(r[0], 0.5f, 0.5f, 0.5f, "buffer a untouched");
}

TEST_F(MathOutput, NullBufferNameFailsSilently) {
    bool ok = true;
    run("\"buffer_b\" \"b\", \"operation\" 1", uniform({}), uniform({}), &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(messages.of(orn::Severity::Warning).empty()) << messages.all();
}

} // namespace
