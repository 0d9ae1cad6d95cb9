// Test support for expected values: small double-precision vector maths to work them out,
// and comparisons of colours with them.
#pragma once

#include "host/shader.h"

#include <array>
#include <string>

namespace orn::test {

struct Vec {
    double x, y, z;
};
Vec operator+(const Vec& a, const Vec& b);
Vec operator-(const Vec& a, const Vec& b);
Vec operator*(const Vec& a, double s);
double dot(const Vec& a, const Vec& b);
Vec cross(const Vec& a, const Vec& b);
Vec unit(const Vec& a); // a zero vector stays zero
Vec vec(const miVector& v);

// An rgb colour; products are channel by channel.
using Rgb = std::array<double, 3>;
Rgb operator+(const Rgb& a, const Rgb& b);
Rgb operator*(const Rgb& a, const Rgb& b);
Rgb operator*(const Rgb& a, double s);
Rgb rgb(const miColor& c);
Rgb rgb(const float* c); // the first three values

void expect_rgb(const miColor& c, float r, float g, float b, float tol = 1e-6f);
void expect_color(const miColor& c, float r, float g, float b, float a, float tol = 1e-6f);
// `what` names the value in a failure.
void expect_rgb(const Rgb& got, const Rgb& want, const std::string& what, double tol = 1e-5);
void expect_rgb(const miColor& got, const Rgb& want, const std::string& what, double tol = 1e-5);

} // namespace orn::test
