// A baked texture per object: the shaded object's name is looked up in a list of names, and
// the texture at the same position of a second list is read at the given coordinates.
#include "source/utility/orn_utility.h"

#include "common/conventions.h"
#include "source/utility/inside_state.h"

#include <cmath>
#include <cstring>

namespace {

// Brings a coordinate into [0, 1] by whole tiles. A whole number above 0 stays at 1, which is
// outside the lookup range [0, 1): such a coordinate reads as white. Works in one step, so a
// huge value cannot stall the shader, and NaN stays NaN (and out of range).
float into_tile(float x) {
    if (x > 1.f) return x - std::ceil(x) + 1.f;
    if (x < 0.f) return x - std::floor(x);
    return x;
}

bool in_tile(float x) {
    return x >= 0.f && x < 1.f;
}

bool names_equal(miTag text, const char* name) {
    const auto* s = static_cast<const char*>(mi_db_access(text));
    const bool same = s && name && std::strcmp(s, name) == 0;
    mi_db_unpin(text);
    return same;
}

} // namespace

ORN_SHADER_VERSION(orn_bake_read, 2)
ORN_SHADER miBoolean orn_bake_read(miColor* result, miState* state, orn_bake_read_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    const char* object = orn::hit_name(state);
    const miVector uv = *mi_eval_vector(&paras->uv);
    miVector coord{into_tile(uv.x), into_tile(uv.y), 0.f};

    const miInteger first_name = mi_eval_integer(&paras->i_object_names);
    const miInteger names = mi_eval_integer(&paras->n_object_names);
    const miTag* name_tags = static_cast<const miTag*>(mi_eval(state, paras->object_names));
    const miInteger first_texture = mi_eval_integer(&paras->i_textures);
    const miInteger textures = mi_eval_integer(&paras->n_textures);
    const miTag* texture_tags = static_cast<const miTag*>(mi_eval(state, paras->textures));

    for (miInteger k = 0; k < names; ++k) {
        const miTag name = name_tags[first_name + k];
        if (!name) {
            *result = {0.f, 0.f, 1.f, 0.f};
            return miTRUE;
        }
        if (!names_equal(name, object)) continue;
        // A name without a texture at its position reads as a 0 texture.
        const miTag texture = k < textures ? texture_tags[first_texture + k] : miNULLTAG;
        if (texture && in_tile(coord.x) && in_tile(coord.y) &&
            mi_lookup_color_texture(result, state, texture, &coord))
            return miTRUE;
        *result = {1.f, 1.f, 1.f, 1.f};
        return miTRUE;
    }
    *result = {1.f, 0.f, 0.f, 0.f};
    return miTRUE;
}
