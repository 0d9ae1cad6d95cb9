#include "common/conventions.h"

#include <atomic>
#include <cmath>
#include <cstdint>

namespace orn {

bool first_time(miState* state, unsigned cause) {
    void** slot = instance_slot(state);
    if (!slot) return true;
    static_assert(sizeof(std::atomic<std::uintptr_t>) == sizeof(void*) &&
                  std::atomic<std::uintptr_t>::is_always_lock_free);
    auto* flags = reinterpret_cast<std::atomic<std::uintptr_t>*>(slot);
    return (flags->fetch_or(cause, std::memory_order_relaxed) & cause) == 0;
}

void guard_result(const char* shader, miColor* result) {
    float* component[4] = {&result->r, &result->g, &result->b, &result->a};
    static const char names[4] = {'R', 'G', 'B', 'A'};
    for (int i = 0; i < 4; ++i) {
        if (!std::isfinite(*component[i])) {
            *component[i] = 0.f;
            mi_warning("%s shader return NaN or infinite %c value. Replaced with zero", shader, names[i]);
        }
    }
}

} // namespace orn
