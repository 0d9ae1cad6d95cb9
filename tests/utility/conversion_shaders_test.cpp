// Conversion, grading, facing-ratio and ray-type shaders, run through the real module on rays
// traced by the renderer. Expected values are worked out here from the shaders' formulas.
#include "support/scene_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <dlfcn.h>
#include <string>

namespace orn::test {
namespace {

// Ray types by the renderer's numbers.
constexpr int kEye = 0, kTransparent = 1, kReflect = 2, kRefract = 3, kLight = 4, kShadow = 5,
              kEnvironment = 6, kDisplace = 16, kFinalGather = 20;

constexpr float kTol = 1e-5f;
constexpr double kPi = 3.14159265358979323846;

::testing::AssertionResult near(const miColor& c, const miColor& want, float tol = kTol) {
    const float got[4] = {c.r, c.g, c.b, c.a}, exp[4] = {want.r, want.g, want.b, want.a};
    for (int i = 0; i < 4; ++i)
        if (!(std::fabs(got[i] - exp[i]) <= tol))
            return ::testing::AssertionFailure()
                   << "got (" << c.r << ", " << c.g << ", " << c.b << ", " << c.a << "), want (" << want.r
                   << ", " << want.g << ", " << want.b << ", " << want.a << ") within " << tol;
    return ::testing::AssertionSuccess();
}

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

// A 100x100 image, focal 1 and aperture 1, from a camera on the +Z axis at `cam_z` looking at
// the origin; one sample per pixel at its centre, no environment (black, alpha 0).
std::string scene(const std::string& body, const std::string& instances, double cam_z = 10.0) {
    return module_preamble() + "options \"opt\" samples 0 0 trace depth 2 2 4 end options\n" +
           "camera \"cam\" focal 1 aperture 1 aspect 1 resolution 100 100 end camera\n" +
           "instance \"cam_i\" \"cam\" transform 1 0 0 0  0 1 0 0  0 0 1 0  0 0 " + num(-cam_z) +
           " 1 end instance\n" + body + "instgroup \"root\" \"cam_i\" " + instances + " end instgroup\n" +
           "render \"root\" \"cam_i\" \"opt\"\n";
}

// A planar quad with corners c ± u ± v, its polygon shaded by material `mtl`, placed by an
// identity instance "<name>_i".
std::string quad(const std::string& name, const std::string& mtl, const miVector& c, const miVector& u,
                 const miVector& v) {
    static const int corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
    std::string pts;
    for (const auto& [su, sv] : corners)
        pts += num(c.x + su * u.x + sv * v.x) + " " + num(c.y + su * u.y + sv * v.y) + " " +
               num(c.z + su * u.z + sv * v.z) + "  ";
    return "object \"" + name + "\" visible shadow trace group " + pts + " v 0 v 1 v 2 v 3 p \"" + mtl +
           "\" 0 1 2 3 end group end object\n" + "instance \"" + name + "_i\" \"" + name +
           "\" end instance\n";
}

// Axis-aligned rectangle [x0, x1] x [y0, y1] in the plane z.
std::string rect(const std::string& name, const std::string& mtl, float x0, float x1, float y0, float y1,
                 float z) {
    return quad(name, mtl, {(x0 + x1) / 2, (y0 + y1) / 2, z}, {(x1 - x0) / 2, 0, 0}, {0, (y1 - y0) / 2, 0});
}

// Camera-space eye direction through raster (rx, ry) of the cameras above.
miVector eye_dir(float rx, float ry) {
    const double px = rx / 100.0 - 0.5, py = ry / 100.0 - 0.5, len = std::sqrt(px * px + py * py + 1.0);
    return {float(px / len), float(py / len), float(-1.0 / len)};
}

// Cosine between the surface normal and the direction to the eye for a unit sphere at distance D
// straight ahead: with b = D cos(phi) along the ray, f = sqrt(b^2 - D^2 + 1).
double sphere_facing(float rx, float ry, double D) {
    const double b = D * -double(eye_dir(rx, ry).z);
    return std::sqrt(b * b - D * D + 1.0);
}

miColor blend(double f, const miColor& facing, const miColor& edge) {
    return {float(f * facing.r + (1 - f) * edge.r), float(f * facing.g + (1 - f) * edge.g),
            float(f * facing.b + (1 - f) * edge.b), 1.f};
}

const std::string kSphereObj = std::string(ORN_SOURCE_DIR) + "/scenes/meshes/sphere.obj";

// ---------------------------------------------------------------- constants, vectors, scalars

const char* kConversions = R"(
material "flat" "orn_constant" ("color" 1 1 1 1) end material
shader "const_plain" "orn_constant" ("color" 0.1 0.2 0.3 0.4, "override_alpha" off, "alpha" 0.9)
shader "const_alpha" "orn_constant" ("color" 0.1 0.2 0.3 0.4, "override_alpha" on, "alpha" 0.9)
shader "f2" "orn_float2_to_vector" ("x" 1.5, "y" -2.5)
shader "f3" "orn_float3_to_vector" ("x" 1.5, "y" -2.5, "z" 3.25)
shader "f4_raw" "orn_float4_to_color" ("r" -0.5, "g" 1.5, "b" 0.3, "a" 2, "clamp_low" off, "clamp_high" off)
shader "f4_low" "orn_float4_to_color" ("r" -0.5, "g" 1.5, "b" 0.3, "a" 2, "clamp_low" on, "clamp_high" off)
shader "f4_high" "orn_float4_to_color" ("r" -0.5, "g" 1.5, "b" 0.3, "a" 2, "clamp_low" off, "clamp_high" on)
shader "f4_both" "orn_float4_to_color" ("r" -0.5, "g" 1.5, "b" 0.3, "a" -2, "clamp_low" on, "clamp_high" on)
shader "ctf_r" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" 0, "min_value" 0, "max_value" 1)
shader "ctf_g" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" 1, "min_value" 0, "max_value" 1)
shader "ctf_b" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" 2, "min_value" 0, "max_value" 1)
shader "ctf_a" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" 3, "min_value" 0, "max_value" 1)
shader "ctf_avg4" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" 4, "min_value" 0, "max_value" 1)
shader "ctf_avg9" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" 9, "min_value" 0, "max_value" 1)
shader "ctf_avgneg" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" -1, "min_value" 0, "max_value" 1)
shader "ctf_lum" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" 5, "min_value" 0, "max_value" 1)
shader "ctf_crossed" "orn_color_to_float" ("color" 0.15 0.15 0.15 1, "channel" 0, "min_value" 0.2,
                                           "max_value" 0.1)
shader "ctf_low" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" 0, "min_value" 0.3, "max_value" 1)
shader "ctf_inv" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" 1, "min_value" 0, "max_value" 1,
                                       "invert" 1)
shader "ctf_inv2" "orn_color_to_float" ("color" 0.2 0.4 0.9 0.7, "channel" 1, "min_value" 0, "max_value" 1,
                                        "invert" 2)
shader "f3_linked" "orn_float3_to_vector" ("x" = "ctf_avg4", "y" 2, "z" 3)
shader "ctf_clamp_inv" "orn_color_to_float" ("color" 1.5 0 0 1, "channel" 0, "min_value" 0, "max_value" 1,
                                             "invert" 1)
)";

class Conversions : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fixture.load(scene(kConversions + rect("q", "flat", -2, 2, -2, 2, 0), "\"q_i\"")));
        state = fixture.probe_eye(50, 50);
        ASSERT_NE(state, nullptr);
    }
    SceneFixture fixture;
    miState* state = nullptr;
};

TEST_F(Conversions, ConstantAndScalarsToVectorsAndColours) {
    miColor c{};
    EXPECT_TRUE(fixture.call("const_plain", &c, state));
    EXPECT_TRUE(near(c, {0.1f, 0.2f, 0.3f, 0.4f}));
    EXPECT_TRUE(fixture.call("const_alpha", &c, state));
    EXPECT_TRUE(near(c, {0.1f, 0.2f, 0.3f, 0.9f}));

    miVector v{0.f, 0.f, 7.25f}; // z must survive the two-component shader
    EXPECT_TRUE(fixture.call("f2", &v, state));
    EXPECT_FLOAT_EQ(v.x, 1.5f);
    EXPECT_FLOAT_EQ(v.y, -2.5f);
    EXPECT_FLOAT_EQ(v.z, 7.25f);
    EXPECT_TRUE(fixture.call("f3", &v, state));
    EXPECT_FLOAT_EQ(v.z, 3.25f);
    // A connected parameter takes the other shader's result: the average (0.2 + 0.4 + 0.9) / 3.
    EXPECT_TRUE(fixture.call("f3_linked", &v, state));
    EXPECT_NEAR(v.x, 0.5f, kTol);
    EXPECT_FLOAT_EQ(v.y, 2.f);

    EXPECT_TRUE(fixture.call("f4_raw", &c, state));
    EXPECT_TRUE(near(c, {-0.5f, 1.5f, 0.3f, 2.f}));
    EXPECT_TRUE(fixture.call("f4_low", &c, state));
    EXPECT_TRUE(near(c, {0.f, 1.5f, 0.3f, 2.f}));
    EXPECT_TRUE(fixture.call("f4_high", &c, state));
    EXPECT_TRUE(near(c, {-0.5f, 1.f, 0.3f, 1.f}));
    EXPECT_TRUE(fixture.call("f4_both", &c, state));
    EXPECT_TRUE(near(c, {0.f, 1.f, 0.3f, 0.f}));
}

TEST_F(Conversions, ColorToFloatChannelsRangeAndInvert) {
    const float avg = (0.2f + 0.4f + 0.9f) / 3.f; // 0.5: equal to none of the components
    // clang-format off
    const struct {
        const char* shader;
        float want;
    } cases[] = {
        {"ctf_r", 0.2f},
        {"ctf_g", 0.4f},
        {"ctf_b", 0.9f},
        {"ctf_a", 0.7f},
        {"ctf_avg4", avg},
        {"ctf_avg9", avg},
        {"ctf_avgneg", avg},
        {"ctf_lum", 0.299f * 0.2f + 0.587f * 0.4f + 0.114f * 0.9f},
        {"ctf_crossed", 0.1f},  // 0.15 is above the maximum, which is tested first
        {"ctf_low", 0.3f},
        {"ctf_inv", 0.6f},
        {"ctf_inv2", 0.4f},     // only 1 inverts
        {"ctf_clamp_inv", 0.f}, // clamped to 1 before inverting
    };
    // clang-format on
    for (const auto& k : cases) {
        float v = -99.f;
        EXPECT_TRUE(fixture.call(k.shader, &v, state)) << k.shader;
        EXPECT_NEAR(v, k.want, kTol) << k.shader;
    }
}

// ---------------------------------------------------------------- grading

const char* kGrades = R"(
material "flat" "orn_constant" ("color" 1 1 1 1) end material
shader "identity" "orn_grade_color" ("color" 1.7 -0.4 0.35 0.25, "in_black" 0 0 0, "in_white" 1 1 1,
    "saturation" 1 1 1, "luminance_weights" on, "gain" 1, "gamma" 1, "multiply" 1 1 1, "offset" 0 0 0)
shader "grey_lum" "orn_grade_color" ("color" 0.2 0.4 0.9 0.6, "in_black" 0 0 0, "in_white" 1 1 1,
    "saturation" 0 0 0, "luminance_weights" on, "gain" 1, "gamma" 1, "multiply" 1 1 1, "offset" 0 0 0)
shader "grey_avg" "orn_grade_color" ("color" 0.2 0.4 0.9 0.6, "in_black" 0 0 0, "in_white" 1 1 1,
    "saturation" 0 0 0, "luminance_weights" off, "gain" 1, "gamma" 1, "multiply" 1 1 1, "offset" 0 0 0)
shader "sat_mixed" "orn_grade_color" ("color" 0.2 0.4 0.9 0.6, "in_black" 0 0 0, "in_white" 1 1 1,
    "saturation" 0.5 1 0, "luminance_weights" off, "gain" 1, "gamma" 1, "multiply" 1 1 1, "offset" 0 0 0)
shader "gamma" "orn_grade_color" ("color" 0.25 -0.3 0 0.8, "in_black" 0 0 0, "in_white" 1 1 1,
    "saturation" 1 1 1, "gain" 1, "gamma" 2, "multiply" 1 1 1, "offset" 0 0 0)
shader "chain" "orn_grade_color" ("color" 0.6 0.3 0.9 0.5, "in_black" 0.2 0.1 0, "in_white" 1 0.5 0.6,
    "saturation" 1 1 1, "gain" 2, "gamma" 2, "multiply" 0.5 2 1, "offset" 0.1 -0.5 0)
shader "chain_high" "orn_grade_color" ("color" 0.6 0.3 0.9 0.5, "in_black" 0.2 0.1 0, "in_white" 1 0.5 0.6,
    "saturation" 1 1 1, "gain" 2, "gamma" 2, "multiply" 0.5 2 1, "offset" 0.1 -0.5 0, "clamp_high" on)
shader "chain_inv" "orn_grade_color" ("color" 0.6 0.3 0.9 0.5, "in_black" 0.2 0.1 0, "in_white" 1 0.5 0.6,
    "saturation" 1 1 1, "gain" 2, "gamma" 2, "multiply" 0.5 2 1, "offset" 0.1 -0.5 0, "invert" on,
    "clamp_low" on)
shader "flat_nan" "orn_grade_color" ("color" 0.3 0.5 0.8 1, "in_black" 0 0.5 0, "in_white" 1 0.5 1,
    "saturation" 1 1 1, "gain" 1, "gamma" 1, "multiply" 1 1 1, "offset" 0 0 0, "clamp_low" on,
    "clamp_high" on)
shader "flat_inf" "orn_grade_color" ("color" 0.3 0.5 0.35 1, "in_black" 0 0 0.2, "in_white" 1 1 0.2,
    "saturation" 1 1 1, "gain" 1, "gamma" 1, "multiply" 1 1 1, "offset" 0 0 0)
)";

TEST(GradeColor, LevelsSaturationGainGammaAndClamps) {
    SceneFixture fixture;
    ASSERT_TRUE(fixture.load(scene(kGrades + rect("q", "flat", -2, 2, -2, 2, 0), "\"q_i\"")));
    miState* st = fixture.probe_eye(50, 50);
    ASSERT_NE(st, nullptr);
    miColor c{};

    // Neutral settings leave even out-of-range values and alpha alone.
    EXPECT_TRUE(fixture.call("identity", &c, st));
    EXPECT_TRUE(near(c, {1.7f, -0.4f, 0.35f, 0.25f}));

    const float lum = 0.299f * 0.2f + 0.587f * 0.4f + 0.114f * 0.9f, avg = 0.5f;
    EXPECT_TRUE(fixture.call("grey_lum", &c, st));
    EXPECT_TRUE(near(c, {lum, lum, lum, 0.6f}));
    EXPECT_TRUE(fixture.call("grey_avg", &c, st));
    EXPECT_TRUE(near(c, {avg, avg, avg, 0.6f}));
    // Per channel: half-way to the grey, untouched, all grey.
    EXPECT_TRUE(fixture.call("sat_mixed", &c, st));
    EXPECT_TRUE(near(c, {0.5f * avg + 0.5f * 0.2f, 0.4f, avg, 0.6f}));

    EXPECT_TRUE(fixture.call("gamma", &c, st));
    EXPECT_TRUE(near(c, {0.5f, -0.3f, 0.f, 0.8f}));

    // Levels (0.5, 0.5, 1.5), gain 2 -> (1, 1, 3), gamma 2 -> (1, 1, sqrt 3), then
    // multiply and offset.
    const float s3 = std::sqrt(3.f);
    EXPECT_TRUE(fixture.call("chain", &c, st));
    EXPECT_TRUE(near(c, {0.6f, 1.5f, s3, 0.5f}));
    EXPECT_TRUE(fixture.call("chain_high", &c, st));
    EXPECT_TRUE(near(c, {0.6f, 1.f, 1.f, 0.5f}));
    // Inverted before clamping: (0.4, -0.5, 1 - sqrt 3) -> (0.4, 0, 0).
    EXPECT_TRUE(fixture.call("chain_inv", &c, st));
    EXPECT_TRUE(near(c, {0.4f, 0.f, 0.f, 0.5f}));

    // Equal black and white points: 0/0 stays NaN through both clamps; x/0 is infinite.
    EXPECT_TRUE(fixture.call("flat_nan", &c, st));
    EXPECT_NEAR(c.r, 0.3f, kTol);
    EXPECT_TRUE(std::isnan(c.g)) << c.g;
    EXPECT_NEAR(c.b, 0.8f, kTol);
    EXPECT_TRUE(fixture.call("flat_inf", &c, st));
    EXPECT_TRUE(std::isinf(c.b) && c.b > 0.f) << c.b;
    EXPECT_NEAR(c.g, 0.5f, kTol);
}

// ---------------------------------------------------------------- facing ratio

const char* kFacing = R"(
material "flat" "orn_constant" ("color" 1 1 1 1) end material
shader "ratio" "orn_facing_ratio" ("facing_color" 1 0.5 0, "edge_color" 0 0 1, "exponent" 2)
shader "ratio0" "orn_facing_ratio" ("facing_color" 1 0.5 0, "edge_color" 0 0 1, "exponent" 0)
shader "graded" "orn_grade_color" ("color" = "ratio", "in_black" 0 0 0, "in_white" 1 1 1,
    "saturation" 1 1 1, "gain" 1, "gamma" 1, "multiply" 1 1 1, "offset" 0 0 0)
)";

// A quad through the world origin, turned 60 degrees about Y, seen from a camera at z = 10:
// its normal (sin a, 0, cos a) makes a known, exact angle with every eye ray.
TEST(FacingRatio, TiltedPlaneGivesTheExactCosine) {
    const double a = kPi / 3;
    const miColor facing{1, 0.5f, 0, 1}, edge{0, 0, 1, 1};
    SceneFixture fixture;
    const std::string tilted =
        quad("q", "flat", {0, 0, 0}, {float(std::cos(a) * 4), 0, float(-std::sin(a) * 4)}, {0, 4, 0});
    ASSERT_TRUE(fixture.load(scene(kFacing + tilted, "\"q_i\"")));

    miColor c{}, g{};
    miState* st = fixture.probe_eye(50, 50);
    ASSERT_NE(st, nullptr);
    EXPECT_TRUE(fixture.call("ratio", &c, st));
    EXPECT_TRUE(near(c, blend(0.25, facing, edge))); // cos 60 = 0.5, squared
    // A connected colour is the facing ratio at this very point.
    EXPECT_TRUE(fixture.call("graded", &g, st));
    EXPECT_TRUE(near(g, c));

    // The view vector follows the ray off-centre: f = -n . d.
    st = fixture.probe_eye(60, 45);
    ASSERT_NE(st, nullptr);
    const miVector d = eye_dir(60, 45);
    const double f = -(std::sin(a) * d.x + std::cos(a) * d.z);
    EXPECT_TRUE(fixture.call("ratio", &c, st));
    EXPECT_TRUE(near(c, blend(f * f, facing, edge)));
    EXPECT_TRUE(fixture.call("ratio0", &c, st)); // f^0 = 1
    EXPECT_TRUE(near(c, blend(1, facing, edge)));

    // Turned away from the eye, f < 0 counts as 0: 0^2 = 0 is the edge, 0^0 = 1 the facing colour.
    st->normal = {-st->normal.x, -st->normal.y, -st->normal.z};
    EXPECT_TRUE(fixture.call("ratio", &c, st));
    EXPECT_TRUE(near(c, blend(0, facing, edge)));
    EXPECT_TRUE(fixture.call("ratio0", &c, st));
    EXPECT_TRUE(near(c, blend(1, facing, edge)));

    for (int type : {kShadow, kDisplace}) {
        st->type = type;
        EXPECT_FALSE(fixture.call("ratio", &c, st)) << "ray type " << type;
    }
}

// Unit sphere 4 units in front of the camera. The mesh is a 64x32 tessellation with smooth
// normals, close to but not exactly the analytic sphere.
std::string sphere_scene(const std::string& material) {
    return scene(material + "object \"s\" visible shadow trace file \"" + kSphereObj + "\" end object\n" +
                     "instance \"s_i\" \"s\" material \"m\" end instance\n",
                 "\"s_i\"", 4.0);
}

TEST(FacingRatio, SphereHeadOnAndAtAKnownAngle) {
    const miColor facing{0.9f, 0.8f, 0.1f, 1}, edge{0.1f, 0.2f, 0.7f, 1};
    SceneFixture fixture;
    ASSERT_TRUE(fixture.load(sphere_scene(
        "shader \"r3\" \"orn_facing_ratio\" (\"facing_color\" 0.9 0.8 0.1, \"edge_color\" 0.1 0.2 0.7, "
        "\"exponent\" 3)\nmaterial \"m\" = \"r3\" end material\n")));

    bool hit = false;
    EXPECT_TRUE(near(fixture.shade(50, 50, &hit), facing, 1e-3f));
    EXPECT_TRUE(hit);

    miState* st = fixture.probe_eye(65, 50);
    ASSERT_NE(st, nullptr);
    const double f = sphere_facing(65, 50, 4.0); // about 0.805
    miColor c{};
    EXPECT_TRUE(fixture.call("r3", &c, st));
    EXPECT_TRUE(near(c, blend(f * f * f, facing, edge), 1e-3f));
}

// ---------------------------------------------------------------- colour plus alpha, ray types

// A 4x4 quad at z = 0 in front of a quad at z = -2 that leaves the left part of the view empty.
// The back quad shows which ray reached it, by type and level.
const char* kLayers = R"(
shader "back_rt" "orn_ray_type" ("reflect_enable" off, "refract_enable" on, "refract_min_level" 1,
    "transparent_enable" on, "transparent_min_level" 1, "default_color" 0.5 0.5 0.5 1,
    "refract_color" 0.9 0.3 0.1 0.4, "transparent_color" 0.2 0.6 1.0 0.6)
material "rear_mtl" = "back_rt" end material
material "glass" "orn_color_plus_alpha" ("color" 0.8 0.4 0.2, "opacity" 0.5, "ior" 1) end material
shader "cpa_quarter" "orn_color_plus_alpha" ("color" 0.8 0.4 0.2, "opacity" 0.25, "ior" 1)
shader "cpa_zero" "orn_color_plus_alpha" ("color" 0.8 0.4 0.2, "opacity" 0, "ior" 1)
shader "cpa_tiny" "orn_color_plus_alpha" ("color" 0.8 0.4 0.2, "opacity" 0.00005, "ior" 1)
shader "cpa_one" "orn_color_plus_alpha" ("color" 0.8 0.4 0.2 0.3, "opacity" 1, "ior" 1)
shader "cpa_refract" "orn_color_plus_alpha" ("color" 0.8 0.4 0.2, "opacity" 0.25, "ior" 1.5)
shader "rt" "orn_ray_type" ("reflect_enable" on, "reflect_min_level" 2, "refract_enable" on,
    "refract_min_level" 1, "transparent_enable" on, "transparent_min_level" 2, "finalgather_enable" 1,
    "environment_enable" 1, "shadow_enable" 1, "default_color" 0.1 0.1 0.1 1, "reflect_color" 1 0 0 0.5,
    "refract_color" 0 1 0 0.5, "transparent_color" 0 0 1 0.5, "finalgather_color" 1 1 0 0.5,
    "environment_color" 0 1 1 0.5, "shadow_color" 1 0 1 0.5)
shader "rt_off" "orn_ray_type" ("reflect_enable" off, "refract_enable" off, "transparent_enable" off,
    "finalgather_enable" 2, "environment_enable" 2, "default_color" 0.1 0.1 0.1 1, "reflect_color" 1 0 0 0.5,
    "refract_color" 0 1 0 0.5, "transparent_color" 0 0 1 0.5, "finalgather_color" 1 1 0 0.5,
    "environment_color" 0 1 1 0.5)
shader "glass_look" "orn_color_plus_alpha" ("color" 0.8 0.4 0.2, "opacity" 0.5, "ior" 1)
shader "rt_lazy" "orn_ray_type" ("reflect_enable" on, "reflect_min_level" 2, "default_color" 0.1 0.1 0.1 1,
    "reflect_color" = "glass_look")
)";

class Layers : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fixture.load(scene(kLayers + rect("front", "glass", -2, 2, -2, 2, 0) +
                                           rect("back", "rear_mtl", -0.5f, 3, -3, 3, -2),
                                       "\"front_i\" \"back_i\"")));
    }
    SceneFixture fixture;
    // The centre ray meets both quads head-on; through raster x = 35 it meets the front quad at
    // x = -1.5 and passes the back one (which starts at x = -0.5) at x = -1.8.
    const miColor transparent_seen{0.2f, 0.6f, 1.0f, 0.6f}, refract_seen{0.9f, 0.3f, 0.1f, 0.4f};
};

TEST_F(Layers, ColorPlusAlphaMixesWithWhatIsBehind) {
    // Opacity 0.5 over the back quad: (0.5 * behind + 0.5 * colour), alpha 0.5 + 0.6 clamped to 1.
    EXPECT_TRUE(near(fixture.shade(50, 50), {0.5f, 0.5f, 0.6f, 1.f}));
    // Over the black, empty background: half the colour, alpha 0.5 + 0.
    EXPECT_TRUE(near(fixture.shade(35, 50), {0.4f, 0.2f, 0.1f, 0.5f}));

    miState* st = fixture.probe_eye(50, 50);
    ASSERT_NE(st, nullptr);
    miColor c{};
    EXPECT_TRUE(fixture.call("cpa_quarter", &c, st));
    EXPECT_TRUE(near(c, {0.75f * transparent_seen.r + 0.25f * 0.8f, 0.75f * transparent_seen.g + 0.25f * 0.4f,
                         0.75f * transparent_seen.b + 0.25f * 0.2f, 0.25f + transparent_seen.a}));
    // Below 0.0001 the surface only looks through; the back quad sees a transparency ray one
    // refraction level down.
    for (const char* see_through : {"cpa_zero", "cpa_tiny"}) {
        c = {};
        EXPECT_TRUE(fixture.call(see_through, &c, st));
        EXPECT_TRUE(near(c, transparent_seen)) << see_through;
        ASSERT_NE(st->child, nullptr);
        EXPECT_EQ(st->child->type, kTransparent);
        EXPECT_EQ(st->child->refraction_level, 1);
    }

    // Fully opaque: the colour with alpha 1, and no ray leaves the surface.
    st->child = nullptr;
    EXPECT_TRUE(fixture.call("cpa_one", &c, st));
    EXPECT_TRUE(near(c, {0.8f, 0.4f, 0.2f, 1.f}));
    EXPECT_EQ(st->child, nullptr);

    // An index other than 1 traces a refraction ray; at normal incidence it goes straight on.
    EXPECT_TRUE(fixture.call("cpa_refract", &c, st));
    EXPECT_TRUE(near(c, {0.75f * refract_seen.r + 0.25f * 0.8f, 0.75f * refract_seen.g + 0.25f * 0.4f,
                         0.75f * refract_seen.b + 0.25f * 0.2f, 0.25f + refract_seen.a}));
    ASSERT_NE(st->child, nullptr);
    EXPECT_EQ(st->child->type, kRefract);
    EXPECT_NEAR(st->child->dir.x, st->dir.x, 1e-5f);
    EXPECT_NEAR(st->child->dir.y, st->dir.y, 1e-5f);
    EXPECT_NEAR(st->child->dir.z, st->dir.z, 1e-5f);

    for (int type : {kShadow, kDisplace}) {
        st->type = type;
        EXPECT_FALSE(fixture.call("cpa_quarter", &c, st)) << "ray type " << type;
    }
}

TEST_F(Layers, RayTypePicksByTypeEnableAndLevel) {
    miState* st = fixture.probe_eye(50, 50);
    ASSERT_NE(st, nullptr);
    const miColor deflt{0.1f, 0.1f, 0.1f, 1}, reflect{1, 0, 0, 0.5f}, refract{0, 1, 0, 0.5f},
        transparent{0, 0, 1, 0.5f}, gather{1, 1, 0, 0.5f}, environment{0, 1, 1, 0.5f};
    const struct {
        int type, reflection_level, refraction_level;
        miColor rt, rt_off;
    } cases[] = {
        {kEye, 3, 3, deflt, deflt},
        {kLight, 3, 3, deflt, deflt},
        {kReflect, 1, 0, deflt, deflt}, // below reflect_min_level 2
        {kReflect, 2, 0, reflect, deflt},
        {kRefract, 0, 0, deflt, deflt},
        {kRefract, 0, 1, refract, deflt},
        {kTransparent, 5, 1, deflt, deflt}, // the refraction level counts, not the reflection level
        {kTransparent, 0, 2, transparent, deflt},
        {kFinalGather, 0, 0, gather, deflt}, // rt_off has enable 2: only 1 enables
        {kEnvironment, 0, 0, environment, deflt},
    };
    for (const auto& k : cases) {
        st->type = k.type;
        st->reflection_level = k.reflection_level;
        st->refraction_level = k.refraction_level;
        miColor c{};
        EXPECT_TRUE(fixture.call("rt", &c, st));
        EXPECT_TRUE(near(c, k.rt)) << "rt, type " << k.type;
        EXPECT_TRUE(fixture.call("rt_off", &c, st));
        EXPECT_TRUE(near(c, k.rt_off)) << "rt_off, type " << k.type;
    }
    for (int type : {kShadow, kDisplace}) {
        st->type = type;
        miColor c{};
        EXPECT_FALSE(fixture.call("rt", &c, st)) << "ray type " << type;
    }

    // Only the chosen colour is evaluated: the connected reflect colour traces a ray when it runs.
    st->type = kEye;
    st->reflection_level = st->refraction_level = 0;
    st->child = nullptr;
    miColor c{};
    EXPECT_TRUE(fixture.call("rt_lazy", &c, st));
    EXPECT_TRUE(near(c, deflt));
    EXPECT_EQ(st->child, nullptr);
    st->type = kReflect;
    st->reflection_level = 2;
    EXPECT_TRUE(fixture.call("rt_lazy", &c, st));
    EXPECT_TRUE(near(c, {0.5f, 0.5f, 0.6f, 1.f}));
    EXPECT_NE(st->child, nullptr);
}

// ---------------------------------------------------------------- versions

TEST(ConversionShaders, VersionNumbers) {
    const std::string path = std::string(ORN_BUILD_DIR) + "/lib/shaders_orn.so";
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    const struct {
        const char* shader;
        int version;
    } cases[] = {{"orn_constant", 2},         {"orn_color_plus_alpha", 2}, {"orn_color_to_float", 2},
                 {"orn_float2_to_vector", 2}, {"orn_float3_to_vector", 2}, {"orn_float4_to_color", 2},
                 {"orn_grade_color", 2},      {"orn_facing_ratio", 2},     {"orn_ray_type", 3}};
    for (const auto& k : cases) {
        auto* fn = reinterpret_cast<int (*)()>(dlsym(module, (std::string(k.shader) + "_version").c_str()));
        ASSERT_NE(fn, nullptr) << k.shader;
        EXPECT_EQ(fn(), k.version) << k.shader;
    }
    dlclose(module);
}

// ---------------------------------------------------------------- whole frame

TEST(FacingRatioRender, SphereImageCentreAndRim) {
    const miColor facing{1.f, 0.8f, 0.6f, 1}, edge{0.f, 0.2f, 0.4f, 1};
    SceneFixture fixture;
    ASSERT_TRUE(fixture.load(sphere_scene("material \"m\" \"orn_facing_ratio\" (\"facing_color\" 1 0.8 0.6, "
                                          "\"edge_color\" 0 0.2 0.4, \"exponent\" 2) end material\n")));
    fixture.render();
    const auto pixel = [&](int x, int y) {
        const float* p = fixture.frame().film().pixel(film::Color, x, y);
        return miColor{p[0], p[1], p[2], p[3]};
    };
    // Pixel (x, y) is sampled once, at raster (x + 0.5, y + 0.5).
    const double centre = sphere_facing(50.5f, 50.5f, 4.0), rim = sphere_facing(72.5f, 50.5f, 4.0);
    EXPECT_TRUE(near(pixel(50, 50), blend(centre * centre, facing, edge), 2e-3f));
    EXPECT_TRUE(near(pixel(50, 50), facing, 2e-3f));
    EXPECT_TRUE(near(pixel(72, 50), blend(rim * rim, facing, edge), 5e-3f)); // f about 0.48
    EXPECT_TRUE(near(pixel(5, 5), {0, 0, 0, 0}));                            // background
}

} // namespace
} // namespace orn::test
