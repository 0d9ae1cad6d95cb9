// Per-ray inside/outside records of the materials that decide by ray logic which surface a
// ray meets (solid combination, touching dielectrics). They live in the renderer's per-ray
// shader state; all fields are 32-bit flags.
#pragma once

#include "host/shader.h"

namespace orn {

constexpr const char* kMaterialKey = "csg_mat"; // material path: inside flags of the ray
constexpr const char* kShadowKey = "csg_shad";  // shadow path: inside flags of the shadow ray
constexpr const char* kFirstKey = "first_shd";  // 1 while a shadow ray's first segment runs

// Reads up to `n` fields of `key` into `out`; fields the entry does not hold read as 0 (the
// two materials store records of different sizes under the same key). False when absent.
bool read_flags(miState* state, const char* key, int* out, int n);
void write_flags(miState* state, const char* key, const int* flags, int n);
void remove_flags(miState* state, const char* key);

// The scene name of the instance a state hit (its parent scene instance), or null.
const char* hit_name(miState* state);

// Warns, naming `shader` and the parameter, when a name parameter names no scene instance:
// such a solid or medium is never recognised at a hit.
void check_instance_name(miState* state, const char* shader, const char* parameter, miTag* name);

// True when the parent's geometric normal is exactly perpendicular to the ray.
bool perpendicular_to_parent(const miState* state);

} // namespace orn
