// The renderer's indirect light at the hit, tinted.
#include "source/utility/orn_utility.h"

#include "common/conventions.h"

ORN_SHADER_VERSION(orn_irradiance, 2)
ORN_SHADER miBoolean orn_irradiance(miColor* result, miState* state, orn_irradiance_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    // Without photons or final gathering there is no estimate; the tint then applies to black.
    *result = {0.f, 0.f, 0.f, 0.f};
    mi_compute_irradiance(result, state);
    const miColor tint = *mi_eval_color(&paras->color);
    result->r *= tint.r;
    result->g *= tint.g;
    result->b *= tint.b;
    result->a = 1.f;
    return miTRUE;
}
