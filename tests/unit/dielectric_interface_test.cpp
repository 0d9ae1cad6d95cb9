// The touching-media material, one hit at a time: the test sets the inside/outside record a
// ray would carry, calls the shader on a real hit and reads the colour, the record it leaves
// and the ray it continues. Medium A is the left half of the view (label 1), B the right
// half (label 2), both planes at z = -5 facing the camera.
#include "support/expect.h"
#include "support/scene_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace orn::test {
namespace {

std::string scene(const std::string& params) {
    auto half = [](const char* name, const char* x0, const char* x1, int label) {
        return std::string("object \"") + name + "\" visible shadow trace group " + x0 + " -5 -5  " + x1 +
               " -5 -5  " + x1 + " 5 -5  " + x0 + " 5 -5  v 0 v 1 v 2 v 3 p 0 1 2 3 end group end object\n" +
               "instance \"" + name + "_i\" \"" + name + "\" material \"di_m\" label " +
               std::to_string(label) + " end instance\n";
    };
    return module_preamble() +
           "options \"opt\" samples 0 0 end options\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100 end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n"
           "shader \"di\" \"orn_dielectric_interface\" (\"color1\" 0.1 0.2 0.3 1, \"color2\" 0.4 0.5 0.6 1, "
           "\"interface_color\" 0.7 0.8 0.9 1, " +
           params + ")\nmaterial \"di_m\" = \"di\" shadow = \"di\" end material\n" + half("a", "-5", "0", 1) +
           half("b", "0", "5", 2) +
           "instgroup \"root\" \"cam_i\" \"a_i\" \"b_i\" end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

TEST(DielectricInterface, ClassifiesEachHitByTheRecordItCarries) {
    struct Case {
        const char* params;
        int pair[2]; // the ray's current (inside-A, inside-B); -1: no record
        float rx;    // 25: medium A, 75: medium B
        miColor want;
        bool continues; // passed over as a refraction ray
    };
    const char* by_label = "\"match_mode\" 2, \"label1\" 1, \"label2\" 2";
    const char* by_name = "\"match_mode\" 1, \"object1\" \"a_i\", \"object2\" \"b_i\"";
    const Case cases[] = {
        {by_label, {-1, 0}, 25, {0.1f, 0.2f, 0.3f, 1}, false},           // entering A
        {"\"match_mode\" 2", {-1, 0}, 25, {0.4f, 0.5f, 0.6f, 1}, false}, // labels 0: neither, as B
        {by_name, {0, 1}, 25, {0.7f, 0.8f, 0.9f, 1}, false},             // from B into A
        {by_name, {1, 0}, 75, {0, 0, 0, 0}, true},                       // B's duplicate inside A
        {"\"match_mode\" 2, \"label1\" 7, \"label2\" 8",
         {1, 1},
         25,
         {1, 0, 0, 0},
         false}, // inside both, neither
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.params) + " at " + std::to_string(c.rx));
        SceneFixture fx;
        ASSERT_TRUE(fx.load(scene(c.params)));
        miState* hit = fx.probe_eye(c.rx, 50.f);
        ASSERT_NE(hit, nullptr);
        // Five pairs, the current one first; the older ones are marked to see them come back.
        int record[10] = {c.pair[0], c.pair[1], 1, 0, 0, 1, 1, 1, 0, 0};
        if (c.pair[0] >= 0) mi_shaderstate_set(hit, "csg_mat", record, sizeof record, 1);
        miColor result{0, 0, 0, 0};
        EXPECT_TRUE(fx.call("di", &result, hit));
        expect_color(result, c.want.r, c.want.g, c.want.b, c.want.a);
        EXPECT_EQ(hit->type, miRAY_EYE);
        EXPECT_EQ(hit->inv_normal, 0);
        const bool continued = hit->child && hit->child->type == miRAY_REFRACT;
        EXPECT_EQ(continued, c.continues);
        // The record found is left as it was; a ray without one leaves an all-zero record.
        int size = 0;
        const auto* left = static_cast<const int*>(mi_shaderstate_get(hit, "csg_mat", &size));
        if (c.want.r == 1.f) continue; // the error colour returns at once
        ASSERT_NE(left, nullptr);
        ASSERT_EQ(size, int(sizeof record));
        const int zero[10] = {};
        EXPECT_EQ(std::memcmp(left, c.pair[0] >= 0 ? record : zero, sizeof record), 0);
    }
}

TEST(DielectricInterface, ShadowsOutsideSegmentModeAreBlack) {
    MessageCapture messages;
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("\"match_mode\" 2, \"label1\" 1, \"label2\" 2")));
    miState* hit = fx.probe_eye(25.f, 50.f);
    ASSERT_NE(hit, nullptr);
    hit->type = miRAY_SHADOW;
    miColor result{1, 1, 1, 1};
    EXPECT_TRUE(fx.call("di", &result, hit));
    expect_color(result, 0, 0, 0, 0);
    EXPECT_TRUE(
        messages.contains("orn_dielectric_interface shadow shader will produce correct shadows only with "
                          "\"segments\" shadow mode!"));
}

} // namespace
} // namespace orn::test
