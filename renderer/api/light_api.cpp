// Lights for shaders: the interface object with its light lists, light-list rewriting,
// single light samples and shadow rays.
#include "api/api_common.h"
#include "light/light_list.h"
#include "light/light_sampling.h"

#include <algorithm>
#include <cstring>

using namespace orn;

namespace {

// A list of light-instance tags in the calling shader's scratch memory.
miTag* scratch_list(miState* state, const std::vector<miTag>& tags) {
    ThreadContext* tc = ThreadContext::data(state).thread;
    auto* out = static_cast<miTag*>(tc->arena.alloc(std::max<size_t>(1, tags.size()) * sizeof(miTag)));
    if (out) std::copy(tags.begin(), tags.end(), out);
    return out;
}

const InstanceElement* shaded_instance(miState* state) {
    const RayData& rd = ThreadContext::data(state);
    return rd.hit ? rd.hit->instance : nullptr;
}

} // namespace

// The given lights that the shaded instance's light links allow.
ORN_API int mi_inclusive_lightlist(int* n_lights, miTag** lights, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !n_lights || !lights || !state->cache) return 0;
    std::vector<miTag> out;
    std::vector<const WorldLight*> found;
    for (int i = 0; i < *n_lights && *lights; ++i)
        lights_for_tag(f->world(), (*lights)[i], found);
    for (const WorldLight* wl : found)
        if (light_linked(shaded_instance(state), *wl, f->db()) &&
            std::find(out.begin(), out.end(), wl->instance->tag) == out.end())
            out.push_back(wl->instance->tag);
    *lights = scratch_list(state, out);
    *n_lights = *lights ? int(out.size()) : 0;
    return *n_lights;
}

// Every light of the scene the shaded instance may see, except the given ones.
ORN_API int mi_exclusive_lightlist(int* n_lights, miTag** lights, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !n_lights || !lights || !state->cache) return 0;
    std::vector<const WorldLight*> excluded;
    for (int i = 0; i < *n_lights && *lights; ++i)
        lights_for_tag(f->world(), (*lights)[i], excluded);
    std::vector<miTag> out;
    for (const auto& wl : f->world().lights())
        if (std::find(excluded.begin(), excluded.end(), &wl) == excluded.end() &&
            light_linked(shaded_instance(state), wl, f->db()))
            out.push_back(wl.instance->tag);
    *lights = scratch_list(state, out);
    *n_lights = *lights ? int(out.size()) : 0;
    return *n_lights;
}

// Draws the next sample of a light; `*samples` counts the samples taken (start it at 0).
ORN_API miBoolean mi_sample_light(miColor* result, miVector* dir, miScalar* dot_nl, miState* state,
                                  miTag light, miInteger* samples) {
    Frame* f = frame_of(state);
    if (!f || !result || !samples || !state->cache) return miFALSE;
    std::vector<const WorldLight*> found;
    lights_for_tag(f->world(), light, found);
    if (found.empty()) return miFALSE;
    const WorldLight& wl = *found.front();
    const int n = light_sample_count(wl);
    RayData& rd = ThreadContext::data(state);
    const uint64_t seed = rd.path ^ (uint64_t(light) << 40);
    while (*samples < n) {
        const int k = (*samples)++;
        const LightSample ls = sample_light(wl, state->point, k, seed);
        const float c = dot3(state->normal, ls.dir);
        if (c <= 0.f) continue;
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
