// Point and spot toolkit lights: the directional toolkit light's colour, shadow factor and
// light record, plus distance decay, a shadow threshold, soft shadows from points around the
// light and, for the spot, its cone.
#include "source/lights/orn_PointTK.h"

#include "source/lights/toolkit_light.h"

#include <cmath>
#include <type_traits>

namespace {

// Distance decay at distance d from the light. Types 1, 3 and 5 reach their end at
// `decay_end`; where that end does not lie beyond the start, the light is gone past the start.
float decay_factor(miInteger type, double d, double s, double e) {
    if (type == 1) {
        if (d >= e) return 0.f;
        if (d <= s || std::fabs(e - s) <= 0.0001) return 1.f;
        return float(1.0 - (d - s) / (e - s));
    }
    if (type < 2 || type > 6 || !(d > s)) return 1.f;
    const double J = d - s + 1.0;
    switch (type) {
    case 2:
        return float(1.0 / J);
    case 4:
        return float(1.0 / (J * J));
    case 6:
        return float(1.0 / (J * J * J));
    default: {
        if (!(e - s > 0.0)) return 0.f;
        const double q = type == 3 ? J * J - 1.0 : J * J * J - 1.0;
        return float(1.0 / (q / (e - s) + 1.0));
    }
    }
}

void scale_rgb(miColor* c, float k) {
    c->r *= k;
    c->g *= k;
    c->b *= k;
}

// The cone of a spot light at the light state's direction: 0 outside (or behind) the light's
// spread, 1 inside the bright inner cone of `cone_angle`, and a falloff between; -1 marks
// "outside", where no shadows are traced.
float cone_factor(miState* state, const orn_SpotTK_params* paras) {
    miTag light = miNULLTAG;
    if (const auto* inst = static_cast<const miInstance*>(mi_db_access(state->light_instance))) {
        light = inst->item;
        mi_db_unpin(state->light_instance);
    }
    miVector A = {0.f, 0.f, 0.f};
    mi_query(miQ_LIGHT_DIRECTION, state, light, &A);
    miVector Ld;
    mi_vector_to_light(state, &Ld, &state->dir);
    orn::normalize(&Ld);
    const float c = orn::dot(A, Ld);
    if (c <= 0.f) return -1.f;
    miScalar w = 0.f;
    mi_query(miQ_LIGHT_SPREAD, state, light, &w);
    if (c <= w) return -1.f;
    const float angle = float(double(mi_eval_scalar(&paras->cone_angle)) * 3.14159265358979323846 / 180.0);
    const float C = std::cos(0.5f * angle);
    if (!(c < C)) return 1.f;
    float b = 1.f - (c - C) / (w - C);
    const miScalar exponent = mi_eval_scalar(&paras->cone_falloff_exponent);
    if (b > 0.f && b < 1.f && exponent != 1.f) b = std::pow(b, exponent);
    return b > 0.f ? (b < 1.f ? b : 1.f) : 0.f;
}

template <typename Params>
miBoolean positional_light(miColor* result, miState* state, Params* paras, const char* shader) {
    const miScalar intensity = mi_eval_scalar(&paras->intensity);
    const miColor color = *mi_eval_color(&paras->color);
    *result = {color.r * intensity, color.g * intensity, color.b * intensity, color.a};
    // Shaders may ask a light for its colour on other rays: no shadows and no record then.
    if (state->type != miRAY_LIGHT) return miTRUE;

    miColor unshadowed = *result;
    bool outside = false;
    if constexpr (std::is_same_v<Params, orn_SpotTK_params>) {
        // The cone dims the light but not the record's unshadowed colour.
        const float cone = cone_factor(state, paras);
        outside = cone < 0.f;
        scale_rgb(result, outside ? 0.f : cone);
    }
    const float D = decay_factor(mi_eval_integer(&paras->decay_type), state->dist,
                                 mi_eval_scalar(&paras->decay_start), mi_eval_scalar(&paras->decay_end));
    if (D != 1.f) {
        scale_rgb(result, D);
        scale_rgb(&unshadowed, D);
    }

    const miScalar f = mi_eval_scalar(&paras->shadow_factor);
    if (!outside && mi_eval_boolean(&paras->shadow) && f < 1.f) {
        const miScalar threshold = mi_eval_scalar(&paras->shadow_threshold);
        if (result->r > threshold || result->g > threshold || result->b > threshold) {
            const miScalar radius = mi_eval_scalar(&paras->softness);
            const miVector org = state->org, dir = state->dir;
            if (radius > 0.f) {
                // from points on a sphere around the light towards the shaded point
                *result = orn::soft_shadow(
                    state, shader, mi_eval_integer(&paras->shadow_samples), *result, f,
                    [org, radius](miState* st, const miVector& p) {
                        st->org = {org.x + radius * p.x, org.y + radius * p.y, org.z + radius * p.z};
                        miVector d = {st->point.x - st->org.x, st->point.y - st->org.y,
                                      st->point.z - st->org.z};
                        orn::normalize(&d);
                        st->dir = d;
                    });
            } else {
                *result = orn::trace_shadow(state, *result, f);
            }
            state->org = org;
            state->dir = dir;
        }
    }
    orn::publish_record(state, *result, unshadowed, &paras->emit_diffuse, &paras->emit_specular,
                        &paras->category, shader);
    return miTRUE;
}

} // namespace

ORN_SHADER_VERSION(orn_PointTK, 2)
ORN_SHADER miBoolean orn_PointTK(miColor* result, miState* state, orn_PointTK_params* paras) {
    return positional_light(result, state, paras, "orn_PointTK");
}

ORN_SHADER_VERSION(orn_SpotTK, 2)
ORN_SHADER miBoolean orn_SpotTK(miColor* result, miState* state, orn_SpotTK_params* paras) {
    return positional_light(result, state, paras, "orn_SpotTK");
}
