// Ray tracing for the shaders: eye, secondary, probe and environment rays, shader calls,
// parameter evaluation and sampling. Every call works on the calling thread's context.
#include "core/hash.h"
#include "core/messages.h"
#include "render/frame.h"
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

float Frame::secondary_tnear(const miVector& p) const {
    const float m = std::max(std::fabs(p.x), std::max(std::fabs(p.y), std::fabs(p.z)));
    return 1e-4f * (1.f + m);
}

bool Frame::needs_coincident(miTag material) const {
    auto* m = db_.get_as<MaterialElement>(material, miSCENE_MATERIAL);
    if (!m) return false;
    for (miTag shader : {m->surface, m->shadow}) {
        auto* fe = db_.get_as<FunctionElement>(shader, miSCENE_FUNCTION);
        if (fe && fe->function.decl && fe->function.decl->decl.name == "orn_dielectric_interface")
            return true;
    }
    return false;
}

bool Frame::intersect_through(const miState* from, const miVector& dir, float tfar, unsigned mask,
                              Hit& hit) const {
    const GeometryScene& geometry = world_.geometry();
    const miVector& org = from->point;
    Departure d;
    d.offset = secondary_tnear(org);
    if (!geometry.coincident()) return geometry.intersect(org, dir, d.offset, tfar, mask, hit);
    // The surfaces met at this point on the way here: a ray that passed over a duplicate
    // surface must not meet it, or the one it duplicates, again.
    const WorldInstance* first = world_.instances().data();
    for (const miState* s = from; s && d.count < Departure::kMaxObjects; s = s->parent) {
        const WorldInstance* wi = static_cast<const RayData*>(s->cache)->hit;
        if (!wi) break;
        const miVector gap = s->point - org;
        if (std::max(std::fabs(gap.x), std::max(std::fabs(gap.y), std::fabs(gap.z))) > d.offset) break;
        const unsigned mesh = unsigned(wi - first);
        if (s == from) d.primitive = wi->object->hair ? ~0u : unsigned(s->pri_idx);
        if (std::find(d.mesh, d.mesh + d.count, mesh) == d.mesh + d.count) d.mesh[d.count++] = mesh;
    }
    return geometry.intersect_from(org, dir, d, tfar, mask, hit);
}

void Frame::fill_hair_hit(miState* st, const Hit& hit, const WorldInstance& wi) const {
    RayData& rd = ThreadContext::data(st);
    const scene::HairCurves& c = *wi.object->hair;
    const uint32_t seg = hit.triangle;
    const float* p = wi.hair_points + 4 * size_t(c.first[seg]);
    const float t = std::clamp(hit.u, 0.f, 1.f), s = 1.f - t;
    // Basis weights of the segment's control points and of their derivative.
    float w[4], dw[4];
    int n = 4;
    if (c.degree == 1) {
        n = 2;
        w[0] = s, w[1] = t;
        dw[0] = -1.f, dw[1] = 1.f;
    } else {
        w[0] = s * s * s, w[1] = 3.f * s * s * t, w[2] = 3.f * s * t * t, w[3] = t * t * t;
        dw[0] = -3.f * s * s, dw[1] = 3.f * s * s - 6.f * s * t, dw[2] = 6.f * s * t - 3.f * t * t,
        dw[3] = 3.f * t * t;
    }
    miVector centre{0, 0, 0}, tangent{0, 0, 0};
    float radius = 0.f;
    for (int i = 0; i < n; ++i) {
        const miVector q{p[4 * i], p[4 * i + 1], p[4 * i + 2]};
        centre = centre + q * w[i];
        tangent = tangent + q * dw[i];
        radius += p[4 * i + 3] * w[i];
    }
    const float segments = float(c.segments[seg]);

    rd.hit = &wi;
    st->dist = hit.t;
    st->point = st->org + st->dir * hit.t;
    st->pri = const_cast<WorldInstance*>(&wi);
    st->pri_idx = int(c.hair[seg]);
    st->instance = wi.instance->tag;
    st->label = wi.instance->record.label;

    // The hair's normal is the ribbon's: across the hair and towards the ray. The geometric
    // normal is the tube's own at the hit point.
    const miVector T = normalized(tangent);
    miVector ng = normalized(hit.ng);
    if (dot3(ng, st->dir) > 0.f) ng = -ng;
    miVector n_ribbon = -st->dir - T * dot3(-st->dir, T);
    n_ribbon = dot3(n_ribbon, n_ribbon) > 1e-12f ? normalized(n_ribbon) : ng;
    // Across the hair: 0 and 1 at the silhouette edges as the ray sees them, 0.5 on the centre.
    miVector side = cross(T, st->dir);
    side = dot3(side, side) > 1e-12f ? normalized(side) : miVector{0, 0, 0};
    const float across = radius > 0.f ? dot3(st->point - centre, side) / radius : 0.f;
    st->bary[0] = std::clamp(0.5f + 0.5f * across, 0.f, 1.f);
    st->bary[1] = (float(c.segment[seg]) + t) / segments;
    st->bary[2] = 0.f;
    st->bary[3] = 0.f;
    st->inv_normal = miFALSE;
    st->normal_geom = ng;
    st->normal = n_ribbon;
    st->dot_nd = dot3(n_ribbon, st->dir);

    // dP/dv along the whole hair, and dP/du across it.
    rd.derivs[0] = tangent * segments;
    rd.derivs[1] = side * (2.f * radius);
    st->derivs = rd.derivs;
    rd.bump_x[0] = rd.derivs[0];
    rd.bump_y[0] = rd.derivs[1];
    rd.n_bump = 1;
    st->bump_x_list = rd.bump_x;
    st->bump_y_list = rd.bump_y;

    // Texture scalars three to a texture space.
    const int nt = c.tex_scalars;
    rd.n_tex = std::min((nt + 2) / 3, kMaxTextureSpaces);
    for (int k = 0; k < rd.n_tex; ++k) {
        float v[3] = {0.f, 0.f, 0.f};
        for (int a = 0; a < 3 && 3 * k + a < nt; ++a)
            for (int i = 0; i < n; ++i)
                v[a] += c.tex[size_t(c.first[seg] + uint32_t(i)) * size_t(nt) + size_t(3 * k + a)] * w[i];
        rd.tex[k] = {v[0], v[1], v[2]};
    }
    st->tex_list = rd.n_tex ? rd.tex : nullptr;
    st->tex = rd.n_tex ? rd.tex[0] : miVector{0, 0, 0};

    // Motion of the hair's centre line: to where its end positions (or the instance's end
    // transform) take it.
    st->motion = {0.f, 0.f, 0.f};
    if (wi.moves) {
        miVector end = wi.world_to_object.point(centre);
        if (!c.end_points.empty()) {
            end = {0, 0, 0};
            for (int i = 0; i < n; ++i) {
                const float* e = &c.end_points[3 * size_t(c.first[seg] + uint32_t(i))];
                end = end + miVector{e[0], e[1], e[2]} * w[i];
            }
        }
        st->motion = wi.object_to_world_end.point(end) - centre;
    }
    st->material = wi.default_material;
}

void Frame::fill_hit(miState* st, const Hit& hit) const {
    const WorldInstance& wi = world_.instances()[hit.mesh];
    if (wi.object->hair) return fill_hair_hit(st, hit, wi);
    RayData& rd = ThreadContext::data(st);
    const auto& mesh = wi.object->mesh;
    rd.hit = &wi;
    // The triangle's corners only when vertex data is interpolated: in a large mesh reading
    // them is a cache miss of its own.
    const bool interpolates = !mesh.N.empty() || !mesh.T.empty() ||
                              (!mesh.dPdu.empty() && !mesh.dPdv.empty()) ||
                              (wi.moves && !mesh.motion.empty());
    uint32_t i0 = 0, i1 = 0, i2 = 0;
    if (interpolates) {
        i0 = mesh.triangles[3 * hit.triangle];
        i1 = mesh.triangles[3 * hit.triangle + 1];
        i2 = mesh.triangles[3 * hit.triangle + 2];
    }
    const float b0 = 1.f - hit.u - hit.v, b1 = hit.u, b2 = hit.v;

    st->dist = hit.t;
    st->point = st->org + st->dir * hit.t;
    st->bary[0] = b0;
    st->bary[1] = b1;
    st->bary[2] = b2;
    st->bary[3] = 0.f;
    st->pri = const_cast<WorldInstance*>(&wi);
    st->pri_idx = int(hit.triangle);
    st->instance = wi.instance->tag;
    st->label = wi.instance->record.label;

    miVector ng = normalized(hit.ng);
    miVector n = ng;
    if (!mesh.N.empty()) {
        auto nv = [&](uint32_t i) { return miVector{mesh.N[3 * i], mesh.N[3 * i + 1], mesh.N[3 * i + 2]}; };
        const miVector on = nv(i0) * b0 + nv(i1) * b1 + nv(i2) * b2;
        n = normalized(wi.world_to_object.normal_with_inverse(on));
        if (dot3(n, ng) < 0.f) n = -n; // vertex normals follow the geometric side
    }
    st->inv_normal = miFALSE;
    if (dot3(ng, st->dir) > 0.f) {
        ng = -ng;
        n = -n;
        st->inv_normal = miTRUE;
    }
    st->normal_geom = ng;
    st->normal = n;
    st->dot_nd = dot3(n, st->dir);

    rd.n_tex = int(std::min<size_t>(mesh.T.size(), kMaxTextureSpaces));
    for (int k = 0; k < rd.n_tex; ++k) {
        const auto& T = mesh.T[size_t(k)];
        auto tv = [&](uint32_t i) { return miVector{T[3 * i], T[3 * i + 1], T[3 * i + 2]}; };
        rd.tex[k] = tv(i0) * b0 + tv(i1) * b1 + tv(i2) * b2;
    }
    st->tex_list = rd.n_tex ? rd.tex : nullptr;
    st->tex = rd.n_tex ? rd.tex[0] : miVector{0, 0, 0};

    // Surface derivatives from the first texture space, world space.
    auto pv = [&](uint32_t i) {
        return wi.object_to_world.point({mesh.P[3 * i], mesh.P[3 * i + 1], mesh.P[3 * i + 2]});
    };
    rd.n_bump = 0;
    st->derivs = nullptr;
    if (!mesh.dPdu.empty() && !mesh.dPdv.empty()) {
        auto bu = [&](uint32_t i) {
            return miVector{mesh.dPdu[3 * i], mesh.dPdu[3 * i + 1], mesh.dPdu[3 * i + 2]};
        };
        auto bv = [&](uint32_t i) {
            return miVector{mesh.dPdv[3 * i], mesh.dPdv[3 * i + 1], mesh.dPdv[3 * i + 2]};
        };
        rd.bump_x[0] = wi.object_to_world.vector(bu(i0) * b0 + bu(i1) * b1 + bu(i2) * b2);
        rd.bump_y[0] = wi.object_to_world.vector(bv(i0) * b0 + bv(i1) * b1 + bv(i2) * b2);
        rd.n_bump = 1;
    }
    if (rd.n_tex) {
        const miVector p0 = pv(i0), p1 = pv(i1), p2 = pv(i2);
        const auto& T = mesh.T[0];
        const float du1 = T[3 * i1] - T[3 * i0], dv1 = T[3 * i1 + 1] - T[3 * i0 + 1];
        const float du2 = T[3 * i2] - T[3 * i0], dv2 = T[3 * i2 + 1] - T[3 * i0 + 1];
        const float det = du1 * dv2 - du2 * dv1;
        if (std::fabs(det) > 1e-20f) {
            const float inv = 1.f / det;
            const miVector e1 = p1 - p0, e2 = p2 - p0;
            rd.derivs[0] = (e1 * dv2 - e2 * dv1) * inv;
            rd.derivs[1] = (e2 * du1 - e1 * du2) * inv;
            st->derivs = rd.derivs;
            if (!rd.n_bump) {
                rd.bump_x[0] = rd.derivs[0];
                rd.bump_y[0] = rd.derivs[1];
                rd.n_bump = 1;
            }
        }
    }
    st->bump_x_list = rd.n_bump ? rd.bump_x : nullptr;
    st->bump_y_list = rd.n_bump ? rd.bump_y : nullptr;

    // Where the hit point of the object goes by the end of the shutter interval: the instance's
    // end transform applied to the point moved by its vertices' motion vectors.
    st->motion = {0.f, 0.f, 0.f};
    if (wi.moves) {
        miVector p = wi.world_to_object.point(st->point);
        if (!mesh.motion.empty()) {
            auto mv = [&](uint32_t i) {
                return miVector{mesh.motion[3 * i], mesh.motion[3 * i + 1], mesh.motion[3 * i + 2]};
            };
            p = p + mv(i0) * b0 + mv(i1) * b1 + mv(i2) * b2;
        }
        st->motion = wi.object_to_world_end.point(p) - st->point;
    }

    miTag material = wi.default_material;
    // Without material names no triangle has its own: its index would be a cache miss of its own.
    if (!wi.polygon_materials.empty() && !mesh.triangle_material.empty() && !wi.material_override) {
        const int m = mesh.triangle_material[hit.triangle];
        if (m >= 0 && size_t(m) < wi.polygon_materials.size() && wi.polygon_materials[size_t(m)])
            material = wi.polygon_materials[size_t(m)];
    }
    st->material = material;
}

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
        if (tc->mattes.on()) tc->mattes.start(depth, miRAY_EYE);
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
        if (tc->mattes.on()) tc->mattes.start(depth, type);
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
    Hit hit;
    if (intersect_through(state, st->dir, tfar, mask, hit)) {
        fill_hit(st, hit);
        const int depth = ThreadContext::data(st).depth;
        if (tc->mattes.on()) tc->mattes.start(depth, st->type);
        call_material(result, st);
        if (tc->mattes.on()) tc->mattes.finish(depth, ThreadContext::data(st).hit, st->material, result->a);
        return miTRUE;
    }
    st->dist = 0.0;
    trace_environment(result, st, st->dir);
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
    }
    if (*instance < 0 || miUint(*instance) >= *n || stopping()) return false;
    const double k = *instance, count = *n;
    out[0] = (k + unit_double(hash64(rd.loop_seed, uint64_t(*instance)))) / count;
    for (int d = 1; d < dim; ++d) {
        const double shift = unit_double(hash64(rd.loop_seed, 0x1000 + uint64_t(d)));
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
