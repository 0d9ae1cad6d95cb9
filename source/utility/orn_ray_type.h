// Parameter blocks, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_ray_type_params {
    miBoolean reflect_enable;
    miInteger reflect_min_level;
    miBoolean refract_enable;
    miInteger refract_min_level;
    miBoolean transparent_enable;
    miInteger transparent_min_level;
    miInteger finalgather_enable;
    miInteger environment_enable;
    miInteger shadow_enable; // declared for scenes that set it; shadow rays are refused before it matters
    miColor default_color;
    miColor reflect_color;
    miColor refract_color;
    miColor transparent_color;
    miColor finalgather_color;
    miColor environment_color;
    miColor shadow_color;
};
