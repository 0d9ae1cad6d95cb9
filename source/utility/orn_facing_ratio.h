// Parameter blocks, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_facing_ratio_params {
    miColor facing_color;
    miColor edge_color;
    miScalar exponent;
};
