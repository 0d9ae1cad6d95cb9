// Declared defaults: a toolkit material and light given no parameters light a surface, one
// switch makes the material clear glass, and what a scene sets replaces the default.
#include "support/scene_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using orn::test::MessageCapture;
using orn::test::module_preamble;
using orn::test::SceneFixture;

// A camera at the origin looking down -z at three 2 x 2 quads side by side at z = -5, seen at
// pixels 90, 150 and 210 of a row (left
// `left`, middle `middle`, right `right`), an orange quad behind them at z = -9 and a
// directional toolkit light shining straight along -z.
std::string scene(const std::string& left, const std::string& middle, const std::string& right) {
    auto quad = [](const std::string& name, float x, float z, const std::string& material) {
        const std::string xs[2] = {std::to_string(x - 1), std::to_string(x + 1)};
        const std::string zs = std::to_string(z);
        return "object \"" + name + "\" visible shadow trace group " + xs[0] + " -1 " + zs + "  " + xs[1] +
               " -1 " + zs + "  " + xs[1] + " 1 " + zs + "  " + xs[0] + " 1 " + zs +
               " v 0 v 1 v 2 v 3 p 0 1 2 3 end group end object\ninstance \"" + name + "_i\" \"" + name +
               "\" material \"" + material + "\" end instance\n";
    };
    return module_preamble() + "options \"opt\" samples 0 0 end options\n" +
           "camera \"cam\" focal 1 aperture 2 aspect 3 resolution 300 100 end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n"
           "material \"left\" \"orn_MegaTK\" (" +
           left + ") end material\nmaterial \"middle\" \"orn_MegaTK\" (" + middle +
           ") end material\nmaterial \"right\" \"orn_MegaTK\" (" + right +
           ") end material\nmaterial \"orange\" \"orn_constant\" (\"color\" 1 0.5 0.25 1) end material\n" +
           quad("a", -2, -5, "left") + quad("b", 0, -5, "middle") + quad("c", 2, -5, "right") +
           "object \"back\" visible shadow trace group -9 -3 -9  9 -3 -9  9 3 -9  -9 3 -9 "
           "v 0 v 1 v 2 v 3 p 0 1 2 3 end group end object\n"
           "instance \"back_i\" \"back\" material \"orange\" end instance\n"
           "light \"sun\" \"orn_DirectTK\" () direction 0 0 -1 end light\ninstance \"sun_i\" \"sun\" end "
           "instance\n"
           "instgroup \"root\" \"cam_i\" \"a_i\" \"b_i\" \"c_i\" \"back_i\" \"sun_i\" end instgroup\n"
           "render \"root\" \"cam_i\" \"opt\"\n";
}

TEST(Defaults, BareMaterialIsLitGlassIsClearAndSceneValuesWin) {
    MessageCapture messages;
    SceneFixture fx;
    ASSERT_TRUE(
        fx.load(scene("", "\"refract_on\" on", "\"diffuse_color\" 0.5 0.25 1, \"diffuse_weight\" 0.5")))
        << messages.all();
    // Facing the light: the default colour 0.8 times the full cosine.
    const miColor lit = fx.shade(90, 50);
    EXPECT_NEAR(lit.r, 0.8f, 1e-5f);
    EXPECT_NEAR(lit.b, 0.8f, 1e-5f);
    EXPECT_FLOAT_EQ(lit.a, 1.f);
    // Refraction on: index 1, no absorption and no diffuse left, so the quad behind shows as it is.
    const miColor glass = fx.shade(150, 50);
    EXPECT_NEAR(glass.r, 1.f, 1e-5f);
    EXPECT_NEAR(glass.g, 0.5f, 1e-5f);
    EXPECT_NEAR(glass.b, 0.25f, 1e-5f);
    // Values the scene sets replace the defaults: colour times weight.
    const miColor set = fx.shade(210, 50);
    EXPECT_NEAR(set.r, 0.25f, 1e-5f);
    EXPECT_NEAR(set.g, 0.125f, 1e-5f);
    EXPECT_NEAR(set.b, 0.5f, 1e-5f);
    // An index of refraction of 1 needs no correction.
    EXPECT_FALSE(messages.contains("index of refraction")) << messages.all();
}

TEST(Defaults, OnlyPlainParametersOfSimpleTypesTakeOne) {
    struct Case {
        std::string decl, error;
    };
    const Case cases[] = {
        {"array scalar \"s\" default 1", "only plain parameters of a shader take a default (\"s\")"},
        {"light \"l\" default \"sun\"", "parameter \"l\" of shader \"d\" is a light and takes no default"},
        {"color \"c\" default 1 2", "parameter \"c\" of shader \"d\" expects a colour of 3 or 4 numbers"},
    };
    for (const Case& c : cases) {
        MessageCapture messages;
        SceneFixture fx;
        EXPECT_FALSE(fx.load("declare shader color \"d\" (" + c.decl + ") version 1 end declare\n"));
        EXPECT_TRUE(messages.contains(c.error)) << c.decl << ":\n" << messages.all();
    }
}

} // namespace
