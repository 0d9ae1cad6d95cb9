#include "scene/placement.h"

#include <cmath>

namespace orn::scene {

namespace {

using Vec = std::array<double, 3>;

Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double length(const Vec& v) {
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

Vec unit(const Vec& v) {
    const double l = length(v);
    return {v[0] / l, v[1] / l, v[2] / l};
}

} // namespace

// Points are rows (p' = p M), so a step applied after the others multiplies on the right.
void Placement::translate(double x, double y, double z) {
    Matrix t;
    t.m[12] = x;
    t.m[13] = y;
    t.m[14] = z;
    object_to_world_ = object_to_world_ * t;
}

void Placement::scale(double x, double y, double z) {
    Matrix s;
    s.m[0] = x;
    s.m[5] = y;
    s.m[10] = z;
    object_to_world_ = object_to_world_ * s;
}

std::optional<std::string> Placement::rotate(double degrees, const Vec& axis) {
    if (!(length(axis) > 0)) return "rotate needs an axis that is not 0 0 0";
    const Vec k = unit(axis);
    const double a = degrees * M_PI / 180.0, c = std::cos(a), s = std::sin(a), t = 1 - c;
    // Rodrigues' rotation written for row vectors: the transpose of the column form.
    const double col[3][3] = {{c + t * k[0] * k[0], t * k[0] * k[1] - s * k[2], t * k[0] * k[2] + s * k[1]},
                              {t * k[1] * k[0] + s * k[2], c + t * k[1] * k[1], t * k[1] * k[2] - s * k[0]},
                              {t * k[2] * k[0] - s * k[1], t * k[2] * k[1] + s * k[0], c + t * k[2] * k[2]}};
    Matrix r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r.m[size_t(i * 4 + j)] = col[j][i];
    object_to_world_ = object_to_world_ * r;
    return std::nullopt;
}

std::optional<std::string> Placement::look_at(const Vec& target, const Vec& up) {
    const Vec at = {object_to_world_.m[12], object_to_world_.m[13], object_to_world_.m[14]};
    const Vec back = {at[0] - target[0], at[1] - target[1], at[2] - target[2]};
    if (!(length(back) > 0)) return "look at a point where the instance itself stands";
    const Vec z = unit(back);
    const Vec side = cross(up, z);
    if (!(length(side) > 1e-9 * length(up))) return "look at a point straight along the up direction";
    const Vec x = unit(side), y = cross(z, x);
    Matrix m;
    for (int j = 0; j < 3; ++j) {
        m.m[size_t(j)] = x[size_t(j)];
        m.m[size_t(4 + j)] = y[size_t(j)];
        m.m[size_t(8 + j)] = z[size_t(j)];
        m.m[size_t(12 + j)] = at[size_t(j)];
    }
    object_to_world_ = m;
    return std::nullopt;
}

std::optional<std::array<double, 16>> Placement::world_to_object() const {
    Matrix inverse;
    if (!object_to_world_.inverse(inverse)) return std::nullopt;
    return inverse.m;
}

} // namespace orn::scene
