// Parameter block of the light-arrival shader, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_shadow_params {
    miInteger front_only; // 1: no second pass for unshadowed light from behind
    miInteger light_mode;
    miInteger i_lights;
    miInteger n_lights;
    miTag lights[1];
};
