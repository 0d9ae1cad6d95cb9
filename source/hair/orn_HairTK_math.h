// The hair material's formulas that need nothing from the renderer: the root-to-tip
// transparency, the dielectric Fresnel weight, lookup-table indices and the per-hair seeds.
// Internal to the module (and its tests).
#pragma once

#include <cmath>

namespace orn::hair {

constexpr int kTableSize = 1024;
constexpr double kPi = 3.14159265358979323846;

inline double smooth(double t) {
    return 3.0 * t * t - 2.0 * t * t * t;
}

inline double clamp(double x, double lo, double hi) {
    return x < lo ? lo : (x > hi ? hi : x);
}

// Table entry for x in [0, 1]: int(x × 1023). Rounding that strays outside the range, or a
// NaN, lands on the nearest end instead of outside the table.
inline int table_index(float x) {
    if (!(x > 0.f)) return 0;
    if (x >= 1.f) return kTableSize - 1;
    return int(x * float(kTableSize - 1));
}

// Position across the ribbon's edge bands, in [0, 1): the fraction of frequency × u. The edge
// profile is symmetric, so a negative product folds onto the same profile.
inline double edge_fraction(int frequency, float u) {
    const float p = float(frequency) * u;
    if (!std::isfinite(p)) return 0.0;
    return std::fabs(std::fmod(double(p), 1.0));
}

// Transparency along the hair at v (0 root, 1 tip), with extra transparency towards the
// ribbon's edges (facing 1 in the middle, 0 at the edges).
struct TransparencyShape {
    double position, spread; // centre and half width of the root-to-tip transition
    double root, tip;
    double edge;
};

inline double hair_transparency(const TransparencyShape& s, double v, double facing) {
    const double hi = clamp(s.position + s.spread, 0.0, 1.0);
    const double lo = clamp(s.position - s.spread, 0.0, 1.0);
    const double k = lo != hi ? smooth((clamp(v, lo, hi) - lo) / (hi - lo)) : lo;
    double l = (1.0 - k) * s.root + k * s.tip;
    if (s.edge > 0.001) l += (1.0 - facing) * s.edge * (1.0 - l);
    return l;
}

// Reflectance of a dielectric of index n at the cosine c; 0 for n = 0. Where no light is
// transmitted (total internal reflection, or grazing with n = 1) it is 1, not 0/0.
inline double fresnel(double c, double n) {
    if (n == 0.0) return 0.0;
    const double e = 1.0 / n;
    const double cp = e * c;
    const double g2 = cp * cp + 1.0 - e * e;
    if (g2 < 0.0) return 1.0;
    const double g = std::sqrt(g2);
    const double a = (g - cp) / (g + cp);
    const double b = ((g + cp) * cp - e * e) / ((g - cp) * cp + e * e);
    const double f = 0.5 * a * a * (1.0 + b * b);
    return std::isfinite(f) ? clamp(f, 0.0, 1.0) : 1.0;
}

// First word of a per-hair random seed: the hair's id brought below 65536 − headroom by
// steps of 65535, so that the seed words id, id + 1, ... id + headroom fit 16 bits.
inline long long seed_base(long long id, int headroom) {
    const long long top = 65535 - headroom;
    if (id > top) id -= ((id - top + 65534) / 65535) * 65535;
    return id;
}

} // namespace orn::hair
