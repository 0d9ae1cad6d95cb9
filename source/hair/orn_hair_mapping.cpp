// A repeating ramp along or across a hair, from the renderer's coordinates on it.
#include "source/hair/orn_hair_mapping.h"

#include "common/conventions.h"

#include <cmath>

ORN_SHADER_VERSION(orn_hair_mapping, 1)
ORN_SHADER miBoolean orn_hair_mapping(miScalar* result, miState* state, orn_hair_mapping_params* paras) {
    const miInteger direction = mi_eval_integer(&paras->direction);
    float e = direction == 0 ? state->bary[0] : direction == 1 ? state->bary[1] : 0.f;
    const float repeat = mi_eval_scalar(&paras->repeat);
    if (repeat != 1.f && repeat != 0.f) {
        e *= repeat;
        // Each ramp ends at exactly 1; only what lies beyond wraps, one whole step at a time
        // (exact in double precision, and done at once: an infinite value never leaves a loop).
        if (e > 1.f) e = std::isfinite(e) ? float(double(e) - std::ceil(double(e) - 1.0)) : 0.f;
    }
    *result = e;
    return miTRUE;
}
