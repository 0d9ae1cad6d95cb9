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

// A point on the sphere of radius 1 from a two-dimensional sample.
inline miVector sphere_point(double s0, double s1) {
    const double u = 2.0 * s0 - 1.0;
    const double w = __builtin_sqrt(1.0 - u * u > 0.0 ? 1.0 - u * u : 0.0);
    const double phi = 2.0 * 3.14159265358979323846 * s1;
    return {float(w * __builtin_cos(phi)), float(w * __builtin_sin(phi)), float(u)};
}

} // namespace orn
