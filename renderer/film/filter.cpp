#include "film/filter.h"

#include <cmath>
#include <stdexcept>

namespace orn::film {

namespace {

constexpr float pi = 3.14159265358979323846f;

float triangle(float t) {
    return 1.0f - std::fabs(t);
}

float gauss(float t) {
    // Shifted down by the edge value so the weight reaches zero at the support border.
    const float edge = std::exp(-2.0f);
    return std::exp(-2.0f * t * t) - edge;
}

float mitchell(float t) {
    constexpr float b = 1.0f / 3.0f;
    constexpr float c = 1.0f / 3.0f;
    const float x = 2.0f * std::fabs(t);
    const float x2 = x * x;
    const float x3 = x2 * x;
    if (x < 1.0f)
        return ((12.0f - 9.0f * b - 6.0f * c) * x3 + (-18.0f + 12.0f * b + 6.0f * c) * x2 +
                (6.0f - 2.0f * b)) /
               6.0f;
    if (x < 2.0f)
        return ((-b - 6.0f * c) * x3 + (6.0f * b + 30.0f * c) * x2 + (-12.0f * b - 48.0f * c) * x +
                (8.0f * b + 24.0f * c)) /
               6.0f;
    return 0.0f;
}

float sinc(float x) {
    if (std::fabs(x) < 1e-6f) return 1.0f;
    const float px = pi * x;
    return std::sin(px) / px;
}

float lanczos(float t) {
    constexpr float lobes = 2.0f;
    const float x = lobes * std::fabs(t);
    if (x >= lobes) return 0.0f;
    return sinc(x) * sinc(x / lobes);
}

void check_extent(float v, const char* what) {
    if (!std::isfinite(v) || v <= 0.0f || v > max_filter_width)
        throw std::invalid_argument(std::string("filter ") + what + " must be in (0, 64] pixels, got " +
                                    std::to_string(v));
}

} // namespace

Filter::Filter(const FilterSpec& settings)
    : settings_(settings), rx_(settings.width * 0.5f), ry_(settings.height * 0.5f) {
    check_extent(settings.width, "width");
    check_extent(settings.height, "height");
}

float Filter::profile(float t) const {
    switch (settings_.type) {
    case FilterType::Box:
        return 1.0f;
    case FilterType::Triangle:
        return triangle(t);
    case FilterType::Gauss:
        return gauss(t);
    case FilterType::Mitchell:
        return mitchell(t);
    case FilterType::Lanczos:
        return lanczos(t);
    }
    return 0.0f;
}

std::optional<FilterType> parse_filter_type(const std::string& name) {
    static const struct {
        const char* name;
        FilterType type;
    } names[] = {{"box", FilterType::Box},
                 {"triangle", FilterType::Triangle},
                 {"gauss", FilterType::Gauss},
                 {"mitchell", FilterType::Mitchell},
                 {"lanczos", FilterType::Lanczos}};
    for (const auto& n : names) {
        if (name == n.name) return n.type;
    }
    return std::nullopt;
}

} // namespace orn::film
