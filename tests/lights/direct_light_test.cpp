// The directional toolkit light on real light rays: its colour, hard and soft shadows with a
// shadow factor, the shadow samples it takes at deeper ray levels, and the light record it
// publishes for toolkit materials, with its category.
#include "support/expect.h"
#include "support/scene_fixture.h"

#include "common/light_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using orn::test::expect_color;
using orn::test::MessageCapture;
using orn::test::module_preamble;
using orn::test::SceneFixture;

namespace {

// Directions of light travel. Seen from the shaded point (0, 0, -5), the wall x = 1 rises
// above z = -5: `over` comes from above the wall's edge and is fully blocked, `under` passes
// below it. `edge` arrives 0.05 below the edge, so that with softness 5 (jitter radius 0.08) a
// jittered ray is blocked exactly when the sphere point's z exceeds 0.05 / 0.08 = 0.625, that
// is when the first sample dimension exceeds 13/16.
const char* const over = "-0.8 0 -0.6";
const char* const under = "-0.8 0 0.6";
const char* const edge = "-0.99874921777 0 0.05";

constexpr char no_category_warning[] = "orn_DirectTK: no light category specified.";

// Camera at the origin looking down -z. The centre pixel sees the receiver, the plane
// x + z = -5 (normal (1, 0, 1) / sqrt 2), at (0, 0, -5). `wall_material` places the wall:
// "opaque" has no shadow shader and blocks fully, "tint" transmits (0.5, 0.25, 0).
std::string scene(const std::string& light_params, const char* direction,
                  const std::string& wall_material = "", const std::string& extra = "") {
    std::string s =
        module_preamble() +
        "options \"opt\" samples 0 0 trace depth 2 2 4 shadow on end options\n"
        "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100 end camera\n"
        "instance \"cam_i\" \"cam\" end instance\n"
        "material \"opaque\" \"orn_constant\" (\"color\" 1 1 1) end material\n"
        "material \"tint\" \"orn_constant\" (\"color\" 1 1 1)\n"
        "  shadow \"orn_constant\" (\"color\" 0.5 0.25 0 1)\nend material\n"
        "object \"receiver\" visible shadow trace group\n"
        "  -3 -3 -2  3 -3 -8  3 3 -8  -3 3 -2\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
        "object \"wall\" visible shadow trace group\n"
        "  1 -20 -5  1 20 -5  1 20 20  1 -20 20\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
        "instance \"receiver_i\" \"receiver\" material \"opaque\" end instance\n"
        "instance \"wall_i\" \"wall\" material \"" +
        (wall_material.empty() ? "opaque" : wall_material) +
        "\" end instance\n"
        "shader \"dl\" \"orn_DirectTK\" (" +
        light_params + ")\nlight \"l\" = \"dl\" direction " + direction +
        " end light\n"
        "instance \"l_i\" \"l\" end instance\n" +
        extra + "instgroup \"root\" \"cam_i\" \"receiver_i\" " +
        (wall_material.empty() ? "" : "\"wall_i\" ") + "\"l_i\" end instgroup\n" +
        "render \"root\" \"cam_i\" \"opt\"\n";
    return s;
}

// A light whose unshadowed colour is (3, 1.5, 0.75, 1), with a category.
std::string params(const std::string& shadows) {
    return "\"color\" 1 0.5 0.25 1, \"intensity\" 3, \"emit_diffuse\" on, \"emit_specular\" off, "
           "\"category\" \"key\", " +
           shadows;
}

struct LightSample {
    bool sampled = false;
    miColor color{0, 0, 0, 0};
    bool has_record = false;
    ltk_record record{};
    miVector light_dir{0, 0, 0};  // direction of the light state after the shader returned
    miVector sample_dir{0, 0, 0}; // direction the light list reports for the sample
    miScalar dot_nl = 0.f;
};

// Samples the light instance "l_i" once from the centre pixel's hit, at the given ray levels,
// the way a toolkit material does.
LightSample sample_light(SceneFixture& fx, int reflection_level = 0, int refraction_level = 0) {
    LightSample out;
    miState* hit = fx.probe_eye(50.f, 50.f);
    if (!hit) {
        ADD_FAILURE() << "the centre pixel sees nothing";
        return out;
    }
    hit->reflection_level = reflection_level;
    hit->refraction_level = refraction_level;
    const miTag light = fx.session().db().lookup("l_i");
    mi::shader::LightIterator it(hit, &light, 1);
    EXPECT_EQ(it.count(), 1u);
    if (it.at_end()) return out;
    out.sampled = it->sample();
    if (!out.sampled) return out;
    it->get_contribution(&out.color);
    out.sample_dir = it->get_direction();
    out.dot_nl = it->get_dot_nl();
    if (hit->child) out.light_dir = hit->child->dir;
    if (auto* rec = static_cast<const ltk_record*>(mi_shaderstate_get(hit, "ltk", nullptr))) {
        out.has_record = true;
        std::memcpy(&out.record, rec, sizeof out.record);
    }
    return out;
}

void expect_one_of(float value, const std::vector<float>& allowed) {
    for (float v : allowed)
        if (std::abs(value - v) < 1e-6f) return;
    ADD_FAILURE() << value << " is none of the values the sample count allows";
}

size_t count(const std::vector<std::string>& lines, const std::string& text) {
    size_t n = 0;
    for (const auto& l : lines)
        n += l.find(text) != std::string::npos;
    return n;
}

TEST(DirectLightColor, OtherRaysGetColorTimesIntensityWithoutRecordOrWarning) {
    SceneFixture fx;
    MessageCapture messages;
    ASSERT_TRUE(fx.load(scene("\"color\" 0.5 0.25 1 0.75, \"intensity\" 2, \"shadow\" on", over, "opaque",
                              "shader \"quarter\" \"orn_color_to_float\" (\"color\" 0.25 0.25 0.25 1, "
                              "\"channel\" 0, \"max_value\" 1)\n"
                              "shader \"dl2\" \"orn_DirectTK\" (\"color\" 0.5 0.25 1 0.75, "
                              "\"intensity\" = \"quarter\")\n")));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    ASSERT_EQ(hit->type, miRAY_EYE);
    miColor c{};
    ASSERT_TRUE(fx.call("dl", &c, hit));
    // alpha is not scaled; the wall would block the light, but no shadow is traced here
    expect_color(c, 1.f, 0.5f, 2.f, 0.75f);
    EXPECT_EQ(mi_shaderstate_get(hit, "ltk", nullptr), nullptr);
    // a connected intensity is evaluated
    ASSERT_TRUE(fx.call("dl2", &c, hit));
    expect_color(c, 0.125f, 0.0625f, 0.25f, 0.75f);
    EXPECT_EQ(count(messages.of(orn::Severity::Warning), no_category_warning), 0u);
}

TEST(DirectLightRecord, UnshadowedLightPublishesItsColourFlagsAndCategory) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene(params("\"shadow\" off"), over, "opaque")));
    const LightSample s = sample_light(fx);
    ASSERT_TRUE(s.sampled);
    // direction towards the light: the reverse of the travel direction
    EXPECT_NEAR(s.sample_dir.x, 0.8f, 1e-6);
    EXPECT_NEAR(s.sample_dir.z, 0.6f, 1e-6);
    EXPECT_NEAR(s.dot_nl, 1.4f / std::sqrt(2.f), 1e-5);
    expect_color(s.color, 3.f, 1.5f, 0.75f, 1.f);
    ASSERT_TRUE(s.has_record);
    expect_color(s.record.shadowed, 3.f, 1.5f, 0.75f, 1.f);
    expect_color(s.record.unshadowed, 3.f, 1.5f, 0.75f, 1.f);
    EXPECT_EQ(s.record.emit_diffuse, 1);
    EXPECT_EQ(s.record.emit_specular, 0);
    const char expected[32] = "key";
    EXPECT_EQ(std::memcmp(s.record.category, expected, sizeof expected), 0);
}

TEST(DirectLightShadows, OpaqueOccluderLeavesTheShadowFactor) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene(params("\"shadow\" on, \"shadow_factor\" 0.25"), over, "opaque")));
    const LightSample s = sample_light(fx);
    ASSERT_TRUE(s.sampled);
    // 0.25 x (3, 1.5, 0.75); a hard shadow keeps the alpha
    expect_color(s.color, 0.75f, 0.375f, 0.1875f, 1.f);
    ASSERT_TRUE(s.has_record);
    expect_color(s.record.shadowed, 0.75f, 0.375f, 0.1875f, 1.f);
    expect_color(s.record.unshadowed, 3.f, 1.5f, 0.75f, 1.f);

    SceneFixture black;
    ASSERT_TRUE(black.load(scene(params("\"shadow\" on, \"shadow_factor\" 0"), over, "opaque")));
    const LightSample b = sample_light(black);
    ASSERT_TRUE(b.sampled);
    expect_color(b.color, 0.f, 0.f, 0.f, 1.f);
}

TEST(DirectLightShadows, UnblockedLightArrivesWhole) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene(params("\"shadow\" on, \"shadow_factor\" 0.25"), under, "opaque")));
    const LightSample s = sample_light(fx);
    ASSERT_TRUE(s.sampled);
    expect_color(s.color, 3.f, 1.5f, 0.75f, 1.f);
    expect_color(s.record.unshadowed, 3.f, 1.5f, 0.75f, 1.f);
}

TEST(DirectLightShadows, ShadowFactorOfOneOrMoreTracesNoShadow) {
    // were the blocked ray traced, a factor of 1.5 would brighten the light by half
    for (const char* f : {"1", "1.5"}) {
        SceneFixture fx;
        ASSERT_TRUE(
            fx.load(scene(params(std::string("\"shadow\" on, \"shadow_factor\" ") + f), over, "opaque")));
        const LightSample s = sample_light(fx);
        ASSERT_TRUE(s.sampled) << f;
        expect_color(s.record.shadowed, 3.f, 1.5f, 0.75f, 1.f);
        expect_color(s.record.unshadowed, 3.f, 1.5f, 0.75f, 1.f);
    }
}

TEST(DirectLightShadows, TransmissionIsScaledBetweenTheFactorAndOnePerChannel) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene(params("\"shadow\" on, \"shadow_factor\" 0.2"), over, "tint")));
    const LightSample s = sample_light(fx);
    ASSERT_TRUE(s.sampled);
    // T = (0.5, 0.25, 0): factors 0.5 x 0.8 + 0.2 = 0.6, 0.25 x 0.8 + 0.2 = 0.4, 0 x 0.8 + 0.2 = 0.2
    expect_color(s.color, 1.8f, 0.6f, 0.15f, 1.f, 1e-5f);
    expect_color(s.record.unshadowed, 3.f, 1.5f, 0.75f, 1.f);
}

TEST(DirectLightSoftShadows, AverageTheSamplesWithZeroAlpha) {
    const std::string soft = "\"shadow\" on, \"softness\" 5, \"shadow_samples\" 16, \"shadow_factor\" ";
    {
        SceneFixture fx;
        ASSERT_TRUE(fx.load(scene(params(soft + "0"), under, "opaque")));
        const LightSample s = sample_light(fx);
        ASSERT_TRUE(s.sampled);
        expect_color(s.color, 3.f, 1.5f, 0.75f, 0.f, 1e-5f);
        expect_color(s.record.shadowed, 3.f, 1.5f, 0.75f, 0.f, 1e-5f);
        expect_color(s.record.unshadowed, 3.f, 1.5f, 0.75f, 1.f);
        // the light state's direction is the unjittered one again: light travel, the
        // opposite of the direction towards the light that the material gets
        EXPECT_FLOAT_EQ(s.light_dir.x, -s.sample_dir.x);
        EXPECT_FLOAT_EQ(s.light_dir.y, -s.sample_dir.y);
        EXPECT_FLOAT_EQ(s.light_dir.z, -s.sample_dir.z);
    }
    {
        SceneFixture fx;
        ASSERT_TRUE(fx.load(scene(params(soft + "0.25"), over, "opaque")));
        expect_color(sample_light(fx).color, 0.75f, 0.375f, 0.1875f, 0.f, 1e-5f);
    }
    {
        SceneFixture fx;
        ASSERT_TRUE(fx.load(scene(params(soft + "0.2"), over, "tint")));
        expect_color(sample_light(fx).color, 1.8f, 0.6f, 0.15f, 0.f, 1e-5f);
    }
}

// Soft-shadow origins (and occlusion probes) are sphere points (w cos phi, w sin phi, u) with
// u = 2 s0 - 1, w = sqrt(1 - u^2), phi = 2 pi s1. The module's own sine and cosine must agree
// with the C library's to the last bits of a double over the whole turn, quadrant edges
// included, and so give the same float points.
TEST(DirectLightSoftShadows, SpherePointsFollowTheFormula) {
    for (int i = 0; i <= 40000; ++i) {
        const double phi = 2.0 * M_PI * i / 40000.0;
        double s = 0, c = 0;
        orn::sin_cos(phi, &s, &c);
        ASSERT_NEAR(s, std::sin(phi), 2.3e-16) << "phi " << phi;
        ASSERT_NEAR(c, std::cos(phi), 2.3e-16) << "phi " << phi;
    }
    for (int a = 0; a <= 64; ++a)
        for (int b = 0; b <= 256; ++b) {
            const double s0 = a / 64.0, s1 = b / 256.0 + 1e-9 * a;
            const double u = 2 * s0 - 1, w = std::sqrt(std::max(0.0, 1 - u * u)), phi = 2 * M_PI * s1;
            const miVector p = orn::sphere_point(s0, s1);
            ASSERT_EQ(p.x, float(w * std::cos(phi))) << s0 << " " << s1;
            ASSERT_EQ(p.y, float(w * std::sin(phi))) << s0 << " " << s1;
            ASSERT_EQ(p.z, float(u));
        }
}

TEST(DirectLightSoftShadows, NoSamplesGiveBlack) {
    // A negative count takes no samples either, instead of billions read as unsigned.
    for (const char* count : {"0", "-3"}) {
        SceneFixture fx;
        ASSERT_TRUE(
            fx.load(scene(params(std::string("\"shadow\" on, \"softness\" 5, \"shadow_samples\" ") + count),
                          under, "opaque")));
        const LightSample s = sample_light(fx);
        ASSERT_TRUE(s.sampled);
        expect_color(s.color, 0.f, 0.f, 0.f, 0.f);
        expect_color(s.record.unshadowed, 3.f, 1.5f, 0.75f, 1.f);
    }
}

// With the `edge` light a stratified set of n samples leaves a lit fraction that tells n:
// 16 samples are lit 13/16, 4 samples 3/4 or 1, 3 samples 2/3 or 1, one sample 0 or 1.
std::string edge_light(int samples) {
    return "\"color\" 1 1 1 1, \"intensity\" 1, \"category\" \"edge\", \"shadow\" on, \"shadow_factor\" 0, "
           "\"softness\" 5, "
           "\"shadow_samples\" " +
           std::to_string(samples);
}

TEST(DirectLightSoftShadows, EveryRayLevelHalvesTheSamples) {
    SceneFixture fx16;
    ASSERT_TRUE(fx16.load(scene(edge_light(16), edge, "opaque")));
    const LightSample top = sample_light(fx16);
    ASSERT_TRUE(top.sampled);
    EXPECT_NEAR(top.color.r, 13.f / 16.f, 1e-6);
    EXPECT_NEAR(top.color.g, 13.f / 16.f, 1e-6);
    EXPECT_EQ(top.color.a, 0.f);

    // reflection level 1 + refraction level 1: 16 >> 2 = 4 samples
    expect_one_of(sample_light(fx16, 1, 1).color.r, {0.75f, 1.f});
    // a total level of 5 leaves 16 >> 5 = 0, raised to one sample
    expect_one_of(sample_light(fx16, 3, 2).color.r, {0.f, 1.f});
    // the count is shifted modulo 32: level 32 is level 0
    EXPECT_NEAR(sample_light(fx16, 20, 12).color.r, 13.f / 16.f, 1e-6);

    SceneFixture fx6;
    ASSERT_TRUE(fx6.load(scene(edge_light(6), edge, "opaque")));
    expect_one_of(sample_light(fx6, 1, 0).color.r, {2.f / 3.f, 1.f});
}

TEST(DirectLightSoftShadows, MoreThan4096SamplesTake4096WithOneWarningPerLight) {
    // 4096 stratified samples are blocked from 13/16 of the first dimension on, as 16 are; the
    // clamp costs no silence: one warning for the light, however many rays meet it. A missing
    // category still warns on its own.
    SceneFixture fx;
    MessageCapture messages;
    std::string light = edge_light(100000);
    light = light.replace(light.find("\"category\" \"edge\", "), 19, "");
    ASSERT_TRUE(fx.load(scene(light, edge, "opaque")));
    for (int k = 0; k < 3; ++k) {
        const LightSample s = sample_light(fx);
        ASSERT_TRUE(s.sampled);
        EXPECT_NEAR(s.color.r, 13.f / 16.f, 1e-6);
    }
    const auto warnings = messages.of(orn::Severity::Warning);
    EXPECT_EQ(count(warnings, "orn_DirectTK: shadow_samples 100000 is more than 4096; using 4096"), 1u)
        << messages.all();
    EXPECT_EQ(count(warnings, no_category_warning), 1u) << messages.all();
}

TEST(DirectLightSoftShadows, ZeroSoftnessTracesOneHardShadowRay) {
    SceneFixture fx;
    ASSERT_TRUE(
        fx.load(scene(params("\"shadow\" on, \"softness\" 0, \"shadow_samples\" 16, \"shadow_factor\" 0.25"),
                      over, "opaque")));
    const LightSample s = sample_light(fx);
    ASSERT_TRUE(s.sampled);
    // a hard shadow keeps the alpha that a soft one sets to 0
    expect_color(s.color, 0.75f, 0.375f, 0.1875f, 1.f);
}

TEST(DirectLightCategory, LongNamesAreCutTo31Characters) {
    const std::string forty = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    const std::string thirty_one = forty.substr(0, 31);
    for (const std::string& name : {forty, thirty_one}) {
        SceneFixture fx;
        ASSERT_TRUE(
            fx.load(scene("\"color\" 1 1 1 1, \"intensity\" 1, \"category\" \"" + name + "\"", over)));
        const LightSample s = sample_light(fx);
        ASSERT_TRUE(s.has_record) << name;
        char expected[32] = {};
        std::memcpy(expected, thirty_one.data(), 31);
        EXPECT_EQ(std::memcmp(s.record.category, expected, sizeof expected), 0) << name;
    }
}

TEST(DirectLightCategory, MissingCategoryWarnsAtEveryLightRayAndLightsAnyway) {
    SceneFixture fx;
    MessageCapture messages;
    ASSERT_TRUE(fx.load(scene("\"color\" 0.5 0.5 0.5 1, \"intensity\" 2, \"emit_diffuse\" off, "
                              "\"emit_specular\" on",
                              under)));
    const LightSample first = sample_light(fx);
    const LightSample second = sample_light(fx);
    ASSERT_TRUE(first.sampled && second.sampled);
    EXPECT_EQ(count(messages.of(orn::Severity::Warning), no_category_warning), 1u); // once per light
    ASSERT_TRUE(first.has_record);
    expect_color(first.record.shadowed, 1.f, 1.f, 1.f, 1.f);
    EXPECT_EQ(first.record.emit_diffuse, 0);
    EXPECT_EQ(first.record.emit_specular, 1);
    const char empty[32] = {};
    EXPECT_EQ(std::memcmp(first.record.category, empty, sizeof empty), 0);
}

TEST(DirectLightCategory, EmptyNameGivesAnEmptyCategory) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("\"color\" 1 1 1 1, \"intensity\" 1, \"category\" \"\"", under)));
    const LightSample s = sample_light(fx);
    ASSERT_TRUE(s.has_record);
    const char empty[32] = {};
    EXPECT_EQ(std::memcmp(s.record.category, empty, sizeof empty), 0);
}

} // namespace
