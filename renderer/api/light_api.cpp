// Lights for shaders: the interface object with its light lists, light-list rewriting,
// single light samples and shadow rays.
#include "api/api_common.h"
#include "light/light_sampling.h"

#include <algorithm>
#include <cstring>

using namespace orn;

namespace {

const InstanceElement* shaded_instance(miState* state) {
    const RayData& rd = ThreadContext::data(state);
    return rd.hit ? rd.hit->instance : nullptr;
}

// Room for every light of the scene in the calling shader's scratch memory, so a list
// rewrite allocates nothing on the heap.
miTag* scratch_list(miState* state, const World& world) {
    ThreadContext* tc = ThreadContext::data(state).thread;
    return static_cast<miTag*>(tc->arena.alloc(std::max<size_t>(1, world.lights().size()) * sizeof(miTag)));
}

bool contains(const miTag* list, int n, miTag tag) {
    return std::find(list, list + n, tag) != list + n;
}

bool listed(const WorldLight& wl, const miTag* list, int n) {
    for (int i = 0; i < n; ++i)
        if (light_named(wl, list[i])) return true;
    return false;
}

} // namespace

// The given lights that the shaded instance's light links allow, in the given order.
ORN_API int mi_inclusive_lightlist(int* n_lights, miTag** lights, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !n_lights || !lights || !state->cache) return 0;
    miTag* out = scratch_list(state, f->world());
    int n = 0;
    for (int i = 0; out && *lights && i < *n_lights; ++i)
        for (const auto& wl : f->world().lights())
            if (light_named(wl, (*lights)[i]) && light_linked(shaded_instance(state), wl) &&
                !contains(out, n, wl.instance->tag))
                out[n++] = wl.instance->tag;
    *lights = out;
    *n_lights = out ? n : 0;
    return *n_lights;
}

// Every light of the scene the shaded instance may see, except the given ones.
ORN_API int mi_exclusive_lightlist(int* n_lights, miTag** lights, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !n_lights || !lights || !state->cache) return 0;
    miTag* out = scratch_list(state, f->world());
    const miTag* given = *lights;
    const int given_n = given ? *n_lights : 0;
    int n = 0;
    for (const auto& wl : f->world().lights())
        if (out && !listed(wl, given, given_n) && light_linked(shaded_instance(state), wl))
            out[n++] = wl.instance->tag;
    *lights = out;
    *n_lights = out ? n : 0;
    return *n_lights;
}

// Draws the next sample of a light; `*samples` counts the samples taken (start it at 0).
ORN_API miBoolean mi_sample_light(miColor* result, miVector* dir, miScalar* dot_nl, miState* state,
                                  miTag light, miInteger* samples) {
    Frame* f = frame_of(state);
    if (!f || !result || !samples || !state->cache || Frame::stopping()) return miFALSE;
    const WorldLight* found = first_light_for_tag(f->world().lights(), light);
    if (!found) return miFALSE;
    const WorldLight& wl = *found;
    const int n = light_sample_count(wl);
    RayData& rd = ThreadContext::data(state);
    const uint64_t seed = rd.path ^ (uint64_t(light) << 40);
    // A zero normal (volumes, or shaders that want light from every side) culls nothing.
    const miVector& N = state->normal;
    const bool cull = N.x != 0.f || N.y != 0.f || N.z != 0.f;
    while (*samples < n) {
        const int k = (*samples)++;
        const LightSample ls = sample_light(wl, state->point, k, seed);
        const float c = dot3(N, ls.dir);
        if (cull && c <= 0.f) continue;
        miColor col{0, 0, 0, 0};
        if (!f->call_light(&col, state, wl, ls)) continue;
        *result = col;
        if (dir) *dir = ls.dir;
        if (dot_nl) *dot_nl = c;
        return miTRUE;
    }
    return miFALSE;
}

ORN_API miBoolean mi_trace_shadow(miColor* result, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !result || !state->cache) return miFALSE;
    return f->trace_shadow(result, state);
}
