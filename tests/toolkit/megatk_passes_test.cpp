// orn_MegaTK's tk passes: what each buffer receives, layering over surfaces behind, the
// rasteriser's own compositing, which rays write, missing buffers, the depth channel, and the
// closure of the passes against the beauty image. Expected values are worked out here from
// the shading formulas.
#include "support/scene_fixture.h"

#include "common/tk_buffers.h"
#include "source/toolkit/orn_MegaTK.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

using orn::test::MessageCapture;
using orn::test::module_preamble;
using orn::test::SceneFixture;
using orn::test::zero_defaults;

namespace {

using Rgb = std::array<double, 3>;

const char* const kAllBuffers[] = {
    "tk_shading",   "tk_color",     "tk_diffuse",   "tk_shadow",    "tk_specular",
    "tk_spec_shd",  "tk_diff_occl", "tk_indirect",  "tk_ambient",   "tk_amb_occlus",
    "tk_reflect",   "tk_refract",   "tk_incand",    "tk_z",         "tk_bent",
    "tk_specialC1", "tk_specialC2", "tk_specialC3", "tk_specialC4", "tk_specialC5",
    "tk_specialC6", "tk_specialC7", "tk_specialC8", "tk_specialC9", "tk_specialC10",
};

const std::string kAllPassSwitches =
    "\"pass_shading\" on, \"pass_color\" on, \"pass_diffuse\" on, \"pass_shadow\" on, \"pass_specular\" on, "
    "\"pass_spec_shd\" on, \"pass_diff_occl\" on, \"pass_indirect\" on, \"pass_ambient\" on, "
    "\"pass_amb_occlus\" on, \"pass_reflect\" on, \"pass_refract\" on, \"pass_incand\" on, \"pass_z\" on, "
    "\"pass_bent\" on, \"pass_specialC1\" on, \"pass_specialC2\" on, \"pass_specialC3\" on, "
    "\"pass_specialC4\" on, \"pass_specialC5\" on, \"pass_specialC6\" on, \"pass_specialC7\" on, "
    "\"pass_specialC8\" on, \"pass_specialC9\" on, \"pass_specialC10\" on";

std::string buffer(const std::string& name, bool useopacity = true) {
    return "  framebuffer \"" + name + "\" (\"datatype\" \"rgb_fp\", \"user\" on, \"filtering\" on" +
           (useopacity ? ", \"useopacity\" on" : "") + ")\n";
}

std::string all_buffers() {
    std::string s;
    for (const char* name : kAllBuffers)
        s += buffer(name);
    return s;
}

std::string mega(const std::string& name, const std::string& params, const std::string& opacity = "1 1 1 1") {
    return "shader \"" + name + "\" \"orn_MegaTK\" (" + zero_defaults("orn_MegaTK") + "\"opacity\" " +
           opacity + ", \"opacity_channel\" 3, \"ior\" 1" + (params.empty() ? "" : ", " + params) + ")\n";
}

// A directional light shining along -z, straight onto the quads.
std::string toolkit_light(const std::string& name, const std::string& color,
                          const std::string& dir = "0 0 -1", const std::string& shadow = "off") {
    return "light \"" + name + "\" \"orn_DirectTK\" (\"color\" " + color +
           " 1, \"intensity\" 1, \"emit_diffuse\" on, \"emit_specular\" on, \"shadow\" " + shadow +
           ", \"shadow_factor\" 0, \"category\" \"\")\n  direction " + dir + "\nend light\ninstance \"" +
           name + "_i\" \"" + name + "\" end instance\n";
}
std::string plain_light(const std::string& name, const std::string& color) {
    return "light \"" + name + "\" \"orn_constant\" (\"color\" " + color +
           " 1)\n  direction 0 0 -1\nend light\ninstance \"" + name + "_i\" \"" + name + "\" end instance\n";
}

const std::string kQuad = "group\n  -20 -20 0  20 -20 0  20 20 0  -20 20 0\n"
                          "  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n";

// Quads facing the camera at z = -5 ("front") and, with a material for it, z = -10 ("back").
// The camera is orthographic, one sample per pixel through a 1×1 box, so every ray has
// length 5 and every pixel holds its own sample.
struct Scene {
    std::string defs; // shaders and lights; material "front_m" must be defined
    std::string buffers = all_buffers();
    std::vector<std::string> lights;
    std::string options = "samples 0 0 filter box 1 1";
    std::string back; // material of the back quad, if any
    std::string camera = "orthographic aperture 2 aspect 1 resolution 4 4";
    std::string extra; // more objects and their instances

    std::string text() const {
        std::string s = module_preamble() + "options \"opt\" " + options + " end options\ncamera \"cam\" " +
                        camera + "\n" + buffers + "end camera\ninstance \"cam_i\" \"cam\" end instance\n" +
                        defs + "object \"quad\" visible shadow trace " + kQuad +
                        "instance \"front\" \"quad\" material \"front_m\" "
                        "transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1 end instance\n" +
                        extra;
        std::string group = "\"cam_i\" \"front\"";
        if (!back.empty()) {
            s += "instance \"back\" \"quad\" material \"" + back +
                 "\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 10 1 end instance\n";
            group += " \"back\"";
        }
        for (const auto& l : lights)
            group += " \"" + l + "\"";
        return s + "instgroup \"root\" " + group + " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
    }
};

megatk_instance* record_of(SceneFixture& fx, const std::string& shader) {
    auto& db = fx.session().db();
    auto* fe = db.get_as<orn::FunctionElement>(db.lookup(shader), miSCENE_FUNCTION);
    return fe ? static_cast<megatk_instance*>(fe->function.user_slot) : nullptr;
}

Rgb pixel(SceneFixture& fx, const std::string& plane, int x = 1, int y = 2) {
    auto& film = fx.frame().film();
    const int id = film.plane_id(plane);
    EXPECT_GE(id, 0) << plane;
    if (id < 0) return {NAN, NAN, NAN};
    const float* p = film.pixel(id, x, y);
    return {p[0], p[1], p[2]};
}

// Direct calls write into the fixture's own current eye sample.
class DirectSample {
  public:
    explicit DirectSample(SceneFixture& fx) : fx_(fx), hit_(fx.probe_eye(2.f, 2.f)) {
        fx.frame().main_context().own_film_sample(fx.frame().film().clear_sample());
    }
    miState* hit() const { return hit_; }
    float* buffer(const std::string& name) {
        auto& film = fx_.frame().film();
        return fx_.frame().main_context().film_sample + film.plane_offset(film.plane_id(name));
    }
    Rgb value(const std::string& name) {
        const float* p = buffer(name);
        return {p[0], p[1], p[2]};
    }
    void fill(float v) {
        for (const char* name : kAllBuffers)
            std::fill_n(buffer(name), 3, v);
    }
    miColor shade(const std::string& shader, int type = miRAY_EYE) {
        miColor c{0, 0, 0, 0};
        hit_->type = type;
        EXPECT_TRUE(fx_.call(shader, &c, hit_)) << shader;
        return c;
    }

  private:
    SceneFixture& fx_;
    miState* hit_;
};

// Unlike the support's, takes braced colours as they are written below.
void expect_rgb(const Rgb& got, const Rgb& want, const std::string& what, double tol = 1e-5) {
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(got[size_t(i)], want[size_t(i)], tol) << what << " channel " << i;
}

// ------------------------------------------------------------------ values and layering

TEST(MegaTKPasses, OpaqueSurfaceWritesExactlyItsValues) {
    // Both lights shine along the normal (c = 1) and the view is the mirror direction, so the
    // Phong factor is 1. Toolkit light (2, 1, 0.5); plain light (0.5, 0.5, 0.5), which only the
    // shadowed sums see. kd = 0.5, ambient 0.5 × (0.2, 0.4, 0.6).
    Scene s;
    s.defs =
        toolkit_light("key", "2 1 0.5") + plain_light("plain", "0.5 0.5 0.5") +
        mega("m",
             "\"diffuse_color\" 0.8 0.6 0.4 1, \"ambient_on\" on, \"ambient_scale\" 0.5, "
             "\"ambient_color\" 0.2 0.4 0.6 1, \"diffuse_on\" on, \"diffuse_weight\" 0.5, "
             "\"phong_on\" on, \"phong_weight\" 0.5, \"phong_color\" 1 0.5 0.25 1, \"phong_exponent\" 10, "
             "\"special_on_1\" on, \"special_color_1\" 0.3 0.2 0.1 1, \"special_color_2\" 9 9 9 1, "
             "\"light_mode\" 4, " +
                 kAllPassSwitches) +
        "material \"front_m\" = \"m\" end material\n";
    s.lights = {"key_i", "plain_i"};
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    DirectSample sample(fx);
    ASSERT_NE(sample.hit(), nullptr);
    sample.fill(7.f);

    const miColor result = sample.shade("m");
    const Rgb D_uns{0.1 + 1.0, 0.2 + 0.5, 0.3 + 0.25};
    const Rgb D_shd{D_uns[0] + 0.25, D_uns[1] + 0.25, D_uns[2] + 0.25};
    const Rgb S_uns{0.5 * 2, 0.25 * 1, 0.125 * 0.5};
    const Rgb S_shd{S_uns[0] + 0.25, S_uns[1] + 0.125, S_uns[2] + 0.0625};
    const Rgb Cd{0.8, 0.6, 0.4};
    const Rgb shading{Cd[0] * D_shd[0], Cd[1] * D_shd[1], Cd[2] * D_shd[2]};
    expect_rgb(sample.value("tk_shading"), shading, "tk_shading");
    expect_rgb(sample.value("tk_color"), Cd, "tk_color");
    expect_rgb(sample.value("tk_diffuse"), D_uns, "tk_diffuse");
    expect_rgb(sample.value("tk_shadow"), D_shd, "tk_shadow");
    expect_rgb(sample.value("tk_specular"), S_uns, "tk_specular");
    expect_rgb(sample.value("tk_spec_shd"), S_shd, "tk_spec_shd");
    expect_rgb(sample.value("tk_diff_occl"), {1, 1, 1}, "tk_diff_occl");
    expect_rgb(sample.value("tk_specialC1"), {0.3, 0.2, 0.1}, "tk_specialC1");
    // switched-off components and channels overwrite with black
    for (const char* black : {"tk_indirect", "tk_ambient", "tk_amb_occlus", "tk_reflect", "tk_refract",
                              "tk_incand", "tk_bent", "tk_specialC2", "tk_specialC10"})
        expect_rgb(sample.value(black), {0, 0, 0}, black);
    // depth is off: red is layered like the others, green and blue only ever add
    expect_rgb(sample.value("tk_z"), {0, 7, 7}, "tk_z");

    EXPECT_NEAR(result.r, shading[0] + S_shd[0], 1e-5);
    EXPECT_NEAR(result.g, shading[1] + S_shd[1], 1e-5);
    EXPECT_NEAR(result.b, shading[2] + S_shd[2], 1e-5);
    EXPECT_EQ(result.a, 1.f);
}

// Front: g = 0.5, colour (0.6, 0.4, 0.2), ambient 0.2. Back: opaque white, ambient 1.
Scene half_transparent_over_white() {
    Scene s;
    const std::string passes = "\"pass_color\" on, \"pass_diffuse\" on, \"pass_diff_occl\" on";
    s.defs =
        mega("f",
             "\"diffuse_color\" 0.6 0.4 0.2 1, \"ambient_on\" on, \"ambient_scale\" 0.2, "
             "\"ambient_color\" 1 1 1 1, " +
                 passes,
             "0.5 0.5 0.5 0.5") +
        mega(
            "b",
            "\"diffuse_color\" 1 1 1 1, \"ambient_on\" on, \"ambient_scale\" 1, \"ambient_color\" 1 1 1 1, " +
                passes) +
        "material \"front_m\" = \"f\" end material\nmaterial \"back_m\" = \"b\" end material\n";
    s.back = "back_m";
    s.buffers = buffer("tk_color") + buffer("tk_diffuse", false) + buffer("tk_diff_occl");
    return s;
}

TEST(MegaTKPasses, HalfTransparentSurfaceLayersOverWhatIsBehind) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(half_transparent_over_white().text()));
    fx.render();
    // 0.5 × 1 + 0.5 × Cao
    expect_rgb(pixel(fx, "tk_color"), {0.8, 0.7, 0.6}, "tk_color");
    expect_rgb(pixel(fx, "tk_diffuse"), {0.6, 0.6, 0.6}, "tk_diffuse");
    expect_rgb(pixel(fx, "tk_diff_occl"), {1, 1, 1}, "tk_diff_occl");
    // 0.5 × behind + 0.5 × Cao × ambient, alpha 0.5 + 1 clamped
    const float* c = fx.frame().film().pixel(orn::film::Color, 1, 2);
    expect_rgb({c[0], c[1], c[2]}, {0.56, 0.54, 0.52}, "colour");
    EXPECT_NEAR(c[3], 1.0, 1e-6);
}

TEST(MegaTKPasses, RasteriserCompositesUnweightedValuesWithTheHandedOpacity) {
    Scene s = half_transparent_over_white();
    s.options += " scanline rasterizer";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    fx.render();
    // The renderer layers "useopacity" buffers as g × front + (1 − g) × behind: the same
    // picture as layering by the material, but only if the front value was not weighted.
    expect_rgb(pixel(fx, "tk_color"), {0.8, 0.7, 0.6}, "tk_color");
    // Without "useopacity" the buffer keeps the front layer's own, unweighted value.
    expect_rgb(pixel(fx, "tk_diffuse"), {0.2, 0.2, 0.2}, "tk_diffuse");
    const float* c = fx.frame().film().pixel(orn::film::Color, 1, 2);
    expect_rgb({c[0], c[1], c[2]}, {0.56, 0.54, 0.52}, "colour");
    EXPECT_NEAR(c[3], 1.0, 1e-6);
}

TEST(MegaTKPasses, OnlyEyeAndTransparencyRaysWrite) {
    Scene s;
    s.defs = mega("m", "\"diffuse_color\" 0.5 0.5 0.5 1, \"pass_color\" on", "0.5 0.5 0.5 0.5") +
             "material \"front_m\" = \"m\" end material\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    DirectSample sample(fx);
    ASSERT_NE(sample.hit(), nullptr);
    for (int type : {miRAY_REFLECT, miRAY_REFRACT, miRAY_FINALGATHER}) {
        sample.fill(1.f);
        sample.shade("m", type);
        expect_rgb(sample.value("tk_color"), {1, 1, 1}, "ray type " + std::to_string(type));
    }
    EXPECT_EQ(record_of(fx, "m")->passes[orn::kTkColor].index.load(), -1) << "never looked up";
    // 1 × 0.5 + 0.5 × 0.5
    sample.fill(1.f);
    sample.shade("m", miRAY_TRANSPARENT);
    expect_rgb(sample.value("tk_color"), {0.75, 0.75, 0.75}, "transparency ray");
}

TEST(MegaTKPasses, MissingBufferDropsThePassSilentlyAndForGood) {
    const std::string lit = "\"diffuse_color\" 0.5 0.25 1 1, \"ambient_on\" on, \"ambient_scale\" 1, "
                            "\"ambient_color\" 0.5 1 0.5 1";
    Scene s;
    s.defs = mega("m", lit + ", \"pass_diffuse\" on, \"pass_color\" on") +
             "material \"front_m\" = \"m\" end material\n";
    s.buffers = buffer("tk_specular") + buffer("tk_color");
    MessageCapture messages;
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    fx.render();

    const megatk_instance* rec = record_of(fx, "m");
    ASSERT_NE(rec, nullptr);
    EXPECT_FALSE(rec->passes[orn::kTkDiffuse].enabled.load());
    EXPECT_EQ(rec->passes[orn::kTkDiffuse].index.load(), -1);
    EXPECT_TRUE(rec->passes[orn::kTkColor].enabled.load());
    EXPECT_EQ(rec->passes[orn::kTkColor].index.load(), 1) << "second buffer of the set";
    // tk_specular exists, but its pass is off: never looked up
    EXPECT_FALSE(rec->passes[orn::kTkSpecular].enabled.load());
    EXPECT_EQ(rec->passes[orn::kTkSpecular].index.load(), -1);

    expect_rgb(pixel(fx, "tk_color"), {0.5, 0.25, 1}, "tk_color");
    expect_rgb(pixel(fx, "tk_specular"), {0, 0, 0}, "tk_specular");
    const float* c = fx.frame().film().pixel(orn::film::Color, 1, 2);
    expect_rgb({c[0], c[1], c[2]}, {0.25, 0.25, 0.5}, "colour");
    EXPECT_TRUE(messages.of(orn::Severity::Warning).empty()) << messages.all();
    EXPECT_TRUE(messages.of(orn::Severity::Error).empty()) << messages.all();
}

TEST(MegaTKPasses, NoColourOcclusionLeavesTheOcclusionPassWhite) {
    Scene s;
    s.defs = mega("m", "\"diffuse_color\" 0.5 0.5 0.5 1, \"ao_on\" on, \"ao_samples\" 8, \"ao_spread\" 90, "
                       "\"ao_near\" 0, \"ao_far\" 100, \"ao_falloff\" 1, \"ao_gamma\" 1, "
                       "\"ao_bright\" 1 1 1 1, \"ao_dark\" 0 0 0 1, \"ao_color\" 0.25 0.5 0.75 1, "
                       "\"ao_on_color\" 0, \"pass_diff_occl\" on, \"pass_color\" on") +
             "material \"front_m\" = \"m\" end material\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    DirectSample sample(fx);
    ASSERT_NE(sample.hit(), nullptr);
    sample.shade("m");
    expect_rgb(sample.value("tk_diff_occl"), {1, 1, 1}, "tk_diff_occl");
    expect_rgb(sample.value("tk_color"), {0.5, 0.5, 0.5}, "tk_color");
}

// ------------------------------------------------------------------ depth

TEST(MegaTKPasses, DepthOfEyeRays) {
    // Every eye ray is 5 long.
    struct Case {
        const char* params;
        Rgb z;
    };
    const Case cases[] = {
        {"\"depth_near\" 2, \"depth_far\" 12", {0.3, 0, 0}},
        {"\"depth_near\" 2, \"depth_far\" 12, \"depth_raw\" on", {3, 0, 0}},
        {"\"depth_near\" 2, \"depth_far\" 12, \"depth_invert\" on", {0.7, 1, 1}},
        {"\"depth_near\" 2, \"depth_far\" 12, \"depth_raw\" on, \"depth_invert\" on", {7, 10, 10}},
        {"\"depth_near\" 6, \"depth_far\" 12", {0, 0, 0}}, // clamped to near
        {"\"depth_near\" 2, \"depth_far\" 4", {1, 0, 0}},  // clamped to far
    };
    Scene s;
    int k = 0;
    for (const Case& c : cases)
        s.defs += mega("m" + std::to_string(k++), std::string("\"depth_on\" on, \"pass_z\" on, ") + c.params);
    s.defs += mega("off", "\"depth_near\" 2, \"depth_far\" 12, \"pass_z\" on") +
              mega("off_inv", "\"depth_near\" 2, \"depth_far\" 12, \"depth_invert\" on, \"pass_z\" on") +
              "material \"front_m\" = \"m0\" end material\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    DirectSample sample(fx);
    ASSERT_NE(sample.hit(), nullptr);
    k = 0;
    for (const Case& c : cases) {
        sample.fill(0.f);
        sample.shade("m" + std::to_string(k++));
        expect_rgb(sample.value("tk_z"), c.z, c.params);
    }
    sample.fill(0.f);
    sample.shade("off");
    expect_rgb(sample.value("tk_z"), {0, 0, 0}, "depth off");
    sample.shade("off_inv");
    expect_rgb(sample.value("tk_z"), {1, 1, 1}, "depth off, inverted");
}

TEST(MegaTKPasses, DepthLayersOverTransparencyRays) {
    // Front (g = 0.5) at 5: 0.3. The transparency ray to the back quad is 5 long: 5 / 10.
    for (const bool transparent : {true, false}) {
        Scene s;
        const std::string depth = "\"depth_on\" on, \"depth_near\" 2, \"depth_far\" 12, \"pass_z\" on";
        s.defs = mega("f", depth, "0.5 0.5 0.5 0.5") +
                 mega("b", depth + ", \"depth_transparent\" " + (transparent ? "on" : "off")) +
                 "material \"front_m\" = \"f\" end material\nmaterial \"back_m\" = \"b\" end material\n";
        s.back = "back_m";
        s.buffers = buffer("tk_z");
        SceneFixture fx;
        ASSERT_TRUE(fx.load(s.text()));
        fx.render();
        expect_rgb(pixel(fx, "tk_z"), {transparent ? 0.5 * 0.5 + 0.3 : 0.3, 0, 0},
                   transparent ? "behind counts" : "behind is 0");
    }
}

// ------------------------------------------------------------------ closure

TEST(MegaTKPasses, PassesAddUpToTheBeauty) {
    // Perspective, four samples per pixel under a wide filter, two lights at angles; an
    // invisible occluder shadows part of the surface from the first.
    Scene s;
    s.camera = "focal 1 aperture 2 aspect 1 resolution 12 12";
    s.options = "samples 1 1 filter gauss 2 2";
    s.defs =
        toolkit_light("key", "1 0.9 0.8", "-0.3 -0.5 -0.8", "on") +
        toolkit_light("fill", "0.3 0.4 0.5", "0.6 -0.2 -0.77") +
        mega("m", "\"diffuse_color\" 0.8 0.5 0.3 1, \"ambient_on\" on, \"ambient_scale\" 0.05, "
                  "\"ambient_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 0.9, "
                  "\"phong_on\" on, \"phong_weight\" 0.6, \"phong_color\" 1 1 1 1, \"phong_exponent\" 8, "
                  "\"light_mode\" 4, " +
                      kAllPassSwitches) +
        "material \"front_m\" = \"m\" end material\n";
    s.lights = {"key_i", "fill_i", "occ"};
    s.extra = "object \"occluder\" visible off shadow on trace off group\n"
              "  0 0 0  2 0 0  2 2 0  0 2 0\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
              "instance \"occ\" \"occluder\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 3 1 end instance\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    fx.render();

    const char* const beauty_parts[] = {"tk_shading", "tk_spec_shd",   "tk_indirect", "tk_reflect",
                                        "tk_refract", "tk_amb_occlus", "tk_incand"};
    int shadowed = 0, lit = 0;
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 12; ++x) {
            const float* c = fx.frame().film().pixel(orn::film::Color, x, y);
            Rgb sum{0, 0, 0};
            for (const char* part : beauty_parts) {
                const Rgb v = pixel(fx, part, x, y);
                for (int i = 0; i < 3; ++i)
                    sum[size_t(i)] += v[size_t(i)];
            }
            const Rgb diffuse = pixel(fx, "tk_diffuse", x, y), shadow = pixel(fx, "tk_shadow", x, y);
            const Rgb shading = pixel(fx, "tk_shading", x, y);
            const Rgb Cd{0.8, 0.5, 0.3};
            for (int i = 0; i < 3; ++i) {
                const double b = c[i];
                EXPECT_NEAR(sum[size_t(i)], b, 2e-5 + 1e-5 * std::fabs(b))
                    << x << "," << y << " channel " << i;
                // a constant surface colour comes out of the product unchanged
                EXPECT_NEAR(shading[size_t(i)], Cd[size_t(i)] * shadow[size_t(i)], 2e-5) << x << "," << y;
                EXPECT_LE(shadow[size_t(i)], diffuse[size_t(i)] + 1e-5);
            }
            if (shadow[0] < diffuse[0] - 0.05) ++shadowed;
            if (std::fabs(shadow[0] - diffuse[0]) < 1e-5) ++lit;
        }
    }
    EXPECT_GT(shadowed, 0) << "the occluder shadows part of the surface";
    EXPECT_GT(lit, 0);
}

} // namespace
