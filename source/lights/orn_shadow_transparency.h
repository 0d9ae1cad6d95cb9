// Parameter block of the tinted, fading shadow shader, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_shadow_transparency_params {
    miColor shadow_color; // colour where nothing passes
    miScalar transparency;
    miBoolean invert;
    miBoolean distance_fade;
    miScalar fade_start;
    miScalar fade_end;
    miScalar fade_strength;
    miScalar facing_weight; // how much the transparency follows the angle to the surface
    miInteger light_mode;
    miInteger i_lights;
    miInteger n_lights;
    miTag lights[1];
};
