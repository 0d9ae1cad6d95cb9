// Parameter block of the solid-combination material, in declaration order, and the per-ray
// records it shares with the dielectric interface.
#pragma once

#include "host/shader.h"

struct orn_CSG_params {
    miColor color1;
    miColor color2;
    miTag object1; // instance names
    miTag object2;
    miBoolean swap;
    miInteger operation; // 0 union, 1 B minus A, 2 intersection
    miBoolean detect_inside;
};
