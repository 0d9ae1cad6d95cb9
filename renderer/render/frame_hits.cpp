// What a ray met, as a state: the hit's geometry and shading frame for triangles and hair, the
// material of the hit, and rays that carry on through the surface they leave.
#include "render/frame.h"

#include <algorithm>
#include <cmath>

namespace orn {

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

} // namespace orn
