// The tinted shadow shader, the light-arrival shader and the wrap and translucency shader on
// real light and shadow rays.
#include "support/light_probe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace orn::test;

namespace {

// An object the camera's probes pass through but shadow rays meet.
std::string hidden(const std::string& name, float z, const std::string& material, float h = 2.f) {
    return quad_object(name, z, h) + "instance \"" + name + "_i\" \"" + name +
           "\" visible off trace off material \"" + material + "\" end instance\n";
}

// A white point toolkit light at the origin, 5 units above the floor's centre, whose shadows
// let through exactly what the occluders transmit; a veil at z = -3 (3 from the light, 2 from
// the floor) casts its shadow through orn_shadow_transparency with `params`.
std::string veil_scene(const std::string& params, const std::string& shadow_mode = "on",
                       const std::string& veil_object = "") {
    const std::string body =
        "shader \"tk\" \"orn_PointTK\" (\"color\" 1 1 1 1, \"intensity\" 1, \"shadow\" on, \"shadow_factor\" "
        "0, "
        "\"category\" \"k\")\n"
        "light \"l\" = \"tk\" origin 0 0 0 end light\ninstance \"l_i\" \"l\" end instance\n"
        "light \"other\" = \"tk\" origin 0 0 1 end light\ninstance \"other_i\" \"other\" end instance\n"
        "material \"veil_m\" \"orn_constant\" (\"color\" 1 1 1 1)\n  shadow \"orn_shadow_transparency\" (" +
        params + ")\nend material\n" +
        (veil_object.empty()
             ? hidden("veil", -3.f, "veil_m")
             : veil_object + "instance \"veil_i\" \"veil\" visible off trace off material \"veil_m\" "
                             "end instance\n");
    return floor_scene(body, "\"l_i\" \"other_i\" \"veil_i\"", shadow_mode);
}

miColor light_through_veil(const std::string& scene) {
    return light_at_floor(scene, "l_i");
}

TEST(ShadowTransparency, TintTransparencyAndLightFilter) {
    // each channel passes (1 - t) x shadow colour + t
    expect_rgb(
        light_through_veil(veil_scene("\"shadow_color\" 1 0 0 1, \"transparency\" 0.25, \"light_mode\" 3")),
        1.f, 0.25f, 0.25f);
    expect_rgb(
        light_through_veil(veil_scene("\"shadow_color\" 1 0 0 1, \"transparency\" 0, \"light_mode\" 3")), 1.f,
        0.f, 0.f);
    expect_rgb(light_through_veil(veil_scene(
                   "\"shadow_color\" 1 0 0 1, \"transparency\" 0.75, \"invert\" on, \"light_mode\" 3")),
               1.f, 0.25f, 0.25f);
    // nothing passes: the light is blocked
    expect_rgb(
        light_through_veil(veil_scene("\"shadow_color\" 0 0 0 1, \"transparency\" 0, \"light_mode\" 3")), 0.f,
        0.f, 0.f);
    // the filter: an empty list in mode 0 and a list without this light leave its shadow alone
    // (the veil's incoming colour, white, passes); a list naming it tints
    const std::string tint = "\"shadow_color\" 1 0 0 1, \"transparency\" 0.25, ";
    expect_rgb(light_through_veil(veil_scene(tint + "\"light_mode\" 0")), 1.f, 1.f, 1.f);
    expect_rgb(light_through_veil(veil_scene(tint + "\"light_mode\" 1, \"lights\" [\"other_i\"]")), 1.f, 1.f,
               1.f);
    expect_rgb(light_through_veil(veil_scene(tint + "\"light_mode\" 0, \"lights\" [\"l_i\"]")), 1.f, 0.25f,
               0.25f);
    expect_rgb(light_through_veil(veil_scene(tint + "\"light_mode\" 2, \"lights\" [\"other_i\"]")), 1.f,
               0.25f, 0.25f);
}

TEST(ShadowTransparency, FacingAndDistanceFade) {
    // A veil tilted 60 degrees about the y axis: its normal meets the shadow ray at cos 60 = 0.5,
    // so with facing_weight 0.25 the transparency 0.5 becomes 0.5 x 0.5 x 0.25 + 0.75 x 0.5.
    const float s = std::tan(float(M_PI) / 3.f);
    const std::string tilted = "object \"veil\" visible shadow trace group\n  -1 -2 " +
                               std::to_string(-3.f + s) + "  1 -2 " + std::to_string(-3.f - s) + "  1 2 " +
                               std::to_string(-3.f - s) + "  -1 2 " + std::to_string(-3.f + s) +
                               "\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n";
    expect_rgb(light_through_veil(veil_scene(
                   "\"shadow_color\" 0 0 0 1, \"transparency\" 0.5, \"facing_weight\" 0.25, \"light_mode\" 3",
                   "on", tilted)),
               0.4375f, 0.4375f, 0.4375f, 1e-5f);
    // Segment shadows: the veil is 3 from the light, halfway through a fade from 2 to 4 with
    // strength 1, so the tinted 0.25 moves halfway to white; plain shadows do not fade.
    const std::string fade = "\"shadow_color\" 0 0 0 1, \"transparency\" 0.25, \"distance_fade\" on, "
                             "\"fade_start\" 2, \"fade_end\" 4, \"fade_strength\" 1, \"light_mode\" 3";
    expect_rgb(light_through_veil(veil_scene(fade, "segments")), 0.625f, 0.625f, 0.625f, 1e-6f);
    expect_rgb(light_through_veil(veil_scene(fade, "on")), 0.25f, 0.25f, 0.25f);
    // fade_strength below the transparency: the transparency is the strength
    const std::string weak = "\"shadow_color\" 0 0 0 1, \"transparency\" 0.25, \"distance_fade\" on, "
                             "\"fade_start\" 2, \"fade_end\" 4, \"fade_strength\" 0, \"light_mode\" 3";
    expect_rgb(light_through_veil(veil_scene(weak, "segments")), 0.34375f, 0.34375f, 0.34375f, 1e-6f);
}

TEST(ShadowTransparency, EveryVeilOfAStackFiltersInTurn) {
    // Ten veils between the light and the floor, each letting half through: 0.5^10 arrives,
    // in plain and in segment shadows alike. (More occluders than a shadow ray lists at once.)
    std::string stack = "object \"veil\" visible shadow trace group\n";
    for (int k = 0; k < 10; ++k) {
        const std::string z = std::to_string(-2.f - 0.2f * float(k));
        stack += "  -1 -2 " + z + "  1.5 -2 " + z + "  1.5 2 " + z + "  -1 2 " + z + "\n";
    }
    for (int k = 0; k < 40; ++k)
        stack += " v " + std::to_string(k);
    for (int k = 0; k < 10; ++k)
        stack += "\n  p " + std::to_string(4 * k) + " " + std::to_string(4 * k + 1) + " " +
                 std::to_string(4 * k + 2) + " " + std::to_string(4 * k + 3);
    stack += "\nend group end object\n";
    const std::string half = "\"shadow_color\" 0 0 0 1, \"transparency\" 0.5, \"light_mode\" 3";
    const float through = 1.f / 1024.f;
    expect_rgb(light_through_veil(veil_scene(half, "on", stack)), through, through, through, 1e-9f);
    expect_rgb(light_through_veil(veil_scene(half, "segments", stack)), through, through, through, 1e-9f);
}

// A directional toolkit light travelling along `direction` onto the floor, with an opaque
// blocker at z = `blocker_z` seen only by shadow rays, and the light-arrival shader "arrive".
std::string arrival_scene(const std::string& direction, float blocker_z, const std::string& arrive_params) {
    const std::string body =
        "shader \"dl\" \"orn_DirectTK\" (\"color\" 0.5 0.25 1 1, \"intensity\" 1, \"shadow\" on, "
        "\"shadow_factor\" 0, \"category\" \"k\")\n"
        "light \"l\" = \"dl\" direction " +
        direction + " end light\ninstance \"l_i\" \"l\" end instance\n" +
        hidden("block", blocker_z, "floor_m") + "shader \"arrive\" \"orn_shadow\" (" + arrive_params + ")\n";
    return floor_scene(body, "\"l_i\" \"block_i\"");
}

miColor arrival(const std::string& scene) {
    SceneFixture fx;
    if (!fx.load(scene)) {
        ADD_FAILURE() << "scene did not load";
        return {};
    }
    miState* hit = fx.probe_eye(50.f, 50.f);
    miColor c{-1, -1, -1, -1};
    if (!hit || !fx.call("arrive", &c, hit)) ADD_FAILURE() << "no result";
    return c;
}

TEST(LightArrival, FrontPassWithShadowsAndUnshadowedLightFromBehind) {
    expect_color(arrival(arrival_scene("0 0 -1", -9.f, "\"front_only\" 1")), 0.f, 0.f, 0.f, 0.f);
    // a light above, unblocked
    expect_color(arrival(arrival_scene("0 0 -1", -9.f, "\"front_only\" 1, \"lights\" [\"l_i\"]")), 0.5f,
                 0.25f, 1.f, 0.f);
    // blocked above: the first pass is shadowed, and the second takes only light from behind
    expect_color(arrival(arrival_scene("0 0 -1", -3.f, "\"front_only\" 0, \"lights\" [\"l_i\"]")), 0.f, 0.f,
                 0.f, 0.f);
    // a light from below the floor, blocked: only the second pass, unshadowed, sees it
    expect_color(arrival(arrival_scene("0 0 1", -7.f, "\"front_only\" 0, \"lights\" [\"l_i\"]")), 0.5f, 0.25f,
                 1.f, 0.f);
    expect_color(arrival(arrival_scene("0 0 1", -7.f, "\"front_only\" 1, \"lights\" [\"l_i\"]")), 0.f, 0.f,
                 0.f, 0.f);
}

// A white plain light travelling along `direction`, the shader "sw" = orn_scatter_wrap with
// `params` lighting the floor from the light list ["l_i"], and `extra` objects.
miColor scatter(const std::string& direction, const std::string& params, const std::string& extra = "",
                const std::string& names = "") {
    const std::string body = "shader \"white\" \"orn_constant\" (\"color\" 1 1 1 1)\n"
                             "light \"l\" = \"white\" direction " +
                             direction + " end light\ninstance \"l_i\" \"l\" end instance\n" + extra +
                             "shader \"sw\" \"orn_scatter_wrap\" (" + zero_defaults("orn_scatter_wrap") +
                             params + ")\n";
    SceneFixture fx;
    if (!fx.load(floor_scene(body, "\"l_i\" " + names))) {
        ADD_FAILURE() << "scene did not load";
        return {};
    }
    miState* hit = fx.probe_eye(50.f, 50.f);
    miColor c{-1, -1, -1, -1};
    if (!hit || !fx.call("sw", &c, hit)) ADD_FAILURE() << "no result";
    return c;
}

// Light travel direction whose direction towards the light makes cosine v with the floor's normal.
std::string travel_at(double v) {
    return std::to_string(-std::sqrt(1.0 - v * v)) + " 0 " + std::to_string(-v);
}

TEST(ScatterWrap, WrapAndTerminatorBand) {
    const std::string wrap = "\"wrap_lighting\" on, \"wrap_weight\" 0.5, \"wrap_color\" 1 0.5 0.25 1, "
                             "\"light_mode\" 0, \"lights\" [\"l_i\"], \"wrap_amount\" ";
    // wrap_amount 0 is the clamped cosine
    expect_color(scatter(travel_at(0.6), wrap + "0"), 0.3f, 0.15f, 0.075f, 0.f, 1e-6f);
    expect_rgb(scatter(travel_at(-0.3), wrap + "0"), 0.f, 0.f, 0.f);
    // wrap_amount 0.5 reaches past the terminator: (v + 0.5) / 1.5
    expect_rgb(scatter(travel_at(-0.3), wrap + "0.5"), 0.5f * 0.2f / 1.5f, 0.25f * 0.2f / 1.5f,
               0.125f * 0.2f / 1.5f, 1e-6f);
    // the band of width 0.2: 1 at the terminator, half at |v| = 0.1, nothing at |v| >= 0.2
    const std::string band = "\"wrap_lighting\" on, \"terminator_weight\" 1, \"terminator_color\" 1 1 1 1, "
                             "\"terminator_width\" 0.2, \"light_mode\" 0, \"lights\" [\"l_i\"]";
    for (const auto& [v, D] : {std::pair{0.0, 1.f}, {0.1, 0.5f}, {-0.1, 0.5f}, {0.6, 0.f}, {-0.6, 0.f}})
        expect_rgb(scatter(travel_at(v), band), D, D, D, 1e-5f);
    // an empty list in mode 0 ends the call
    expect_color(scatter(travel_at(0.6), "\"wrap_lighting\" on, \"wrap_weight\" 1, \"wrap_color\" 1 1 1 1"),
                 0.f, 0.f, 0.f, 0.f);
}

// The floor as the front of a slab whose back face, facing -z, lies at z = -5 - thickness.
std::string slab_back(float thickness) {
    const std::string z = std::to_string(-5.f - thickness);
    return "object \"back\" visible shadow trace group\n  -20 -20 " + z + "  20 -20 " + z + "  20 20 " + z +
           "  -20 20 " + z + "\n  v 0 v 1 v 2 v 3\n  p 0 3 2 1\nend group end object\n" +
           "instance \"back_i\" \"back\" material \"floor_m\" end instance\n";
}

TEST(ScatterWrap, TranslucencyFromThicknessAndOcclusion) {
    // the light behind the slab: one probe straight through it; J = 1 - thickness / depth
    const std::string lit =
        "\"translucency\" on, \"translucency_weight\" 1, \"translucency_color\" 1 0.5 0.25 1, "
        "\"scatter_depth\" 2, \"scatter_samples\" 1, \"light_mode\" 0, \"lights\" [\"l_i\"]";
    expect_rgb(scatter("0 0 1", lit, slab_back(0.5f), "\"back_i\""), 0.75f, 0.375f, 0.1875f, 1e-5f);
    expect_rgb(scatter("0 0 1", lit, slab_back(3.f), "\"back_i\""), 0.f, 0.f, 0.f);
    // the occlusion test: the light reaches the far side unless something lies behind it;
    // blocked, half of the translucency stays
    const std::string occl = lit + ", \"light_occlusion\" on, \"occluded_weight\" 0.5";
    expect_rgb(scatter("0 0 1", occl, slab_back(0.5f), "\"back_i\""), 0.75f, 0.375f, 0.1875f, 1e-5f);
    const std::string behind =
        quad_object("far", -9.f) + "instance \"far_i\" \"far\" material \"floor_m\" end instance\n";
    expect_rgb(scatter("0 0 1", occl, slab_back(0.5f) + behind, "\"back_i\" \"far_i\""), 0.375f, 0.1875f,
               0.09375f, 1e-5f);
    // The light in front at N.L = 0.6: the probe runs along normalise(L - N) = (2, 0, -1) / sqrt 5,
    // through sqrt 5 x 0.5 of the slab, and the front takes (1 - N.L) x J; the look towards the
    // light from the far side meets the slab's own front, so the occluded weight applies too.
    const double front = 0.4 * (1.0 - std::sqrt(5.0) * 0.5 / 2.0);
    const Rgb colour{1, 0.5, 0.25};
    expect_rgb(scatter(travel_at(0.6), lit, slab_back(0.5f), "\"back_i\""), colour * front, "in front");
    expect_rgb(scatter(travel_at(0.6), occl, slab_back(0.5f), "\"back_i\""), colour * (0.5 * front),
               "in front, occluded");
}

TEST(ScatterWrap, BackLighting) {
    const std::string back = "\"backlight\" on, \"backlight_weight\" 0.5, \"backlight_color\" 1 0.5 0.25 1, "
                             "\"light_mode\" 0, \"lights\" [\"l_i\"]";
    // from behind at N.L = -0.8: 0.64 x 0.5 x colour
    expect_color(scatter(travel_at(-0.8), back), 0.32f, 0.16f, 0.08f, 0.f, 1e-6f);
    expect_rgb(scatter(travel_at(0.8), back), 0.f, 0.f, 0.f);
}

} // namespace
