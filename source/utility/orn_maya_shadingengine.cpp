// Shading-group output: passes a material colour through with the group's matte and
// transparency values, optionally shading with a replaced normal.
#include "source/utility/orn_utility.h"

#include "common/conventions.h"

namespace {

void grey(miColor* c, float v) {
    c->r = c->g = c->b = v;
}

} // namespace

ORN_SHADER_VERSION(orn_maya_shadingengine, 2)
ORN_SHADER miBoolean orn_maya_shadingengine(orn_maya_shadingengine_result* result, miState* state,
                                            orn_maya_shadingengine_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    if (mi_eval_boolean(&paras->override_normal)) {
        miVector n = *mi_eval_vector(&paras->normal);
        orn::normalize(&n);
        state->normal = n;
        state->dot_nd = orn::dot(state->dir, n);
    }
    const miColor color = *mi_eval_color(&paras->color);
    const miInteger mode = mi_eval_integer(&paras->matte_mode);
    const miScalar value = mi_eval_scalar(&paras->matte_value);
    result->out_color = color;
    grey(&result->out_black, 0.f);
    if (mode == 0) {
        grey(&result->out_color, 0.f); // alpha stays: the group still covers the pixel
        grey(&result->out_matte, 0.f);
        grey(&result->out_transparency, 0.f);
    } else if (mode == 1 || (state->type != miRAY_EYE && state->type != miRAY_TRANSPARENT)) {
        grey(&result->out_matte, value);
        grey(&result->out_transparency, 0.f);
    } else {
        grey(&result->out_matte, value * color.a);
        grey(&result->out_transparency, 1.f - color.a);
    }
    return miTRUE;
}
