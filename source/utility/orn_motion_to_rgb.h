// Parameter block of the motion data shader, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_motion_to_rgb_params {
    miInteger output_mode;
    miInteger max_pixels;
};
