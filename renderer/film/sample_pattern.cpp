#include "film/sample_pattern.h"

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

} // namespace

SamplePattern::SamplePattern(int spp) : spp_(spp), grid_(0) {
    if (spp < 1)
        throw std::invalid_argument("samples per pixel must be at least 1, got " + std::to_string(spp));
    grid_ = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(spp))));
    while (grid_ * grid_ < spp)
        ++grid_; // guard against sqrt rounding down
}

SamplePosition SamplePattern::jittered(int x, int y, int s) const {
    // Spread the samples over the whole grid when spp is not a square, instead of filling the
    // bottom rows only.
    const long long cells = static_cast<long long>(grid_) * grid_;
    const int cell = static_cast<int>(static_cast<long long>(s) * cells / spp_);
    const int cx = cell % grid_;
    const int cy = cell / grid_;

    const std::uint32_t h =
        mix(static_cast<std::uint32_t>(x) * 0x9e3779b1U ^ mix(static_cast<std::uint32_t>(y) + 0x632be5abU) ^
            mix(static_cast<std::uint32_t>(s) * 0x85ebca77U + 0x165667b1U));
    const float jx = unit_float(h);
    const float jy = unit_float(mix(h ^ 0x27d4eb2fU));

    const float inv = 1.0f / static_cast<float>(grid_);
    const float px = static_cast<float>(x) + (static_cast<float>(cx) + jx) * inv;
    const float py = static_cast<float>(y) + (static_cast<float>(cy) + jy) * inv;
    return {clamp_into_pixel(px, x), clamp_into_pixel(py, y)};
}

} // namespace orn::film
