// End to end: a scene with transparency, reflection, refraction and occlusion under toolkit
// lights renders every pass into the saver's EXR, with and without depth of field, and the
// beauty rebuilt from the layers matches the colour within 2e-5 + 1e-5 x |beauty| per channel;
// and the ID mattes give each surface the share of the pixel it is seen in.
#include "support/matte_decoder.h"
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include "film/contact_sheet.h"
#include "film/light_mix.h"
#include "film/pass_closure.h"
#include "render/light_groups.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

std::string closure_scene(const std::string& dir, const std::string& opacity, const std::string& lens = "") {
    std::ifstream in(ORN_SOURCE_DIR "/tests/scenes/pass_closure.mi.in");
    std::stringstream text;
    text << in.rdbuf();
    std::string s = replace_all(text.str(), "@PREAMBLE@", orn::test::module_preamble());
    s = replace_all(s, "@DIR@", dir);
    s = replace_all(s, "@OPACITY@", opacity);
    s = replace_all(s, "@LENS@", lens);
    return replace_all(s, "@SPHERE@", ORN_SOURCE_DIR "/scenes/meshes/sphere.obj");
}

// One channel of an EXR file by name; empty when the file or the channel is missing.
std::vector<float> channel(const fs::path& file, const std::string& name) {
    auto in = OIIO::ImageInput::open(file.string());
    if (!in) return {};
    const auto& spec = in->spec();
    const int c = spec.channelindex(name);
    if (c < 0) return {};
    std::vector<float> data(size_t(spec.width) * size_t(spec.height));
    in->read_image(0, 0, c, c + 1, OIIO::TypeDesc::FLOAT, data.data());
    return data;
}

// Keeps the light groups a frame tells its watch of.
struct Capture : orn::FrameWatch {
    orn::WatchedFrame frame;
    void frame_started(const orn::WatchedFrame& f) override { frame = f; }
    void bucket_done(int, int, int, int, const float*) override {}
    void frame_finished(const std::vector<const float*>&, bool) override {}
};

// The numbers of the line the scene text of a mix gives for light `name`: intensity, colour.
std::vector<double> light_values(const std::string& text, const std::string& name) {
    const std::regex line("# light \"" + name + "\"[^\n]*\n\"intensity\" ([^,]+), \"color\" ([^\n]+)\n");
    std::smatch m;
    if (!std::regex_search(text, m, line)) return {};
    std::vector<double> v{std::stod(m[1])};
    std::istringstream color(m[2]);
    for (double c; color >> c;)
        v.push_back(c);
    return v;
}

// The scene with the parameter lines of `pasted` in place of each light's "color" and
// "intensity", as a lighter pastes them.
std::string paste(std::string scene, const std::string& pasted) {
    const std::regex light("# light \"(\\w+)\"[^\n]*\n(\"intensity\" [^\n]+)\n");
    for (auto it = std::sregex_iterator(pasted.begin(), pasted.end(), light); it != std::sregex_iterator();
         ++it) {
        const std::string head = "light \"" + (*it)[1].str() + "\" \"orn_DirectTK\" (";
        const size_t at = scene.find(head);
        if (at == std::string::npos) continue;
        // The scene's lights start with "color" R G B A, "intensity" I,
        const size_t from = at + head.size();
        const size_t to = scene.find(',', scene.find("\"intensity\"", from));
        scene.replace(from, to - from, (*it)[2].str());
    }
    return scene;
}

TEST(PassClosure, TheLayersOfTheSaversFileRebuildTheBeauty) {
    // The third frame is seen through the depth-of-field lens, focused in front of the balls.
    const std::string dof =
        "lens \"orn_physical_lens_dof\" (\"focus_plane\" 7, \"lens_radius\" 0.4, \"samples\" 8)";
    const std::pair<std::string, std::string> cases[] = {
        {"1 1 1 1", ""}, {"0.5 0.5 0.5 0.5", ""}, {"0.5 0.5 0.5 0.5", dof}};
    for (const auto& [opacity, lens] : cases) {
        const std::string name = !lens.empty() ? "dof" : opacity[0] == '1' ? "opaque" : "half";
        // The second render of each case has the lights as the scene text of a mix sets them.
        Capture watch;
        auto render = [&, &opacity = opacity, &lens = lens](const std::string& variant,
                                                            const std::string& pasted = "", bool dark = false,
                                                            const std::string& samples = "samples 0 1") {
            const fs::path dir = fs::path(orn::test::temp_path("x")).parent_path() / (name + variant);
            fs::create_directories(dir);
            const fs::path file = dir / "demo.singleTK.0001.exr";
            fs::remove(file);
            orn::SessionOptions o;
            o.render.progress = false;
            o.render.threads = 2;
            o.render.watch = &watch;
            orn::Session session(o);
            std::string scene =
                replace_all(paste(closure_scene(dir.string(), opacity, lens), pasted), "samples 0 1", samples);
            // Dark: no ambient light and no glow, so that every light of the frame is in a group.
            if (dark)
                for (const char* term : {"\"amb_occl_on\" ", "\"incandescence_on\" "})
                    scene = replace_all(scene, term + std::string("on"), term + std::string("off"));
            EXPECT_TRUE(session.load_string(scene, "closure.mi"));
            EXPECT_TRUE(session.render_all());
            EXPECT_TRUE(fs::exists(file));
            return file;
        };
        const fs::path file = render("");
        const auto r = orn::film::check_pass_closure(file.string());
        ASSERT_TRUE(r.error.empty()) << r.error;
        EXPECT_TRUE(r.missing.empty());
        EXPECT_TRUE(r.warnings.empty() && r.failures.empty()); // the saver marks its finished frame
        EXPECT_TRUE(r.ok) << "opacity " << opacity << lens << ": largest differences " << r.max_diff[0] << " "
                          << r.max_diff[1] << " " << r.max_diff[2] << ", share over " << r.share_over
                          << "; light groups " << r.group_max_diff[0] << " " << r.group_max_diff[1] << " "
                          << r.group_max_diff[2];
        EXPECT_EQ(r.used.size(), 7u);
        EXPECT_EQ(r.width, 96);
        // One group per light category, and the rest (ambient and incandescence are in it).
        EXPECT_EQ(r.groups, (std::vector<std::string>{"key", "rest", "rim"}));

        // The ID mattes, read by a decoder of their own: every name has the ID the standard's
        // hash gives it, ranks come largest first, and in every pixel each matte's coverages add
        // up to the alpha, through the half-transparent ball and the lens too.
        std::string error;
        const auto mattes = orn::test::decode_mattes(file.string(), error);
        ASSERT_TRUE(error.empty()) << error;
        ASSERT_EQ(mattes.size(), 3u);
        const auto alpha = channel(file, "A");
        for (const auto& m : mattes) {
            EXPECT_EQ(m.ranks, 6) << m.type_name;
            EXPECT_FALSE(m.manifest.empty()) << m.type_name;
            for (const auto& [n, hex] : m.manifest)
                EXPECT_EQ(std::stoul(hex, nullptr, 16), orn::test::reference_matte_id(n)) << n;
            double worst = 0.0;
            bool ordered = true;
            for (size_t i = 0; i < alpha.size(); ++i) {
                double sum = 0.0;
                for (size_t k = 0; k < m.pixels[i].size(); ++k) {
                    sum += m.pixels[i][k].second;
                    if (k > 0 && m.pixels[i][k].second > m.pixels[i][k - 1].second) ordered = false;
                }
                worst = std::max(worst, std::fabs(sum - alpha[i]));
            }
            EXPECT_LT(worst, 1e-5) << name << " " << m.type_name;
            EXPECT_TRUE(ordered) << name << " " << m.type_name;
        }
        // A pixel the clay ball fills: opaque, it is all clay; half transparent, its front and
        // back hold 0.5 + 0.5 x 0.5 and what lies behind the last quarter.
        const auto objects = std::find_if(mattes.begin(), mattes.end(),
                                          [](const auto& m) { return m.type_name == "CryptoObject"; });
        ASSERT_NE(objects, mattes.end());
        float most = 0.f;
        for (size_t i = 0; i < alpha.size(); ++i)
            most = std::max(most, objects->coverage("ball_clay", i));
        if (lens.empty()) {
            EXPECT_NEAR(most, name == "opaque" ? 1.0 : 0.75, 1e-5);
        }

        // The frame is linear in the lights' intensities and colours: the file mixed with the rim
        // at half and the key tinted is the re-render with the rim's intensity at half and the
        // key's colour times the tint, through glass, gloss and the lens. The mix changes the
        // beauty and the groups' layers and copies every other layer. Both renders take the same
        // samples (adaptive sampling would follow the dimmer rim's contrast).
        std::string error_text;
        const auto mix = orn::film::parse_light_mix("rim=0.5,key=0.8:0.9:0.6", error_text);
        ASSERT_TRUE(mix) << error_text;
        // The key's largest factor goes to its intensity (1.1 x 0.9), the rest to its colour
        // (1 0.95 0.85 times 0.8/0.9, 1, 0.6/0.9); the rim's intensity halves.
        const auto text = orn::mix_scene_text(watch.frame.groups, *mix, error_text);
        ASSERT_TRUE(text) << error_text;
        const auto key = light_values(*text, "key"), rim = light_values(*text, "rim");
        ASSERT_EQ(key.size(), 5u) << *text;
        ASSERT_EQ(rim.size(), 5u) << *text;
        const double want_key[5] = {0.99, 0.8 / 0.9, 0.95, 0.85 * 0.6 / 0.9, 1.0};
        const double want_rim[5] = {0.45, 0.7, 0.8, 1.0, 1.0};
        for (int k = 0; k < 5; ++k) {
            EXPECT_NEAR(key[size_t(k)], want_key[k], 1e-6) << *text;
            EXPECT_NEAR(rim[size_t(k)], want_rim[k], 1e-6) << *text;
        }
        const fs::path lit = render("_lit", "", false, "samples 0 0"),
                       dimmed = render("_dim", *text, false, "samples 0 0");
        const fs::path mixed = lit.parent_path() / "mixed.exr";
        const auto mix_error = orn::film::mix_exr(lit.string(), mixed.string(), *mix);
        ASSERT_FALSE(mix_error) << *mix_error;
        for (const char* c : {"r", "g", "b"}) {
            const std::string upper(1, char(std::toupper(*c)));
            const auto beauty = channel(mixed, upper);
            const auto rerender = channel(dimmed, upper);
            ASSERT_TRUE(!beauty.empty() && beauty.size() == rerender.size());
            double worst = 0.0;
            for (size_t i = 0; i < beauty.size(); ++i)
                worst = std::max(worst, std::fabs(double(beauty[i]) - rerender[i]));
            EXPECT_LT(worst, 1e-4) << name << " channel " << c;
            for (const std::string layer : {"orn_MegaTK_diffuse.", "orn_MegaTK_refract.", "CryptoObject00."})
                EXPECT_EQ(channel(mixed, layer + c), channel(lit, layer + c)) << layer << c;
        }
        const auto mixed_closure = orn::film::check_pass_closure(mixed.string());
        EXPECT_TRUE(mixed_closure.ok) << name << ": groups " << mixed_closure.group_max_diff[0];
        EXPECT_EQ(mixed_closure.warnings.size(), 1u);

        // Where only grouped lights lit a pixel the rest is exactly 0, not a signed speck of
        // rounding, and the groups alone still rebuild the beauty.
        const fs::path dark = render("_dark", "", true);
        const auto closed = orn::film::check_pass_closure(dark.string());
        EXPECT_TRUE(closed.ok) << name << ": light groups " << closed.group_max_diff[0] << " "
                               << closed.group_max_diff[1] << " " << closed.group_max_diff[2];
        for (const char* c : {"r", "g", "b"}) {
            const auto rest = channel(dark, std::string("orn_MegaTK_lightgroup_rest.") + c);
            ASSERT_FALSE(rest.empty());
            EXPECT_EQ(std::count(rest.begin(), rest.end(), 0.f), std::ptrdiff_t(rest.size()))
                << name << " " << c;
        }
    }
}

// Renders `scene` (its camera writing the colour to an EXR file, with an object matte) and
// returns the file.
fs::path render_with_mattes(const std::string& scene, const std::string& name) {
    const fs::path file = fs::path(orn::test::temp_path(name + ".exr"));
    std::string text = scene;
    text.replace(text.find("end camera"), 10, "output \"rgba\" \"exr\" \"" + file.string() + "\" end camera");
    orn::SessionOptions o;
    o.render.progress = false;
    o.render.threads = 2;
    orn::Session session(o);
    EXPECT_TRUE(session.load_string(text, name + ".mi"));
    EXPECT_TRUE(session.render_all());
    return file;
}

TEST(IdMattes, EachSurfaceCoversItsVisibleShareUnderStackedTransparency) {
    // Two half-transparent toolkit quads filling the view over nothing, the front one at z = -4,
    // the back one at z = -6: the front shows half of the pixel, the back half of the rest.
    // Ray traced, the toolkit's alpha is 0.5 + 0.5 (the alpha from behind is not scaled), so the
    // coverages fall short of it; the rasteriser composites the alpha as 0.5 + 0.5 x 0.5.
    for (const bool raster : {false, true}) {
        SCOPED_TRACE(raster ? "rasteriser" : "ray traced");
        const std::string scene = orn::test::module_preamble() + "options \"opt\" samples 0 0 " +
                                  (raster ? "scanline rasterizer " : "") +
                                  "cryptomatte \"object\" end options\n"
                                  "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 8 8 end camera\n"
                                  "instance \"cam_i\" \"cam\" end instance\n" +
                                  orn::test::mega("veil", "", "0.5 0.5 0.5 0.5") +
                                  orn::test::quad_object("near", -4.f) + orn::test::quad_object("far", -6.f) +
                                  "instance \"front\" \"near\" material \"veil_m\" end instance\n"
                                  "instance \"back\" \"far\" material \"veil_m\" end instance\n"
                                  "instgroup \"root\" \"cam_i\" \"front\" \"back\" end instgroup\nrender "
                                  "\"root\" \"cam_i\" \"opt\"\n";
        const fs::path file = render_with_mattes(scene, raster ? "raster" : "traced");
        std::string error;
        const auto mattes = orn::test::decode_mattes(file.string(), error);
        ASSERT_TRUE(error.empty()) << error;
        ASSERT_EQ(mattes.size(), 1u);
        const auto alpha = channel(file, "A");
        ASSERT_EQ(alpha.size(), 64u);
        for (size_t i = 0; i < alpha.size(); ++i) {
            EXPECT_NEAR(mattes[0].coverage("front", i), 0.5f, 1e-6f) << i;
            EXPECT_NEAR(mattes[0].coverage("back", i), 0.25f, 1e-6f) << i;
            EXPECT_NEAR(alpha[i], raster ? 0.75f : 1.f, 1e-6f) << i;
        }
    }
}

TEST(IdMattes, ADefocusedHalfTransparentBallMatchesAHoldoutRender) {
    // A half-transparent toolkit ball glowing white, out of focus, half over a black opaque
    // wall and half over nothing. Its light reaches the colour exactly as the ball is seen: 0.5
    // from the front, 0.5 x 0.5 from the back, through the lens rays and the filter. So the
    // red channel is the ball's holdout matte, and its object matte must equal it; the wall's
    // matte is the same render with the roles turned round (a white wall, a black ball).
    for (const bool ball_glows : {true, false}) {
        SCOPED_TRACE(ball_glows ? "ball" : "wall");
        const std::string glow = ball_glows ? "\"incandescence_on\" on, \"incandescence_scale\" 1, "
                                              "\"incandescence_color\" 1 1 1 1"
                                            : "";
        const std::string scene =
            orn::test::module_preamble() +
            "options \"opt\" samples 1 1 filter gauss 2 2 cryptomatte \"object\" end options\n"
            "camera \"cam\" focal 1 aperture 1 aspect 1 resolution 24 24\n"
            "  lens \"orn_physical_lens_dof\" (\"focus_plane\" 3, \"lens_radius\" 0.1, \"samples\" 8)\n"
            "end camera\n"
            "instance \"cam_i\" \"cam\" end instance\n" +
            orn::test::mega("veil", glow, "0.5 0.5 0.5 0.5") +
            "material \"wall_m\" \"orn_constant\" (\"color\" " + (ball_glows ? "0 0 0 1" : "1 1 1 1") +
            ") end material\n"
            "object \"ball\" visible shadow trace file \"" ORN_SOURCE_DIR
            "/scenes/meshes/sphere.obj\" end object\n"
            "object \"wall\" visible shadow trace group\n  0 -20 -9  20 -20 -9  20 20 -9  0 20 -9\n"
            "  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n"
            "instance \"ball_i\" \"ball\" material \"veil_m\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 6 1 "
            "end instance\n"
            "instance \"wall_i\" \"wall\" material \"wall_m\" end instance\n"
            "instgroup \"root\" \"cam_i\" \"ball_i\" \"wall_i\" end instgroup\nrender \"root\" \"cam_i\" "
            "\"opt\"\n";
        const fs::path file = render_with_mattes(scene, ball_glows ? "ball" : "wall");
        std::string error;
        const auto mattes = orn::test::decode_mattes(file.string(), error);
        ASSERT_TRUE(error.empty()) << error;
        ASSERT_EQ(mattes.size(), 1u);
        const auto red = channel(file, "R");
        ASSERT_EQ(red.size(), 576u);
        double worst = 0.0, most = 0.0;
        for (size_t i = 0; i < red.size(); ++i) {
            const double cov = mattes[0].coverage(ball_glows ? "ball_i" : "wall_i", i);
            worst = std::max(worst, std::fabs(cov - red[i]));
            most = std::max(most, cov);
        }
        EXPECT_LT(worst, 1e-4);
        EXPECT_GT(most, 0.5) << "an empty matte proves nothing";
    }
}

TEST(PassClosure, TheContactSheetReadsLikeTheFormula) {
    // Channels as an EXR file lists them, sorted by name.
    std::vector<std::string> channels = {"A", "B", "G", "R", "Z"};
    for (const char* l :
         {"ambient", "amb_occlus", "color", "diff_occlus", "diffuse", "incand", "indirect", "reflect",
          "refract", "shading", "shadow", "spec_shd", "specialC1", "specular", "z"})
        for (const char* c : {".b", ".g", ".r"})
            channels.push_back(std::string("orn_MegaTK_") + l + c);
    std::sort(channels.begin(), channels.end());
    std::vector<std::string> labels;
    for (const auto& t : orn::film::contact_sheet_tiles(channels))
        labels.push_back(t.label.substr(0, t.label.find(" (")));
    const std::vector<std::string> expected = {"BEAUTY",    "shading",  "incand",   "indirect",    "reflect",
                                               "refract",   "spec_shd", "specular", "amb_occlus",  "ambient",
                                               "shadow",    "diffuse",  "color",    "diff_occlus", "Z",
                                               "specialC1", "z"};
    EXPECT_EQ(labels, expected);
    const auto tiles = orn::film::contact_sheet_tiles(channels);
    EXPECT_EQ(tiles[0].label, "BEAUTY (R G B A)");
    EXPECT_EQ(tiles[12].label, "color (orn_MegaTK_color)");
    EXPECT_EQ(tiles[12].channels[2], "orn_MegaTK_color.b");

    // Labels stay in their tiles (a character advances 6 pixels per scale, 2 pixels of margin):
    // a short name at scale 2 with its channel after it; a 44-character group name at scale 1,
    // whose channel name (8 characters of room left) is left out; at 160 pixels the name loses
    // its middle to fit 26 characters; a long channel name behind a short one keeps 38.
    using orn::film::layout_label;
    const std::string group = "lightgroup_key_light_through_the_left_window";
    const std::string source = " (orn_MegaTK_" + group + ")";
    const struct {
        std::string label;
        int width;
        orn::film::LabelLayout expected;
    } layouts[] = {
        {"color (orn_MegaTK_color)", 320, {"color", 2, " (orn_MegaTK_color)", 62}},
        {group + source, 320, {group, 1, "", 266}},
        {group + source, 160, {"lightgroup_k.._left_window", 1, "", 158}},
        {"diffuse" + source, 320, {"diffuse", 2, " (orn_MegaTK_light..h_the_left_window)", 86}},
        {"CryptoObject (ID matte)", 160, {"CryptoObject", 2, "", 146}},
    };
    for (const auto& l : layouts) {
        const auto got = layout_label(l.label, l.width);
        EXPECT_EQ(got.name, l.expected.name) << l.label;
        EXPECT_EQ(got.name_scale, l.expected.name_scale) << l.label;
        EXPECT_EQ(got.detail, l.expected.detail) << l.label;
        if (!got.detail.empty()) {
            EXPECT_EQ(got.detail_x, l.expected.detail_x) << l.label;
        }
        EXPECT_LE(2 + orn::film::text_width(got.name, got.name_scale), l.width - 2) << l.label;
        EXPECT_LE(got.detail_x + orn::film::text_width(got.detail, 1), l.width - 2) << l.label;
    }
}

// The hue of a linear RGB colour, 0 to 1 round the colour wheel, and its saturation.
std::pair<double, double> hue_of(const std::array<float, 3>& c) {
    const double hi = std::max({c[0], c[1], c[2]}), lo = std::min({c[0], c[1], c[2]}), d = hi - lo;
    if (d <= 0.0) return {0.0, 0.0};
    double h = hi == c[0]   ? (c[1] - c[2]) / d
               : hi == c[1] ? 2.0 + (c[2] - c[0]) / d
                            : 4.0 + (c[0] - c[1]) / d;
    h /= 6.0;
    return {h - std::floor(h), d / hi};
}

double hue_apart(const std::array<float, 3>& a, const std::array<float, 3>& b) {
    const double d = std::fabs(hue_of(a).first - hue_of(b).first);
    return std::min(d, 1.0 - d);
}

TEST(PassClosure, TheMattesFalseColoursSetNeighboursApart) {
    // IDs one unit in the last place apart: 1.0f and the floats after it.
    auto id = [](std::uint32_t k) {
        const std::uint32_t bits = 0x3f800000u + k;
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    };
    // A row of five objects, each filling one pixel: each meets the next only. Neighbours stay
    // at least 60 degrees apart; the second takes the hue opposite the first, the third a
    // quarter turn between them, and so on, so that any two differ by 45 degrees at least.
    std::vector<float> row_ids(5), row_cov(5, 1.f);
    for (std::uint32_t k = 0; k < 5; ++k)
        row_ids[k] = id(k);
    const auto row = orn::film::matte_colours(5, 1, {&row_ids, &row_cov});
    ASSERT_EQ(row.size(), 5u);
    EXPECT_NEAR(hue_apart(row.at(0x3f800000u), row.at(0x3f800001u)), 0.5, 1e-6);
    for (std::uint32_t a = 0; a < 5; ++a) {
        const auto& c = row.at(0x3f800000u + a);
        EXPECT_NEAR(hue_of(c).second, 0.85, 1e-6) << "saturated";
        EXPECT_NEAR(std::max({c[0], c[1], c[2]}), 1.0, 1e-6);
        for (std::uint32_t b = a + 1; b < 5; ++b)
            EXPECT_GE(hue_apart(c, row.at(0x3f800000u + b)), (b == a + 1 ? 1.0 / 6.0 : 0.125) - 1e-6)
                << a << " " << b;
    }
    // Six objects sharing one pixel, a sixth each, all meeting: the hues spread out at 180,
    // then 90, then 45 degrees, so no two are closer than an eighth of the wheel.
    std::vector<std::vector<float>> ranks(12, std::vector<float>(1));
    std::vector<const std::vector<float>*> channels;
    for (std::uint32_t k = 0; k < 6; ++k) {
        ranks[2 * k][0] = id(k);
        ranks[2 * k + 1][0] = 1.f / 6.f;
        channels.push_back(&ranks[2 * k]);
        channels.push_back(&ranks[2 * k + 1]);
    }
    const auto crowd = orn::film::matte_colours(1, 1, channels);
    ASSERT_EQ(crowd.size(), 6u);
    double closest = 1.0;
    for (auto a = crowd.begin(); a != crowd.end(); ++a)
        for (auto b = std::next(a); b != crowd.end(); ++b)
            closest = std::min(closest, hue_apart(a->second, b->second));
    EXPECT_NEAR(closest, 0.125, 1e-6);
}

// The file's pixels, every channel.
std::vector<float> pixels(const fs::path& file) {
    auto in = OIIO::ImageInput::open(file.string());
    if (!in) return {};
    const auto& spec = in->spec();
    std::vector<float> data(size_t(spec.width) * spec.height * spec.nchannels);
    in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, data.data());
    return data;
}

TEST(PassClosure, PointAndSpotToolkitLightsSameBitsOnOneAndTwoThreads) {
    std::ifstream in(ORN_SOURCE_DIR "/scenes/lights.mi");
    std::stringstream text;
    text << in.rdbuf();
    std::vector<float> images[2];
    for (const int threads : {1, 2}) {
        const fs::path dir = fs::path(orn::test::temp_path("x")).parent_path() / std::to_string(threads);
        fs::create_directories(dir);
        std::string s =
            replace_all(text.str(), "\"directory\" \"out\"", "\"directory\" \"" + dir.string() + "\"");
        s = replace_all(s, "\"meshes/", "\"" ORN_SOURCE_DIR "/scenes/meshes/");
        orn::SessionOptions o;
        o.render.progress = false;
        o.render.threads = threads;
        orn::Session session(o);
        ASSERT_TRUE(session.load_string(s, "lights.mi"));
        ASSERT_TRUE(session.render_all());
        const fs::path file = dir / "lights.singleTK.0001.exr";
        images[threads - 1] = pixels(file);
        if (threads == 1) continue;
        const auto r = orn::film::check_pass_closure(file.string());
        ASSERT_TRUE(r.error.empty()) << r.error;
        EXPECT_TRUE(r.ok) << "largest differences " << r.max_diff[0] << " " << r.max_diff[1] << " "
                          << r.max_diff[2];
    }
    ASSERT_FALSE(images[0].empty());
    EXPECT_TRUE(images[0] == images[1]);
}

// Every scene of the repository that writes passes closes, rendered small: the beauty rebuilt
// from its layers, and from its light groups, matches the colour in every pixel. A scene added to
// scenes/ is checked without a change here.
TEST(PassClosure, EveryPassSceneOfTheRepositoryCloses) {
    const std::regex resolution(R"(resolution\s+(\d+)\s+(\d+))");
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(ORN_SOURCE_DIR "/scenes")) {
        if (entry.path().extension() != ".mi") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        std::string s = text.str();
        if (s.find("\"orn_MegaTK_pass\"") == std::string::npos) continue;
        const std::string name = entry.path().stem().string();
        SCOPED_TRACE(name);
        const fs::path dir = fs::path(orn::test::temp_path("x")).parent_path() / ("scene_" + name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        s = replace_all(s, "\"directory\" \"out\"", "\"directory\" \"" + dir.string() + "\"");
        s = replace_all(s, "link \"shaders_orn.so\"\n$include \"shaders_orn.mi\"\n",
                        orn::test::module_preamble());
        // An eighth of the size each way: the same scene at 1/64 of the cost.
        std::smatch m;
        ASSERT_TRUE(std::regex_search(s, m, resolution));
        s.replace(size_t(m.position(0)), size_t(m.length(0)),
                  "resolution " + std::to_string(std::max(8, std::stoi(m[1]) / 8)) + " " +
                      std::to_string(std::max(8, std::stoi(m[2]) / 8)));
        orn::SessionOptions o;
        o.render.progress = false;
        o.render.threads = 2;
        orn::Session session(o);
        ASSERT_TRUE(session.load_string(s, entry.path().string()));
        ASSERT_TRUE(session.render_all());
        std::vector<fs::path> files;
        for (const auto& f : fs::directory_iterator(dir))
            if (f.path().string().find(".singleTK.") != std::string::npos) files.push_back(f.path());
        ASSERT_EQ(files.size(), 1u);
        const auto r = orn::film::check_pass_closure(files[0].string());
        ASSERT_TRUE(r.error.empty()) << r.error;
        EXPECT_TRUE(r.failures.empty());
        EXPECT_TRUE(r.ok) << "largest differences " << r.max_diff[0] << " " << r.max_diff[1] << " "
                          << r.max_diff[2] << ", share over " << r.share_over << "; light groups "
                          << r.group_max_diff[0] << " " << r.group_max_diff[1] << " " << r.group_max_diff[2];
        ++checked;
    }
    EXPECT_GE(checked, 4); // demo, dof, hair, lights
}

} // namespace
