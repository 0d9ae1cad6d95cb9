// Colour grading: levels, saturation, gain, gamma, multiply/offset, invert and clamps,
// per channel on r, g and b; alpha passes through.
#include "source/utility/orn_grade_color.h"

#include "common/conventions.h"

#include <cmath>

ORN_SHADER_VERSION(orn_grade_color, 2)
ORN_SHADER miBoolean orn_grade_color(miColor* result, miState* state, orn_grade_color_params* paras) {
    const miColor color = *mi_eval_color(&paras->color);
    const miColor in_black = *mi_eval_color(&paras->in_black);
    const miColor in_white = *mi_eval_color(&paras->in_white);
    const miColor saturation = *mi_eval_color(&paras->saturation);
    const miBoolean luminance_weights = mi_eval_boolean(&paras->luminance_weights);
    const miScalar gain = mi_eval_scalar(&paras->gain);
    const miScalar gamma = mi_eval_scalar(&paras->gamma);
    const miColor multiply = *mi_eval_color(&paras->multiply);
    const miColor offset = *mi_eval_color(&paras->offset);
    const miBoolean clamp_low = mi_eval_boolean(&paras->clamp_low);
    const miBoolean clamp_high = mi_eval_boolean(&paras->clamp_high);
    const miBoolean invert = mi_eval_boolean(&paras->invert);

    *result = color;
    float* c[3] = {&result->r, &result->g, &result->b};
    const float black[3] = {in_black.r, in_black.g, in_black.b};
    const float white[3] = {in_white.r, in_white.g, in_white.b};
    const float sat[3] = {saturation.r, saturation.g, saturation.b};
    const float mul[3] = {multiply.r, multiply.g, multiply.b};
    const float off[3] = {offset.r, offset.g, offset.b};

    // Equal black and white points divide by zero; the result is then not a number on
    // purpose, and the clamps below do not hide it.
    for (int i = 0; i < 3; ++i)
        *c[i] = (*c[i] - black[i]) / (white[i] - black[i]);

    if (sat[0] != 1.f || sat[1] != 1.f || sat[2] != 1.f) {
        const float grey = luminance_weights ? 0.299f * *c[0] + 0.587f * *c[1] + 0.114f * *c[2]
                                             : (*c[0] + *c[1] + *c[2]) / 3.f;
        for (int i = 0; i < 3; ++i) {
            if (sat[i] == 1.f) continue;
            *c[i] = sat[i] == 0.f ? grey : (1.f - sat[i]) * grey + sat[i] * *c[i];
        }
    }
    if (gain != 1.f)
        for (float* v : c)
            *v *= gain;
    if (gamma != 1.f)
        for (float* v : c)
            if (*v > 0.f) *v = powf(*v, 1.f / gamma);
    for (int i = 0; i < 3; ++i)
        *c[i] = *c[i] * mul[i] + off[i];
    if (invert)
        for (float* v : c)
            *v = 1.f - *v;
    if (clamp_low)
        for (float* v : c)
            if (*v < 0.f) *v = 0.f;
    if (clamp_high)
        for (float* v : c)
            if (*v > 1.f) *v = 1.f;
    return miTRUE;
}
