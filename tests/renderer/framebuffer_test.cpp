// The camera's frame-buffer set as shaders use it: buffers defined in the scene or by a
// shader, per-sample writes, output images after the frame, the buffers' own files, and
// the scene-preparation calls that rebuild a camera's output list.
#include "support/scene_fixture.h"

#include "film/film.h"

#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;
using orn::test::module_preamble;
using orn::test::SceneFixture;

namespace {

std::string scene(const std::string& camera_extra, const std::string& extra = "") {
    return module_preamble() +
           "options \"opt\" samples 0 0 end options\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 8 8\n" +
           camera_extra +
           "end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n"
           "shader \"red_c\" \"orn_constant\" (\"color\" 1 0 0 1)\n"
           "material \"red\" = \"red_c\" end material\n"
           "object \"quad\" visible shadow trace group\n"
           "  -20 -20 0  20 -20 0  20 20 0  -20 20 0\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
           "instance \"front\" \"quad\" material \"red\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1 end "
           "instance\n" +
           extra +
           "instgroup \"root\" \"cam_i\" \"front\" end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

char* copy(const char* s) {
    return mi_mem_strdup(s);
}

TEST(Framebuffers, SceneBuffersHaveIndicesAndHoldSampleValues) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("framebuffer \"tk_diffuse\" (\"datatype\" \"rgb_fp\", \"user\" on)\n"
                              "framebuffer \"Z\" (\"datatype\" \"z\")\n")));
    miState* hit = fx.probe_eye(4.f, 4.f);
    ASSERT_NE(hit, nullptr);
    mi::shader::Interface* iface = mi_get_shader_interface(3);
    ASSERT_NE(iface, nullptr);
    const mi::shader::Framebuffer& fb = iface->accessFramebuffer(hit->camera->buffertag);
    size_t diffuse = 99, z = 99, missing = 0;
    EXPECT_TRUE(fb.get_index("tk_diffuse", diffuse));
    EXPECT_TRUE(fb.get_index("Z", z));
    EXPECT_FALSE(fb.get_index("tk_specular", missing));
    EXPECT_EQ(missing, size_t(-1));
    EXPECT_EQ(diffuse, 0u);
    EXPECT_EQ(z, 1u);
    iface->releaseFramebuffer(fb, hit->camera->buffertag);
    iface->release();

    miColor put{0.25f, 0.5f, 0.75f, 9.f}, got{0, 0, 0, 0};
    EXPECT_TRUE(mi_fb_put(hit, int(diffuse), &put));
    EXPECT_TRUE(mi_fb_get(hit, int(diffuse), &got));
    EXPECT_EQ(got.r, 0.25f);
    EXPECT_EQ(got.b, 0.75f);
    EXPECT_EQ(got.a, 0.f) << "an rgb buffer has no alpha to write";
    EXPECT_FALSE(mi_fb_put(hit, 7, &put)) << "no buffer 7";
}

TEST(Framebuffers, OutputImagesReadAndRewriteTheFrame) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("framebuffer \"tk_color\" (\"datatype\" \"rgb_fp\", \"user\" on)\n")));
    fx.render();
    miState* st = fx.root();
    miImg_image* colour = mi_output_image_open(st, miRC_IMAGE_RGBA);
    ASSERT_NE(colour, nullptr);
    miColor c;
    mi_img_get_color(colour, &c, 3, 3);
    EXPECT_EQ(c.r, 1.f);
    EXPECT_EQ(c.a, 1.f);
    miImg_image* depth = mi_output_image_open(st, miRC_IMAGE_Z);
    float d = 0;
    mi_img_get_depth(depth, &d, 4, 4);
    EXPECT_NEAR(d, 5.f, 1e-4);
    // a named buffer is image index + 12; what an output shader puts, later ones read
    miImg_image* user = mi_output_image_open(st, miRC_IMAGE_USER + 0);
    ASSERT_NE(user, nullptr);
    miColor v{0.5f, 0.25f, 0.125f, 1.f};
    mi_img_put_color(user, &v, 7, 0);
    miColor back;
    mi_img_get_color(user, &back, 7, 0);
    EXPECT_EQ(back.g, 0.25f);
    EXPECT_EQ(mi_output_image_open(st, miRC_IMAGE_USER + 5), nullptr);
    // reads outside the image give black instead of touching memory
    mi_img_get_color(colour, &c, 8, 0);
    EXPECT_EQ(c.r, 0.f);
}

TEST(Framebuffers, RowReadsGiveWhatThePixelReadersGive) {
    SceneFixture fx;
    std::string text = scene("framebuffer \"tk_color\" (\"datatype\" \"rgb_fp\", \"user\" on)\n");
    text.replace(text.find("material \"red\" transform"), 14, "material \"red\" label 7");
    ASSERT_TRUE(fx.load(text));
    fx.render();
    miState* st = fx.root();
    miImg_image* user = mi_output_image_open(st, miRC_IMAGE_USER + 0);
    ASSERT_NE(user, nullptr);
    miColor put{0.5f, 0.25f, 0.125f, 1.f};
    mi_img_put_color(user, &put, 5, 2);
    // columns 5 to 8 of row 2: the pixel put, one nothing wrote, and one beyond the right edge;
    // three components, so alpha is 1 inside and 0 outside, and a null array is left alone
    float r[4], b[4], a[4], g[1] = {-9.f};
    ASSERT_TRUE(mi_img_get_color_row(user, 2, 5, 4, r, nullptr, b, a));
    EXPECT_EQ(std::vector<float>(r, r + 4), (std::vector<float>{0.5f, 0.f, 0.f, 0.f}));
    EXPECT_EQ(std::vector<float>(b, b + 4), (std::vector<float>{0.125f, 0.f, 0.f, 0.f}));
    EXPECT_EQ(std::vector<float>(a, a + 4), (std::vector<float>{1.f, 1.f, 1.f, 0.f}));
    EXPECT_EQ(g[0], -9.f);

    // labels are integers, and no depth or normal; a one-component image is grey with alpha 1
    miImg_image* label = mi_output_image_open(st, miRC_IMAGE_TAG);
    miUint labels[3];
    ASSERT_TRUE(mi_img_get_label_row(label, 0, -1, 3, labels));
    EXPECT_EQ(std::vector<miUint>(labels, labels + 3), (std::vector<miUint>{0u, 7u, 7u}));
    float depth[2] = {-1.f, -1.f}, ny[2] = {-1.f, -1.f};
    ASSERT_TRUE(mi_img_get_depth_row(label, 4, 0, 2, depth));
    ASSERT_TRUE(mi_img_get_normal_row(label, 4, 0, 2, nullptr, ny, nullptr));
    EXPECT_EQ(depth[1] + ny[1], 0.f);
    miImg_image* z = mi_output_image_open(st, miRC_IMAGE_Z);
    float grey[3][1], alpha[1];
    ASSERT_TRUE(mi_img_get_color_row(z, 4, 4, 1, grey[0], grey[1], grey[2], alpha));
    EXPECT_NEAR(grey[0][0], 5.f, 1e-4);
    EXPECT_EQ(grey[1][0], grey[0][0]);
    EXPECT_EQ(grey[2][0], grey[0][0]);
    EXPECT_EQ(alpha[0], 1.f);
    EXPECT_FALSE(mi_img_get_depth_row(nullptr, 0, 0, 1, depth));
    EXPECT_FALSE(mi_img_get_depth_row(z, 0, 0, -1, depth));

    // the samples in place: 8 x 8 pixels of r, g, b, a, red everywhere; none for labels
    int width = 0, height = 0, comps = 0;
    const float* rgba =
        mi_img_get_samples(mi_output_image_open(st, miRC_IMAGE_RGBA), &width, &height, &comps);
    ASSERT_NE(rgba, nullptr);
    EXPECT_EQ(width * height * comps, 8 * 8 * 4);
    EXPECT_EQ(rgba[(7 * 8 + 7) * 4], 1.f);
    EXPECT_EQ(rgba[(7 * 8 + 7) * 4 + 1], 0.f);
    EXPECT_EQ(mi_img_get_samples(label, &width, &height, &comps), nullptr);
}

TEST(Framebuffers, StandardBuffersFollowTheirFilteringProperty) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("framebuffer \"Z\" (\"datatype\" \"z\", \"filtering\" on)\n"
                              "framebuffer \"Coverage\" (\"datatype\" \"coverage\", \"filtering\" off)\n"
                              "framebuffer \"Label\" (\"datatype\" \"tag\", \"filtering\" on)\n")));
    const orn::film::Film& film = fx.frame().film();
    EXPECT_TRUE(film.plane_info(orn::film::Depth).filtered);
    EXPECT_FALSE(film.plane_info(orn::film::Coverage).filtered);
    EXPECT_FALSE(film.plane_info(orn::film::Label).filtered) << "labels are never blended";
    EXPECT_FALSE(film.plane_info(orn::film::Normal).filtered) << "no buffer, no change";
}

TEST(Framebuffers, BuffersWithAFileNameAreWrittenAsLayersOfOneExr) {
    const std::string dir = fs::path(orn::test::temp_path("x")).parent_path().string();
    const std::string file = dir + "/shared.exr";
    fs::remove(file);
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("framebuffer \"tk_a\" (\"datatype\" \"rgb_fp\", \"filename\" \"" + file +
                              "\", \"filetype\" \"exr\")\n"
                              "framebuffer \"tk_b\" (\"datatype\" \"rgb_h\", \"filename\" \"" +
                              file +
                              "\", \"filetype\" \"exr\")\n"
                              "framebuffer \"tk_c\" (\"datatype\" \"rgb_fp\", \"filename\" \"" +
                              dir +
                              "/c.iff\", \"filetype\" \"iff\")\n"
                              "framebuffer \"tk_d\" (\"datatype\" \"z\", \"filename\" \"" +
                              dir + "/d.iff\", \"filetype\" \"iff\")\n")));
    orn::test::MessageCapture messages;
    fx.render();
    fx.frame().finish();
    auto in = OIIO::ImageInput::open(file);
    ASSERT_TRUE(in);
    const auto& spec = in->spec();
    std::vector<std::string> names(spec.channelnames.begin(), spec.channelnames.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "tk_a.R"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "tk_b.B"), names.end());
    // iff keeps colour at 16 bits; depth it cannot hold, and that buffer alone is left out
    auto iff = OIIO::ImageInput::open(dir + "/c.iff");
    ASSERT_TRUE(iff);
    EXPECT_EQ(iff->spec().format, OIIO::TypeDesc::UINT16);
    EXPECT_EQ(iff->spec().nchannels, 3);
    EXPECT_TRUE(messages.contains("frame buffer \"tk_d\" not written: iff files hold 16-bit colour only"))
        << messages.all();
    EXPECT_FALSE(fs::exists(dir + "/d.iff"));
}

TEST(ScenePreparation, ShadersDeclareCallAndRebuildTheOutputList) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("output \"rgba\" \"exr\" \"dropped.exr\"\n")));
    miState* st = fx.root();
    auto& db = fx.session().db();
    // a declaration made by a shader
    miParameter* params = mi_api_parameter_decl(miTYPE_STRING, copy("buffer_a"), 0);
    params = mi_api_parameter_append(params, mi_api_parameter_decl(miTYPE_INTEGER, copy("operation"), 0));
    miFunction_decl* decl = mi_api_funcdecl_begin(mi_api_parameter_decl(miTYPE_BOOLEAN, copy("result"), 0),
                                                  copy("test_output"), params);
    ASSERT_NE(decl, nullptr);
    decl->version = 2;
    const miTag decl_tag = mi_api_funcdecl_end();
    ASSERT_NE(decl_tag, miNULLTAG);
    EXPECT_NE(mi_api_decl_lookup(copy("test_output")), nullptr);
    EXPECT_EQ(mi_api_name_lookup(copy("test_output")), decl_tag);
    // a call of a declared module shader with its parameter values
    ASSERT_TRUE(mi_api_function_call(copy("orn_color_to_float")));
    ASSERT_TRUE(mi_api_parameter_name(copy("channel")));
    int channel = 2, size = 4;
    ASSERT_TRUE(mi_api_parameter_value(miTYPE_INTEGER, &channel, nullptr, &size));
    EXPECT_FALSE(mi_api_parameter_name(copy("no_such_parameter")));
    const miTag call = mi_api_function_call_end(0);
    auto* fe = db.get_as<orn::FunctionElement>(call, miSCENE_FUNCTION);
    ASSERT_NE(fe, nullptr);
    int stored = 0;
    std::memcpy(&stored, static_cast<char*>(fe->function.block()) + 16, 4);
    EXPECT_EQ(stored, 2) << "channel follows the colour";
    EXPECT_FALSE(mi_api_function_call(copy("orn_undeclared")));
    // the camera's list is dropped and rebuilt with the new entry
    miUint tmap = 0, imap = 0;
    EXPECT_TRUE(mi_api_output_type_identify(&tmap, &imap, copy("+z,+n,")));
    EXPECT_EQ(tmap, (1u << 1) | (1u << 2));
    EXPECT_TRUE(mi_api_function_delete(&st->camera->output));
    EXPECT_EQ(st->camera->output, miNULLTAG);
    st->camera->output =
        mi_api_function_append(st->camera->output, mi_api_output_function_def(tmap, imap, call));
    auto* list = dynamic_cast<orn::OutputListElement*>(db.get(st->camera->output));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->entries.size(), 1u);
    EXPECT_FALSE(list->entries[0].is_file);
    EXPECT_EQ(list->entries[0].shader, call);
}

TEST(ScenePreparation, NamedOptionsAndEditedBufferSets) {
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("framebuffer \"old\" (\"datatype\" \"rgb_fp\")\n")));
    miState* st = fx.root();
    mi::shader::Interface* iface = mi_get_shader_interface(3);
    mi::shader::Options* opt = iface->getOptions(st->options->string_options);
    ASSERT_NE(opt, nullptr);
    EXPECT_TRUE(opt->set("contrast all buffers", true));
    bool value = false;
    EXPECT_TRUE(opt->get("contrast all buffers", &value));
    EXPECT_TRUE(value);
    opt->release();
    mi::shader::Framebuffer& fb = iface->editFramebuffer(st->camera->buffertag);
    EXPECT_TRUE(fb.reset());
    EXPECT_TRUE(fb.set("tk_new", "datatype", "rgb_h"));
    EXPECT_TRUE(fb.set("tk_new", "filtering", false));
    size_t i = 0;
    EXPECT_FALSE(fb.get_index("old", i));
    EXPECT_TRUE(fb.get_index("tk_new", i));
    EXPECT_EQ(i, 0u);
    iface->releaseFramebuffer(fb, st->camera->buffertag);
    iface->release();
}

} // namespace

namespace {

TEST(Interrupt, AnAbortedFrameWritesNoImageAndRunsNoOutputShader) {
    const std::string file = orn::test::temp_path("aborted.exr");
    const std::string saved = orn::test::temp_path("saver.exr");
    std::ofstream(file) << "older";
    std::ofstream(saved) << "older saver";
    SceneFixture fx;
    ASSERT_TRUE(fx.load(scene("output \"rgba\" \"exr\" \"" + file +
                              "\"\noutput \"orn_OpenEXR_saver\" (\"fileName\" \"" + saved +
                              "\", \"rgbaPass\" on, \"rgbaFormat\" 2)\n")));
    orn::test::MessageCapture messages;
    orn::Frame::aborted().store(true);
    EXPECT_TRUE(mi_par_aborted());
    {
        // in a bucket under way, sample loops (and traces) end at once
        miState* r = fx.root(4, 4);
        double point[2];
        int instance = 0;
        miUint n = 64;
        EXPECT_FALSE(mi_sample(point, &instance, r, 2, &n));
    }
    fx.render();
    // no bucket was taken: the colour keeps its clear value
    EXPECT_EQ(fx.frame().film().pixel(orn::film::Color, 4, 4)[0], 0.f);
    fx.frame().finish();
    orn::Frame::aborted().store(false);
    EXPECT_FALSE(mi_par_aborted());
    // neither the renderer's file nor the saver's replaces the older one
    for (const auto& [path, older] : {std::pair{file, "older"}, {saved, "older saver"}}) {
        std::ifstream kept(path);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), older) << path;
    }
    EXPECT_TRUE(messages.contains("frame interrupted: " + file + " not written")) << messages.all();
    EXPECT_TRUE(messages.contains("frame interrupted: output shader")) << messages.all();
}

} // namespace
