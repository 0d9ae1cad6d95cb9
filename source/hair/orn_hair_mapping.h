// Parameter block of the hair coordinate shader, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_hair_mapping_params {
    miInteger direction; // 0 across the hair, 1 along it
    miScalar repeat;
};
