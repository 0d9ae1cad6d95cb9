// Hostile input: shader names bound to what the linked module itself defines, declarations
// that would change a linked shader's parameter block, and files that are not regular files.
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
