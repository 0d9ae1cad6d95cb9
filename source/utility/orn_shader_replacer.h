// Parameter block of the material replacer, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_shader_replacer_params {
    miBoolean enable;
    miBoolean verbose;
    miTag material;
    miInteger i_instances;
    miInteger n_instances;
    miTag instances[1];
};
