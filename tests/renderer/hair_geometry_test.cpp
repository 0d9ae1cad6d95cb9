// Hair objects on real curve geometry: what a hit on a hair puts into the state, transparency
// rays and shadows through hairs, and the checks on hair data from the scene.
#include "support/light_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace orn::test;

namespace {

// A straight hair along x from -3 to 3 at height y in the plane z, radius r, as `segments`
// segments of `degree` with evenly spaced vertices; every vertex carries a texture
// (0.2, 0.4, 0.6, alpha) with alpha 1, 0.9, ... from the root, and an end position 0.5 further
// along +x.
std::string straight_hair(float y, float z, float r, int degree = 3, int segments = 1) {
    const int n = degree * segments + 1;
    std::string s;
    for (int i = 0; i < n; ++i) {
        const float x = -3.f + 6.f * float(i) / float(n - 1);
        const std::string p = std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(z);
        s += p + " " + std::to_string(r) + " 0.2 0.4 0.6 " + std::to_string(1.0 - 0.1 * i) + " " +
             std::to_string(x + 0.5f) + " " + std::to_string(y) + " " + std::to_string(z) + "\n";
    }
    return s;
}

std::string hair_object(const std::string& name, const std::string& scalars, int scalar_count,
                        const std::string& hairs, int degree = 3) {
    return "object \"" + name + "\"\n  hair\n    degree " + std::to_string(degree) +
           "\n    vertex_data r 1 t 4 m 3\n    scalars " + std::to_string(scalar_count) + "\n" + scalars +
           "    hairs " + hairs + "\n  end hair\nend object\n";
}

void expect_vec(const miVector& got, const Vec& want, double tol) {
    EXPECT_NEAR(got.x, want.x, tol);
    EXPECT_NEAR(got.y, want.y, tol);
    EXPECT_NEAR(got.z, want.z, tol);
}

std::string hair_instance(const std::string& object) {
    return "instance \"" + object + "_i\" \"" + object + "\" material \"floor_m\" end instance\n";
}

} // namespace

TEST(HairGeometry, AHitOnAHairFillsTheStateAlongAndAcrossIt) {
    for (int degree : {1, 2, 3}) {
        SCOPED_TRACE("degree " + std::to_string(degree));
        // hair 0 in front of the camera's centre ray, hair 1 above it, each of three segments
        const int vertices = 3 * degree + 1, per_hair = vertices * 11;
        const std::string data =
            straight_hair(0.f, -3.f, 0.1f, degree, 3) + straight_hair(0.6f, -3.f, 0.1f, degree, 3);
        const std::string obj =
            hair_object("h", data, 2 * per_hair,
                        "3 0 " + std::to_string(per_hair) + " " + std::to_string(2 * per_hair), degree);
        SceneFixture fx;
        ASSERT_TRUE(fx.load(floor_scene(obj + hair_instance("h"), "\"h_i\"")));
        miState* st = fx.probe_eye(50.f, 50.f);
        ASSERT_NE(st, nullptr);
        EXPECT_NEAR(st->dist, 2.9, 1e-3);
        EXPECT_NEAR(st->bary[0], 0.5, 1e-3); // on the centre line as the ray sees it
        EXPECT_NEAR(st->bary[1], 0.5, 1e-3); // halfway from root to tip
        expect_vec(st->normal, {0, 0, 1}, 1e-4);
        expect_vec(st->normal_geom, {0, 0, 1}, 1e-4);
        ASSERT_NE(st->derivs, nullptr);
        expect_vec(st->derivs[0], {6, 0, 0}, 1e-3); // dP/dv over the whole hair
        int textures = 0;
        ASSERT_TRUE(mi_query(miQ_NUM_TEXTURES, st, 0, &textures));
        ASSERT_EQ(textures, 2); // four texture scalars fill two spaces
        expect_vec(st->tex_list[0], {0.2, 0.4, 0.6}, 1e-5);
        EXPECT_NEAR(st->tex_list[1].x, 1.0 - 0.1 * (vertices - 1) * 0.5, 1e-5);
        expect_vec(st->motion, {0.5, 0, 0}, 1e-4);
        miInteger id = -1;
        ASSERT_TRUE(mi_query(miQ_HAIR_INTEGER, st, 0, &id));
        EXPECT_EQ(id, 0);

        // Off the middle segment's centre: the ray (0.5, 0, -1) meets the tube at x = 1.45, which
        // lies 4.45 / 6 of the way along the whole hair.
        st = fx.probe_eye(75.f, 50.f);
        ASSERT_NE(st, nullptr);
        EXPECT_NEAR(st->bary[1], 4.45 / 6.0, 1e-3);
        expect_vec(st->derivs[0], {6, 0, 0}, 1e-3);
        EXPECT_NEAR(st->tex_list[1].x, 1.0 - 0.1 * (vertices - 1) * 4.45 / 6.0, 1e-4);

        // Near the silhouette the across coordinate approaches an edge.
        st = fx.probe_eye(50.f, 51.5f);
        ASSERT_NE(st, nullptr);
        EXPECT_GT(std::fabs(st->bary[0] - 0.5), 0.35);
        // The hair above has its own number, the same all along it.
        for (float rx : {30.f, 50.f, 70.f}) {
            st = fx.probe_eye(rx, 60.f);
            ASSERT_NE(st, nullptr);
            ASSERT_TRUE(mi_query(miQ_HAIR_INTEGER, st, 0, &id));
            EXPECT_EQ(id, 1);
        }
        // A triangle is not a hair.
        st = fx.probe_eye(5.f, 5.f);
        ASSERT_NE(st, nullptr);
        EXPECT_FALSE(mi_query(miQ_HAIR_INTEGER, st, 0, &id));
    }
}

TEST(HairGeometry, RaysLeavingAHairMeetTheNextOneAndShadowsFallThrough) {
    const std::string data = straight_hair(0.f, -3.f, 0.1f) + straight_hair(0.f, -4.f, 0.1f);
    const std::string obj = hair_object("h", data, 88, "3 0 44 88");
    // A light above: the hair at z = -3 shadows the floor at y = -2, not at y = -3.
    const std::string light = "light \"l\" \"orn_PointTK\" (\"color\" 1 1 1 1, \"intensity\" 1, \"shadow\" "
                              "on, \"shadow_factor\" 0, \"category\" \"k\") "
                              "origin 0 2 -1 end light\ninstance \"l_i\" \"l\" end instance\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(floor_scene(obj + hair_instance("h") + light, "\"h_i\" \"l_i\"")));
    miState* front = fx.probe_eye(50.f, 50.f);
    ASSERT_NE(front, nullptr);
    // A ray on from the front hair's surface meets the hair behind, not its own far side.
    ASSERT_TRUE(fx.frame().trace_probe(front, front->dir, front->point));
    EXPECT_NEAR(front->child->dist, 1.0, 1e-3);

    for (float y : {-2.f, -3.f}) {
        miState* floor = fx.probe_eye(50.f, 50.f + 10.f * y); // the floor point (0, y, -5)
        ASSERT_NE(floor, nullptr);
        ASSERT_NEAR(floor->point.y, y, 1e-4);
        const SampledLight l = sample_light_once(fx, floor, "l_i");
        EXPECT_EQ(l.sampled && l.color.r > 0.f, y == -3.f) << "floor at y = " << y;
    }
}

// A feather from the geometry shader, its shaft upright through (0, 0, -3).
std::string feather(int barbs, const std::string& material = "floor_m", const std::string& visible = "on") {
    return "instance \"f_i\" geometry \"geofeather\" (\"barb_count\" " + std::to_string(barbs) +
           ", \"visibility_flag\" " + visible + ") material \"" + material +
           "\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0.5 3 1 end instance\n";
}

TEST(HairGeometry, AGeometryShaderPlacesAFeatherThatItsCallbackBuilds) {
    for (int barbs : {0, 32, -3}) {
        SCOPED_TRACE("barb_count " + std::to_string(barbs));
        MessageCapture messages;
        SceneFixture fx;
        // The callback defines the object again with every flag on, so "visibility_flag" off
        // does not hide the feather from eye rays.
        ASSERT_TRUE(fx.load(floor_scene(feather(barbs, "floor_m", barbs == 32 ? "off" : "on"), "\"f_i\"")))
            << messages.all();
        EXPECT_EQ(fx.session().world()->hair_count(), size_t(barbs < 0 ? 0 : 2 * barbs + 1));
        miState* st = fx.probe_eye(50.f, 50.f);
        ASSERT_NE(st, nullptr);
        if (barbs < 0) {
            EXPECT_GT(st->dist, 4.f); // no shaft: the floor
            EXPECT_TRUE(messages.contains("negative")) << messages.all();
            continue;
        }
        EXPECT_NEAR(st->dist, 3.f, 0.02); // the shaft, halfway up
        EXPECT_NEAR(st->bary[1], 0.5, 0.02);
        EXPECT_EQ(st->pri_idx, 0);
        EXPECT_EQ(st->label, 7u); // set by the generator through the scene edit
        miState* root = fx.root(50, 50);
        miVector org, dir;
        fx.frame().camera_ray(50.f, 50.f, org, dir);
        miColor c{0, 0, 0, 0};
        ASSERT_TRUE(fx.frame().trace_eye(&c, root, org, dir));
        EXPECT_NEAR(root->child->dist, 3.f, 0.02); // an eye ray meets the shaft too
    }
}

TEST(HairGeometry, EachHairVariesByItsOwnNumber) {
    // Ambient light only, grey hair, brightness variation 0.5: the colour is 0.5 times
    // (2 r - 1) 0.5 + 1, r the first erand48 number from the seed (id + 9, id + 10, id + 11):
    // 0.6099371 for hair 0 and 0.3809297 for hair 1.
    const std::string data = straight_hair(0.f, -3.f, 0.1f) + straight_hair(0.6f, -3.f, 0.1f);
    const std::string body =
        hair_object("h", data, 88, "3 0 44 88") + "shader \"hair\" \"orn_HairTK\" (" +
        zero_defaults("orn_HairTK") +
        "\"diffuse\" on, \"diffuse_weight\" 1, \"root_color\" 0.5 0.5 0.5 1, \"tip_color\" 0.5 "
        "0.5 0.5 1, \"brightness_variation\" 0.5, \"ambient\" on, \"ambient_weight\" 1, "
        "\"ambient_color\" 1 1 1 1, \"light_mode\" 4)\n"
        "material \"hair_m\" = \"hair\" end material\n"
        "instance \"h_i\" \"h\" material \"hair_m\" end instance\n";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(floor_scene(body, "\"h_i\"")));
    for (float rx : {40.f, 60.f}) {
        expect_color(fx.shade(rx, 50.f), 0.5549686f, 0.5549686f, 0.5549686f, 1.f, 1e-5f);
        expect_color(fx.shade(rx, 60.f), 0.4404649f, 0.4404649f, 0.4404649f, 1.f, 1e-5f);
    }
}

TEST(HairGeometry, HairFramesAreTheSameBitsOnOneAndTwoThreads) {
    // Transparent hair with per-hair variation over its own shadows: chains of transparency
    // rays, shadow rays through hairs and the hair number on every pixel.
    const std::string data = straight_hair(0.f, -3.f, 0.1f) + straight_hair(0.3f, -3.5f, 0.15f);
    const std::string body =
        hair_object("h", data, 88, "3 0 44 88") +
        "shader \"hair\" \"orn_HairTK\" (\"transparency\" on, \"root_transparency\" 0.2, "
        "\"tip_transparency\" "
        "0.8, \"brightness_variation\" 0.5, \"color_variation\" 0.2)\n"
        "shader \"hair_shadow\" \"orn_HairTK_shadow\" (\"transparency\" on, \"tip_transparency\" 0.8)\n"
        "material \"hair_m\" = \"hair\" shadow = \"hair_shadow\" end material\n"
        "instance \"h_i\" \"h\" material \"hair_m\" end instance\n" +
        feather(8, "hair_m") +
        "light \"l\" \"orn_PointTK\" (\"color\" 1 1 1 1, \"intensity\" 1, \"shadow\" on, \"shadow_factor\" "
        "0, "
        "\"category\" \"k\") origin 0 2 -1 end light\ninstance \"l_i\" \"l\" end instance\n";
    const std::string text = floor_scene(body, "\"h_i\" \"f_i\" \"l_i\"");
    const std::vector<float> frames[2] = {rendered_rgba(text, 1), rendered_rgba(text, 2)};
    ASSERT_FALSE(frames[0].empty());
    EXPECT_TRUE(frames[0] == frames[1]);
}

TEST(HairScene, BadHairDataNamesTheObjectAndItsPlace) {
    struct Case {
        std::string block, message;
    };
    const std::string four = "0 0 0 1  1 0 0 1  2 0 0 1  3 0 0 1\n";
    const Case cases[] = {
        {"vertex_data r 1\nscalars 16\n0 0 0 1  1 0 0 0  2 0 0 1  3 0 0 1\nhairs 2 0 16", "radius 0.0"},
        {"vertex_data r 1\nscalars 12\n0 0 0 1  1 0 0 1  2 0 0 1\nhairs 2 0 12",
         "3 vertices; cubic hairs need"},
        {"vertex_data r 1\nscalars 16\n" + four + "hairs 2 0 20", "ends at 20 but there are 16 scalars"},
        {"vertex_data r 1\nscalars 17\n" + four + "hairs 2 0 16", "\"scalars 17\" is followed by 16 numbers"},
        {"vertex_data r 1\nscalars 16\n" + four + "hairs 3 0 20 16",
         "hair 0: its scalars run from 0 to 20, outside the 16"},
        {"degree 4\n", "hair degree 4 is not 1, 2 or 3"},
        {"vertex_data x 2\n", "the kinds are"},
        {"radius -1\nscalars 12\n" + std::string("0 0 0 1 0 0 2 0 0 3 0 0\n") + "hairs 2 0 12", "radius -1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.block);
        MessageCapture messages;
        SceneFixture fx;
        EXPECT_FALSE(fx.load(floor_scene("object \"h\"\nhair\n" + c.block + "\nend hair\nend object\n", "")));
        EXPECT_TRUE(messages.contains(c.message)) << messages.all();
        EXPECT_TRUE(messages.contains("object \"h\": ")) << messages.all();
        EXPECT_TRUE(messages.contains(".mi:")) << messages.all(); // file:line:col
    }
}
