// Ray tracing and directions for shaders.
#include "api/api_common.h"
#include "core/math.h"

#include <cmath>

using namespace orn;

namespace {
const miVector* nonzero(const miVector* v) { return v && (v->x != 0.f || v->y != 0.f || v->z != 0.f) ? v : nullptr; }
} // namespace

ORN_API miBoolean mi_trace_eye(miColor* result, miState* state, miVector* org, miVector* dir) {
    Frame* f = frame_of(state);
    if (!f || !result || !org || !nonzero(dir)) return miFALSE;
    return f->trace_eye(result, state, *org, *dir);
}

ORN_API miBoolean mi_trace_transparent(miColor* result, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !result) return miFALSE;
    return f->trace_secondary(result, state, miRAY_TRANSPARENT, state->dir);
}

ORN_API miBoolean mi_trace_reflection(miColor* result, miState* state, miVector* dir) {
    Frame* f = frame_of(state);
    if (!f || !result || !nonzero(dir)) return miFALSE;
    return f->trace_secondary(result, state, miRAY_REFLECT, *dir);
}

ORN_API miBoolean mi_trace_refraction(miColor* result, miState* state, miVector* dir) {
    Frame* f = frame_of(state);
    if (!f || !result || !nonzero(dir)) return miFALSE;
    return f->trace_secondary(result, state, miRAY_REFRACT, *dir);
}

ORN_API miBoolean mi_trace_environment(miColor* result, miState* state, miVector* dir) {
    Frame* f = frame_of(state);
    if (!f || !result || !nonzero(dir)) return miFALSE;
    return f->trace_environment(result, state, *dir);
}

ORN_API miBoolean mi_trace_probe(miState* state, miVector* dir, miVector* org) {
    Frame* f = frame_of(state);
    if (!f || !org || !nonzero(dir)) return miFALSE;
    return f->trace_probe(state, *dir, *org);
}

ORN_API void mi_reflection_dir_specular(miVector* dir, miState* state) {
    // Mirror the incoming direction about the shading normal.
    const float d = 2.f * dot3(state->dir, state->normal);
    *dir = normalized(state->dir - state->normal * d);
}

ORN_API void mi_reflection_dir(miVector* dir, miState* state) { mi_reflection_dir_specular(dir, state); }

// Snell's law for the incoming direction; false for total internal reflection, when the
// direction becomes the mirror direction.
ORN_API miBoolean mi_refraction_dir(miVector* dir, miState* state, miScalar ior_in, miScalar ior_out) {
    const miVector& I = state->dir;
    const miVector& N = state->normal; // faces the incoming ray
    if (!(ior_out > 0.f) || !(ior_in > 0.f)) {
        *dir = I;
        return miTRUE;
    }
    const float eta = ior_in / ior_out;
    const float cosi = -dot3(I, N);
    const float k = 1.f - eta * eta * (1.f - cosi * cosi);
    if (k < 0.f) {
        mi_reflection_dir_specular(dir, state);
        return miFALSE;
    }
    *dir = normalized(I * eta + N * (eta * cosi - std::sqrt(k)));
    return miTRUE;
}

ORN_API miBoolean mi_transmission_dir_specular(miVector* dir, miState* state, miScalar ior_in, miScalar ior_out) {
    return mi_refraction_dir(dir, state, ior_in, ior_out);
}
