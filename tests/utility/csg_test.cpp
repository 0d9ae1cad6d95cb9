// Solid combination by ray logic: two unit spheres through the real module and renderer.
// A is centred at (0, 0, -6), B at (0.8, 0, -6.6). The centre eye ray (0, 0, -1) meets A's
// front at z = -5, B's front at -6 (inside A), A's back at -7 (inside B) and B's back at
// -7.2; the ray through raster x = 61.4 meets B only.
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace orn::test {
namespace {

constexpr float kOnlyB = 61.4f;

std::string csg_scene(const std::string& csg_params, const std::string& shadow = "segments",
                      const std::string& extra = "", const std::string& extra_names = "",
                      const std::string& a_transform = "1 0 0 0 0 1 0 0 0 0 1 0 0 0 6 1",
                      const std::string& b_transform = "1 0 0 0 0 1 0 0 0 0 1 0 -0.8 0 6.6 1") {
    const std::string sphere = std::string("object \"ball\" visible shadow trace file \"") + ORN_SOURCE_DIR +
                               "/scenes/meshes/sphere.obj\" end object\n";
    return module_preamble() + "options \"opt\" samples 0 0 trace depth 4 4 8 shadow " + shadow +
           " end options\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100 end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n" +
           sphere +
           "shader \"csg\" \"orn_CSG\" (\"color1\" 1 0.5 0 1, \"color2\" 0 0.5 1 1, \"object1\" \"a_i\", "
           "\"object2\" \"b_i\", " +
           csg_params +
           ")\nmaterial \"csg_m\" = \"csg\" shadow = \"csg\" end material\n"
           "instance \"a_i\" \"ball\" material \"csg_m\" transform " +
           a_transform +
           " end instance\n"
           "instance \"b_i\" \"ball\" material \"csg_m\" transform " +
           b_transform + " end instance\n" + extra + "instgroup \"root\" \"cam_i\" \"a_i\" \"b_i\" " +
           extra_names + " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

// A directional toolkit light travelling along `direction` and a floor at z = -9 that shows
// the light arriving at it.
std::string sun_over_floor(const std::string& direction) {
    return "light \"sun\" \"orn_DirectTK\" (\"category\" \"k\") direction " + direction +
           " end light\ninstance \"sun_i\" \"sun\" end instance\n"
           "material \"floor_m\" \"orn_shadow\" (\"light_mode\" 2) end material\n" +
           quad_object("floor", -9.f) + "instance \"floor_i\" \"floor\" material \"floor_m\" end instance\n";
}

struct Traced {
    miColor color;
    int hits = 0;       // surfaces met by the eye ray and the continue rays behind it
    float last_z = 0.f; // where the last of them lies
};

Traced trace(SceneFixture& fx, float rx) {
    Traced t{};
    miState* root = fx.root(int(rx), 50);
    miVector org, dir;
    fx.frame().camera_ray(rx, 50.f, org, dir);
    root->org = org;
    root->dir = dir;
    fx.frame().trace_eye(&t.color, root, org, dir);
    for (miState* s = root->child; s && s->pri && s->type != miRAY_LIGHT; s = s->child) {
        ++t.hits;
        t.last_z = s->point.z;
    }
    return t;
}

TEST(CSG, UnionDifferenceAndIntersectionShadeOnlyTheBoundary) {
    struct Case {
        const char* params;
        float centre[3];
        int centre_hits;
        float centre_z;
        float only_b[3];
    };
    const Case cases[] = {
        // union: A's front is the hull, nothing is passed over
        {"\"operation\" 0", {1, 0.5f, 0}, 1, -5.f, {0, 0.5f, 1}},
        // B minus A: the cavity A leaves in B, shaded with A's colour, behind two passed surfaces
        {"\"operation\" 1", {1, 0.5f, 0}, 3, -7.f, {0, 0.5f, 1}},
        // intersection: B's front inside A; B alone is passed through to the black background
        {"\"operation\" 2", {0, 0.5f, 1}, 2, -6.f, {0, 0, 0}},
        // swapped difference: the first sphere minus the second, each keeping its own colour
        {"\"operation\" 1, \"swap\" on", {1, 0.5f, 0}, 1, -5.f, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params);
        SceneFixture fx;
        ASSERT_TRUE(fx.load(csg_scene(c.params)));
        const Traced centre = trace(fx, 50.f);
        expect_rgb(centre.color, c.centre[0], c.centre[1], c.centre[2]);
        EXPECT_EQ(centre.hits, c.centre_hits);
        EXPECT_NEAR(centre.last_z, c.centre_z, 0.02f);
        expect_rgb(trace(fx, kOnlyB).color, c.only_b[0], c.only_b[1], c.only_b[2]);
    }
    SceneFixture bad;
    ASSERT_TRUE(bad.load(csg_scene("\"operation\" 3")));
    expect_rgb(bad.shade(50.f, 50.f), 1, 0, 0);
    MessageCapture messages;
    SceneFixture nameless;
    ASSERT_TRUE(nameless.load(csg_scene("\"object2\" \"nowhere\"")));
    EXPECT_TRUE(
        messages.contains("orn_CSG: \"nowhere\" in \"object2\" names no instance of the scene; no hit will "
                          "match it"))
        << messages.all();
}

TEST(CSG, DetectInsideFindsTheCameraInsideEitherSolid) {
    // One solid grows to radius 10 around the camera, the other, a unit sphere, lies inside
    // it; the operation is B minus A. Only the look back from each hit tells that the ray
    // starts inside the big one.
    const std::string big = "0.1 0 0 0 0 0.1 0 0 0 0 0.1 0 0 0 0 1";
    struct Case {
        bool big_a, detect;
        float colour[3];
        int hits;
        float last_z;
    };
    const Case cases[] = {
        // Inside A, B lies within A and B minus A is empty: B's front and back, then A's wall.
        // Without the look back, B's front is taken for a boundary.
        {true, true, {0, 0, 0}, 3, -10.f},
        {true, false, {0, 0.5f, 1}, 1, -6.f},
        // Inside B, A's front is the wall of the cavity A cuts, shaded with A's colour (its one
        // child the look back's hit on B's wall behind the camera). Without the look back, A is
        // passed through and B's far wall is taken for a boundary.
        {false, true, {1, 0.5f, 0}, 2, 10.f},
        {false, false, {0, 0.5f, 1}, 3, -10.f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.big_a ? "inside A" : "inside B") + (c.detect ? ", detect" : ""));
        SceneFixture fx;
        ASSERT_TRUE(
            fx.load(csg_scene(std::string("\"operation\" 1, \"detect_inside\" ") + (c.detect ? "on" : "off"),
                              "segments", "", "", c.big_a ? big : "1 0 0 0 0 1 0 0 0 0 1 0 0 0 6 1",
                              c.big_a ? "1 0 0 0 0 1 0 0 0 0 1 0 -0.8 0 6.6 1" : big)));
        const Traced t = trace(fx, 50.f);
        expect_rgb(t.color, c.colour[0], c.colour[1], c.colour[2]);
        EXPECT_EQ(t.hits, c.hits);
        EXPECT_NEAR(t.last_z, c.last_z, 0.05f);
    }
}

TEST(CSG, UnionShadowsBlockInSegmentModeAndAreBlackOtherwise) {
    // A light travelling along (1, 0, -1) casts the spheres' shadow around (3, 0, -9) on a
    // floor at z = -9 that shows the light arriving at it.
    const std::string extra = sun_over_floor("1 0 -1");
    const float shadowed = 50.f * (1.f + 3.f / 9.f), lit = 50.f * (1.f - 5.4f / 9.f);
    for (const char* mode : {"segments", "on"}) {
        SCOPED_TRACE(mode);
        MessageCapture messages;
        SceneFixture fx;
        ASSERT_TRUE(fx.load(csg_scene("\"operation\" 0", mode, extra, "\"sun_i\" \"floor_i\"")));
        const miColor in_shadow = fx.shade(shadowed, 50.f);
        expect_rgb(in_shadow, 0, 0, 0);
        EXPECT_GT(fx.shade(lit, 50.f).r, 0.1f);
        const auto warnings = messages.of(Severity::Warning);
        const size_t n =
            std::count(warnings.begin(), warnings.end(),
                       "orn_CSG shadow shader will produce correct shadows only with \"segments\" "
                       "shadow mode!");
        EXPECT_EQ(n, std::string(mode) == "on" ? 1u : 0u) << messages.all();
    }
}

TEST(CSG, DifferenceAndIntersectionShadowsBlockOnlyWhereTheirSolidIs) {
    // Light travels along (1, 0, -1); the shadow ray of the floor point (x0, 0, -9) runs on the
    // line x + z = x0 - 9, which passes A's centre at |3 - x0| / sqrt 2 and B's at
    // |3.2 - x0| / sqrt 2: x0 = 1.65 crosses A only, 4.55 B only, 3.1 both, entering A first.
    // The spheres are hidden from the camera so that it sees the floor.
    const std::string extra = sun_over_floor("1 0 -1");
    struct Case {
        int operation;
        bool lit_a_only, lit_b_only, lit_both;
    };
    // B minus A is solid where B is outside A; A and B only where both are.
    for (const Case c : {Case{1, true, false, false}, Case{2, true, true, false}}) {
        SCOPED_TRACE("operation " + std::to_string(c.operation));
        std::string text = csg_scene("\"operation\" " + std::to_string(c.operation), "segments", extra,
                                     "\"sun_i\" \"floor_i\"");
        for (size_t at = text.find("material \"csg_m\" transform"); at != std::string::npos;
             at = text.find("material \"csg_m\" transform", at + 1))
            text.insert(at + 16, " visible off");
        SceneFixture fx;
        ASSERT_TRUE(fx.load(text));
        auto lit = [&](float x0) { return fx.shade(50.f * (1.f + x0 / 9.f), 50.f).r > 0.1f; };
        EXPECT_EQ(lit(1.65f), c.lit_a_only);
        EXPECT_EQ(lit(4.55f), c.lit_b_only);
        EXPECT_EQ(lit(3.1f), c.lit_both);
    }
}

TEST(CSG, TheCavityOfADifferenceIsLitThroughItsOpening) {
    // B minus A: the centre eye ray passes A's front (z = -5, outside B) and B's front inside A
    // (z = -6) and sees the cavity wall, A's back at z = -7. A light travelling along the eye
    // ray shines through the opening onto it. One travelling along (-1, 0, -1) reaches the
    // wall only after crossing B outside A near (1, 0, -6): the solid blocks it.
    for (const char* direction : {"0 0 -1", "-1 0 -1"}) {
        SCOPED_TRACE(direction);
        std::string text =
            csg_scene("\"operation\" 1", "segments",
                      "light \"sun\" \"orn_DirectTK\" (\"category\" \"k\") direction " +
                          std::string(direction) + " end light\ninstance \"sun_i\" \"sun\" end instance\n",
                      "\"sun_i\"");
        text.replace(text.find("\"color1\" 1 0.5 0 1"), 19, "\"color1\" = \"arrives\"");
        text.insert(text.find("shader \"csg\""), "shader \"arrives\" \"orn_shadow\" (\"light_mode\" 2)\n");
        SceneFixture fx;
        MessageCapture messages;
        ASSERT_TRUE(fx.load(text)) << messages.all();
        const Traced wall = trace(fx, 50.f);
        EXPECT_NEAR(wall.last_z, -7.f, 0.02f);
        if (std::string(direction) == "0 0 -1")
            EXPECT_GT(wall.color.r, 0.1f);
        else
            expect_rgb(wall.color, 0, 0, 0);
    }
}

// A sphere for the analytic side: where a line enters and leaves it, with a margin that keeps
// away from the silhouette, where the 64 x 32 facets of the mesh and the sphere part ways.
struct Ball {
    Vec c;
    double r;
    // The line's entry and exit; false when it misses. `grazes` when it passes within `margin`
    // of the outline, on either side.
    bool span(const Vec& o, const Vec& d, double& t0, double& t1, bool& grazes, double margin) const {
        const double along = dot(c - o, d);
        const Vec off = o + d * along - c;
        const double miss = std::sqrt(dot(off, off));
        grazes = grazes || std::fabs(miss - r) < margin;
        if (miss >= r) return false;
        const double half = std::sqrt(r * r - miss * miss);
        t0 = along - half;
        t1 = along + half;
        return true;
    }
};

// The combined solid's stretches of a line from `o` along `d` (t > `from`), for B minus A
// (operation 1) or A and B (2); `ambiguous` when two ends of the spheres' spans lie within
// `margin` of each other, where the facets may order them either way.
std::vector<std::pair<double, double>> solid_spans(int op, const Ball& a, const Ball& b, const Vec& o,
                                                   const Vec& d, double from, double margin,
                                                   bool& ambiguous) {
    double a0 = 0, a1 = -1, b0 = 0, b1 = -1;
    const bool in_a = a.span(o, d, a0, a1, ambiguous, margin), in_b = b.span(o, d, b0, b1, ambiguous, margin);
    std::vector<std::pair<double, double>> out;
    if (!in_b) return out;
    std::vector<double> ends = {b0, b1};
    if (in_a) ends.insert(ends.end(), {a0, a1});
    for (size_t i = 0; i < ends.size(); ++i)
        for (size_t j = i + 1; j < ends.size(); ++j)
            if (ends[i] > from && ends[j] > from && std::fabs(ends[i] - ends[j]) < margin) ambiguous = true;
    if (op == 2) {
        if (in_a && std::max(a0, b0) < std::min(a1, b1)) out.push_back({std::max(a0, b0), std::min(a1, b1)});
    } else if (!in_a || a1 <= b0 || a0 >= b1) {
        out.push_back({b0, b1});
    } else {
        if (b0 < a0) out.push_back({b0, a0});
        if (a1 < b1) out.push_back({a1, b1});
    }
    for (auto& s : out)
        s.first = std::max(s.first, from);
    out.erase(std::remove_if(out.begin(), out.end(), [](const auto& s) { return s.second <= s.first; }),
              out.end());
    return out;
}

TEST(CSG, DifferenceAndIntersectionShadowsFollowTheSolidExactlyOnLitFaces) {
    // Every surface shows the light arriving from a toolkit light travelling along
    // (0.32, -0.23, -0.92); A at (0.45, 0.1, -5), radius 0.9, B at (0, 0, -6.2), radius 1.3.
    // Per pixel, the visible point of the combined solid and whether the way from it to the
    // light crosses the solid are worked out on true spheres; pixels whose eye or shadow ray
    // passes within 0.03 of an outline, or of where the spheres meet, are left out.
    const Ball a{{0.45, 0.1, -5.0}, 0.9}, b{{0.0, 0.0, -6.2}, 1.3};
    const Vec travel = unit(Vec{0.32, -0.23, -0.92}), to_light = travel * -1.0;
    const double margin = 0.03;
    const std::string light =
        "light \"sun\" \"orn_DirectTK\" (\"category\" \"k\") direction 0.32 -0.23 -0.92 end light\n"
        "instance \"sun_i\" \"sun\" end instance\n";
    for (const int op : {1, 2}) {
        SCOPED_TRACE("operation " + std::to_string(op));
        std::string text = csg_scene("\"operation\" " + std::to_string(op), "segments", light, "\"sun_i\"",
                                     "1.111111 0 0 0 0 1.111111 0 0 0 0 1.111111 0 -0.5 -0.111111 5.555556 1",
                                     "0.769231 0 0 0 0 0.769231 0 0 0 0 0.769231 0 0 0 4.769231 1");
        text.replace(text.find("\"color1\" 1 0.5 0 1"), 18, "\"color1\" = \"arrives\"");
        text.replace(text.find("\"color2\" 0 0.5 1 1"), 18, "\"color2\" = \"arrives\"");
        text.insert(text.find("shader \"csg\""),
                    "shader \"arrives\" \"orn_shadow\" (\"front_only\" 1, \"light_mode\" 2)\n");
        text.replace(text.find("aperture 2 aspect 1 resolution 100 100"), 38,
                     "aperture 1 aspect 1.333333 resolution 192 144");
        SceneFixture fx;
        MessageCapture messages;
        ASSERT_TRUE(fx.load(text)) << messages.all();
        int lit = 0, shadowed = 0, wrong_black = 0, wrong_lit = 0;
        for (int y = 0; y < 144; ++y)
            for (int x = 0; x < 192; ++x) {
                miVector org, dir;
                fx.frame().camera_ray(x + 0.5f, y + 0.5f, org, dir);
                const Vec o = vec(org), d = unit(vec(dir));
                bool ambiguous = false;
                const auto seen = solid_spans(op, a, b, o, d, 0.0, margin, ambiguous);
                if (ambiguous || seen.empty()) continue;
                const Vec p = o + d * seen[0].first;
                // The boundary there: B's outside, or the inside of A's wall in the difference.
                const bool on_b = std::fabs(std::sqrt(dot(p - b.c, p - b.c)) - b.r) <
                                  std::fabs(std::sqrt(dot(p - a.c, p - a.c)) - a.r);
                const Vec n = on_b ? unit(p - b.c) : unit(p - a.c) * (op == 1 ? -1.0 : 1.0);
                if (dot(n, to_light) < 0.05) continue; // facing away or nearly edge-on
                const auto crossed = solid_spans(op, a, b, p, to_light, margin, margin, ambiguous);
                if (ambiguous) continue;
                const bool dark = !crossed.empty();
                const float r = fx.shade(x + 0.5f, y + 0.5f).r;
                ++(dark ? shadowed : lit);
                if (!dark && !(r > 0.f)) ++wrong_black;
                if (dark && r != 0.f) ++wrong_lit;
            }
        EXPECT_EQ(wrong_black, 0) << "of " << lit << " lit pixels";
        EXPECT_EQ(wrong_lit, 0) << "of " << shadowed << " shadowed pixels";
        EXPECT_GT(lit, 2000) << "too few pixels to tell";
        // The intersection is convex and never shades its own lit faces; the cavity of the
        // difference is shaded by its rim.
        if (op == 1) {
            EXPECT_GT(shadowed, 10) << "too few pixels to tell";
        }
    }
}

TEST(CSG, TwoPairsSharingASolidKeepTheirOwnRecords) {
    // Pair one is the material of A and of B, which lies at (0, 3, -6) off every ray below;
    // pair two, an intersection with A, is C's: a unit sphere at (0.9, 0, -6.9) reaching into
    // A. Pair two never meets A, so its own flags say outside A all along; with the records of
    // the two pairs mixed up it would take pair one's "inside A" for its own and shade or block
    // at C. A directional light travels along (1, 0, -1) onto a floor at z = -9 that shows the
    // light arriving (white, or black where it is blocked).
    const std::string c_sphere = "instance \"c_i\" \"ball\" material \"csg2_m\" transform "
                                 "1 0 0 0 0 1 0 0 0 0 1 0 -0.9 0 6.9 1 end instance\n";
    struct Case {
        const char* what;
        std::string one, two;
    };
    const Case cases[] = {
        {"B minus A, A and C", "\"operation\" 1, \"object1\" \"a_i\", \"object2\" \"b_i\"",
         "\"object1\" \"a_i\", \"object2\" \"c_i\""},
        {"the same, A named second and swapped",
         "\"operation\" 1, \"object1\" \"b_i\", \"object2\" \"a_i\", \"swap\" on",
         "\"object1\" \"c_i\", \"object2\" \"a_i\", \"swap\" on"},
        {"B and A, C and A, A second", "\"operation\" 2, \"object1\" \"b_i\", \"object2\" \"a_i\"",
         "\"object1\" \"c_i\", \"object2\" \"a_i\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string extra =
            sun_over_floor("1 0 -1") +
            "shader \"csg2\" \"orn_CSG\" (\"color1\" 1 0 1 1, \"color2\" 0 1 0 1, "
            "\"operation\" 2, " +
            c.two + ")\nmaterial \"csg2_m\" = \"csg2\" shadow = \"csg2\" end material\n" + c_sphere;
        SceneFixture fx;
        MessageCapture messages;
        ASSERT_TRUE(fx.load(csg_scene(c.one, "segments", extra, "\"sun_i\" \"floor_i\" \"c_i\"",
                                      "1 0 0 0 0 1 0 0 0 0 1 0 0 0 6 1", "1 0 0 0 0 1 0 0 0 0 1 0 0 -3 6 1")))
            << messages.all();
        // The centre ray: A's front at z = -5 (B minus A, or B and A, pass it), C's front at
        // -6.9 + sqrt(1 - 0.81) = -6.464 (to pair two, C alone, passed), A's back at -7, C's
        // back at -7.336, then the floor, whose light (along x + z = -9) misses A and C.
        const Traced centre = trace(fx, 50.f);
        expect_rgb(centre.color, 1, 1, 1);
        EXPECT_EQ(centre.hits, 5);
        EXPECT_NEAR(centre.last_z, -9.f, 1e-4f);
        // The floor at (3, 0, -9), seen past both spheres: its light runs along x + z = -6
        // through A's centre, entering A (neither pair one's solid), then C inside A (to pair
        // two, C alone), and arrives whole.
        expect_rgb(fx.shade(50.f * (1.f + 3.f / 9.f), 50.f), 1, 1, 1);
    }
}

TEST(CSG, TheStandardImagesDescribeTheSurfaceShown) {
    // A (label 3) and B (label 4) as above. Through pixel (50, 50) the difference shows A's
    // back behind two passed surfaces and the intersection B's front inside A; through pixel
    // 61 the intersection shows nothing. Depth, normal and label come from the true spheres
    // along the pixel's own ray (the facets lie within 0.003 of them).
    const Ball a{{0.0, 0.0, -6.0}, 1.0}, b{{0.8, 0.0, -6.6}, 1.0};
    struct Case {
        int op;
        int x;
        bool on_a, back; // the surface shown, and whether it is the far side of its sphere
    };
    for (const Case c : {Case{1, 50, true, true}, Case{2, 50, false, false}, Case{2, 61, false, false}}) {
        SCOPED_TRACE("operation " + std::to_string(c.op) + " at " + std::to_string(c.x));
        SceneFixture fx;
        ASSERT_TRUE(fx.load(csg_scene("\"operation\" " + std::to_string(c.op), "segments", "", "",
                                      "1 0 0 0 0 1 0 0 0 0 1 0 0 0 6 1 label 3",
                                      "1 0 0 0 0 1 0 0 0 0 1 0 -0.8 0 6.6 1 label 4")));
        fx.render();
        const auto& film = fx.frame().film();
        const float* depth = film.pixel(film::Depth, c.x, 50);
        const float* normal = film.pixel(film::Normal, c.x, 50);
        const std::uint32_t label = film::load_label(film.pixel(film::Label, c.x, 50));
        if (c.x == 61) {
            EXPECT_EQ(film.pixel(film::Color, c.x, 50)[3], 0.f);
            EXPECT_EQ(depth[0], 0.f);
            EXPECT_EQ(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2], 0.f);
            EXPECT_EQ(label, 0u);
            EXPECT_EQ(film.pixel(film::Coverage, c.x, 50)[0], 0.f);
            continue;
        }
        miVector org, dir;
        fx.frame().camera_ray(c.x + 0.5f, 50.5f, org, dir);
        const Vec o = vec(org), d = unit(vec(dir));
        const Ball& shown = c.on_a ? a : b;
        double t0 = 0, t1 = 0;
        bool grazes = false;
        ASSERT_TRUE(shown.span(o, d, t0, t1, grazes, 0.0));
        const Vec p = o + d * (c.back ? t1 : t0);
        const Vec n = unit(p - shown.c) * (c.back ? -1.0 : 1.0); // towards the camera
        EXPECT_NEAR(depth[0], -p.z, 0.004);
        EXPECT_NEAR(normal[0], n.x, 0.06);
        EXPECT_NEAR(normal[1], n.y, 0.06);
        EXPECT_NEAR(normal[2], n.z, 0.06);
        EXPECT_EQ(label, c.on_a ? 3u : 4u);
    }
}

TEST(CSG, FramesAreTheSameBitsOnOneAndTwoThreads) {
    // A difference under a segment-shadowing light on a floor: continue rays, probes and shadow
    // segments on every pixel.
    const std::string extra = sun_over_floor("1 -0.3 -1");
    const std::string text =
        csg_scene("\"operation\" 1, \"detect_inside\" on", "segments", extra, "\"sun_i\" \"floor_i\"");
    const std::vector<float> frames[2] = {rendered_rgba(text, 1), rendered_rgba(text, 2)};
    ASSERT_FALSE(frames[0].empty());
    EXPECT_GT(*std::max_element(frames[0].begin(), frames[0].end()), 0.1f) << "an empty frame proves nothing";
    EXPECT_TRUE(frames[0] == frames[1]);
}

} // namespace
} // namespace orn::test
