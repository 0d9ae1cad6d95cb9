// The fisheye lens, the environment lookup and the eye texture on real rays and hits.
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orn::test {
namespace {

// QuadScene's quad at z = -5 showing its raw depth, seen through `lens` (none when empty).
QuadScene depth_through(const std::string& lens) {
    QuadScene q;
    if (!lens.empty()) q.camera = "lens \"orn_fisheye\" (" + lens + ")\n";
    q.defs = "material \"depth\" \"orn_z\" (\"raw_distance\" on) end material\n";
    q.material = "depth";
    return q;
}

TEST(FisheyeLens, NoAmountIsThePlainEyeRayAndFullAmountBendsByThePixelDistance) {
    SceneFixture plain, none, full;
    ASSERT_TRUE(plain.load(depth_through("").text()));
    ASSERT_TRUE(none.load(depth_through("\"fisheye_amount\" 0").text()));
    ASSERT_TRUE(full.load(depth_through("\"fisheye_amount\" 1").text()));
    for (const float rx : {10.5f, 50.5f, 75.f})
        EXPECT_EQ(none.through_lens(rx, 50.f).r, plain.shade(rx, 50.f).r) << rx;

    // Raster x 75 is a quarter of the aperture width right of the centre: the ray (0.5, 0, -1)
    // has nx = 0.25, so g = 1/16 and the fisheye ray is (dx / 16, 0, -sqrt(1 - (dx / 16)^2)),
    // which meets the quad 5 units away at 5 / sqrt(1 - (dx / 16)^2).
    const double dx = 0.5 / std::sqrt(1.25), fx = dx / 16.0;
    EXPECT_NEAR(full.through_lens(75.f, 50.f).r, 5.0 / std::sqrt(1.0 - fx * fx), 1e-4);
    EXPECT_NEAR(plain.shade(75.f, 50.f).r, 5.0 * std::sqrt(1.25), 1e-4);

    // An image twice as wide as high: raster (90, 90) is the ray (0.8, 0.4, -1), whose
    // ny = 0.5 x 0.4 x aspect 2 equals nx = 0.4, so g = 0.32.
    QuadScene wide_scene = depth_through("\"fisheye_amount\" 1");
    wide_scene.camera += "aspect 2\n";
    SceneFixture wide;
    ASSERT_TRUE(wide.load(wide_scene.text()));
    const double len = std::sqrt(1.8), gx = 0.32 * 0.8 / len, gy = 0.32 * 0.4 / len;
    EXPECT_NEAR(wide.through_lens(90.f, 90.f).r, 5.0 / std::sqrt(1.0 - gx * gx - gy * gy), 1e-4);
}

QuadScene environment_scene(const std::string& params) {
    QuadScene q;
    q.camera = "environment \"orn_constant\" (\"color\" 0.2 0.4 0.6 1)\n";
    q.defs = "material \"env\" \"orn_environment\" (" + params + ") end material\n";
    q.material = "env";
    return q;
}

TEST(EnvironmentLookup, AConstantEnvironmentComesBackTintedAndScaledHoweverBlurred) {
    for (const std::string spread : {"0", "90", "180"}) {
        SceneFixture f;
        ASSERT_TRUE(f.load(
            environment_scene("\"intensity\" 2, \"tint\" 1 0.5 0.25 1, \"samples\" 16, \"spread\" " + spread)
                .text()));
        expect_rgb(f.shade(50.f, 50.f), 0.4f, 0.4f, 0.3f, 1e-5f);
    }
    SceneFixture none;
    ASSERT_TRUE(none.load(environment_scene("\"samples\" 0, \"spread\" 30").text()));
    expect_rgb(none.shade(50.f, 50.f), 0.f, 0.f, 0.f);

    // As the camera's own environment it cannot look itself up: black, and no endless calls.
    QuadScene self = environment_scene("");
    self.camera = "environment \"orn_environment\" (\"spread\" 20)\n";
    SceneFixture f;
    ASSERT_TRUE(f.load(self.text()));
    expect_rgb(f.shade(50.f, 50.f), 0.f, 0.f, 0.f);
}

// Calls the eye texture "eye" at texture coordinate (u, v) of the quad's hit.
miColor eye_at(SceneFixture& f, float u, float v) {
    miState* hit = f.probe_eye(50.f, 50.f);
    if (!hit || !hit->tex_list) {
        ADD_FAILURE() << "no textured hit";
        return {};
    }
    hit->tex_list[0] = {u, v, 0.f};
    miColor c{0, 0, 0, 0};
    EXPECT_TRUE(f.call("eye", &c, hit));
    return c;
}

QuadScene eye_scene(const std::string& params) {
    QuadScene q;
    q.defs =
        "shader \"eye\" \"orn_eye\" (\"pupil_color\" 1 0 0 1, \"pupil_radius\" 0.2, \"iris_color1\" 0 0 0 1, "
        "\"iris_color2\" 0 0 0 1, \"iris_radius\" 0.5, \"limbus_fade\" 0, \"limbus_width\" 0, "
        "\"limbus_blur\" 0, \"sclera_color\" 1 1 1 1, \"sclera_edge_color\" 0 0 1 1" +
        params + ")\nmaterial \"eye_m\" = \"eye\" end material\n";
    q.material = "eye_m";
    return q;
}

TEST(EyeTexture, PupilSlitAndSclera) {
    SceneFixture f;
    ASSERT_TRUE(f.load(eye_scene("").text()));
    // v is radial (m = (1 - v) x 2), u angular; the centre is the pupil, alpha the angle.
    expect_color(eye_at(f, 0.3f, 1.f), 1.f, 0.f, 0.f, 0.3f);
    // Without limbus the sclera blends to its edge colour from the iris radius out: m = 0.75
    // is half way, where the smooth step is 1/2.
    expect_color(eye_at(f, 0.6f, 0.625f), 0.5f, 0.5f, 1.f, 0.6f);

    // A slit of 0.75 keeps radius 0.2 at angle 0 and narrows it to 0.05 at a quarter turn.
    SceneFixture slit;
    ASSERT_TRUE(slit.load(eye_scene(", \"pupil_slit\" 0.75").text()));
    expect_rgb(eye_at(slit, 0.f, 0.925f), 1.f, 0.f, 0.f);
    expect_rgb(eye_at(slit, 0.25f, 0.95f), 0.f, 0.f, 0.f);
    expect_rgb(eye_at(slit, 0.25f, 0.985f), 1.f, 0.f, 0.f);

    // A slit of 1 closes the pupil to nothing and the slit circle is undefined: it stays round.
    SceneFixture closed;
    ASSERT_TRUE(closed.load(eye_scene(", \"pupil_slit\" 1").text()));
    expect_rgb(eye_at(closed, 0.25f, 0.925f), 1.f, 0.f, 0.f);
}

} // namespace
} // namespace orn::test
