// orn_MegaTK's ray work on real rays: reflection and refraction (Fresnel strengths, media
// through the state chain, falloff, absorption, glossy sample reduction, depth overrides, the
// one-branch rule), ambient occlusion and indirect light, shadow and photon rays, and bad
// input. Expected values are worked out here from optics and the shading rules.
#include "support/scene_fixture.h"

#include "film/film.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using orn::test::MessageCapture;
using orn::test::module_preamble;
using orn::test::SceneFixture;

namespace {

// Camera at the origin looking down -z through 100 x 100 pixels, 90 degrees wide; the centre
// pixel's ray is (0, 0, -1). The surface under test is a quad at z = -5 facing the camera.
struct Scene {
    std::string options = "samples 0 0 trace depth 4 4 8";
    std::string camera; // environment, frame buffers
    std::string defs;   // shaders, materials, lights, objects
    std::string placed; // instance statements
    std::vector<std::string> names;

    // A quad parallel to the image at depth z, 40/scale wide.
    Scene& quad(const std::string& name, const std::string& material, double z, double scale = 1.0) {
        const std::string s = std::to_string(scale);
        return place(name, "quad", material,
                     s + " 0 0 0 0 " + s + " 0 0 0 0 " + s + " 0 0 0 " + std::to_string(-z * scale) + " 1");
    }
    // A wall in the plane x = c, 40 wide, from z = -20 to 20.
    Scene& wall(const std::string& name, const std::string& material, double c) {
        return place(name, "quad", material, "0 0 1 0 0 1 0 0 1 0 0 0 0 0 " + std::to_string(-c) + " 1");
    }
    Scene& place(const std::string& name, const std::string& object, const std::string& material,
                 const std::string& transform) {
        placed += "instance \"" + name + "\" \"" + object + "\" material \"" + material + "\" transform " +
                  transform + " end instance\n";
        names.push_back(name);
        return *this;
    }
    std::string text() const {
        std::string group = "\"cam_i\"";
        for (const auto& n : names)
            group += " \"" + n + "\"";
        return module_preamble() + "options \"opt\" " + options +
               " end options\ncamera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100\n" + camera +
               "end camera\ninstance \"cam_i\" \"cam\" end instance\n"
               "object \"quad\" visible shadow trace group\n"
               "  -20 -20 0  20 -20 0  20 20 0  -20 20 0  0 0 0  1 0 0  1 1 0  0 1 0\n"
               "  v 0 t 4 v 1 t 5 v 2 t 6 v 3 t 7\n  p 0 1 2 3\nend group end object\n"
               "shader \"white\" \"orn_constant\" (\"color\" 1 1 1 1)\n"
               "material \"white_m\" = \"white\" end material\n" +
               defs + placed + "instgroup \"root\" " + group + " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
    }
};

// An orn_MegaTK instance, opaque unless said otherwise; unlisted parameters are 0.
std::string mega(const std::string& name, const std::string& params, const std::string& opacity = "1 1 1 1") {
    const std::string ior = params.find("\"ior\"") == std::string::npos ? ", \"ior\" 1" : "";
    return "shader \"" + name + "\" \"orn_MegaTK\" (\"opacity\" " + opacity + ", \"opacity_channel\" 3" + ior +
           (params.empty() ? "" : ", " + params) + ")\n";
}
std::string material(const std::string& name, const std::string& shader, const std::string& extra = "") {
    return "material \"" + name + "\" = \"" + shader + "\" " + extra + " end material\n";
}
std::string constant(const std::string& name, const std::string& rgb) {
    return "shader \"" + name + "\" \"orn_constant\" (\"color\" " + rgb + " 1)\n" + material(name + "_m", name);
}

const std::string kMirror = "\"reflect_on\" on, \"reflect_amount\" 1, \"reflect_color\" 1 1 1 1, "
                            "\"reflect_samples\" 1";
const std::string kClear = "\"refract_on\" on, \"refract_amount\" 1, \"refract_color\" 1 1 1 1, "
                           "\"refract_samples\" 1";
// Surface colour 1, ambient 1: the result is the occlusion factor.
const std::string kAoBase = "\"diffuse_color\" 1 1 1 1, \"ambient_on\" on, \"ambient_scale\" 1, "
                            "\"ambient_color\" 1 1 1, \"ao_on\" on, \"ao_on_color\" 1, \"ao_color\" 1 1 1 1, "
                            "\"ao_bright\" 1 1 1 1, \"ao_dark\" 0 0 0 0, \"ao_samples\" 8, \"ao_gamma\" 1, "
                            "\"ao_falloff\" 1";

// The state of a hit that a call must leave as it found it.
struct Snapshot {
    explicit Snapshot(const miState* s)
        : options(s->options), normal(s->normal), ior(s->ior), ior_in(s->ior_in), volume(s->refraction_volume) {}
    void expect_restored(miState* s) const {
        EXPECT_EQ(s->options, options);
        EXPECT_EQ(s->normal.x, normal.x);
        EXPECT_EQ(s->normal.y, normal.y);
        EXPECT_EQ(s->normal.z, normal.z);
        EXPECT_EQ(s->ior, ior);
        EXPECT_EQ(s->ior_in, ior_in);
        EXPECT_EQ(s->refraction_volume, volume);
        EXPECT_EQ(mi_shaderstate_get(s, "ra_o", nullptr), nullptr);
        EXPECT_EQ(mi_shaderstate_get(s, "rad", nullptr), nullptr);
        double start = 0.0, stop = 0.0; // reads the falloff by swapping in none
        mi_ray_falloff(s, &start, &stop);
        EXPECT_EQ(stop, 0.0);
    }
    miOptions* options;
    miVector normal;
    float ior, ior_in;
    miTag volume;
};

// Shades the hit of pixel (rx, ry) with `shader`; `prepare` may change the hit state first.
template <typename Prepare>
miColor shade(SceneFixture& fx, const std::string& shader, Prepare prepare, float rx = 50.f, float ry = 50.f) {
    miColor c{-1, -1, -1, -1};
    miState* hit = fx.probe_eye(rx, ry);
    EXPECT_NE(hit, nullptr);
    if (!hit) return c;
    prepare(hit);
    const Snapshot before(hit);
    EXPECT_TRUE(fx.call(shader, &c, hit)) << shader;
    before.expect_restored(hit);
    return c;
}
miColor shade(SceneFixture& fx, const std::string& shader, float rx = 50.f, float ry = 50.f) {
    return shade(fx, shader, [](miState*) {}, rx, ry);
}

void expect_rgb(const miColor& c, double r, double g, double b, double tol = 1e-5) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}

void expect_one_of(float value, const std::vector<float>& allowed) {
    for (float v : allowed)
        if (std::abs(value - v) < 1e-5f) return;
    ADD_FAILURE() << value << " is none of the values the sample count allows";
}

// ------------------------------------------------------------------ reflection

TEST(MegaTKReflection, FresnelWeightsTheMirrorAtNormalIncidence) {
    // ((1.5 - 1) / (1.5 + 1))^2 = 0.04; the mirror sees the white quad behind the camera.
    const std::string glass = kMirror + ", \"ior\" 1.5";
    Scene s;
    s.defs = mega("f1", glass + ", \"reflect_fresnel\" 1") + mega("f0", glass) +
             mega("half", glass + ", \"reflect_fresnel\" 0.5") +
             mega("added", "\"reflect_on\" on, \"reflect_amount\" 0.5, \"reflect_color\" 1 1 1 1, "
                           "\"reflect_samples\" 0, \"reflect_add\" 0.2 0.4 0.6 1") +
             material("mat", "f1");
    s.quad("surface", "mat", -5).quad("behind", "white_m", 5);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade(fx, "f1"), 0.04, 0.04, 0.04);
    expect_rgb(shade(fx, "f0"), 1, 1, 1);
    expect_rgb(shade(fx, "half"), 0.52, 0.52, 0.52);
    // no rays, but reflect_add x kr
    expect_rgb(shade(fx, "added"), 0.1, 0.2, 0.3);
}

TEST(MegaTKReflection, FalloffFadesToTheColourOrTheEnvironment) {
    // The mirror's ray meets the white quad 10 away.
    const std::string fade = kMirror + ", \"reflect_falloff_color_on\" on, \"reflect_falloff_color\" 0 0 1 0.5";
    Scene s;
    s.camera = "environment \"orn_constant\" (\"color\" 0 1 0 1)\n";
    s.defs = mega("mid", fade + ", \"reflect_falloff_start\" 5, \"reflect_falloff_end\" 15") +
             mega("late", fade + ", \"reflect_falloff_start\" 20, \"reflect_falloff_end\" 15") +
             mega("short", fade + ", \"reflect_falloff_start\" 2, \"reflect_falloff_end\" 8") +
             mega("env_mid", kMirror + ", \"reflect_falloff_start\" 5, \"reflect_falloff_end\" 15") +
             mega("env_short", kMirror + ", \"reflect_falloff_start\" 2, \"reflect_falloff_end\" 8") +
             material("mat", "mid");
    s.quad("surface", "mat", -5).quad("behind", "white_m", 5);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade(fx, "mid"), 0.5, 0.5, 1);   // halfway from white to the fade colour
    expect_rgb(shade(fx, "late"), 1, 1, 1);      // a start beyond the end acts as the end
    expect_rgb(shade(fx, "short"), 0, 0, 1);     // beyond the end: the fade colour
    expect_rgb(shade(fx, "env_mid"), 0.5, 1, 0.5); // the renderer fades towards the environment
    expect_rgb(shade(fx, "env_short"), 0, 1, 0);   // beyond its end the ray misses

    // Without the white quad: the environment mixed with the fade colour by its alpha.
    Scene open = s;
    open.names.pop_back();
    SceneFixture fx2;
    ASSERT_TRUE(fx2.load(open.text()));
    expect_rgb(shade(fx2, "mid"), 0, 0.5, 0.5);
}

// A glossy lobe of shininess 1 leaves at cos(theta) = sqrt(s0) from the mirror direction; a
// ray reaches the white plane 10 away within distance D when s0 >= (10 / D)^2. With that
// threshold at 3/16 a stratified set of 16 samples keeps 13/16; 4 samples keep 3/4 or all.
TEST(MegaTKReflection, GlossySamplesHalvePerTraceLevel) {
    const double D = 10.0 / std::sqrt(3.0 / 16.0);
    const std::string glossy = "\"reflect_on\" on, \"reflect_amount\" 1, \"reflect_color\" 1 1 1 1, "
                               "\"reflect_samples\" 16, \"reflect_gloss\" 1, \"reflect_falloff_color_on\" on, "
                               "\"reflect_falloff_start\" " +
                               std::to_string(D) + ", \"reflect_falloff_end\" " + std::to_string(D);
    Scene s;
    s.defs = mega("halving", glossy + ", \"sample_falloff\" 1") + mega("keeping", glossy) + material("mat", "halving");
    s.quad("surface", "mat", -5).quad("sky", "white_m", 5, 0.01);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto at_levels = [](int r, int t) {
        return [r, t](miState* h) {
            h->reflection_level = r;
            h->refraction_level = t;
        };
    };
    EXPECT_NEAR(shade(fx, "halving").r, 13.0 / 16.0, 1e-5);
    expect_one_of(shade(fx, "halving", at_levels(1, 1)).r, {0.75f, 1.f});
    EXPECT_NEAR(shade(fx, "keeping", at_levels(1, 1)).r, 13.0 / 16.0, 1e-5);
    // final-gather rays take a single sample
    expect_one_of(shade(fx, "keeping", [](miState* h) { h->type = miRAY_FINALGATHER; }).r, {0.f, 1.f});
}

TEST(MegaTKReflection, DepthOverrideTracesBeyondTheScenesDepth) {
    Scene s;
    s.options = "samples 0 0 trace depth 1 1 4";
    s.defs = mega("scene_depth", kMirror) + mega("deeper", kMirror + ", \"reflect_depth\" 3") +
             mega("far_beyond", kMirror + ", \"reflect_depth\" 1000") + material("mat", "deeper");
    s.quad("surface", "mat", -5).quad("behind", "white_m", 5);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto once_reflected = [](miState* h) { h->reflection_level = 1; };
    expect_rgb(shade(fx, "scene_depth", once_reflected), 0, 0, 0); // refused: no environment either
    expect_rgb(shade(fx, "deeper", once_reflected), 1, 1, 1);
    expect_rgb(shade(fx, "far_beyond", once_reflected), 1, 1, 1);
    EXPECT_EQ(fx.frame().options_record()->reflection_depth, 1); // the scene's options are untouched
}

// ------------------------------------------------------------------ refraction

TEST(MegaTKRefraction, AbsorptionAndRadianceScaling) {
    // 5 units through a medium keeping half per unit; entering glass of 1.5 scales by 1/1.5^2.
    Scene s;
    s.defs = mega("absorbing", kClear + ", \"ior\" 1.5, \"absorb_inside\" 0.5 0.25 2 1") +
             mega("clear", kClear + ", \"ior\" 1.5, \"absorb_inside\" 1 1 1 1") + material("mat", "absorbing");
    s.quad("surface", "mat", -5).quad("back", "white_m", -10);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade(fx, "absorbing"), std::pow(0.5, 5) / 2.25, std::pow(0.25, 5) / 2.25, 1 / 2.25);
    expect_rgb(shade(fx, "clear"), 1 / 2.25, 1 / 2.25, 1 / 2.25);
}

TEST(MegaTKRefraction, InsideOrOutsideByCountOrByNormal) {
    // Two front-facing glass quads: by count the second is the way out (scaling 2.25 undoes
    // the 1/2.25 of the way in); by the normal it is another way in from glass to the same
    // glass (scaling 1).
    Scene s;
    s.defs = mega("counted", kClear + ", \"ior\" 1.5, \"entering_by_count\" on") +
             mega("by_normal", kClear + ", \"ior\" 1.5") + material("counted_m", "counted") +
             material("normal_m", "by_normal");
    s.quad("first", "counted_m", -5).quad("second", "counted_m", -7).quad("back", "white_m", -10);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade(fx, "counted"), 1, 1, 1);

    Scene n = s;
    n.placed.clear();
    n.names.clear();
    n.quad("first", "normal_m", -5).quad("second", "normal_m", -7).quad("back", "white_m", -10);
    SceneFixture fx2;
    ASSERT_TRUE(fx2.load(n.text()));
    expect_rgb(shade(fx2, "by_normal"), 1 / 2.25, 1 / 2.25, 1 / 2.25);
}

TEST(MegaTKRefraction, NestedMaterialsSeeTheIndexAroundThem) {
    // Inside glass of 1.5, a surface of index 3 reflects ((3 - 1.5) / 4.5)^2 = 1/9 (against
    // air it would be 1/4), seen through the glass's 1/2.25.
    Scene s;
    s.defs = mega("glass", kClear + ", \"ior\" 1.5") +
             mega("inner", "\"reflect_on\" on, \"reflect_amount\" 1, \"reflect_fresnel\" 1, \"reflect_samples\" 1, "
                           "\"reflect_add\" 1 1 1 1, \"ior\" 3") +
             material("glass_m", "glass") + material("inner_m", "inner");
    s.quad("surface", "glass_m", -5).quad("inner_q", "inner_m", -10);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    const double k = (1.0 / 9.0) / 2.25;
    expect_rgb(shade(fx, "glass"), k, k, k, 1e-6);
    expect_rgb(shade(fx, "inner"), 0.25, 0.25, 0.25, 1e-6);
}

TEST(MegaTKRefraction, TotalInternalReflectionAddsNothing) {
    // Leaving glass of index 2 at 38.7 degrees, beyond the critical 30 degrees.
    Scene s;
    s.defs = mega("dense", kClear + ", \"ior\" 2, \"refract_add\" 0.5 0.5 0.5 1") +
             mega("dense_glossy", kClear + ", \"ior\" 2, \"refract_gloss\" 4, \"refract_samples\" 8") +
             material("mat", "dense");
    s.quad("surface", "mat", -5).quad("back", "white_m", -10);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto leaving = [](miState* h) { h->inv_normal = miTRUE; };
    expect_rgb(shade(fx, "dense", leaving, 90.f, 50.f), 0.5, 0.5, 0.5);
    expect_rgb(shade(fx, "dense_glossy", leaving, 90.f, 50.f), 0, 0, 0);
    // straight out, the ray passes: 1 x 2^2 + 0.5
    expect_rgb(shade(fx, "dense", leaving), 4.5, 4.5, 4.5);
}

TEST(MegaTKRefraction, AGlassSphereBendsTheViewOfACheckerAsSnellsLawSays) {
    struct V {
        double x, y, z;
        V operator+(V o) const { return {x + o.x, y + o.y, z + o.z}; }
        V operator*(double s) const { return {x * s, y * s, z * s}; }
        double dot(V o) const { return x * o.x + y * o.y + z * o.z; }
        V unit() const { return *this * (1.0 / std::sqrt(dot(*this))); }
    };
    auto refract = [](V I, V N, double eta) {
        const double c = -I.dot(N);
        return (I * eta + N * (eta * c - std::sqrt(1 - eta * eta * (1 - c * c)))).unit();
    };
    // Unit sphere at (0, 0, -5), index 1.5; checker of unit squares at z = -10, offset so
    // that y = 0 runs through the middle of a row.
    const V centre{0, 0, -5};
    const double rx = 57.0;
    const V d = V{(rx / 100.0 - 0.5) * 2.0, 0, -1}.unit();
    auto exit_of = [&](V o, V dir, bool far_side) {
        const V oc = o + centre * -1.0;
        const double b = oc.dot(dir), disc = b * b - (oc.dot(oc) - 1.0);
        return o + dir * (far_side ? -b + std::sqrt(disc) : -b - std::sqrt(disc));
    };
    const V p = exit_of({0, 0, 0}, d, false);
    const V in = refract(d, (p + centre * -1.0).unit(), 1 / 1.5);
    const V q = exit_of(p, in, true);
    const V out = refract(in, (q + centre * -1.0).unit() * -1.0, 1.5);
    const V land = q + out * ((-10.0 - q.z) / out.z);
    const V straight = d * (-10.0 / d.z);
    auto parity = [](V x) { return ((int(std::floor(x.x)) + int(std::floor(x.y - 0.5))) % 2 + 2) % 2; };
    ASSERT_NE(parity(land), parity(straight)) << "the pixel must tell refraction from no refraction";
    const double fx_ = land.x - std::floor(land.x);
    ASSERT_GT(std::min(fx_, 1 - fx_), 0.3) << "the landing point must be well inside a square";

    std::string checker = "object \"checker\" visible shadow trace group\n";
    for (int j = 0; j <= 10; ++j)
        for (int i = 0; i <= 10; ++i)
            checker += std::to_string(i - 5) + " " + std::to_string(j - 4.5) + " 0 ";
    checker += "\n";
    for (int v = 0; v < 121; ++v)
        checker += "v " + std::to_string(v) + " ";
    for (int j = 0; j < 10; ++j)
        for (int i = 0; i < 10; ++i) {
            const int a = j * 11 + i;
            checker += std::string("\np \"") + (((i - 5) + (j - 5)) % 2 == 0 ? "red_m" : "green_m") + "\" " +
                       std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(a + 12) + " " +
                       std::to_string(a + 11);
        }
    checker += "\nend group end object\n";
    Scene s;
    s.defs = constant("red", "1 0 0") + constant("green", "0 1 0") + mega("glass", kClear + ", \"ior\" 1.5") +
             material("glass_m", "glass") + checker + "object \"ball\" visible shadow trace file \"" +
             ORN_SOURCE_DIR + "/scenes/meshes/sphere.obj\" end object\n";
    s.place("ball_i", "ball", "glass_m", "1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1")
        .place("checker_i", "checker", "red_m", "1 0 0 0 0 1 0 0 0 0 1 0 0 0 10 1");
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    bool hit = false;
    const miColor c = fx.shade(float(rx), 50.f, &hit);
    ASSERT_TRUE(hit);
    // the squares with (i + j) even are red
    const bool red = parity(land) == 0;
    expect_rgb(c, red ? 1 : 0, red ? 0 : 1, 0, 1e-4);
}

// ------------------------------------------------------------------ the one-branch rule

TEST(MegaTKBranching, DeepRaysFollowOneBranchWithTheWeightOfBoth) {
    // Reflection sees red, refraction green. Deeper than branch_start_depth 1 (branch_depth 1
    // at sampling level 2) a ray takes one of them with weight 3 x 0.33333 x (0.5 + 0.5).
    const std::string both = "\"branch_mode\" 1, \"branch_depth\" 1, \"reflect_on\" on, \"reflect_color\" 1 1 1 1, "
                             "\"reflect_samples\" 1, \"refract_on\" on, \"refract_color\" 1 1 1 1, "
                             "\"refract_samples\" 1";
    Scene s;
    s.options = "samples 0 2 trace depth 4 4 8";
    s.defs = constant("red", "1 0 0") + constant("green", "0 1 0") +
             mega("even", both + ", \"reflect_amount\" 0.5, \"refract_amount\" 0.5") +
             mega("weak", both + ", \"reflect_amount\" 0.25, \"refract_amount\" 0.25") +
             mega("mirror_only", both + ", \"reflect_amount\" 0.5") + material("mat", "even");
    s.quad("surface", "mat", -5).quad("behind", "red_m", 5).quad("back", "green_m", -10);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto deep = [](miState* h) { h->reflection_level = 1; };

    // at depth 0 both are traced
    expect_rgb(shade(fx, "even"), 0.5, 0.5, 0);
    const double e = 0.99999, e_half = 0.499995;
    int reflected = 0, refracted = 0, weak_reflected = 0, weak_absorbed = 0;
    for (int k = 0; k < 100; ++k) {
        const float rx = 30.f + float(k % 10) * 4.f, ry = 30.f + float(k / 10) * 4.f;
        const miColor c = shade(fx, "even", deep, rx, ry);
        if (std::abs(c.r - e) < 1e-5 && c.g == 0.f) ++reflected;
        if (std::abs(c.g - e) < 1e-5 && c.r == 0.f) ++refracted;
        // Strengths summing to e/2: reflection below 1/2, beyond e/2 the photon-style choice
        // absorbs, and transmission is never reached.
        const miColor w = shade(fx, "weak", deep, rx, ry);
        if (std::abs(w.r - e_half) < 1e-5 && w.g == 0.f) ++weak_reflected;
        if (w.r == 0.f && w.g == 0.f) ++weak_absorbed;
        // reflection alone is always chosen, with the weight e/2 it has
        expect_rgb(shade(fx, "mirror_only", deep, rx, ry), e_half, 0, 0);
    }
    EXPECT_EQ(reflected + refracted, 100);
    EXPECT_GT(reflected, 30);
    EXPECT_GT(refracted, 30);
    EXPECT_EQ(weak_reflected + weak_absorbed, 100);
    EXPECT_GT(weak_reflected, 30);
    EXPECT_GT(weak_absorbed, 30);
}

// ------------------------------------------------------------------ occlusion

// An occluder quad 5.5 above the surface (z = 0.5, behind the camera): with spread 0 every
// probe hits it straight up at 5.5.
TEST(MegaTKOcclusion, DistanceFalloffGammaAndColours) {
    const std::string up = kAoBase + ", \"ao_spread\" 0";
    Scene s;
    s.defs = mega("mean", up + ", \"ao_near\" 1, \"ao_far\" 10") +
             mega("sqrt", up + ", \"ao_near\" 1, \"ao_far\" 10, \"ao_falloff\" 2") +
             mega("gamma", up + ", \"ao_near\" 1, \"ao_far\" 10, \"ao_gamma\" 2") +
             mega("gamma0", up + ", \"ao_near\" 1, \"ao_far\" 10, \"ao_gamma\" 0") +
             mega("near", up + ", \"ao_near\" 6, \"ao_far\" 10") + mega("far", up + ", \"ao_near\" 1, \"ao_far\" 5") +
             mega("tinted", up + ", \"ao_near\" 1, \"ao_far\" 10, \"ao_bright\" 1 0.5 0 1, \"ao_dark\" 0 0 1 1, "
                                 "\"ao_color\" 0.5 1 1 1") +
             material("mat", "mean");
    s.quad("surface", "mat", -5).quad("lid", "white_m", 0.5);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade(fx, "mean"), 0.5, 0.5, 0.5);
    const double f = std::sqrt(0.5); // falloff 2: (1 - 4.5/9)^(1/2)
    expect_rgb(shade(fx, "sqrt"), 1 - f, 1 - f, 1 - f);
    expect_rgb(shade(fx, "gamma"), std::sqrt(0.5), std::sqrt(0.5), std::sqrt(0.5));
    expect_rgb(shade(fx, "gamma0"), 0, 0, 0); // 0.5 to an infinite power
    expect_rgb(shade(fx, "near"), 0, 0, 0);
    expect_rgb(shade(fx, "far"), 1, 1, 1);
    expect_rgb(shade(fx, "tinted"), 0.5 * 0.5, 0.25, 0.5);
}

TEST(MegaTKOcclusion, AnOpenPlaneIsUnoccludedAndAnEnclosedPointFully) {
    const std::string wide = kAoBase + ", \"ao_spread\" 90, \"ao_samples\" 32, \"ao_near\" 1000, \"ao_far\" 2000";
    Scene open;
    open.defs = mega("m", wide) + material("mat", "m");
    open.quad("surface", "mat", -5);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(open.text()));
    expect_rgb(shade(fx, "m"), 1, 1, 1);

    Scene box = open; // six walls 100 apart around the camera and the surface
    box.quad("top", "white_m", 50).quad("bottom", "white_m", -50).wall("left", "white_m", -50).wall(
        "right", "white_m", 50);
    box.place("front", "quad", "white_m", "1 0 0 0 0 0 1 0 0 1 0 0 0 0 -50 1")
        .place("rear", "quad", "white_m", "1 0 0 0 0 0 1 0 0 1 0 0 0 0 50 1");
    SceneFixture fx2;
    ASSERT_TRUE(fx2.load(box.text()));
    expect_rgb(shade(fx2, "m"), 0, 0, 0);
}

TEST(MegaTKOcclusion, ModesDecideWhichHitsOcclude) {
    const std::string up = kAoBase + ", \"ao_spread\" 0, \"ao_near\" 100, \"ao_far\" 200";
    Scene s;
    s.defs = mega("mode0", up) + mega("mode1", up + ", \"ao_mode\" 1") + mega("mode2", up + ", \"ao_mode\" 2") +
             mega("thin", "", "0.2 0.2 0.2 0.2") + mega("half", "", "0.5 0.5 0.5 0.5") +
             material("thin_m", "thin", "shadow = \"thin\"") + material("half_m", "half", "shadow = \"half\"") +
             material("mat", "mode0");
    s.quad("surface", "mat", -5).quad("lid", "thin_m", 0.5);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade(fx, "mode0"), 0, 0, 0); // every hit occludes
    expect_rgb(shade(fx, "mode1"), 1, 1, 1); // alpha 0.2 is below 0.3
    expect_rgb(shade(fx, "mode2"), 1, 1, 1); // transmission 0.8 is above 0.7

    Scene h = s;
    h.names.pop_back();
    h.quad("lid2", "half_m", 0.5);
    SceneFixture fx2;
    ASSERT_TRUE(fx2.load(h.text()));
    expect_rgb(shade(fx2, "mode1"), 0, 0, 0);
    expect_rgb(shade(fx2, "mode2"), 0, 0, 0);
}

TEST(MegaTKOcclusion, BiasEnvironmentAndZeroLengthDirections) {
    // A wall at x = 3 beside the surface point (0, 0, -5), open sky above.
    const std::string up = kAoBase + ", \"ao_spread\" 0, \"ao_near\" 100, \"ao_far\" 200";
    Scene s;
    s.camera = "environment \"orn_constant\" (\"color\" 0.5 0.25 1 1)\n";
    s.defs = mega("straight", up) + mega("bent", up + ", \"ao_bias\" 1, \"ao_bias_point\" 10 0 -5") +
             mega("nowhere", up + ", \"ao_bias\" 1, \"ao_bias_point\" 0 0 -5") +
             mega("sky", up + ", \"ao_environment\" on") + material("mat", "straight");
    s.quad("surface", "mat", -5).wall("wall", "white_m", 3);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade(fx, "straight"), 1, 1, 1);
    expect_rgb(shade(fx, "bent"), 0, 0, 0); // the normal bent fully towards the wall
    expect_rgb(shade(fx, "nowhere"), 1, 1, 1); // a zero direction traces nothing and counts as open
    expect_rgb(shade(fx, "sky"), 0.5, 0.25, 1);
}

TEST(MegaTKOcclusion, BentNormalInWorldObjectAndCameraSpace) {
    // Open sky: the bent normal is the surface normal, world +z. The surface's object space is
    // turned so that world +z is object +y; the camera looks down world -z.
    const std::string bent = kAoBase + ", \"ao_spread\" 90, \"ao_samples\" 256, \"ao_near\" 100, "
                                       "\"ao_far\" 200, \"ao_bent_on\" on, \"pass_bent\" on";
    Scene s;
    s.camera = "framebuffer \"tk_bent\" (\"datatype\" \"rgb_fp\", \"user\" on)\n";
    s.defs = mega("world", bent) + mega("object", bent + ", \"ao_bent_space\" 1") +
             mega("camera", bent + ", \"ao_bent_space\" 2") + material("mat", "world");
    s.place("surface", "quad", "mat", "1 0 0 0 0 0 -1 0 0 1 0 0 0 5 0 1");
    s.placed = "object \"flat\" visible shadow trace group\n  -20 0 -20  20 0 -20  20 0 20  -20 0 20\n"
               "  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n" +
               s.placed;
    s.placed.replace(s.placed.find("\"quad\" material"), 6, "\"flat\"");
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto& film = fx.frame().film();
    auto bent_of = [&](const std::string& shader) {
        fx.frame().main_context().film_sample = film.clear_sample();
        shade(fx, shader);
        const float* b = fx.frame().main_context().film_sample.data() + film.plane_offset(film.plane_id("tk_bent"));
        return miVector{b[0], b[1], b[2]};
    };
    const miVector w = bent_of("world"), o = bent_of("object"), c = bent_of("camera");
    EXPECT_NEAR(w.z, 1, 0.01);
    EXPECT_NEAR(o.y, 1, 0.01);
    EXPECT_NEAR(c.z, 1, 0.01);
    EXPECT_NEAR(std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z), 1, 1e-5);
}

TEST(MegaTKOcclusion, OcclusionDarkensSpecularAmbientAndIndirectByItsShare) {
    // Occlusion 0.5 from the lid; the toon highlight under a light along the normal is 1,
    // the occluded ambient 2 x 0.5 = 1, own gathering under the white lid 1.
    const std::string up = kAoBase + ", \"ao_spread\" 0, \"ao_near\" 1, \"ao_far\" 10, \"ao_on_color\" 0, "
                                     "\"ambient_on\" off";
    const std::string toon = up + ", \"toon_on\" on, \"toon_weight\" 1, \"toon_color\" 1 1 1 1, \"toon_size\" 0.5, "
                                  "\"toon_sharpness\" 1, \"lights\" [\"sun_i\"], \"ao_on_specular\" ";
    const std::string amb = up + ", \"amb_occl_on\" on, \"amb_occl_scale\" 2, \"amb_occl_color\" 0.5 0.5 0.5 1, "
                                 "\"ao_on_ambient\" ";
    const std::string ind = up + ", \"indirect_on\" on, \"indirect_own_rays\" on, \"indirect_samples\" 4, "
                                 "\"indirect_depth\" 1, \"indirect_color\" 1 1 1 1, \"indirect_saturation\" 1, "
                                 "\"ao_on_indirect\" ";
    Scene s;
    s.defs = "light \"sun\" \"orn_constant\" (\"color\" 1 1 1 1) direction 0 0 -1 end light\n"
             "instance \"sun_i\" \"sun\" end instance\n" +
             mega("spec1", toon + "1") + mega("spec_half", toon + "0.5") + mega("amb1", amb + "1") +
             mega("amb_half", amb + "0.5") + mega("ind1", ind + "1") + mega("ind_half", ind + "0.5") +
             mega("ind_none", ind + "0") + material("mat", "spec1");
    s.names.push_back("sun_i");
    s.quad("surface", "mat", -5).quad("lid", "white_m", 0.5, 0.01);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    for (const char* kind : {"spec", "amb", "ind"}) {
        expect_rgb(shade(fx, std::string(kind) + "1"), 0.5, 0.5, 0.5);
        expect_rgb(shade(fx, std::string(kind) + "_half"), 0.75, 0.75, 0.75);
    }
    expect_rgb(shade(fx, "ind_none"), 1, 1, 1);
}

// ------------------------------------------------------------------ indirect light and incandescence

TEST(MegaTKIndirect, OwnGatheringNestsUpToItsDepth) {
    // Two facing planes gather from each other: the surface glows 0.25, the lid 0.5. Depth 1:
    // 0.25 + 0.5; depth 2: the lid sees the surface's glow; depth 3: and the surface the lid's.
    auto gatherer = [](const std::string& name, const std::string& glow, int depth) {
        return mega(name, "\"diffuse_color\" 1 1 1 1, \"incandescence_on\" on, \"incandescence_scale\" 1, "
                          "\"incandescence_color\" " +
                              glow + " 1, \"indirect_on\" on, \"indirect_own_rays\" on, \"indirect_samples\" 4, "
                                     "\"indirect_color\" 1 1 1 1, \"indirect_saturation\" 1, \"indirect_depth\" " +
                              std::to_string(depth));
    };
    for (int depth : {1, 2, 3}) {
        Scene s;
        s.options = "samples 0 0 trace depth 8 8 16";
        s.defs = gatherer("surface_s", "0.25 0.25 0.25", depth) + gatherer("lid_s", "0.5 0.5 0.5", depth) +
                 material("mat", "surface_s") + material("lid_m", "lid_s");
        s.quad("surface", "mat", -5, 0.01).quad("lid", "lid_m", 0.5, 0.01);
        SceneFixture fx;
        ASSERT_TRUE(fx.load(s.text()));
        const double expected[] = {0.75, 1.0, 1.5};
        const miColor c = shade(fx, "surface_s");
        expect_rgb(c, expected[depth - 1], expected[depth - 1], expected[depth - 1]);
    }
}

TEST(MegaTKIndirect, SaturationDiffuseLossIncandescenceAndTheRenderersIrradiance) {
    const std::string base = "\"diffuse_color\" 1 1 1 1, \"indirect_on\" on, \"indirect_color\" 1 1 1 1";
    const std::string own = base + ", \"indirect_own_rays\" on, \"indirect_samples\" 4, \"indirect_depth\" 1";
    Scene s;
    s.options = "samples 0 0 trace depth 4 4 8 \"finalgather\" on \"finalgather rays\" 64";
    s.defs = constant("amber", "1 0.5 0") + mega("grey", own + ", \"indirect_saturation\" 0") +
             mega("half_sat", own + ", \"indirect_saturation\" 0.5") +
             mega("lossy", own + ", \"indirect_saturation\" 1, \"reflect_on\" on, \"reflect_amount\" 0.5, "
                                 "\"reflect_diffuse_loss\" 1") +
             mega("gathered", base + ", \"indirect_saturation\" 1") +
             mega("sideways", base + ", \"indirect_saturation\" 1, \"normal_on\" on, \"normal_vector\" 1 0 0") +
             mega("kept", base + ", \"indirect_saturation\" 1, \"normal_on\" on, \"normal_vector\" 1 0 0, "
                                 "\"indirect_keep_normal\" on") +
             mega("glow", "\"incandescence_on\" on, \"incandescence_scale\" 2, \"incandescence_color\" 0.5 0.25 "
                          "0.125 1",
                  "0.5 0.5 0.5 0.5") +
             material("mat", "grey");
    s.quad("surface", "mat", -5).quad("lid", "amber_m", 0.5, 0.01);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    const double m = 1.5 * 0.3333;
    expect_rgb(shade(fx, "grey"), m, m, m);
    expect_rgb(shade(fx, "half_sat"), 0.5 + 0.5 * m, 0.25 + 0.5 * m, 0.5 * m);
    expect_rgb(shade(fx, "lossy"), 0.5, 0.25, 0);
    // final gathering under the amber lid; around a sideways normal half the rays miss
    expect_rgb(shade(fx, "gathered"), 1, 0.5, 0, 1e-3);
    EXPECT_NEAR(shade(fx, "sideways").r, 0.5, 0.1);
    expect_rgb(shade(fx, "kept"), 1, 0.5, 0, 1e-3);
    // incandescence over nothing, at opacity 0.5
    expect_rgb(shade(fx, "glow"), 0.5, 0.25, 0.125);
}

// ------------------------------------------------------------------ shadow rays

TEST(MegaTKShadow, RefractionLetsLightThroughShadowRays) {
    const std::string glass = "\"refract_on\" on, \"refract_amount\" 0.6, \"ior\" 1.5";
    Scene s;
    s.defs = mega("plain", glass) + mega("fresnel", glass + ", \"refract_fresnel\" 1") +
             mega("half", glass, "0.5 0.5 0.5 0.5") + mega("opaque", "") + material("mat", "plain");
    s.quad("surface", "mat", -5);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto shadow_through = [&](const std::string& shader, float rx) {
        miColor c{1, 1, 1, 1};
        miState* hit = fx.probe_eye(rx, 50.f);
        EXPECT_NE(hit, nullptr);
        if (!hit) return c;
        hit->type = miRAY_SHADOW;
        const miBoolean passed = fx.call(shader, &c, hit);
        EXPECT_EQ(passed, c.r != 0.f) << shader;
        EXPECT_EQ(c.a, 1.f);
        return c;
    };
    expect_rgb(shadow_through("plain", 50.f), 0.6, 0.6, 0.6);
    expect_rgb(shadow_through("half", 50.f), 0.8, 0.8, 0.8); // 1 - (1 - 0.6) x 0.5
    expect_rgb(shadow_through("opaque", 50.f), 0, 0, 0);
    expect_rgb(shadow_through("fresnel", 50.f), 0.6, 0.6, 0.6); // head-on the falloff is 1
    // at 45 degrees: (cos^0.4)^1.5
    const double f = std::pow(std::pow(std::sqrt(0.5), 0.4), 1.5);
    expect_rgb(shadow_through("fresnel", 100.f), 0.6 * f, 0.6 * f, 0.6 * f);
}

TEST(MegaTKShadow, TwoHalfTransparentWallsPassAQuarterInBothShadowModes) {
    // The light comes from (1, 0, 1)/sqrt 2 and crosses walls at x = 1 and x = 2 on its way
    // to the surface point (0, 0, -5).
    for (const char* mode : {"on", "segments"}) {
        Scene s;
        s.options = std::string("samples 0 0 trace depth 4 4 8 shadow ") + mode;
        s.defs = "light \"sun\" \"orn_DirectTK\" (\"color\" 1 1 1 1, \"intensity\" 1, \"emit_diffuse\" on, "
                 "\"shadow\" on, \"category\" \"k\") direction -0.70710678 0 -0.70710678 end light\n"
                 "instance \"sun_i\" \"sun\" end instance\n" +
                 mega("receiver", "\"diffuse_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 1, "
                                  "\"diffuse_category\" \"k\", \"lights\" [\"sun_i\"]") +
                 mega("glassy", "\"refract_on\" on, \"refract_amount\" 0.5") +
                 material("mat", "receiver") + material("glassy_m", "glassy", "shadow = \"glassy\"");
        s.names.push_back("sun_i");
        s.quad("surface", "mat", -5).wall("w1", "glassy_m", 1).wall("w2", "glassy_m", 2);
        SceneFixture fx;
        ASSERT_TRUE(fx.load(s.text()));
        const double lit = 0.25 * std::sqrt(0.5);
        expect_rgb(shade(fx, "receiver"), lit, lit, lit);
    }
}

// ------------------------------------------------------------------ photon rays

// A directional light with energy, and a diffuse floor at z = -5 that stores what it gets.
int stored_photons(const std::string& light_direction, const std::string& extra_defs, bool mirror,
                   bool transparent) {
    Scene s;
    s.options = "samples 0 0 trace depth 4 4 8 \"globillum\" on \"globillum photons\" 4000";
    s.defs = "light \"sun\" \"orn_constant\" (\"color\" 1 1 1 1) direction " + light_direction +
             " energy 100 100 100 end light\ninstance \"sun_i\" \"sun\" end instance\n" +
             mega("floor_s", "\"diffuse_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 1") +
             mega("mirror_s", kMirror) + mega("clear_s", "", "0 0 0 0") +
             material("floor_m", "floor_s", "photon = \"floor_s\"") +
             material("mirror_m", "mirror_s", "photon = \"mirror_s\"") +
             material("clear_m", "clear_s", "photon = \"clear_s\"") + extra_defs;
    s.names.push_back("sun_i");
    s.quad("floor", "floor_m", -5);
    if (mirror) {
        // the plane x - z = 4, turning photons that travel along -x straight down
        s.defs += "object \"tilted\" visible shadow trace group\n  1 -20 -3  5 -20 1  5 20 1  1 20 -3\n"
                  "  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n";
        s.place("mirror", "tilted", "mirror_m", "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1");
    }
    if (transparent) s.quad("pane", "clear_m", 0);
    SceneFixture fx;
    if (!fx.load(s.text())) return -1;
    return int(fx.frame().photon_count());
}

TEST(MegaTKPhotons, OnlyPhotonsThatBouncedBeforeAreStored) {
    EXPECT_EQ(stored_photons("0 0 -1", "", false, false), 0);  // straight from the light
    EXPECT_EQ(stored_photons("0 0 -1", "", false, true), 0);   // through a transparent pane
    EXPECT_GT(stored_photons("-1 0 0", "", true, false), 100); // after a mirror
}

// ------------------------------------------------------------------ bad input

TEST(MegaTKRobustness, BadValuesShadeWithoutNaNAndRestoreTheState) {
    const std::vector<std::string> bad = {
        kMirror + ", \"reflect_samples\" -3, \"reflect_gloss\" 2",
        kClear + ", \"refract_samples\" 0, \"refract_gloss\" 2, \"ior\" 1.5",
        kMirror + ", \"reflect_gloss\" -5, \"reflect_samples\" 4, \"reflect_aniso\" on",
        kClear + ", \"refract_aniso\" on, \"refract_samples\" 4, \"ior\" 1.5",
        kMirror + ", " + kClear + ", \"reflect_depth\" 100, \"refract_depth\" 100, \"sample_falloff\" 1000000",
        kAoBase + ", \"ao_samples\" -4, \"ao_near\" 5, \"ao_far\" 1",
        kAoBase + ", \"ao_gamma\" 0, \"ao_falloff\" 0, \"ao_spread\" 500, \"ao_mode\" 2, \"ao_bent_on\" on",
        kAoBase + ", \"ao_mode\" 1, \"ao_bias\" 1, \"ao_bias_point\" 0 0 -5",
        "\"indirect_on\" on, \"indirect_own_rays\" on, \"indirect_samples\" -2, \"indirect_depth\" -1",
        "\"indirect_on\" on, \"indirect_own_rays\" on, \"indirect_samples\" 3, \"indirect_depth\" 5, "
        "\"normal_on\" on, \"normal_vector\" 0 0 0, \"indirect_keep_normal\" on",
        "\"branch_mode\" 1, \"branch_depth\" -5, \"reflect_on\" on, \"refract_on\" on",
    };
    Scene s;
    for (size_t k = 0; k < bad.size(); ++k)
        s.defs += mega("bad" + std::to_string(k), bad[k]);
    s.defs += material("mat", "bad0");
    s.quad("surface", "mat", -5).quad("behind", "white_m", 5).quad("lid", "white_m", -10);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    MessageCapture messages;
    for (size_t k = 0; k < bad.size(); ++k)
        for (int type : {miRAY_EYE, miRAY_REFLECT, miRAY_FINALGATHER, miRAY_SHADOW}) {
            const miColor c = shade(
                fx, "bad" + std::to_string(k),
                [type](miState* h) {
                    h->type = type;
                    h->reflection_level = type == miRAY_REFLECT ? 3 : 0;
                },
                90.f, 50.f);
            EXPECT_TRUE(std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b) && std::isfinite(c.a))
                << bad[k] << " on ray type " << type;
        }
    EXPECT_TRUE(messages.of(orn::Severity::Warning).empty()) << messages.all();
}

} // namespace
