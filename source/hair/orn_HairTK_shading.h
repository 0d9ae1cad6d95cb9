// orn_HairTK's shading of one sample. Internal to the module.
#pragma once

#include "source/hair/orn_HairTK.h"

namespace orn::hair {

// The shared lookup tables: edge[i] = sin(π·i/1023), acos[i] = acos(i/1023). Null until the
// declaration is initialised.
struct Tables {
    const float* edge;
    const float* acos;
};
Tables tables();

// state->bary[k], with a NaN or infinity replaced by 0 and reported.
float hair_coordinate(miState* state, int k);

// One call of the material on a ray that is neither a shadow ray nor a displacement call.
miBoolean shade(miColor* result, miState* state, orn_HairTK_params* paras, const hairtk_instance& inst,
                const Tables& tables);

} // namespace orn::hair
