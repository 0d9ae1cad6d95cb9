// Hostile input: shader names bound to what the linked module itself defines, declarations
// that would change a linked shader's parameter block, and files that are not regular files.
#include "light/light_sampling.h"
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include <gtest/gtest.h>

#include <string>

using namespace orn::test;

namespace {

std::string with_material(const std::string& declarations, const std::string& material) {
    return floor_scene(declarations + "shader \"s\" " + material + "\nmaterial \"m\" = \"s\" end material\n",
                       "");
}

TEST(Hardening, ShadersBindOnlyToTheLinkedModuleAndKeepTheirFirstBlock) {
    {
        // "abort" is found through the module's dependencies, never in the module itself
        SceneFixture fx;
        MessageCapture messages;
        EXPECT_FALSE(fx.load(
            with_material("declare shader color \"abort\" () version 1 end declare\n", "\"abort\" ()")));
        EXPECT_TRUE(messages.contains("shader \"abort\" is declared but no linked module provides it"))
            << messages.all();
    }
    // the module's other exports would be called with arguments they do not take
    for (const std::string name : {"miSetModuleHandle", "orn_MegaTK_init", "orn_constant_version",
                                   "orn_MegaTK_exit", "geofeather_cb"}) {
        SceneFixture fx;
        MessageCapture messages;
        EXPECT_FALSE(fx.load(with_material("declare shader color \"" + name + "\" () version 1 end declare\n",
                                           "\"" + name + "\" ()")));
        EXPECT_TRUE(messages.contains("\"" + name + "\" of the linked module is not a shader"))
            << messages.all();
    }
    {
        // a second declaration with fewer parameters would let the code read past the block
        SceneFixture fx;
        MessageCapture messages;
        EXPECT_FALSE(fx.load(
            with_material("declare shader color \"orn_constant\" (color \"color\") version 2 end declare\n",
                          "\"orn_constant\" ()")));
        // named with the place of both declarations
        EXPECT_TRUE(messages.contains(
            "shader \"orn_constant\" is declared again with other parameters than at " ORN_SOURCE_DIR
            "/declarations/shaders_orn.mi:"))
            << messages.all();
    }
    {
        // the same declaration twice (a file included twice) is fine
        SceneFixture fx;
        EXPECT_TRUE(fx.load(with_material("$include \"" ORN_SOURCE_DIR "/declarations/shaders_orn.mi\"\n",
                                          "\"orn_constant\" (\"color\" 1 0 0 1)")));
    }
}

TEST(Hardening, FilesThatAreNotRegularFilesAreRefused) {
    // /dev/zero never ends and a directory has nothing to read: both are refused at once
    for (const std::string file : {"/dev/zero", ORN_SOURCE_DIR "/scenes"}) {
        SceneFixture fx;
        MessageCapture messages;
        EXPECT_FALSE(fx.load(floor_scene("object \"o\" visible shadow trace file \"" + file +
                                             "\" end object\n"
                                             "instance \"o_i\" \"o\" material \"floor_m\" end instance\n",
                                         "\"o_i\"")));
        EXPECT_TRUE(messages.contains("\"" + file + "\" is not a regular file")) << messages.all();
    }
    SceneFixture fx;
    MessageCapture messages;
    EXPECT_FALSE(fx.load(floor_scene("$include \"/dev/zero\"\n", "")));
    EXPECT_TRUE(messages.contains("/dev/zero")) << messages.all();
}

} // namespace

namespace {

TEST(Hardening, BadCountsAreBoundedAndBadReferencesRefused) {
    {
        // a light list that names an object instance
        SceneFixture fx;
        MessageCapture messages;
        EXPECT_FALSE(fx.load(floor_scene("shader \"s\" \"orn_shadow\" (\"lights\" [\"floor_i\"])\n", "")));
        EXPECT_TRUE(messages.contains("\"floor_i\" is not a light or a light instance")) << messages.all();
    }
    {
        // a name given twice: the later definition wins, and the user hears of it
        SceneFixture fx;
        MessageCapture messages;
        EXPECT_TRUE(fx.load(
            floor_scene("material \"floor_m\" \"orn_constant\" (\"color\" 1 0 0 1) end material\n", "")));
        EXPECT_TRUE(messages.contains("\"floor_m\" is defined again; the later definition is used"))
            << messages.all();
    }
    {
        // clipping planes the wrong way round
        std::string text = floor_scene("", "");
        text.replace(text.find("resolution 100 100"), 18, "resolution 100 100 clip 10 1");
        SceneFixture fx;
        MessageCapture messages;
        EXPECT_FALSE(fx.load(text));
        EXPECT_TRUE(messages.contains("clip near 10.000000 is not in front of clip far 1.000000"))
            << messages.all();
    }
    {
        // absurd depths and counts are bounded with a warning; an area light's grid of 2^32
        // samples (an int would overflow to 0) is scaled to 4096 in its proportions
        std::string text = floor_scene(
            plain_light("area", area_light({0, 0, 0}, "rectangle 1 0 0 0 1 0 samples 65536 16384"), "1 1 1"),
            "\"area_i\"");
        text.replace(text.find("trace depth 4 4 8"), 17,
                     "trace depth 100000 4 8 \"finalgather\" on \"finalgather rays\" 1000000 samples 0 -1 "
                     "filter box 100 0.001");
        SceneFixture fx;
        MessageCapture messages;
        ASSERT_TRUE(fx.load(text)) << messages.all();
        EXPECT_EQ(fx.frame().options_record()->reflection_depth, 64);
        EXPECT_TRUE(messages.contains("trace depth 100000 is more than 64; using 64")) << messages.all();
        EXPECT_TRUE(messages.contains("option \"finalgather rays\" 1e+06 is outside 1 to 4096; using 4096"))
            << messages.all();
        for (const char* text :
             {"samples 0 -1: a maximum below 0 takes no fewer samples than 0 (one per pixel); using 0",
              "filter width 100 is outside 0.01 to 64 pixels; using 64",
              "filter height 0.001 is outside 0.01 to 64 pixels; using 0.01"})
            EXPECT_TRUE(messages.contains(text)) << text << "\n" << messages.all();
        EXPECT_TRUE(
            messages.contains("light \"area\": samples 65536 16384 make 1073741824 samples per shaded "
                              "point, more than 4096; using 128 32"))
            << messages.all();
        ASSERT_EQ(fx.frame().lights().size(), 1u);
        EXPECT_EQ(orn::light_sample_count(fx.frame().lights()[0]), 4096);
    }
    {
        // reading stops at the first error: a broken camera transform is the only message, and
        // of two undefined materials only the first is named
        std::string text = floor_scene("material \"a\" = \"nowhere\" end material\n"
                                       "material \"b\" = \"nothing\" end material\n",
                                       "");
        SceneFixture fx;
        MessageCapture messages;
        EXPECT_FALSE(fx.load(text));
        EXPECT_EQ(messages.of(orn::Severity::Error).size(), 1u) << messages.all();
        EXPECT_TRUE(messages.contains("\"nowhere\"")) << messages.all();

        text = floor_scene("", "");
        const std::string cam = "instance \"cam_i\" \"cam\"";
        text.replace(text.find(cam), cam.size(), cam + " transform 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0");
        SceneFixture singular;
        MessageCapture camera_messages;
        EXPECT_FALSE(singular.load(text));
        EXPECT_EQ(camera_messages.of(orn::Severity::Error).size(), 1u) << camera_messages.all();
        EXPECT_TRUE(camera_messages.contains("instance \"cam_i\" has a singular transform"))
            << camera_messages.all();
    }
}

} // namespace
