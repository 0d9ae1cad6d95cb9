// Ray tracing for the shaders: eye, secondary, probe and environment rays, shader calls,
// parameter evaluation and sampling. Every call works on the calling thread's context.
#include "render/frame.h"

#include "core/hash.h"
#include "core/messages.h"
#include "texture/texture_store.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orn {

namespace {

// Irrational steps for the dimensions after the first (powers of the plastic and golden
// ratios), giving a rank-1 lattice that stays stratified for any point count.
constexpr double kSteps[8] = {0.6180339887498949, 0.7548776662466927, 0.5698402909980532, 0.3819660112501051,
                              0.4301597090019468, 0.2451223337533073, 0.8566748838545029, 0.1433251161454971};

constexpr int kMaxCallDepth = 200;

} // namespace

miBoolean Frame::call_shader(miFunction* f, void* result, size_t capacity, miState* state) {
    if (!f || !f->decl || !f->decl->code || !f->decl->code->fn) return miFALSE;
    ThreadContext* tc = ThreadContext::data(state).thread;
    if (tc->call_depth >= kMaxCallDepth) {
        Messages::emitf(Severity::Error, "shader \"%s\": calls nest deeper than %d (a connection cycle?)",
                        f->name.c_str(), kMaxCallDepth);
        return miFALSE;
    }
    const size_t mark = tc->arena.mark();
    void* out = result;
    const size_t needed = f->decl->result_bytes;
    if (needed > capacity) {
        out = tc->arena.alloc(needed);
        if (!out) {
            Messages::emitf(Severity::Error, "shader \"%s\": out of scratch memory for its result",
                            f->name.c_str());
            return miFALSE;
        }
        std::memcpy(out, result, capacity);
        std::memset(static_cast<unsigned char*>(out) + capacity, 0, needed - capacity);
    }
    miFunction* saved = state->shader;
    state->shader = f;
    ++tc->call_depth;
    const miBoolean ok = f->decl->code->fn(out, state, f->block());
    --tc->call_depth;
    if (out != result) std::memcpy(result, out, capacity);
    tc->arena.release(mark);
    state->shader = saved;
    return ok;
}

void* Frame::eval(miState* state, void* param) {
    miFunction* f = state ? state->shader : nullptr;
    if (!f) return param;
    const miFunction::Connection* c = f->connection_at(param);
    if (!c) return param;
    ThreadContext* tc = ThreadContext::data(state).thread;
    // The result lives in the caller's scratch frame until the calling shader returns.
    const size_t bytes = std::max(c->size, c->target->decl->result_bytes);
    void* out = tc->arena.alloc(bytes);
    if (!out) {
        Messages::emitf(Severity::Error, "shader \"%s\": out of scratch memory for parameter results",
                        f->name.c_str());
        return param;
    }
    std::memset(out, 0, bytes);
    call_shader(c->target, out, bytes, state);
    return out;
}

miBoolean Frame::call_material(miColor* result, miState* st) {
    auto* m = db_.get_as<MaterialElement>(st->material, miSCENE_MATERIAL);
    if (!m || !m->surface) {
        *result = {0.f, 0.f, 0.f, 1.f};
        return miTRUE;
    }
    auto* fe = db_.get_as<FunctionElement>(m->surface, miSCENE_FUNCTION);
    *result = {0.f, 0.f, 0.f, 0.f};
    return fe ? call_shader(&fe->function, result, st) : miFALSE;
}

miBoolean Frame::trace_eye(miColor* result, miState* state, const miVector& org, const miVector& dir) {
    ThreadContext* tc = ThreadContext::data(state).thread;
    // Each ray a lens traces starts from empty user buffers, as the eye sample itself does, so
    // that what a lens reads back after the ray belongs to that ray alone (a miss leaves them
    // empty instead of holding the ray before).
    if (lens_ && ThreadContext::data(state).depth == 0) {
        ++tc->lens_eye_rays;
        const miVector& o = tc->lens_sample_org;
        if (org.x != o.x || org.y != o.y || org.z != o.z) tc->lens_moved_origin = true;
        if (tc->film_sample)
            for (const auto& bp : buffers_) {
                const int off = bp.offset;
                std::copy(film_->clear_sample().begin() + off,
                          film_->clear_sample().begin() + off + bp.components, tc->film_sample + off);
            }
    }
    miState* st = tc->child_of(state, miRAY_EYE);
    if (!st) return miFALSE;
    if (ThreadContext::data(state).depth == 0) {
        // A lens's eye ray: its surface is the one the standard images describe.
        ThreadContext::data(st).shows = true;
        tc->shown.passed = false;
    }
    st->org = org;
    st->dir = normalized(dir);
    st->reflection_level = state->reflection_level;
    st->refraction_level = state->refraction_level;
    float tnear, tfar;
    eye_clip(st->dir, tnear, tfar);
    Hit hit;
    const bool found = world_.geometry().intersect(st->org, st->dir, tnear, tfar, kMaskEye, hit);
    return shade_eye_hit(result, state, st, found ? &hit : nullptr);
}

miBoolean Frame::shade_eye_hit(miColor* result, miState* state, miState* st, const Hit* hit) {
    if (hit) {
        ThreadContext* tc = ThreadContext::data(st).thread;
        fill_hit(st, *hit);
        tc->opacity_set = false;
        const int depth = ThreadContext::data(st).depth;
        if (tc->mattes.on()) ThreadContext::data(st).matte_chain = tc->mattes.start(depth, miRAY_EYE);
        call_material(result, st);
        if (tc->opacity_set && state->options && state->options->scanline == 'r')
            rasterise_behind(result, st);
        if (tc->mattes.on()) tc->mattes.finish(depth, ThreadContext::data(st).hit, st->material, result->a);
        return miTRUE;
    }
    st->dist = 0.0;
    const miBoolean got = trace_environment(result, state, st->dir);
    // What the environment adds to the alpha belongs to no surface: it goes to ID 0, so that
    // the mattes still add up to the alpha.
    ThreadContext* tc = ThreadContext::data(st).thread;
    if (tc->mattes.on()) {
        const int depth = ThreadContext::data(st).depth;
        tc->mattes.start(depth, miRAY_EYE);
        tc->mattes.finish(depth, nullptr, miNULLTAG, got ? result->a : 0.f);
    }
    return got;
}

// Under the rasteriser the renderer, not the material, looks through a surface: the layer
// behind is shaded as an eye ray of its own and composited under this one, the colour as
// premultiplied "over" and buffers with "useopacity" weighted by the opacity.
bool Frame::rasterise_behind(miColor* result, miState* hit) {
    ThreadContext* tc = ThreadContext::data(hit).thread;
    const miColor o = tc->layer_opacity;
    if (o.r >= 1.f && o.g >= 1.f && o.b >= 1.f && o.a >= 1.f) return false;
    if (ThreadContext::data(hit).depth >= kMaxRayDepth - 2) return false;
    // This layer's buffer values, kept while the layer behind writes its own.
    const size_t n = size_t(film_->sample_size());
    auto* front = static_cast<float*>(tc->arena.alloc(n * sizeof(float)));
    if (!front || !tc->film_sample) return false;
    std::copy(tc->film_sample, tc->film_sample + n, front);
    for (const auto& bp : buffers_)
        if (bp.useopacity) std::fill_n(tc->film_sample + bp.offset, bp.components, 0.f);
    miColor behind{0.f, 0.f, 0.f, 0.f};
    const miVector org = hit->point + hit->dir * secondary_tnear(hit->point);
    const miBoolean got = trace_eye(&behind, hit, org, hit->dir);
    if (got) {
        result->r += (1.f - o.r) * behind.r;
        result->g += (1.f - o.g) * behind.g;
        result->b += (1.f - o.b) * behind.b;
        result->a += (1.f - o.a) * behind.a;
        if (tc->light_groups) {
            const int d = ThreadContext::data(hit).depth;
            miColor* front_share = tc->group_result(d);
            const miColor* behind_share = tc->group_result(d + 1);
            for (int g = 0; g < tc->light_groups; ++g) {
                front_share[g].r += (1.f - o.r) * behind_share[g].r;
                front_share[g].g += (1.f - o.g) * behind_share[g].g;
                front_share[g].b += (1.f - o.b) * behind_share[g].b;
            }
        }
    }
    const float w[4] = {o.r, o.g, o.b, o.a};
    for (const auto& bp : buffers_) {
        if (!bp.useopacity) continue;
        float* v = tc->film_sample + bp.offset;
        const float* f = front + bp.offset;
        for (int c = 0; c < bp.components; ++c)
            v[c] = w[c] * f[c] + (1.f - w[c]) * v[c];
    }
    // Buffers without "useopacity" keep the front layer's value.
    for (const auto& bp : buffers_) {
        if (bp.useopacity) continue;
        const int off = bp.offset;
        std::copy(front + off, front + off + bp.components, tc->film_sample + off);
    }
    return true;
}

miBoolean Frame::trace_secondary(miColor* result, miState* state, int type, const miVector& dir) {
    if (stopping()) return miFALSE;
    const miOptions* o = state->options;
    const bool reflect = type == miRAY_REFLECT;
    if (o) {
        const int levels = state->reflection_level + state->refraction_level;
        if (reflect && state->reflection_level >= o->reflection_depth) return miFALSE;
        if (!reflect && state->refraction_level >= o->refraction_depth) return miFALSE;
        if (levels >= o->trace_depth) return miFALSE;
        if (!o->trace && type != miRAY_TRANSPARENT) return miFALSE;
    }
    // The rasteriser composites layers itself: a surface on an eye ray does not look through.
    if (type == miRAY_TRANSPARENT && o && o->scanline == 'r' &&
        (state->type == miRAY_EYE || state->type == miRAY_TRANSPARENT))
        return miFALSE;
    ThreadContext* tc = ThreadContext::data(state).thread;
    const RayData& pd = ThreadContext::data(state);
    const double fstart = pd.falloff_start, fstop = pd.falloff_stop;
    miState* st = tc->child_of(state, type);
    if (!st) return miFALSE;
    st->org = state->point;
    st->dir = normalized(dir);
    if (reflect)
        st->reflection_level = state->reflection_level + 1;
    else
        st->refraction_level = state->refraction_level + 1;
    if (type == miRAY_REFRACT) {
        st->ior_in = state->ior;
        st->volume = state->refraction_volume ? state->refraction_volume : state->volume;
    }
    // Ray falloff: nothing is hit beyond its end, and hits between its start and end fade
    // towards the environment.
    const float tfar = fstop > 0.0 ? float(fstop) : INFINITY;
    Hit hit;
    const bool through = type == miRAY_REFRACT || type == miRAY_TRANSPARENT;
    if (through ? intersect_through(state, st->dir, tfar, kMaskTrace, hit)
                : world_.geometry().intersect(st->org, st->dir, secondary_tnear(st->org), tfar, kMaskTrace,
                                              hit)) {
        fill_hit(st, hit);
        const int depth = ThreadContext::data(st).depth;
        if (tc->mattes.on()) ThreadContext::data(st).matte_chain = tc->mattes.start(depth, type);
        call_material(result, st);
        if (fstop > 0.0 && hit.t > fstart && fstop > fstart) {
            const float t = float((hit.t - fstart) / (fstop - fstart));
            miColor env{0.f, 0.f, 0.f, 0.f};
            const miVector d = st->dir;
            const miColor c = *result;
            // From the hit state, so the environment ray does not take the hit's place.
            trace_environment(&env, st, d);
            result->r = (1.f - t) * c.r + t * env.r;
            result->g = (1.f - t) * c.g + t * env.g;
            result->b = (1.f - t) * c.b + t * env.b;
            result->a = (1.f - t) * c.a + t * env.a;
            // The environment's part belongs to no light group.
            if (tc->light_groups) {
                miColor* share = tc->group_result(ThreadContext::data(st).depth);
                for (int g = 0; g < tc->light_groups; ++g)
                    share[g] = {(1.f - t) * share[g].r, (1.f - t) * share[g].g, (1.f - t) * share[g].b, 0.f};
            }
        }
        if (tc->mattes.on()) tc->mattes.finish(depth, ThreadContext::data(st).hit, st->material, result->a);
        return miTRUE;
    }
    st->dist = 0.0;
    return miFALSE;
}

// A continue ray carries on behind the hit as if the surface were not there: the same type,
// direction and levels, so the next hit is shaded as this one would have been.
miBoolean Frame::trace_continue(miColor* result, miState* state) {
    if (stopping()) return miFALSE;
    ThreadContext* tc = ThreadContext::data(state).thread;
    miState* st = tc->child_of(state, state->type);
    if (!st) {
        Messages::emitf(Severity::Warning,
                        "continue ray: more than %d surfaces passed over on one ray; the ray stops there",
                        kMaxRayDepth);
        return miFALSE;
    }
    st->org = state->point;
    st->dir = state->dir;
    const double fstop = ThreadContext::data(state).falloff_stop;
    const float tfar = fstop > 0.0 ? float(fstop) : INFINITY;
    const unsigned mask = state->type == miRAY_EYE ? kMaskEye : kMaskTrace;
    // The ray goes on as the one it continues: it shows what that one would have shown, and is
    // on the ID mattes' chain when that one is, whatever type the material gave it.
    const bool shows = ThreadContext::data(state).shows;
    ThreadContext::data(st).shows = shows;
    const int depth = ThreadContext::data(st).depth;
    const bool chained = tc->mattes.on() && ThreadContext::data(state).matte_chain;
    Hit hit;
    if (intersect_through(state, st->dir, tfar, mask, hit)) {
        fill_hit(st, hit);
        if (tc->mattes.on())
            ThreadContext::data(st).matte_chain = tc->mattes.start(depth, chained ? miRAY_EYE : st->type);
        call_material(result, st);
        if (tc->mattes.on()) tc->mattes.finish(depth, ThreadContext::data(st).hit, st->material, result->a);
        // The deepest surface shown is the first recorded: a surface behind this one that was
        // passed over too has been recorded by then.
        if (shows && !tc->shown.passed)
            tc->shown = {true, true, st->point, st->normal, st->motion, st->label};
        return miTRUE;
    }
    st->dist = 0.0;
    if (shows && !tc->shown.passed) tc->shown = {true, false, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, 0};
    const miBoolean got = trace_environment(result, st, st->dir);
    // As behind the eye ray: the environment's alpha belongs to no surface.
    if (chained) {
        tc->mattes.start(depth, miRAY_EYE);
        tc->mattes.finish(depth, nullptr, miNULLTAG, got ? result->a : 0.f);
    }
    return miFALSE;
}

miBoolean Frame::trace_probe(miState* state, const miVector& dir, const miVector& org) {
    if (stopping()) return miFALSE;
    ThreadContext* tc = ThreadContext::data(state).thread;
    // A probe sees no farther than the state's ray falloff reaches.
    const double fstop = ThreadContext::data(state).falloff_stop;
    miState* st = tc->child_of(state, miRAY_PROBE);
    if (!st) return miFALSE;
    st->org = org;
    st->dir = normalized(dir);
    Hit hit;
    const float tfar = fstop > 0.0 ? float(fstop) : INFINITY;
    if (world_.geometry().intersect(st->org, st->dir, secondary_tnear(org), tfar, kMaskTrace, hit)) {
        fill_hit(st, hit);
        return miTRUE;
    }
    st->dist = 0.0;
    return miFALSE;
}

int Frame::trace_probes(miState* state, const miVector& org, const miVector* dirs, int count,
                        bool distance_only, double* dist) {
    int hits = 0;
    if (!distance_only) {
        for (int i = 0; i < count; ++i) {
            const miVector& d = dirs[i];
            const bool zero = d.x == 0.f && d.y == 0.f && d.z == 0.f;
            dist[i] = !zero && trace_probe(state, d, org) ? state->child->dist : 0.0;
            hits += dist[i] > 0.0;
        }
        return hits;
    }
    std::fill_n(dist, count, 0.0);
    RayData& pd = ThreadContext::data(state);
    // Where trace_probe() could make no state it traces nothing either.
    if (stopping() || pd.depth + 1 >= kMaxRayDepth) return 0;
    ThreadContext* tc = pd.thread;
    const double fstop = pd.falloff_stop;
    const float tnear = secondary_tnear(org), tfar = fstop > 0.0 ? float(fstop) : INFINITY;
    for (int i = 0; i < count; ++i) {
        const miVector& d = dirs[i];
        if (d.x == 0.f && d.y == 0.f && d.z == 0.f) continue;
        // The ray number a state of its own would have taken.
        ++pd.children;
        ++tc->rays;
        ++tc->rays_of[miRAY_PROBE];
        Hit hit;
        if (world_.geometry().intersect(org, normalized(d), tnear, tfar, kMaskTrace, hit)) {
            dist[i] = hit.t;
            ++hits;
        }
    }
    return hits;
}

miBoolean Frame::trace_environment(miColor* result, miState* state, const miVector& dir) {
    miTag env = state->environment;
    if (!env && state->camera) env = state->camera->environment;
    if (textures_ && textures_->is_texture(env)) return environment_texture(result, state, env, dir);
    auto* fe = db_.get_as<FunctionElement>(env, miSCENE_FUNCTION);
    // An environment shader that looks the environment up itself would call itself without end.
    if (!fe || (state->type == miRAY_ENVIRONMENT && state->shader == &fe->function)) {
        *result = {0.f, 0.f, 0.f, 0.f};
        return miFALSE;
    }
    ThreadContext* tc = ThreadContext::data(state).thread;
    miState* st = tc->child_of(state, miRAY_ENVIRONMENT);
    if (!st) return miFALSE;
    st->org = state->point;
    st->dir = normalized(dir);
    *result = {0.f, 0.f, 0.f, 0.f};
    return call_shader(&fe->function, result, st);
}

bool Frame::sample(double* out, int* instance, miState* state, int dim, miUint* n) {
    RayData& rd = ThreadContext::data(state);
    if (dim < 1) return false;
    if (!instance || !n) {
        const uint64_t seed = hash64(rd.path, ++rd.sample_calls);
        for (int d = 0; d < dim; ++d)
            out[d] = unit_double(hash64(seed, uint64_t(d) + 1));
        return true;
    }
    if (*instance == 0 || rd.loop_instance != instance) {
        rd.loop_instance = instance;
        rd.loop_seed = hash64(rd.path, 0x100000000ULL + ++rd.sample_calls);
        rd.loop_shifts = 0;
    }
    if (*instance < 0 || miUint(*instance) >= *n || stopping()) return false;
    const double k = *instance, count = *n;
    out[0] = (k + unit_double(hash64(rd.loop_seed, uint64_t(*instance)))) / count;
    for (int d = 1; d < dim; ++d) {
        double shift;
        if (d <= rd.loop_shifts) {
            shift = rd.loop_shift[d - 1];
        } else {
            shift = unit_double(hash64(rd.loop_seed, 0x1000 + uint64_t(d)));
            if (d == rd.loop_shifts + 1 && d <= RayData::kLoopShifts) rd.loop_shift[rd.loop_shifts++] = shift;
        }
        const double v = shift + k * kSteps[(d - 1) % 8];
        out[d] = v - std::floor(v);
    }
    ++*instance;
    return true;
}

const Matrix& Frame::world_to_object(miState* state) const {
    for (miState* s = state; s; s = s->parent) {
        const RayData& rd = ThreadContext::data(s);
        if (rd.hit) return rd.hit->world_to_object;
    }
    return identity_;
}

const Matrix& Frame::object_to_world(miState* state) const {
    for (miState* s = state; s; s = s->parent) {
        const RayData& rd = ThreadContext::data(s);
        if (rd.hit) return rd.hit->object_to_world;
    }
    return identity_;
}

miVector Frame::raster_of(const miVector& w) const {
    const miVector p = world_.world_to_camera().point(w);
    const miCamera* c = camera_record();
    const float xres = float(c->x_resolution), yres = float(c->y_resolution);
    float px = p.x, py = p.y;
    if (!c->orthographic) {
        const float z = p.z != 0.f ? -p.z : 1e-30f;
        px = p.x * c->focal / z;
        py = p.y * c->focal / z;
    }
    return {(px / c->aperture + 0.5f) * xres + c->x_offset,
            (py * c->aspect / c->aperture + 0.5f) * yres + c->y_offset, p.z};
}

} // namespace orn
