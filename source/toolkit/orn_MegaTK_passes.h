// orn_MegaTK's tk passes: each component of one call composited into its own frame buffer
// over what the surfaces behind it left there. Internal to the module.
#pragma once

#include "source/toolkit/orn_MegaTK.h"

namespace orn::megatk {

// The components of one call as the passes take them, before premultiplication.
struct PassComponents {
    float g;                // opacity, in [0, 1]
    miColor Cao;            // surface colour after occlusion
    miColor D_shd, D_uns;   // diffuse light with and without shadows, ambient included
    miColor S_shd, S_uns;   // specular light with and without shadows; S_shd after occlusion
    miColor O;              // occlusion, blended by ao_on_color
    miColor Ind;            // indirect light
    miColor Amb, AmbO;      // occluded ambient before and after occlusion
    miColor R, Tr;          // reflection and refraction
    miColor Inc;            // incandescence
    miColor B;              // bent normal
    const miColor* special; // kSpecialCount colours, black where the channel is off
};

// On eye and transparency rays, adds every enabled component into its tk pass buffer and the
// depth into tk_z. A pass whose buffer the frame lacks is disabled in `inst` for good.
void write_passes(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst,
                  const PassComponents& components);

} // namespace orn::megatk
