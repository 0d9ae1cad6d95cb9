// Parameter blocks, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_grade_color_params {
    miColor color;
    miColor in_black;
    miColor in_white;
    miColor saturation;
    miBoolean luminance_weights;
    miScalar gain;
    miScalar gamma;
    miColor multiply;
    miColor offset;
    miBoolean clamp_low;
    miBoolean clamp_high;
    miBoolean invert;
};
