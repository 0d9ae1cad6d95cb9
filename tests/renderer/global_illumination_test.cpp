// Indirect light as the renderer offers it: the photon map's estimate, final gathering,
// ray falloff and the photon scatter choice.
#include "support/scene_fixture.h"

#include "photon/photon_map.h"

#include <gtest/gtest.h>

#include <cmath>

using orn::test::module_preamble;
using orn::test::SceneFixture;

namespace {

// Camera at the origin looking down -z at a floor quad in z = -5; `options` and `extra`
// go into the options block and before the instgroup.
std::string scene(const std::string& options, const std::string& extra = "", const std::string& names = "") {
    return module_preamble() + "options \"opt\" samples 0 0 " + options +
           " end options\n"
           "shader \"sky\" \"orn_constant\" (\"color\" 0.5 0.25 1 1)\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 10 10 environment = \"sky\" end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n"
           "shader \"white\" \"orn_constant\" (\"color\" 1 1 1 1)\n"
           "material \"floor_m\" = \"white\" end material\n"
           "object \"quad\" visible shadow trace group\n"
           "  -20 -20 0  20 -20 0  20 20 0  -20 20 0\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
           "instance \"floor\" \"quad\" material \"floor_m\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1 end "
           "instance\n" +
           extra + "instgroup \"root\" \"cam_i\" \"floor\" " + names +
           " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

TEST(PhotonMap, EstimateRecoversAUniformFluxDensity) {
    // 40000 photons of power 0.01 spread evenly over a 10 x 10 square: 4 per unit area.
    orn::PhotonMap map;
    for (int i = 0; i < 200; ++i)
        for (int j = 0; j < 200; ++j)
            map.store({{-5.f + (i + 0.5f) * 0.05f, -5.f + (j + 0.5f) * 0.05f, 0.f},
                       {0, 0, -1},
                       {0.01f, 0.02f, 0.f, 0}});
    map.build();
    const miColor e = map.irradiance({0.01f, 0.02f, 0.f}, {0, 0, 1}, 200, 0.f);
    EXPECT_NEAR(e.r, 4.f, 0.25f);
    EXPECT_NEAR(e.g, 8.f, 0.5f);
    // photons arriving from the other side do not light this side
    const miColor back = map.irradiance({0.f, 0.f, 0.f}, {0, 0, -1}, 200, 0.f);
    EXPECT_EQ(back.r, 0.f);
}

TEST(FinalGather, OpenSkyGivesTheEnvironmentAndACeilingItsColour) {
    {
        SceneFixture fx;
        ASSERT_TRUE(fx.load(scene("\"finalgather\" on \"finalgather rays\" 32")));
        miState* hit = fx.probe_eye(5.f, 5.f);
        ASSERT_NE(hit, nullptr);
        miColor e;
        ASSERT_TRUE(mi_compute_irradiance(&e, hit));
        // every gather ray misses and finds the environment
        EXPECT_NEAR(e.r, 0.5f, 1e-5);
        EXPECT_NEAR(e.b, 1.f, 1e-5);
    }
    {
        // a huge grey ceiling behind the camera, at z = 0.5, closes the floor's hemisphere
        // to within 0.2 degrees of the horizon, where no gather ray of 32 goes
        const std::string ceiling = "shader \"grey\" \"orn_constant\" (\"color\" 0.3 0.3 0.3 1)\n"
                                    "material \"grey_m\" = \"grey\" end material\n"
                                    "instance \"lid\" \"quad\" material \"grey_m\" "
                                    "transform 0.01 0 0 0 0 0.01 0 0 0 0 0.01 0 0 0 -0.005 1 end instance\n";
        SceneFixture fx;
        ASSERT_TRUE(fx.load(scene("\"finalgather\" on \"finalgather rays\" 32", ceiling, "\"lid\"")));
        miState* hit = fx.probe_eye(5.f, 5.f);
        ASSERT_NE(hit, nullptr);
        miColor e;
        ASSERT_TRUE(mi_compute_irradiance(&e, hit));
        EXPECT_NEAR(e.r, 0.3f, 1e-5);
    }
    {
        // without final gathering or photons there is no indirect light
        SceneFixture fx;
        ASSERT_TRUE(fx.load(scene("")));
        miColor e{1, 1, 1, 1};
        ASSERT_TRUE(mi_compute_irradiance(&e, fx.probe_eye(5.f, 5.f)));
        EXPECT_EQ(e.r + e.g + e.b, 0.f);
    }
}

TEST(RayFalloff, HitsFadeTowardsTheEnvironmentAndTheOldFalloffComesBack) {
    // A second quad 10 units behind the camera at z = +5, facing it.
    const std::string back = "shader \"green\" \"orn_constant\" (\"color\" 0 1 0 1)\n"
                             "material \"green_m\" = \"green\" end material\n"
                             "instance \"back\" \"quad\" material \"green_m\" visible off "
                             "transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 -5 1 end instance\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("", back, "\"back\"")));
    miState* hit = fx.probe_eye(5.f, 5.f);
    ASSERT_NE(hit, nullptr);
    miVector up{0, 0, 1};
    double start = 5, stop = 15;
    mi_ray_falloff(hit, &start, &stop);
    EXPECT_EQ(start, 0.0);
    EXPECT_EQ(stop, 0.0);
    miColor c{};
    ASSERT_TRUE(mi_trace_reflection(&c, hit, &up));
    // the green quad at distance 10 lies half way: half green, half sky
    EXPECT_NEAR(c.g, 0.5f + 0.5f * 0.25f, 1e-5);
    EXPECT_NEAR(c.b, 0.5f * 1.f, 1e-5);
    EXPECT_EQ(hit->child->type, miRAY_REFLECT);
    // restoring: the second call gives back what the first set
    mi_ray_falloff(hit, &start, &stop);
    EXPECT_EQ(start, 5.0);
    EXPECT_EQ(stop, 15.0);
    ASSERT_TRUE(mi_trace_reflection(&c, hit, &up));
    EXPECT_EQ(c.g, 1.f);
    // a falloff that ends before the quad makes it a miss
    start = 1;
    stop = 8;
    mi_ray_falloff(hit, &start, &stop);
    EXPECT_FALSE(mi_trace_reflection(&c, hit, &up));
}

TEST(ScatterChoice, StrengthsWeightTheChoiceAndKeepTheExpectedPower) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("")));
    int diffuse = 0, specular = 0, absorbed = 0;
    for (int px = 0; px < 10; ++px)
        for (int py = 0; py < 10; ++py) {
            miState* hit = fx.probe_eye(px + 0.5f, py + 0.5f);
            miColor rd{0.3f, 0.3f, 0.3f, 0}, rs{0.2f, 0.2f, 0.2f, 0};
            const int t = mi_choose_simple_scatter_type(hit, &rd, &rs, nullptr, nullptr);
            if (t == miPHOTON_REFLECT_DIFFUSE) {
                ++diffuse;
                EXPECT_NEAR(rd.r, 1.f, 1e-6) << "divided by its probability 0.3";
            } else if (t == miPHOTON_REFLECT_SPECULAR) {
                ++specular;
                EXPECT_NEAR(rs.r, 1.f, 1e-6);
            } else {
                EXPECT_EQ(t, miPHOTON_ABSORB);
                ++absorbed;
            }
        }
    // 100 draws: about 30 diffuse, 20 specular, 50 absorbed
    EXPECT_NEAR(diffuse, 30, 15);
    EXPECT_NEAR(specular, 20, 12);
    EXPECT_NEAR(absorbed, 50, 17);
    miColor black{0, 0, 0, 0};
    EXPECT_EQ(mi_choose_simple_scatter_type(fx.probe_eye(1, 1), &black, nullptr, nullptr, nullptr),
              miPHOTON_ABSORB);
}

} // namespace
