// Parameter block of the depth data shader, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_z_params {
    miScalar near_distance;
    miScalar far_distance;
    miScalar opacity;
    miScalar reflectivity;
    miScalar reflect_glossiness;
    miScalar transparency;
    miScalar refract_glossiness;
    miScalar ior;
    miBoolean raw_distance;
    miInteger invert;
    miInteger channel_mode;
    miBoolean premultiply;
};
