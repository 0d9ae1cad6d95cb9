// Directional toolkit light: the light colour with hard or soft shadows, and on every light
// ray a light record under "ltk" that tells toolkit materials the unshadowed colour, the
// emit flags and the light's category.
#include "source/lights/orn_DirectTK.h"

#include "common/conventions.h"
#include "source/lights/toolkit_light.h"

namespace {

// Jitter radius per unit of softness, around the unit light direction.
constexpr float softness_radius = 0.016f;

} // namespace

ORN_SHADER_VERSION(orn_DirectTK, 2)
ORN_SHADER miBoolean orn_DirectTK(miColor* result, miState* state, orn_DirectTK_params* paras) {
    const miScalar intensity = mi_eval_scalar(&paras->intensity);
    const miColor color = *mi_eval_color(&paras->color);
    *result = {color.r * intensity, color.g * intensity, color.b * intensity, color.a};
    // Shaders may ask a light for its colour on other rays: no shadows and no record then.
    if (state->type != miRAY_LIGHT) return miTRUE;

    const miColor unshadowed = *result;
    const miScalar f = mi_eval_scalar(&paras->shadow_factor);
    if (mi_eval_boolean(&paras->shadow) && f < 1.f) {
        const float radius = mi_eval_scalar(&paras->softness) * softness_radius;
        const miVector dir = state->dir;
        if (radius > 0.f) {
            // jittered around the tip of the unit light direction
            *result = orn::soft_shadow(
                state, "orn_DirectTK", mi_eval_integer(&paras->shadow_samples), unshadowed, f,
                [dir, radius](miState* st, const miVector& p) {
                    miVector d = {dir.x + radius * p.x, dir.y + radius * p.y, dir.z + radius * p.z};
                    orn::normalize(&d);
                    st->dir = d;
                });
        } else {
            *result = orn::trace_shadow(state, unshadowed, f);
        }
        state->dir = dir;
    }
    orn::publish_record(state, *result, unshadowed, &paras->emit_diffuse, &paras->emit_specular,
                        &paras->category, "orn_DirectTK");
    return miTRUE;
}
