// orn_MegaTK components that the other tests leave out: every lighting model away from the
// mirror direction, the emit flags of toolkit lights, area lights, the occluded ambient with
// the occlusion blends, and the depth switches on reflection and refraction rays. Expected
// values are worked out here from the models' formulas.
#include "support/expect.h"
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

using namespace orn::test;

namespace {

const double kPi = 3.14159265358979323846;
const Vec kN{0, 0, 1}; // the quad's normal

// ------------------------------------------------------------------ lighting models

// One light sample: towards L, seen along the ray `dir` at a point with normal N. Each model
// below turns it into its factor in front of the light colour.
struct Geometry {
    Vec L, dir, N, V; // V = -dir
    double c;         // the light iterator's cosine, N . L
};

Vec rotate_in_tangent_plane(const Vec& u, const Vec& v, double degrees) {
    const double t = degrees / 90.0;
    if (degrees > 90 && degrees <= 180) return v * (1 - (t - 1)) + u * -(t - 1);
    if (degrees > 180 && degrees <= 270) return u * -(1 - (t - 2)) + v * -(t - 2);
    if (degrees > 270 && degrees <= 360) return u * (t - 3) + v * -(1 - (t - 3));
    return u * (1 - t) + v * t;
}

// Ward's BRDF with shininess 1/alpha along the unit tangents u and v (isotropic when equal).
double ward(const Geometry& g, const Vec& u, const Vec& v, double shiny_u, double shiny_v) {
    const double ci = dot(g.V, g.N), cr = dot(g.L, g.N);
    const Vec h = unit(g.L + g.V);
    const double hn = dot(h, g.N), hu = dot(h, u) * shiny_u, hv = dot(h, v) * shiny_v;
    return std::exp(-(hu * hu + hv * hv) / (hn * hn)) * shiny_u * shiny_v / (4 * kPi * std::sqrt(ci * cr));
}

TEST(MegaTKModels, EveryModelAwayFromTheMirrorDirection) {
    // A plain light from L onto the quad, seen off-centre: neither the view nor the light is
    // along the normal or the other's mirror direction.
    const Vec to_light = unit({0.3, 0.5, 0.8});
    const Rgb Lc{1, 0.5, 0.25};
    QuadScene s;
    s.defs = plain_light("sun", directional(to_light), "1 0.5 0.25");
    s.instances = {"sun_i"};
    const std::string lit = "\"lights\" [\"sun_i\"], ";
    struct Model {
        std::string name, params;
        std::function<Rgb(const Geometry&)> factor;
    };
    // The quad's tangent frame: texture s grows along +x, t along +y.
    const Vec u{1, 0, 0}, v{0, 1, 0};
    const std::vector<Model> models = {
        {"diffuse",
         "\"diffuse_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 0.7, \"diffuse_softness\" 0.5",
         [](const Geometry& g) {
             const double f = 0.7 * std::pow(g.c, 1 / 1.5);
             return Rgb{f, f, f};
         }},
        {"fur",
         "\"diffuse_color\" 1 1 1 1, \"fur_on\" on, \"fur_weight\" 0.9, \"fur_angle\" 30, "
         "\"fur_skin_color\" 1 0.5 0.25 1, \"fur_density\" 2, \"fur_reflect\" 0.3, \"fur_transmit\" 0.2, "
         "\"fur_self_shadow\" 0.5, \"fur_terminator\" 0.6, \"fur_terminator_start\" 0.2, "
         "\"fur_terminator_end\" 0.9, \"fur_length\" 1, \"fur_base_width\" 0.2, \"fur_tip_width\" 0.1",
         [&](const Geometry& g) {
             const Vec F = unit(rotate_in_tangent_plane(u, v, 30));
             auto cover = [&](const Vec& X) {
                 const Vec fx = cross(F, X);
                 double x = 2 * 0.15 * std::sqrt(dot(fx, fx));
                 if (dot(X, g.N) > 0.00001) x /= dot(X, g.N);
                 return 1 - 1 / std::exp(x);
             };
             const double aV = cover(g.V), aL = cover(g.L), nl = dot(g.N, g.L);
             const double t = (nl - 0.2) / (0.9 - 0.2);
             EXPECT_TRUE(t > 0 && t < 1) << "the terminator ramp is between its edges";
             const double ramp = (3 - 2 * t) * t * t;
             const double q = ((ramp - 1) * 0.6 + 1) * (0.3 + 0.2);
             const double skin = 0.9 * (1 - aV) * g.c * (1 - aL), hair = 0.9 * aV * q * nl * (1 - aL * 0.5);
             return Rgb{1, 0.5, 0.25} * skin + Rgb{hair, hair, hair};
         }},
        {"phong", "\"phong_on\" on, \"phong_weight\" 0.6, \"phong_color\" 1 0.8 0.6 1, \"phong_exponent\" 10",
         [](const Geometry& g) {
             const Vec R = g.dir - g.N * (2 * dot(g.dir, g.N));
             const double rl = dot(R, g.L);
             EXPECT_TRUE(rl > 0.1 && rl < 0.99) << "off the mirror direction: " << rl;
             return Rgb{1, 0.8, 0.6} * (std::pow(rl, 10) * 0.6);
         }},
        {"blinn",
         "\"blinn_on\" on, \"blinn_weight\" 0.8, \"blinn_color\" 1 1 0.5 1, \"blinn_eccentricity\" 0.3, "
         "\"blinn_reflectivity\" 0.4",
         [](const Geometry& g) {
             const Vec H = unit(g.L + g.V);
             const double nh = dot(H, g.N), vh = dot(g.V, H), nl = dot(g.L, g.N), nv = dot(g.V, g.N);
             const double q = 1 / (0.3 * 0.3 - 1);
             const double D = std::pow((q + 1) / (nh * nh + q), 2);
             double G;
             if (nl <= nv)
                 G = vh <= 2 * nh * nl ? 1 / nv : 2 * nh * nl / (nv * vh);
             else
                 G = vh <= 2 * nh * nv ? 1 / nv : 2 * nh / vh;
             const double m = std::pow(1 - vh, 3);
             return Rgb{1, 1, 0.5} * ((m + (1 - m) * 0.4) * G * D * 0.8);
         }},
        {"velvet",
         "\"velvet_on\" on, \"velvet_weight\" 0.9, \"velvet_color\" 0.5 1 1 1, \"velvet_backscatter\" 0.7, "
         "\"velvet_edginess\" 2, \"velvet_roughness\" 0.5",
         [](const Geometry& g) {
             const double sheen = std::pow(std::max(dot(g.V, g.L), 0.0), 1 / 0.5) * 0.9;
             const double dot_nd = dot(g.dir, g.N);
             const double edge = std::pow(std::sqrt(1 - dot_nd * dot_nd), 2) * 0.9;
             EXPECT_GT(edge, 0.01) << "an edge term away from the normal";
             return Rgb{0.5, 1, 1} * (sheen * 0.7 + edge * g.c);
         }},
        {"toon",
         "\"toon_on\" on, \"toon_weight\" 0.5, \"toon_color\" 1 0.5 0 1, \"toon_size\" 0.05, "
         "\"toon_sharpness\" 0.8",
         [](const Geometry& g) {
             double h = dot(unit(g.V + g.L), g.N);
             const double x = 1.2 * g.c;
             EXPECT_TRUE(x > 0 && x < 1) << "the highlight shrinks towards the terminator";
             h -= 1 - std::pow(x, 0.05);
             const double r = std::pow(1 - 0.05 * 0.5, 0.3), w = (1 - 0.8) * 0.25;
             EXPECT_TRUE(h > r - w && h <= r) << "on the highlight's soft edge";
             return Rgb{1, 0.5, 0} * ((h - (r - w)) / w * 0.5);
         }},
        {"ward_iso",
         "\"ward_on\" on, \"ward_weight\" 0.5, \"ward_color\" 1 0.5 1 1, \"ward_shiny_u\" 4, "
         "\"ward_shiny_v\" 4, "
         "\"ward_u\" 1 0 0, \"ward_v\" 0 0 1",
         [&](const Geometry& g) {
             return Rgb{1, 0.5, 1} * (ward(g, u, v, 4, 4) * 0.5 * g.c);
         }},
        {"ward_aniso",
         "\"ward_on\" on, \"ward_weight\" 0.5, \"ward_color\" 1 0.5 1 1, \"ward_shiny_u\" 8, "
         "\"ward_shiny_v\" 2, "
         "\"ward_u\" 1 1 0, \"ward_v\" -1 1 0",
         [](const Geometry& g) {
             return Rgb{1, 0.5, 1} * (ward(g, unit({1, 1, 0}), unit({-1, 1, 0}), 8, 2) * 0.5 * g.c);
         }},
        {"ward_derivs",
         "\"ward_on\" on, \"ward_weight\" 0.5, \"ward_color\" 1 0.5 1 1, \"ward_shiny_u\" 8, "
         "\"ward_shiny_v\" 2, "
         "\"ward_derivs_frame\" on, \"ward_u\" 1 1 0, \"ward_v\" -1 1 0",
         [&](const Geometry& g) {
             return Rgb{1, 0.5, 1} * (ward(g, u, v, 8, 2) * 0.5 * g.c);
         }},
        {"strand",
         "\"strand_on\" on, \"strand_weight\" 0.8, \"strand_angle\" 300, \"strand_primary_color\" 1 0.5 0 1, "
         "\"strand_primary_exponent\" 20, \"strand_secondary_color\" 0 0.5 1 1, "
         "\"strand_secondary_exponent\" 4, \"strand_noise_amount\" 0, \"strand_noise_frequency\" 3",
         [&](const Geometry& g) {
             const Vec T = unit(rotate_in_tangent_plane(u, v, 300));
             const double t = dot(unit(g.V + g.L), T), w = std::sqrt(1 - t * t);
             EXPECT_TRUE(t > -1 && t < 0) << "on the strand's smooth cut-off: " << t;
             const double m = (3 - 2 * (t + 1)) * (t + 1) * (t + 1);
             const double f = 0.8 * g.c * m;
             return Rgb{1, 0.5, 0} * (f * std::pow(w, 20)) + Rgb{0, 0.5, 1} * (f * std::pow(w, 4));
         }},
    };
    for (const Model& m : models)
        s.defs += mega(m.name, lit + m.params);
    s.material = "diffuse_m";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));

    const float rx = 68.f, ry = 61.f;
    const miState* hit = fx.probe_eye(rx, ry);
    ASSERT_NE(hit, nullptr);
    Geometry g{to_light, unit(vec(hit->dir)), vec(hit->normal), {}, 0};
    g.V = g.dir * -1.0;
    g.c = dot(g.N, g.L);
    ASSERT_NEAR(g.N.z, 1, 1e-6);
    ASSERT_NE(hit->derivs, nullptr);
    ASSERT_NEAR(unit(vec(hit->derivs[0])).x, 1, 1e-6) << "the derivative frame is the texture frame";
    for (const Model& m : models)
        expect_rgb(fx.shade_hit(m.name, rx, ry), m.factor(g) * Lc, m.name, 2e-5);
}

// ------------------------------------------------------------------ toolkit lights

const std::vector<std::string> kLightPasses = {"tk_diffuse", "tk_shadow", "tk_specular", "tk_spec_shd"};
const std::string kLightPassSwitches =
    "\"pass_diffuse\" on, \"pass_shadow\" on, \"pass_specular\" on, \"pass_spec_shd\" on";

// Seen at the centre pixel with every light along the normal, the mirror direction: the
// cosine and the Phong factor are 1.
const std::string kDiffuseAndPhong =
    "\"diffuse_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 0.5, "
    "\"diffuse_category\" \"k\", \"phong_on\" on, \"phong_weight\" 0.25, "
    "\"phong_color\" 1 1 1 1, \"phong_exponent\" 10, \"phong_category\" \"k\", " +
    kLightPassSwitches;

void expect_light_passes(SceneFixture& fx, const Rgb& diffuse, const Rgb& shadow, const Rgb& specular,
                         const Rgb& spec_shd, double tol = 1e-5) {
    const Rgb want[] = {diffuse, shadow, specular, spec_shd};
    for (size_t k = 0; k < kLightPasses.size(); ++k) {
        const float* p = fx.sample_buffer(kLightPasses[k]);
        ASSERT_NE(p, nullptr) << kLightPasses[k];
        expect_rgb(rgb(p), want[k], kLightPasses[k], tol);
    }
}

TEST(MegaTKLights, EmitFlagsChooseWhichComponentsAToolkitLightFeeds) {
    // Red emits only diffuse light, green only specular light, blue both.
    QuadScene s;
    s.camera = rgb_buffers(kLightPasses);
    s.defs = toolkit_light("red", directional(kN), "1 0 0", 1, "k", true, false) +
             toolkit_light("green", directional(kN), "0 1 0", 1, "k", false, true) +
             toolkit_light("blue", directional(kN), "0 0 1", 1, "k", true, true) +
             mega("m", kDiffuseAndPhong + ", \"lights\" [\"red_i\", \"green_i\", \"blue_i\"]");
    s.material = "m_m";
    s.instances = {"red_i", "green_i", "blue_i"};
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(fx.shade_hit("m"), {0.5, 0.25, 0.5 + 0.25}, "result");
    const Rgb diffuse{0.5, 0, 0.5}, specular{0, 0.25, 0.25};
    expect_light_passes(fx, diffuse, diffuse, specular, specular);
}

TEST(MegaTKLights, AnAreaLightGivesTheMeanOfItsSamples) {
    // Two tiny area lights 5 above the centre pixel's point: a toolkit rectangle of 2 x 3
    // samples and a plain sphere of 2 x 2. Every sample arrives along the normal, so each
    // light gives its colour once however many samples it takes;
    // the plain light reaches only the shadowed sums.
    QuadScene s;
    s.camera = rgb_buffers(kLightPasses);
    s.defs =
        toolkit_light("panel", area_light({0, 0, 0}, "rectangle 0.002 0 0 0 0.002 0 2 3"), "1 0.5 0.25", 2) +
        plain_light("bulb", area_light({0, 0, 0}, "sphere 0.001 2 2"), "0 0.5 1") +
        mega("m", kDiffuseAndPhong + ", \"lights\" [\"panel_i\", \"bulb_i\"]");
    s.material = "m_m";
    s.instances = {"panel_i", "bulb_i"};
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    const Rgb panel{2, 1, 0.5}, both = panel + Rgb{0, 0.5, 1};
    expect_rgb(fx.shade_hit("m"), both * (0.5 + 0.25), "result");
    expect_light_passes(fx, panel * 0.5, both * 0.5, panel * 0.25, both * 0.25);
}

// ------------------------------------------------------------------ occlusion

TEST(MegaTKOcclusion, OccludedAmbientAndTheBlendsOfOcclusion) {
    // Nothing lies above the quad, so every occlusion probe misses and O = ao_color x ao_bright
    // = (0.4, 0.6, 0.8). Final gathering sees only the environment E: the irradiance is E.
    // A blend of strength a turns X into (a O + 1 - a) X for the occluded ambient,
    // the indirect light and the shadowed specular light.
    const Rgb O{0.4, 0.6, 0.8}, E{0.2, 0.4, 0.6}, Cd{0.5, 0.8, 1}, key{0.5, 1, 0.5};
    const std::vector<std::string> passes = {"tk_ambient", "tk_amb_occlus", "tk_indirect", "tk_specular",
                                             "tk_spec_shd"};
    QuadScene s;
    s.options = "samples 0 0 \"finalgather\" on \"finalgather rays\" 16";
    s.camera = rgb_buffers(passes) + "environment \"orn_constant\" (\"color\" 0.2 0.4 0.6 1)\n";
    s.defs = toolkit_light("key", directional(kN), "0.5 1 0.5");
    s.instances = {"key_i"};
    const std::string base =
        "\"diffuse_color\" 0.5 0.8 1 1, \"amb_occl_on\" on, \"amb_occl_scale\" 0.8, "
        "\"amb_occl_color\" 1 0.5 0.25 1, \"indirect_on\" on, \"indirect_color\" 1 1 1 1, "
        "\"indirect_saturation\" 1, \"phong_on\" on, \"phong_weight\" 0.5, \"phong_color\" 1 1 1 1, "
        "\"phong_exponent\" 10, \"phong_category\" \"k\", \"lights\" [\"key_i\"], \"ao_samples\" 4, "
        "\"ao_spread\" 90, \"ao_near\" 0, \"ao_far\" 10, \"ao_falloff\" 1, \"ao_gamma\" 1, "
        "\"ao_bright\" 0.4 0.6 0.8 1, \"ao_dark\" 0 0 0 1, \"ao_color\" 1 1 1 1, \"pass_ambient\" on, "
        "\"pass_amb_occlus\" on, \"pass_indirect\" on, \"pass_specular\" on, \"pass_spec_shd\" on, "
        "\"ao_on_ambient\" ";
    struct Case {
        std::string name;
        bool ao_on;
        double a; // ao_on_ambient, ao_on_indirect and ao_on_specular
    };
    const Case cases[] = {{"none", true, 0}, {"half", true, 0.5}, {"full", true, 1}, {"ao_off", false, 1}};
    for (const Case& c : cases) {
        const std::string a = std::to_string(c.a);
        s.defs += mega(c.name, base + a + ", \"ao_on_indirect\" " + a + ", \"ao_on_specular\" " + a +
                                   ", \"ao_on\" " + (c.ao_on ? "on" : "off"));
    }
    s.material = "none_m";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    for (const Case& c : cases) {
        const double a = c.ao_on ? c.a : 0;
        auto blend = [&](const Rgb& x) { return (O * a + Rgb{1 - a, 1 - a, 1 - a}) * x; };
        const Rgb Amb = Cd * Rgb{1, 0.5, 0.25} * 0.8, S = key * 0.5;
        const Rgb want[] = {Amb, blend(Amb), blend(E) * Cd, S, blend(S)};
        const miColor result = fx.shade_hit(c.name);
        expect_rgb(result, blend(Amb) + blend(E) * Cd + blend(S), c.name + " result");
        for (size_t k = 0; k < passes.size(); ++k) {
            const float* p = fx.sample_buffer(passes[k]);
            ASSERT_NE(p, nullptr) << passes[k];
            expect_rgb(rgb(p), want[k], c.name + " " + passes[k]);
        }
    }
}

// ------------------------------------------------------------------ depth

TEST(MegaTKPasses, DepthSwitchesOfReflectionAndRefractionRays) {
    // depth_reflect and depth_refract give reflection rays a green and refraction
    // rays a blue depth, but passes are written only for eye and transparency rays,
    // so neither reaches tk_z: a reflection or refraction ray leaves it as it was, and on eye
    // and transparency rays green and blue only keep what the buffer held.
    QuadScene s;
    s.camera = rgb_buffers({"tk_z"});
    s.defs = mega("m", "\"depth_on\" on, \"depth_near\" 2, \"depth_far\" 12, \"depth_transparent\" on, "
                       "\"depth_reflect\" on, \"depth_refract\" on, \"pass_z\" on");
    s.material = "m_m";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    float* z = fx.sample_buffer("tk_z");
    ASSERT_NE(z, nullptr);
    struct Case {
        int type;
        const char* what;
        Rgb z; // the centre pixel's point is 5 away
    };
    const Case cases[] = {{miRAY_REFLECT, "reflection ray", {0.25, 0.25, 0.25}},
                          {miRAY_REFRACT, "refraction ray", {0.25, 0.25, 0.25}},
                          {miRAY_EYE, "eye ray", {(5 - 2) / 10.0, 0.25, 0.25}},
                          {miRAY_TRANSPARENT, "transparency ray", {5 / 10.0, 0.25, 0.25}}};
    for (const Case& c : cases) {
        std::fill_n(z, 3, 0.25f);
        fx.shade_hit("m", 50, 50, c.type);
        expect_rgb(rgb(z), c.z, c.what);
    }
}

} // namespace
