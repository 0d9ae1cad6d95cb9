#include "source/lights/toolkit_light.h"

#include <cstring>

namespace orn {

namespace {

double shadow_scale(float transmission, double f) {
    return double(transmission) * (1.0 - f) + f;
}

// Warnings a light gives once (its instance's user-pointer slot, which toolkit lights do not
// otherwise use, holds the flags): a light is evaluated for every light ray of the frame, and one
// warning per light says all there is to say.
constexpr unsigned kNoCategory = 1u, kTooManySamples = 2u;

} // namespace

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

miColor trace_shadow(miState* state, const miColor& light, double f) {
    miColor t = {1.f, 1.f, 1.f, 1.f};
    const bool reached = mi_trace_shadow(&t, state) != miFALSE;
    return shadowed_color(light, reached, t, f);
}

miUint shadow_sample_count(miState* state, miInteger requested, const char* shader) {
    // A negative count read as unsigned would ask for billions of rays; it takes none, like 0.
    if (requested < 0) return 0;
    miUint n = miUint(requested);
    if (n > miUint(kMaxLightSamples)) {
        // A typo must not stall the frame, nor cost what it does silently.
        if (first_time(state, kTooManySamples))
            mi_warning("%s: shadow_samples %d is more than %d; using %d", shader, int(requested),
                       kMaxLightSamples, kMaxLightSamples);
        n = miUint(kMaxLightSamples);
    }
    if (n <= 1) return n;
    if (tk_single_sample(state)) return 1;
    n >>= miUint(state->reflection_level + state->refraction_level) % 32u;
    return n ? n : 1;
}

void copy_category(miState* state, miTag* category, const char* shader, ltk_record* record) {
    std::memset(record->category, 0, sizeof record->category);
    if (*category == miNULLTAG) {
        if (first_time(state, kNoCategory)) mi_warning("%s: no light category specified.", shader);
        return;
    }
    const miTag tag = mi_eval_tag(category);
    if (tag == miNULLTAG) return;
    if (const char* text = static_cast<const char*>(mi_db_access(tag))) {
        std::strncpy(record->category, text, sizeof record->category - 1);
    }
    mi_db_unpin(tag);
}

void publish_record(miState* state, const miColor& shadowed, const miColor& unshadowed,
                    miBoolean* emit_diffuse, miBoolean* emit_specular, miTag* category, const char* shader) {
    ltk_record record;
    record.shadowed = shadowed;
    record.unshadowed = unshadowed;
    record.emit_diffuse = mi_eval_boolean(emit_diffuse);
    record.emit_specular = mi_eval_boolean(emit_specular);
    copy_category(state, category, shader, &record);
    mi_shaderstate_set(state, ORN_LTK_KEY, &record, int(sizeof record), 1);
}

} // namespace orn
