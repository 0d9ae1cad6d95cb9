// What the toolkit lights share: shadow rays scaled by a shadow factor, the shadow-sample
// count at deeper ray levels, and the light record with its category.
#pragma once

#include "common/conventions.h"
#include "common/light_record.h"

namespace orn {

// Scales r, g, b of `light` by a shadow ray's transmission `t` mapped into [f, 1], so that
// even a fully opaque occluder leaves the fraction f; a blocked ray, or one that came back
// black, leaves only f.
miColor shadowed_color(const miColor& light, bool reached, const miColor& t, double f);

// Traces one shadow ray along the light state's current origin and direction.
miColor trace_shadow(miState* state, const miColor& light, double f);

// Shadow samples for this ray: each reflection or refraction level halves them, refinement
// and final-gather rays take one. A count over kMaxLightSamples takes that many, with one
// warning per light naming `shader`.
miUint shadow_sample_count(miState* state, miInteger requested, const char* shader);

// Soft shadows: averages the shadow rays of the light state's samples, each traced after
// `place(state, p)` has moved the state's origin or direction for the point p on the unit
// sphere; origin and direction are restored after every sample. The alpha of the average is 0,
// and black when no sample is taken.
template <typename Place>
miColor soft_shadow(miState* state, const char* shader, miInteger requested, const miColor& light, double f,
                    Place place) {
    miUint n = shadow_sample_count(state, requested, shader);
    const miVector org = state->org, dir = state->dir;
    miColor sum = {0.f, 0.f, 0.f, 0.f};
    double sample[2];
    int instance = 0;
    while (mi_sample(sample, &instance, state, 2, &n)) {
        place(state, sphere_point(sample[0], sample[1]));
        const miColor c = trace_shadow(state, light, f);
        const float count = float(n);
        sum.r += c.r / count;
        sum.g += c.g / count;
        sum.b += c.b / count;
        state->org = org;
        state->dir = dir;
    }
    return sum;
}

// Fills the record's category from the light's `category` parameter; a light without one
// warns "<shader>: no light category specified." and gets an empty name.
void copy_category(miState* state, miTag* category, const char* shader, ltk_record* record);

// Publishes the light record of this light ray under "ltk".
void publish_record(miState* state, const miColor& shadowed, const miColor& unshadowed,
                    miBoolean* emit_diffuse, miBoolean* emit_specular, miTag* category, const char* shader);

} // namespace orn
