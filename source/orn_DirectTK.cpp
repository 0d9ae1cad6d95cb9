// Directional toolkit light: the light colour with hard or soft shadows, and on every light
// ray a light record under "ltk" that tells toolkit materials the unshadowed colour, the
// emit flags and the light's category.
#include "source/orn_DirectTK.h"

#include "common/conventions.h"
#include "common/light_record.h"

#include <cstring>

namespace {

// Jitter radius per unit of softness, around the unit light direction.
constexpr float softness_radius = 0.016f;

// What a shadow ray lets through of one channel: transmission scaled into [f, 1], so that
// even a fully opaque occluder leaves the fraction f of the light.
double shadow_scale(float transmission, double f) {
    return double(transmission) * (1.0 - f) + f;
}

// Scales r, g, b of `light` by the shadow ray's transmission; a blocked ray, or one that
// comes back black, leaves only the fraction f.
miColor shadowed_color(const miColor& light, bool reached, const miColor& t, double f) {
    miColor c = light;
    if (reached && (t.r != 0.f || t.g != 0.f || t.b != 0.f)) {
        c.r = float(double(light.r) * shadow_scale(t.r, f));
        c.g = float(double(light.g) * shadow_scale(t.g, f));
        c.b = float(double(light.b) * shadow_scale(t.b, f));
    } else {
        c.r = float(double(light.r) * f);
        c.g = float(double(light.g) * f);
        c.b = float(double(light.b) * f);
    }
    return c;
}

// Shadow samples for this ray: deeper rays in the reflection and refraction tree take
// half as many per level, and refinement or final-gather rays only one.
miUint shadow_sample_count(miState* state, miInteger requested) {
    // A negative count read as unsigned would ask for billions of rays; it takes none, like 0.
    if (requested < 0) return 0;
    miUint n = miUint(requested);
    if (n <= 1) return n;
    if (orn::tk_single_sample(state)) return 1;
    n >>= miUint(state->reflection_level + state->refraction_level) % 32u;
    return n ? n : 1;
}

// Traces one shadow ray along the state's current direction.
miColor trace_shadow(miState* state, const miColor& light, double f) {
    miColor t = {1.f, 1.f, 1.f, 1.f};
    const bool reached = mi_trace_shadow(&t, state) != miFALSE;
    return shadowed_color(light, reached, t, f);
}

// Averages shadow rays towards points jittered on a sphere of `radius` around the tip of
// the unit light direction. The alpha of the average is 0.
miColor soft_shadow(miState* state, const orn_DirectTK_params* paras, const miColor& light, double f,
                    float radius) {
    miUint n = shadow_sample_count(state, mi_eval_integer(&paras->shadow_samples));
    const miVector dir = state->dir;
    miColor sum = {0.f, 0.f, 0.f, 0.f};
    double sample[2];
    int instance = 0;
    while (mi_sample(sample, &instance, state, 2, &n)) {
        const miVector p = orn::sphere_point(sample[0], sample[1]);
        miVector jittered = {dir.x + radius * p.x, dir.y + radius * p.y, dir.z + radius * p.z};
        orn::normalize(&jittered);
        state->dir = jittered;
        const miColor c = trace_shadow(state, light, f);
        const float count = float(n);
        sum.r += c.r / count;
        sum.g += c.g / count;
        sum.b += c.b / count;
        state->dir = dir;
    }
    return sum;
}

// The category name, cut to what the record holds; empty (with a warning) when unset.
void copy_category(miState* state, const orn_DirectTK_params* paras, ltk_record* record) {
    std::memset(record->category, 0, sizeof record->category);
    if (paras->category == miNULLTAG) {
        mi_warning("orn_DirectTK: no light category specified.");
        return;
    }
    const miTag tag = mi_eval_tag(&paras->category);
    if (tag == miNULLTAG) return;
    if (const char* text = static_cast<const char*>(mi_db_access(tag))) {
        std::strncpy(record->category, text, sizeof record->category - 1);
    }
    mi_db_unpin(tag);
}

} // namespace

ORN_SHADER_VERSION(orn_DirectTK, 2)
ORN_SHADER miBoolean orn_DirectTK(miColor* result, miState* state, orn_DirectTK_params* paras) {
    const miScalar intensity = mi_eval_scalar(&paras->intensity);
    const miColor color = *mi_eval_color(&paras->color);
    *result = {color.r * intensity, color.g * intensity, color.b * intensity, color.a};
    // Shaders may ask a light for its colour on other rays: no shadows and no record then.
    if (state->type != miRAY_LIGHT) return miTRUE;

    ltk_record record;
    record.unshadowed = *result;

    const miScalar f = mi_eval_scalar(&paras->shadow_factor);
    if (mi_eval_boolean(&paras->shadow) && f < 1.f) {
        const float radius = mi_eval_scalar(&paras->softness) * softness_radius;
        const miVector dir = state->dir;
        if (radius > 0.f) {
            *result = soft_shadow(state, paras, record.unshadowed, f, radius);
        } else {
            *result = trace_shadow(state, record.unshadowed, f);
        }
        state->dir = dir;
    }

    record.shadowed = *result;
    record.emit_diffuse = mi_eval_boolean(&paras->emit_diffuse);
    record.emit_specular = mi_eval_boolean(&paras->emit_specular);
    copy_category(state, paras, &record);
    mi_shaderstate_set(state, ORN_LTK_KEY, &record, int(sizeof record), 1);
    return miTRUE;
}
