// The hair shaders on real states: orn_HairTK's transparency, edge profile, light terms and
// passes, its chain of transparent layers, passes and light groups over a rendered frame, the hair shadow
// shader and the hair coordinate shader. Until hair geometry renders, hairs are quads; their
// barycentric coordinates are set by hand where a test needs a place along or across a hair.
// Expected values are worked out here from the shading formulas.
#include "support/light_probe.h"

#include "source/hair/orn_HairTK.h"
#include "source/hair/orn_HairTK_math.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace orn::test;

namespace {

const double kPi = 3.14159265358979323846;

// An orn_HairTK shader `name` and its material "<name>_m"; unlisted parameters are 0 or off.
std::string hair(const std::string& name, const std::string& params) {
    return "shader \"" + name + "\" \"orn_HairTK\" (" + zero_defaults("orn_HairTK") + params +
           ")\nmaterial \"" + name + "_m\" = \"" + name + "\" end material\n";
}

// A textured quad at depth z, seen by the camera, with material `material`.
std::string layer(const std::string& name, float z, const std::string& material) {
    return quad_object(name, z, 20.f, true) + "instance \"" + name + "_i\" \"" + name + "\" material \"" +
           material + "\" end instance\n";
}

const std::vector<std::string> kPasses = {"tk_shading",  "tk_color",      "tk_diffuse",   "tk_shadow",
                                          "tk_specular", "tk_spec_shd",   "tk_diff_occl", "tk_indirect",
                                          "tk_ambient",  "tk_amb_occlus", "tk_incand",    "tk_z"};

hairtk_instance* record_of(SceneFixture& fx, const std::string& shader) {
    auto& db = fx.session().db();
    auto* fe = db.get_as<orn::FunctionElement>(db.lookup(shader), miSCENE_FUNCTION);
    return fe ? static_cast<hairtk_instance*>(fe->function.user_slot) : nullptr;
}

// Calls the material on the centre hit (ray (0, 0, -1), normal +z, hair direction +x) with
// the coordinates u across and v along the hair, into a cleared pixel sample.
miColor shade_at(SceneFixture& fx, const std::string& shader, float u, float v) {
    miState* hit = fx.probe_eye(50.f, 50.f);
    if (!hit) {
        ADD_FAILURE() << "no quad";
        return {};
    }
    fx.frame().main_context().own_film_sample(fx.frame().film().clear_sample());
    hit->bary[0] = u;
    hit->bary[1] = v;
    miColor c{0, 0, 0, 0};
    EXPECT_TRUE(fx.call(shader, &c, hit));
    return c;
}

TEST(HairTK, EdgeProfileAndRootToTipTransparency) {
    // Nothing behind the quad: the result's alpha is the hair's opacity.
    QuadScene q;
    q.defs = hair("edge", "\"transparency\" on, \"edge_transparency\" 1, \"edge_frequency\" 1, "
                          "\"transparency_position\" 0.5, \"transparency_spread\" 0.5") +
             hair("flat", "\"transparency\" on, \"root_transparency\" 0, \"tip_transparency\" 1, "
                          "\"transparency_position\" 0.3, \"transparency_spread\" 0") +
             hair("ramp", "\"transparency\" on, \"root_transparency\" 0, \"tip_transparency\" 1, "
                          "\"transparency_position\" 0.5, \"transparency_spread\" 0.5") +
             hair("least", "\"transparency\" on, \"transparency_min_color\" 0.1 0.6 0.2");
    q.material = "edge_m";
    MessageCapture messages;
    SceneFixture fx;
    ASSERT_TRUE(fx.load(q.text())) << messages.all();

    // Edge profile sin(π·i/1023) at i = int(frac(u) × 1023); transparency 1 − profile.
    EXPECT_NEAR(shade_at(fx, "edge", 0.25f, 0.5f).a, std::sin(kPi * 255 / 1023), 1e-6) << "entry 255";
    EXPECT_NEAR(shade_at(fx, "edge", 0.75f, 0.5f).a, std::sin(kPi * 767 / 1023), 1e-6) << "entry 767";
    EXPECT_FLOAT_EQ(shade_at(fx, "edge", 0.f, 0.5f).a, 0.f) << "entry 0: the edge lets everything through";
    // The middle (entry 511): transparency 1 - sin(511/1023 pi) = 1.2e-6 is below the
    // threshold, so nothing is traced behind, but the opacity keeps its value.
    EXPECT_NEAR(shade_at(fx, "edge", 0.5f, 0.5f).a, std::sin(kPi * 511 / 1023), 1e-7);
    EXPECT_TRUE(messages.of(orn::Severity::Warning).empty()) << messages.all();
    EXPECT_FLOAT_EQ(shade_at(fx, "edge", NAN, 0.5f).a, 0.f) << "a NaN coordinate counts as 0";
    EXPECT_TRUE(messages.contains("orn_HairTK: NaN or infinite value in state->bary[0]. Replaced with zero"));

    // Spread 0: the blend is the position itself all along the hair.
    EXPECT_NEAR(shade_at(fx, "flat", 0.5f, 0.05f).a, 0.7f, 1e-6);
    EXPECT_NEAR(shade_at(fx, "flat", 0.5f, 0.95f).a, 0.7f, 1e-6);
    // Spread 0.5 around 0.5: smooth(v); at v = 0.25, 3/16 − 2/64 = 0.15625.
    EXPECT_NEAR(shade_at(fx, "ramp", 0.5f, 0.25f).a, 1.f - 0.15625f, 1e-6);
    // An opaque hair is at least as transparent as the largest channel of the lower bound.
    EXPECT_NEAR(shade_at(fx, "least", 0.5f, 0.5f).a, 0.4f, 1e-6);
}

// Layers at z = -5, -6, ... each with its own material; the first is the quad of QuadScene.
// The colour of the front layer's material over the others, and with `incand` its tk_incand pass.
miColor through_layers(const std::vector<std::string>& shaders, const std::string& options = "",
                       miColor* incand = nullptr) {
    QuadScene q;
    q.options += options;
    if (incand) q.camera = rgb_buffers({"tk_incand"});
    for (size_t i = 0; i < shaders.size(); ++i) {
        q.defs += shaders[i];
        if (i > 0) {
            const std::string name = "layer" + std::to_string(i);
            q.defs += layer(name, -5.f - float(i), "h" + std::to_string(i) + "_m");
            q.instances.push_back(name + "_i");
        }
    }
    q.material = "h0_m";
    SceneFixture fx;
    if (!fx.load(q.text())) {
        ADD_FAILURE() << "scene did not load";
        return {};
    }
    const miColor c = fx.shade(50.f, 50.f);
    if (incand) {
        const float* pass = fx.sample_buffer("tk_incand");
        *incand = pass ? miColor{pass[0], pass[1], pass[2], 0.f} : miColor{-1.f, -1.f, -1.f, 0.f};
    }
    return c;
}

// A hair layer that shows only its incandescence `color`.
std::string glowing(int i, const std::string& transparency, const std::string& color,
                    const std::string& limits) {
    return hair("h" + std::to_string(i), "\"transparency\" on, \"root_transparency\" " + transparency +
                                             ", \"tip_transparency\" " + transparency +
                                             ", \"incandescence\" on, \"incandescence_weight\" 1, "
                                             "\"incandescence_color\" " +
                                             color + ", " + limits);
}

TEST(HairTK, ChainOfTransparentLayersEndsAtTheCutoffOrTheLayerLimit) {
    // Transmission left: 0.4, 0.16, then 0.064 < 0.1, so the third layer is opaque and the
    // fourth never seen: 0.6 red + 0.4 × (0.6 green + 0.4 × blue).
    const std::string cutoff = "\"transparency_cutoff\" 0.1";
    const miColor c =
        through_layers({glowing(0, "0.4", "1 0 0", cutoff), glowing(1, "0.4", "0 1 0", cutoff),
                        glowing(2, "0.4", "0 0 1", cutoff), glowing(3, "0.4", "9 9 9", cutoff)});
    expect_color(c, 0.6f, 0.24f, 0.16f, 1.f, 1e-5f);

    // At most three transparent layers: the fourth is opaque.
    const std::string limit = "\"max_transparency_layers\" 3";
    const miColor d = through_layers({glowing(0, "0.5", "1 0 0", limit), glowing(1, "0.5", "0 1 0", limit),
                                      glowing(2, "0.5", "0 0 1", limit), glowing(3, "0.5", "1 1 1", limit),
                                      glowing(4, "0.5", "9 9 9", limit)});
    expect_color(d, 0.625f, 0.375f, 0.25f, 1.f, 1e-5f);

    // Without limits light passes all five layers: alpha 1 − 0.5⁵.
    const miColor e = through_layers({glowing(0, "0.5", "0 0 0", "\"transparency_cutoff\" 0"),
                                      glowing(1, "0.5", "0 0 0", "\"transparency_cutoff\" 0"),
                                      glowing(2, "0.5", "0 0 0", "\"transparency_cutoff\" 0"),
                                      glowing(3, "0.5", "0 0 0", "\"transparency_cutoff\" 0"),
                                      glowing(4, "0.5", "0 0 0", "\"transparency_cutoff\" 0")});
    EXPECT_NEAR(e.a, 1.f - 1.f / 32.f, 1e-6f);

    // Transparency 0.0009 is below the threshold: nothing is traced behind, but the opacity
    // stays 1 - 0.0009 and weights the glow, in the beauty and in its pass alike (the layers
    // rebuild the beauty of a nearly opaque hair too).
    miColor incand{};
    const std::string own = "\"transparency_cutoff\" 0, \"write_tk_incand\" on";
    expect_color(
        through_layers({glowing(0, "0.0009", "2 0 0", own), glowing(1, "0", "0 1 0", own)}, "", &incand),
        1.9982f, 0, 0, 0.9991f, 2e-6f);
    expect_rgb(incand, 1.9982f, 0, 0, 2e-6f);
    // The rasteriser layers an opaque green hair behind one of transparency 0.4 itself, from
    // the opacity the hair hands it: 0.6 red + 0.4 green, as ray tracing gives.
    for (const char* options : {"", " scanline rasterizer"}) {
        SCOPED_TRACE(options);
        expect_color(through_layers({glowing(0, "0.4", "1 0 0", "\"transparency_cutoff\" 0"),
                                     glowing(1, "0", "0 1 0", "\"transparency_cutoff\" 0")},
                                    options),
                     0.6f, 0.4f, 0, 1, 1e-5f);
    }
}

TEST(HairTK, LightTermsAndTheirPassesWithAndWithoutALightRecordAndAMissingBuffer) {
    // A grey hair along +x facing the camera, lit from 60° off the view direction within the
    // xz plane: L = (sin 60°, 0, cos 60°), V = (0, 0, 1).
    // Diffuse: L·N = 0.5, wrap 0.7 × 0.5 + 0.3 = 0.65.
    // First lobe only, no Fresnel split, no forward scattering: H = (L + V)/|L + V| has
    // H·T = 0.5, so x = acos table[int(0.75 × 1023)] = acos(767/1023), width 8/8 = 1.
    const double wrap = 0.65;
    const double x = std::acos(767.0 / 1023.0);
    const double lobe = std::exp(-x * x / 2.0);
    const std::string params =
        "\"diffuse\" on, \"diffuse_weight\" 1, \"root_color\" 0.5 0.5 0.5, \"tip_color\" 0.5 0.5 0.5, "
        "\"specular\" on, \"specular_weight\" 1, \"primary_color\" 1 1 1, \"primary_glossiness\" 8, "
        "\"depth_mode\" 1, \"depth_far\" 10, \"light_mode\" 4, "
        "\"write_tk_shading\" on, \"write_tk_color\" on, \"write_tk_diffuse\" on, \"write_tk_shadow\" on, "
        "\"write_tk_specular\" on, \"write_tk_spec_shd\" on, \"write_tk_diff_occl\" on, \"write_tk_z\" on, "
        "\"write_tk_ambient\" on";
    std::vector<std::string> buffers = kPasses;
    buffers.erase(std::find(buffers.begin(), buffers.end(), "tk_ambient"));
    const Vec to_light{std::sin(kPi / 3), 0, std::cos(kPi / 3)};
    for (const bool toolkit : {true, false}) {
        QuadScene q;
        q.camera = rgb_buffers(buffers);
        q.defs = hair("h", params) + (toolkit ? toolkit_light("key", directional(to_light), "1 1 1")
                                              : plain_light("key", directional(to_light), "1 1 1"));
        q.material = "h_m";
        q.instances = {"key_i"};
        MessageCapture messages;
        SceneFixture fx;
        ASSERT_TRUE(fx.load(q.text()));
        const hairtk_instance* rec = record_of(fx, "h");
        ASSERT_NE(rec, nullptr);
        EXPECT_TRUE(rec->passes[8].enabled.load()) << "tk_ambient is not looked up before the first call";
        const miColor c = shade_at(fx, "h", 0.5f, 0.5f);
        EXPECT_FALSE(rec->passes[8].enabled.load()) << "the frame has no tk_ambient";
        EXPECT_EQ(rec->passes[8].index.load(), -1);
        EXPECT_EQ(rec->passes[0].index.load(), 0) << "tk_shading, the first buffer";
        EXPECT_TRUE(messages.of(orn::Severity::Warning).empty()) << messages.all();
        const std::string what = toolkit ? "toolkit light" : "plain light";
        expect_rgb(c, Rgb{1, 1, 1} * (0.5 * wrap + lobe), what);
        EXPECT_FLOAT_EQ(c.a, 1.f);
        const double unshadowed = toolkit ? 1.0 : 0.0; // a plain light has no unshadowed colour to offer
        expect_rgb(rgb(fx.sample_buffer("tk_shadow")), Rgb{1, 1, 1} * wrap, what + " tk_shadow");
        expect_rgb(rgb(fx.sample_buffer("tk_diffuse")), Rgb{1, 1, 1} * (wrap * unshadowed),
                   what + " tk_diffuse");
        expect_rgb(rgb(fx.sample_buffer("tk_spec_shd")), Rgb{1, 1, 1} * lobe, what + " tk_spec_shd");
        expect_rgb(rgb(fx.sample_buffer("tk_specular")), Rgb{1, 1, 1} * (lobe * unshadowed),
                   what + " tk_specular");
        expect_rgb(rgb(fx.sample_buffer("tk_color")), {0.5, 0.5, 0.5}, what + " tk_color");
        expect_rgb(rgb(fx.sample_buffer("tk_shading")), Rgb{1, 1, 1} * (0.5 * wrap), what + " tk_shading");
        expect_rgb(rgb(fx.sample_buffer("tk_diff_occl")), {1, 1, 1}, what + " no occlusion");
        EXPECT_NEAR(fx.sample_buffer("tk_z")[0], 0.5, 1e-6) << "distance 5 of 0 to 10";
    }
    // Light from behind at L·N = −0.5 wraps round the hair: 0.3 − 0.7 × (−0.5) × diffuse_backlight.
    QuadScene q;
    q.defs = hair("b", "\"diffuse\" on, \"diffuse_weight\" 1, \"diffuse_backlight\" 0.5, "
                       "\"root_color\" 0.5 0.5 0.5, \"tip_color\" 0.5 0.5 0.5, \"light_mode\" 4") +
             plain_light("key", directional({std::sin(kPi / 3), 0, -std::cos(kPi / 3)}), "1 1 1");
    q.material = "b_m";
    q.instances = {"key_i"};
    SceneFixture fx;
    ASSERT_TRUE(fx.load(q.text()));
    expect_rgb(shade_at(fx, "b", 0.5f, 0.5f), Rgb{1, 1, 1} * (0.5 * (0.3 + 0.35 * 0.5)), "light from behind");

    // The second lobe (red) around H = (L + V)/|L + V| as the first above, the third (green)
    // around (L − V)/|L − V|, whose H·T = sin 60° gives x = acos table[int(0.25 × 1023)];
    // forward scattering 0.25 with m = 0.7 L·V + 0.3 = 0.65 weighs them 0.9125 and 0.8375.
    QuadScene lobes;
    lobes.defs =
        hair("s", "\"specular\" on, \"specular_weight\" 1, \"secondary_color\" 1 0 0, "
                  "\"secondary_glossiness\" 8, \"backscatter_color\" 0 1 0, "
                  "\"backscatter_glossiness\" 8, \"forward_scatter_weight\" 0.25, \"light_mode\" 4") +
        plain_light("key", directional(to_light), "1 1 1");
    lobes.material = "s_m";
    lobes.instances = {"key_i"};
    SceneFixture lf;
    ASSERT_TRUE(lf.load(lobes.text()));
    const double x3 = std::acos(255.0 / 1023.0);
    expect_rgb(shade_at(lf, "s", 0.5f, 0.5f), {lobe * 0.9125, std::exp(-x3 * x3 / 2.0) * 0.8375, 0},
               "second and third lobes");
}

TEST(HairTK, PassesAndLightGroupsRebuildTheBeautyOverARenderedFrame) {
    // Two transparent hair layers lit by a toolkit light (group "key", by its category) and a
    // plain light (group "fill", by the options), with highlights, ambient and incandescence,
    // over nothing: in every pixel the beauty is the sum of tk_shading, tk_spec_shd,
    // tk_indirect, tk_amb_occlus and tk_incand, and the sum of the two groups and the rest.
    // The rest holds the ambient light and the glow, nothing of either light.
    const std::string look =
        "\"diffuse\" on, \"diffuse_weight\" 0.8, \"diffuse_backlight\" 0.5, \"root_color\" 0.3 0.2 0.1, "
        "\"tip_color\" 0.6 0.4 0.3, \"specular\" on, \"specular_weight\" 1, \"primary_color\" 0.5 0.5 0.5, "
        "\"primary_glossiness\" 20, \"secondary_color\" 0.3 0.2 0.1, \"secondary_glossiness\" 10, "
        "\"secondary_shift\" 0.1, \"backscatter_color\" 0.2 0.2 0.2, \"backscatter_glossiness\" 5, "
        "\"fresnel_ior\" 1.5, \"fresnel_weight\" 0.5, \"forward_scatter_weight\" 0.5, "
        "\"transparency\" on, \"root_transparency\" 0.2, \"tip_transparency\" 0.7, "
        "\"transparency_position\" 0.5, \"transparency_spread\" 0.5, \"edge_transparency\" 0.3, "
        "\"edge_frequency\" 3, \"ambient\" on, \"ambient_weight\" 1, \"ambient_color\" 0.1 0.1 0.1, "
        "\"incandescence\" on, \"incandescence_weight\" 1, \"incandescence_color\" 0.05 0 0.02, "
        "\"light_mode\" 4, "
        "\"write_tk_shading\" on, \"write_tk_color\" on, \"write_tk_diffuse\" on, \"write_tk_shadow\" on, "
        "\"write_tk_specular\" on, \"write_tk_spec_shd\" on, \"write_tk_diff_occl\" on, "
        "\"write_tk_indirect\" on, \"write_tk_ambient\" on, \"write_tk_amb_occlus\" on, \"write_tk_incand\" "
        "on";
    // The frame with the key light at `key` times its intensity.
    auto render = [&look](double key) {
        QuadScene q;
        q.options = "samples 1 1 filter gauss 2 2 lightgroup \"fill\" \"fill_i\"";
        q.camera = rgb_buffers({"tk_lightgroup_key", "tk_lightgroup_fill", "tk_lightgroup_rest"});
        for (const auto& name : kPasses)
            q.camera += "  framebuffer \"" + name +
                        "\" (\"datatype\" \"rgb_fp\", \"user\" on, \"filtering\" on, \"useopacity\" on)\n";
        q.defs = hair("h", look) + layer("behind", -6.f, "h_m") +
                 toolkit_light("key", directional({-0.3, 0.5, 0.8}), "1 0.9 0.8", key, "key") +
                 plain_light("fill", directional({0.6, -0.2, 0.4}), "0.3 0.4 0.5");
        q.material = "h_m";
        q.instances = {"behind_i", "key_i", "fill_i"};
        auto fx = std::make_unique<SceneFixture>();
        EXPECT_TRUE(fx->load(q.text()));
        fx->render();
        return fx;
    };
    const auto fx = render(1.0), dimmed = render(0.4);
    auto& film = fx->frame().film();
    auto plane = [&film](const char* name, int x, int y) { return film.pixel(film.plane_id(name), x, y); };
    const char* const parts[] = {"tk_shading", "tk_spec_shd", "tk_indirect", "tk_amb_occlus", "tk_incand"};
    double largest = 0.0, key_most = 0.0, fill_most = 0.0;
    for (int y = 0; y < 100; y += 7) {
        for (int x = 0; x < 100; x += 7) {
            const float* c = film.pixel(orn::film::Color, x, y);
            const float* key = plane("tk_lightgroup_key", x, y);
            const float* fill = plane("tk_lightgroup_fill", x, y);
            const float* rest = plane("tk_lightgroup_rest", x, y);
            const float* relit = dimmed->frame().film().pixel(orn::film::Color, x, y);
            for (int i = 0; i < 3; ++i) {
                const double tolerance = 2e-5 + 1e-5 * std::fabs(c[i]);
                double sum = 0.0;
                for (const char* part : parts)
                    sum += plane(part, x, y)[i];
                EXPECT_NEAR(sum, c[i], tolerance) << x << "," << y << " channel " << i;
                EXPECT_NEAR(double(key[i]) + fill[i] + rest[i], c[i], tolerance) << x << "," << y;
                EXPECT_NEAR(rest[i], double(plane("tk_amb_occlus", x, y)[i]) + plane("tk_incand", x, y)[i],
                            tolerance)
                    << "the rest at " << x << "," << y << " channel " << i;
                // Dimming the key in comp is the re-render with the key dimmed.
                EXPECT_NEAR(0.4 * key[i] + fill[i] + rest[i], relit[i], 1e-4) << x << "," << y;
                largest = std::max(largest, double(c[i]));
                key_most = std::max(key_most, double(key[i]));
                fill_most = std::max(fill_most, double(fill[i]));
            }
        }
    }
    EXPECT_GT(largest, 0.1) << "the hair is lit";
    EXPECT_GT(key_most, 0.05) << "the key's layer holds its light";
    EXPECT_GT(fill_most, 0.02) << "the fill's layer holds its light";
}

// ------------------------------------------------------------------ the hair shadow shader

// The floor lit by a white toolkit point light 5 units above it, with a hidden hair quad half
// way whose shadow shader is orn_HairTK_shadow with `params`: the light arriving at the floor.
miColor light_through_hair(const std::string& params) {
    const std::string body =
        "light \"l\" \"orn_PointTK\" (\"color\" 1 1 1 1, \"intensity\" 1, \"shadow\" on, "
        "\"shadow_factor\" 0, \"category\" \"k\") origin 0 0 0 end light\n"
        "instance \"l_i\" \"l\" end instance\n"
        "material \"hair_m\" \"orn_constant\" (\"color\" 1 1 1 1)\n  shadow \"orn_HairTK_shadow\" (" +
        zero_defaults("orn_HairTK_shadow") + params + ")\nend material\n" + quad_object("hair", -3.f, 2.f) +
        "instance \"hair_i\" \"hair\" visible off trace off material \"hair_m\" end instance\n";
    return light_at_floor(floor_scene(body, "\"l_i\" \"hair_i\""), "l_i");
}

TEST(HairTKShadow, TintAndTransparency) {
    const std::string tint = "\"shadow_color\" 0.2 0.4 0.6, \"light_mode\" 4, ";
    // (a later value of a parameter replaces an earlier one)
    // no weight on the tint and no transparency: the light passes as it came
    expect_rgb(light_through_hair(tint + "\"shadow_color_weight\" 0"), 1.f, 1.f, 1.f);
    // opaque hair: the tint
    expect_rgb(light_through_hair(tint + "\"shadow_color_weight\" 1"), 0.2f, 0.4f, 0.6f);
    // half transparent hair lightens each channel half way to white: k + (1 − k) × 0.5
    expect_rgb(light_through_hair(tint +
                                  "\"shadow_color_weight\" 1, \"transparency\" on, \"root_transparency\" "
                                  "0.5, \"tip_transparency\" 0.5, \"transparency_weight\" 1"),
               0.6f, 0.7f, 0.8f, 1e-6f);
    // an opaque hair with a lower bound on its transparency, channel by channel
    expect_rgb(light_through_hair(
                   tint + "\"shadow_color_weight\" 1, \"transparency\" on, \"transparency_min_color\" "
                          "0.2 0.6 0.4, \"transparency_weight\" 1"),
               0.36f, 0.76f, 0.76f, 1e-6f);
    // a light filter that names no light leaves the light untouched
    expect_rgb(light_through_hair(tint + "\"shadow_color_weight\" 1, \"light_mode\" 0"), 1.f, 1.f, 1.f);
}

// ------------------------------------------------------------------ the coordinate shader

TEST(HairMapping, RepeatedRampAlongAndAcross) {
    QuadScene q;
    q.defs = "material \"m\" \"orn_constant\" (\"color\" 1 1 1 1) end material\n"
             "shader \"along3\" \"orn_hair_mapping\" (\"direction\" 1, \"repeat\" 3)\n"
             "shader \"along0\" \"orn_hair_mapping\" (\"direction\" 1, \"repeat\" 0)\n"
             "shader \"across_neg\" \"orn_hair_mapping\" (\"direction\" 0, \"repeat\" -2)\n"
             "shader \"other\" \"orn_hair_mapping\" (\"direction\" 2, \"repeat\" 1)\n";
    q.material = "m";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(q.text()));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    auto ramp = [&](const std::string& shader, float u, float v) {
        hit->bary[0] = u;
        hit->bary[1] = v;
        miScalar e = -99.f;
        EXPECT_TRUE(fx.call(shader, &e, hit));
        return e;
    };
    EXPECT_FLOAT_EQ(ramp("along3", 0.9f, 0.5f), 0.5f) << "1.5 − 1";
    EXPECT_FLOAT_EQ(ramp("along3", 0.9f, 1.f), 1.f) << "3 − 1 − 1: a ramp ends at exactly 1";
    EXPECT_FLOAT_EQ(ramp("along3", 0.9f, 0.3f), 0.9f);
    EXPECT_FLOAT_EQ(ramp("along0", 0.9f, 0.7f), 0.7f) << "repeat 0 is one ramp";
    EXPECT_FLOAT_EQ(ramp("across_neg", 0.4f, 0.7f), -0.8f) << "negative values do not wrap";
    EXPECT_FLOAT_EQ(ramp("other", 0.4f, 0.7f), 0.f);
}

// ------------------------------------------------------------------ formulas

TEST(HairFormulas, SeedsStayWithinSixteenBitsAndFresnelAtItsKnownPoints) {
    using orn::hair::seed_base;
    // 65535 is subtracted while the id is above 65535 − headroom
    EXPECT_EQ(seed_base(65533, 2), 65533);
    EXPECT_EQ(seed_base(65534, 2), -1);
    EXPECT_EQ(seed_base(65534 + 65535, 2), -1);
    EXPECT_EQ(seed_base(70000, 11), 70000 - 65535);
    EXPECT_EQ(seed_base(65525, 11), -10);
    EXPECT_EQ(seed_base(2147483647, 2), 32767); // 2³¹ − 1 − 32768 × 65535
    // ((n − 1)/(n + 1))² head on; everything reflected where nothing can pass
    EXPECT_NEAR(orn::hair::fresnel(1.0, 1.5), 0.04, 1e-12);
    EXPECT_EQ(orn::hair::fresnel(0.0, 1.0), 1.0);
    EXPECT_EQ(orn::hair::fresnel(0.1, 0.5), 1.0);
    EXPECT_EQ(orn::hair::fresnel(0.5, 0.0), 0.0);
}

} // namespace
