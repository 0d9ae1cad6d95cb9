// The light arriving at a point from a list of lights, shadows included, with an optional
// second pass that adds the unshadowed light of lights behind the surface.
#include "source/lights/orn_shadow.h"

#include "common/conventions.h"
#include "common/light_record.h"

namespace {

// The average of a light's samples as `mi_sample_light` gives them; with `behind_of`, only
// samples from behind that normal count (the average is still over every sample).
miColor light_average(miState* state, miTag light, const miVector* behind_of) {
    miColor sum = {0.f, 0.f, 0.f, 0.f}, c;
    miVector dir;
    miScalar dot_nl;
    miInteger samples = 0;
    while (mi_sample_light(&c, &dir, &dot_nl, state, light, &samples)) {
        if (behind_of && orn::dot(dir, *behind_of) > 0.f) continue;
        sum.r += c.r;
        sum.g += c.g;
        sum.b += c.b;
    }
    if (samples == 0) return {0.f, 0.f, 0.f, 0.f};
    const float inv = 1.f / float(samples);
    return {sum.r * inv, sum.g * inv, sum.b * inv, 0.f};
}

} // namespace

ORN_SHADER_VERSION(orn_shadow, 2)
ORN_SHADER miBoolean orn_shadow(miColor* result, miState* state, orn_shadow_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    const miInteger front_only = mi_eval_integer(&paras->front_only);
    miTag* array = static_cast<miTag*>(mi_eval(state, paras->lights)) + mi_eval_integer(&paras->i_lights);
    const orn::LightSelection list = orn::select_lights(state, mi_eval_integer(&paras->light_mode), array,
                                                        mi_eval_integer(&paras->n_lights), false);

    // The second pass switches shadows off in a private copy of the options.
    miOptions* const options = state->options;
    miOptions own = options ? *options : miOptions{};
    state->options = &own;
    const miVector N = state->normal;
    *result = {0.f, 0.f, 0.f, 0.f};
    for (int i = 0; i < list.count; ++i) {
        const miColor front = light_average(state, list.lights[i], nullptr);
        result->r += front.r;
        result->g += front.g;
        result->b += front.b;
        if (front_only == 1) continue;
        state->normal = {0.f, 0.f, 0.f};
        own.shadow = 0;
        const miColor back = light_average(state, list.lights[i], &N);
        result->r += back.r;
        result->g += back.g;
        result->b += back.b;
        own.shadow = options ? options->shadow : 0;
        state->normal = N;
    }
    state->options = options;
    return miTRUE;
}
