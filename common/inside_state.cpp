#include "common/inside_state.h"

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

bool perpendicular_to_parent(const miState* state) {
    const miState* p = state->parent;
    if (!p) return false;
    return p->normal_geom.x * state->dir.x + p->normal_geom.y * state->dir.y +
               p->normal_geom.z * state->dir.z ==
           0.f;
}

} // namespace orn
