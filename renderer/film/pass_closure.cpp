#include "film/pass_closure.h"

#include "film/contact_sheet.h"

#include "common/atomic_file.h"
#include "common/light_groups.h"
#include "film/image_output.h"
#include "film/light_mix.h"
#include "image/exr_size_check.h"
#include "image/image_library.h"

#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfIntAttribute.h>
#include <OpenEXR/ImfStringAttribute.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>

namespace orn::film {

namespace {

// The file's channels by name, as float.
struct Channels {
    int width = 0, height = 0;
    std::map<std::string, std::vector<float>> data;
    std::vector<std::string> order;
    const std::vector<float>* get(const std::string& name) const {
        auto it = data.find(name);
        return it == data.end() ? nullptr : &it->second;
    }
};

bool read_channels(const std::string& path, Channels& out, std::string& error) {
    // A file of someone else's: its header must not make the reader allocate more than the
    // file can hold.
    if (auto why = image::exr_size_problem(path)) {
        error = *why;
        return false;
    }
    const image::Library* images = image::library(error);
    if (!images) return false;
    image::FloatImage file;
    if (auto why = images->read(path, file)) {
        error = *why;
        return false;
    }
    out.width = file.width;
    out.height = file.height;
    const size_t n = size_t(file.width) * size_t(file.height);
    const size_t channels = file.channels.size();
    for (size_t c = 0; c < channels; ++c) {
        std::vector<float> ch(n);
        for (size_t i = 0; i < n; ++i)
            ch[i] = file.pixels[i * channels + c];
        out.data[file.channels[c]] = std::move(ch);
        out.order.push_back(file.channels[c]);
    }
    return true;
}

const char* const kChannel[3] = {"r", "g", "b"};

// An 8-bit RGB PNG from display-ready floats, row 0 at the top, written atomically.
std::string write_png(const std::string& png_path, int w, int h, const std::vector<float>& rgb) {
    std::string error;
    const image::Library* images = image::library(error);
    if (!images) return "cannot write \"" + png_path + "\": " + error;
    AtomicFile file(png_path, ".png");
    if (!file.error().empty()) return file.error();
    image::WriteSpec spec;
    spec.width = w;
    spec.height = h;
    spec.channels = {"R", "G", "B"};
    spec.types.assign(3, image::PixelType::UInt8);
    spec.data_is_float = true;
    if (auto why = images->write(file.temp_path(), spec, rgb.data()))
        return "cannot write \"" + png_path + "\": " + *why;
    if (auto err = file.commit()) return *err;
    return {};
}

// The header's finished-frame mark: its value, or nullopt where the file has none.
std::optional<int> frame_complete_mark(const std::string& path) {
    if (image::exr_size_problem(path, false)) return std::nullopt;
    try {
        Imf::InputFile file(path.c_str(), 1);
        const auto* mark = file.header().findTypedAttribute<Imf::IntAttribute>(kFrameCompleteAttribute);
        if (mark) return mark->value();
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// The light mix a file records, if it was mixed after the render.
std::optional<std::string> light_mix_of(const std::string& path) {
    if (image::exr_size_problem(path, false)) return std::nullopt;
    try {
        Imf::InputFile file(path.c_str(), 1);
        if (const auto* mix = file.header().findTypedAttribute<Imf::StringAttribute>(kLightMixAttribute))
            return mix->value();
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

const char* const kBeauty[3] = {"R", "G", "B"};

// Compares the rebuilt colour with the beauty pixel by pixel: the largest (and, given `mean`, the
// mean) difference per channel, and the number of pixels with a channel over the tolerance.
size_t compare(const Channels& ch, const std::array<std::vector<double>, 3>& rebuilt, double absolute,
               double relative, std::array<double, 3>& largest, std::array<double, 3>* mean) {
    const size_t n = size_t(ch.width) * size_t(ch.height);
    size_t over = 0;
    for (size_t i = 0; i < n; ++i) {
        bool bad = false;
        for (int c = 0; c < 3; ++c) {
            const double beauty = (*ch.get(kBeauty[c]))[i];
            const double d = std::fabs(beauty - rebuilt[size_t(c)][i]);
            largest[size_t(c)] = std::max(largest[size_t(c)], d);
            if (mean) (*mean)[size_t(c)] += d / double(n);
            if (!(d <= absolute + relative * std::fabs(beauty))) bad = true;
        }
        if (bad) ++over;
    }
    return over;
}

} // namespace

ClosureReport check_pass_closure(const std::string& path, double absolute, double relative) {
    ClosureReport rep;
    Channels ch;
    if (!read_channels(path, ch, rep.error)) return rep;
    rep.width = ch.width;
    rep.height = ch.height;
    for (const char* b : kBeauty)
        if (!ch.get(b)) {
            rep.error = "\"" + path + "\" has no beauty channel " + b;
            return rep;
        }
    // A layer counts only with all three of its channels.
    auto layer = [&](const std::string& l) {
        for (const char* c : kChannel)
            if (!ch.get("orn_MegaTK_" + l + "." + c)) return false;
        return true;
    };
    const size_t n = size_t(ch.width) * size_t(ch.height);
    std::array<std::vector<double>, 3> rebuilt;
    for (auto& r : rebuilt)
        r.assign(n, 0.0);
    auto add = [&](const std::string& l, const std::string& times) {
        for (int c = 0; c < 3; ++c) {
            const auto* a = ch.get("orn_MegaTK_" + l + "." + kChannel[c]);
            const auto* m = times.empty() ? nullptr : ch.get("orn_MegaTK_" + times + "." + kChannel[c]);
            for (size_t i = 0; i < n; ++i)
                rebuilt[size_t(c)][i] += double((*a)[i]) * (m ? double((*m)[i]) : 1.0);
        }
        rep.used.push_back(times.empty() ? l : l + " x " + times);
    };
    for (const char* l : {"shading", "incand", "indirect", "reflect", "refract"}) {
        if (layer(l))
            add(l, "");
        else
            rep.missing.push_back(l);
    }
    // Shadowed specular: the ratio times the unshadowed light, or the shadowed light itself
    // when the file holds no ratio.
    if (layer("spec_shd") && layer("specular"))
        add("spec_shd", "specular");
    else if (layer("specular") && !layer("spec_shd"))
        add("specular", "");
    else
        rep.missing.push_back("specular");
    if (layer("amb_occlus") && layer("ambient"))
        add("amb_occlus", "ambient");
    else
        rep.missing.push_back("amb_occlus");

    const size_t over = compare(ch, rebuilt, absolute, relative, rep.max_diff, &rep.mean_diff);
    rep.share_over = n ? double(over) / double(n) : 0.0;

    // The light groups add up to the beauty on their own.
    const std::string group_prefix = kLightGroupLayer;
    for (const std::string& name : ch.order)
        if (name.size() > group_prefix.size() + 2 &&
            name.compare(0, group_prefix.size(), group_prefix) == 0 &&
            name.compare(name.size() - 2, 2, ".r") == 0) {
            const std::string group = name.substr(group_prefix.size(), name.size() - group_prefix.size() - 2);
            if (layer("lightgroup_" + group)) rep.groups.push_back(group);
        }
    size_t group_over = 0;
    if (!rep.groups.empty()) {
        for (auto& r : rebuilt)
            std::fill(r.begin(), r.end(), 0.0);
        for (const std::string& g : rep.groups)
            for (int c = 0; c < 3; ++c) {
                const auto& a = *ch.get(group_prefix + g + "." + kChannel[c]);
                for (size_t i = 0; i < n; ++i)
                    rebuilt[size_t(c)][i] += double(a[i]);
            }
        group_over = compare(ch, rebuilt, absolute, relative, rep.group_max_diff, nullptr);
        rep.group_share_over = n ? double(group_over) / double(n) : 0.0;
        if (std::find(rep.groups.begin(), rep.groups.end(), kRestGroup) == rep.groups.end())
            rep.warnings.push_back("the file has light-group layers but no \"rest\" layer: what no group "
                                   "holds is missing from their sum");
    }

    const auto mark = frame_complete_mark(path);
    if (!mark)
        rep.warnings.push_back(
            std::string("the file has no \"") + kFrameCompleteAttribute +
            "\" mark, so it may hold an unfinished frame (written by another program or an "
            "older renderer)");
    else if (*mark != 1)
        rep.failures.push_back(std::string("the file marks its frame unfinished (\"") +
                               kFrameCompleteAttribute + "\" " + std::to_string(*mark) + ")");
    bool empty = true;
    for (const char* b : {"R", "G", "B", "A"})
        if (const auto* v = ch.get(b))
            empty = empty && std::all_of(v->begin(), v->end(), [](float x) { return x == 0.f; });
    if (empty) rep.failures.push_back("the beauty is empty (every pixel 0): an unfinished or failed frame?");
    bool mattes_ok = true;
    const std::vector<float>* alpha = ch.get("A");
    for (const auto& [type, layers] : matte_layers(ch.order)) {
        if (!alpha) break;
        std::vector<double> sum(n, 0.0);
        for (const std::string& l : layers)
            for (const char* c : {".g", ".a"}) {
                const auto& cov = *ch.get(l + c);
                for (size_t i = 0; i < n; ++i)
                    sum[i] += double(cov[i]);
            }
        // Coverages are visible shares: they add up to the alpha, except where partly transparent
        // toolkit surfaces stack over nothing opaque and their alphas add (alpha min(1, sum g),
        // coverage 1 - prod(1 - g), never below (1 - 1/e) of the alpha).
        double worst = 0.0;
        for (size_t i = 0; i < n; ++i) {
            const double a = double((*alpha)[i]);
            worst = std::max(worst, std::max(sum[i] - a, (1.0 - std::exp(-1.0)) * a - sum[i]));
        }
        rep.mattes.emplace_back(type, worst);
        mattes_ok = mattes_ok && worst <= 1e-5;
    }
    // A mixed file's beauty follows its groups; the pass layers are still the render's.
    const auto mix = light_mix_of(path);
    if (mix)
        rep.warnings.push_back("the light groups of this file were mixed (\"" + *mix +
                               "\"): the pass layers are the render's and add up to the beauty only "
                               "where the mix left it; the light groups are checked");
    rep.ok = (over == 0 || mix) && group_over == 0 && mattes_ok && rep.failures.empty();
    return rep;
}

// ------------------------------------------------------------------ contact sheet

namespace {

// A false-colour picture of an ID matte: every ID gets its own colour, those of objects that meet
// far apart, and a pixel is the sum of its IDs' colours weighted by their coverage.
void draw_matte(std::vector<float>& rgb, int W, int ox, int oy, int tw, int th, int width, int height,
                const std::vector<const std::vector<float>*>& ranks) {
    const auto colours = matte_colours(width, height, ranks);
    for (int y = 0; y < th; ++y)
        for (int x = 0; x < tw; ++x) {
            const int sx = std::min(width - 1, x * width / tw), sy = std::min(height - 1, y * height / th);
            const size_t si = size_t(sy) * size_t(width) + size_t(sx);
            float c[3] = {0.f, 0.f, 0.f};
            for (size_t r = 0; r + 1 < ranks.size(); r += 2) {
                std::uint32_t id;
                const float v = (*ranks[r])[si], coverage = (*ranks[r + 1])[si];
                std::memcpy(&id, &v, sizeof id);
                if (id == 0 || !(coverage > 0.f)) continue;
                const auto& colour = colours.at(id);
                for (int k = 0; k < 3; ++k)
                    c[k] += coverage * colour[size_t(k)];
            }
            const size_t di = (size_t(oy + y) * size_t(W) + size_t(ox + x)) * 3;
            for (int k = 0; k < 3; ++k)
                rgb[di + size_t(k)] = std::pow(std::clamp(c[k], 0.f, 1.f), 1.f / 2.2f);
        }
}

} // namespace

std::map<std::string, std::vector<std::string>> matte_layers(const std::vector<std::string>& channels) {
    const std::set<std::string> have(channels.begin(), channels.end());
    std::map<std::string, std::vector<std::string>> out;
    for (const auto& name : channels) {
        const std::size_t n = name.size();
        if (n < 5 || name.compare(n - 4, 4, "00.r") != 0) continue;
        const std::string type = name.substr(0, n - 4);
        for (int l = 0; l < 100; ++l) {
            const std::string layer = type + char('0' + l / 10) + char('0' + l % 10);
            if (!have.count(layer + ".r") || !have.count(layer + ".g") || !have.count(layer + ".b") ||
                !have.count(layer + ".a"))
                break;
            out[type].push_back(layer);
        }
    }
    return out;
}

std::vector<SheetTile> contact_sheet_tiles(const std::vector<std::string>& channels) {
    const std::set<std::string> have(channels.begin(), channels.end());
    std::set<std::string> done;
    std::vector<SheetTile> tiles;
    if (have.count("R") && have.count("G") && have.count("B")) {
        tiles.push_back({have.count("A") ? "BEAUTY (R G B A)" : "BEAUTY (R G B)", {"R", "G", "B"}, false});
        done.insert({"R", "G", "B", "A"});
    }
    // A layer of three channels under `base`, if the file holds all three.
    auto three = [&](const std::string& base, bool normalise) {
        static const char* const suffixes[3][3] = {
            {".r", ".g", ".b"}, {".R", ".G", ".B"}, {".x", ".y", ".z"}};
        for (const auto& suffix : suffixes) {
            const std::array<std::string, 3> names = {base + suffix[0], base + suffix[1], base + suffix[2]};
            if (!have.count(names[0]) || !have.count(names[1]) || !have.count(names[2])) continue;
            if (done.count(names[0])) return true;
            std::string label = base;
            if (label.rfind("orn_MegaTK_", 0) == 0) label = label.substr(11) + " (" + base + ")";
            tiles.push_back({label, names, normalise});
            done.insert(names.begin(), names.end());
            return true;
        }
        return false;
    };
    // The formula's terms (see docs/passes.md), then the two ratios it does not use, each
    // beside what it divides by.
    for (const char* l : {"shading", "incand", "indirect", "reflect", "refract", "spec_shd", "specular",
                          "amb_occlus", "ambient", "shadow", "diffuse", "color", "diff_occlus"})
        three(std::string("orn_MegaTK_") + l, false);
    // ID mattes: one tile per type.
    for (const auto& [type, layers] : matte_layers(channels)) {
        tiles.push_back({type + " (ID matte)", {}, false, layers});
        for (const std::string& l : layers)
            for (const char* c : {".r", ".g", ".b", ".a"})
                done.insert(l + c);
    }
    for (const auto& name : channels) {
        if (done.count(name)) continue;
        const auto dot = name.rfind('.');
        const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
        // Directions and positions are shown over their own range; so is every data layer.
        const bool vec = base == "Normal" || base == "Motion" || base.find("bent") != std::string::npos ||
                         base.find("_z") != std::string::npos;
        if (three(base, vec)) continue;
        tiles.push_back({name, {name, name, name}, true});
        done.insert(name);
    }
    return tiles;
}

std::string write_contact_sheet(const std::string& exr_path, const std::string& png_path, int tile_width) {
    Channels ch;
    std::string error;
    if (!read_channels(exr_path, ch, error)) return error;
    struct Tile {
        std::string name;
        std::array<const std::vector<float>*, 3> src{};
        bool normalise = false;
        std::vector<const std::vector<float>*> ranks; // ID matte: ID and coverage channels in turn
    };
    std::vector<Tile> tiles;
    for (const SheetTile& t : contact_sheet_tiles(ch.order)) {
        Tile tile{
            t.label, {ch.get(t.channels[0]), ch.get(t.channels[1]), ch.get(t.channels[2])}, t.normalise, {}};
        for (const std::string& layer : t.matte_layers)
            for (const char* c : {".r", ".g", ".b", ".a"})
                tile.ranks.push_back(ch.get(layer + c));
        tiles.push_back(std::move(tile));
    }
    if (tiles.empty()) return "\"" + exr_path + "\" has no channels to show";
    const int tw = std::max(16, tile_width);
    const int th = std::max(1, int(double(tw) * ch.height / std::max(1, ch.width)));
    const int label = 20, pad = 4;
    const int cols = std::min<int>(4, int(tiles.size()));
    const int rows = (int(tiles.size()) + cols - 1) / cols;
    const int W = cols * (tw + pad) + pad, H = rows * (th + label + pad) + pad;
    std::vector<float> rgb(size_t(W) * size_t(H) * 3, 0.08f);
    for (size_t t = 0; t < tiles.size(); ++t) {
        const Tile& tile = tiles[t];
        const int ox = pad + int(t % size_t(cols)) * (tw + pad);
        const int oy = pad + int(t / size_t(cols)) * (th + label + pad);
        // The layer's short name large, the channel name it comes from small after it, both
        // within the tile.
        auto draw_label = [&](const std::string& text) {
            const LabelLayout l = layout_label(text, tw);
            draw_text(rgb, W, ox + 2, oy + 4 + (l.name_scale == 1 ? 7 : 0), l.name, l.name_scale, ox + tw);
            draw_text(rgb, W, ox + l.detail_x, oy + 11, l.detail, 1, ox + tw);
        };
        if (!tile.ranks.empty()) {
            draw_matte(rgb, W, ox, oy + label, tw, th, ch.width, ch.height, tile.ranks);
            draw_label(tile.name);
            continue;
        }
        float lo = 0.f, hi = 1.f;
        if (tile.normalise) {
            lo = INFINITY;
            hi = -INFINITY;
            for (const auto* s : tile.src)
                for (float v : *s)
                    if (std::isfinite(v)) {
                        lo = std::min(lo, v);
                        hi = std::max(hi, v);
                    }
            if (!(hi > lo)) hi = lo + 1.f;
        }
        for (int y = 0; y < th; ++y)
            for (int x = 0; x < tw; ++x) {
                const int sx = std::min(ch.width - 1, x * ch.width / tw);
                const int sy = std::min(ch.height - 1, y * ch.height / th);
                const size_t si = size_t(sy) * size_t(ch.width) + size_t(sx);
                const size_t di = (size_t(oy + label + y) * size_t(W) + size_t(ox + x)) * 3;
                for (int c = 0; c < 3; ++c) {
                    float v = (*tile.src[size_t(c)])[si];
                    v = std::isfinite(v) ? (v - lo) / (hi - lo) : 0.f;
                    v = std::clamp(v, 0.f, 1.f);
                    rgb[di + size_t(c)] = tile.normalise ? v : std::pow(v, 1.f / 2.2f);
                }
            }
        draw_label(tile.name);
    }
    return write_png(png_path, W, H, rgb);
}

std::string write_preview(const std::string& exr_path, const std::string& png_path) {
    Channels ch;
    std::string error;
    if (!read_channels(exr_path, ch, error)) return error;
    const std::vector<float>* src[3] = {ch.get("R"), ch.get("G"), ch.get("B")};
    if (!src[0] || !src[1] || !src[2]) return "\"" + exr_path + "\" has no R, G and B channels";
    const size_t n = size_t(ch.width) * size_t(ch.height);
    std::vector<float> rgb(n * 3);
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) {
            const float v = (*src[c])[i];
            rgb[i * 3 + size_t(c)] = std::isfinite(v) ? std::pow(std::clamp(v, 0.f, 1.f), 1.f / 2.2f) : 0.f;
        }
    return write_png(png_path, ch.width, ch.height, rgb);
}

} // namespace orn::film
