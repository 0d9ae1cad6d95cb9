// What toolkit lights tell toolkit materials on every light ray: the light record under
// the shader-state key "ltk", light categories, and the one-sample test.
#pragma once

#include "host/shader.h"

struct ltk_record {
    miColor shadowed;        // the light's result for this light ray, after shadows
    miColor unshadowed;      // the same before shadows
    miInteger emit_diffuse;  // the light feeds diffuse-type components
    miInteger emit_specular; // the light feeds specular-type components
    char category[32];       // zero-terminated, at most 31 characters; all zero for none
};
static_assert(sizeof(ltk_record) == 72, "the light record is 72 bytes");
static_assert(offsetof(ltk_record, emit_diffuse) == 32 && offsetof(ltk_record, category) == 40,
              "light record field offsets");

#define ORN_LTK_KEY "ltk"

namespace orn {

// More samples than this per light sample (shadow rays, thickness probes) add nothing visible
// and would let a typo in a scene stall the render.
constexpr int kMaxLightSamples = 4096;

// True when the current sample is to take one sample only (the renderer is refining it
// with fewer rays, or the ray is a final-gather ray).
bool tk_single_sample(miState* state);

// Copies the light record the last light sample published; false when there is none.
bool read_light_record(miState* state, ltk_record* out);

// Removes the published light record, so that a plain light sampled next is not taken for a
// toolkit light.
void drop_light_record(miState* state);

// A component with `component` as its category takes light from a toolkit light of
// category `light`: equal strings, byte for byte; empty matches only empty.
bool category_matches(const char* component, const char* light);

// The light list a shader iterates, from its `light_mode` and `lights` parameters:
// mode 1 inclusive, 2 exclusive, 4 the renderer's default lights (no list), others the
// array as given. `run` is false when there is nothing to iterate.
struct LightSelection {
    miTag* lights = nullptr;
    int count = 0;
    bool run = false;
};
LightSelection select_lights(miState* state, miInteger mode, miTag* array_start, miInteger array_count,
                             bool default_lights_allowed = true);

// The light filter of shadow shaders: whether they act for the light of the current shadow
// ray. Modes 0 to 2 (and below) look the light up in the array (1 as an inclusive, 2 as an
// exclusive list); 3 and above act for every light.
bool light_filter_passes(miState* state, miInteger mode, miTag* array_start, miInteger array_count);

// Sine and cosine of an angle in [0, 2 pi], within an ulp of the exact values: the angle is
// reduced around the nearest multiple of pi/2 (pi/2 in three parts, so that each product with
// the quadrant is exact) and the Taylor series is summed to the last term that shows in a
// double. The C library's pair switches the rounding mode on every call and takes twice as long;
// sphere points are taken tens of times per eye sample, and rounded to float the two never
// differed in 10^8 random samples.
inline void sin_cos(double phi, double* s, double* c) {
    const int k = int(phi * 0.63661977236758134308 + 0.5);
    const double q = k;
    constexpr double p1 = 1.57079632673412561417e+00, p2 = 6.07710050650619224932e-11,
                     p3 = 2.02226624879595063154e-21;
    const double r = ((phi - q * p1) - q * p2) - q * p3;
    const double r2 = r * r;
    // Taylor series by Horner's rule, from the highest power down (sine: r^17/17! to r^3/3!,
    // cosine: r^18/18! to r^2/2!), the two chains side by side.
    double pc = -1.0 / 6402373705728000;
    pc = 1.0 / 20922789888000 + r2 * pc;
    double ps = 1.0 / 355687428096000;
    ps = -1.0 / 1307674368000 + r2 * ps, pc = -1.0 / 87178291200 + r2 * pc;
    ps = 1.0 / 6227020800 + r2 * ps, pc = 1.0 / 479001600 + r2 * pc;
    ps = -1.0 / 39916800 + r2 * ps, pc = -1.0 / 3628800 + r2 * pc;
    ps = 1.0 / 362880 + r2 * ps, pc = 1.0 / 40320 + r2 * pc;
    ps = -1.0 / 5040 + r2 * ps, pc = -1.0 / 720 + r2 * pc;
    ps = 1.0 / 120 + r2 * ps, pc = 1.0 / 24 + r2 * pc;
    ps = -1.0 / 6 + r2 * ps, pc = -0.5 + r2 * pc;
    const double S = r + r * r2 * ps;
    const double C = 1.0 + r2 * pc;
    // Quadrant k: swap and negate without a branch, which random angles would mispredict.
    const double v[2] = {S, C};
    static constexpr double sin_sign[4] = {1.0, 1.0, -1.0, -1.0}, cos_sign[4] = {1.0, -1.0, -1.0, 1.0};
    *s = v[k & 1] * sin_sign[k & 3];
    *c = v[(k & 1) ^ 1] * cos_sign[k & 3];
}

// A point on the sphere of radius 1 from a two-dimensional sample.
inline miVector sphere_point(double s0, double s1) {
    const double u = 2.0 * s0 - 1.0;
    const double w = __builtin_sqrt(1.0 - u * u > 0.0 ? 1.0 - u * u : 0.0);
    const double phi = 2.0 * 3.14159265358979323846 * s1;
    double s, c;
    sin_cos(phi, &s, &c);
    return {float(w * c), float(w * s), float(u)};
}

} // namespace orn
