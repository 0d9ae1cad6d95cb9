// orn_MegaTK on real rays: instance set-up and its messages, opacity, the opacity-only
// answer, light categories and light modes, the terminator fade of a replaced normal, the
// lighting models' edge cases and the result guard. Expected values are worked out here
// from the shading formulas, independently of the material's code.
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include "source/toolkit/orn_MegaTK.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

using orn::test::MessageCapture;
using orn::test::module_preamble;
using orn::test::SceneFixture;
using orn::test::zero_defaults;

namespace {

struct Vec {
    double x, y, z;
};
Vec operator+(Vec a, Vec b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec operator*(Vec a, double s) {
    return {a.x * s, a.y * s, a.z * s};
}
double dot(Vec a, Vec b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec cross(Vec a, Vec b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec unit(Vec a) {
    return a * (1.0 / std::sqrt(dot(a, a)));
}

const double kPi = 3.14159265358979323846;

// The surface is a quad at z = -5 facing the camera (normal +z), texture s along +x and t
// along +y; the centre pixel looks straight at it, so V = (0, 0, 1).
const Vec kN{0, 0, 1};
const Vec kV{0, 0, 1};

// Unit vector towards a light `degrees` from the normal, tilted towards +y.
Vec towards_light(double degrees) {
    const double a = degrees * kPi / 180.0;
    return {0, std::sin(a), std::cos(a)};
}

std::string vec_text(Vec v) {
    return std::to_string(v.x) + " " + std::to_string(v.y) + " " + std::to_string(v.z);
}

// A directional toolkit light (no shadows) shining from `to_light`, with its instance.
std::string toolkit_light(const std::string& name, Vec to_light, const std::string& color, double intensity,
                          const std::string& category, bool emit_diffuse = true) {
    return "light \"" + name + "\" \"orn_DirectTK\" (\"color\" " + color + " 1, \"intensity\" " +
           std::to_string(intensity) + ", \"emit_diffuse\" " + (emit_diffuse ? "on" : "off") +
           ", \"emit_specular\" on, \"shadow\" off, \"category\" \"" + category + "\")\n  direction " +
           vec_text(to_light * -1.0) + "\nend light\ninstance \"" + name + "_i\" \"" + name +
           "\" end instance\n";
}

// A directional light whose shader publishes no light record.
std::string plain_light(const std::string& name, Vec to_light, const std::string& color) {
    return "light \"" + name + "\" \"orn_constant\" (\"color\" " + color + " 1)\n  direction " +
           vec_text(to_light * -1.0) + "\nend light\ninstance \"" + name + "_i\" \"" + name +
           "\" end instance\n";
}

// An orn_MegaTK instance; unlisted parameters are 0 (the fur and diffuse terms are scaled by
// diffuse_color).
std::string mega(const std::string& name, const std::string& params, const std::string& opacity = "1 1 1 1",
                 int channel = 3) {
    // an index of refraction of 0 (unset) would be corrected with a warning
    const std::string ior = params.find("\"ior\"") == std::string::npos ? ", \"ior\" 1" : "";
    return "shader \"" + name + "\" \"orn_MegaTK\" (" + zero_defaults("orn_MegaTK") + "\"opacity\" " +
           opacity + ", \"opacity_channel\" " + std::to_string(channel) + ior +
           (params.empty() ? "" : ", " + params) + ")\n";
}

struct Scene {
    std::string defs;                // shaders, lights and light instances; "mat" must be defined
    std::vector<std::string> placed; // instances besides the camera and the surface
    std::string options = "samples 0 0";
    std::string behind;  // material of a quad at z = -10, if any
    std::string buffers; // the camera's frame buffers

    std::string text() const {
        std::string s =
            module_preamble() + "options \"opt\" " + options + " end options\n" +
            "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100\n" + buffers +
            "end camera\n"
            "instance \"cam_i\" \"cam\" end instance\n" +
            defs +
            "object \"quad\" visible shadow trace group\n"
            "  -20 -20 0  20 -20 0  20 20 0  -20 20 0  0 0 0  1 0 0  1 1 0  0 1 0\n"
            "  v 0 t 4 v 1 t 5 v 2 t 6 v 3 t 7\n  p 0 1 2 3\nend group end object\n"
            "instance \"surface\" \"quad\" material \"mat\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1 "
            "end instance\n";
        std::string group = "\"cam_i\" \"surface\"";
        if (!behind.empty()) {
            s += "instance \"behind\" \"quad\" material \"" + behind +
                 "\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 10 1 end instance\n";
            group += " \"behind\"";
        }
        for (const auto& p : placed)
            group += " \"" + p + "\"";
        return s + "instgroup \"root\" " + group + " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
    }
};

const megatk_instance* record_of(SceneFixture& fx, const std::string& shader) {
    auto& db = fx.session().db();
    auto* fe = db.get_as<orn::FunctionElement>(db.lookup(shader), miSCENE_FUNCTION);
    return fe ? static_cast<const megatk_instance*>(fe->function.user_slot) : nullptr;
}

orn_MegaTK_params* params_of(SceneFixture& fx, const std::string& shader) {
    auto& db = fx.session().db();
    auto* fe = db.get_as<orn::FunctionElement>(db.lookup(shader), miSCENE_FUNCTION);
    return fe ? static_cast<orn_MegaTK_params*>(fe->function.block()) : nullptr;
}

// Shades the centre pixel's hit with the named instance.
miColor shade_with(SceneFixture& fx, const std::string& shader) {
    miState* hit = fx.probe_eye(50.f, 50.f);
    miColor c{-1, -1, -1, -1};
    EXPECT_NE(hit, nullptr);
    if (hit) {
        EXPECT_TRUE(fx.call(shader, &c, hit)) << shader;
    }
    return c;
}

void expect_rgb(const miColor& c, double r, double g, double b, double tol = 1e-5) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}

// ------------------------------------------------------------------ instance set-up

TEST(MegaTKInit, IndexOfRefractionWarningsAndCorrections) {
    MessageCapture messages;
    SceneFixture fx;
    Scene s;
    s.defs =
        mega("mat_s", "\"ior\" 0, \"outside_ior\" 0") + mega("neg", "\"ior\" -1.5, \"outside_ior\" 1.33") +
        mega("out_neg", "\"ior\" 1.4, \"outside_ior\" -2") + "material \"mat\" = \"mat_s\" end material\n";
    ASSERT_TRUE(fx.load(s.text()));

    const std::string all = messages.all();
    EXPECT_NE(all.find("orn_MegaTK cannot use zero or negative index of refraction 0.000000 (using 1.0)"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("orn_MegaTK cannot use zero or negative index of refraction -1.500000 (using 1.0)"),
              std::string::npos);
    EXPECT_NE(all.find("cannot use negative index of refraction -2.000000 for orn_MegaTK (ignoring)"),
              std::string::npos);
    EXPECT_EQ(messages.of(orn::Severity::Warning).size(), 3u) << "outside_ior 0 is silent";

    const megatk_instance* zero = record_of(fx, "mat_s");
    const megatk_instance* neg = record_of(fx, "neg");
    const megatk_instance* out_neg = record_of(fx, "out_neg");
    ASSERT_TRUE(zero && neg && out_neg);
    EXPECT_EQ(zero->ior, 1.f);
    EXPECT_FALSE(zero->outside_ior_set);
    EXPECT_EQ(zero->outside_ior, 1.f);
    EXPECT_EQ(neg->ior, 1.f);
    EXPECT_TRUE(neg->outside_ior_set);
    EXPECT_FLOAT_EQ(neg->outside_ior, 1.33f);
    EXPECT_FLOAT_EQ(out_neg->ior, 1.4f);
    EXPECT_FALSE(out_neg->outside_ior_set);
    EXPECT_EQ(out_neg->outside_ior, 1.f);
}

TEST(MegaTKInit, BranchStartDepthFollowsTheSamplingLevel) {
    struct Case {
        const char* samples;
        int branch_depth, expected;
    };
    // level 2: 6 - 2 = 4, and 1 - 2 is raised to 1; level 0: always 4
    for (const Case& c : {Case{"0 2", 6, 4}, Case{"0 2", 1, 1}, Case{"0 0", 9, 4}, Case{"0 0", 1, 4}}) {
        SceneFixture fx;
        Scene s;
        s.options = std::string("samples ") + c.samples;
        s.defs = mega("m", "\"branch_depth\" " + std::to_string(c.branch_depth)) +
                 "material \"mat\" = \"m\" end material\n";
        ASSERT_TRUE(fx.load(s.text()));
        const megatk_instance* rec = record_of(fx, "m");
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->branch_start_depth, c.expected) << c.samples << " depth " << c.branch_depth;
    }
}

// ------------------------------------------------------------------ dispatch and opacity

TEST(MegaTKShading, OpacityChannelsSetCoverageAndScaleTheColour) {
    // Ambient white on a white surface, no lights, nothing behind: the result is (g, g, g, g).
    const std::string lit =
        "\"diffuse_color\" 1 1 1 1, \"ambient_on\" on, \"ambient_scale\" 1, \"ambient_color\" 1 1 1";
    struct Case {
        const char* opacity;
        int channel;
        double g;
    };
    const Case cases[] = {
        {"0.5 0.5 0.5 1", 3, 1.0},
        {"0.5 0.5 0.5 1", 5, 0.299 * 0.5 + 0.587 * 0.5 + 0.114 * 0.5},
        {"0.2 0.4 0.6 0.8", 0, 0.2},
        {"0.2 0.4 0.6 0.8", 1, 0.4},
        {"0.2 0.4 0.6 0.8", 2, 0.6},
        {"0.2 0.4 0.6 0.8", 4, 0.4},
        {"0.2 0.4 0.6 0.8", 5, 0.299 * 0.2 + 0.587 * 0.4 + 0.114 * 0.6},
        {"0.2 0.4 0.6 0.8", 9, 0.4},
        {"2 2 2 2", 3, 1.0}, // clamped
        {"-1 -1 -1 -1", 3, 0.0},
    };
    Scene s;
    int k = 0;
    for (const Case& c : cases)
        s.defs += mega("m" + std::to_string(k++), lit, c.opacity, c.channel);
    s.defs += "material \"mat\" = \"m0\" end material\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    k = 0;
    for (const Case& c : cases) {
        const miColor r = shade_with(fx, "m" + std::to_string(k++));
        EXPECT_NEAR(r.a, c.g, 1e-6) << c.opacity << " channel " << c.channel;
        expect_rgb(r, c.g, c.g, c.g, 1e-6);
    }
}

TEST(MegaTKShading, DisplacementIsRefusedAndShadowsPassTheTransparency) {
    Scene s;
    s.defs = mega("m", "\"diffuse_color\" 1 1 1 1", "0.25 0.25 0.25 0.25") +
             mega("opaque", "\"diffuse_color\" 1 1 1 1") + "material \"mat\" = \"m\" end material\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);

    hit->type = miRAY_DISPLACE;
    miColor c{0.5f, 0.25f, 0.125f, 2.f};
    EXPECT_FALSE(fx.call("m", &c, hit));
    EXPECT_EQ(c.r, 0.5f);
    EXPECT_EQ(c.g, 0.25f);
    EXPECT_EQ(c.b, 0.125f);
    EXPECT_EQ(c.a, 2.f);

    // A shadow ray keeps 1 - g of the light; an opaque surface blocks it.
    hit->type = miRAY_SHADOW;
    c = {1.f, 0.5f, 0.2f, 1.f};
    EXPECT_TRUE(fx.call("m", &c, hit));
    expect_rgb(c, 0.75, 0.375, 0.15);
    c = {1.f, 1.f, 1.f, 1.f};
    EXPECT_FALSE(fx.call("opaque", &c, hit));
    expect_rgb(c, 0, 0, 0);
}

TEST(MegaTKShading, OpacityOnlyRequestsAnswerWithCoverage) {
    Scene s;
    const std::string lit =
        "\"diffuse_color\" 1 1 1 1, \"ambient_on\" on, \"ambient_scale\" 1, \"ambient_color\" 1 1 1, "
        "\"diffuse_on\" on, \"diffuse_weight\" 1, \"light_mode\" 4";
    s.defs = mega("quarter", lit, "0.25 0.25 0.25 0.25") + mega("opaque", lit) +
             "shader \"half_red\" \"orn_constant\" (\"color\" 1 0 0 0.5)\n"
             "material \"back\" = \"half_red\" end material\nmaterial \"mat\" = \"quarter\" end material\n" +
             plain_light("sun", kN, "1 1 1");
    s.placed = {"sun_i"};
    s.behind = "back";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    int one = 1;
    ASSERT_TRUE(mi_shaderstate_set(hit, "ra_o", &one, sizeof one, 1));

    miColor c{};
    ASSERT_TRUE(fx.call("opaque", &c, hit));
    expect_rgb(c, 0, 0, 0);
    EXPECT_EQ(c.a, 1.f);
    // behind: alpha 0.5 seen through 1 - 0.25, plus the surface's own 0.25
    ASSERT_TRUE(fx.call("quarter", &c, hit));
    expect_rgb(c, 0, 0, 0);
    EXPECT_NEAR(c.a, 0.5 * 0.75 + 0.25, 1e-6);

    // Without the request the same surface shades: ambient + light over what is behind.
    mi_shaderstate_set(hit, "ra_o", nullptr, 0, 1);
    ASSERT_TRUE(fx.call("quarter", &c, hit));
    EXPECT_NEAR(c.r, 1.0 * 0.75 + 0.25 * 2.0, 1e-5);
    EXPECT_NEAR(c.g, 0.25 * 2.0, 1e-5);
    EXPECT_NEAR(c.a, 0.5 + 0.25, 1e-6);
}

// ------------------------------------------------------------------ direct light

TEST(MegaTKLights, DiffuseUnderADirectionalToolkitLight) {
    const Vec L = towards_light(40.0);
    const double cos_t = dot(L, kN);
    Scene s;
    const std::string base = "\"diffuse_color\" 0.8 0.6 0.4 1, \"diffuse_on\" on, \"diffuse_weight\" 0.7, "
                             "\"diffuse_category\" \"key\", \"lights\" [\"key_i\"]";
    s.defs = toolkit_light("key", L, "1 0.5 0.25", 2.0, "key") + mega("lambert", base) +
             mega("soft", base + ", \"diffuse_softness\" 1") +
             "material \"mat\" = \"lambert\" end material\n";
    s.placed = {"key_i"};
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));

    bool hit = false;
    const miColor c = fx.shade(50.f, 50.f, &hit);
    ASSERT_TRUE(hit);
    const double k = 0.7 * 2.0 * cos_t;
    expect_rgb(c, 0.8 * 1.0 * k, 0.6 * 0.5 * k, 0.4 * 0.25 * k);
    EXPECT_EQ(c.a, 1.f);

    // softness 1: the cosine is raised to 1/2
    const double ks = 0.7 * 2.0 * std::sqrt(cos_t);
    expect_rgb(shade_with(fx, "soft"), 0.8 * ks, 0.6 * 0.5 * ks, 0.4 * 0.25 * ks);
}

// Three lights straight along the normal: toolkit "key" red, toolkit "rim" green, plain blue.
Scene category_scene() {
    Scene s;
    const std::string all = "\"diffuse_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 1, "
                            "\"lights\" [\"key_i\", \"rim_i\", \"plain_i\"]";
    s.defs = toolkit_light("key", kN, "1 0 0", 1.0, "key") + toolkit_light("rim", kN, "0 1 0", 1.0, "rim") +
             toolkit_light("dark", kN, "1 1 1", 1.0, "key", false) + plain_light("plain", kN, "0 0 1") +
             mega("key_c", all + ", \"diffuse_category\" \"key\"") +
             mega("rim_c", all + ", \"diffuse_category\" \"rim\"") + mega("none_c", all) +
             mega("dark_c", "\"diffuse_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 1, "
                            "\"diffuse_category\" \"key\", \"lights\" [\"dark_i\"]") +
             "material \"mat\" = \"key_c\" end material\n";
    s.placed = {"key_i", "rim_i", "dark_i", "plain_i"};
    return s;
}

TEST(MegaTKLights, CategoriesSelectToolkitLightsAndPlainLightsLightEverything) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(category_scene().text()));
    expect_rgb(shade_with(fx, "key_c"), 1, 0, 1);  // key + plain
    expect_rgb(shade_with(fx, "rim_c"), 0, 1, 1);  // rim + plain
    expect_rgb(shade_with(fx, "none_c"), 0, 0, 1); // a component without category takes no named light
    expect_rgb(shade_with(fx, "dark_c"), 0, 0, 0); // a light that emits no diffuse light
}

// Each light group's share of the result of the last shader called on `state`.
std::vector<miColor> shares(miState* state) {
    const int n = mi_lightgroup_count(state);
    const miColor* r = mi_lightgroup_result(state);
    return r ? std::vector<miColor>(r, r + n) : std::vector<miColor>{};
}

TEST(MegaTKLights, LightGroupsSplitTheResultByLight) {
    MessageCapture quiet; // the rim lights no component of the surface and says so
    // key_c takes the red key and the blue plain light: (1, 0, 1).
    Scene s = category_scene();
    s.buffers = orn::test::rgb_buffers({"tk_lightgroup_key", "tk_lightgroup_rim", "tk_lightgroup_rest"});
    {
        SceneFixture fx;
        ASSERT_TRUE(fx.load(s.text()));
        const auto& groups = fx.frame().light_groups();
        ASSERT_EQ(groups.count(), 2); // the categories; the plain light is in no group
        EXPECT_EQ(groups.name(0), "key");
        miState* hit = fx.probe_eye(50.f, 50.f);
        miColor c{};
        ASSERT_TRUE(fx.call("key_c", &c, hit));
        const auto g = shares(hit);
        ASSERT_EQ(g.size(), 2u);
        expect_rgb(g[0], 1, 0, 0); // key
        expect_rgb(g[1], 0, 0, 0); // rim lights another component
    }
    // Placed by name, the plain light has a group of its own, and the key joins it (the dark
    // light keeps the key's category group, the rim its own).
    s.options += " lightgroup \"cool\" [\"plain_i\", \"key\"]";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    ASSERT_EQ(fx.frame().light_groups().count(), 3);
    EXPECT_EQ(fx.frame().light_groups().name(0), "cool");
    miState* hit = fx.probe_eye(50.f, 50.f);
    miColor c{};
    ASSERT_TRUE(fx.call("key_c", &c, hit));
    expect_rgb(shares(hit)[0], 1, 0, 1);
}

TEST(MegaTKLights, LightGroupMistakesAreNamed) {
    Scene s = category_scene();
    s.buffers = orn::test::rgb_buffers({"tk_lightgroup_key"});
    s.options += " lightgroup \"a\" \"key_i\" lightgroup \"b\" [\"key_i\", \"plain_i\"]"
                 " lightgroup \"typo\" \"plian_i\" lightgroup \"rest\" \"rim_i\"";
    SceneFixture fx;
    MessageCapture messages;
    ASSERT_TRUE(fx.load(s.text()));
    for (const char* text : {"light \"key_i\" is in light groups \"a\" and \"b\"; it stays in \"a\"",
                             "light group \"typo\": no light is named \"plian_i\"; did you mean \"plain_i\"?",
                             "light group \"typo\" holds no light of the rendered scene; it gets no layer",
                             "light group \"rest\": \"rest\" is the layer of every light outside the groups"})
        EXPECT_TRUE(messages.contains(text)) << text << "\n" << messages.all();
    // a holds the key, b the plain light; rim stays in the rest, dark has its category
    const auto& groups = fx.frame().light_groups();
    ASSERT_EQ(groups.count(), 3);
    EXPECT_EQ(groups.name(0), "a");
    EXPECT_EQ(groups.name(1), "b");
    EXPECT_EQ(groups.name(2), "key");

    // A frame buffer named like an ID-matte layer keeps its own values; the mattes are left out.
    s.buffers += orn::test::rgb_buffers({"CryptoObject01"});
    s.options += " cryptomatte \"object\"";
    SceneFixture clash;
    ASSERT_TRUE(clash.load(s.text()));
    EXPECT_TRUE(messages.contains("frame buffer \"CryptoObject01\" has the name of an ID-matte layer; no ID "
                                  "mattes are written"))
        << messages.all();
    EXPECT_FALSE(clash.frame().id_mattes().on());
}

// Every group keeps a layer of its own: names that keep the same letters, or differ from
// another's (or the rest's) only in case, are told apart with a number, and each character that
// a layer name cannot hold is one '_' however many bytes it takes. A light's own statement names
// its group ahead of its category; the options' entries still come first.
TEST(MegaTKLights, LightGroupNamesKeepTheirOwnLayers) {
    auto with_group = [](std::string light, const std::string& group) {
        return light.replace(light.find("\nend light"), 0, "\n  lightgroup \"" + group + "\"");
    };
    Scene s;
    s.defs = toolkit_light("one", kN, "1 0 0", 1.0, "a.b") + toolkit_light("two", kN, "0 1 0", 1.0, "a_b") +
             toolkit_light("three", kN, "0 0 1", 1.0, "Rest") +
             with_group(plain_light("four", kN, "1 1 0"), "rim/\xc3\xa4") +
             with_group(toolkit_light("five", kN, "0 1 1", 1.0, "key"), "mine") +
             with_group(toolkit_light("six", kN, "1 0 1", 1.0, "key"), "mine") +
             mega("surf", "\"diffuse_on\" on, \"diffuse_color\" 1 1 1 1") +
             "material \"mat\" = \"surf\" end material\n";
    s.placed = {"one_i", "two_i", "three_i", "four_i", "five_i", "six_i"};
    s.options += " lightgroup \"A_B\" \"six_i\"";
    SceneFixture fx;
    MessageCapture messages;
    ASSERT_TRUE(fx.load(s.text()));
    const auto& groups = fx.frame().light_groups();
    const std::vector<std::string> expected = {"A_B", "a_b_2", "a_b_3", "Rest_2", "rim__", "mine"};
    ASSERT_EQ(groups.count(), int(expected.size()));
    for (int g = 0; g < groups.count(); ++g)
        EXPECT_EQ(groups.name(g), expected[size_t(g)]);
    const orn::Database& db = fx.session().db();
    const std::pair<const char*, int> placed[] = {{"six_i", 0},   {"one_i", 1},  {"two_i", 2},
                                                  {"three_i", 3}, {"four_i", 4}, {"five_i", 5}};
    for (const auto& [instance, group] : placed)
        EXPECT_EQ(groups.group_of(db.lookup(instance)), group) << instance;
    for (const char* text :
         {"light group \"a.b\" would share its layer with light group \"A_B\" (\"lightgroup_A_B\": layer "
          "names "
          "keep letters, digits, _ and -, and file names may ignore case); its layer is \"lightgroup_a_b_2\"",
          "light group \"a_b\" would share its layer with light group \"A_B\"",
          "its layer is \"lightgroup_a_b_3\"",
          "light group \"Rest\" would share its layer with the rest (\"lightgroup_rest\""})
        EXPECT_TRUE(messages.contains(text)) << text << "\n" << messages.all();
}

TEST(MegaTKLights, CategoriesThatNeverMeetAreNamedBeforeTheFrame) {
    auto warnings = [](const std::string& material, const std::string& behind = "") {
        Scene s;
        s.behind = behind;
        s.defs = toolkit_light("key", kN, "1 0 0", 1.0, "key") +
                 toolkit_light("fill", kN, "0 1 0", 1.0, "fill") +
                 mega("typo", "\"diffuse_on\" on, \"diffuse_category\" \"Key\"") + mega("none", "") +
                 "material \"hair_m\" \"orn_HairTK\" () end material\n" + "material \"mat\" = \"" + material +
                 "\" end material\n";
        s.placed = {"key_i", "fill_i"};
        SceneFixture fx;
        MessageCapture messages;
        EXPECT_TRUE(fx.load(s.text()));
        return messages.of(orn::Severity::Warning);
    };
    auto has = [](const std::vector<std::string>& all, const std::string& text) {
        return std::count_if(all.begin(), all.end(),
                             [&](const std::string& m) { return m.find(text) != std::string::npos; });
    };
    const auto typo = warnings("typo");
    EXPECT_EQ(has(typo, "material \"mat\": no light has the category \"Key\" of its \"diffuse_category\" (a "
                        "light has \"key\": only the case differs)"),
              1);
    EXPECT_EQ(has(typo, "light \"key_i\": no material component names its category \"key\" (a material "
                        "names \"Key\": only the case differs)"),
              1);
    EXPECT_EQ(has(typo, "light \"fill_i\": no material component names its category \"fill\", so it"), 1);
    // Hair takes every light whatever its category: only the slip of case is left to name.
    const auto with_hair = warnings("typo", "hair_m");
    EXPECT_EQ(has(with_hair, "light \"key_i\": no material component names its category \"key\""), 1);
    EXPECT_EQ(has(with_hair, "light \"fill_i\""), 0);
    // every light has a category and the material names none: nothing lights it
    const auto none = warnings("none");
    EXPECT_EQ(has(none, "material \"mat\" names no light category, so the lights with one (\"key_i\", "
                        "\"fill_i\") do not light it; it renders black"),
              1);
}

TEST(MegaTKLights, LightModesChooseTheLightList) {
    Scene s = category_scene();
    const std::string d = "\"diffuse_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 1";
    s.defs += mega("mode0", d + ", \"light_mode\" 0, \"lights\" [\"plain_i\"]") +
              mega("mode0_empty", d + ", \"light_mode\" 0") +
              mega("mode1", d + ", \"light_mode\" 1, \"lights\" [\"plain_i\"]") +
              mega("mode2", d + ", \"light_mode\" 2, \"lights\" [\"plain_i\"]") +
              mega("mode4", d + ", \"light_mode\" 4") + mega("mode3_empty", d + ", \"light_mode\" 3");
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade_with(fx, "mode0"), 0, 0, 1);
    expect_rgb(shade_with(fx, "mode0_empty"), 0, 0, 0);
    expect_rgb(shade_with(fx, "mode1"), 0, 0, 1);
    // Every light but the plain one: the toolkit lights all have categories, which an
    // uncategorised component does not take.
    expect_rgb(shade_with(fx, "mode2"), 0, 0, 0);
    // All lights, even with an empty array; in mode 3 an empty array is handed to the light
    // iterator, which then supplies every light
    expect_rgb(shade_with(fx, "mode4"), 0, 0, 1);
    expect_rgb(shade_with(fx, "mode3_empty"), 0, 0, 1);
}

TEST(MegaTKLights, AReplacedNormalFadesOutAtTheTerminator) {
    // The light grazes the surface (cosine 0.1); the replaced normal leans towards it.
    const Vec L = unit({0, std::sqrt(1 - 0.01), 0.1});
    const Vec Nr = unit({0, 1, 1});
    const double c = dot(L, kN), cr = dot(L, Nr);
    const double faded = (1 - 5 * c) * c + 5 * c * cr;
    Scene s;
    s.defs =
        plain_light("sun", L, "1 1 1") +
        mega("m", "\"diffuse_color\" 1 1 1 1, \"diffuse_on\" on, \"diffuse_weight\" 1, \"normal_on\" on, "
                  "\"normal_vector\" 0 1 1, \"lights\" [\"sun_i\"]") +
        "material \"mat\" = \"m\" end material\n";
    s.placed = {"sun_i"};
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    const miVector n0 = hit->normal;
    const double dot_nd0 = hit->dot_nd;
    miColor r{};
    ASSERT_TRUE(fx.call("m", &r, hit));
    expect_rgb(r, faded, faded, faded);
    EXPECT_EQ(hit->normal.z, n0.z); // the renderer's normal is back
    EXPECT_EQ(hit->dot_nd, dot_nd0);
}

// ------------------------------------------------------------------ lighting models

TEST(MegaTKModels, BlinnWithEccentricityOneHasAFlatDistribution) {
    const Vec L = towards_light(30.0);
    Scene s;
    s.defs = toolkit_light("key", L, "1 1 1", 1.5, "k") +
             mega("m", "\"blinn_on\" on, \"blinn_weight\" 0.8, \"blinn_color\" 1 0.5 0.25 1, "
                       "\"blinn_eccentricity\" 1, \"blinn_reflectivity\" 0.5, \"blinn_category\" \"k\", "
                       "\"lights\" [\"key_i\"]") +
             "material \"mat\" = \"m\" end material\n";
    s.placed = {"key_i"};
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));

    const Vec H = unit(L + kV);
    const double nh = dot(H, kN), vh = dot(kV, H), nl = dot(L, kN), nv = dot(kV, kN);
    const double q = -100000.0;
    const double D = std::pow((q + 1) / (nh * nh + q), 2);
    EXPECT_NEAR(D, 1.0, 1e-5);
    ASSERT_LE(nl, nv);
    const double t = 2 * nh * nl;
    const double G = vh <= t ? 1 / nv : t / (nv * vh);
    const double m = std::pow(1 - vh, 3);
    const double F = m + (1 - m) * 0.5;
    const double k = F * G * D * 0.8 * 1.5;
    expect_rgb(shade_with(fx, "m"), k, 0.5 * k, 0.25 * k);
}

TEST(MegaTKModels, ToonSharpnessOneGivesAHardEdge) {
    const Vec L = towards_light(30.0); // 1.2 cos 30 > 1: the highlight is not shrunk
    const double h = dot(unit(kV + L), kN);
    auto threshold = [](double size) { return std::pow(1 - size * 0.5, 0.3); };
    ASSERT_GT(h, threshold(0.3));
    ASSERT_LT(h, threshold(0.2));
    Scene s;
    const std::string toon =
        "\"toon_on\" on, \"toon_weight\" 0.5, \"toon_color\" 1 0.5 0 1, \"lights\" [\"key_i\"], "
        "\"toon_category\" \"k\"";
    s.defs = toolkit_light("key", L, "1 1 1", 1.0, "k") +
             mega("inside", toon + ", \"toon_size\" 0.3, \"toon_sharpness\" 1") +
             mega("outside", toon + ", \"toon_size\" 0.2, \"toon_sharpness\" 1") +
             mega("ramp", toon + ", \"toon_size\" 0.2, \"toon_sharpness\" 0.5") +
             "material \"mat\" = \"inside\" end material\n";
    s.placed = {"key_i"};
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    expect_rgb(shade_with(fx, "inside"), 0.5, 0.25, 0);
    expect_rgb(shade_with(fx, "outside"), 0, 0, 0);
    const double r = threshold(0.2), w = 0.5 * 0.25;
    const double f = (h - (r - w)) / w;
    expect_rgb(shade_with(fx, "ramp"), 0.5 * f, 0.25 * f, 0);
}

TEST(MegaTKModels, FurDirectionTurnsFromUTowardsV) {
    const Vec L = towards_light(30.0);
    const Vec u{1, 0, 0}, v{0, 1, 0}; // texture s and t directions of the quad
    struct Case {
        const char* angle;
        Vec F;
    };
    const Case cases[] = {{"90", v}, {"180", u * -1.0}, {"45", unit(u * 0.5 + v * 0.5)}};
    // density 1 x hair area (0.1 + 0.2) x 1 x 0.5; no terminator darkening
    const double area = 0.15, scatter = 0.3 + 0.2, self_shadow = 0.5;
    const Vec skin{1, 0.5, 0.25};
    auto cover = [&](Vec F, Vec X) {
        double x = area * std::sqrt(dot(cross(F, X), cross(F, X)));
        if (dot(X, kN) > 0.00001) x /= dot(X, kN);
        return 1 - 1 / std::exp(x);
    };

    Scene s;
    s.defs = toolkit_light("key", L, "1 1 1", 1.0, "k");
    for (const Case& c : cases)
        s.defs +=
            mega(std::string("fur") + c.angle,
                 std::string("\"diffuse_color\" 1 1 1 1, \"fur_on\" on, \"fur_weight\" 1, \"fur_angle\" ") +
                     c.angle +
                     ", \"fur_skin_color\" 1 0.5 0.25 1, \"fur_density\" 1, \"fur_reflect\" 0.3, "
                     "\"fur_transmit\" 0.2, \"fur_self_shadow\" 0.5, \"fur_terminator\" 0, "
                     "\"fur_terminator_end\" 1, \"fur_length\" 1, \"fur_base_width\" 0.2, "
                     "\"fur_tip_width\" 0.1, \"fur_category\" \"k\", \"lights\" [\"key_i\"]");
    s.defs += "material \"mat\" = \"fur90\" end material\n";
    s.placed = {"key_i"};
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));

    std::vector<double> reds;
    for (const Case& c : cases) {
        const double aV = cover(c.F, kV), aL = cover(c.F, L), nl = dot(L, kN);
        const double skin_part = (1 - aV) * nl * (1 - aL);
        const double hair_part = aV * scatter * nl * (1 - aL * self_shadow);
        const miColor r = shade_with(fx, std::string("fur") + c.angle);
        expect_rgb(r, skin_part * skin.x + hair_part, skin_part * skin.y + hair_part,
                   skin_part * skin.z + hair_part);
        reds.push_back(r.r);
    }
    // the three directions are told apart
    EXPECT_GT(std::fabs(reds[0] - reds[1]), 1e-4);
    EXPECT_GT(std::fabs(reds[0] - reds[2]), 1e-4);
}

// ------------------------------------------------------------------ result guard

TEST(MegaTKShading, NaNAndInfiniteResultsAreReplacedWithWarnings) {
    Scene s;
    s.defs =
        mega("m",
             "\"diffuse_color\" 1 1 1 1, \"ambient_on\" on, \"ambient_scale\" 1, \"ambient_color\" 1 1 1") +
        "material \"mat\" = \"m\" end material\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    orn_MegaTK_params* p = params_of(fx, "m");
    ASSERT_NE(p, nullptr);
    p->diffuse_color.r = std::numeric_limits<float>::quiet_NaN();
    p->ambient_color.g = std::numeric_limits<float>::infinity();

    MessageCapture messages;
    const miColor c = shade_with(fx, "m");
    expect_rgb(c, 0, 0, 1);
    EXPECT_EQ(c.a, 1.f);
    const auto warnings = messages.of(orn::Severity::Warning);
    ASSERT_EQ(warnings.size(), 2u) << messages.all();
    EXPECT_NE(warnings[0].find("orn_MegaTK shader return NaN or infinite R value. Replaced with zero"),
              std::string::npos);
    EXPECT_NE(warnings[1].find("orn_MegaTK shader return NaN or infinite G value. Replaced with zero"),
              std::string::npos);
}

TEST(MegaTKShading, ANaNOpacityMakesTheSurfaceTransparentWithOneWarning) {
    Scene s;
    s.behind = "behind_m";
    const std::string lit = "\"diffuse_color\" 1 1 1 1, \"ambient_on\" on, \"ambient_scale\" 1, "
                            "\"ambient_color\" 1 0.5 0.25";
    s.defs = "shader \"nan_c\" \"orn_constant\" (\"color\" 1 1 1 1)\n"
             "material \"behind_m\" \"orn_constant\" (\"color\" 0.25 0.5 1 1) end material\n" +
             mega("m", lit, "= \"nan_c\"") + "material \"mat\" = \"m\" end material\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(s.text()));
    auto& db = fx.session().db();
    auto* fe = db.get_as<orn::FunctionElement>(db.lookup("nan_c"), miSCENE_FUNCTION);
    ASSERT_NE(fe, nullptr);
    static_cast<miColor*>(fe->function.block())->a = std::numeric_limits<float>::quiet_NaN();

    MessageCapture messages;
    // fully transparent: the quad behind shows through unchanged, twice with one warning
    for (int i = 0; i < 2; ++i)
        expect_rgb(shade_with(fx, "m"), 0.25f, 0.5f, 1.f);
    EXPECT_EQ(messages.of(orn::Severity::Warning).size(), 1u) << messages.all();
    EXPECT_TRUE(messages.contains("orn_MegaTK: the opacity is NaN"));
}

} // namespace

namespace {

TEST(MegaTKModels, WithoutTextureCoordinatesTheTangentFrameWarnsAndShadingGoesOn) {
    Scene s;
    s.defs = toolkit_light("key", towards_light(30.0), "1 1 1", 1.0, "") +
             mega("fur", "\"diffuse_on\" on, \"diffuse_color\" 1 1 1 1, \"diffuse_weight\" 1, \"fur_on\" on, "
                         "\"fur_weight\" 1, \"fur_angle\" 30, \"fur_density\" 1, \"fur_reflect\" 0.3, "
                         "\"fur_length\" 1, \"fur_base_width\" 0.2, \"lights\" [\"key_i\"]") +
             "material \"mat\" = \"fur\" end material\n";
    s.placed = {"key_i"};
    std::string text = s.text();
    // the same quad without its texture vectors
    const std::string with = "  -20 -20 0  20 -20 0  20 20 0  -20 20 0  0 0 0  1 0 0  1 1 0  0 1 0\n"
                             "  v 0 t 4 v 1 t 5 v 2 t 6 v 3 t 7\n";
    const auto at = text.find(with);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, with.size(), "  -20 -20 0  20 -20 0  20 20 0  -20 20 0\n  v 0 v 1 v 2 v 3\n");
    SceneFixture fx;
    ASSERT_TRUE(fx.load(text));
    orn::test::MessageCapture messages;
    const miColor c = shade_with(fx, "fur");
    EXPECT_TRUE(messages.contains("Object does not have ST coordinates!"));
    EXPECT_TRUE(std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b));
    EXPECT_GT(c.r, 0.f);
}

} // namespace
