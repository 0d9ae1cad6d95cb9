// Image textures: files the test writes itself, looked up through the renderer function the
// shaders call, the camera's latitude-longitude environment and orn_bake_read.
#include "source/utility/orn_utility.h"
#include "support/scene_fixture.h"
#include "support/scene_text.h"
#include "texture/texture_store.h"

#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

namespace orn::test {
namespace {

using Texel = std::array<float, 3>;

// A 4 x 2 image, row 0 (the top row) first.
const std::vector<Texel> kTexels = {
    {1, 0, 0},          {0, 1, 0}, {0, 0, 1},
    {1, 1, 0}, // A B C D
    {0, 1, 1},          {1, 0, 1}, {0.5f, 0.25f, 0.125f},
    {0.2f, 0.4f, 0.8f}, // E F G H
};

// An image of `channels` floats per pixel; two channels are grey and alpha.
std::string write_image(const std::string& name, int width, int height, int channels, const float* values) {
    const std::string path = temp_path(name);
    auto out = OIIO::ImageOutput::create(path);
    EXPECT_TRUE(out);
    if (!out) return path;
    OIIO::ImageSpec spec(width, height, channels, OIIO::TypeDesc::FLOAT);
    if (channels == 2) {
        spec.channelnames = {"Y", "A"};
        spec.alpha_channel = 1;
    }
    EXPECT_TRUE(out->open(path, spec));
    EXPECT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, values));
    out->close();
    return path;
}

std::string write_texture(const std::string& name, int width, int height, const std::vector<Texel>& texels) {
    return write_image(name, width, height, 3, texels.front().data());
}

std::string texture_statement(const std::string& name, const std::string& path) {
    return "color texture \"" + name + "\" \"" + path + "\"\n";
}

void expect_texel(const miColor& c, const Texel& t, const std::string& what) {
    expect_rgb(c, Rgb{t[0], t[1], t[2]}, what, 1e-5);
    EXPECT_EQ(c.a, 1.f) << what << ": an image without alpha is opaque";
}

TEST(TextureLookup, TexelCentresRowZeroOnTopClampedEdgesAndMipLevels) {
    const std::string path = write_texture("grid.exr", 4, 2, kTexels);
    QuadScene q;
    q.defs = "material \"plain\" \"orn_constant\" () end material\n";
    q.material = "plain";
    SceneFixture f;
    ASSERT_TRUE(f.load(texture_statement("grid", path) + q.text()));
    const miTag grid = f.session().db().lookup("grid");
    miState* hit = f.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    auto at = [&](float u, float v) {
        miColor c{-1, -1, -1, -1};
        miVector coord{u, v, 0.f};
        EXPECT_TRUE(mi_lookup_color_texture(&c, hit, grid, &coord)) << u << ", " << v;
        return c;
    };
    // Texel centres: column i at u = (i + 1/2) / 4; the top row (row 0) at v = 3/4.
    for (int i = 0; i < 4; ++i) {
        const float u = (float(i) + 0.5f) / 4.f;
        expect_texel(at(u, 0.75f), kTexels[size_t(i)], "top row, column " + std::to_string(i));
        expect_texel(at(u, 0.25f), kTexels[size_t(4 + i)], "bottom row, column " + std::to_string(i));
    }
    // Half way between B and C, and between B and F.
    expect_rgb(at(0.5f, 0.75f), Rgb{0, 0.5, 0.5}, "between B and C");
    expect_rgb(at(0.375f, 0.5f), Rgb{0.5, 0.5, 0.5}, "between B and F");
    // Outside [0, 1] the edge texels go on: u = 1 is D's right edge, and so is everything beyond.
    expect_texel(at(1.f, 0.75f), kTexels[3], "u = 1");
    expect_texel(at(1.5f, 0.75f), kTexels[3], "u = 1.5");
    expect_texel(at(-0.3f, 0.25f), kTexels[4], "u = -0.3");
    expect_texel(at(0.125f, 7.f), kTexels[0], "v = 7");

    // A footprint as wide as the whole image reads the top MIP level: the mean of all texels.
    miColor mean{};
    ASSERT_TRUE(f.frame().textures()->lookup(grid, 0, 0.5f, 0.5f, 4.f, 4.f, &mean));
    expect_rgb(mean, Rgb{3.7 / 8, 3.65 / 8, 3.925 / 8}, "top level", 1e-5);
    // Shaders get the footprint of one pixel on the surface, which grows with the distance the
    // ray has travelled: from very far away the texel-centre lookup reads that level too.
    hit->dist = 1e9;
    expect_rgb(at(0.375f, 0.25f), rgb(mean), "seen from far away", 1e-6);

    // Grey and alpha: the grey in r, g and b, the alpha its own.
    const float grey_alpha[] = {0.25f, 0.5f, 0.75f, 1.f};
    SceneFixture ga;
    ASSERT_TRUE(ga.load(texture_statement("ga", write_image("ga.tif", 2, 1, 2, grey_alpha)) + q.text()));
    miState* ga_hit = ga.probe_eye(50.f, 50.f);
    ASSERT_NE(ga_hit, nullptr);
    miColor c{-1, -1, -1, -1};
    miVector coord{0.25f, 0.5f, 0.f};
    ASSERT_TRUE(mi_lookup_color_texture(&c, ga_hit, ga.session().db().lookup("ga"), &coord));
    expect_color(c, 0.25f, 0.25f, 0.25f, 0.5f, 1e-6f);
}

TEST(TextureLookup, ATagThatIsNoTextureAnswersFalse) {
    QuadScene q;
    q.defs = "shader \"plain\" \"orn_constant\" (\"color\" 1 1 1 1)\n"
             "material \"plain_m\" = \"plain\" end material\n";
    q.material = "plain_m";
    SceneFixture f;
    ASSERT_TRUE(f.load(q.text()));
    miState* hit = f.probe_eye(50.f, 50.f);
    ASSERT_NE(hit, nullptr);
    miColor c{};
    miVector coord{0.5f, 0.5f, 0.f};
    EXPECT_FALSE(mi_lookup_color_texture(&c, hit, miNULLTAG, &coord));
    EXPECT_FALSE(mi_lookup_color_texture(&c, hit, f.session().db().lookup("plain"), &coord));
    EXPECT_FALSE(mi_lookup_color_texture(&c, hit, 0x7fffffff, &coord));
}

TEST(TextureFiles, AMissingOrBrokenFileIsNamedWithItsLocationAndNothingLoads) {
    const std::string missing = temp_path("missing.exr");
    const std::string broken = temp_path("broken.exr");
    std::ofstream(broken) << "not an image\n";
    // Damaged files whose header still reads: the pixels end early, or a DPX header claims
    // a line of 2^30 pixels (its width field, little-endian after the "XPDS" magic, at byte 772).
    std::vector<std::string> paths = {missing, broken};
    for (const char* name : {"cut.dpx", "cut.png", "cut.exr", "cut.tif", "cut.hdr", "wide.dpx"}) {
        const std::string path =
            write_texture(name, 64, 64, std::vector<Texel>(64 * 64, Texel{0.2f, 0.5f, 0.9f}));
        std::string bytes;
        {
            std::ifstream in(path, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), {});
        }
        if (std::string(name) == "wide.dpx")
            bytes.replace(772, 4, std::string("\0\0\0\x40", 4));
        else
            bytes.resize(bytes.size() * 2 / 3);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        paths.push_back(path);
    }
    for (const std::string& path : paths) {
        MessageCapture m;
        SceneFixture f;
        // The preamble takes two lines: the statement is on line 3.
        EXPECT_FALSE(f.load(module_preamble() + texture_statement("t", path) +
                            "shader \"s\" \"orn_bake_read\" (\"textures\" [\"t\"])\n"));
        EXPECT_TRUE(m.contains("test.mi:3:1: texture \"t\": cannot read \"" + path + "\" (looked for \"" +
                               path + "\")"))
            << m.all();
        if (path.find("wide.dpx") != std::string::npos) {
            EXPECT_TRUE(m.contains("1073741824 x 64 pixels of 3 channels is more than a texture may hold"))
                << m.all();
        }
        // The shader that names the texture is not blamed a second time, and the image
        // libraries' own complaints (several lines, some printed by them directly) are part of
        // that one line.
        const auto errors = m.of(Severity::Error);
        ASSERT_EQ(errors.size(), 1u) << m.all();
        EXPECT_EQ(errors[0].find('\n'), std::string::npos) << errors[0];
    }

    // A texture parameter must name a texture.
    MessageCapture m;
    SceneFixture f;
    EXPECT_FALSE(f.load(module_preamble() + "shader \"c\" \"orn_constant\" ()\n" +
                        "shader \"s\" \"orn_bake_read\" (\"textures\" [\"c\"])\n"));
    EXPECT_TRUE(m.contains("\"c\" is not a texture")) << m.all();
}

TEST(TextureFiles, ARelativePathIsTakenFromTheSceneFilesDirectory) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(temp_path("scene")) / "sub";
    fs::create_directories(dir / "images");
    fs::copy_file(write_texture("grid.exr", 4, 2, kTexels), dir / "images" / "grid.exr",
                  fs::copy_options::overwrite_existing);
    std::ofstream(dir / "t.mi") << texture_statement("grid", "images/grid.exr");
    Session s;
    ASSERT_TRUE(s.load_file((dir / "t.mi").string()));
}

// The environment map: 8 x 4 texels, texel (i, j) = (i / 8, j / 4, 1) with j counted from the
// top row. Column i's centre looks at azimuth (i + 1/2) / 8 x 360 - 180 degrees from -z
// towards +x; row j's centre at elevation 90 - (j + 1/2) x 45 degrees.
TEST(EnvironmentMap, OrnEnvironmentLooksTheCameraEnvironmentUpAlongItsDirection) {
    std::vector<Texel> texels;
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 8; ++i)
            texels.push_back({float(i) / 8.f, float(j) / 4.f, 1.f});
    const std::string path = write_texture("env.exr", 8, 4, texels);
    const double deg = std::acos(-1.0) / 180.0;
    auto direction = [&](double azimuth, double elevation) {
        const double a = azimuth * deg, e = elevation * deg;
        return std::to_string(std::sin(a) * std::cos(e)) + " " + std::to_string(std::sin(e)) + " " +
               std::to_string(-std::cos(a) * std::cos(e));
    };
    auto lookup = [&](double azimuth, double elevation) {
        QuadScene q;
        q.camera = "environment = \"sky\"\n";
        q.defs = "material \"env\" \"orn_environment\" (\"intensity\" 1, \"tint\" 1 1 1 1, \"samples\" 1, "
                 "\"use_normal\" off, \"direction\" " +
                 direction(azimuth, elevation) + ") end material\n";
        q.material = "env";
        SceneFixture f;
        EXPECT_TRUE(f.load(texture_statement("sky", path) + q.text()));
        return f.shade(50.f, 50.f);
    };
    // Column 4, row 1: azimuth 22.5, elevation 22.5.
    expect_rgb(lookup(22.5, 22.5), Rgb{0.5, 0.25, 1}, "column 4, row 1", 1e-4);
    // Column 1, row 3: azimuth -112.5, elevation -67.5.
    expect_rgb(lookup(-112.5, -67.5), Rgb{0.125, 0.75, 1}, "column 1, row 3", 1e-4);
    // Straight behind (+z) is the seam between the last and the first column, which meet.
    expect_rgb(lookup(180, -22.5), Rgb{(0.875 + 0.0) / 2, 0.5, 1}, "the seam, row 2", 1e-4);
}

// orn_bake_read on the quad "surface": names are matched against the shaded instance.
struct BakeScene {
    SceneFixture f;
    orn_bake_read_params* block(const std::string& shader) {
        auto& db = f.session().db();
        return static_cast<orn_bake_read_params*>(
            db.get_as<FunctionElement>(db.lookup(shader), miSCENE_FUNCTION)->function.block());
    }
    miColor at(const std::string& shader, float u, float v) {
        block(shader)->uv = {u, v, 0.f};
        return f.shade_hit(shader);
    }
};

TEST(BakeRead, ReadsTheListedObjectsTextureOrSaysWhyNot) {
    const std::string path = write_texture("bake.exr", 4, 2, kTexels);
    QuadScene q;
    q.defs = "shader \"bake\" \"orn_bake_read\" (\"object_names\" [\"other\", \"surface\"], "
             "\"textures\" [\"tex\", \"tex\"])\n"
             "shader \"short\" \"orn_bake_read\" (\"object_names\" [\"other\", \"surface\"], "
             "\"textures\" [\"tex\"])\n"
             "shader \"unlisted\" \"orn_bake_read\" (\"object_names\" [\"other\"], \"textures\" [\"tex\"])\n"
             "material \"bake_m\" = \"bake\" end material\n";
    q.material = "bake_m";
    BakeScene s;
    ASSERT_TRUE(s.f.load(texture_statement("tex", path) + q.text()));

    expect_texel(s.at("bake", 0.375f, 0.25f), kTexels[5], "(0.375, 0.25)");
    // Coordinates are brought into the tile by whole tiles: -0.625 is 0.375.
    expect_texel(s.at("bake", -0.625f, 1.25f), kTexels[5], "(-0.625, 1.25)");
    // A whole number above 0 stays 1, outside [0, 1): u = 1, v = 1, u = 2 and a huge u (which
    // must not keep the shader subtracting tiles) all give white; 0 and -1 read column 0.
    expect_color(s.at("bake", 1.f, 0.75f), 1, 1, 1, 1);
    expect_color(s.at("bake", 0.375f, 1.f), 1, 1, 1, 1);
    expect_color(s.at("bake", 2.f, 0.75f), 1, 1, 1, 1);
    expect_color(s.at("bake", 1e30f, 0.75f), 1, 1, 1, 1);
    expect_texel(s.at("bake", -1.f, 0.75f), kTexels[0], "u = -1");
    expect_texel(s.at("bake", 0.999f, 0.75f), kTexels[3], "u = 0.999");
    expect_color(s.at("bake", std::numeric_limits<float>::quiet_NaN(), 0.5f), 1, 1, 1, 1);

    // Not listed: red with alpha 0; listed without a texture: white.
    expect_color(s.at("unlisted", 0.5f, 0.5f), 1, 0, 0, 0);
    expect_color(s.at("short", 0.5f, 0.5f), 1, 1, 1, 1);
    // (Array elements lie after the block, reached through pointers as the shader does.)
    orn_bake_read_params* p = s.block("bake");
    miTag* textures = p->textures;
    miTag* names = p->object_names;
    textures[p->i_textures + 1] = miNULLTAG;
    expect_color(s.at("bake", 0.5f, 0.5f), 1, 1, 1, 1);
    // An empty name before the match: blue with alpha 0.
    names[p->i_object_names] = miNULLTAG;
    expect_color(s.at("bake", 0.5f, 0.5f), 0, 0, 1, 0);

    miState* hit = s.f.probe_eye(50.f, 50.f);
    hit->type = miRAY_SHADOW;
    miColor c{};
    EXPECT_FALSE(s.f.call("bake", &c, hit));
}

} // namespace
} // namespace orn::test
