// Parameter block of the depth-of-field lens, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_physical_lens_dof_params {
    miScalar focus_plane;
    miScalar lens_radius;
    miInteger samples;
};
