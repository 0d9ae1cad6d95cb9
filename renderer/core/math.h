// Small vector and matrix helpers. Matrices follow the scene format: 16 numbers, row
// vectors (p' = p * M), translation in elements 12 to 14.
#pragma once

#include "host/shader.h"

#include <array>
#include <cmath>

namespace orn {

inline miVector operator+(const miVector& a, const miVector& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline miVector operator-(const miVector& a, const miVector& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline miVector operator-(const miVector& a) {
    return {-a.x, -a.y, -a.z};
}
inline miVector operator*(const miVector& a, float s) {
    return {a.x * s, a.y * s, a.z * s};
}
inline miVector operator*(float s, const miVector& a) {
    return a * s;
}
inline float dot3(const miVector& a, const miVector& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline miVector cross(const miVector& a, const miVector& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float length(const miVector& a) {
    return std::sqrt(dot3(a, a));
}
inline miVector normalized(const miVector& a) {
    const float l = length(a);
    return l > 0.f ? a * (1.f / l) : a;
}

struct Matrix {
    std::array<double, 16> m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

    static Matrix identity() { return {}; }
    static Matrix from(const std::array<double, 16>& v) { return Matrix{v}; }

    Matrix operator*(const Matrix& b) const {
        Matrix r;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                double s = 0;
                for (int k = 0; k < 4; ++k)
                    s += m[i * 4 + k] * b.m[k * 4 + j];
                r.m[i * 4 + j] = s;
            }
        return r;
    }
    miVector point(const miVector& p) const {
        const double x = p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12];
        const double y = p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13];
        const double z = p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14];
        const double w = p.x * m[3] + p.y * m[7] + p.z * m[11] + m[15];
        const double iw = (w != 0 && w != 1) ? 1.0 / w : 1.0;
        return {float(x * iw), float(y * iw), float(z * iw)};
    }
    miVector vector(const miVector& v) const {
        return {float(v.x * m[0] + v.y * m[4] + v.z * m[8]), float(v.x * m[1] + v.y * m[5] + v.z * m[9]),
                float(v.x * m[2] + v.y * m[6] + v.z * m[10])};
    }
    // Normals transform with the inverse transpose: given the inverse of the point
    // transform, a normal is n * inverse^T.
    miVector normal_with_inverse(const miVector& n) const {
        return {float(n.x * m[0] + n.y * m[1] + n.z * m[2]), float(n.x * m[4] + n.y * m[5] + n.z * m[6]),
                float(n.x * m[8] + n.y * m[9] + n.z * m[10])};
    }
    // False when the matrix is singular.
    bool inverse(Matrix& out) const;
    void to_floats(float* out) const {
        for (int i = 0; i < 16; ++i)
            out[i] = float(m[i]);
    }
};

} // namespace orn
