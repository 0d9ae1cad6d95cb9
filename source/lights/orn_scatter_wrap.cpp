// Light that a plain diffuse term misses on thin or soft objects: a wrapped diffuse term past
// the terminator, a coloured terminator band, translucency that depends on the thickness of
// the object towards each light (measured with probe rays), and back lighting with shadows.
#include "source/lights/orn_scatter_wrap.h"

#include "common/conventions.h"
#include "common/light_groups.h"
#include "common/light_record.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kNegligible = 0.0001f;

miVector scaled_sum(const miVector& a, float ka, const miVector& b, float kb) {
    return {a.x * ka + b.x * kb, a.y * ka + b.y * kb, a.z * ka + b.z * kb};
}

void add_scaled(miColor* sum, const miColor& c, float k) {
    sum->r += c.r * k;
    sum->g += c.g * k;
    sum->b += c.b * k;
}

// What one light sample needs of the shader's parameters, evaluated once per call.
struct Terms {
    bool translucency = false;
    float translucency_weight = 0.f;
    miColor translucency_color{};
    float depth = 0.f, spread = 0.f;
    int samples = 0;
    bool occlusion_test = false;
    float jitter = 0.f, occluded_weight = 0.f;
    bool terminator = false;
    float terminator_weight = 0.f, terminator_width = 0.f;
    miColor terminator_color{};
    bool wrap = false;
    float wrap_weight = 0.f, wrap_amount = 0.f;
    miColor wrap_color{};
};

Terms read_terms(miState* state, orn_scatter_wrap_params* paras) {
    Terms t;
    if (mi_eval_boolean(&paras->translucency)) {
        t.translucency_weight = mi_eval_scalar(&paras->translucency_weight);
        t.samples = mi_eval_integer(&paras->scatter_samples);
        t.depth = mi_eval_scalar(&paras->scatter_depth);
        t.translucency = t.translucency_weight != 0.f && t.samples != 0 && t.depth != 0.f;
        if (t.translucency) {
            if (t.samples > orn::kMaxLightSamples && orn::first_time(state, 1u))
                mi_warning("orn_scatter_wrap: scatter_samples %d is more than %d; using %d", t.samples,
                           orn::kMaxLightSamples, orn::kMaxLightSamples);
            t.translucency_color = *mi_eval_color(&paras->translucency_color);
            t.spread = mi_eval_scalar(&paras->scatter_spread);
            t.occluded_weight = mi_eval_scalar(&paras->occluded_weight);
            t.occlusion_test = mi_eval_boolean(&paras->light_occlusion) && t.occluded_weight < 1.f;
            if (t.occlusion_test) t.jitter = mi_eval_scalar(&paras->light_jitter);
        }
    }
    if (mi_eval_boolean(&paras->wrap_lighting)) {
        t.terminator_weight = mi_eval_scalar(&paras->terminator_weight);
        t.terminator = t.terminator_weight != 0.f;
        if (t.terminator) {
            t.terminator_color = *mi_eval_color(&paras->terminator_color);
            t.terminator_width = mi_eval_scalar(&paras->terminator_width);
        }
        t.wrap_weight = mi_eval_scalar(&paras->wrap_weight);
        t.wrap = t.wrap_weight != 0.f;
        if (t.wrap) {
            t.wrap_color = *mi_eval_color(&paras->wrap_color);
            t.wrap_amount = mi_eval_scalar(&paras->wrap_amount);
        }
    }
    return t;
}

// The light's type by the renderer's numbers (0 point, 1 directional, 2 spot), -1 unknown.
int light_type(miState* state, miTag light_instance, miTag* light) {
    *light = miNULLTAG;
    mi_query(miQ_INST_ITEM, state, light_instance, light);
    miInteger type = -1;
    if (!mi_query(miQ_LIGHT_TYPE, state, *light, &type)) mi_warning("mi_query(miQ_LIGHT_TYPE) failed!");
    return type;
}

// One light sample as the thickness probes see it.
struct LightView {
    miTag instance;
    miVector L; // unit, towards the light
    float v;    // N.L
    float F;    // distance to the light
};

// What one probe that came out on the inside of the object at distance T adds: translucency
// that thins out with the thickness, and is kept only in part when the light cannot reach the
// object's far side.
float probe_contribution(miState* state, const Terms& terms, const LightView& lv, miState* hit) {
    miTag light = miNULLTAG;
    const int type = light_type(state, lv.instance, &light);
    const bool directional = type == 1;
    float T = float(hit->dist);
    if (T > lv.F && !directional) T = lv.F;
    const float J = 1.f - std::min(T, terms.depth) / terms.depth;
    const bool behind = lv.v <= 0.f;
    const float w = 1.f - lv.v;
    const float open = behind ? J : w * J;
    if (!terms.occlusion_test) return open;

    miVector to_light = lv.L;
    if (type == 0 || type == 2) {
        miVector origin = {0.f, 0.f, 0.f};
        mi_query(miQ_LIGHT_ORIGIN, state, light, &origin);
        to_light = {origin.x - hit->point.x, origin.y - hit->point.y, origin.z - hit->point.z};
    } else if (directional) {
        miVector d = {0.f, 0.f, 0.f};
        mi_query(miQ_LIGHT_DIRECTION, state, light, &d);
        to_light = {-d.x, -d.y, -d.z};
    } else {
        // No direction is known for such a light: the test goes on towards the light sample.
        mi_warning("orn_scatter_wrap: Unsupported light type! Light type is = %i", type);
    }
    if (terms.jitter > 0.f) {
        orn::normalize(&to_light);
        double s[3];
        mi_sample(s, nullptr, hit, 3, nullptr);
        to_light.x += float(2.0 * s[0] - 1.0) * terms.jitter;
        to_light.y += float(2.0 * s[1] - 1.0) * terms.jitter;
        to_light.z += float(2.0 * s[2] - 1.0) * terms.jitter;
    }
    orn::normalize(&to_light);
    const double first = hit->dist;
    const bool blocked = mi_trace_probe(hit, &to_light, &hit->point) &&
                         (directional || !(double(lv.F) < hit->child->dist + first));
    if (!blocked) return open;
    if (!(terms.occluded_weight > 0.f)) return 0.f;
    return behind ? J * terms.occluded_weight : w * J * terms.occluded_weight;
}

// How much light passes the object towards this light sample, from the thickness along one or
// more probes into the surface; probes that do not come out inside add 0 to the mean.
float translucency_factor(miState* state, const Terms& terms, const LightView& lv, const miVector& N) {
    const int n = terms.spread == 0.f ? 1 : std::min(terms.samples, orn::kMaxLightSamples);
    if (n <= 0) return 0.f;
    const float r = terms.spread / 180.f;
    float sum = 0.f;
    double s[2];
    int instance = 0;
    miUint count = miUint(n);
    for (int k = 0; k < n; ++k) {
        miVector dir;
        if (terms.spread == 0.f) {
            dir = scaled_sum(lv.L, 1.f, N, -1.f);
        } else {
            if (!mi_sample(s, &instance, state, 2, &count)) break;
            const miVector P = orn::sphere_point(s[0], s[1]);
            dir = scaled_sum(scaled_sum(P, r, lv.L, 1.f - r), 1.f, N, -1.f);
        }
        orn::normalize(&dir);
        miVector from = state->point;
        if (!mi_trace_probe(state, &dir, &from) || !state->child->inv_normal) continue;
        sum += probe_contribution(state, terms, lv, state->child);
    }
    return sum / float(n);
}

// The wrap, terminator and translucency terms of one light sample, to be multiplied by its colour.
miColor sample_terms(miState* state, const Terms& terms, const LightView& lv, const miVector& N) {
    miColor t = {0.f, 0.f, 0.f, 0.f};
    if (terms.translucency) {
        const float d = translucency_factor(state, terms, lv, N);
        add_scaled(&t, terms.translucency_color, terms.translucency_weight * d);
    }
    if (terms.terminator) {
        const float x = lv.v < 0.f ? lv.v + 1.f : 1.f - lv.v;
        const float width = terms.terminator_width;
        const float D = (x - (1.f - width)) / width;
        if (D > 0.f && std::isfinite(D)) add_scaled(&t, terms.terminator_color, D * terms.terminator_weight);
    }
    if (terms.wrap) {
        const float D = (lv.v + terms.wrap_amount) / (terms.wrap_amount + 1.f);
        if (D > 0.f && std::isfinite(D)) add_scaled(&t, terms.wrap_color, D * terms.wrap_weight);
    }
    return t;
}

void add_average(miColor* result, const miColor& sum, int samples) {
    if (samples == 0) return;
    add_scaled(result, sum, 1.f / float(samples));
}

} // namespace

ORN_SHADER_VERSION(orn_scatter_wrap, 3)
ORN_SHADER miBoolean orn_scatter_wrap(miColor* result, miState* state, orn_scatter_wrap_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    *result = {0.f, 0.f, 0.f, 0.f};
    const miInteger mode = mi_eval_integer(&paras->light_mode);
    miTag* array = static_cast<miTag*>(mi_eval(state, paras->lights)) + mi_eval_integer(&paras->i_lights);
    const orn::LightSelection lights =
        orn::select_lights(state, mode, array, mi_eval_integer(&paras->n_lights));
    if (!lights.run) return miTRUE;

    const miVector original_normal = state->normal;
    miVector N = original_normal;
    orn::normalize(&N);
    const miVector zero = {0.f, 0.f, 0.f};
    // Wrap, terminator and translucency take light without shadows: a private copy of the
    // options for the whole call.
    miOptions* const options = state->options;
    miOptions own = options ? *options : miOptions{};
    own.shadow = 0;
    state->options = &own;

    const Terms terms = read_terms(state, paras);
    orn::GroupShares groups(state); // each light group's share of the result
    auto add_light = [&](mi::shader::LightIterator& it, const miColor& S) {
        const int n = it->get_number_of_samples();
        add_average(result, S, n);
        if (groups.on() && n != 0) {
            const float w = 1.f / float(n);
            groups.add(mi_lightgroup_of(state, *it), S, {w, w, w, 0.f});
        }
    };
    if (terms.translucency || terms.wrap || terms.terminator) {
        state->normal = zero;
        for (mi::shader::LightIterator it(state, zero, 0.f, lights.lights, miUint(lights.count));
             !it.at_end(); ++it) {
            miColor S = {0.f, 0.f, 0.f, 0.f};
            while (it->sample()) {
                state->normal = N;
                miColor C;
                it->get_contribution(&C);
                LightView lv;
                lv.instance = *it;
                lv.L = it->get_direction();
                orn::normalize(&lv.L);
                lv.v = orn::dot(N, lv.L);
                lv.F = state->child ? float(state->child->dist) : 0.f;
                const miColor t = sample_terms(state, terms, lv, N);
                S.r += t.r * C.r;
                S.g += t.g * C.g;
                S.b += t.b * C.b;
            }
            add_light(it, S);
            state->normal = zero;
        }
    }

    if (mi_eval_boolean(&paras->backlight)) {
        const miScalar weight = mi_eval_scalar(&paras->backlight_weight);
        const miColor color = *mi_eval_color(&paras->backlight_color);
        if (weight > kNegligible && color.r > kNegligible && color.g > kNegligible && color.b > kNegligible) {
            own.shadow = 1;
            state->normal = zero;
            const miVector back = {-N.x, -N.y, -N.z};
            for (mi::shader::LightIterator it(state, zero, 0.f, lights.lights, miUint(lights.count));
                 !it.at_end(); ++it) {
                state->normal = back;
                miColor S = {0.f, 0.f, 0.f, 0.f};
                while (it->sample()) {
                    miVector L = it->get_direction();
                    orn::normalize(&L);
                    const float nl = orn::dot(N, L);
                    if (nl < 0.f && orn::dot(L, state->normal_geom) < 0.f) {
                        miColor C;
                        it->get_contribution(&C);
                        S.r += C.r * nl * nl * weight * color.r;
                        S.g += C.g * nl * nl * weight * color.g;
                        S.b += C.b * nl * nl * weight * color.b;
                    }
                }
                add_light(it, S);
                state->normal = N;
            }
        }
    }

    state->normal = original_normal;
    state->options = options;
    groups.publish(state);
    return miTRUE;
}
