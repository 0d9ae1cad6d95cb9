// Parameter block of the buffer arithmetic output shader, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_math_output_params {
    miTag buffer_a;      // string: first buffer, also receives the result
    miTag buffer_b;      // string
    miInteger operation; // 0 multiply, 1 divide, 2 add, 3 subtract
};
