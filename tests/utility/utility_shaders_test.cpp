// Irradiance, photon, shading-group and buffer-writer shaders through the real module, on
// the quad scene of the test support (camera at the origin, quad at z = -5 facing it).
#include "source/utility/orn_utility.h"
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <cmath>
#include <vector>

namespace orn::test {
namespace {

TEST(Irradiance, TintsTheGatheredLight) {
    // A uniform white environment over an open plane: every final-gather ray brings 1, so the
    // irradiance in the renderer's radiance units is exactly 1 whatever the directions.
    QuadScene s;
    s.options = "samples 0 0 \"finalgather\" on \"finalgather rays\" 16";
    s.camera = "environment \"orn_constant\" (\"color\" 1 1 1 1)\n";
    s.defs = "shader \"irr\" \"orn_irradiance\" (\"color\" 0.5 0.25 2 0)\n"
             "material \"irr_m\" = \"irr\" end material\n";
    s.material = "irr_m";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_color(fx.shade_hit("irr"), 0.5f, 0.25f, 2.f, 1.f, 1e-4f);
    miColor c{};
    miState* hit = fx.probe_eye(50, 50);
    hit->type = miRAY_SHADOW;
    EXPECT_FALSE(fx.call("irr", &c, hit));
}

TEST(ShadingEngine, MatteAndTransparencyByModeAndRayType) {
    QuadScene s;
    for (int m = 0; m < 3; ++m)
        s.defs += "shader \"se" + std::to_string(m) +
                  "\" \"orn_maya_shadingengine\" (\"color\" 0.2 0.4 0.6 0.25, "
                  "\"matte_mode\" " +
                  std::to_string(m) +
                  ", \"matte_value\" 0.8, \"override_normal\" on, "
                  "\"normal\" 0 3 4)\n";
    s.defs += "material \"m\" = \"se0\" end material\n";
    s.material = "m";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto run = [&](int mode, int type) {
        orn_maya_shadingengine_result r;
        std::fill_n(&r.out_color.r, 16, -1.f);
        miState* hit = fx.probe_eye(50, 50);
        hit->type = type;
        EXPECT_TRUE(fx.call("se" + std::to_string(mode), &r, hit));
        // the normal (0, 3, 4) normalised, and its dot product with the centre ray (0, 0, -1)
        EXPECT_NEAR(hit->normal.y, 0.6f, 1e-6f);
        EXPECT_NEAR(hit->normal.z, 0.8f, 1e-6f);
        EXPECT_NEAR(hit->dot_nd, -0.8, 1e-6);
        expect_rgb(r.out_black, 0, 0, 0);
        return r;
    };
    auto r = run(2, miRAY_EYE);
    expect_color(r.out_color, 0.2f, 0.4f, 0.6f, 0.25f);
    expect_rgb(r.out_matte, 0.2f, 0.2f, 0.2f); // 0.8 * alpha
    expect_rgb(r.out_transparency, 0.75f, 0.75f, 0.75f);
    r = run(1, miRAY_TRANSPARENT);
    expect_rgb(r.out_matte, 0.8f, 0.8f, 0.8f);
    expect_rgb(r.out_transparency, 0, 0, 0);
    r = run(2, miRAY_REFLECT);
    expect_rgb(r.out_matte, 0.8f, 0.8f, 0.8f);
    expect_rgb(r.out_transparency, 0, 0, 0);
    r = run(0, miRAY_REFRACT);
    expect_color(r.out_color, 0, 0, 0, 0.25f);
    expect_rgb(r.out_matte, 0, 0, 0);
    expect_rgb(r.out_transparency, 0, 0, 0);
}

TEST(ShadingEngine, ItsRecordFitsWhereverTheRendererCallsIt) {
    // The shader writes four colours wherever it runs; a caller that keeps one colour (a mirror
    // tracing a material, an environment, a lens) gets the first. A small panel behind the
    // camera shows in the middle of the mirror, the environment around it.
    const std::string se = "\"orn_maya_shadingengine\" (\"color\" 0.2 0.4 0.6 1, \"matte_mode\" 1)\n";
    QuadScene s;
    s.options = "samples 0 0 trace depth 1 1 2";
    s.camera = "environment " + se;
    s.defs =
        "shader \"se\" " + se + "material \"se_m\" = \"se\" shadow = \"se\" end material\n" +
        mega("mirror",
             "\"reflect_on\" on, \"reflect_amount\" 1, \"reflect_color\" 1 1 1 1, \"reflect_samples\" 1") +
        quad_object("panel", 5.f, 1.f) + "instance \"panel_i\" \"panel\" material \"se_m\" end instance\n";
    s.material = "mirror_m";
    s.instances = {"panel_i"};
    for (const bool lens : {false, true}) {
        if (lens) s.camera += "lens " + se;
        SceneFixture fx;
        ASSERT_TRUE(fx.load(s.text()));
        for (const float r : {50.f, 2.f}) {
            const miColor c = lens ? fx.through_lens(r, r) : fx.shade_hit("mirror", r, r);
            expect_rgb(c, 0.2f, 0.4f, 0.6f);
        }
        fx.render();
    }
}

TEST(PhotonBasic, StoresOnlyOnDiffuseSurfacesAndReflectsSpecularly) {
    // Photons travelling along -x meet the specular panel x - z = 4, which turns them straight
    // down onto the floor; there the bounced photons are stored when the floor is diffuse.
    auto stored = [](const char* floor_diffuse) {
        QuadScene s;
        s.options = "samples 0 0 \"globillum\" on \"globillum photons\" 4000";
        s.defs = std::string("light \"sun\" \"orn_constant\" (\"color\" 1 1 1 1) direction -1 0 0 "
                             "energy 100 100 100 end light\ninstance \"sun_i\" \"sun\" end instance\n"
                             "shader \"white\" \"orn_constant\" (\"color\" 1 1 1 1)\n"
                             "material \"floor_m\" = \"white\" photon \"orn_photon_basic\" (\"diffuse\" ") +
                 floor_diffuse +
                 ") end material\n"
                 "material \"mirror_m\" = \"white\" photon \"orn_photon_basic\" (\"specular\" 1 1 1) "
                 "end material\n"
                 "object \"tilted\" visible shadow trace group\n  1 20 -3  5 20 1  5 -20 1  1 -20 -3\n"
                 "  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
                 "instance \"mirror_i\" \"tilted\" material \"mirror_m\" end instance\n";
        s.material = "floor_m";
        s.instances = {"sun_i", "mirror_i"};
        SceneFixture fx;
        return fx.load(s.text()) ? int(fx.frame().photon_count()) : -1;
    };
    EXPECT_EQ(stored("0 0 0"), 0);
    EXPECT_GT(stored("1 1 1"), 100);
}

TEST(BufferWriter, WritesUserBuffersOnEyeRaysOnlyAndTheCameraOutputsThem) {
    const std::string file = temp_path("fb1.exr");
    QuadScene s;
    s.camera = "framebuffer \"first\" (\"datatype\" \"rgb_fp\")\n"
               "framebuffer \"second\" (\"datatype\" \"rgba_fp\")\n"
               "output \"fb1\" \"exr\" \"" +
               file + "\"\n";
    s.defs = "shader \"bw\" \"orn_buffer_writer\" (\"color\" 0.1 0.2 0.3 1, \"write_1\" on, "
             "\"value_1\" 0.5 0.25 0.125 1, \"write_0\" off, \"value_0\" 9 9 9 9, \"write_7\" on, "
             "\"value_7\" 1 1 1 1)\nmaterial \"bw_m\" = \"bw\" end material\n";
    s.material = "bw_m";
    {
        SceneFixture fx;
        ASSERT_TRUE(fx.load(s.text()));
        float* second = fx.sample_buffer("second");
        ASSERT_NE(second, nullptr);
        std::fill_n(second, 4, 0.f);
        expect_color(fx.shade_hit("bw", 50, 50, miRAY_REFLECT), 0.1f, 0.2f, 0.3f, 1.f);
        EXPECT_EQ(second[0], 0.f) << "a reflection ray writes no buffer";
        expect_color(fx.shade_hit("bw", 50, 50, miRAY_EYE), 0.1f, 0.2f, 0.3f, 1.f);
        EXPECT_EQ(second[0], 0.5f);
        EXPECT_EQ(second[2], 0.125f);
        EXPECT_EQ(fx.sample_buffer("first")[0], 0.f) << "write_0 is off";
        fx.render();
        fx.frame().finish();
    }
    auto in = OIIO::ImageInput::open(file);
    ASSERT_TRUE(in) << file;
    const auto& spec = in->spec();
    ASSERT_EQ(spec.nchannels, 4);
    std::vector<float> image(size_t(spec.width) * size_t(spec.height) * 4);
    ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, image.data()));
    const float* px = &image[(size_t(50) * size_t(spec.width) + 50) * 4]; // the quad fills the view
    EXPECT_FLOAT_EQ(px[0], 0.5f);
    EXPECT_FLOAT_EQ(px[1], 0.25f);
    EXPECT_FLOAT_EQ(px[2], 0.125f);

    // Buffer numbers the camera does not have, or beyond 7, stop the frame before it renders.
    for (const char* bad : {"fb2", "fb8"}) {
        QuadScene b = s;
        b.camera = "framebuffer \"first\" (\"datatype\" \"rgb_fp\")\noutput \"" + std::string(bad) +
                   "\" \"exr\" \"" + file + "\"\n";
        MessageCapture messages;
        SceneFixture fx;
        EXPECT_FALSE(fx.load(b.text()) && fx.frame().render()) << bad;
        EXPECT_TRUE(messages.contains(std::string(bad) == "fb8" ? "numbered 0 to 7" : "no frame buffer 2"))
            << messages.all();
    }
}

} // namespace
} // namespace orn::test
