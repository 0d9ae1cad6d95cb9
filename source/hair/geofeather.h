// Parameter block of the feather geometry shader, in declaration order. Its callback reads
// `barb_count` straight from the block it registered, so the field stays first.
#pragma once

#include "host/shader.h"

struct geofeather_params {
    miInteger barb_count;
    miBoolean visibility_flag;
};
