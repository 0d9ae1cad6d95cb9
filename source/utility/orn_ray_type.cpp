// Picks a colour by the type of the ray; only the chosen colour is evaluated.
#include "source/utility/orn_ray_type.h"

#include "common/conventions.h"

static miColor* pick(miState* state, orn_ray_type_params* paras) {
    switch (state->type) {
    case miRAY_REFLECT:
        if (mi_eval_boolean(&paras->reflect_enable) &&
            state->reflection_level >= mi_eval_integer(&paras->reflect_min_level))
            return &paras->reflect_color;
        break;
    case miRAY_REFRACT:
        if (mi_eval_boolean(&paras->refract_enable) &&
            state->refraction_level >= mi_eval_integer(&paras->refract_min_level))
            return &paras->refract_color;
        break;
    case miRAY_TRANSPARENT:
        if (mi_eval_boolean(&paras->transparent_enable) &&
            state->refraction_level >= mi_eval_integer(&paras->transparent_min_level))
            return &paras->transparent_color;
        break;
    case miRAY_FINALGATHER:
        if (mi_eval_integer(&paras->finalgather_enable) == 1) return &paras->finalgather_color;
        break;
    case miRAY_ENVIRONMENT:
        if (mi_eval_integer(&paras->environment_enable) == 1) return &paras->environment_color;
        break;
    default:
        break;
    }
    return &paras->default_color;
}

ORN_SHADER_VERSION(orn_ray_type, 3)
ORN_SHADER miBoolean orn_ray_type(miColor* result, miState* state, orn_ray_type_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    *result = *mi_eval_color(pick(state, paras));
    return miTRUE;
}
