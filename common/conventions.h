// Rules every shader of the module follows: how it is exported, how it keeps data per
// shader instance, and how it guards its result.
#pragma once

#include "host/binding.h"

// Shader entry points and their version/init/exit companions.
#define ORN_SHADER extern "C" ORN_EXPORT
#define ORN_SHADER_VERSION(name, number)                                                                     \
    extern "C" ORN_EXPORT int name##_version(void) {                                                         \
        return number;                                                                                       \
    }

namespace orn {

// Address of the current shader instance's user-pointer slot (one per instance, shared
// by all render threads).
inline void** instance_slot(miState* state) {
    void** slot = nullptr;
    mi_query(miQ_FUNC_USERPTR, state, miNULLTAG, &slot);
    return slot;
}

// True only the first time this shader instance asks about `cause` (a bit, 1 to 1 << 31): one
// warning per instance and cause, however many threads and rays meet it. The flags live in the
// instance's user-pointer slot, so only shaders that keep nothing else there may ask.
bool first_time(miState* state, unsigned cause);

template <typename Record> Record* instance_record(miState* state) {
    void** slot = instance_slot(state);
    return slot ? static_cast<Record*>(*slot) : nullptr;
}

// Replaces NaN or infinite components of a colour result by 0, with one warning per bad
// component, in the order r, g, b, a.
void guard_result(const char* shader, miColor* result);

// Normalises v unless it has zero length.
inline void normalize(miVector* v) {
    const float len2 = v->x * v->x + v->y * v->y + v->z * v->z;
    if (len2 > 0.f) {
        const float inv = 1.f / __builtin_sqrtf(len2);
        v->x *= inv;
        v->y *= inv;
        v->z *= inv;
    }
}

inline float dot(const miVector& a, const miVector& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

} // namespace orn
