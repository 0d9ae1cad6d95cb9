// Parameter block of the touching-media material, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_dielectric_interface_params {
    miColor color1;          // surfaces of medium A
    miColor color2;          // surfaces of medium B
    miColor interface_color; // the boundary between them
    miInteger match_mode;    // 1 by instance name, 2 by instance label
    miTag object1;
    miTag object2;
    miInteger reserved1;
    miInteger reserved2;
    miInteger label1;
    miInteger label2;
    miInteger reserved3;
};
