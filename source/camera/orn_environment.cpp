// The scene's environment looked up along the surface normal or a fixed direction,
// optionally blurred over a cone by sampling, tinted and scaled.
#include "source/camera/orn_camera_env.h"

#include "common/conventions.h"

#include <cmath>

namespace {
// A negative count would read as billions of lookups.
constexpr miUint kMaxLookups = 4096;
} // namespace

ORN_SHADER_VERSION(orn_environment, 2)
ORN_SHADER miBoolean orn_environment(miColor* result, miState* state, orn_environment_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    const miScalar spread = mi_eval_scalar(&paras->spread);
    const miScalar intensity = mi_eval_scalar(&paras->intensity);
    miUint samples = miUint(mi_eval_integer(&paras->samples));
    const miColor tint = *mi_eval_color(&paras->tint);
    if (samples == 0) {
        result->r = result->g = result->b = 0.f;
        return miTRUE;
    }
    if (samples > kMaxLookups) {
        if (orn::first_time(state, 1u))
            mi_warning("orn_environment: samples %d is out of range (1 to %u); using %u",
                       mi_eval_integer(&paras->samples), kMaxLookups, kMaxLookups);
        samples = kMaxLookups;
    }
    miVector v = mi_eval_boolean(&paras->use_normal) ? state->normal : *mi_eval_vector(&paras->direction);

    miColor c{0.f, 0.f, 0.f, 0.f};
    if (spread == 0.f) {
        mi_trace_environment(&c, state, &v);
        result->r = c.r * intensity * tint.r;
        result->g = c.g * intensity * tint.g;
        result->b = c.b * intensity * tint.b;
        return miTRUE;
    }

    const float s = spread / 180.f;
    const miVector base{v.x * (1.f - s), v.y * (1.f - s), v.z * (1.f - s)};
    float sr = 0.f, sg = 0.f, sb = 0.f;
    double sample[2];
    int counter = 0;
    while (mi_sample(sample, &counter, state, 2, &samples)) {
        const double z = 2.0 * sample[0] - 1.0;
        const double w = std::sqrt(1.0 - z * z);
        const double phi = sample[1] * 6.283185307179586;
        miVector dir{float(base.x + s * std::cos(phi) * w), float(base.y + s * std::sin(phi) * w),
                     float(base.z + s * z)};
        c = {0.f, 0.f, 0.f, 0.f};
        mi_trace_environment(&c, state, &dir);
        sr += c.r;
        sg += c.g;
        sb += c.b;
    }
    const float n = float(counter);
    result->r = n > 0.f ? sr / n * intensity * tint.r : 0.f;
    result->g = n > 0.f ? sg / n * intensity * tint.g : 0.f;
    result->b = n > 0.f ? sb / n * intensity * tint.b : 0.f;
    return miTRUE;
}
