#include "common/passages.h"

namespace orn {

namespace {

bool passes_surface(int type, bool photon_transparent) {
    switch (type) {
    case miRAY_TRANSPARENT:
    case miRAY_REFRACT:
    case miPHOTON_TRANSMIT_SPECULAR:
    case miPHOTON_TRANSMIT_GLOSSY:
    case miPHOTON_TRANSMIT_DIFFUSE:
        return true;
    case miPHOTON_TRANSPARENT:
        return photon_transparent;
    default:
        return false;
    }
}

} // namespace

Passages count_passages(miState* state, bool photon_transparent) {
    Passages p;
    for (miState* s = state; s; s = s->parent) {
        // The parent traced this ray; it went through our surface if the parent runs our shader.
        if (!s->parent || !passes_surface(s->type, photon_transparent) || s->parent->shader != state->shader)
            continue;
        ++p.count;
        if (!p.outer) p.outer = s->parent;
    }
    return p;
}

void set_segment_volume(miState* state, bool photon_transparent) {
    const Passages passages = count_passages(state, photon_transparent);
    if (passages.count % 2 == 0) {
        if (state->refraction_volume == miNULLTAG) state->refraction_volume = state->volume;
    } else {
        state->refraction_volume = passages.outer  ? passages.outer->volume
                                   : state->camera ? state->camera->volume
                                                   : miNULLTAG;
    }
}

} // namespace orn
