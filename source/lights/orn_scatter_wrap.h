// Parameter block of the wrap and translucency light shader, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_scatter_wrap_params {
    miBoolean wrap_lighting; // wrap and terminator terms
    miScalar wrap_weight;
    miColor wrap_color;
    miScalar wrap_amount; // how far the wrap reaches past the terminator
    miScalar terminator_weight;
    miColor terminator_color;
    miScalar terminator_width; // fraction of the range of 1 - |N.L|
    miBoolean translucency;
    miScalar translucency_weight;
    miColor translucency_color;
    miScalar scatter_depth;  // thickness at which no light passes
    miScalar scatter_spread; // degrees; 0: one probe
    miInteger scatter_samples;
    miBoolean light_occlusion; // does the light reach the far side?
    miScalar light_jitter;
    miScalar occluded_weight; // translucency kept when it does not; 1 or more: no test
    miBoolean backlight;
    miScalar backlight_weight;
    miColor backlight_color;
    miInteger light_mode;
    miInteger i_lights;
    miInteger n_lights;
    miTag lights[1];
};
