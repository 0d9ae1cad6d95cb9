// Eye rays of a packet computed several lanes at a time with the arithmetic of
// Frame::eye_ray(): the same IEEE operations in the same order give the same bits.
#pragma once

#include "host/shader.h"
#include "trace/geometry_scene.h"

#include <cmath>

namespace orn {

struct EyeConstants {
    float xoff, yoff, xres, yres, aperture, aspect;
    miVector x, y, f; // camera axes in world space, f = z * focal
    miVector view_z, origin;
    float near, far; // clip range
};

// Perspective rays: packet directions, clip ranges and origins, and the camera directions of
// the root states (cx, cy, cz). O is the vector width's operations.
template <typename O>
inline void eye_lanes(const EyeConstants& e, const float* rx, const float* ry, GeometryScene::Packet& p,
                      float* cx, float* cy, float* cz) {
    using V = typename O::V;
    const V xoff = O::set(e.xoff), yoff = O::set(e.yoff), xres = O::set(e.xres), yres = O::set(e.yres);
    const V half = O::set(0.5f), aperture = O::set(e.aperture), aspect = O::set(e.aspect);
    const V ax = O::set(e.x.x), ay = O::set(e.x.y), az = O::set(e.x.z);
    const V bx = O::set(e.y.x), by = O::set(e.y.y), bz = O::set(e.y.z);
    const V fx = O::set(e.f.x), fy = O::set(e.f.y), fz = O::set(e.f.z);
    const V zero = O::set(0.f), one = O::set(1.f);
    const V vzx = O::set(e.view_z.x), vzy = O::set(e.view_z.y), vzz = O::set(e.view_z.z);
    const V least = O::set(1e-8f), near = O::set(e.near), far = O::set(e.far), inf = O::set(INFINITY);
    constexpr int K = GeometryScene::kPacket;
    static_assert(K % O::width == 0, "packets of whole vectors");
    for (int k = 0; k < K; k += O::width) {
        const V x = O::sub(O::div(O::sub(O::load(rx + k), xoff), xres), half);
        const V y = O::sub(O::div(O::sub(O::load(ry + k), yoff), yres), half);
        const V px = O::mul(x, aperture);
        const V py = O::div(O::mul(y, aperture), aspect);
        const V vx = O::sub(O::add(O::mul(ax, px), O::mul(bx, py)), fx);
        const V vy = O::sub(O::add(O::mul(ay, px), O::mul(by, py)), fy);
        const V vz = O::sub(O::add(O::mul(az, px), O::mul(bz, py)), fz);
        // normalized() twice: the camera direction, then the traced one.
        const V l = O::sqrt(O::add(O::add(O::mul(vx, vx), O::mul(vy, vy)), O::mul(vz, vz)));
        const V inv = O::div(one, l), lm = O::gt(l, zero);
        const V ux = O::pick(lm, O::mul(vx, inv), vx), uy = O::pick(lm, O::mul(vy, inv), vy),
                uz = O::pick(lm, O::mul(vz, inv), vz);
        const V l2 = O::sqrt(O::add(O::add(O::mul(ux, ux), O::mul(uy, uy)), O::mul(uz, uz)));
        const V inv2 = O::div(one, l2), lm2 = O::gt(l2, zero);
        const V dx = O::pick(lm2, O::mul(ux, inv2), ux), dy = O::pick(lm2, O::mul(uy, inv2), uy),
                dz = O::pick(lm2, O::mul(uz, inv2), uz);
        const V depth = O::abs(O::add(O::add(O::mul(dx, vzx), O::mul(dy, vzy)), O::mul(dz, vzz)));
        const V clipped = O::gt(depth, least);
        O::store(cx + k, ux);
        O::store(cy + k, uy);
        O::store(cz + k, uz);
        O::store(p.dir_x + k, dx);
        O::store(p.dir_y + k, dy);
        O::store(p.dir_z + k, dz);
        O::store(p.tnear + k, O::pick(clipped, O::div(near, depth), zero));
        O::store(p.tfar + k, O::pick(clipped, O::div(far, depth), inf));
        O::store(p.org_x + k, O::set(e.origin.x));
        O::store(p.org_y + k, O::set(e.origin.y));
        O::store(p.org_z + k, O::set(e.origin.z));
    }
}

// Four lanes at a time, and eight on processors with AVX (its own file, compiled for AVX).
void eye_lanes_sse(const EyeConstants& e, const float* rx, const float* ry, GeometryScene::Packet& p,
                   float* cx, float* cy, float* cz);
void eye_lanes_avx(const EyeConstants& e, const float* rx, const float* ry, GeometryScene::Packet& p,
                   float* cx, float* cy, float* cz);

} // namespace orn
