// Parameter blocks of the positional toolkit lights, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_PointTK_params {
    miColor color;
    miScalar intensity;
    miBoolean emit_diffuse;
    miBoolean emit_specular;
    miInteger
        decay_type; // 0 none, 1 linear to decay_end, 2 inverse, 3 and 5 eased, 4 inverse square, 6 cubic
    miScalar decay_start;
    miScalar decay_end;
    miBoolean shadow;
    miScalar shadow_factor;
    miScalar softness; // radius of the sphere around the light that soft-shadow rays start from
    miInteger shadow_samples;
    miScalar shadow_threshold; // no shadow rays when the decayed light is this dim
    miTag category;            // string
};

struct orn_SpotTK_params {
    miColor color;
    miScalar intensity;
    miBoolean emit_diffuse;
    miBoolean emit_specular;
    miInteger decay_type;
    miScalar decay_start;
    miScalar decay_end;
    miScalar cone_angle; // full angle of the bright inner cone, degrees
    miScalar cone_falloff_exponent;
    miBoolean shadow;
    miScalar shadow_factor;
    miScalar softness;
    miInteger shadow_samples;
    miScalar shadow_threshold;
    miTag category; // string
};
