// Parameter block of the directional toolkit light, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_DirectTK_params {
    miColor color;
    miScalar intensity;
    miBoolean emit_diffuse;
    miBoolean emit_specular;
    miBoolean shadow;
    miScalar shadow_factor; // light left behind fully opaque occluders; 1 or more traces no shadows
    miScalar softness;      // angular spread of soft shadows; 0 or less gives hard shadows
    miInteger shadow_samples;
    miTag category; // string
};
