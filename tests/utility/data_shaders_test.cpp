// Depth and motion as colours: orn_z on real hits, and orn_motion_to_rgb on a quad that the
// scene moves with an instance motion transform or per-vertex motion vectors.
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include <gtest/gtest.h>

namespace orn::test {
namespace {

// The quad of QuadScene is 5 units in front of a 90-degree camera 100 pixels wide, so
// 10 pixels on screen are 1 unit on the quad.
QuadScene depth_scene(const std::string& params) {
    QuadScene q;
    q.defs = "material \"depth\" \"orn_z\" (" + params + ") end material\n";
    q.material = "depth";
    return q;
}

TEST(DepthShader, NormalisesTheHitDistanceBetweenNearAndFar) {
    SceneFixture f;
    ASSERT_TRUE(f.load(depth_scene("\"near_distance\" 0, \"far_distance\" 100").text()));
    expect_color(f.shade(50.f, 50.f), 0.05f, 0.05f, 0.05f, 1.f);

    SceneFixture raw;
    ASSERT_TRUE(raw.load(depth_scene("\"raw_distance\" on").text()));
    expect_color(raw.shade(50.f, 50.f), 5.f, 5.f, 5.f, 1.f, 1e-5f);

    // In scene units the inverse is taken from the range: (12 - 2) - (5 - 2).
    SceneFixture raw_inverted;
    ASSERT_TRUE(raw_inverted.load(
        depth_scene("\"near_distance\" 2, \"far_distance\" 12, \"raw_distance\" on, \"invert\" 1").text()));
    expect_color(raw_inverted.shade(50.f, 50.f), 7.f, 7.f, 7.f, 1.f, 1e-5f);

    // Nearer than the near distance clamps to 0, which inverts to 1.
    SceneFixture inverted;
    ASSERT_TRUE(inverted.load(depth_scene("\"near_distance\" 10, \"far_distance\" 20, \"invert\" 1").text()));
    expect_color(inverted.shade(50.f, 50.f), 1.f, 1.f, 1.f, 1.f);
}

TEST(DepthShader, PartlyOpaqueSurfaceAddsWhatIsBehindAndAnEqualRangeWritesZero) {
    // A quarter-opaque quad at distance 5 in front of another, 5 units farther, with the same
    // material.
    QuadScene q = depth_scene("\"far_distance\" 100, \"opacity\" 0.25");
    q.defs += quad_object("back", -10.f) + "instance \"back_i\" \"back\" material \"depth\" end instance\n";
    q.instances = {"back_i"};
    SceneFixture f;
    ASSERT_TRUE(f.load(q.text()));
    // The back one, on a transparency ray 5 long: 5/100 and alpha 0 (nothing behind) + 0.25.
    // The front: 5/100 + (1 - 0.25) * 0.05, alpha 0.25 + 0.25.
    expect_color(f.shade(50.f, 50.f), 0.0875f, 0.0875f, 0.0875f, 0.5f);

    MessageCapture messages;
    SceneFixture zero;
    ASSERT_TRUE(zero.load(depth_scene("\"near_distance\" 3, \"far_distance\" 3").text()));
    expect_color(zero.shade(50.f, 50.f), 0.f, 0.f, 0.f, 1.f);
    EXPECT_TRUE(messages.contains("orn_z: far_distance equals near_distance"));
}

QuadScene motion_scene(int mode, int max_pixels, double dx) {
    QuadScene q;
    q.defs = "material \"motion\" \"orn_motion_to_rgb\" (\"output_mode\" " + std::to_string(mode) +
             ", \"max_pixels\" " + std::to_string(max_pixels) + ") end material\n";
    q.material = "motion";
    // World to object at the end of the shutter: the quad has moved dx along +x.
    if (dx != 0.0)
        q.placement = "motion transform 1 0 0 0  0 1 0 0  0 0 1 0  " + std::to_string(-dx) + " 0 0 1";
    return q;
}

TEST(MotionShader, EncodesScreenDisplacement) {
    SceneFixture moving;
    ASSERT_TRUE(moving.load(motion_scene(3, 20, 1.0).text()));
    // 10 pixels to the right: direction (1, 0), length 10 of 20.
    expect_color(moving.shade(50.5f, 50.5f), 0.f, 0.5f, 0.5f, 1.f, 1e-4f);

    SceneFixture pixels;
    ASSERT_TRUE(pixels.load(motion_scene(1, 20, 1.0).text()));
    expect_color(pixels.shade(30.5f, 70.5f), 10.f, 0.f, 0.f, 1.f, 1e-3f);

    SceneFixture still;
    ASSERT_TRUE(still.load(motion_scene(4, 20, 0.0).text()));
    expect_color(still.shade(50.5f, 50.5f), 0.5f, 0.5f, 0.f, 1.f);
}

TEST(MotionShader, VertexMotionVectorsInEveryModeAndTheMotionImage) {
    // A quad 4 units away (12.5 pixels a unit) whose vertices all move 0.4: 5 pixels.
    struct Case {
        int mode;
        const char* motion;
        float r, g, b;
    };
    const Case cases[] = {
        {0, "0 0.4 0", 0.f, 0.4f, 0.f},     // the motion vector in camera space
        {1, "0 0.4 0", 0.f, 5.f, 0.f},      // in pixels
        {2, "0 0.4 0", 0.25f, 5.f, 0.f},    // straight up: 90 of 360 degrees, 5 long
        {2, "0 -0.4 0", 0.75f, 5.f, 0.f},   // down: 270 degrees
        {2, "-0.4 0 0", 0.5f, 5.001f, 0.f}, // left: 180 degrees, 0.001 added to x
        {3, "0 0.4 0", 0.5f, 0.f, 0.25f},   // direction (0, 1), 5 of 20 pixels
        {4, "0 0.4 0", 0.5f, 0.375f, 0.f},  // (0, 5) of 20 pixels
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + ", motion " + c.motion);
        QuadScene q = motion_scene(c.mode, 20, 0.0);
        q.defs = "object \"up\" visible shadow trace group\n"
                 "  -20 -20 -4  20 -20 -4  20 20 -4  -20 20 -4  " +
                 std::string(c.motion) +
                 "\n"
                 "  v 0 m 4 v 1 m 4 v 2 m 4 v 3 m 4\n  p 0 1 2 3\nend group end object\n"
                 "instance \"up_i\" \"up\" material \"motion\" end instance\n" +
                 q.defs;
        q.instances = {"up_i"};
        SceneFixture f;
        ASSERT_TRUE(f.load(q.text()));
        expect_color(f.shade(50.5f, 50.5f), c.r, c.g, c.b, 1.f, 1e-3f);
        if (c.mode != 1) continue; // (moving up)
        f.render();
        const float* m = f.frame().film().pixel(film::Motion, 20, 30);
        EXPECT_NEAR(m[0], 0.f, 1e-3f);
        EXPECT_NEAR(m[1], 5.f, 1e-3f);
        EXPECT_NEAR(m[2], 0.f, 1e-4f);
    }
}

TEST(MotionShader, PrintsTheLargestWholeDisplacementOnceAtTheEnd) {
    // 1.27 units are 12.7 pixels at every point of the quad; two threads raise the maximum.
    MessageCapture messages;
    {
        SceneFixture f;
        ASSERT_TRUE(f.load(motion_scene(3, 20, 1.27).text()));
        f.frame().render_pixels();
        f.frame().finish();
    }
    EXPECT_TRUE(messages.contains("orn_motion_to_rgb: Max Displace -> 12 pixels")) << messages.all();
}

} // namespace
} // namespace orn::test
