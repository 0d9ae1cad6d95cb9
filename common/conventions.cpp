#include "common/conventions.h"

#include <cmath>

namespace orn {

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
