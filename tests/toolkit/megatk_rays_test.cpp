// orn_MegaTK's ray work on real rays: reflection and refraction, the one-branch rule,
// occlusion and indirect light, shadow and photon rays, and bad input. Expected values are
// worked out here from optics and the shading rules.
#include "support/scene_fixture.h"

#include "film/film.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

using orn::test::MessageCapture;
using orn::test::module_preamble;
using orn::test::SceneFixture;
using orn::test::zero_defaults;

namespace {

// Camera at the origin looking down -z, 100 x 100 pixels over 90 degrees; the centre pixel's
// ray is (0, 0, -1). Quads are 40/scale wide; the surface under test is at z = -5.
struct Scene {
    std::string options = "samples 0 0 trace depth 4 4 8";
    std::string camera, defs, placed;
    std::string camera_transform = "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1"; // world to camera
    std::vector<std::string> names;

    Scene& place(const std::string& name, const std::string& object, const std::string& mtl,
                 const std::string& transform) {
        placed += "instance \"" + name + "\" \"" + object + "\" material \"" + mtl + "\" transform " +
                  transform + " end instance\n";
        names.push_back(name);
        return *this;
    }
    Scene& quad(const std::string& name, const std::string& mtl, double z, double scale = 1) {
        const std::string s = std::to_string(scale);
        return place(name, "quad", mtl,
                     s + " 0 0 0 0 " + s + " 0 0 0 0 " + s + " 0 0 0 " + std::to_string(-z * scale) + " 1");
    }
    Scene& wall(const std::string& name, const std::string& mtl, double x) { // in the plane x = const
        return place(name, "quad", mtl, "0 0 1 0 0 1 0 0 1 0 0 0 0 0 " + std::to_string(-x) + " 1");
    }
    std::string text() const {
        std::string group;
        for (const auto& n : names)
            group += " \"" + n + "\"";
        return module_preamble() + "options \"opt\" " + options +
               " end options\ncamera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100\n" + camera +
               "end camera\ninstance \"cam_i\" \"cam\" transform " + camera_transform +
               " end instance\n"
               "object \"quad\" visible shadow trace group\n"
               "  -20 -20 0  20 -20 0  20 20 0  -20 20 0  0 0 0  1 0 0  1 1 0  0 1 0\n"
               "  v 0 t 4 v 1 t 5 v 2 t 6 v 3 t 7\n  p 0 1 2 3\nend group end object\n"
               "shader \"white\" \"orn_constant\" (\"color\" 1 1 1 1)\n"
               "material \"white_m\" = \"white\" end material\n" +
               defs + placed + "instgroup \"root\" \"cam_i\"" + group +
               " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
    }
};

// An orn_MegaTK instance with its material "<name>_m"; unlisted parameters are 0 and a
// parameter given twice takes its later value.
std::string mega(const std::string& name, const std::string& params, const std::string& opacity = "1 1 1 1") {
    return "shader \"" + name + "\" \"orn_MegaTK\" (" + zero_defaults("orn_MegaTK") + "\"opacity\" " +
           opacity + ", \"opacity_channel\" 3, " + "\"ior\" 1" + (params.empty() ? "" : ", " + params) +
           ")\nmaterial \"" + name + "_m\" = \"" + name + "\" shadow = \"" + name + "\" photon = \"" + name +
           "\" end material\n";
}
std::string constant(const std::string& name, const std::string& rgb) {
    return "shader \"" + name + "\" \"orn_constant\" (\"color\" " + rgb + " 1)\nmaterial \"" + name +
           "_m\" = \"" + name + "\" end material\n";
}

const std::string kMirror = "\"reflect_on\" on, \"reflect_amount\" 1, \"reflect_color\" 1 1 1 1, "
                            "\"reflect_samples\" 1";
// A clear medium keeps all light over any distance; an absorption colour of 0 keeps none.
const std::string kClear = "\"refract_on\" on, \"refract_amount\" 1, \"refract_color\" 1 1 1 1, "
                           "\"refract_samples\" 1, \"absorb_inside\" 1 1 1 1, \"absorb_outside\" 1 1 1 1";
// Surface colour 1 under ambient 1: the result is the occlusion.
const std::string kAo =
    "\"diffuse_color\" 1 1 1 1, \"ambient_on\" on, \"ambient_scale\" 1, \"ambient_color\" "
    "1 1 1, \"ao_on\" on, \"ao_on_color\" 1, \"ao_color\" 1 1 1 1, \"ao_bright\" 1 1 1 1, "
    "\"ao_samples\" 8, \"ao_gamma\" 1, \"ao_falloff\" 1, \"ao_near\" 100, \"ao_far\" 200";

// Shades pixel (rx, ry)'s hit with `shader` after `prepare` changed the hit state, and checks
// that the call put back what it changed. Shadow rays start with full light.
miColor shade(SceneFixture& fx, const std::string& shader, const std::function<void(miState*)>& prepare,
              float rx = 50, float ry = 50) {
    miColor c{-1, -1, -1, -1};
    miState* h = fx.probe_eye(rx, ry);
    EXPECT_NE(h, nullptr);
    if (!h) return c;
    prepare(h);
    const miState before = *h;
    if (h->type == miRAY_SHADOW) c = {1, 1, 1, 1};
    const bool passed = fx.call(shader, &c, h);
    EXPECT_EQ(passed, h->type != miRAY_SHADOW || c.r != 0.f || c.g != 0.f || c.b != 0.f) << shader;
    EXPECT_EQ(h->options, before.options) << shader;
    EXPECT_TRUE(h->normal.x == before.normal.x && h->normal.y == before.normal.y &&
                h->normal.z == before.normal.z);
    EXPECT_TRUE(h->ior == before.ior && h->ior_in == before.ior_in &&
                h->refraction_volume == before.refraction_volume);
    EXPECT_EQ(mi_shaderstate_get(h, "ra_o", nullptr), nullptr);
    EXPECT_EQ(mi_shaderstate_get(h, "rad", nullptr), nullptr);
    double start = 0, stop = 0; // swapping in no falloff hands back the one in place
    mi_ray_falloff(h, &start, &stop);
    EXPECT_EQ(stop, 0.0) << shader;
    return c;
}
miColor shade(SceneFixture& fx, const std::string& shader, float rx = 50, float ry = 50) {
    return shade(
        fx, shader, [](miState*) {}, rx, ry);
}
auto at_levels(int reflection, int refraction) {
    return [=](miState* h) {
        h->reflection_level = reflection;
        h->refraction_level = refraction;
    };
}

void expect_rgb(const miColor& c, double r, double g, double b, double tol = 1e-5) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}
void expect_grey(const miColor& c, double v, double tol = 1e-5) {
    expect_rgb(c, v, v, v, tol);
}

// ------------------------------------------------------------------ reflection

TEST(MegaTKReflection, FresnelFalloffAddAndDepthOverride) {
    // The mirror ray of the centre pixel meets a white quad (20 wide) 10 away; the ray of pixel
    // 100 passes beside it into a green environment.
    const std::string fade =
        kMirror + ", \"reflect_falloff_color_on\" on, \"reflect_falloff_color\" 0 0 1 0.5";
    Scene s;
    s.options = "samples 0 0 trace depth 1 1 4";
    s.camera = "environment \"orn_constant\" (\"color\" 0 1 0 1)\n";
    s.defs = mega("f1", kMirror + ", \"ior\" 1.5, \"reflect_fresnel\" 1") + mega("plain", kMirror) +
             mega("added", kMirror + ", \"reflect_amount\" 0.5, \"reflect_samples\" 0, "
                                     "\"reflect_add\" 0.2 0.4 0.6 1") +
             mega("mid", fade + ", \"reflect_falloff_start\" 5, \"reflect_falloff_end\" 15") +
             mega("late", fade + ", \"reflect_falloff_start\" 20, \"reflect_falloff_end\" 8") +
             mega("env_mid", kMirror + ", \"reflect_falloff_start\" 5, \"reflect_falloff_end\" 15") +
             mega("deeper", kMirror + ", \"reflect_depth\" 3");
    s.quad("surface", "f1_m", -5).quad("behind", "white_m", 5, 2);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_grey(shade(fx, "f1"), 0.04);                       // ((1.5 - 1) / (1.5 + 1))^2
    expect_rgb(shade(fx, "added"), 0.1, 0.2, 0.3);            // no samples: only reflect_add x kr
    expect_rgb(shade(fx, "mid"), 0.5, 0.5, 1);                // halfway to the fade colour
    expect_rgb(shade(fx, "late"), 0, 0, 1);                   // a start beyond the end acts as the end
    expect_rgb(shade(fx, "mid", 100), 0, 0.5, 0.5);           // a miss: environment and fade colour by alpha
    expect_rgb(shade(fx, "env_mid"), 0.5, 1, 0.5);            // the renderer fades to the environment
    expect_rgb(shade(fx, "plain", at_levels(1, 0)), 0, 1, 0); // at the scene's depth: environment
    expect_grey(shade(fx, "deeper", at_levels(1, 0)), 1);
    EXPECT_EQ(fx.frame().options_record()->reflection_depth, 1);
}

// A lobe of shininess 1 leaves at cos(theta) = sqrt(s0) around the mirror direction, so a ray
// reaches a plane 10 away within distance D when s0 >= (10 / D)^2. With that threshold at
// 3/16, 16 stratified samples keep 13/16 of the light; 4 keep 3/4 or all, 1 none or all.
TEST(MegaTKReflection, GlossySamplesHalvePerTraceLevel) {
    const std::string D = std::to_string(10.0 / std::sqrt(3.0 / 16.0));
    const std::string glossy =
        "\"reflect_on\" on, \"reflect_amount\" 1, \"reflect_color\" 1 1 1 1, "
        "\"reflect_samples\" 16, \"reflect_gloss\" 1, \"reflect_falloff_color_on\" on, "
        "\"reflect_falloff_start\" " +
        D + ", \"reflect_falloff_end\" " + D;
    Scene s;
    s.defs = mega("halving", glossy + ", \"sample_falloff\" 1") + mega("keeping", glossy);
    s.quad("surface", "halving_m", -5).quad("sky", "white_m", 5, 0.01);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto one_of = [](float v, std::vector<float> allowed) {
        for (float a : allowed)
            if (std::abs(v - a) < 1e-5f) return true;
        return false;
    };
    EXPECT_NEAR(shade(fx, "halving").r, 13.0 / 16.0, 1e-5);
    EXPECT_TRUE(one_of(shade(fx, "halving", at_levels(1, 1)).r, {0.75f, 1.f}));
    EXPECT_NEAR(shade(fx, "keeping", at_levels(1, 1)).r, 13.0 / 16.0, 1e-5);
    EXPECT_TRUE(one_of(shade(fx, "keeping", [](miState* h) { h->type = miRAY_FINALGATHER; }).r, {0.f, 1.f}));
}

// ------------------------------------------------------------------ refraction

TEST(MegaTKRefraction, AbsorptionRadianceScalingAndTotalInternalReflection) {
    // Through glass at z = -5 to white at -10: 5 units inside; entering 1.5 scales by 1/1.5^2,
    // leaving 2 by 2^2. Leaving 2 at 38.7 degrees (pixel 90) is beyond the critical 30.
    Scene s;
    s.defs = mega("absorbing", kClear + ", \"ior\" 1.5, \"absorb_inside\" 0.5 0.25 2 1") +
             mega("dense", kClear + ", \"ior\" 2, \"refract_add\" 0.5 0.5 0.5 1") +
             mega("dense_glossy", kClear + ", \"ior\" 2, \"refract_gloss\" 4, \"refract_samples\" 8");
    s.quad("surface", "dense_m", -5).quad("back", "white_m", -10);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade(fx, "absorbing"), std::pow(0.5, 5) / 2.25, std::pow(0.25, 5) / 2.25, 1 / 2.25);
    auto leaving = [](miState* h) { h->inv_normal = miTRUE; };
    expect_grey(shade(fx, "dense", leaving), 4 + 0.5);
    expect_grey(shade(fx, "dense", leaving, 90), 0.5);
    expect_grey(shade(fx, "dense_glossy", leaving, 90), 0);
}

TEST(MegaTKRefraction, InsideOutsideAndNestedIndices) {
    // Glass quads at -5 and -7 before white at -10. Counting passages, the second is the way
    // out (x 2.25 undoes the 1/2.25 of the way in); by its normal it is a way in from glass to
    // the same glass (x 1). A surface of index 3 inside glass reflects ((3 - 1.5) / 4.5)^2.
    const std::string inner = "\"reflect_on\" on, \"reflect_amount\" 1, \"reflect_fresnel\" 1, \"ior\" 3, "
                              "\"reflect_add\" 1 1 1 1";
    const double expected[] = {1, 1 / 2.25, (1.0 / 9) / 2.25};
    const char* second[] = {"counted_m", "by_normal_m", "inner_m"};
    for (int k = 0; k < 3; ++k) {
        Scene s;
        s.defs = mega("counted", kClear + ", \"ior\" 1.5, \"entering_by_count\" on") +
                 mega("by_normal", kClear + ", \"ior\" 1.5") + mega("inner", inner);
        s.quad("first", k == 2 ? "by_normal_m" : second[k], -5).quad("second", second[k], -7);
        s.quad("back", "white_m", -10);
        SceneFixture fx;
        ASSERT_TRUE(fx.load(s.text()));
        expect_grey(shade(fx, k == 0 ? "counted" : "by_normal"), expected[k], 1e-6);
    }
}

TEST(MegaTKRefraction, PassagesAreCountedPerMaterialAcrossNestedAndSequentialSlabs) {
    // Slab faces: fronts face the camera, backs face away (a quad turned about x). Clear glass
    // of index 1.5 (A) and 2 (B) scales radiance by (n_out / n_in)^2 at every face, so any
    // path that ends where it started, in air, keeps all of the white behind: nested B inside
    // A (A -4, B -5, B -7, A -8) and B after A (A -4, A -5, B -6, B -7) both give 1.
    auto back = [](double z) { return "1 0 0 0 0 -1 0 0 0 0 -1 0 0 0 " + std::to_string(z) + " 1"; };
    const std::string defs = mega("A", kClear + ", \"ior\" 1.5") + mega("B", kClear + ", \"ior\" 2");
    for (const bool nested : {true, false}) {
        Scene s;
        s.defs = defs;
        s.quad("a_front", "A_m", -4).place("a_back", "quad", "A_m", back(nested ? -8 : -5));
        s.quad("b_front", "B_m", nested ? -5 : -6).place("b_back", "quad", "B_m", back(-7));
        s.quad("white", "white_m", -10);
        SceneFixture fx;
        ASSERT_TRUE(fx.load(s.text()));
        expect_grey(shade(fx, "A"), 1, 1e-5);
    }
    // Glass that absorbs half per unit inside, counted by passages, behind a veil of opacity
    // 0.5: the veil does not count as a passage through the glass, so the 2 units between -5 and
    // -7 are inside (0.5^2) and the 3 behind are outside: 0.5 x 0.25.
    Scene s;
    s.defs = mega("veil", "", "0.5 0.5 0.5 0.5") +
             mega("C", kClear + ", \"ior\" 2, \"entering_by_count\" on, \"absorb_inside\" 0.5 0.5 0.5 1");
    s.quad("veil_q", "veil_m", -3).quad("c_front", "C_m", -5).place("c_back", "quad", "C_m", back(-7));
    s.quad("white", "white_m", -10);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_grey(shade(fx, "veil"), 0.125, 1e-5);
}

TEST(MegaTKRefraction, AGlassSphereBendsACheckerAsSnellsLawSays) {
    // Unit sphere of index 1.5 at (0, 0, -5); unit checker squares at z = -10, red where
    // floor(x) + floor(y - 0.5) is even.
    struct V {
        double x, y, z;
        V operator+(V o) const { return {x + o.x, y + o.y, z + o.z}; }
        V operator*(double s) const { return {x * s, y * s, z * s}; }
        double dot(V o) const { return x * o.x + y * o.y + z * o.z; }
        V unit() const { return *this * (1 / std::sqrt(dot(*this))); }
    };
    const V c{0, 0, -5};
    auto refract = [](V I, V N, double eta) {
        const double k = -I.dot(N);
        return (I * eta + N * (eta * k - std::sqrt(1 - eta * eta * (1 - k * k)))).unit();
    };
    auto sphere_hit = [&](V o, V d, double side) {
        const V oc = o + c * -1;
        const double b = oc.dot(d);
        return o + d * (-b + side * std::sqrt(b * b - oc.dot(oc) + 1));
    };
    const float rx = 57;
    const V d = V{(rx / 100 - 0.5) * 2, 0, -1}.unit(), p = sphere_hit({0, 0, 0}, d, -1);
    const V in = refract(d, (p + c * -1).unit(), 1 / 1.5), q = sphere_hit(p, in, 1);
    const V out = refract(in, (c + q * -1).unit(), 1.5), land = q + out * ((-10 - q.z) / out.z);
    auto red = [](V x) { return (int(std::floor(x.x)) + int(std::floor(x.y - 0.5))) % 2 == 0; };
    ASSERT_NE(red(land), red(d * (-10 / d.z))) << "refraction must change the colour seen";
    ASSERT_LT(std::abs(land.x - std::floor(land.x) - 0.5), 0.2) << "well inside a square";

    std::string checker = "object \"checker\" visible shadow trace group\n";
    for (int k = 0; k < 121; ++k)
        checker += std::to_string(k % 11 - 5) + " " + std::to_string(k / 11 - 4.5) + " 0\n";
    for (int k = 0; k < 121; ++k)
        checker += "v " + std::to_string(k) + " ";
    for (int k = 0; k < 100; ++k) {
        const int i = k % 10, j = k / 10, a = j * 11 + i;
        checker += std::string("\np \"") + (red({i - 5.0, j - 4.0, 0}) ? "red_m" : "green_m") + "\" " +
                   std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(a + 12) + " " +
                   std::to_string(a + 11);
    }
    Scene s;
    s.defs = constant("red", "1 0 0") + constant("green", "0 1 0") + mega("glass", kClear + ", \"ior\" 1.5") +
             checker + "\nend group end object\nobject \"ball\" visible shadow trace file \"" +
             ORN_SOURCE_DIR + "/scenes/meshes/sphere.obj\" end object\n";
    s.place("ball_i", "ball", "glass_m", "1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1");
    s.place("checker_i", "checker", "red_m", "1 0 0 0 0 1 0 0 0 0 1 0 0 0 10 1");
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(fx.shade(rx, 50), red(land) ? 1 : 0, red(land) ? 0 : 1, 0, 1e-4);
}

// ------------------------------------------------------------------ the one-branch rule

TEST(MegaTKBranching, DeepRaysFollowOneBranchWithTheWeightOfBoth) {
    // Reflection sees red, refraction green. From depth 1 (branch_depth 1 at sampling level 2)
    // one branch is taken with weight e = 3 x 0.33333 x (kr + kt): below 1/2 reflection, up
    // to e transmission, beyond e nothing. With kr = kt = 0.25, e < 1/2: transmission never.
    const std::string both =
        "\"branch_mode\" 1, \"branch_depth\" 1, \"reflect_on\" on, \"reflect_color\" 1 1 1 "
        "1, \"reflect_samples\" 1, " +
        kClear + ", \"reflect_amount\" ";
    Scene s;
    s.options = "samples 0 2 trace depth 4 4 8";
    s.defs = constant("red", "1 0 0") + constant("green", "0 1 0") +
             mega("even", both + "0.5, \"refract_amount\" 0.5") +
             mega("weak", both + "0.25, \"refract_amount\" 0.25") +
             mega("mirror_only", both + "0.5, \"refract_amount\" 0");
    s.quad("surface", "even_m", -5).quad("behind", "red_m", 5).quad("back", "green_m", -10);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade(fx, "even"), 0.5, 0.5, 0); // shallow: both
    int even[2] = {0, 0}, weak[2] = {0, 0};
    for (int k = 0; k < 100; ++k) {
        const float rx = 30.f + float(k % 10) * 4, ry = 30.f + float(k / 10) * 4;
        const miColor e = shade(fx, "even", at_levels(1, 0), rx, ry);
        const miColor w = shade(fx, "weak", at_levels(1, 0), rx, ry);
        even[0] += std::abs(e.r - 0.99999) < 1e-5 && e.g == 0;
        even[1] += std::abs(e.g - 0.99999) < 1e-5 && e.r == 0;
        weak[0] += std::abs(w.r - 0.499995) < 1e-5 && w.g == 0;
        weak[1] += w.r == 0 && w.g == 0;
        expect_rgb(shade(fx, "mirror_only", at_levels(1, 0), rx, ry), 0.499995, 0, 0);
    }
    EXPECT_EQ(even[0] + even[1], 100);
    EXPECT_EQ(weak[0] + weak[1], 100);
    for (int n : {even[0], even[1], weak[0], weak[1]})
        EXPECT_GT(n, 30);
}

// ------------------------------------------------------------------ occlusion

TEST(MegaTKOcclusion, DistanceFalloffGammaModesBiasAndEnvironment) {
    // Straight up (spread 0) the probes meet a lid 5.5 away; a wall stands at x = 3.
    const std::string up = kAo + ", \"ao_spread\" 0, \"ao_near\" 1, \"ao_far\" 10";
    const std::string opaque_lid = kAo + ", \"ao_spread\" 0";
    Scene s;
    s.camera = "environment \"orn_constant\" (\"color\" 0.5 0.25 1 1)\n";
    s.defs = mega("mean", up) + mega("sqrt", up + ", \"ao_falloff\" 2") +
             mega("gamma0", up + ", \"ao_gamma\" 0") + mega("mode0", opaque_lid) +
             mega("mode1", opaque_lid + ", \"ao_mode\" 1") + mega("mode2", opaque_lid + ", \"ao_mode\" 2") +
             mega("bent", opaque_lid + ", \"ao_bias\" 1, \"ao_bias_point\" 10 0 -5") +
             mega("nowhere", opaque_lid + ", \"ao_bias\" 1, \"ao_bias_point\" 0 0 -5") +
             mega("sky", opaque_lid + ", \"ao_environment\" on") + mega("thin", "", "0.2 0.2 0.2 0.2") +
             mega("half", "", "0.5 0.5 0.5 0.5");
    for (const char* lid : {"white_m", "thin_m", "half_m", ""}) {
        Scene t = s;
        t.quad("surface", "mean_m", -5);
        if (*lid)
            t.quad("lid", lid, 0.5);
        else
            t.wall("wall", "white_m", 3);
        SceneFixture fx;
        ASSERT_TRUE(fx.load(t.text()));
        if (std::string(lid) == "white_m") {
            expect_grey(shade(fx, "mean"), 0.5); // f = 1 - 4.5/9
            expect_grey(shade(fx, "sqrt"), 1 - std::sqrt(0.5));
            expect_grey(shade(fx, "gamma0"), 0); // 0.5 to an infinite power
            expect_grey(shade(fx, "mode0"), 0);
        } else if (*lid) { // mode 1: alpha below 0.3; mode 2: transmission above 0.7
            const bool thin = std::string(lid) == "thin_m";
            expect_grey(shade(fx, "mode1"), thin ? 1 : 0);
            expect_grey(shade(fx, "mode2"), thin ? 1 : 0);
        } else {
            expect_grey(shade(fx, "mode0"), 1);
            expect_grey(shade(fx, "bent"), 0);    // the normal bent fully towards the wall
            expect_grey(shade(fx, "nowhere"), 1); // zero directions trace nothing: open
            expect_rgb(shade(fx, "sky"), 0.5, 0.25, 1);
        }
    }
}

TEST(MegaTKOcclusion, OpenPlaneEnclosedPointAndBentNormalSpaces) {
    // The camera looks down world -x at a surface in the plane x = -5; world +x, the normal,
    // is camera +z and, in the surface's turned object space, object +y. Under an open sky the
    // bent normal is the normal.
    const std::string wide = kAo +
                             ", \"ao_spread\" 90, \"ao_samples\" 256, \"ao_near\" 1000, \"ao_far\" 2000, "
                             "\"ao_bent_on\" on, \"pass_bent\" on, \"ao_bent_space\" ";
    Scene s;
    s.camera_transform = "0 0 1 0 0 1 0 0 -1 0 0 0 0 0 0 1";
    s.camera = "framebuffer \"tk_bent\" (\"datatype\" \"rgb_fp\", \"user\" on)\n";
    s.defs = mega("world", wide + "0") + mega("object", wide + "1") + mega("camera", wide + "2") +
             "object \"flat\" visible shadow trace group\n  -20 0 -20  20 0 -20  20 0 20  -20 0 20\n"
             "  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n";
    s.place("surface", "flat", "world_m", "0 1 0 0 0 0 1 0 1 0 0 0 0 5 0 1");
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto& film = fx.frame().film();
    const char* space[] = {"world", "object", "camera"};
    for (int k = 0; k < 3; ++k) {
        fx.frame().main_context().own_film_sample(film.clear_sample());
        expect_grey(shade(fx, space[k]), 1);
        const float* b = fx.frame().main_context().film_sample + film.plane_offset(film.plane_id("tk_bent"));
        EXPECT_NEAR(b[k], 1, 0.01) << space[k]; // x, y and z
        EXPECT_NEAR(b[0] * b[0] + b[1] * b[1] + b[2] * b[2], 1, 1e-5);
    }
    // Inside a box of huge walls 100 apart every probe is dark.
    for (const char* at : {"-0.5", "0.5"}) {
        s.place(std::string("z") + at, "quad", "white_m",
                std::string("0.01 0 0 0 0 0.01 0 0 0 0 0.01 0 0 0 ") + at + " 1");
        s.place(std::string("x") + at, "quad", "white_m",
                std::string("0 0 0.01 0 0 0.01 0 0 0.01 0 0 0 0 0 ") + at + " 1");
        s.place(std::string("y") + at, "quad", "white_m",
                std::string("0.01 0 0 0 0 0 0.01 0 0 0.01 0 0 0 0 ") + at + " 1");
    }
    SceneFixture boxed;
    ASSERT_TRUE(boxed.load(s.text()));
    expect_grey(shade(boxed, "world"), 0);
}

// ------------------------------------------------------------------ indirect light and incandescence

TEST(MegaTKIndirect, OwnGatheringNestsUpToItsDepth) {
    // Two facing planes gather from each other; the surface glows 0.25, the lid 0.5. Depth 1:
    // 0.25 + 0.5; depth 2: the lid also sees the surface's glow; depth 3: and that the lid's.
    auto gatherer = [](const std::string& name, const char* glow, int depth) {
        return mega(name, "\"diffuse_color\" 1 1 1 1, \"incandescence_on\" on, \"incandescence_scale\" " +
                              std::string(glow) +
                              ", \"incandescence_color\" 1 1 1 1, \"indirect_on\" on, "
                              "\"indirect_own_rays\" on, \"indirect_samples\" 4, \"indirect_color\" 1 1 1 1, "
                              "\"indirect_saturation\" 1, \"indirect_depth\" " +
                              std::to_string(depth));
    };
    const double expected[] = {0.75, 1.0, 1.5};
    for (int depth = 1; depth <= 3; ++depth) {
        Scene s;
        s.defs = gatherer("low", "0.25", depth) + gatherer("high", "0.5", depth);
        s.quad("surface", "low_m", -5, 0.01).quad("lid", "high_m", 0.5, 0.01);
        SceneFixture fx;
        ASSERT_TRUE(fx.load(s.text()));
        expect_grey(shade(fx, "low"), expected[depth - 1]);
    }
}

TEST(MegaTKIndirect, TheRenderersIrradianceAroundTheKeptNormal) {
    // Final gathering under a huge amber lid: around the renderer's normal every ray sees it,
    // around a sideways replacement half of them.
    const std::string fg = "\"diffuse_color\" 1 1 1 1, \"indirect_on\" on, \"indirect_color\" 1 1 1 1, "
                           "\"indirect_saturation\" 1, \"normal_on\" on, \"normal_vector\" 1 0 0";
    Scene s;
    s.options = "samples 0 0 \"finalgather\" on \"finalgather rays\" 64";
    s.defs = constant("amber", "1 0.5 0") + mega("sideways", fg) +
             mega("kept", fg + ", \"indirect_keep_normal\" on");
    s.quad("surface", "kept_m", -5).quad("lid", "amber_m", 0.5, 0.01);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade(fx, "kept"), 1, 0.5, 0, 1e-3);
    EXPECT_NEAR(shade(fx, "sideways").r, 0.5, 0.1);
}

// ------------------------------------------------------------------ shadow rays

TEST(MegaTKShadow, RefractionLetsLightThroughInBothShadowModes) {
    const std::string glass = "\"refract_on\" on, \"refract_amount\" 0.6, \"ior\" 1.5";
    Scene s;
    s.defs = mega("plain", glass) + mega("fresnel", glass + ", \"refract_fresnel\" 1") +
             mega("half", glass, "0.5 0.5 0.5 0.5") + mega("opaque", "");
    s.quad("surface", "plain_m", -5);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto shadow = [](miState* h) { h->type = miRAY_SHADOW; };
    expect_grey(shade(fx, "plain", shadow), 0.6);
    expect_grey(shade(fx, "half", shadow), 0.8); // 1 - (1 - 0.6) x 0.5
    expect_grey(shade(fx, "opaque", shadow), 0);
    expect_grey(shade(fx, "fresnel", shadow), 0.6); // head-on the falloff is 1; at 45 degrees (cos^0.4)^1.5
    expect_grey(shade(fx, "fresnel", shadow, 100), 0.6 * std::pow(std::sqrt(0.5), 0.6));

    // Light from (1, 0, 1)/sqrt 2 crosses clear walls of strength 0.5 at x = 1 and 2 on its way
    // to (0, 0, -5), one after the other or each continuing the ray as a segment.
    for (const char* mode : {"on", "segments"}) {
        Scene w;
        w.options = std::string("samples 0 0 shadow ") + mode;
        w.defs = "light \"sun\" \"orn_DirectTK\" (\"color\" 1 1 1 1, \"intensity\" 1, \"emit_diffuse\" on, "
                 "\"shadow\" on, \"category\" \"k\") direction -0.70710678 0 -0.70710678 end light\n"
                 "instance \"sun_i\" \"sun\" end instance\n" +
                 mega("receiver", "\"diffuse_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 1, "
                                  "\"diffuse_category\" \"k\", \"lights\" [\"sun_i\"]") +
                 mega("glassy", "\"refract_on\" on, \"refract_amount\" 0.5");
        w.names.push_back("sun_i");
        w.quad("surface", "receiver_m", -5).wall("w1", "glassy_m", 1).wall("w2", "glassy_m", 2);
        SceneFixture lit;
        ASSERT_TRUE(lit.load(w.text()));
        expect_grey(shade(lit, "receiver"), 0.25 * std::sqrt(0.5));
    }
}

// ------------------------------------------------------------------ photon rays

TEST(MegaTKPhotons, OnlyPhotonsThatBouncedBeforeAreStored) {
    // A diffuse floor at z = -5 under a light with energy: straight down, through a clear
    // pane, or sideways onto the mirror plane x - z = 4, which turns photons straight down.
    auto stored = [](const char* direction, const char* extra) {
        Scene s;
        s.options = "samples 0 0 \"globillum\" on \"globillum photons\" 4000";
        s.defs = std::string("light \"sun\" \"orn_constant\" (\"color\" 1 1 1 1) direction ") + direction +
                 " energy 100 100 100 end light\ninstance \"sun_i\" \"sun\" end instance\n" +
                 mega("floor", "\"diffuse_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 1") +
                 mega("mirror", kMirror) + mega("pane", "", "0 0 0 0") +
                 "object \"tilted\" visible shadow trace group\n  1 20 -3  5 20 1  5 -20 1  1 -20 -3\n"
                 "  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n";
        s.names.push_back("sun_i");
        s.quad("floor_i", "floor_m", -5);
        if (std::string(extra) == "pane") s.quad("pane_i", "pane_m", 0);
        if (std::string(extra) == "mirror")
            s.place("mirror_i", "tilted", "mirror_m", "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1");
        SceneFixture fx;
        return fx.load(s.text()) ? int(fx.frame().photon_count()) : -1;
    };
    EXPECT_EQ(stored("0 0 -1", ""), 0);
    EXPECT_EQ(stored("0 0 -1", "pane"), 0);
    EXPECT_GT(stored("-1 0 0", "mirror"), 100);
}

// ------------------------------------------------------------------ bad input

TEST(MegaTKRobustness, BadValuesShadeWithoutNaNAndPutTheStateBack) {
    const std::vector<std::string> bad = {
        kMirror + ", " + kClear + ", \"reflect_samples\" -3, \"refract_samples\" 0, \"reflect_gloss\" 2",
        kMirror + ", \"reflect_gloss\" -5, \"reflect_samples\" 4, \"reflect_aniso\" on",
        kClear + ", \"refract_aniso\" on, \"refract_samples\" 4, \"ior\" 1.5, \"refract_fresnel\" 1",
        kMirror + ", " + kClear +
            ", \"reflect_depth\" 100, \"refract_depth\" 100, \"sample_falloff\" 1000000",
        kAo + ", \"ao_samples\" -4, \"ao_near\" 5, \"ao_far\" 1",
        kAo + ", \"ao_gamma\" 0, \"ao_falloff\" 0, \"ao_spread\" 500, \"ao_mode\" 2, \"ao_bent_on\" on",
        "\"indirect_on\" on, \"indirect_own_rays\" on, \"indirect_samples\" -2, \"indirect_depth\" -1",
        "\"indirect_on\" on, \"indirect_own_rays\" on, \"indirect_samples\" 3, \"indirect_depth\" 5, "
        "\"normal_on\" on, \"normal_vector\" 0 0 0, \"indirect_keep_normal\" on",
        "\"branch_mode\" 1, \"branch_depth\" -5, \"reflect_on\" on, \"refract_on\" on",
    };
    Scene s;
    for (size_t k = 0; k < bad.size(); ++k)
        s.defs += mega("bad" + std::to_string(k), bad[k]);
    s.quad("surface", "bad0_m", -5).quad("behind", "white_m", 5).quad("back", "white_m", -10);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    MessageCapture messages;
    for (size_t k = 0; k < bad.size(); ++k)
        for (int type : {miRAY_EYE, miRAY_REFLECT, miRAY_FINALGATHER, miRAY_SHADOW}) {
            auto prepare = [type](miState* h) {
                h->type = type;
                h->reflection_level = type == miRAY_REFLECT ? 3 : 0;
                h->inv_normal = type == miRAY_REFLECT;
            };
            const miColor c = shade(fx, "bad" + std::to_string(k), prepare, 90);
            EXPECT_TRUE(std::isfinite(c.r + c.g + c.b + c.a)) << bad[k] << " on ray type " << type;
        }
    EXPECT_TRUE(messages.of(orn::Severity::Warning).empty()) << messages.all();
}

} // namespace
