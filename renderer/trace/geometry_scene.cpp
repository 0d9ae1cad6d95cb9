#include "trace/geometry_scene.h"

#include "core/math.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace orn {

namespace {

// Skips meshes that this kind of ray must not see.
void mask_filter(const RTCFilterFunctionNArguments* args) {
    const auto* ctx = reinterpret_cast<const MaskContext*>(args->context);
    for (unsigned i = 0; i < args->N; ++i) {
        if (args->valid[i] != -1) continue;
        const unsigned geom = RTCHitN_geomID(args->hit, args->N, i);
        if (((*ctx->masks)[geom] & ctx->mask) == 0) args->valid[i] = 0;
    }
}

// Coincident mode. Hits where the ray leaves a surface are held back rather than accepted, so
// that a surface it enters at the same place is still found and can win the tie; hits of the
// surfaces a departing ray starts on are skipped.
void coincident_filter(const RTCFilterFunctionNArguments* args) {
    auto* ctx = reinterpret_cast<MaskContext*>(args->context);
    for (unsigned i = 0; i < args->N; ++i) {
        if (args->valid[i] != -1) continue;
        const unsigned geom = RTCHitN_geomID(args->hit, args->N, i);
        if (ctx->check_mask && ((*ctx->masks)[geom] & ctx->mask) == 0) {
            args->valid[i] = 0;
            continue;
        }
        const float t = RTCRayN_tfar(args->ray, args->N, i);
        if (const Departure* from = ctx->from) {
            if (t < ctx->back - ctx->behind) {
                args->valid[i] = 0;
                continue;
            }
            const unsigned prim = RTCHitN_primID(args->hit, args->N, i);
            bool own = false;
            for (int k = 0; k < from->count && !own; ++k)
                own = from->mesh[k] == geom &&
                      (t < ctx->back + from->offset || (k == 0 && prim == from->primitive));
            if (own) {
                args->valid[i] = 0;
                continue;
            }
        }
        const float nx = RTCHitN_Ng_x(args->hit, args->N, i), ny = RTCHitN_Ng_y(args->hit, args->N, i),
                    nz = RTCHitN_Ng_z(args->hit, args->N, i);
        const float d = RTCRayN_dir_x(args->ray, args->N, i) * nx +
                        RTCRayN_dir_y(args->ray, args->N, i) * ny + RTCRayN_dir_z(args->ray, args->N, i) * nz;
        if (d > 0.f) {
            if (!ctx->has_leaving || t < ctx->leaving.t) {
                ctx->has_leaving = true;
                ctx->leaving.t = t;
                ctx->leaving.mesh = geom;
                ctx->leaving.triangle = RTCHitN_primID(args->hit, args->N, i);
                ctx->leaving.u = RTCHitN_u(args->hit, args->N, i);
                ctx->leaving.v = RTCHitN_v(args->hit, args->N, i);
                ctx->leaving.ng = {nx, ny, nz};
            }
            args->valid[i] = 0;
        }
    }
}

// collect(): every hit goes into the list, kept sorted by distance, and is rejected so that
// the traversal goes on to the next. Of hits at the same distance the later found comes first.
void collect_filter(const RTCFilterFunctionNArguments* args) {
    auto* ctx = reinterpret_cast<MaskContext*>(args->context);
    HitList& list = *ctx->list;
    for (unsigned i = 0; i < args->N; ++i) {
        if (args->valid[i] != -1) continue;
        args->valid[i] = 0;
        const unsigned geom = RTCHitN_geomID(args->hit, args->N, i);
        if (ctx->check_mask && ((*ctx->masks)[geom] & ctx->mask) == 0) continue;
        Hit h;
        h.t = RTCRayN_tfar(args->ray, args->N, i);
        h.mesh = geom;
        h.triangle = RTCHitN_primID(args->hit, args->N, i);
        h.u = RTCHitN_u(args->hit, args->N, i);
        h.v = RTCHitN_v(args->hit, args->N, i);
        h.ng = {RTCHitN_Ng_x(args->hit, args->N, i), RTCHitN_Ng_y(args->hit, args->N, i),
                RTCHitN_Ng_z(args->hit, args->N, i)};
        int at = list.count;
        while (at > 0 && list.hits[at - 1].t >= h.t)
            --at;
        if (at == HitList::kMax) {
            list.complete_to = std::min(list.complete_to, h.t);
            continue;
        }
        if (list.count == HitList::kMax) {
            list.complete_to = std::min(list.complete_to, list.hits[HitList::kMax - 1].t);
            --list.count;
        }
        for (int k = list.count; k > at; --k)
            list.hits[k] = list.hits[k - 1];
        list.hits[at] = h;
        ++list.count;
    }
}

// One Embree device for the whole process: each device starts its own task scheduler
// workers, and a device made while the workers of an earlier one still run makes them read
// its settings as they are being written. Scenes of every frame and session share it; the
// last reference is the process's own.
RTCDevice shared_device() {
    static const RTCDevice device = rtcNewDevice(nullptr);
    return device;
}

} // namespace

// Hairs are seen from outside only. A ray that starts on a hair's surface (a transparency or
// shadow ray leaving it) would otherwise meet the inside of the same tube at once; hits where
// the ray leaves a tube are never wanted.
void hair_outside_only(const RTCFilterFunctionNArguments* args) {
    for (unsigned i = 0; i < args->N; ++i) {
        if (args->valid[i] != -1) continue;
        const float d = RTCRayN_dir_x(args->ray, args->N, i) * RTCHitN_Ng_x(args->hit, args->N, i) +
                        RTCRayN_dir_y(args->ray, args->N, i) * RTCHitN_Ng_y(args->hit, args->N, i) +
                        RTCRayN_dir_z(args->ray, args->N, i) * RTCHitN_Ng_z(args->hit, args->N, i);
        if (d > 0.f) args->valid[i] = 0;
    }
}

GeometryScene::GeometryScene() {
    device_ = shared_device();
    if (!device_) throw std::runtime_error("cannot create the Embree device");
    rtcRetainDevice(device_);
    native16_ = rtcGetDeviceProperty(device_, RTC_DEVICE_PROPERTY_NATIVE_RAY16_SUPPORTED) != 0;
    scene_ = rtcNewScene(device_);
}

GeometryScene::~GeometryScene() {
    for (RTCScene s : visible_)
        if (s) rtcReleaseScene(s);
    if (scene_) rtcReleaseScene(scene_);
    if (device_) rtcReleaseDevice(device_);
}

RTCGeometry GeometryScene::new_mesh(size_t vertices, const std::vector<uint32_t>& triangles,
                                    float*& positions) {
    RTCGeometry geom = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_TRIANGLE);
    positions = static_cast<float*>(rtcSetNewGeometryBuffer(
        geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), vertices + 1));
    // The object's own triangles: a copy would double the largest array of a big mesh.
    if (triangles.empty())
        rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), 0);
    else
        rtcSetSharedGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                   const_cast<uint32_t*>(triangles.data()), 0, 3 * sizeof(uint32_t),
                                   triangles.size() / 3);
    return geom;
}

unsigned GeometryScene::add_curves(const float* points, size_t count, const std::vector<uint32_t>& first,
                                   int degree, unsigned mask) {
    has_curves_ = true;
    RTCGeometry geom = rtcNewGeometry(device_, degree == 1 ? RTC_GEOMETRY_TYPE_ROUND_LINEAR_CURVE
                                                           : RTC_GEOMETRY_TYPE_ROUND_BEZIER_CURVE);
    rtcSetSharedGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT4, points, 0,
                               4 * sizeof(float), count);
    if (first.empty())
        rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT, sizeof(unsigned), 0);
    else
        rtcSetSharedGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT,
                                   const_cast<uint32_t*>(first.data()), 0, sizeof(uint32_t), first.size());
    rtcSetGeometryIntersectFilterFunction(geom, hair_outside_only);
    rtcSetGeometryOccludedFilterFunction(geom, hair_outside_only);
    return attach(geom, mask);
}

unsigned GeometryScene::attach(RTCGeometry geom, unsigned mask) {
    rtcCommitGeometry(geom);
    const unsigned id = rtcAttachGeometry(scene_, geom);
    rtcReleaseGeometry(geom);
    if (id >= masks_.size()) masks_.resize(id + 1, 0);
    masks_[id] = mask;
    geom_ids_.push_back(id);
    return id;
}

void GeometryScene::bounds(miVector& lower, miVector& upper) const {
    RTCBounds b;
    rtcGetSceneBounds(scene_, &b);
    lower = {b.lower_x, b.lower_y, b.lower_z};
    upper = {b.upper_x, b.upper_y, b.upper_z};
}

void GeometryScene::commit() {
    for (unsigned mask = 1; mask < 8; ++mask) {
        needs_filter_[mask] = false;
        for (unsigned m : masks_)
            if ((m & mask) == 0) needs_filter_[mask] = true;
    }
    for (unsigned kind : {kMaskEye, kMaskTrace, kMaskShadow}) {
        if (!needs_filter_[kind] || visible_[kind]) continue;
        visible_[kind] = rtcNewScene(device_);
        for (unsigned id : geom_ids_)
            if (masks_[id] & kind) rtcAttachGeometryByID(visible_[kind], rtcGetGeometry(scene_, id), id);
    }
    apply_flags();
    committed_ = true;
}

void GeometryScene::set_coincident(bool on) {
    if (on == coincident_) return;
    coincident_ = on;
    if (committed_) apply_flags();
}

float GeometryScene::coincidence(const miVector& p) {
    const float m = std::max(std::fabs(p.x), std::max(std::fabs(p.y), std::fabs(p.z)));
    return 1e-5f * (1.f + m);
}

void GeometryScene::apply_flags() {
    // The full scene filters by mask only for kinds of ray that have no scene of their own.
    bool any = coincident_;
    for (unsigned mask = 1; mask < 8; ++mask)
        any = any || (needs_filter_[mask] && !visible_[mask]);
    auto commit_one = [&](RTCScene scene, bool filters) {
        // Robust kernels keep meshes watertight: a ray along a shared edge meets one of its
        // triangles, which materials that count the surfaces a ray crosses rely on.
        rtcSetSceneFlags(
            scene, RTCSceneFlags(RTC_SCENE_FLAG_ROBUST |
                                 (filters ? RTC_SCENE_FLAG_CONTEXT_FILTER_FUNCTION : RTC_SCENE_FLAG_NONE)));
        if (cancel_) {
            // A long build stops when asked; the scene is then left empty.
            rtcSetSceneProgressMonitorFunction(
                scene, [](void* flag, double) { return !static_cast<std::atomic<bool>*>(flag)->load(); },
                cancel_);
        }
        rtcCommitScene(scene);
    };
    // Shadow rays collect their hits through a context filter.
    commit_one(scene_, any || !visible_[kMaskShadow]);
    for (unsigned kind = 1; kind < 8; ++kind)
        if (visible_[kind]) commit_one(visible_[kind], coincident_ || kind == kMaskShadow);
}

namespace {

RTCRay make_ray(const miVector& org, const miVector& dir, float tnear, float tfar) {
    RTCRay ray;
    ray.org_x = org.x;
    ray.org_y = org.y;
    ray.org_z = org.z;
    ray.dir_x = dir.x;
    ray.dir_y = dir.y;
    ray.dir_z = dir.z;
    ray.tnear = tnear;
    ray.tfar = tfar;
    ray.time = 0.f;
    ray.mask = 0xffffffffu;
    ray.id = 0;
    ray.flags = 0;
    return ray;
}

} // namespace

void GeometryScene::init_context(MaskContext& ctx, unsigned mask, bool ordered) const {
    rtcInitIntersectContext(&ctx.base);
    ctx.masks = &masks_;
    ctx.mask = mask;
    ctx.check_mask = needs_filter_[mask & 7] && !visible_[mask & 7];
    // Usually every mesh is seen by every ray kind; the filter only runs when some mesh is
    // hidden from this one. The coincident filter orders closest hits; a query for any
    // occluder needs no order.
    if (ordered && coincident_)
        ctx.base.filter = coincident_filter;
    else if (ctx.check_mask)
        ctx.base.filter = mask_filter;
}

bool GeometryScene::closest(MaskContext& ctx, const miVector& org, const miVector& dir, float tnear,
                            float tfar, Hit& hit) const {
    RTCRayHit rh;
    rh.ray = make_ray(org, dir, tnear, tfar);
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    rtcIntersect1(scene_for(ctx.mask), &ctx.base, &rh);
    const bool entering = rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
    if (entering) {
        hit.t = rh.ray.tfar;
        hit.mesh = rh.hit.geomID;
        hit.triangle = rh.hit.primID;
        hit.u = rh.hit.u;
        hit.v = rh.hit.v;
        hit.ng = {rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z};
    }
    if (!ctx.has_leaving) return entering;
    // A surface the ray leaves wins only when it lies clearly before the one it enters.
    if (entering && ctx.leaving.t >= hit.t - coincidence(org + dir * hit.t)) return true;
    hit = ctx.leaving;
    return true;
}

bool GeometryScene::intersect(const miVector& org, const miVector& dir, float tnear, float tfar,
                              unsigned mask, Hit& hit) const {
    MaskContext ctx;
    init_context(ctx, mask, true);
    return closest(ctx, org, dir, tnear, tfar, hit);
}

bool GeometryScene::intersect_from(const miVector& org, const miVector& dir, const Departure& from,
                                   float tfar, unsigned mask, Hit& hit) const {
    if (!coincident_) return intersect(org, dir, from.offset, tfar, mask, hit);
    MaskContext ctx;
    init_context(ctx, mask, true);
    ctx.from = &from;
    ctx.back = from.offset;
    ctx.behind = coincidence(org);
    // Started behind the origin, so that a surface through the origin lies well inside the
    // ray's range whatever rounding put the origin on one side of it.
    if (!closest(ctx, org - dir * ctx.back, dir, 0.f, tfar + ctx.back, hit)) return false;
    hit.t = std::max(hit.t - ctx.back, 0.f);
    return true;
}

namespace {

// Lanes [first, first + N) of a packet through Embree's packet call of width N; lanes from
// `n` on are switched off.
template <int N, typename RayHitN, typename Intersect>
void trace_lanes(const GeometryScene::Packet& r, int first, int n, RTCScene scene, Hit* hits, bool* found,
                 Intersect intersect) {
    RayHitN p;
    alignas(64) int valid[N];
    for (int j = 0; j < N; ++j) {
        const int k = first + j;
        valid[j] = k < n ? -1 : 0;
        p.ray.org_x[j] = r.org_x[k];
        p.ray.org_y[j] = r.org_y[k];
        p.ray.org_z[j] = r.org_z[k];
        p.ray.dir_x[j] = r.dir_x[k];
        p.ray.dir_y[j] = r.dir_y[k];
        p.ray.dir_z[j] = r.dir_z[k];
        p.ray.tnear[j] = r.tnear[k];
        p.ray.tfar[j] = r.tfar[k];
        p.ray.time[j] = 0.f;
        p.ray.mask[j] = 0xffffffffu;
        p.ray.id[j] = 0;
        p.ray.flags[j] = 0;
        p.hit.geomID[j] = RTC_INVALID_GEOMETRY_ID;
        p.hit.instID[0][j] = RTC_INVALID_GEOMETRY_ID;
    }
    RTCIntersectContext ctx;
    rtcInitIntersectContext(&ctx);
    ctx.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
    intersect(valid, scene, &ctx, &p);
    for (int j = 0; j < N && first + j < n; ++j) {
        const int k = first + j;
        found[k] = p.hit.geomID[j] != RTC_INVALID_GEOMETRY_ID;
        if (!found[k]) continue;
        Hit& h = hits[k];
        h.t = p.ray.tfar[j];
        h.mesh = p.hit.geomID[j];
        h.triangle = p.hit.primID[j];
        h.u = p.hit.u[j];
        h.v = p.hit.v[j];
        h.ng = {p.hit.Ng_x[j], p.hit.Ng_y[j], p.hit.Ng_z[j]};
    }
}

} // namespace

void GeometryScene::intersect_packet(int n, const Packet& r, unsigned mask, Hit* hits, bool* found) const {
    static_assert(kPacket == 16, "packets of 16 lanes, or two of 8");
    // Where the CPU has no 16-wide vectors, Embree would only split the packet itself.
    if (native16_) {
        trace_lanes<16, RTCRayHit16>(r, 0, n, scene_, hits, found, rtcIntersect16);
    } else {
        trace_lanes<8, RTCRayHit8>(r, 0, n, scene_, hits, found, rtcIntersect8);
        if (n > 8) trace_lanes<8, RTCRayHit8>(r, 8, n, scene_, hits, found, rtcIntersect8);
    }
    for (int k = 0; k < n; ++k) {
        if (!found[k]) continue;
        Hit& h = hits[k];
        // Packets compute the same distances as single rays, but where two triangles tie (a
        // ray through their shared edge or vertex) they may keep the other one. Such rays
        // are traced again one by one, so the choice never depends on the packet.
        if (std::min(std::min(h.u, h.v), 1.f - h.u - h.v) < 1e-4f)
            found[k] = intersect({r.org_x[k], r.org_y[k], r.org_z[k]}, {r.dir_x[k], r.dir_y[k], r.dir_z[k]},
                                 r.tnear[k], r.tfar[k], mask, h);
    }
}

bool GeometryScene::collect(const miVector& org, const miVector& dir, float tnear, float tfar, unsigned mask,
                            HitList& list) const {
    // A curve's hit found while the ray looks farther may differ in its last bits from the one
    // a query that starts behind the previous hit finds.
    if (coincident_ || has_curves_) return false;
    MaskContext ctx;
    init_context(ctx, mask, false);
    ctx.base.filter = collect_filter;
    ctx.list = &list;
    list.count = 0;
    list.complete_to = INFINITY;
    RTCRayHit rh;
    rh.ray = make_ray(org, dir, tnear, tfar);
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    rtcIntersect1(scene_for(mask), &ctx.base, &rh);
    return true;
}

bool GeometryScene::occluded(const miVector& org, const miVector& dir, float tnear, float tfar,
                             unsigned mask) const {
    MaskContext ctx;
    init_context(ctx, mask, false);
    RTCRay ray = make_ray(org, dir, tnear, tfar);
    rtcOccluded1(scene_for(mask), &ctx.base, &ray);
    return ray.tfar < 0.f;
}

} // namespace orn
