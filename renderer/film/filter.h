#pragma once

#include <optional>
#include <string>

namespace orn::film {

enum class FilterType { Box, Triangle, Gauss, Mitchell, Lanczos };

// Widths are the full support in pixels: a box of width 1 covers only the pixel's own area.
struct FilterSpec {
    FilterType type = FilterType::Box;
    float width = 1;
    float height = 1;
};

// Widest accepted support in pixels; the resolve cost grows with its square.
constexpr float max_filter_width = 64.0f;

// Pixel reconstruction filter centred on the pixel centre.
class Filter {
  public:
    // Throws std::invalid_argument for a non-positive, non-finite or too wide support.
    explicit Filter(const FilterSpec& settings);

    const FilterSpec& settings() const { return settings_; }
    float radius_x() const { return rx_; }
    float radius_y() const { return ry_; }

    // Separable weight of an offset from the pixel centre; may be negative for Mitchell and
    // Lanczos. The support is half-open, [-r, r), so that a sample on the border between two pixels
    // counts for exactly one of them under a width-1 box; outside it the weight is 0.
    float weight_x(float dx) const { return dx >= -rx_ && dx < rx_ ? profile(dx / rx_) : 0.0f; }
    float weight_y(float dy) const { return dy >= -ry_ && dy < ry_ ? profile(dy / ry_) : 0.0f; }
    float weight(float dx, float dy) const { return weight_x(dx) * weight_y(dy); }

  private:
    // 1D shape over the normalised offset t in [-1, 1].
    float profile(float t) const;

    FilterSpec settings_;
    float rx_;
    float ry_;
};

// "box", "triangle", "gauss", "mitchell", "lanczos"; nullopt for an unknown name.
std::optional<FilterType> parse_filter_type(const std::string& name);

} // namespace orn::film
