// The point and spot toolkit lights on real light rays: distance decay, the shadow threshold,
// soft shadows from points around the light, the spot cone, and their light records.
#include "support/light_probe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

using namespace orn::test;

namespace {

// A light "l_i" at `origin` with the given shader and light statement body, over the floor;
// `blocker` adds an opaque quad at z = -3.5 between the light and the floor, seen only by
// shadow rays.
std::string light_scene(const std::string& shader, const std::string& params, const std::string& origin,
                        const std::string& light_body = "", bool blocker = false) {
    std::string body = "shader \"tk\" \"" + shader + "\" (" + zero_defaults(shader) + params +
                       ")\nlight \"l\" = \"tk\" origin " + origin + " " + light_body +
                       " end light\ninstance \"l_i\" \"l\" end instance\n";
    if (blocker)
        body += quad_object("wall", -3.5f, 2.f) +
                "instance \"wall_i\" \"wall\" visible off trace off material \"floor_m\" end instance\n";
    return floor_scene(body, blocker ? "\"l_i\" \"wall_i\"" : "\"l_i\"");
}

SampledLight sample_centre(SceneFixture& fx) {
    miState* hit = fx.probe_eye(50.f, 50.f);
    if (!hit) {
        ADD_FAILURE() << "the centre pixel sees nothing";
        return {};
    }
    return sample_light_once(fx, hit, "l_i");
}

TEST(PointLightDecay, EachDecayTypeAtItsDistance) {
    struct Case {
        int type;
        float start, end, d, factor;
    };
    const Case cases[] = {
        {0, 0.f, 0.f, 3.f, 1.f},
        {4, 0.f, 0.f, 3.f, 1.f / 16.f},                // 1 / (3 + 1)^2
        {1, 2.f, 10.f, 6.f, 0.5f},                     // 1 - 4 / 8
        {1, 2.f, 10.f, 10.f, 0.f},                     // the end reached
        {1, 12.f, 10.f, 11.f, 0.f},                    // past the end, whatever the start
        {1, 2.f, 2.00005f, 1.f, 1.f},                  // start and end together: no change
        {3, 2.f, 10.f, 6.f, 0.25f},                    // J = 5: 1 / (24 / 8 + 1)
        {2, 1.f, 0.f, 3.f, 1.f / 3.f},                 // J = 3
        {5, 2.f, 10.f, 4.f, 1.f / (26.f / 8.f + 1.f)}, // J = 3
        {6, 0.f, 0.f, 2.f, 1.f / 27.f},
        {4, 5.f, 0.f, 3.f, 1.f}, // before the start
        {7, 0.f, 0.f, 3.f, 1.f}, // unknown types do not decay
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("decay type " + std::to_string(c.type) + " at " + std::to_string(c.d));
        SceneFixture fx;
        const std::string params = "\"color\" 1 0.5 0.25 1, \"intensity\" 2, \"emit_diffuse\" on, "
                                   "\"decay_type\" " +
                                   std::to_string(c.type) + ", \"decay_start\" " + std::to_string(c.start) +
                                   ", \"decay_end\" " + std::to_string(c.end) + ", \"category\" \"fill\"";
        ASSERT_TRUE(fx.load(light_scene("orn_PointTK", params, "0 0 " + std::to_string(c.d - 5.f))));
        const SampledLight s = sample_centre(fx);
        ASSERT_TRUE(s.sampled);
        const float k = c.factor;
        expect_color(s.color, 2.f * k, k, 0.5f * k, 1.f, 2e-6f);
        ASSERT_TRUE(s.has_record);
        expect_color(s.record.unshadowed, 2.f * k, k, 0.5f * k, 1.f, 2e-6f);
        expect_color(s.record.shadowed, 2.f * k, k, 0.5f * k, 1.f, 2e-6f);
        EXPECT_STREQ(s.record.category, "fill");
        EXPECT_EQ(s.record.emit_diffuse, 1);
        EXPECT_EQ(s.record.emit_specular, 0);
    }
}

TEST(PointLightShadows, ThresholdFactorAndSoftShadows) {
    const std::string base =
        "\"intensity\" 1, \"shadow\" on, \"shadow_factor\" 0.25, \"shadow_threshold\" 0.5, ";
    // Shadows only where a channel of the light exceeds the threshold: a grey 0.4 traces none,
    // so nothing is blocked; each colour with one channel over it is blocked to the factor.
    for (const auto& [color, traced] : {std::pair{Rgb{0.4, 0.4, 0.4}, false},
                                        {Rgb{0.8, 0.1, 0.1}, true},
                                        {Rgb{0.1, 0.8, 0.1}, true},
                                        {Rgb{0.1, 0.1, 0.8}, true}}) {
        SceneFixture fx;
        const std::string c = "\"color\" " + std::to_string(color[0]) + " " + std::to_string(color[1]) + " " +
                              std::to_string(color[2]) + " 1, ";
        ASSERT_TRUE(fx.load(light_scene("orn_PointTK", c + base, "0 0 -2", "", true)));
        const SampledLight s = sample_centre(fx);
        ASSERT_TRUE(s.sampled && s.has_record);
        expect_rgb(s.record.shadowed, color * (traced ? 0.25 : 1.0), "shadowed");
        expect_rgb(s.record.unshadowed, color, "unshadowed");
    }
    for (const bool blocked : {false, true}) {
        // soft shadows: 16 rays from points within 0.2 of the light; the wall covers them all
        SceneFixture fx;
        ASSERT_TRUE(fx.load(light_scene("orn_PointTK",
                                        "\"color\" 0.4 0.4 0.4 1, " + base +
                                            "\"shadow_threshold\" 0, \"softness\" 0.2, \"shadow_samples\" 16",
                                        "0 0 -2", "", blocked)));
        const SampledLight s = sample_centre(fx);
        ASSERT_TRUE(s.sampled);
        const float k = blocked ? 0.25f : 1.f;
        expect_color(s.color, 0.4f * k, 0.4f * k, 0.4f * k, 0.f, 1e-6f);
        // origin and direction restored: from the light towards the shaded point
        EXPECT_NEAR(s.light_org.z, -2.f, 1e-6f);
        EXPECT_NEAR(s.light_dir.z, -1.f, 1e-6f);
        EXPECT_NEAR(s.light_org.x, 0.f, 1e-6f);
    }
}

// A spot at (-x, 0, -2) aiming straight down -z: the floor's centre point (0, 0, -5) is seen
// at the cosine c = 3 / sqrt(x^2 + 9) from its axis.
std::string spot_at_cosine(double c) {
    const double x = 3.0 * std::sqrt(1.0 / (c * c) - 1.0);
    return std::to_string(-x) + " 0 -2";
}

TEST(SpotLightCone, InnerConeFalloffAndOutside) {
    const double w = 0.7, C = std::cos(20.0 * M_PI / 180.0); // spread and half the 40 degree cone
    struct Case {
        double c;
        float exponent;
        double factor;
    };
    const Case cases[] = {
        {0.95, 1.f, 1.0},
        {0.76, 1.f, (0.76 - w) / (C - w)}, // a quarter up the ramp, not its symmetric middle
        {0.88, 2.f, std::pow((0.88 - w) / (C - w), 2.0)},
        {0.69, 1.f, 0.0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE("cosine " + std::to_string(k.c) + ", exponent " + std::to_string(k.exponent));
        SceneFixture fx;
        const std::string params = "\"color\" 1 1 0.5 1, \"intensity\" 2, \"cone_angle\" 40, "
                                   "\"cone_falloff_exponent\" " +
                                   std::to_string(k.exponent) +
                                   ", \"shadow\" on, \"shadow_factor\" 0, \"category\" \"key\"";
        ASSERT_TRUE(
            fx.load(light_scene("orn_SpotTK", params, spot_at_cosine(k.c), "direction 0 0 -1 spread 0.7")));
        const SampledLight s = sample_centre(fx);
        ASSERT_TRUE(s.sampled && s.has_record);
        const float f = float(k.factor);
        expect_color(s.color, 2.f * f, 2.f * f, f, 1.f, 1e-5f);
        // the cone does not dim the unshadowed colour, outside the cone included
        expect_color(s.record.unshadowed, 2.f, 2.f, 1.f, 1.f);
    }
    {
        // decay is measured along the ray to the light: sqrt(x^2 + 9) = 3 / c
        SceneFixture fx;
        const std::string params = "\"color\" 1 1 1 1, \"intensity\" 1, \"cone_angle\" 40, "
                                   "\"cone_falloff_exponent\" 1, \"decay_type\" 2, \"category\" \"key\"";
        ASSERT_TRUE(
            fx.load(light_scene("orn_SpotTK", params, spot_at_cosine(0.82), "direction 0 0 -1 spread 0.7")));
        const SampledLight s = sample_centre(fx);
        ASSERT_TRUE(s.sampled && s.has_record);
        const double D = 1.0 / (3.0 / 0.82 + 1.0);
        const float expected = float((0.82 - w) / (C - w) * D);
        expect_rgb(s.color, expected, expected, expected, 1e-5f);
        expect_rgb(s.record.unshadowed, float(D), float(D), float(D), 1e-6f);
    }
}

TEST(PositionalLights, OtherRaysAndMissingCategories) {
    SceneFixture fx;
    MessageCapture messages;
    ASSERT_TRUE(fx.load(
        light_scene("orn_PointTK", "\"color\" 0.5 0.25 1 0.75, \"intensity\" 2, \"decay_type\" 4", "0 0 -2") +
        ""));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    // asked on an eye ray: colour x intensity, no decay and no record
    miColor c{};
    ASSERT_TRUE(fx.call("tk", &c, hit));
    expect_color(c, 1.f, 0.5f, 2.f, 0.75f);
    EXPECT_EQ(mi_shaderstate_get(hit, "ltk", nullptr), nullptr);
    EXPECT_FALSE(messages.contains("no light category"));
    const SampledLight s = sample_light_once(fx, hit, "l_i");
    ASSERT_TRUE(s.has_record);
    EXPECT_EQ(s.record.category[0], '\0');
    EXPECT_TRUE(messages.contains("orn_PointTK: no light category specified."));
}

} // namespace
