// Shadow shader for tinted, partly transparent shadows: weaker at grazing angles if asked,
// fading with the distance from the light under segment shadows, and only for the lights it
// names.
#include "source/lights/orn_shadow_transparency.h"

#include "common/conventions.h"
#include "common/light_record.h"
#include "common/passages.h"

#include <algorithm>
#include <cmath>

namespace {

float clamp01(float x) {
    return x > 0.f ? (x < 1.f ? x : 1.f) : 0.f; // NaN gives 0
}

// How far the shadow fades at distance d from the light: 0 before the start, 1 past the end.
float fade_amount(float d, float start, float end) {
    if (d <= start) return 0.f;
    if (d >= end) return 1.f;
    return (d - start) / (end - start);
}

} // namespace

ORN_SHADER_VERSION(orn_shadow_transparency, 1)
ORN_SHADER miBoolean orn_shadow_transparency(miColor* result, miState* state,
                                             orn_shadow_transparency_params* paras) {
    if (state->type != miRAY_SHADOW) return miFALSE;
    const miInteger mode = mi_eval_integer(&paras->light_mode);
    if (mode < 3) {
        const miInteger first = mi_eval_integer(&paras->i_lights);
        const miInteger count = mi_eval_integer(&paras->n_lights);
        miTag* lights = static_cast<miTag*>(mi_eval(state, paras->lights)) + first;
        if (!orn::light_filter_passes(state, mode, lights, count)) return miTRUE;
    }

    const miColor shadow_color = *mi_eval_color(&paras->shadow_color);
    float t = mi_eval_scalar(&paras->transparency);
    if (mi_eval_boolean(&paras->invert)) t = 1.f - t;
    t = clamp01(t);
    const float strength = std::max(mi_eval_scalar(&paras->fade_strength), t);
    const miScalar facing = mi_eval_scalar(&paras->facing_weight);
    if (facing != 0.f && t != 0.f) {
        miVector N = state->normal, V = {-state->dir.x, -state->dir.y, -state->dir.z};
        orn::normalize(&N);
        orn::normalize(&V);
        t = std::fabs(orn::dot(N, V)) * t * facing + (1.f - facing) * t;
    }

    const bool segments = state->options && state->options->shadow == 's';
    float F = 0.f;
    const bool fade = segments && mi_eval_boolean(&paras->distance_fade);
    if (fade)
        F = fade_amount(float(state->dist), mi_eval_scalar(&paras->fade_start),
                        mi_eval_scalar(&paras->fade_end));
    if (segments && t > 0.0001f) {
        orn::set_segment_volume(state, false);
        mi_trace_shadow_seg(result, state);
    }
    result->r *= (1.f - t) * shadow_color.r + t;
    result->g *= (1.f - t) * shadow_color.g + t;
    result->b *= (1.f - t) * shadow_color.b + t;
    // The fade lightens the shadow of the occluder nearest the light only.
    if (fade && F != 0.f && !(state->parent && state->parent->type == miRAY_SHADOW)) {
        F *= strength;
        result->r = (1.f - F) * result->r + F;
        result->g = (1.f - F) * result->g + F;
        result->b = (1.f - F) * result->b + F;
    }
    return result->r != 0.f || result->g != 0.f || result->b != 0.f ? miTRUE : miFALSE;
}
