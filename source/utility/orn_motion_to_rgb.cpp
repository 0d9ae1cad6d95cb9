// The motion vector of the hit as a colour, in one of five encodings, and the largest
// screen displacement seen by the shader instance, printed when the instance ends.
#include "source/utility/orn_motion_to_rgb.h"

#include "common/conventions.h"

#include <atomic>
#include <cmath>
#include <new>

namespace {

struct MotionRecord {
    miInteger output_mode;
    miInteger max_pixels;
    // Written by every render thread; only ever raised.
    std::atomic<miInteger> max_displacement;
};
static_assert(sizeof(std::atomic<miInteger>) == 4 && std::atomic<miInteger>::is_always_lock_free,
              "the running maximum is one lock-free 32-bit word");

void raise_to(std::atomic<miInteger>& maximum, miInteger value) {
    miInteger seen = maximum.load(std::memory_order_relaxed);
    while (value > seen && !maximum.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

miVector add(const miVector& a, const miVector& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}

} // namespace

ORN_SHADER miBoolean orn_motion_to_rgb_init(miState* state, orn_motion_to_rgb_params* paras,
                                            miBoolean* inst_init_req) {
    if (!paras) {
        if (inst_init_req) *inst_init_req = miTRUE;
        return miTRUE;
    }
    void* mem = mi_mem_allocate(int(sizeof(MotionRecord)));
    void** slot = orn::instance_slot(state);
    if (!mem || !slot) return miTRUE;
    auto* rec = new (mem) MotionRecord{0, 0, {0}};
    *slot = rec;
    rec->output_mode = mi_eval_integer(&paras->output_mode);
    rec->max_pixels = mi_eval_integer(&paras->max_pixels);
    if ((rec->output_mode == 3 || rec->output_mode == 4) && rec->max_pixels <= 0) {
        // Modes 3 and 4 divide by it: 0 or less would fill the image with NaN and infinities.
        mi_warning("orn_motion_to_rgb: max_pixels %i is not above 0; 1 is used", rec->max_pixels);
        rec->max_pixels = 1;
    }
    return miTRUE;
}

ORN_SHADER miBoolean orn_motion_to_rgb_exit(miState* state, orn_motion_to_rgb_params* paras) {
    if (!paras) return miTRUE;
    void** slot = orn::instance_slot(state);
    if (!slot || !*slot) return miTRUE;
    auto* rec = static_cast<MotionRecord*>(*slot);
    mi_info("orn_motion_to_rgb: Max Displace -> %i pixels", rec->max_displacement.load());
    rec->~MotionRecord();
    mi_mem_release(rec);
    *slot = nullptr;
    return miTRUE;
}

ORN_SHADER_VERSION(orn_motion_to_rgb, 4)
ORN_SHADER miBoolean orn_motion_to_rgb(miColor* result, miState* state, orn_motion_to_rgb_params* paras) {
    (void)paras;
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    auto* rec = orn::instance_record<MotionRecord>(state);
    if (!rec) return miFALSE;
    const miInteger mode = rec->output_mode;
    miVector m = state->motion, mc;
    mi_vector_to_camera(state, &mc, &m);

    const float length = std::sqrt(m.x * m.x + m.y * m.y + m.z * m.z);
    if (!(length > 1e-5f)) {
        if (mode <= 2) {
            result->r = result->g = result->b = 0.f;
        } else if (mode <= 4) {
            result->r = result->g = 0.5f;
            result->b = 0.f;
        } else {
            // Nothing defined for a static point: the camera-space motion, which is zero.
            result->r = mc.x;
            result->g = mc.y;
            result->b = mc.z;
        }
        result->a = 1.f;
        return miTRUE;
    }

    miVector pw, mw, w, p, raster;
    mi_point_to_world(state, &pw, &state->point);
    mi_vector_to_world(state, &mw, &m);
    w = add(pw, mw);
    mi_point_from_world(state, &p, &w);
    mi_point_to_raster(state, &raster, &p);
    const float dx = raster.x - state->raster_x, dy = raster.y - state->raster_y;
    const float e = std::sqrt(dx * dx + dy * dy);
    if (!(e > 1e-5f) && (mode == 3 || mode == 4)) {
        result->r = result->g = 0.5f;
        result->b = 0.f;
        result->a = 1.f;
        return miTRUE;
    }
    if (e < 2147483647.f) raise_to(rec->max_displacement, miInteger(e));

    const float max_pixels = float(rec->max_pixels);
    switch (mode) {
    case 1:
    case 2: {
        miVector from, to, moved = add(state->point, m);
        mi_point_to_raster(state, &from, &state->point);
        mi_point_to_raster(state, &to, &moved);
        const float sx = to.x - from.x, sy = to.y - from.y;
        if (mode == 1) {
            result->r = sx;
            result->g = sy;
        } else {
            const float sxp = sx > 0.f ? sx + 0.001f : sx - 0.001f;
            float a = std::atan(std::fabs(sy) / std::fabs(sxp)) * 57.29578f;
            if (sxp < 0.f && sy >= 0.f) a = 180.f - a;
            if (sxp <= 0.f && sy < 0.f) a = a + 180.f;
            if (sxp > 0.f && sy <= 0.f) a = 360.f - a;
            result->r = a / 360.f;
            result->g = std::sqrt(sy * sy + sxp * sxp);
        }
        result->b = 0.f;
        break;
    }
    case 3:
        result->r = (1.f - dx / e) * 0.5f;
        result->g = (1.f - dy / e) * 0.5f;
        result->b = e / max_pixels;
        break;
    case 4:
        result->r = (1.f - dx / max_pixels) * 0.5f;
        result->g = (1.f - dy / max_pixels) * 0.5f;
        result->b = 0.f;
        break;
    default:
        result->r = mc.x;
        result->g = mc.y;
        result->b = mc.z;
        break;
    }
    result->a = 1.f;
    return miTRUE;
}
