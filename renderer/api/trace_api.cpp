// Ray tracing and directions for shaders.
#include "api/api_common.h"
#include "core/math.h"

#include <cmath>

using namespace orn;

namespace {
const miVector* nonzero(const miVector* v) {
    return v && (v->x != 0.f || v->y != 0.f || v->z != 0.f) ? v : nullptr;
}
} // namespace

ORN_API miBoolean mi_trace_eye(miColor* result, miState* state, miVector* org, miVector* dir) {
    Frame* f = frame_of(state);
    TracedGroups groups(state);
    if (!f || !result || !org || !nonzero(dir)) return miFALSE;
    return f->trace_eye(result, state, *org, *dir);
}

ORN_API miBoolean mi_trace_transparent(miColor* result, miState* state) {
    Frame* f = frame_of(state);
    TracedGroups groups(state);
    if (!f || !result) return miFALSE;
    return f->trace_secondary(result, state, miRAY_TRANSPARENT, state->dir);
}

ORN_API miBoolean mi_trace_reflection(miColor* result, miState* state, miVector* dir) {
    Frame* f = frame_of(state);
    TracedGroups groups(state);
    if (!f || !result || !nonzero(dir)) return miFALSE;
    return f->trace_secondary(result, state, miRAY_REFLECT, *dir);
}

ORN_API miBoolean mi_trace_refraction(miColor* result, miState* state, miVector* dir) {
    Frame* f = frame_of(state);
    TracedGroups groups(state);
    if (!f || !result || !nonzero(dir)) return miFALSE;
    return f->trace_secondary(result, state, miRAY_REFRACT, *dir);
}

ORN_API miBoolean mi_trace_environment(miColor* result, miState* state, miVector* dir) {
    Frame* f = frame_of(state);
    TracedGroups groups(state);
    if (!f || !result || !nonzero(dir)) return miFALSE;
    return f->trace_environment(result, state, *dir);
}

ORN_API miBoolean mi_trace_probe(miState* state, miVector* dir, miVector* org) {
    Frame* f = frame_of(state);
    if (!f || !org || !nonzero(dir)) return miFALSE;
    return f->trace_probe(state, *dir, *org);
}

ORN_API int mi_trace_probes(miState* state, miVector* org, const miVector* dirs, int count, miUint flags,
                            double* dist) {
    Frame* f = frame_of(state);
    if (!f || !state || !state->cache || !org || !dirs || !dist || count < 0) return -1;
    return f->trace_probes(state, *org, dirs, count, (flags & miPROBE_DISTANCE_ONLY) != 0, dist);
}

ORN_API void mi_reflection_dir_specular(miVector* dir, miState* state) {
    // Mirror the incoming direction about the shading normal.
    const float d = 2.f * dot3(state->dir, state->normal);
    *dir = normalized(state->dir - state->normal * d);
}

ORN_API void mi_reflection_dir(miVector* dir, miState* state) {
    mi_reflection_dir_specular(dir, state);
}

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

ORN_API miBoolean mi_transmission_dir_specular(miVector* dir, miState* state, miScalar ior_in,
                                               miScalar ior_out) {
    return mi_refraction_dir(dir, state, ior_in, ior_out);
}

ORN_API miBoolean mi_trace_shadow_seg(miColor* result, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !result || !state->cache) return miFALSE;
    return f->trace_shadow_segment(result, state);
}

ORN_API miBoolean mi_trace_continue(miColor* result, miState* state) {
    Frame* f = frame_of(state);
    TracedGroups groups(state);
    if (!f || !result || !state || !state->cache || !state->pri) return miFALSE;
    return f->trace_continue(result, state);
}

ORN_API miBoolean mi_continue_shadow_seg(miColor* result, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !result || !state || !state->cache) return miFALSE;
    return f->continue_shadow_segment(result, state);
}

ORN_API miBoolean mi_call_material(miColor* result, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !result || !state->cache || !state->pri) return miFALSE;
    return f->call_material(result, state);
}

ORN_API miBoolean mi_call_shadow_material(miColor* result, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !result || !state->cache || !state->pri) return miFALSE;
    return f->call_shadow_material(result, state);
}

// Sets the distance falloff of rays traced from the state; the previous values come back
// through the same pointers, so a second call restores them.
ORN_API void mi_ray_falloff(miState* state, double* start, double* stop) {
    if (!state || !state->cache || !start || !stop) return;
    RayData& rd = ThreadContext::data(state);
    const double old_start = rd.falloff_start, old_stop = rd.falloff_stop;
    rd.falloff_start = *start;
    rd.falloff_stop = *stop;
    *start = old_start;
    *stop = old_stop;
}

// Under the rasteriser the material hands its opacity to the renderer, which composites the
// layers. On the eye and transparency rays of a frame with ID mattes it also tells how much of
// the alpha is the surface's own.
ORN_API void mi_opacity_set(miState* state, miColor* opacity) {
    if (!state || !state->cache || !opacity) return;
    ThreadContext* tc = ThreadContext::data(state).thread;
    if (tc->mattes.on()) tc->mattes.report_opacity(ThreadContext::data(state).depth, opacity->a);
    if (state->type != miRAY_EYE) return;
    tc->layer_opacity = *opacity;
    tc->opacity_set = true;
}
