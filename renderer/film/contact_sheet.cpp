#include "film/contact_sheet.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <set>
#include <unordered_map>
#include <utility>

namespace orn::film {

namespace {

// A 5 x 7 pixel font for layer names: rows top to bottom, 5 bits each.
const std::map<char, std::array<unsigned char, 7>>& font() {
    static const std::map<char, std::array<unsigned char, 7>> f = {
        {'A', {14, 17, 17, 31, 17, 17, 17}}, {'B', {30, 17, 17, 30, 17, 17, 30}},
        {'C', {14, 17, 16, 16, 16, 17, 14}}, {'D', {30, 17, 17, 17, 17, 17, 30}},
        {'E', {31, 16, 16, 30, 16, 16, 31}}, {'F', {31, 16, 16, 30, 16, 16, 16}},
        {'G', {14, 17, 16, 23, 17, 17, 15}}, {'H', {17, 17, 17, 31, 17, 17, 17}},
        {'I', {14, 4, 4, 4, 4, 4, 14}},      {'J', {7, 2, 2, 2, 2, 18, 12}},
        {'K', {17, 18, 20, 24, 20, 18, 17}}, {'L', {16, 16, 16, 16, 16, 16, 31}},
        {'M', {17, 27, 21, 21, 17, 17, 17}}, {'N', {17, 17, 25, 21, 19, 17, 17}},
        {'O', {14, 17, 17, 17, 17, 17, 14}}, {'P', {30, 17, 17, 30, 16, 16, 16}},
        {'Q', {14, 17, 17, 17, 21, 18, 13}}, {'R', {30, 17, 17, 30, 20, 18, 17}},
        {'S', {15, 16, 16, 14, 1, 1, 30}},   {'T', {31, 4, 4, 4, 4, 4, 4}},
        {'U', {17, 17, 17, 17, 17, 17, 14}}, {'V', {17, 17, 17, 17, 17, 10, 4}},
        {'W', {17, 17, 17, 21, 21, 21, 10}}, {'X', {17, 17, 10, 4, 10, 17, 17}},
        {'Y', {17, 17, 10, 4, 4, 4, 4}},     {'Z', {31, 1, 2, 4, 8, 16, 31}},
        {'0', {14, 17, 19, 21, 25, 17, 14}}, {'1', {4, 12, 4, 4, 4, 4, 14}},
        {'2', {14, 17, 1, 2, 4, 8, 31}},     {'3', {30, 1, 1, 14, 1, 1, 30}},
        {'4', {2, 6, 10, 18, 31, 2, 2}},     {'5', {31, 16, 30, 1, 1, 17, 14}},
        {'6', {6, 8, 16, 30, 17, 17, 14}},   {'7', {31, 1, 2, 4, 8, 8, 8}},
        {'8', {14, 17, 17, 14, 17, 17, 14}}, {'9', {14, 17, 17, 15, 1, 2, 12}},
        {'_', {0, 0, 0, 0, 0, 0, 31}},       {'.', {0, 0, 0, 0, 0, 12, 12}},
        {' ', {0, 0, 0, 0, 0, 0, 0}},        {'(', {2, 4, 8, 8, 8, 4, 2}},
        {')', {8, 4, 2, 2, 2, 4, 8}},
    };
    return f;
}

constexpr int kMargin = 2;

// `text` cut to at most `chars` characters by taking out its middle: the start and the end of a
// name (a group's prefix and its own part) tell layers apart better than either alone.
std::string shortened(const std::string& text, int chars) {
    if (chars <= 0) return {};
    if (int(text.size()) <= chars) return text;
    if (chars < 3) return text.substr(0, size_t(chars));
    const size_t head = size_t(chars - 1) / 2, tail = size_t(chars - 2) - head;
    return text.substr(0, head) + ".." + text.substr(text.size() - tail);
}

// How many characters fit into `pixels` at `scale`.
int fitting(int pixels, int scale) {
    return pixels < 0 ? 0 : (pixels + scale) / (6 * scale);
}

// The hue of a colour wheel position (0 to 1) at saturation s and value v, as linear RGB.
std::array<float, 3> hue_colour(double hue, double s, double v) {
    const double h = 6.0 * (hue - std::floor(hue));
    const int sector = std::min(5, int(h));
    const double f = h - sector, p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    const double rgb[6][3] = {{v, t, p}, {q, v, p}, {p, v, t}, {p, q, v}, {t, p, v}, {v, p, q}};
    return {float(rgb[sector][0]), float(rgb[sector][1]), float(rgb[sector][2])};
}

double hue_distance(double a, double b) {
    const double d = std::fabs(a - b);
    return std::min(d, 1.0 - d);
}

} // namespace

int text_width(const std::string& text, int scale) {
    return text.empty() ? 0 : (6 * int(text.size()) - 1) * scale;
}

LabelLayout layout_label(const std::string& label, int tile_width) {
    const int room = tile_width - 2 * kMargin;
    const size_t paren = label.find(" (");
    const std::string name = label.substr(0, paren);
    LabelLayout out;
    if (text_width(name, 2) <= room) {
        out.name = name;
        out.name_scale = 2;
    } else {
        out.name = shortened(name, fitting(room, 1));
        out.name_scale = 1;
    }
    if (paren == std::string::npos) return out;
    // The source channel's name after the layer's, where enough of it fits to be read.
    out.detail_x = kMargin + 6 * out.name_scale * int(out.name.size());
    const std::string detail = label.substr(paren);
    const int chars = fitting(tile_width - kMargin - out.detail_x, 1);
    if (chars >= int(detail.size()) || chars >= 12) out.detail = shortened(detail, chars);
    return out;
}

void draw_text(std::vector<float>& rgb, int w, int x0, int y0, const std::string& text, int scale, int clip) {
    clip = std::min(clip, w);
    int x = x0;
    for (char c : text) {
        const char u = char(std::toupper(static_cast<unsigned char>(c)));
        auto it = font().find(u);
        if (it != font().end())
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (it->second[size_t(row)] & (16 >> col))
                        for (int sy = 0; sy < scale; ++sy)
                            for (int sx = 0; sx < scale; ++sx) {
                                const int px = x + col * scale + sx;
                                if (px < 0 || px >= clip) continue;
                                const size_t p = (size_t(y0 + row * scale + sy) * size_t(w) + size_t(px)) * 3;
                                if (p + 2 < rgb.size()) rgb[p] = rgb[p + 1] = rgb[p + 2] = 1.f;
                            }
        x += 6 * scale;
    }
}

std::map<std::uint32_t, std::array<float, 3>>
matte_colours(int width, int height, const std::vector<const std::vector<float>*>& ranks) {
    // Every ID with its whole coverage, and which IDs meet: in one pixel, or as the largest
    // IDs of two pixels side by side.
    std::unordered_map<std::uint32_t, int> index;
    std::vector<std::uint32_t> ids;
    std::vector<double> area;
    std::set<std::pair<int, int>> meet;
    const size_t n = size_t(std::max(0, width)) * size_t(std::max(0, height));
    std::vector<int> largest(n, -1);
    std::vector<int> here;
    for (size_t i = 0; i < n; ++i) {
        here.clear();
        float most = 0.f;
        for (size_t r = 0; r + 1 < ranks.size(); r += 2) {
            const float v = (*ranks[r])[i], coverage = (*ranks[r + 1])[i];
            std::uint32_t id;
            std::memcpy(&id, &v, sizeof id);
            if (id == 0 || !(coverage > 0.f)) continue;
            auto [it, fresh] = index.try_emplace(id, int(ids.size()));
            if (fresh) {
                ids.push_back(id);
                area.push_back(0.0);
            }
            area[size_t(it->second)] += coverage;
            here.push_back(it->second);
            if (coverage > most) {
                most = coverage;
                largest[i] = it->second;
            }
        }
        for (size_t a = 0; a < here.size(); ++a)
            for (size_t b = a + 1; b < here.size(); ++b)
                if (here[a] != here[b]) meet.insert(std::minmax(here[a], here[b]));
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t i = size_t(y) * size_t(width) + size_t(x);
            const int a = largest[i];
            if (a < 0) continue;
            for (const size_t j : {x + 1 < width ? i + 1 : i, y + 1 < height ? i + size_t(width) : i})
                if (largest[j] >= 0 && largest[j] != a) meet.insert(std::minmax(a, largest[j]));
        }
    std::vector<std::vector<int>> neighbours(ids.size());
    for (const auto& [a, b] : meet) {
        neighbours[size_t(a)].push_back(b);
        neighbours[size_t(b)].push_back(a);
    }

    // Larger objects first. Each takes, of 72 hues, one at least 60 degrees from the hues its
    // neighbours already have (or as far as they allow), then as far as it can from every hue
    // already taken, so that objects apart differ too, and among equals the one nearest its own
    // (from its bits, so that it keeps its colour from frame to frame where nothing crowds it).
    std::vector<size_t> order(ids.size());
    for (size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return area[a] != area[b] ? area[a] > area[b] : ids[a] < ids[b]; });
    constexpr int kHues = 72;
    constexpr double kClear = 1.0 / 6.0;
    std::vector<double> hue(ids.size(), -1.0);
    std::vector<bool> taken(kHues, false);
    for (const size_t k : order) {
        const double own = double((ids[k] * 2654435761u) >> 8) / double(1u << 24);
        std::array<double, 3> best{-1.0, -1.0, -1.0};
        int chosen = 0;
        for (int c = 0; c < kHues; ++c) {
            const double h = double(c) / kHues;
            double gap = 1.0, spread = 1.0;
            for (const int o : neighbours[k])
                if (hue[size_t(o)] >= 0.0) gap = std::min(gap, hue_distance(h, hue[size_t(o)]));
            for (int t = 0; t < kHues; ++t)
                if (taken[size_t(t)]) spread = std::min(spread, hue_distance(h, double(t) / kHues));
            const std::array<double, 3> score{std::min(gap, kClear), spread, -hue_distance(h, own)};
            if (score > best) {
                best = score;
                chosen = c;
            }
        }
        hue[k] = double(chosen) / kHues;
        taken[size_t(chosen)] = true;
    }
    std::map<std::uint32_t, std::array<float, 3>> out;
    for (size_t k = 0; k < ids.size(); ++k)
        out[ids[k]] = hue_colour(hue[k], 0.85, 1.0);
    return out;
}

} // namespace orn::film
