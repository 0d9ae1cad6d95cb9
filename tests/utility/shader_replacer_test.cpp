// The material replacer: redefining instances before the frame, its progress lines and its
// errors, through the real module and a real frame.
#include "source/utility/orn_shader_replacer.h"
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace orn::test {
namespace {

// The quad "surface" (red) fills the view; "patch_i" covers its left half at z = -4 with the
// blue material its own polygon names.
QuadScene two_surfaces(const std::string& replacer, bool call) {
    QuadScene s;
    s.defs = "material \"red_m\" \"orn_constant\" (\"color\" 1 0 0 1) end material\n"
             "material \"blue_m\" \"orn_constant\" (\"color\" 0 0 1 1) end material\n"
             "material \"grey_m\" \"orn_constant\" (\"color\" 0.5 0.5 0.5 1) shadow \"orn_constant\" () "
             "end material\n"
             "object \"patch\" visible shadow trace group\n  -9 -9 -4  0 -9 -4  0 9 -4  -9 9 -4\n"
             "  v 0 v 1 v 2 v 3\n  p \"blue_m\" 0 1 2 3\nend group end object\n"
             "instance \"patch_i\" \"patch\" end instance\n"
             "light \"sun\" \"orn_constant\" () direction 0 0 -1 end light\n"
             "instance \"sun_i\" \"sun\" end instance\n"
             "shader \"rep\" \"orn_shader_replacer\" (" +
             replacer + ")\n" + (call ? "call \"rep\"\n" : "");
    s.material = "red_m";
    s.instances = {"patch_i", "sun_i"};
    return s;
}

// The info lines of a run, without their line ends.
std::vector<std::string> info_lines(const MessageCapture& m) {
    std::vector<std::string> lines = m.of(Severity::Info);
    for (auto& l : lines)
        while (!l.empty() && l.back() == '\n')
            l.pop_back();
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& l) {
                                   return l.find("orn_shader_replacer") == std::string::npos &&
                                          l.find("*****") == std::string::npos;
                               }),
                lines.end());
    return lines;
}

const std::string kBanner = "*************************************";

TEST(ShaderReplacer, OverridesEveryListedInstanceBeforeTheFrame) {
    QuadScene s = two_surfaces("\"enable\" on, \"material\" \"grey_m\", \"instances\" [\"patch_i\"]", true);
    SceneFixture fx;
    MessageCapture messages;
    ASSERT_TRUE(fx.load(s.text())) << messages.all();
    expect_rgb(fx.shade(25, 50), 0.5f, 0.5f, 0.5f); // the polygon's own blue is overridden
    expect_rgb(fx.shade(75, 50), 1.f, 0.f, 0.f);    // not listed
    EXPECT_TRUE(info_lines(messages).empty()) << "not verbose";
}

TEST(ShaderReplacer, AGroupInstanceOverridesEveryInstanceBelowItInTheSameFrame) {
    // "grp_i" places three kinds of child: the patch on the left (its polygon names blue), a quad
    // "plain" on the lower right that inherits the group instance's green, and "own_i" on the
    // upper right with a yellow material of its own. The redefined group instance's override
    // wins over all of them.
    QuadScene s = two_surfaces("\"enable\" on, \"material\" \"grey_m\", \"instances\" [\"grp_i\"]", false);
    s.defs.insert(s.defs.find("shader \"rep\""),
                  "material \"green_m\" \"orn_constant\" (\"color\" 0 1 0 1) end material\n"
                  "material \"yellow_m\" \"orn_constant\" (\"color\" 1 1 0 1) end material\n"
                  "object \"plain\" visible shadow trace group\n  0 -9 -4  9 -9 -4  9 0 -4  0 0 -4\n"
                  "  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
                  "object \"upper\" visible shadow trace group\n  0 0 -4  9 0 -4  9 9 -4  0 9 -4\n"
                  "  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
                  "instance \"plain_i\" \"plain\" end instance\n"
                  "instance \"own_i\" \"upper\" material \"yellow_m\" end instance\n"
                  "instgroup \"grp\" \"patch_i\" \"plain_i\" \"own_i\" end instgroup\n"
                  "instance \"grp_i\" \"grp\" material \"green_m\" end instance\n");
    s.instances = {"grp_i", "sun_i"};
    for (bool call : {false, true}) {
        SCOPED_TRACE(call ? "replaced" : "as the scene says");
        if (call) s.defs += "call \"rep\"\n";
        SceneFixture fx;
        MessageCapture messages;
        ASSERT_TRUE(fx.load(s.text())) << messages.all();
        const float grey = 0.5f;
        expect_rgb(fx.shade(25, 50), call ? grey : 0.f, call ? grey : 0.f, call ? grey : 1.f); // polygon's
        expect_rgb(fx.shade(75, 25), call ? grey : 0.f, call ? grey : 1.f, call ? grey : 0.f); // inherited
        expect_rgb(fx.shade(75, 75), call ? grey : 1.f, call ? grey : 1.f, call ? grey : 0.f); // its own
    }
}

TEST(ShaderReplacer, VerboseProgressAndEmptyList) {
    SceneFixture fx;
    MessageCapture messages;
    ASSERT_TRUE(fx.load(two_surfaces("\"enable\" on, \"verbose\" on, \"material\" \"grey_m\", "
                                     "\"instances\" [\"patch_i\"]",
                                     true)
                            .text()));
    const std::vector<std::string> want = {kBanner,
                                           "    orn_shader_replacer",
                                           kBanner,
                                           "orn_shader_replacer->instance:: patch_i",
                                           "orn_shader_replacer->instance->object:: patch",
                                           "orn_shader_replacer->material:: grey_m",
                                           "orn_shader_replacer->material->shader:: grey_m:surface:3",
                                           "orn_shader_replacer->material->shadow:: grey_m:shadow:4",
                                           "orn_shader_replacer->oldinstance->material:: ",
                                           "orn_shader_replacer: should replace the old material on patch_i",
                                           kBanner,
                                           "orn_shader_replacer: Finished",
                                           kBanner};
    EXPECT_EQ(info_lines(messages), want);

    SceneFixture empty;
    MessageCapture m2;
    ASSERT_TRUE(empty.load(two_surfaces("\"enable\" on, \"verbose\" on, \"instances\" []", true).text()));
    EXPECT_EQ(info_lines(m2), (std::vector<std::string>{kBanner, "    orn_shader_replacer", kBanner,
                                                        "orn_shader_replacer: Finished", kBanner}));

    SceneFixture off;
    MessageCapture m3;
    ASSERT_TRUE(off.load(
        two_surfaces("\"verbose\" on, \"material\" \"grey_m\", \"instances\" [\"patch_i\"]", true).text()));
    EXPECT_TRUE(info_lines(m3).empty());
    expect_rgb(off.shade(25, 50), 0.f, 0.f, 1.f);

    // a failed override leaves another frame than the one asked for: it is not rendered
    SceneFixture failed;
    MessageCapture m4;
    EXPECT_FALSE(failed.load(
        two_surfaces("\"enable\" on, \"material\" \"grey_m\", \"instances\" [\"sun\"]", true).text()));
    EXPECT_TRUE(m4.contains("scene-editing shader \"rep\" failed; the frame is not rendered")) << m4.all();
}

TEST(ShaderReplacer, StopsAtTheFirstFailureAndKeepsEarlierEdits) {
    struct Case {
        std::string params, message;
        bool patch_changed;
    };
    const std::vector<Case> cases = {
        {"\"material\" \"grey_m\", \"instances\" [\"patch_i\", \"sun\"]",
         "orn_shader_replacer: \"sun\" is not miSCENE_INSTANCE\n", true},
        {"\"material\" \"grey_m\", \"instances\" [\"sun\", \"patch_i\"]",
         "orn_shader_replacer: \"sun\" is not miSCENE_INSTANCE\n", false},
        {"\"instances\" [\"patch_i\"]",
         "orn_shader_replacer: no material with given TAG \"0\" was found in scene DB. Or no material "
         "specified\n",
         false},
        {"\"material\" \"patch_i\", \"instances\" [\"patch_i\"]",
         "orn_shader_replacer: \"patch_i\" is not miSCENE_MATERIAL\n", false},
        // the second element is set to 0 below
        {"\"material\" \"grey_m\", \"instances\" [\"patch_i\", \"patch_i\"]",
         "orn_shader_replacer: no object with given TAG \"0\" was found in scene DB. Or no object "
         "specified\n",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params);
        SceneFixture fx;
        ASSERT_TRUE(fx.load(two_surfaces("\"enable\" on, " + c.params, false).text()));
        Database& db = *Database::current();
        auto* fe = db.get_as<FunctionElement>(db.lookup("rep"), miSCENE_FUNCTION);
        ASSERT_NE(fe, nullptr);
        auto* block = reinterpret_cast<orn_shader_replacer_params*>(fe->function.storage.data());
        if (&c == &cases.back()) block->instances[block->i_instances + 1] = miNULLTAG;
        MessageCapture messages;
        miBoolean result = miTRUE;
        EXPECT_FALSE(fx.call("rep", &result, fx.root()));
        const auto errors = messages.of(Severity::Error);
        ASSERT_EQ(errors.size(), 1u) << messages.all();
        EXPECT_EQ(errors[0] + (errors[0].back() == '\n' ? "" : "\n"), c.message);
        if (c.patch_changed)
            expect_rgb(fx.shade(25, 50), 0.5f, 0.5f, 0.5f);
        else
            expect_rgb(fx.shade(25, 50), 0.f, 0.f, 1.f);
    }
}

} // namespace
} // namespace orn::test
