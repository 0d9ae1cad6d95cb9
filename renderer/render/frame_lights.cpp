// Light rays and shadow rays.
#include "core/messages.h"
#include "light/light_sampling.h"
#include "render/frame.h"

#include <cmath>

namespace orn {

miBoolean Frame::call_light(miColor* result, miState* state, const WorldLight& wl, const LightSample& ls) {
    auto* fe = db_.get_as<FunctionElement>(wl.light->shader, miSCENE_FUNCTION);
    if (!fe || stopping()) return miFALSE;
    ThreadContext* tc = ThreadContext::data(state).thread;
    miState* st = tc->child_of(state, miRAY_LIGHT);
    if (!st) return miFALSE;
    // A light state is the shaded point seen from the light: it keeps the surface of its
    // parent; its origin is the light sample and its direction runs from there towards the
    // shaded point, as light travels.
    RayData& rd = ThreadContext::data(st);
    rd.hit = ThreadContext::data(state).hit;
    rd.light = &wl;
    st->instance = state->instance;
    st->pri = state->pri;
    st->pri_idx = state->pri_idx;
    st->material = state->material;
    st->tex_list = state->tex_list;
    st->bump_x_list = state->bump_x_list;
    st->bump_y_list = state->bump_y_list;
    st->derivs = state->derivs;
    st->org = ls.position;
    st->dir = -ls.dir;
    st->dist = ls.dist;
    st->light_instance = wl.instance->tag;
    st->dot_nd = dot3(st->normal, st->dir);
    *result = {0.f, 0.f, 0.f, 0.f};
    return call_shader(&fe->function, result, st);
}

namespace {

// How far a shadow ray from the shaded point runs towards the light: up to the light state's
// origin, which a light shader may have moved (soft shadows start from points around the light).
float shadow_ray_length(const miState* state, const miVector& to_light) {
    const float along = dot3(state->org - state->point, to_light);
    if (std::isfinite(along) && along > 0.f) return along;
    return float(state->dist) > 0.f ? float(state->dist) : INFINITY;
}

} // namespace

miBoolean Frame::trace_shadow(miColor* result, miState* state) {
    if (stopping()) return miFALSE;
    if (!state->options || state->options->shadow == 0) return miTRUE;
    const miVector start = state->point;
    const miVector dir = normalized(-state->dir);
    const float end = shadow_ray_length(state, dir);
    ThreadContext& tc = *ThreadContext::data(state).thread;
    ++tc.shadow_rays;
    if (state->options->shadow == 's') return trace_first_segment(result, state, dir, end);
    float t0 = secondary_tnear(start);
    if (tc.shadow_log)
        tc.shadow_log->insert(tc.shadow_log->end(),
                              {start.x, start.y, start.z, dir.x, dir.y, dir.z, t0, end * (1.f - 1e-5f)});
    if (shadows_opaque_) {
        if (!world_.geometry().occluded(start, dir, t0, end * (1.f - 1e-5f), kMaskShadow)) return miTRUE;
        *result = {0.f, 0.f, 0.f, result->a};
        return miFALSE;
    }
    // Occluders are visited from the shaded point towards the light, each filtering the
    // light with its material's shadow shader. One traversal lists the nearest few instead of
    // a query from behind each one.
    const GeometryScene& geometry = world_.geometry();
    const float tfar = end * (1.f - 1e-5f);
    HitList list;
    bool listed = geometry.collect(start, dir, t0, tfar, kMaskShadow, list);
    int next = 0;
    auto next_hit = [&](Hit& hit) {
        for (int again = 0; listed; ++again) {
            while (next < list.count && list.hits[next].t < t0)
                ++next;
            if (next < list.count && list.hits[next].t < list.complete_to) {
                hit = list.hits[next];
                if (!geometry.near_seam(hit)) return true;
                break; // the query itself decides which of the primitives meeting there is hit
            }
            if (!(list.complete_to < INFINITY)) return false;
            if (again)
                listed = false; // a pile of hits at one distance: query one by one
            else {
                geometry.collect(start, dir, t0, tfar, kMaskShadow, list);
                next = 0;
            }
        }
        return geometry.intersect(start, dir, t0, tfar, kMaskShadow, hit);
    };
    for (int visited = 0; visited < 4096; ++visited) {
        Hit hit;
        if (!next_hit(hit)) return miTRUE;
        miState* st = occluder_state(state, start, dir, hit);
        if (!st || !shade_occluder(result, st)) return miFALSE;
        if (result->r == 0.f && result->g == 0.f && result->b == 0.f) return miFALSE;
        t0 = hit.t + secondary_tnear(st->point);
    }
    return miFALSE;
}

// Segment shadows run as the light travels: from the light to the shaded point, so that the
// first occluder's distance is its distance from the light. A light far outside the scene (a
// directional light) starts its ray where it could first meet the scene, and the distance
// skipped is added to the first occluder's.
miBoolean Frame::trace_first_segment(miColor* result, miState* state, const miVector& to_light,
                                     float to_point) {
    miVector lower, upper;
    world_.geometry().bounds(lower, upper);
    const miVector& p = state->point;
    const miVector far{std::max(std::fabs(p.x - lower.x), std::fabs(upper.x - p.x)),
                       std::max(std::fabs(p.y - lower.y), std::fabs(upper.y - p.y)),
                       std::max(std::fabs(p.z - lower.z), std::fabs(upper.z - p.z))};
    const float reach = length(far) + 1.f;
    if (!std::isfinite(reach)) return miTRUE; // nothing in the scene
    const float run = std::isfinite(to_point) && to_point < reach ? to_point : reach;
    const float skipped = std::isfinite(to_point) ? to_point - run : 0.f;
    // The walk stops short of the shaded point by the offset a plain shadow ray starts with:
    // its distance is the sum of the segments', and their rounding must not let the last one
    // meet the shaded surface itself.
    ThreadContext::data(state).shadow_remaining = run - secondary_tnear(p);
    return shadow_segment(result, state, p + to_light * run, -to_light, skipped, false);
}

bool Frame::find_occluder(miState* from, const miVector& start, const miVector& dir, float t0, float end,
                          miState*& occluder, float& t, bool through) {
    Hit hit;
    const float tfar = end * (1.f - 1e-5f);
    if (!(through ? intersect_through(from, dir, tfar, kMaskShadow, hit)
                  : world_.geometry().intersect(start, dir, t0, tfar, kMaskShadow, hit)))
        return false;
    occluder = occluder_state(from, start, dir, hit);
    t = hit.t;
    return true;
}

miState* Frame::occluder_state(miState* from, const miVector& start, const miVector& dir, const Hit& hit) {
    RayData& rd = ThreadContext::data(from);
    miState* occluder = rd.thread->child_of(from, miRAY_SHADOW);
    if (!occluder) return nullptr;
    occluder->org = start;
    occluder->dir = dir;
    occluder->light_instance = from->light_instance;
    ThreadContext::data(occluder).light = rd.light;
    fill_hit(occluder, hit);
    return occluder;
}

miBoolean Frame::shade_occluder(miColor* result, miState* occluder) {
    auto* m = db_.get_as<MaterialElement>(occluder->material, miSCENE_MATERIAL);
    auto* fe = m && m->shadow ? db_.get_as<FunctionElement>(m->shadow, miSCENE_FUNCTION) : nullptr;
    if (!fe) {
        // A material without a shadow shader is opaque.
        *result = {0.f, 0.f, 0.f, result->a};
        return miFALSE;
    }
    return call_shader(&fe->function, result, occluder);
}

miBoolean Frame::trace_shadow_segment(miColor* result, miState* state) {
    if (state->type == miRAY_LIGHT) return trace_shadow(result, state);
    return shadow_segment(result, state, state->point, normalized(state->dir), 0.f, true);
}

miBoolean Frame::continue_shadow_segment(miColor* result, miState* state) {
    if (state->type != miRAY_SHADOW) return miFALSE;
    return shadow_segment(result, state, state->point, normalized(state->dir), 0.f, true);
}

miBoolean Frame::shadow_segment(miColor* result, miState* from, const miVector& start, const miVector& dir,
                                float skipped, bool through) {
    const double remaining = ThreadContext::data(from).shadow_remaining;
    if (!(remaining > 0.0)) return miTRUE;
    miState* st = nullptr;
    float t = 0.f;
    if (!find_occluder(from, start, dir, secondary_tnear(start), float(remaining), st, t, through))
        return miTRUE;
    if (!st) return miFALSE;
    st->dist += double(skipped);
    ThreadContext::data(st).shadow_remaining = remaining - double(t);
    return shade_occluder(result, st);
}

miBoolean Frame::call_shadow_material(miColor* result, miState* state) {
    // The shadow shader runs on the hit as a shadow ray would meet it.
    const int saved = state->type;
    state->type = miRAY_SHADOW;
    const miBoolean ok = shade_occluder(result, state);
    state->type = saved;
    return ok;
}

} // namespace orn
