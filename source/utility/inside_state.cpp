#include "source/utility/inside_state.h"

#include <cstring>

namespace orn {

bool read_flags(miState* state, const char* key, int* out, int n) {
    std::memset(out, 0, sizeof(int) * size_t(n));
    int size = 0;
    const void* stored = mi_shaderstate_get(state, key, &size);
    if (!stored) return false;
    const int bytes = size < 0 ? 0 : (size < n * int(sizeof(int)) ? size : n * int(sizeof(int)));
    std::memcpy(out, stored, size_t(bytes));
    return true;
}

void write_flags(miState* state, const char* key, const int* flags, int n) {
    mi_shaderstate_set(state, key, const_cast<int*>(flags), n * int(sizeof(int)), 1);
}

void remove_flags(miState* state, const char* key) {
    mi_shaderstate_set(state, key, nullptr, 0, 1);
}

const char* hit_name(miState* state) {
    if (!state->instance) return nullptr;
    const auto* inst = static_cast<const miInstance*>(mi_db_access(state->instance));
    const miTag parent = inst ? inst->parent : miNULLTAG;
    mi_db_unpin(state->instance);
    return parent ? mi_api_tag_lookup(parent) : nullptr;
}

void check_instance_name(miState* state, const char* shader, const char* parameter, miTag* name) {
    const miTag tag = mi_eval_tag(name);
    const char* text = tag ? static_cast<const char*>(mi_db_access(tag)) : nullptr;
    if (tag) mi_db_unpin(tag);
    if (!text || !*text) {
        mi_warning("%s: no instance name in \"%s\"", shader, parameter);
        return;
    }
    // The lookup takes (and frees) its own copy of the name.
    const miTag found = mi_api_name_lookup(mi_mem_strdup(text));
    if (!found || mi_db_type(found) != miSCENE_INSTANCE)
        mi_warning("%s: \"%s\" in \"%s\" names no instance of the scene; no hit will match it", shader, text,
                   parameter);
}

bool perpendicular_to_parent(const miState* state) {
    const miState* p = state->parent;
    if (!p) return false;
    return p->normal_geom.x * state->dir.x + p->normal_geom.y * state->dir.y +
               p->normal_geom.z * state->dir.z ==
           0.f;
}

} // namespace orn
