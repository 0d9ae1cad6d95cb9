// Inside or outside of an object, by counting how often the ray tree passed through the
// calling shader's surfaces.
#pragma once

#include "host/shader.h"

namespace orn {

// Passages through the shader that `state` runs: every state up the chain whose ray was
// traced through a surface (transparency, refraction, photon transmission, and with
// `photon_transparent` also transparent photons) from a parent running the same shader.
// An odd count means the ray is inside. `outer` is the first such parent: the state whose
// ray entered most recently, and whose volume lies around the object.
struct Passages {
    int count = 0;
    miState* outer = nullptr;
};
Passages count_passages(miState* state, bool photon_transparent);

// Sets the refraction volume of the next shadow segment by the parity of the passages: on the
// way in the current volume is kept (or taken), on the way out the volume around the object
// returns (the camera's when there is none).
void set_segment_volume(miState* state, bool photon_transparent);

} // namespace orn
