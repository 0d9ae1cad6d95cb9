// The depth-of-field lens on the camera: a pinhole without aperture, sharp on the focus
// plane, the thin-lens blur off it, tk pass buffers averaged with the colour, and the same
// bits on one and two threads.
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orn::test {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The camera of QuadScene (90 degrees, 100 pixels) with the depth-of-field lens, looking at a
// half-plane x < 0 at z = `depth`, drawn by the material "half_m".
QuadScene lens_scene(const std::string& lens_params, double depth, const std::string& material_defs) {
    QuadScene q;
    q.camera = "lens \"orn_physical_lens_dof\" (" + lens_params + ")\n" + rgb_buffers({"tk_color"});
    q.defs = material_defs +
             "object \"half\" visible shadow trace group\n  -20 -20 0  0 -20 0  0 20 0  -20 20 0\n"
             "  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
             "instance \"half_i\" \"half\" material \"half_m\" transform 1 0 0 0  0 1 0 0  0 0 1 0  0 0 " +
             std::to_string(-depth) + " 1 end instance\n";
    // The textured quad of QuadScene is moved behind the camera, out of the way.
    q.material = "half_m";
    q.placement = "transform 1 0 0 0  0 1 0 0  0 0 1 0  0 0 -1005 1";
    q.instances = {"half_i"};
    return q;
}

const std::string kWhite = "material \"half_m\" \"orn_constant\" (\"color\" 1 1 1 1) end material\n";

miColor through_lens(SceneFixture& f, float rx) {
    return f.through_lens(rx, 50.f);
}

// Share of a disc of radius 1 beyond the chord at distance e from its centre.
double disc_share_beyond(double e) {
    return (std::acos(e) - e * std::sqrt(1.0 - e * e)) / kPi;
}

TEST(DepthOfFieldLens, SharpOnTheFocusPlaneAndSpreadByTheCircleOfConfusionOffIt) {
    // On the focus plane at 5 the edge x = 0 falls between pixels 49 and 50 for every lens ray.
    SceneFixture sharp;
    ASSERT_TRUE(
        sharp.load(lens_scene("\"focus_plane\" 5, \"lens_radius\" 0.4, \"samples\" 64", -5, kWhite).text()));
    EXPECT_EQ(through_lens(sharp, 49.5f).r, 1.f);
    EXPECT_EQ(through_lens(sharp, 50.5f).r, 0.f);

    // At depth 10 with focus 5 the rays of one sample spread over a disc of the lens's radius
    // (0.4 x (10 - 5) / 5) around the primary ray's hit; at raster x 51 that hit is x = 0.2,
    // so the white share is the part of the disc beyond a chord at half its radius.
    SceneFixture blurred;
    ASSERT_TRUE(blurred.load(
        lens_scene("\"focus_plane\" 5, \"lens_radius\" 0.4, \"samples\" 256", -10, kWhite).text()));
    EXPECT_NEAR(through_lens(blurred, 51.f).r, disc_share_beyond(0.5), 0.02);
    EXPECT_NEAR(through_lens(blurred, 49.f).r, 1.0 - disc_share_beyond(0.5), 0.02);
}

TEST(DepthOfFieldLens, WithoutApertureItIsThePinhole) {
    for (const double depth : {-5.0, -10.0}) {
        SceneFixture pin, lens;
        QuadScene plain = lens_scene("", depth, kWhite);
        plain.camera = "";
        ASSERT_TRUE(pin.load(plain.text()));
        ASSERT_TRUE(lens.load(
            lens_scene("\"focus_plane\" 7, \"lens_radius\" 0, \"samples\" 4", depth, kWhite).text()));
        pin.render();
        lens.render();
        for (int x = 40; x < 60; ++x)
            EXPECT_EQ(lens.frame().film().pixel(film::Color, x, 50)[0],
                      pin.frame().film().pixel(film::Color, x, 50)[0])
                << x;
    }
}

TEST(DepthOfFieldLens, PassBuffersAreAveragedOverTheLensRaysWithTheColour) {
    // Every ray that hits writes the surface colour into tk_color; a ray that misses leaves it
    // empty. The average is the covered share of the colour, as the alpha of the result is.
    const std::string mat =
        mega("half", "\"diffuse_on\" on, \"diffuse_color\" 0.2 0.4 0.6 1, \"pass_color\" on");
    SceneFixture f;
    ASSERT_TRUE(
        f.load(lens_scene("\"focus_plane\" 5, \"lens_radius\" 0.4, \"samples\" 64", -10, mat).text()));
    const miColor c = through_lens(f, 51.f);
    EXPECT_NEAR(c.a, disc_share_beyond(0.5), 0.04);
    const float* buf = f.sample_buffer("tk_color");
    ASSERT_NE(buf, nullptr);
    EXPECT_NEAR(buf[0], 0.2f * c.a, 1e-6f);
    EXPECT_NEAR(buf[1], 0.4f * c.a, 1e-6f);
    EXPECT_NEAR(buf[2], 0.6f * c.a, 1e-6f);
}

TEST(DepthOfFieldLens, StandardImagesComeFromTheRayThroughTheLensCentre) {
    // At depth 10 a pixel is 0.2 wide and the lens rays of a sample spread 0.8 x (10 - 5) / 5
    // = 0.8, four pixels, about its centre ray: pixels 46 to 53 see the half-plane with some
    // rays only. The centre ray of pixel x meets z = -10 at 10 (x + 0.5 - 50) / 50, so pixels
    // below 50 hold the plane (depth 10, normal +z, label 7) and those from 50 on nothing;
    // with one ray per sample too, which starts somewhere on the lens.
    for (const char* samples : {"64", "1"}) {
        SCOPED_TRACE(std::string("samples ") + samples);
        QuadScene q = lens_scene(
            std::string("\"focus_plane\" 5, \"lens_radius\" 0.8, \"samples\" ") + samples, -10, kWhite);
        const std::string plain = "material \"half_m\" transform";
        q.defs.replace(q.defs.find(plain), plain.size(), "material \"half_m\" label 7 transform");
        SceneFixture f;
        ASSERT_TRUE(f.load(q.text()));
        f.render();
        const film::Film& film = f.frame().film();
        for (int y : {20, 50, 80}) {
            for (int x = 46; x < 50; ++x) {
                EXPECT_NEAR(film.pixel(film::Depth, x, y)[0], 10.f, 1e-4f) << x << " " << y;
                EXPECT_EQ(film.pixel(film::Normal, x, y)[2], 1.f) << x << " " << y;
                EXPECT_EQ(film::load_label(film.pixel(film::Label, x, y)), 7u) << x << " " << y;
                EXPECT_EQ(film.pixel(film::Coverage, x, y)[0], 1.f) << x << " " << y;
            }
            for (int x = 50; x < 54; ++x) {
                EXPECT_EQ(film.pixel(film::Depth, x, y)[0], 0.f) << x << " " << y;
                EXPECT_EQ(film::load_label(film.pixel(film::Label, x, y)), 0u) << x << " " << y;
                EXPECT_EQ(film.pixel(film::Coverage, x, y)[0], 0.f) << x << " " << y;
            }
        }
        // The colour keeps its blur: pixel 49's centre ray hits at -0.1, an eighth of the disc.
        if (samples[0] == '6') {
            EXPECT_NEAR(film.pixel(film::Color, 49, 50)[0], 1.0 - disc_share_beyond(0.125), 0.03);
        }
    }
}

TEST(DepthOfFieldLens, SameBitsOnOneAndTwoThreads) {
    const std::string mat =
        mega("half", "\"diffuse_on\" on, \"diffuse_color\" 0.2 0.4 0.6 1, \"pass_color\" on");
    const std::string text =
        lens_scene("\"focus_plane\" 5, \"lens_radius\" 0.4, \"samples\" 16", -10, mat).text();
    SceneFixture one(1), two(2);
    ASSERT_TRUE(one.load(text));
    ASSERT_TRUE(two.load(text));
    one.render();
    two.render();
    const film::Film &a = one.frame().film(), &b = two.frame().film();
    const int buffer = a.plane_id("tk_color");
    ASSERT_GE(buffer, 0);
    for (int y = 0; y < 100; y += 7)
        for (int x = 0; x < 100; ++x) {
            ASSERT_EQ(a.pixel(film::Color, x, y)[3], b.pixel(film::Color, x, y)[3]) << x << " " << y;
            ASSERT_EQ(a.pixel(buffer, x, y)[0], b.pixel(buffer, x, y)[0]) << x << " " << y;
        }
}

TEST(DepthOfFieldLens, BadSettingsAreBoundedAndReported) {
    MessageCapture messages;
    SceneFixture f;
    ASSERT_TRUE(
        f.load(lens_scene("\"focus_plane\" -1, \"lens_radius\" -0.4, \"samples\" -3", -5, kWhite).text()));
    EXPECT_TRUE(messages.contains("orn_physical_lens_dof: focus_plane -1 is not in front of the camera"));
    EXPECT_TRUE(messages.contains("orn_physical_lens_dof: negative lens_radius -0.4"));
    EXPECT_TRUE(messages.contains("orn_physical_lens_dof: samples -3 is out of range; 4096 rays"));
    // The focus plane behind the camera: the primary ray is traced as a pinhole would.
    EXPECT_EQ(through_lens(f, 49.5f).r, 1.f);
    EXPECT_EQ(through_lens(f, 50.5f).r, 0.f);
}

} // namespace
} // namespace orn::test
