// The touching-media material, one hit at a time: the test sets the inside/outside record a
// ray would carry, calls the shader on a real hit and reads the colour, the record it leaves
// and the ray it continues. Medium A is the left half of the view (label 1), B the right
// half (label 2), both planes at z = -5 facing the camera.
#include "support/expect.h"
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace orn::test {
namespace {

std::string scene(const std::string& params, const std::string& options = "samples 0 0") {
    auto half = [](const char* name, const char* x0, const char* x1, int label) {
        return std::string("object \"") + name + "\" visible shadow trace group " + x0 + " -5 -5  " + x1 +
               " -5 -5  " + x1 + " 5 -5  " + x0 + " 5 -5  v 0 v 1 v 2 v 3 p 0 1 2 3 end group end object\n" +
               "instance \"" + name + "_i\" \"" + name + "\" material \"di_m\" label " +
               std::to_string(label) + " end instance\n";
    };
    return module_preamble() + "options \"opt\" " + options +
           " end options\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100 end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n"
           // As the input of "di" on a hit of A with the ray inside both media, it shows which
           // side "di" hands on: blue for a hit facing the ray, yellow for one seen from behind.
           "shader \"probe\" \"orn_dielectric_interface\" (\"color1\" 0 0 1 1, \"interface_color\" 1 1 0 1, "
           "\"match_mode\" 2, \"label1\" 1, \"label2\" 2)\n"
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
        bool back;   // the hit seen from behind
        miColor want;
        bool continues; // passed over as a refraction ray
    };
    const char* by_label = "\"match_mode\" 2, \"label1\" 1, \"label2\" 2";
    const char* by_name = "\"match_mode\" 1, \"object1\" \"a_i\", \"object2\" \"b_i\"";
    const char* neither = "\"match_mode\" 2, \"label1\" 7, \"label2\" 8";
    const miColor c1{0.1f, 0.2f, 0.3f, 1}, c2{0.4f, 0.5f, 0.6f, 1}, boundary{0.7f, 0.8f, 0.9f, 1},
        none{0, 0, 0, 0};
    const Case cases[] = {
        {by_label, {-1, 0}, 25, false, c1, false},           // entering A
        {"\"match_mode\" 2", {-1, 0}, 25, false, c2, false}, // labels 0: neither, as B
        {by_label, {0, 0}, 75, true, c2, false},             // B from behind
        {by_label, {1, 0}, 25, true, c1, false},             // leaving A
        {by_name, {1, 0}, 75, false, none, true},            // B's duplicate inside A
        {neither, {1, 0}, 25, false, none, true},            // neither inside A: as B
        {by_name, {0, 1}, 25, false, boundary, false},       // from B into A
        {by_label, {0, 1}, 75, true, c2, false},             // leaving B
        {by_label, {1, 1}, 25, false, c1, false},            // A's face still inside A
        {by_label, {1, 1}, 25, true, boundary, false},       // leaving A into B
        {by_label, {1, 1}, 75, true, none, true},            // B's duplicate inside both
        {neither, {1, 1}, 25, false, {1, 0, 0, 0}, false},   // inside both, neither
        // Neither inside B: as A, entered from B, so the input sees the hit from A's side.
        {"\"match_mode\" 2, \"label1\" 7, \"label2\" 8, \"interface_color\" = \"probe\"",
         {0, 1},
         25,
         false,
         {1, 1, 0, 1},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.params) + " at " + std::to_string(c.rx) + (c.back ? " from behind" : ""));
        SceneFixture fx;
        ASSERT_TRUE(fx.load(scene(c.params)));
        miState* hit = fx.probe_eye(c.rx, 50.f);
        ASSERT_NE(hit, nullptr);
        hit->inv_normal = c.back;
        // Five pairs, the current one first; the older ones are marked to see them come back.
        int record[10] = {c.pair[0], c.pair[1], 1, 0, 0, 1, 1, 1, 0, 0};
        if (c.pair[0] >= 0) mi_shaderstate_set(hit, "csg_mat", record, sizeof record, 1);
        miColor result{0, 0, 0, 0};
        EXPECT_TRUE(fx.call("di", &result, hit));
        expect_color(result, c.want.r, c.want.g, c.want.b, c.want.a);
        EXPECT_EQ(hit->type, miRAY_EYE);
        EXPECT_EQ(hit->inv_normal, c.back);
        const bool continued = hit->child && hit->child->type == miRAY_REFRACT;
        EXPECT_EQ(continued, c.continues);
        // The record found is left as it was; a ray without one leaves an all-zero record.
        int size = 0;
        const auto* left = static_cast<const int*>(mi_shaderstate_get(hit, "csg_mat", &size));
        if (c.want.r == 1.f && c.want.g == 0.f) continue; // the error colour returns at once
        ASSERT_NE(left, nullptr);
        ASSERT_EQ(size, int(sizeof record));
        const int zero[10] = {};
        EXPECT_EQ(std::memcmp(left, c.pair[0] >= 0 ? record : zero, sizeof record), 0);
    }
}

TEST(DielectricInterface, AnEyeRayShowsWhatLiesBehindAPassedDuplicate) {
    // An eye ray that already carries "inside A" meets B's face at z = -5: B's duplicate, passed
    // over. The sample shows the quad behind it at z = -8 (label 5), or nothing without it.
    for (const bool behind : {true, false}) {
        SCOPED_TRACE(behind ? "a quad behind" : "nothing behind");
        std::string text = scene("\"match_mode\" 2, \"label1\" 1, \"label2\" 2");
        if (behind) {
            text.insert(text.find("instgroup"),
                        "material \"grey_m\" \"orn_constant\" (\"color\" 0.5 0.5 0.5 1) end "
                        "material\n" +
                            quad_object("wall", -8.f) +
                            "instance \"wall_i\" \"wall\" material \"grey_m\" label 5 end "
                            "instance\n");
            text.replace(text.find("\"b_i\" end instgroup"), 19, "\"b_i\" \"wall_i\" end instgroup");
        }
        MessageCapture messages; // the options are not in segment mode: a warning
        SceneFixture fx(1);
        ASSERT_TRUE(fx.load(text));
        miState* root = fx.root(75, 50);
        int record[10] = {1, 0};
        mi_shaderstate_set(root, "csg_mat", record, sizeof record, 1);
        miVector org, dir;
        fx.frame().camera_ray(75.f, 50.f, org, dir);
        miColor result{0, 0, 0, 0};
        ASSERT_TRUE(fx.frame().trace_eye(&result, root, org, dir));
        const ShownSurface& shown = ThreadContext::data(root).thread->shown;
        EXPECT_TRUE(shown.passed);
        EXPECT_EQ(shown.hit, behind);
        if (behind) {
            expect_rgb(result, 0.5f, 0.5f, 0.5f);
            EXPECT_NEAR(shown.point.z, -8.f, 1e-4);
            EXPECT_NEAR(shown.normal.z, 1.f, 1e-6);
            EXPECT_EQ(shown.label, 5u);
        }
    }
}

TEST(DielectricInterface, FirstShadowSegmentsFromBothSidesAndBlackOutsideSegmentMode) {
    // A shadow ray whose material record says it starts inside B meets B's face: leaving B
    // through it (seen from behind) it takes color2; entering through its front it passes on to
    // the next segment, and nothing lies beyond.
    SceneFixture seg;
    ASSERT_TRUE(
        seg.load(scene("\"match_mode\" 2, \"label1\" 1, \"label2\" 2", "samples 0 0 shadow segments")));
    for (const bool back : {false, true}) {
        SCOPED_TRACE(back ? "from behind" : "front");
        miState* hit = seg.probe_eye(75.f, 50.f);
        ASSERT_NE(hit, nullptr);
        hit->type = miRAY_SHADOW;
        hit->inv_normal = back;
        int record[10] = {0, 1, 0, 1};
        mi_shaderstate_set(hit, "csg_mat", record, sizeof record, 1);
        miColor result{1, 1, 1, 1};
        EXPECT_TRUE(seg.call("di", &result, hit));
        if (back)
            expect_rgb(result, 0.4f, 0.5f, 0.6f);
        else
            expect_rgb(result, 1.f, 1.f, 1.f);
    }

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

// Two boxes sharing a face on real geometry: `front` spans z -6..-4, `back` z -8..-6, both
// x, y -2..2, so the front box's far face and the back box's near face are the same two
// triangles wound oppositely. Medium A has label 1, B label 2.
std::string box(const std::string& name, float z0, float z1, int label, const char* flags) {
    auto corner = [](float x, float y, float z) {
        return std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(z) + "  ";
    };
    std::string vectors;
    for (float z : {z0, z1})
        vectors += corner(-2, -2, z) + corner(2, -2, z) + corner(2, 2, z) + corner(-2, 2, z);
    return "object \"" + name + "\" " + flags + " group " + vectors +
           "v 0 v 1 v 2 v 3 v 4 v 5 v 6 v 7 p 4 5 6 7 p 0 3 2 1 p 1 2 6 5 p 0 4 7 3 p 3 7 6 2 p 0 1 5 4 "
           "end group end object\ninstance \"" +
           name + "_i\" \"" + name + "\" material \"di_m\" label " + std::to_string(label) +
           " end instance\n";
}

std::string boxes(const std::string& inputs, bool a_in_front, const std::string& extra = "",
                  const char* flags = "visible shadow trace", const std::string& shadow_inputs = "") {
    const std::string common = "\"match_mode\" 2, \"label1\" 1, \"label2\" 2";
    const std::string shadow = shadow_inputs.empty() ? "\"di\"" : "\"di_sh\"";
    return module_preamble() +
           "options \"opt\" samples 0 0 trace depth 4 8 12 shadow segments end options\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100 end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n"
           // Clear refracting inputs with a tint that tells which of them a ray went through.
           "shader \"clear\" \"orn_MegaTK\" (\"diffuse_on\" off, \"refract_on\" on, \"ior\" 1)\n"
           "shader \"dense\" \"orn_MegaTK\" (\"diffuse_on\" off, \"refract_on\" on, \"ior\" 1.6)\n"
           // The boundary between B (index 1.25) and A (1.6, given as the outside's index).
           "shader \"boundary\" \"orn_MegaTK\" (\"diffuse_on\" off, \"refract_on\" on, \"ior\" 1.25, "
           "\"outside_ior\" 1.6, \"refract_color\" 0.5 1 1 1)\n"
           "shader \"di\" \"orn_dielectric_interface\" (" +
           inputs + ", " + common + ")\n" +
           (shadow_inputs.empty()
                ? ""
                : "shader \"di_sh\" \"orn_dielectric_interface\" (" + shadow_inputs + ", " + common + ")\n") +
           "material \"di_m\" = \"di\" shadow = " + shadow + " end material\n" +
           box("front", -6, -4, a_in_front ? 1 : 2, flags) + box("back", -8, -6, a_in_front ? 2 : 1, flags) +
           extra + "instgroup \"root\" \"cam_i\" \"front_i\" \"back_i\"" +
           (extra.empty() ? "" : " \"bulb_i\" \"floor_i\"") +
           " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

TEST(DielectricInterface, RaysCrossTheSharedFaceOfTwoSolids) {
    // Slightly off the axis, so that no ray runs along the faces' diagonal.
    const float rx = 52.f, ry = 47.f;
    // The boundary's material scales what it sees by (1.6 / 1.25)^2 = 1.6384 entering its
    // index 1.25 from A (whose material, index 1.6, scaled it by 1 / 1.6^2 on the way in: 0.64
    // in all) and by (1.25 / 1.6)^2 = 0.6103515625 leaving it into A, and tints it by
    // (0.5, 1, 1). Both ways it bends by the two indices: going in, A's index comes from the
    // ray's history; coming out, from the boundary's outside index, since a ray that reached B
    // through B's own outer surface never passed through A.
    struct Case {
        bool a_in_front;
        const char* inputs;
        miColor want;
        size_t boundary, duplicate; // states after the eye hit
    };
    const Case cases[] = {
        // Into A, then B's duplicate of A's far face (passed over), then A's far face leaving
        // A into B: the boundary, as entering (inv_normal 0); then B's far face takes color2.
        {true,
         "\"color1\" = \"dense\", \"color2\" 0.4 0.5 0.6 1, \"interface_color\" = \"boundary\"",
         {0.5f * 0.64f * 0.4f, 0.64f * 0.5f, 0.64f * 0.6f, 0},
         2,
         1},
        // Into B, then A's near face leaving B into A: the boundary as leaving (inv_normal 1);
        // then B's duplicate (passed over) and A's far face with color1.
        {false,
         "\"color1\" 0.1 0.2 0.3 1, \"color2\" = \"clear\", \"interface_color\" = \"boundary\"",
         {0.5f * 0.6103515625f * 0.1f, 0.6103515625f * 0.2f, 0.6103515625f * 0.3f, 0},
         1,
         2},
    };
    for (const Case& c : cases) {
        // Either object may come first in the acceleration structure; the order of the
        // coincident faces along the ray must not depend on it.
        for (bool back_first : {false, true}) {
            SCOPED_TRACE(std::string(c.a_in_front ? "A into B" : "B into A") +
                         (back_first ? ", back box first" : ""));
            std::string text = boxes(c.inputs, c.a_in_front);
            const std::string order = "\"front_i\" \"back_i\"";
            text.replace(text.find(order), order.size(), back_first ? "\"back_i\" \"front_i\"" : order);
            SceneFixture fx(1);
            ASSERT_TRUE(fx.load(text));
            miState* root = fx.root(int(rx), int(ry));
            miVector org, dir;
            fx.frame().camera_ray(rx, ry, org, dir);
            miColor result{0, 0, 0, 0};
            ASSERT_TRUE(fx.frame().trace_eye(&result, root, org, dir));
            expect_rgb(result, c.want.r, c.want.g, c.want.b, 1e-5f);

            // The states of the ray tree stay in place after the sample: the eye hit, then one
            // state per surface met.
            std::vector<const miState*> chain;
            for (const miState* s = root->child; s && chain.size() < 4; s = s->child)
                chain.push_back(s);
            ASSERT_EQ(chain.size(), 4u);
            const miState* boundary = chain[c.boundary];
            const miState* duplicate = chain[c.duplicate];
            EXPECT_EQ(boundary->label, 1u);
            EXPECT_EQ(duplicate->label, 2u);
            // The second of the two coincident surfaces is met at zero distance, by a refraction ray.
            EXPECT_LT(chain[2]->dist, 1e-4);
            EXPECT_EQ(chain[2]->type, miRAY_REFRACT);
            // The ray the boundary refracts starts in the index of the side it enters, and
            // bends by Snell's law across the face (normal along z): sin out = sin in x n1 / n2.
            const miState* bent = chain[c.boundary + 1];
            EXPECT_FLOAT_EQ(bent->ior_in, c.a_in_front ? 1.25f : 1.6f);
            auto sine = [](const miVector& d) {
                return std::sqrt((d.x * d.x + d.y * d.y) / (d.x * d.x + d.y * d.y + d.z * d.z));
            };
            EXPECT_NEAR(sine(bent->dir), sine(boundary->dir) * (c.a_in_front ? 1.6 / 1.25 : 1.25 / 1.6),
                        1e-5);
        }
    }
}

TEST(DielectricInterface, SegmentShadowsCrossTheSharedFace) {
    // A bulb inside the front box (A) lights a floor behind both boxes; the boxes are hidden
    // from the camera. The first segment starts at the bulb and meets the shared face, where
    // entering B comes before leaving A. Only the floor is seen by eye rays and probes.
    const std::string extra =
        "light \"bulb\" \"orn_PointTK\" (\"category\" \"k\") origin 0.3 0.2 -5 end light\n"
        "instance \"bulb_i\" \"bulb\" end instance\n"
        "shader \"lit\" \"orn_shadow\" (\"light_mode\" 2)\nmaterial \"floor_m\" = \"lit\" end material\n"
        "object \"floor\" visible shadow trace group -9 -9 -9  9 -9 -9  9 9 -9  -9 9 -9  v 0 v 1 v 2 v 3 "
        "p 0 1 2 3 end group end object\n"
        "instance \"floor_i\" \"floor\" material \"floor_m\" end instance\n";
    const std::string inputs = "\"color1\" 1 1 1 1, \"color2\" 1 1 1 1, \"interface_color\" 1 1 1 1";
    const std::string transmissions =
        "\"color1\" 0.1 0.2 0.3 1, \"color2\" 0.4 0.5 0.6 1, \"interface_color\" 0.7 0.8 0.9 1";
    auto floor_light = [&](const char* flags, int* record) {
        SceneFixture fx(1);
        EXPECT_TRUE(fx.load(boxes(inputs, true, extra, flags, transmissions)));
        miState* hit = fx.probe_eye(50.f, 50.f);
        EXPECT_NE(hit, nullptr);
        if (!hit) return miColor{0, 0, 0, 0};
        if (record) mi_shaderstate_set(hit, "csg_mat", record, 10 * sizeof(int), 1);
        miColor c{0, 0, 0, 0};
        EXPECT_TRUE(fx.call("lit", &c, hit));
        return c;
    };
    const miColor open = floor_light("visible off shadow off trace off", nullptr);
    ASSERT_GT(open.r, 0.01f);
    // No record: the first surface met is B's, entered, which takes color2 and ends the ray.
    expect_rgb(floor_light("visible off shadow trace off", nullptr), open.r * 0.4f, open.g * 0.5f,
               open.b * 0.6f, 1e-5f);
    // A record saying the ray is inside A: entering B from A passes on, and the next segment
    // meets A's own face at the same place, the boundary, which takes interface_color.
    int inside_a[10] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    expect_rgb(floor_light("visible off shadow trace off", inside_a), open.r * 0.7f, open.g * 0.8f,
               open.b * 0.9f, 1e-5f);
}

TEST(DielectricInterface, OnlyFramesWithTheMaterialTraceCoincidentSurfaces) {
    const std::string inputs = "\"color1\" 1 1 1 1, \"color2\" 1 1 1 1, \"interface_color\" 1 1 1 1";
    struct Case {
        std::string text;
        bool coincident;
    };
    auto swap = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    const std::string shadow_only = swap(boxes(inputs, true), "= \"di\" shadow", "= \"clear\" shadow");
    const std::string ordinary = swap(shadow_only, "shadow = \"di\"", "shadow = \"clear\"");
    const Case cases[] = {{boxes(inputs, true), true}, {shadow_only, true}, {ordinary, false}};
    for (const Case& c : cases) {
        SceneFixture fx(1);
        ASSERT_TRUE(fx.load(c.text));
        EXPECT_EQ(fx.frame().world().geometry().coincident(), c.coincident);
    }
}

} // namespace
} // namespace orn::test
