// Blends two colours by how directly the surface faces the camera.
#include "source/utility/orn_facing_ratio.h"

#include "common/conventions.h"

#include <algorithm>
#include <cmath>

ORN_SHADER_VERSION(orn_facing_ratio, 2)
ORN_SHADER miBoolean orn_facing_ratio(miColor* result, miState* state, orn_facing_ratio_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    miVector v, n;
    mi_point_to_camera(state, &v, &state->point);
    v = {-v.x, -v.y, -v.z};
    orn::normalize(&v);
    mi_vector_to_camera(state, &n, &state->normal);
    orn::normalize(&n);

    const miScalar exponent = mi_eval_scalar(&paras->exponent);
    float f = orn::dot(n, v);
    if (f < 0.f)
        f = std::clamp(powf(0.f, exponent), 0.f, 1.f); // 0^0 is 1: a zero exponent shows the facing colour
    else if (f > 1.f)
        f = 1.f;
    else if (f != 1.f)
        f = std::clamp(powf(f, exponent), 0.f, 1.f);

    const miColor facing = *mi_eval_color(&paras->facing_color);
    const miColor edge = *mi_eval_color(&paras->edge_color);
    result->r = f * facing.r + (1.f - f) * edge.r;
    result->g = f * facing.g + (1.f - f) * edge.g;
    result->b = f * facing.b + (1.f - f) * edge.b;
    result->a = 1.f;
    return miTRUE;
}
