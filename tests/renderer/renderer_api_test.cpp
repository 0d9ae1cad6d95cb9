// The renderer functions shaders rely on, exercised on states the renderer builds for real
// rays: the state chain and ray levels, secondary rays, parameter connections, instance
// slots, shader-state keys, sampling and the space transforms.
#include "support/scene_fixture.h"

#include "film/film.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

using orn::test::module_preamble;
using orn::test::SceneFixture;

namespace {

// Camera at the origin looking down -z, 100 x 100 pixels, a 90 degree field of view.
// A red quad at z = -5 faces the camera; a green quad at z = +5 faces it from behind.
std::string two_quads(const std::string& extra = "", const std::string& options = "trace depth 2 2 4") {
    return module_preamble() + "options \"opt\" samples 0 0 " + options +
           " end options\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100 end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n"
           "shader \"red_c\" \"orn_constant\" (\"color\" 1 0 0 1)\n"
           "shader \"green_c\" \"orn_constant\" (\"color\" 0 1 0 1)\n"
           "material \"red\" = \"red_c\" end material\n"
           "material \"green\" = \"green_c\" end material\n"
           "object \"quad\" visible shadow trace group\n"
           "  -20 -20 0  20 -20 0  20 20 0  -20 20 0  0 0 0  1 0 0  1 1 0  0 1 0\n"
           "  v 0 t 4 v 1 t 5 v 2 t 6 v 3 t 7\n  p 0 1 2 3\nend group end object\n"
           "instance \"front\" \"quad\" material \"red\" label 7 transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1 "
           "end instance\n"
           "instance \"back\" \"quad\" material \"green\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 -5 1 end "
           "instance\n" +
           extra +
           "instgroup \"root\" \"cam_i\" \"front\" \"back\" end instgroup\nrender \"root\" \"cam_i\" "
           "\"opt\"\n";
}

TEST(Tracing, EyeHitFillsTheStateAndChainsToItsParent) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(two_quads()));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    EXPECT_NEAR(hit->dist, 5.0, 1e-5);
    EXPECT_NEAR(hit->point.z, -5.f, 1e-5);
    // normals face the ray
    EXPECT_NEAR(hit->normal.z, 1.f, 1e-6);
    EXPECT_LT(hit->dot_nd, 0.0);
    EXPECT_EQ(hit->label, 7u);
    ASSERT_NE(hit->parent, nullptr);
    EXPECT_EQ(hit->parent->child, hit);
    ASSERT_NE(hit->tex_list, nullptr);
    // texture space: quad corners (-20,-20) -> (0,0) and (20,20) -> (1,1)
    EXPECT_NEAR(hit->tex_list[0].x, 0.5f, 1e-5);
    EXPECT_NEAR(hit->tex_list[0].y, 0.5f, 1e-5);
    int ntex = 0;
    ASSERT_TRUE(mi_query(miQ_NUM_TEXTURES, hit, 0, &ntex));
    EXPECT_EQ(ntex, 1);

    miColor c{};
    bool was_hit = false;
    c = fx.shade(50.f, 50.f, &was_hit);
    EXPECT_TRUE(was_hit);
    EXPECT_EQ(c.r, 1.f);
    EXPECT_EQ(c.g, 0.f);
}

TEST(Tracing, ReflectionRaysCountLevelsAndStopAtTheDepth) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(two_quads("", "trace depth 1 1 2")));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    miVector dir;
    mi_reflection_dir_specular(&dir, hit);
    EXPECT_NEAR(dir.z, 1.f, 1e-6); // straight back towards the camera and the green quad
    miColor c{};
    ASSERT_TRUE(mi_trace_reflection(&c, hit, &dir));
    EXPECT_EQ(c.g, 1.f);
    ASSERT_NE(hit->child, nullptr);
    EXPECT_EQ(hit->child->type, miRAY_REFLECT);
    EXPECT_EQ(hit->child->reflection_level, 1);
    EXPECT_NEAR(hit->child->dist, 10.0, 1e-4);
    // from the reflected hit one more reflection exceeds reflection depth 1
    miState* second = hit->child;
    mi_reflection_dir_specular(&dir, second);
    EXPECT_FALSE(mi_trace_reflection(&c, second, &dir));
    // a zero direction is refused, not traced
    miVector zero{0, 0, 0};
    EXPECT_FALSE(mi_trace_reflection(&c, hit, &zero));
}

TEST(Tracing, TransparentRefractionProbeAndEnvironment) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(two_quads("shader \"sky\" \"orn_constant\" (\"color\" 0 0 1 0.5)\n")));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    miColor c{};
    // transparency continues straight on; nothing lies behind the red quad
    EXPECT_FALSE(mi_trace_transparent(&c, hit));
    EXPECT_EQ(hit->child->refraction_level, 1);
    EXPECT_EQ(hit->child->type, miRAY_TRANSPARENT);
    // at normal incidence refraction keeps the direction
    miVector dir;
    ASSERT_TRUE(mi_refraction_dir(&dir, hit, 1.f, 1.5f));
    EXPECT_NEAR(dir.z, -1.f, 1e-6);
    // a probe from the hit back towards the camera finds the green quad without shading it
    miVector back{0, 0, 1};
    ASSERT_TRUE(mi_trace_probe(hit, &back, &hit->point));
    EXPECT_NEAR(hit->child->dist, 10.0, 1e-4);
    EXPECT_NE(hit->child->instance, hit->instance);
    // without an environment shader the environment is black and the call answers false
    EXPECT_FALSE(mi_trace_environment(&c, hit, &back));
}

TEST(Tracing, ProbesInOneCallGiveTheDistancesOfProbesOneByOne) {
    // From the red quad (z = -5, facing +z): straight back and at 45 degrees the green quad at
    // z = +5 lies 10 and 10 * sqrt(2) away; along the quads and away from them nothing.
    const miVector dirs[6] = {{0, 0, 1}, {0, 0, 2}, {1, 0, 1}, {1, 0, 0}, {0, 0, 0}, {0, 0, -1}};
    const double want[6] = {10.0, 10.0, 10.0 * std::sqrt(2.0), 0.0, 0.0, 0.0};
    // mi_sample on the state of a probe traced after `batch` (or as many single probes): the
    // ray tree must have moved on alike, or later rays sample differently.
    auto sample_after = [&](bool batch) {
        SceneFixture fx;
        EXPECT_TRUE(fx.load(two_quads()));
        miState* hit = fx.probe_eye(50.f, 50.f);
        if (!hit) return std::vector<double>{};
        double dist[6] = {-1, -1, -1, -1, -1, -1};
        if (batch) {
            EXPECT_EQ(mi_trace_probes(hit, &hit->point, dirs, 6, miPROBE_DISTANCE_ONLY, dist), 3);
            // no state was made: the child is the eye sample's own slot, untouched
            EXPECT_EQ(hit->child, nullptr);
        } else {
            for (int i = 0; i < 6; ++i) {
                miVector d = dirs[i];
                dist[i] = mi_trace_probe(hit, &d, &hit->point) ? hit->child->dist : 0.0;
            }
        }
        for (int i = 0; i < 6; ++i)
            EXPECT_NEAR(dist[i], want[i], 1e-4) << i << (batch ? " in one call" : " one by one");
        miVector back{0, 0, 1};
        EXPECT_TRUE(mi_trace_probe(hit, &back, &hit->point));
        std::vector<double> xs(3);
        mi_sample(xs.data(), nullptr, hit->child, 3, nullptr);
        return xs;
    };
    EXPECT_EQ(sample_after(true), sample_after(false));

    SceneFixture fx;
    ASSERT_TRUE(fx.load(two_quads()));
    miState* hit = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    // without the flag every probe gets its state; the child is the last probe's
    const miVector two[2] = {{0, 0, -1}, {1, 0, 1}};
    double dist[2];
    EXPECT_EQ(mi_trace_probes(hit, &hit->point, two, 2, 0, dist), 1);
    EXPECT_EQ(dist[0], 0.0);
    ASSERT_NE(hit->child, nullptr);
    EXPECT_EQ(hit->child->type, miRAY_PROBE);
    EXPECT_NEAR(hit->child->dist, 10.0 * std::sqrt(2.0), 1e-4);
    EXPECT_EQ(hit->child->dist, dist[1]);
    // bad arguments trace nothing
    EXPECT_EQ(mi_trace_probes(hit, &hit->point, two, -1, 0, dist), -1);
    EXPECT_EQ(mi_trace_probes(hit, &hit->point, two, 2, 0, nullptr), -1);
    EXPECT_EQ(mi_trace_probes(hit, nullptr, two, 2, 0, dist), -1);
    EXPECT_EQ(mi_trace_probes(hit, &hit->point, two, 0, miPROBE_DISTANCE_ONLY, dist), 0);
}

TEST(Tracing, SnellsLawAndTotalInternalReflection) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(two_quads()));
    // pixel at raster x = 75 sees the quad at 45 degrees... tan(angle) = 0.5 at x = 75 with aperture 2
    miState* hit = fx.probe_eye(75.f, 50.f);
    ASSERT_NE(hit, nullptr);
    const double sin_i = std::sqrt(1.0 - double(hit->dir.z) * hit->dir.z);
    miVector dir;
    ASSERT_TRUE(mi_refraction_dir(&dir, hit, 1.f, 1.5f));
    const double sin_t = std::sqrt(1.0 - double(dir.z) * dir.z);
    EXPECT_NEAR(sin_t, sin_i / 1.5, 1e-5);
    // from the dense side at this angle: sin_t = 1.5 * 0.447 < 1 still refracts; 2.5 * 0.447 > 1 reflects
    EXPECT_FALSE(mi_refraction_dir(&dir, hit, 2.5f, 1.f));
    EXPECT_NEAR(dir.z, -hit->dir.z, 1e-6);
}

TEST(Parameters, ConnectionsAreEvaluatedForTheCurrentSampleAndSlotsArePerInstance) {
    SceneFixture fx;
    ASSERT_TRUE(
        fx.load(two_quads("shader \"ratio\" \"orn_facing_ratio\" (\"facing_color\" 1 1 1, \"edge_color\" 0 0 "
                          "0, \"exponent\" 1)\n"
                          "shader \"graded\" \"orn_grade_color\" (\"color\" = \"ratio\", \"in_white\" 1 1 1, "
                          "\"saturation\" 1 1 1, \"gain\" 1, \"gamma\" 1, \"multiply\" 1 1 1)\n"
                          "shader \"graded2\" \"orn_grade_color\" (\"color\" 0.5 0.5 0.5)\n")));
    for (float rx : {50.f, 90.f}) {
        miState* hit = fx.probe_eye(rx, 50.f);
        ASSERT_NE(hit, nullptr);
        // facing ratio of a plane facing the camera: cosine between normal and view direction
        const float f = -hit->dir.z;
        miColor c{};
        ASSERT_TRUE(fx.call("graded", &c, hit));
        EXPECT_NEAR(c.r, f, 1e-5) << rx;
        EXPECT_EQ(c.a, 1.f);
    }
    miState* hit = fx.probe_eye(50.f, 50.f);
    auto& db = fx.session().db();
    auto* a = db.get_as<orn::FunctionElement>(db.lookup("graded"), miSCENE_FUNCTION);
    auto* b = db.get_as<orn::FunctionElement>(db.lookup("graded2"), miSCENE_FUNCTION);
    void** slot_a = nullptr;
    void** slot_b = nullptr;
    hit->shader = &a->function;
    ASSERT_TRUE(mi_query(miQ_FUNC_USERPTR, hit, 0, &slot_a));
    hit->shader = &b->function;
    ASSERT_TRUE(mi_query(miQ_FUNC_USERPTR, hit, 0, &slot_b));
    EXPECT_NE(slot_a, slot_b);
    hit->shader = &a->function;
    void** again = nullptr;
    mi_query(miQ_FUNC_USERPTR, hit, 0, &again);
    EXPECT_EQ(again, slot_a);
    hit->shader = nullptr;
}

TEST(ShaderState, KeysAreSharedByTheRayTreeAndEndWithTheSample) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(two_quads()));
    miState* hit = fx.probe_eye(50.f, 50.f);
    int value = 42;
    ASSERT_TRUE(mi_shaderstate_set(hit, "ltk", &value, sizeof value, 1));
    value = 7; // the store keeps its own copy
    int size = 0;
    auto* got = static_cast<int*>(mi_shaderstate_get(hit->parent, "ltk", &size));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(*got, 42);
    EXPECT_EQ(size, int(sizeof(int)));
    // a child of the same sample sees it too
    miVector back{0, 0, 1};
    mi_trace_probe(hit, &back, &hit->point);
    EXPECT_NE(mi_shaderstate_get(hit->child, "ltk", nullptr), nullptr);
    // removal with a null value
    mi_shaderstate_set(hit, "ltk", nullptr, 0, 1);
    EXPECT_EQ(mi_shaderstate_get(hit, "ltk", &size), nullptr);
    EXPECT_EQ(size, 0);
    // an entry of size 0 is present all the same
    ASSERT_TRUE(mi_shaderstate_set(hit, "flag", &value, 0, 1));
    EXPECT_NE(mi_shaderstate_get(hit, "flag", &size), nullptr);
    EXPECT_EQ(size, 0);
    // a new eye sample starts empty
    mi_shaderstate_set(hit, "ra_o", &value, sizeof value, 1);
    miState* next = fx.probe_eye(51.f, 50.f);
    EXPECT_EQ(mi_shaderstate_get(next, "ra_o", nullptr), nullptr);
}

TEST(Sampling, LoopsAreStratifiedAndReproducible) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(two_quads()));
    auto draw = [&](int px) {
        miState* hit = fx.probe_eye(float(px) + 0.5f, 50.5f);
        std::vector<double> xs;
        double s[2];
        int i = 0;
        miUint n = 16;
        while (mi_sample(s, &i, hit, 2, &n)) {
            EXPECT_GE(s[0], 0.0);
            EXPECT_LT(s[0], 1.0);
            EXPECT_GE(s[1], 0.0);
            EXPECT_LT(s[1], 1.0);
            xs.push_back(s[0]);
            xs.push_back(s[1]);
        }
        EXPECT_EQ(i, 16);
        return xs;
    };
    const auto a = draw(10), b = draw(10), c = draw(11);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    // one point in each sixteenth of the first dimension, and of the second
    std::set<int> strata0, strata1;
    for (size_t k = 0; k < a.size(); k += 2) {
        strata0.insert(int(a[k] * 16));
        strata1.insert(int(a[k + 1] * 16));
    }
    EXPECT_EQ(strata0.size(), 16u);
    EXPECT_GE(strata1.size(), 12u);
}

TEST(Sampling, FramesRenderTheSameBitsOnAnyThreadCount) {
    const std::string scene = two_quads("shader \"ratio\" \"orn_facing_ratio\" (\"facing_color\" 1 1 1, "
                                        "\"edge_color\" 0 0 1, \"exponent\" 2)\n"
                                        "material \"m\" = \"ratio\" end material\n");
    std::vector<float> images[2];
    for (int t = 0; t < 2; ++t) {
        orn::SessionOptions o;
        o.render.threads = t + 1;
        o.render.progress = false;
        o.render.bucket_size = 8;
        orn::Session s(o);
        ASSERT_TRUE(s.load_string(scene, "t.mi"));
        auto frame = s.make_frame();
        ASSERT_TRUE(frame && frame->prepare());
        frame->render_pixels();
        images[t] = frame->film().resolved(orn::film::Color);
        frame->finish();
    }
    EXPECT_EQ(images[0], images[1]);
}

TEST(Transforms, CameraObjectAndRasterSpace) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(two_quads()));
    miState* hit = fx.probe_eye(75.f, 25.f);
    ASSERT_NE(hit, nullptr);
    miVector r;
    mi_point_to_raster(hit, &r, &hit->point);
    EXPECT_NEAR(r.x, 75.f, 1e-3);
    EXPECT_NEAR(r.y, 25.f, 1e-3);
    mi_point_to_camera(hit, &r, &hit->point);
    EXPECT_NEAR(r.z, -5.f, 1e-5); // the camera sits at the world origin
    // the front quad's instance moves it from object z = 0 to world z = -5
    mi_point_to_object(hit, &r, &hit->point);
    EXPECT_NEAR(r.z, 0.f, 1e-5);
    miVector back;
    mi_point_from_object(hit, &back, &r);
    EXPECT_NEAR(back.x, hit->point.x, 1e-5);
    EXPECT_NEAR(back.z, hit->point.z, 1e-5);
    miVector n;
    mi_normal_to_object(hit, &n, &hit->normal);
    EXPECT_NEAR(n.z, 1.f, 1e-6);
}

TEST(Film, StandardImagesHoldDepthNormalLabelAndCoverage) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(two_quads()));
    fx.render();
    const auto& film = fx.frame().film();
    EXPECT_NEAR(film.pixel(orn::film::Depth, 50, 50)[0], 5.f, 1e-4);
    EXPECT_NEAR(film.pixel(orn::film::Normal, 50, 50)[2], 1.f, 1e-5);
    EXPECT_EQ(orn::film::load_label(film.pixel(orn::film::Label, 50, 50)), 7u);
    EXPECT_EQ(film.pixel(orn::film::Coverage, 50, 50)[0], 1.f);
    EXPECT_EQ(film.pixel(orn::film::Color, 50, 50)[0], 1.f);
}

} // namespace
