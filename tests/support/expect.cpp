#include "support/expect.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orn::test {

Vec operator+(const Vec& a, const Vec& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec operator-(const Vec& a, const Vec& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec operator*(const Vec& a, double s) {
    return {a.x * s, a.y * s, a.z * s};
}
double dot(const Vec& a, const Vec& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec cross(const Vec& a, const Vec& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec unit(const Vec& a) {
    const double l = std::sqrt(dot(a, a));
    return l > 0 ? a * (1.0 / l) : a;
}
Vec vec(const miVector& v) {
    return {v.x, v.y, v.z};
}

Rgb operator+(const Rgb& a, const Rgb& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
Rgb operator*(const Rgb& a, const Rgb& b) {
    return {a[0] * b[0], a[1] * b[1], a[2] * b[2]};
}
Rgb operator*(const Rgb& a, double s) {
    return {a[0] * s, a[1] * s, a[2] * s};
}
Rgb rgb(const miColor& c) {
    return {c.r, c.g, c.b};
}
Rgb rgb(const float* c) {
    return {c[0], c[1], c[2]};
}

void expect_rgb(const miColor& c, float r, float g, float b, float tol) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}

void expect_color(const miColor& c, float r, float g, float b, float a, float tol) {
    expect_rgb(c, r, g, b, tol);
    EXPECT_NEAR(c.a, a, tol);
}

void expect_rgb(const Rgb& got, const Rgb& want, const std::string& what, double tol) {
    static const char* const channel[] = {"r", "g", "b"};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(got[i], want[i], tol) << what << " " << channel[i];
}

void expect_rgb(const miColor& got, const Rgb& want, const std::string& what, double tol) {
    expect_rgb(rgb(got), want, what, tol);
}

} // namespace orn::test
