// The pass set-up shader run by a scene's `call` statement: the options it sets, the output
// list it rebuilds, the output shaders it declares when the scene has not, and the standard
// and tk pass buffers it defines with their files.
#include "support/scene_fixture.h"

#include "db/database.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using orn::test::MessageCapture;
using orn::test::module_preamble;
using orn::test::SceneFixture;
using orn::test::zero_defaults;

namespace fs = std::filesystem;

namespace {

using Buffer = orn::FramebufferElement::Buffer;

// The renderer checks that buffer files can be written, so they go to the test's directory.
std::string out_dir() {
    return std::filesystem::path(orn::test::temp_path("probe")).parent_path().string();
}
std::string out(const std::string& file) {
    return out_dir() + "/" + file;
}

// A one-camera scene whose `call` runs orn_MegaTK_pass: file "shot" in the test's directory,
// frame 12 with 4 digits, then `params`.
std::string pass_scene(const std::string& params, const std::string& camera_extra = "",
                       const std::string& preamble = module_preamble(),
                       const std::string& base = "\"file_name\" \"shot\", \"frame_digits\" 4, ") {
    return preamble + "options \"opt\" samples 0 0 end options\ncamera \"cam\" resolution 4 4 frame 12 " +
           camera_extra +
           " end camera\ninstance \"cam_i\" \"cam\" end instance\nshader \"pass\" \"orn_MegaTK_pass\" (" +
           zero_defaults("orn_MegaTK_pass") + base + "\"directory\" \"" + out_dir() + "\", " + params +
           ")\ncall \"pass\"\ninstgroup \"root\" \"cam_i\" end instgroup\nrender \"root\" \"cam_i\" "
           "\"opt\"\n";
}

class PassSetup : public ::testing::Test {
  protected:
    orn::Database& db() { return fx->session().db(); }
    miCamera& camera() { return db().get_as<orn::CameraElement>(db().lookup("cam"), miSCENE_CAMERA)->record; }
    const std::vector<orn::OutputEntry>& outputs() {
        static const std::vector<orn::OutputEntry> none;
        auto* list = dynamic_cast<orn::OutputListElement*>(db().get(camera().output));
        return list ? list->entries : none;
    }
    orn::FramebufferElement& buffers() {
        return *db().get_as<orn::FramebufferElement>(camera().buffertag, miSCENE_FRAMEBUFFER);
    }
    const Buffer* buffer(const std::string& name) {
        const int i = buffers().index_of(name);
        return i < 0 ? nullptr : &buffers().buffers[size_t(i)];
    }
    std::vector<std::string> tk_buffers() {
        std::vector<std::string> names;
        for (const auto& b : buffers().buffers)
            if (b.name.rfind("tk_", 0) == 0) names.push_back(b.name);
        return names;
    }
    std::string prop(const std::string& name, const std::string& property) {
        const Buffer* b = buffer(name);
        return b ? b->text(property, "<unset>") : "<no buffer>";
    }
    bool flag(const std::string& name, const std::string& property) {
        const Buffer* b = buffer(name);
        return b && b->flag(property, false);
    }
    bool has(const std::string& name, const std::string& property) {
        const Buffer* b = buffer(name);
        return b && b->find(property);
    }
    bool option(const char* name) {
        bool value = false;
        auto* options = db().get_as<orn::OptionsElement>(db().lookup("opt"), miSCENE_OPTIONS);
        EXPECT_TRUE(options && options->get(name, &value)) << name;
        return value;
    }

    // Parameters of an output entry's shader call.
    std::string shader(const orn::OutputEntry& e) {
        auto* fe = db().get_as<orn::FunctionElement>(e.shader, miSCENE_FUNCTION);
        return fe ? fe->function.decl->decl.name : "<no function>";
    }
    uint32_t word(const orn::OutputEntry& e, const std::string& name) {
        const miFunction& f = db().get_as<orn::FunctionElement>(e.shader, miSCENE_FUNCTION)->function;
        for (const auto& field : f.decl->layout.fields)
            if (field.name == name) return f.storage[field.offset / 4];
        ADD_FAILURE() << "no parameter " << name;
        return 0;
    }
    int integer(const orn::OutputEntry& e, const std::string& name) { return int(word(e, name)); }
    std::string text(const orn::OutputEntry& e, const std::string& name) {
        auto* s = db().get_as<orn::StringElement>(word(e, name), miSCENE_STRING);
        return s ? s->text : "<null>";
    }

    // The old session goes first: a session makes its database the current one.
    void fresh_scene() {
        fx.reset();
        fx = std::make_unique<SceneFixture>();
    }

    MessageCapture messages;
    std::unique_ptr<SceneFixture> fx = std::make_unique<SceneFixture>();
};

// ------------------------------------------------------------------ output list

TEST_F(PassSetup, DiffuseAloneInTiffModeGivesOneRatioAndTwoTiffPasses) {
    ASSERT_TRUE(fx->load(pass_scene("\"output_mode\" 0, \"filtering\" 1, \"diffuse_pass\" on")))
        << messages.all();
    ASSERT_EQ(outputs().size(), 1u);
    EXPECT_EQ(shader(outputs()[0]), "orn_math_output");
    EXPECT_EQ(text(outputs()[0], "buffer_a"), "tk_shadow");
    EXPECT_EQ(text(outputs()[0], "buffer_b"), "tk_diffuse");
    EXPECT_EQ(integer(outputs()[0], "operation"), 1);

    EXPECT_EQ(tk_buffers(), (std::vector<std::string>{"tk_diffuse", "tk_shadow"}));
    EXPECT_EQ(prop("tk_diffuse", "filename"), out("shot.diffuse.0012.tif"));
    EXPECT_EQ(prop("tk_shadow", "filename"), out("shot.shadow.0012.tif"));
    for (const char* name : {"tk_diffuse", "tk_shadow"}) {
        EXPECT_EQ(prop(name, "filetype"), "tif");
        EXPECT_EQ(prop(name, "datatype"), "rgb_fp");
        EXPECT_TRUE(flag(name, "user") && flag(name, "useopacity") && flag(name, "filtering")) << name;
    }
    EXPECT_EQ(buffer("color"), nullptr) << "rgba_pass off leaves the colour buffer alone";
    EXPECT_FALSE(option("contrast all buffers"));
    EXPECT_TRUE(option("rast useopacity"));
}

TEST_F(PassSetup, RatiosRunInPairOrderAndPairsAreDefinedWhole) {
    ASSERT_TRUE(fx->load(pass_scene("\"diffuse_occlusion_pass\" on, \"diffuse_shadow_pass\" on, "
                                    "\"specular_shadow_pass\" on, \"ambient_occlusion_pass\" on")))
        << messages.all();
    const std::vector<std::pair<std::string, std::string>> pairs = {{"tk_color", "tk_diff_occl"},
                                                                    {"tk_shadow", "tk_diffuse"},
                                                                    {"tk_spec_shd", "tk_specular"},
                                                                    {"tk_amb_occlus", "tk_ambient"}};
    ASSERT_EQ(outputs().size(), pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        EXPECT_EQ(text(outputs()[i], "buffer_a"), pairs[i].first);
        EXPECT_EQ(text(outputs()[i], "buffer_b"), pairs[i].second);
    }
    EXPECT_EQ(tk_buffers(),
              (std::vector<std::string>{"tk_color", "tk_diffuse", "tk_shadow", "tk_spec_shd", "tk_specular",
                                        "tk_diff_occl", "tk_ambient", "tk_amb_occlus"}));
}

TEST_F(PassSetup, SaverModeWritesNoBufferFilesAndSwitchesOnlyItsGroups) {
    ASSERT_TRUE(
        fx->load(pass_scene("\"output_mode\" 3, \"bit_depth\" 1, \"compression\" 4, \"reflect_pass\" on, "
                            "\"refract_pass\" on, \"specular_pass\" on, \"contrast_all_buffers\" on")))
        << messages.all();
    ASSERT_EQ(outputs().size(), 1u) << "the plain specular switch has no ratio";
    const auto& saver = outputs()[0];
    EXPECT_EQ(shader(saver), "orn_OpenEXR_saver");
    EXPECT_EQ(text(saver, "fileName"), out("shot.singleTK.0012.exr"));
    EXPECT_EQ(integer(saver, "compression"), 5);
    const char* groups[] = {"shading",  "color",          "diffuse",          "diffuseShadow",
                            "specular", "specularShadow", "diffuseOcclusion", "indirectIllum",
                            "ambient",  "ambOcclusion",   "reflect",          "refract"};
    for (int k = 0; k < 12; ++k) {
        EXPECT_EQ(integer(saver, std::string(groups[k]) + "Pass"), k == 4 || k == 10 || k == 11) << groups[k];
        EXPECT_EQ(integer(saver, std::string(groups[k]) + "Format"), 2) << groups[k];
    }
    // Without the shadowed specular pass its buffer carries the plain specular light.
    EXPECT_EQ(tk_buffers(), (std::vector<std::string>{"tk_spec_shd", "tk_reflect", "tk_refract"}));
    EXPECT_EQ(text(saver, "specularBuffer"), "tk_spec_shd");
    EXPECT_EQ(text(saver, "reflectBuffer"), "tk_reflect");

    EXPECT_FALSE(has("tk_reflect", "filename") || has("tk_reflect", "filetype"));
    EXPECT_TRUE(flag("tk_reflect", "useopacity"));
    EXPECT_FALSE(has("tk_refract", "useopacity")) << "refraction takes it only with a file";
    EXPECT_FALSE(flag("tk_reflect", "filtering"));
    EXPECT_TRUE(option("contrast all buffers"));
}

TEST_F(PassSetup, DeclaredDefaultsSwitchTheLightingPassesOnAndTheSpecialChannelsOff) {
    // Only the file name and directory set: every other switch takes its declared default.
    ASSERT_TRUE(fx->load(module_preamble() +
                         "options \"opt\" samples 0 0 end options\ncamera \"cam\" resolution 4 4 end camera\n"
                         "instance \"cam_i\" \"cam\" end instance\nshader \"pass\" \"orn_MegaTK_pass\" "
                         "(\"file_name\" \"shot\", \"directory\" \"" +
                         out_dir() +
                         "\")\ncall \"pass\"\ninstgroup \"root\" \"cam_i\" end instgroup\n"
                         "render \"root\" \"cam_i\" \"opt\"\n"))
        << messages.all();
    std::vector<std::string> defined = tk_buffers(),
                             lighting = {"tk_shading",  "tk_color",      "tk_diffuse",   "tk_shadow",
                                         "tk_specular", "tk_spec_shd",   "tk_diff_occl", "tk_indirect",
                                         "tk_ambient",  "tk_amb_occlus", "tk_reflect",   "tk_refract",
                                         "tk_incand",   "tk_z",          "tk_bent"};
    std::sort(defined.begin(), defined.end());
    std::sort(lighting.begin(), lighting.end());
    EXPECT_EQ(defined, lighting);
}

TEST_F(PassSetup, DepthForTheSaverInIffModeKeepsTheTkPassesAsIffFiles) {
    ASSERT_TRUE(fx->load(pass_scene("\"output_mode\" 1, \"bit_depth\" 0, \"filtering\" 1, \"z_pass\" on, "
                                    "\"z_format\" 4, \"indirect_pass\" on")))
        << messages.all();
    ASSERT_EQ(outputs().size(), 1u);
    EXPECT_EQ(integer(outputs()[0], "zPass"), 1);
    EXPECT_EQ(integer(outputs()[0], "zFormat"), 1);
    EXPECT_EQ(integer(outputs()[0], "rgbaPass"), 0);
    EXPECT_EQ(integer(outputs()[0], "indirectIllumPass"), 0) << "tk groups go to the saver only in mode 3";
    EXPECT_FALSE(has("Z", "filename") || has("Z", "filetype"));
    EXPECT_EQ(prop("Z", "datatype"), "z");
    EXPECT_TRUE(flag("Z", "filtering") && !flag("Z", "user"));
    EXPECT_EQ(prop("tk_indirect", "filename"), out("shot.indirect.0012.iff"));
    EXPECT_EQ(prop("tk_indirect", "filetype"), "iff");
}

TEST_F(PassSetup, CameraOutputStatementsAreDroppedUnlessTheCallFails) {
    ASSERT_TRUE(fx->load(pass_scene("\"output_mode\" 0", "output \"rgba\" \"exr\" \"old.exr\"")))
        << messages.all();
    EXPECT_TRUE(outputs().empty());
    // ... and the user is told which output went
    EXPECT_TRUE(messages.contains("camera output \"old.exr\" is not written: \"pass\" replaced the camera's "
                                  "output list"))
        << messages.all();

    // Without a file name the shader changes nothing and says nothing; the renderer, told the
    // call failed, renders nothing.
    SceneFixture no_name;
    EXPECT_FALSE(no_name.load(
        pass_scene("\"diffuse_pass\" on", "output \"rgba\" \"exr\" \"old.exr\"", module_preamble(), "")));
    EXPECT_TRUE(messages.contains("scene-editing shader \"pass\" failed; the frame is not rendered"))
        << messages.all();
    auto& ndb = no_name.session().db();
    const miCamera& cam = ndb.get_as<orn::CameraElement>(ndb.lookup("cam"), miSCENE_CAMERA)->record;
    auto* list = dynamic_cast<orn::OutputListElement*>(ndb.get(cam.output));
    ASSERT_TRUE(list && list->entries.size() == 1u);
    EXPECT_TRUE(list->entries[0].is_file);
    EXPECT_EQ(ndb.get_as<orn::FramebufferElement>(cam.buffertag, miSCENE_FRAMEBUFFER)->index_of("tk_diffuse"),
              -1);
    EXPECT_FALSE(messages.contains("orn_MegaTK_pass")) << messages.all();
}

// A scene that declares the pass shader alone.
TEST_F(PassSetup, DeclaresTheOutputShadersTheSceneLacks) {
    std::ifstream file(ORN_SOURCE_DIR "/declarations/shaders_orn.mi");
    std::stringstream all;
    all << file.rdbuf();
    const std::string decls = all.str();
    const size_t begin = decls.rfind("declare shader", decls.find("\"orn_MegaTK_pass\""));
    const size_t end = decls.find("end declare", begin) + 11;
    const std::string preamble =
        "link \"" ORN_BUILD_DIR "/lib/shaders_orn.so\"\n" + decls.substr(begin, end - begin) + "\n";
    ASSERT_TRUE(fx->load(pass_scene("\"output_mode\" 3, \"diffuse_pass\" on", "", preamble)))
        << messages.all();

    auto* math = db().get_as<orn::DeclElement>(db().lookup("orn_math_output"), miSCENE_FUNCTION_DECL);
    ASSERT_NE(math, nullptr);
    EXPECT_EQ(math->declaration.decl.version, 2);
    ASSERT_EQ(math->declaration.decl.params.size(), 3u);
    EXPECT_EQ(math->declaration.decl.params[2].name, "operation");
    auto* saver = db().get_as<orn::DeclElement>(db().lookup("orn_OpenEXR_saver"), miSCENE_FUNCTION_DECL);
    ASSERT_NE(saver, nullptr);
    EXPECT_EQ(saver->declaration.decl.version, 3);
    const auto& params = saver->declaration.decl.params;
    ASSERT_EQ(params.size(), 89u);
    EXPECT_EQ(params[13].name, "cFormat");
    EXPECT_EQ(params[14].name, "shadingPass");
    EXPECT_EQ(params[88].name, "specialC10Format");

    ASSERT_EQ(outputs().size(), 2u);
    EXPECT_EQ(text(outputs()[0], "buffer_a"), "tk_shadow");
    EXPECT_EQ(integer(outputs()[1], "diffusePass"), 1);
    EXPECT_TRUE(messages.of(orn::Severity::Warning).empty()) << messages.all();
}

// Declarations that lack parameters: each call stops at the first refused one, with a warning,
// and gives no entry.
TEST_F(PassSetup, RefusedParametersAreReportedAndGiveNoEntry) {
    // The scene's own, shorter declarations of the two output shaders stand in for the
    // declaration file's (a second, different declaration would be refused).
    std::ifstream in(ORN_SOURCE_DIR "/declarations/shaders_orn.mi");
    std::string decls((std::istreambuf_iterator<char>(in)), {});
    for (const std::string name : {"\"orn_math_output\"", "\"orn_OpenEXR_saver\""}) {
        const size_t at = decls.find(name);
        ASSERT_NE(at, std::string::npos);
        const size_t begin = decls.rfind("declare shader", at);
        const size_t end = decls.find("end declare", at) + std::string("end declare").size();
        decls.erase(begin, end - begin);
    }
    const std::string decl_file = orn::test::temp_path("short.mi");
    std::ofstream(decl_file) << decls;
    const std::string preamble =
        "link \"" + std::string(ORN_BUILD_DIR) + "/lib/shaders_orn.so\"\n$include \"" + decl_file + "\"\n" +
        "declare shader boolean \"orn_math_output\" (string \"buffer_a\") version 2 end declare\n"
        "declare shader boolean \"orn_OpenEXR_saver\" (string \"fileName\") version 3 end declare\n";
    ASSERT_TRUE(fx->load(pass_scene("\"output_mode\" 3, \"diffuse_pass\" on", "", preamble)))
        << messages.all();
    EXPECT_TRUE(outputs().empty());
    EXPECT_EQ(messages.of(orn::Severity::Warning),
              (std::vector<std::string>{
                  "orn_MegaTK_pass: buffer_b parameter not created in function orn_math_output",
                  "orn_MegaTK_pass: 'compression' parameter not created in function orn_OpenEXR_saver"}));
    EXPECT_EQ(tk_buffers(), (std::vector<std::string>{"tk_diffuse", "tk_shadow"}))
        << "buffers are still defined";
}

// The whole road: the ratio entry runs after the frame and the renderer writes its file.
TEST_F(PassSetup, AfterTheFrameTheShadowPassFileHoldsTheShadowFraction) {
    ASSERT_TRUE(fx->load(pass_scene("\"output_mode\" 0, \"diffuse_pass\" on"))) << messages.all();
    fx->render();
    miState* state = fx->root(0, 0);
    auto fill = [&](const char* name, miColor value, miColor first_column) {
        const miUint image = miUint(buffers().index_of(name) + miRC_IMAGE_USER);
        miImg_image* img = mi_output_image_open(state, image);
        ASSERT_NE(img, nullptr) << name;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                mi_img_put_color(img, x == 0 ? &first_column : &value, x, y);
        mi_output_image_close(state, image);
    };
    fill("tk_diffuse", {0.5f, 0.8f, 0.000005f, 0.f}, {0.f, 0.f, 0.f, 0.f});
    fill("tk_shadow", {0.25f, 0.2f, 0.000005f, 0.f}, {0.25f, 0.2f, 0.1f, 0.f});
    fx->frame().finish();

    auto in = OIIO::ImageInput::open(out("shot.shadow.0012.tif"));
    ASSERT_TRUE(in) << messages.all();
    const int channels = in->spec().nchannels;
    ASSERT_TRUE(in->spec().width == 4 && channels >= 3);
    std::vector<float> px(size_t(16 * channels));
    ASSERT_TRUE(in->read_image(0, 0, 0, channels, OIIO::TypeDesc::FLOAT, px.data()));
    for (int i = 0; i < 16; ++i) {
        // no diffuse light in column 0; blue is below the floor everywhere
        const bool dark = i % 4 == 0;
        EXPECT_FLOAT_EQ(px[size_t(i * channels)], dark ? 0.f : 0.5f) << i;
        EXPECT_FLOAT_EQ(px[size_t(i * channels + 1)], dark ? 0.f : 0.25f) << i;
        EXPECT_FLOAT_EQ(px[size_t(i * channels + 2)], 0.f) << i;
    }
}

// ------------------------------------------------------------------ buffers and files

// The renderer's writer and the saver know different methods, so one code maps apart.
TEST_F(PassSetup, SharedExrModeUsesHalfFloatsAndMapsCompressionApart) {
    struct Case {
        int code;
        const char* renderer;
        int saver;
    };
    for (const Case& c : {Case{1, "zip", 2}, Case{6, "rle", 7}, Case{5, "pxr24", 6}, Case{9, "rle", 10}}) {
        fresh_scene();
        ASSERT_TRUE(fx->load(pass_scene("\"output_mode\" 2, \"shading_pass\" on, \"bent_normal_pass\" on, "
                                        "\"rgba_pass\" on, \"rgba_format\" 2, \"compression\" " +
                                        std::to_string(c.code))))
            << messages.all();
        EXPECT_EQ(prop("tk_shading", "compression"), c.renderer) << c.code;
        ASSERT_EQ(outputs().size(), 1u);
        EXPECT_EQ(integer(outputs()[0], "compression"), c.saver) << c.code;
    }
    EXPECT_FALSE(has("tk_bent", "compression"));
    for (const char* name : {"tk_shading", "tk_bent"}) {
        EXPECT_EQ(prop(name, "datatype"), "rgb_h");
        EXPECT_EQ(prop(name, "filename"), out("shot.single.0012.exr"));
    }
    EXPECT_EQ(prop("color", "datatype"), "rgba_fp");
    EXPECT_TRUE(flag("color", "primary") && !flag("color", "user") && !has("color", "filename"));
}

TEST_F(PassSetup, StandardBufferFileTypesAndFiltering) {
    ASSERT_TRUE(fx->load(
        pass_scene("\"filtering\" 1, \"compression\" 4, \"z_pass\" on, \"z_format\" 0, "
                   "\"normal_pass\" on, \"normal_format\" 5, \"motion_pass\" on, \"motion_format\" 3, "
                   "\"label_pass\" on, \"label_format\" 2, \"coverage_pass\" on, "
                   "\"coverage_format\" 5, \"rgba_pass\" on, \"rgba_format\" 1")))
        << messages.all();
    EXPECT_EQ(prop("Z", "filename"), out("shot.depth.0012.zt"));
    EXPECT_EQ(prop("Normal", "filetype"), "nt") << "only coverage knows format 5";
    EXPECT_EQ(prop("Coverage", "filetype"), "null");
    EXPECT_EQ(prop("Coverage", "filename"), out("shot.Coverage.0012.null"));
    EXPECT_EQ(prop("Label", "filetype"), "tif");
    EXPECT_FALSE(has("Label", "filtering")) << "labels are never blended";
    // The shared file keeps the mode's extension, whatever it holds.
    for (const char* name : {"Motion", "color"}) {
        EXPECT_EQ(prop(name, "filename"), out("shot.single.0012.tif")) << name;
        EXPECT_EQ(prop(name, "filetype"), "exr") << name;
        EXPECT_EQ(prop(name, "compression"), "piz") << name;
    }
    EXPECT_EQ(prop("color", "datatype"), "rgba_h") << "bit depth 0";
    for (const char* name : {"Z", "Normal", "Motion", "Coverage", "color"})
        EXPECT_TRUE(flag(name, "filtering") && !flag(name, "user")) << name;
    EXPECT_TRUE(outputs().empty()) << "formats 0 to 3 are the renderer's";
}

// Frame texts have at most 15 characters and paths at most 511.
TEST_F(PassSetup, FrameNumbersAndOverlongPaths) {
    struct Case {
        const char* frame;
        int digits;
        const char* text;
    };
    for (const Case& c : {Case{"7", 4, "0007"}, Case{"12345", 2, "12345"}, Case{"-3", 4, "-0003"},
                          Case{"12", 40, "000000000000012"}}) {
        fresh_scene();
        ASSERT_TRUE(fx->load(pass_scene("\"depth_pass\" on, \"frame_digits\" " + std::to_string(c.digits),
                                        std::string("frame ") + c.frame)))
            << messages.all();
        EXPECT_EQ(prop("tk_z", "filename"), out(std::string("shot.z.") + c.text + ".tif"));
    }

    fresh_scene();
    const std::string name(600, 'n');
    // The renderer then refuses a file it cannot create; the shader has run by then.
    (void)fx->load(
        pass_scene("\"depth_pass\" on", "", module_preamble(), "\"file_name\" \"" + name + "\", "));
    EXPECT_EQ(prop("tk_z", "filename"), (out_dir() + "/" + name).substr(0, 511));
    EXPECT_TRUE(messages.contains("orn_MegaTK_pass: output path longer than 511 characters"))
        << messages.all();
}

} // namespace

namespace {

// Every file of a frame follows one rule: a relative directory of the pass set-up is taken
// from the output directory (-o), which is made when it is missing.
TEST(PassSetupFiles, RelativeDirectoriesAreTakenFromTheOutputDirectoryInEveryMode) {
    struct Case {
        int mode;
        const char* file; // one file the mode writes
    };
    for (const Case& c : {Case{0, "out/shot.diffuse.0012.tif"}, Case{1, "out/shot.diffuse.0012.iff"},
                          Case{2, "out/shot.single.0012.exr"}, Case{3, "out/shot.singleTK.0012.exr"}}) {
        SCOPED_TRACE("output mode " + std::to_string(c.mode));
        const fs::path root =
            fs::path(orn::test::temp_path("x")).parent_path() / ("mode" + std::to_string(c.mode));
        fs::remove_all(root);
        const std::string scene =
            module_preamble() +
            "options \"opt\" samples 0 0 end options\ncamera \"cam\" resolution 4 4 frame 12 end camera\n"
            "instance \"cam_i\" \"cam\" end instance\nshader \"pass\" \"orn_MegaTK_pass\" (\"file_name\" "
            "\"shot\", "
            "\"frame_digits\" 4, \"directory\" \"out\", \"output_mode\" " +
            std::to_string(c.mode) +
            ", \"rgba_pass\" on, \"rgba_format\" 2, \"bit_depth\" 1, \"diffuse_pass\" on)\ncall \"pass\"\n"
            "instgroup \"root\" \"cam_i\" end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
        orn::SessionOptions o;
        o.render.progress = false;
        o.render.output_dir = (root / "o").string();
        orn::Session session(o);
        ASSERT_TRUE(session.load_string(scene, "files.mi"));
        EXPECT_TRUE(session.render_all());
        EXPECT_TRUE(fs::is_regular_file(root / "o" / c.file));
        EXPECT_FALSE(fs::exists(root / "o" / "out" / "out"));
    }
}

} // namespace
