// Image texture lookups for the shaders.
#include "api/api_common.h"

using namespace orn;

ORN_API miBoolean mi_lookup_color_texture(miColor* color, miState* state, miTag texture, miVector* coord) {
    Frame* f = frame_of(state);
    if (!f || !color || !coord) return miFALSE;
    return f->lookup_texture(color, state, texture, *coord);
}
