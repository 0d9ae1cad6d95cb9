// Parameter blocks, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_constant_params {
    miColor color;
    miBoolean override_alpha;
    miScalar alpha;
};

struct orn_color_plus_alpha_params {
    miColor color;
    miScalar opacity;
    miScalar ior;
};

struct orn_color_to_float_params {
    miColor color;
    miInteger channel;
    miScalar min_value;
    miScalar max_value;
    miInteger invert;
};

struct orn_float2_to_vector_params {
    miScalar x, y;
};

struct orn_float3_to_vector_params {
    miScalar x, y, z;
};

struct orn_float4_to_color_params {
    miScalar r, g, b, a;
    miBoolean clamp_low;
    miBoolean clamp_high;
};
