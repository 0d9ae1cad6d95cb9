// orn_MegaTK's tk passes. Surfaces behind a transparent one are shaded first (through the
// transparency ray it traces), so each surface composites its values over theirs:
// new = old × (1 − g) + g × value. Under the rasteriser the renderer layers the surfaces
// itself and applies the opacity, so values go in unweighted.
#include "source/toolkit/orn_MegaTK_passes.h"

#include "common/tk_buffers.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace orn::megatk {

namespace {

static_assert(kPassCount == kTkBufferCount, "one pass switch per tk pass buffer");

constexpr float kMinOpacity = 0.0001f; // at or below this the surface adds nothing
constexpr float kOpaque = 0.9999f;     // at or above this nothing behind shows through

// Any order gives the same buffers; depth goes last because it composites differently.
constexpr int kWriteOrder[kPassCount] = {
    kTkShading,       kTkColor,         kTkDiffuse,       kTkShadow,        kTkSpecular,
    kTkSpecShd,       kTkDiffOccl,      kTkAmbient,       kTkAmbOcclus,     kTkIndirect,
    kTkReflect,       kTkRefract,       kTkIncand,        kTkBent,          kTkSpecialC1,
    kTkSpecialC1 + 1, kTkSpecialC1 + 2, kTkSpecialC1 + 3, kTkSpecialC1 + 4, kTkSpecialC1 + 5,
    kTkSpecialC1 + 6, kTkSpecialC1 + 7, kTkSpecialC1 + 8, kTkSpecialC1 + 9, kTkZ,
};

bool rasteriser(const miState* state) {
    return state->options && state->options->scanline == 'r';
}

miColor product(const miColor& a, const miColor& b) {
    return {a.r * b.r, a.g * b.g, a.b * b.b, 0.f};
}

void scale(miColor* c, float s) {
    c->r *= s;
    c->g *= s;
    c->b *= s;
}

// The depth of the incoming ray for tk_z (when depth_on): red for eye and transparency
// rays, green for reflection and blue for refraction rays, each where its switch asks for it.
struct Depth {
    float r = 0.f, g = 0.f, b = 0.f;
    float range = 1.f; // what an inverted depth is subtracted from
};

Depth depth_of(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst) {
    Depth z;
    if (!inst.depth_on && !(inst.depth_invert && inst.depth_raw)) return z;
    const float near = mi_eval_scalar(&paras->depth_near);
    const float far = mi_eval_scalar(&paras->depth_far);
    if (inst.depth_raw) z.range = far - near;
    if (!inst.depth_on) return z;
    const float d = float(state->dist);
    // A zero range would put infinities into the depth pass; it counts as a range of 1.
    const float k = inst.depth_raw || far - near == 0.f ? 1.f : far - near;
    switch (state->type) {
    case miRAY_EYE:
        // not std::clamp: near > far must not be undefined
        z.r = (std::min(std::max(d, near), far) - near) / k;
        break;
    case miRAY_TRANSPARENT:
        if (inst.depth_transparent) z.r = std::min(d, far) / k;
        break;
    case miRAY_REFLECT:
        if (inst.depth_reflect) z.g = std::min(d, far) / k;
        break;
    case miRAY_REFRACT:
        if (inst.depth_refract) z.b = std::min(d, far) / k;
        break;
    default:
        break;
    }
    return z;
}

bool any_enabled(const megatk_pass_slot* slots) {
    return std::any_of(slots, slots + kPassCount,
                       [](const megatk_pass_slot& s) { return s.enabled.load(std::memory_order_relaxed); });
}

} // namespace

void write_passes(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst,
                  const PassComponents& in) {
    if (state->type != miRAY_EYE && state->type != miRAY_TRANSPARENT) return;
    // The pass slots are the one part of the shared record that shading updates.
    megatk_pass_slot* slots = const_cast<megatk_pass_slot*>(inst.passes);
    if (!any_enabled(slots)) return;

    const float g = in.g;
    const float T = 1.f - g;
    const bool adds = g > kMinOpacity;

    miColor value[kPassCount];
    value[kTkShading] = product(in.Cao, in.D_shd);
    value[kTkColor] = in.Cao;
    value[kTkDiffuse] = in.D_uns;
    value[kTkShadow] = in.D_shd;
    value[kTkSpecular] = in.S_uns;
    value[kTkSpecShd] = in.S_shd;
    value[kTkDiffOccl] = in.O;
    value[kTkIndirect] = in.Ind;
    value[kTkAmbient] = in.Amb;
    value[kTkAmbOcclus] = in.AmbO;
    value[kTkReflect] = in.R;
    value[kTkRefract] = in.Tr;
    value[kTkIncand] = in.Inc;
    value[kTkZ] = miColor{0.f, 0.f, 0.f, 0.f}; // composited from `z` below
    value[kTkBent] = in.B;
    for (int k = 0; k < kSpecialCount; ++k)
        value[kTkSpecialC1 + k] = in.special[k];

    Depth z;
    if (slots[kTkZ].enabled.load(std::memory_order_relaxed)) z = depth_of(state, paras, inst);

    if (g < kOpaque && !rasteriser(state)) {
        for (miColor& v : value)
            scale(&v, g);
        // red is not weighted: the nearest surface's own depth counts in full
        z.g *= g;
        z.b *= g;
    }

    for (const int k : kWriteOrder) {
        const int32_t index = orn::tk_slot_index(state, slots[k], k);
        if (index < 0) continue;
        miColor c{0.f, 0.f, 0.f, 0.f};
        mi_fb_get(state, index, &c);
        if (k == kTkZ) {
            c.r = c.r * T + z.r;
            c.g += z.g;
            c.b += z.b;
            if (inst.depth_invert && state->type == miRAY_EYE) {
                c.r = z.range - c.r;
                c.g = z.range - c.g;
                c.b = z.range - c.b;
            }
        } else if (adds || (k != kTkDiffOccl && k != kTkAmbOcclus)) {
            c.r = c.r * T + value[k].r;
            c.g = c.g * T + value[k].g;
            c.b = c.b * T + value[k].b;
        }
        mi_fb_put(state, index, &c);
    }
}

} // namespace orn::megatk
