// Small conversion shaders wired between other shaders: colours and vectors from
// scalars, scalars from colours, a constant, and a colour over what lies behind.
#include "source/utility/orn_conversion.h"

#include "common/conventions.h"
#include "common/light_groups.h"

#include <algorithm>

// ------------------------------------------------------------------ orn_constant

ORN_SHADER_VERSION(orn_constant, 2)
ORN_SHADER miBoolean orn_constant(miColor* result, miState* state, orn_constant_params* paras) {
    *result = *mi_eval_color(&paras->color);
    if (mi_eval_boolean(&paras->override_alpha)) result->a = mi_eval_scalar(&paras->alpha);
    return miTRUE;
}

// ------------------------------------------------------------------ orn_color_plus_alpha

// Traces through the surface: straight on for an index of 1, refracted otherwise.
static void look_through(miColor* result, miState* state, miScalar ior) {
    if (ior == 1.f) {
        mi_trace_transparent(result, state);
    } else {
        miVector dir;
        mi_transmission_dir_specular(&dir, state, ior, 1.f);
        mi_trace_refraction(result, state, &dir);
    }
}

ORN_SHADER_VERSION(orn_color_plus_alpha, 2)
ORN_SHADER miBoolean orn_color_plus_alpha(miColor* result, miState* state,
                                          orn_color_plus_alpha_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    const miScalar o = mi_eval_scalar(&paras->opacity);
    const miScalar ior = mi_eval_scalar(&paras->ior);
    if (double(o) < 0.0001) {
        look_through(result, state, ior);
        orn::GroupShares::pass_through(state);
        return miTRUE;
    }
    if (o == 1.f) {
        const miColor c = *mi_eval_color(&paras->color);
        *result = {c.r, c.g, c.b, 1.f};
        return miTRUE;
    }
    const miColor c = *mi_eval_color(&paras->color);
    miColor behind = {0.f, 0.f, 0.f, 0.f};
    look_through(&behind, state, ior);
    result->r = (1.f - o) * behind.r + o * c.r;
    result->g = (1.f - o) * behind.g + o * c.g;
    result->b = (1.f - o) * behind.b + o * c.b;
    result->a = std::clamp(o + behind.a, 0.f, 1.f);
    orn::GroupShares::pass_through(state, 1.f - o);
    return miTRUE;
}

// ------------------------------------------------------------------ orn_color_to_float

ORN_SHADER_VERSION(orn_color_to_float, 2)
ORN_SHADER miBoolean orn_color_to_float(miScalar* result, miState* state, orn_color_to_float_params* paras) {
    const miInteger invert = mi_eval_integer(&paras->invert);
    const miColor c = *mi_eval_color(&paras->color);
    miScalar value;
    switch (mi_eval_integer(&paras->channel)) {
    case 0:
        value = c.r;
        break;
    case 1:
        value = c.g;
        break;
    case 2:
        value = c.b;
        break;
    case 3:
        value = c.a;
        break;
    case 5:
        value = 0.299f * c.r + 0.587f * c.g + 0.114f * c.b;
        break;
    default:
        value = (c.r + c.g + c.b) / 3.f;
        break;
    }
    // The maximum is tested first, so it wins when the range is inverted.
    const miScalar max_value = mi_eval_scalar(&paras->max_value);
    const miScalar min_value = mi_eval_scalar(&paras->min_value);
    if (value > max_value)
        value = max_value;
    else if (value < min_value)
        value = min_value;
    if (invert == 1) value = 1.f - value;
    *result = value;
    return miTRUE;
}

// ------------------------------------------------------------------ vectors and colours from scalars

ORN_SHADER_VERSION(orn_float2_to_vector, 2)
ORN_SHADER miBoolean orn_float2_to_vector(miVector* result, miState* state,
                                          orn_float2_to_vector_params* paras) {
    result->x = mi_eval_scalar(&paras->x);
    result->y = mi_eval_scalar(&paras->y);
    // z is left as the caller's result holds it
    return miTRUE;
}

ORN_SHADER_VERSION(orn_float3_to_vector, 2)
ORN_SHADER miBoolean orn_float3_to_vector(miVector* result, miState* state,
                                          orn_float3_to_vector_params* paras) {
    result->x = mi_eval_scalar(&paras->x);
    result->y = mi_eval_scalar(&paras->y);
    result->z = mi_eval_scalar(&paras->z);
    return miTRUE;
}

ORN_SHADER_VERSION(orn_float4_to_color, 2)
ORN_SHADER miBoolean orn_float4_to_color(miColor* result, miState* state, orn_float4_to_color_params* paras) {
    result->r = mi_eval_scalar(&paras->r);
    result->g = mi_eval_scalar(&paras->g);
    result->b = mi_eval_scalar(&paras->b);
    result->a = mi_eval_scalar(&paras->a);
    float* c[4] = {&result->r, &result->g, &result->b, &result->a};
    if (mi_eval_boolean(&paras->clamp_low))
        for (float* v : c)
            if (*v < 0.f) *v = 0.f;
    if (mi_eval_boolean(&paras->clamp_high))
        for (float* v : c)
            if (*v > 1.f) *v = 1.f;
    return miTRUE;
}
