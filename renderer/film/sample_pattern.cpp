#include "film/sample_pattern.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace orn::film {

namespace {

std::uint32_t mix(std::uint32_t h) {
    h ^= h >> 16;
    h *= 0x7feb352dU;
    h ^= h >> 15;
    h *= 0x846ca68bU;
    h ^= h >> 16;
    return h;
}

// 24 random bits keep the result exactly representable and below 1.
float unit_float(std::uint32_t h) {
    return static_cast<float>(h >> 8) * (1.0f / 16777216.0f);
}

// Rounding can land a sample exactly on x + 1; it belongs to the next pixel, so step back.
float clamp_into_pixel(float v, int x) {
    const float next = static_cast<float>(x) + 1.0f;
    return v < next ? v : std::nextafter(next, static_cast<float>(x));
}

int grid_of(int spp) {
    int grid = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(spp))));
    while (grid * grid < spp)
        ++grid; // guard against sqrt rounding down
    return grid;
}

bool power_of_4(int n) {
    return n > 0 && (n & (n - 1)) == 0 && (n & 0x55555555) != 0;
}

int level_of(int power) {
    int level = 0;
    while ((1 << (2 * level)) < power)
        ++level;
    return level;
}

std::uint32_t base_hash(int x, int y, int s) {
    return mix(static_cast<std::uint32_t>(x) * 0x9e3779b1U ^
               mix(static_cast<std::uint32_t>(y) + 0x632be5abU) ^
               mix(static_cast<std::uint32_t>(s) * 0x85ebca77U + 0x165667b1U));
}

std::uint32_t refine_hash(int x, int y, int s) {
    return mix(static_cast<std::uint32_t>(x) * 0x2c1b3c6dU ^
               mix(static_cast<std::uint32_t>(y) + 0x297a2d39U) ^
               mix(static_cast<std::uint32_t>(s) * 0xcb1ab31fU + 0x0b4b82e5U));
}

// Cell of a unit coordinate in a grid of n cells.
int cell_of(double u, int n) {
    return std::min(n - 1, static_cast<int>(u * n));
}

} // namespace

SamplePattern::SamplePattern(int spp, int base) : spp_(spp), base_(base > 0 ? base : spp) {
    if (spp < 1)
        throw std::invalid_argument("samples per pixel must be at least 1, got " + std::to_string(spp));
    if (base_ > spp_)
        throw std::invalid_argument("base samples " + std::to_string(base_) + " exceed samples per pixel " +
                                    std::to_string(spp));
    if (base_ < spp_ && (!power_of_4(base_) || !power_of_4(spp_)))
        throw std::invalid_argument("a progressive pattern takes powers of 4, got " + std::to_string(base_) +
                                    " and " + std::to_string(spp_));
    base_grid_ = grid_of(base_);
    base_level_ = level_of(base_);
}

SamplePosition SamplePattern::jittered(int x, int y, int s) const {
    // Spread the samples over the whole grid when the count is not a square, instead of filling
    // the bottom rows only.
    const int grid = base_grid_;
    const long long cells = static_cast<long long>(grid) * grid;
    const int cell = static_cast<int>(static_cast<long long>(s) * cells / base_);
    const std::uint32_t h = base_hash(x, y, s);
    const float jx = unit_float(h);
    const float jy = unit_float(mix(h ^ 0x27d4eb2fU));
    const float inv = 1.0f / static_cast<float>(grid);
    const float px = static_cast<float>(x) + (static_cast<float>(cell % grid) + jx) * inv;
    const float py = static_cast<float>(y) + (static_cast<float>(cell / grid) + jy) * inv;
    return {clamp_into_pixel(px, x), clamp_into_pixel(py, y)};
}

SamplePosition SamplePattern::progressive(int x, int y, int s) const {
    const Unit p = unit(x, y, s);
    return {clamp_into_pixel(static_cast<float>(x + p.u), x),
            clamp_into_pixel(static_cast<float>(y + p.v), y)};
}

// A sample past the base was born at level L, 4^(L-1) <= s < 4^L: the (s - 4^(L-1))-th of the
// three new samples per cell of the 2^(L-1) grid, which go into the three quarters of their cell
// that its older sample leaves empty, the diagonally opposite one first.
SamplePattern::Unit SamplePattern::unit(int x, int y, int s) const {
    if (s < base_) {
        if (base_ == 1) return {0.5, 0.5};
        // As jittered() places it, without rounding to the pixel.
        const std::uint32_t h = base_hash(x, y, s);
        const double g = base_grid_;
        return {(s % base_grid_ + double(unit_float(h))) / g,
                (s / base_grid_ + double(unit_float(mix(h ^ 0x27d4eb2fU)))) / g};
    }
    int level = base_level_ + 1;
    while ((1 << (2 * level)) <= s)
        ++level;
    const int j = s - (1 << (2 * (level - 1)));
    const int parent = j / 3, k = j % 3;
    const int pn = 1 << (level - 1), n = 2 * pn;
    const int px = parent % pn, py = parent / pn;
    const Unit older = occupant(x, y, level - 1, px, py);
    static constexpr int kFree[3] = {3, 1, 2};
    const int quarter = ((cell_of(older.u, n) & 1) | ((cell_of(older.v, n) & 1) << 1)) ^ kFree[k];
    const std::uint32_t h = refine_hash(x, y, s);
    return {(2 * px + (quarter & 1) + double(unit_float(h))) / n,
            (2 * py + (quarter >> 1) + double(unit_float(mix(h ^ 0x27d4eb2fU)))) / n};
}

SamplePattern::Unit SamplePattern::occupant(int x, int y, int level, int cx, int cy) const {
    if (level == base_level_) return unit(x, y, cy * (1 << level) + cx);
    // Either the parent cell's own sample lies in this quarter, or the cell got one of the new
    // samples of its level.
    const Unit older = occupant(x, y, level - 1, cx >> 1, cy >> 1);
    const int n = 1 << level;
    const int ox = cell_of(older.u, n), oy = cell_of(older.v, n);
    if (ox == cx && oy == cy) return older;
    const int diff = ((ox & 1) | ((oy & 1) << 1)) ^ ((cx & 1) | ((cy & 1) << 1));
    const int k = diff == 3 ? 0 : diff == 1 ? 1 : 2;
    const int pn = n / 2;
    return unit(x, y, (1 << (2 * (level - 1))) + 3 * ((cy >> 1) * pn + (cx >> 1)) + k);
}

} // namespace orn::film
