// Lights as the renderer offers them to shaders: light lists and their samples, light
// links, inclusive and exclusive lists, shadow rays through occluders, and the reflectance
// helpers, all on real rays.
#include "support/scene_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

using orn::test::module_preamble;
using orn::test::SceneFixture;

namespace {

// Camera at the origin looking down -z at a floor quad in the plane z = -5 (normal +z).
// `lights` defines light statements and instances; `names` lists the instances to render.
std::string lit_scene(const std::string& lights, const std::string& names, const std::string& extra = "",
                      const std::string& floor_instance_extra = "") {
    return module_preamble() +
           "options \"opt\" samples 0 0 shadow on end options\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100 end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n"
           "shader \"white\" \"orn_constant\" (\"color\" 1 1 1 1)\n"
           "material \"floor_m\" = \"white\" end material\n"
           "object \"quad\" visible shadow trace group\n"
           "  -20 -20 0  20 -20 0  20 20 0  -20 20 0\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
           "instance \"floor\" \"quad\" material \"floor_m\" " +
           floor_instance_extra + " transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1 end instance\n" + lights +
           extra + "instgroup \"root\" \"cam_i\" \"floor\" " + names +
           " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

const std::string kKey = "shader \"key_c\" \"orn_constant\" (\"color\" 0.5 0.25 1 1)\n"
                         "light \"key\" = \"key_c\" direction 0 0 -1 end light\n"
                         "instance \"key_i\" \"key\" end instance\n";
// A point light 2 units above the floor, 1.5 units to the side of the image centre's point.
const std::string kPoint =
    "shader \"pt_c\" \"orn_constant\" (\"color\" 2 2 2 1)\n"
    "light \"pt\" = \"pt_c\" origin 0 0 0 end light\n"
    "instance \"pt_i\" \"pt\" transform 1 0 0 0 0 1 0 0 0 0 1 0 -1.5 0 3 1 end instance\n";

struct Seen {
    miTag tag;
    int samples;
    std::vector<miColor> colors;
    std::vector<miVector> dirs;
    std::vector<float> dots;
};

std::vector<Seen> iterate(miState* st, const miTag* list = nullptr, miUint n = 0) {
    std::vector<Seen> out;
    for (mi::shader::LightIterator it(st, list, n); !it.at_end(); ++it) {
        Seen s{*it, 0, {}, {}, {}};
        while (it->sample()) {
            miColor c;
            it->get_contribution(&c);
            s.colors.push_back(c);
            s.dirs.push_back(it->get_direction());
            s.dots.push_back(it->get_dot_nl());
        }
        s.samples = it->get_number_of_samples();
        out.push_back(s);
    }
    return out;
}

TEST(Lights, DirectionalAndPointLightSamples) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(lit_scene(kKey + kPoint, "\"key_i\" \"pt_i\"")));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    const auto seen = iterate(hit);
    ASSERT_EQ(seen.size(), 2u);
    // directional: one sample towards +z, the light's colour, cosine 1
    ASSERT_EQ(seen[0].colors.size(), 1u);
    EXPECT_EQ(seen[0].samples, 1);
    EXPECT_FLOAT_EQ(seen[0].colors[0].g, 0.25f);
    EXPECT_NEAR(seen[0].dirs[0].z, 1.f, 1e-6);
    EXPECT_NEAR(seen[0].dots[0], 1.f, 1e-6);
    // the instance maps world to light space, so the light sits at (1.5, 0, -3); seen from
    // (0, 0, -5) the direction is (1.5, 0, 2) / 2.5
    ASSERT_EQ(seen[1].colors.size(), 1u);
    const float len = 2.5f;
    EXPECT_NEAR(seen[1].dirs[0].x, 0.6f, 1e-5);
    EXPECT_NEAR(seen[1].dots[0], 0.8f, 1e-5);
    // the light shader ran on a light state that knows its distance and light instance
    EXPECT_EQ(hit->child->type, miRAY_LIGHT);
    EXPECT_NEAR(hit->child->dist, len, 1e-4);
    EXPECT_EQ(hit->child->light_instance, seen[1].tag);
}

TEST(Lights, LightsBehindTheSurfaceAreCountedButGiveNoSample) {
    const std::string below = "shader \"b_c\" \"orn_constant\" (\"color\" 1 1 1 1)\n"
                              "light \"below\" = \"b_c\" direction 0 0 1 end light\n"
                              "instance \"below_i\" \"below\" end instance\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(lit_scene(below, "\"below_i\"")));
    const auto seen = iterate(fx.probe_eye(50.f, 50.f));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].colors.empty());
    EXPECT_EQ(seen[0].samples, 1);
}

TEST(Lights, AreaLightsTakeTheirSampleGrid) {
    const std::string area = "shader \"a_c\" \"orn_constant\" (\"color\" 1 1 1 1)\n"
                             "light \"area\" = \"a_c\" origin 0 0 3 rectangle 2 0 0 0 2 0 3 2 end light\n"
                             "instance \"area_i\" \"area\" end instance\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(lit_scene(area, "\"area_i\"")));
    const auto seen = iterate(fx.probe_eye(50.f, 50.f));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].samples, 6);
    ASSERT_EQ(seen[0].dirs.size(), 6u);
    std::set<std::pair<int, int>> cells;
    for (const auto& d : seen[0].dirs) {
        // the sample lies on the rectangle 8 units above the floor point (0, 0, -5)
        const float t = 8.f / d.z;
        const float x = d.x * t, y = d.y * t;
        EXPECT_LE(std::fabs(x), 1.f + 1e-4f);
        EXPECT_LE(std::fabs(y), 1.f + 1e-4f);
        cells.insert({int((x + 1.f) / 2.f * 3.f), int((y + 1.f) / 2.f * 2.f)});
    }
    EXPECT_EQ(cells.size(), 6u) << "one sample per cell of the 3 x 2 grid";
}

TEST(Lights, LinksAndInclusiveExclusiveLists) {
    SceneFixture fx;
    ASSERT_TRUE(
        fx.load(lit_scene(kKey + kPoint, "\"key_i\" \"pt_i\"", "", "light \"exclusive\" [\"pt_i\"]")));
    miState* hit = fx.probe_eye(50.f, 50.f);
    auto& db = fx.session().db();
    const miTag key = db.lookup("key_i"), pt = db.lookup("pt_i");
    // the default lights honour the instance's light links
    auto seen = iterate(hit);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].tag, key);
    // an explicit list is taken as given
    miTag both[2] = {key, pt};
    EXPECT_EQ(iterate(hit, both, 2).size(), 2u);
    // inclusive: the listed lights the links allow; exclusive: the other allowed lights
    int n = 2;
    miTag* list = both;
    EXPECT_EQ(mi_inclusive_lightlist(&n, &list, hit), 1);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(list[0], key);
    miTag only_key[1] = {key};
    n = 1;
    list = only_key;
    mi_exclusive_lightlist(&n, &list, hit);
    EXPECT_EQ(n, 0) << "the point light is excluded by the link, the key light by the list";
}

TEST(Lights, ALinkToSomethingThatIsNoLightIsAnError) {
    SceneFixture fx;
    orn::test::MessageCapture messages;
    EXPECT_FALSE(fx.load(lit_scene(kKey, "\"key_i\"", "", "light \"exclusive\" [\"floor_m\"]")));
    EXPECT_TRUE(messages.contains("instance \"floor\": light link \"floor_m\" is not a light"));
}

TEST(Lights, ShadowRaysFilterThroughOccluders) {
    // An occluder quad 1 unit above the floor; one with a shadow shader, one without.
    const std::string occ =
        "shader \"half\" \"orn_constant\" (\"color\" 0.5 0.25 1 1)\n"
        "material \"see_through\" = \"white\" shadow = \"half\" end material\n"
        "material \"solid\" = \"white\" end material\n"
        "object \"small\" visible shadow trace group\n"
        "  -1 -1 0  1 -1 0  1 1 0  -1 1 0\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n";
    for (const bool solid : {true, false}) {
        const std::string occluder =
            std::string("instance \"occ\" \"small\" material \"") + (solid ? "solid" : "see_through") +
            "\" visible off trace off transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 4 1 end instance\n";
        SceneFixture fx;
        ASSERT_TRUE(fx.load(lit_scene(kKey + occ + occluder, "\"key_i\" \"occ\"")));
        miState* hit = fx.probe_eye(50.f, 50.f);
        ASSERT_NE(hit, nullptr);
        EXPECT_NEAR(hit->dist, 5.0, 1e-4) << "hidden occluders are not seen by eye rays";
        mi::shader::LightIterator it(hit);
        ASSERT_TRUE(it->sample());
        miColor t{1, 1, 1, 1};
        const miBoolean lit = mi_trace_shadow(&t, hit->child);
        if (solid) {
            EXPECT_FALSE(lit);
            EXPECT_EQ(t.r + t.g + t.b, 0.f);
        } else {
            EXPECT_TRUE(lit);
            EXPECT_FLOAT_EQ(t.r, 0.5f);
            EXPECT_FLOAT_EQ(t.g, 0.25f);
        }
        // beside the occluder the light arrives untouched
        miState* open = fx.probe_eye(90.f, 50.f);
        mi::shader::LightIterator it2(open);
        ASSERT_TRUE(it2->sample());
        miColor u{1, 1, 1, 1};
        EXPECT_TRUE(mi_trace_shadow(&u, open->child));
        EXPECT_EQ(u.r, 1.f);
    }
}

TEST(Lights, ReflectanceHelpers) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(lit_scene(kKey, "\"key_i\"")));
    miState* hit = fx.probe_eye(50.f, 50.f);
    // normal incidence from air into glass: ((1.5 - 1) / (1.5 + 1))^2 = 0.04
    EXPECT_NEAR(mi_fresnel_reflection(hit, 1.f, 1.5f), 0.04f, 1e-6);
    // Phong: the mirror direction of the eye ray at the centre is +z
    miVector up{0, 0, 1}, tilted = orn::normalized({1, 0, 1});
    EXPECT_FLOAT_EQ(mi_phong_specular(10.f, hit, &up), 1.f);
    EXPECT_NEAR(mi_phong_specular(2.f, hit, &tilted), 0.5f, 1e-6);
    // Ward at the mirror direction: 1 / (4 pi a^2) with a = 1 / shiny
    miVector di = hit->dir, n = hit->normal;
    EXPECT_NEAR(mi_ward_glossy(&di, &up, &n, 10.f), 100.f / (4.f * 3.14159265f), 1e-3);
    miVector u{1, 0, 0}, v{0, 1, 0};
    EXPECT_NEAR(mi_ward_anisglossy(&di, &up, &n, &u, &v, 10.f, 10.f), 100.f / (4.f * 3.14159265f), 1e-3);
    // noise: deterministic, in [0, 1], and smooth
    EXPECT_EQ(mi_noise_1d(0.37f), mi_noise_1d(0.37f));
    EXPECT_LT(std::fabs(mi_noise_2d(1.3f, 2.7f) - mi_noise_2d(1.3001f, 2.7f)), 1e-3f);
    for (float x = -5.f; x < 5.f; x += 0.173f) {
        EXPECT_GE(mi_noise_1d(x), 0.f);
        EXPECT_LE(mi_noise_1d(x), 1.f);
    }
    // query codes the materials use
    miInteger answer = -1;
    EXPECT_TRUE(mi_query(miQ_PIXEL_SAMPLE_FAILED, hit, 0, &answer));
    EXPECT_TRUE(mi_query(miQ_FINE_SAMPLE, hit, 0, &answer));
    EXPECT_EQ(answer, 0);
    miInteger type = -1;
    EXPECT_TRUE(mi_query(miQ_LIGHT_TYPE, hit, fx.session().db().lookup("key_i"), &type));
    EXPECT_EQ(type, 1);
    // total internal reflection from the dense side at a grazing angle (a new eye sample:
    // `hit` is not valid after this)
    miState* grazing = fx.probe_eye(99.f, 50.f);
    EXPECT_FLOAT_EQ(mi_fresnel_reflection(grazing, 3.f, 1.f), 1.f);
}

} // namespace
