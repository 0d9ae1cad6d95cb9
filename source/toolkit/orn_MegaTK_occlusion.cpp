// orn_MegaTK light that does not come from the light loop: incandescence, ambient occlusion
// with its bent normal, the occluded-ambient term, and indirect light from the renderer's
// irradiance or from the material's own gathering rays.
#include "source/toolkit/orn_MegaTK_call.h"

#include "common/conventions.h"
#include "common/light_record.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

namespace orn::megatk {

namespace {

constexpr const char* kOpacityOnlyKey = "ra_o"; // asks hit materials for their opacity only
constexpr const char* kGatherLevelKey = "rad";  // nesting level of the own gathering rays

// One integer shader-state entry, set while the scope lives; the previous value (or its
// absence) is put back afterwards.
class ShaderStateEntry {
  public:
    ShaderStateEntry(miState* state, const char* key) : state_(state), key_(key) {
        int size = 0;
        if (const void* old = mi_shaderstate_get(state, key, &size)) {
            const auto* bytes = static_cast<const unsigned char*>(old);
            saved_.assign(bytes, bytes + (size > 0 ? size : 0));
            had_value_ = true;
        }
    }
    ~ShaderStateEntry() {
        if (had_value_)
            mi_shaderstate_set(state_, key_, saved_.data(), int(saved_.size()), 1);
        else if (set_)
            mi_shaderstate_set(state_, key_, nullptr, 0, 1);
    }
    ShaderStateEntry(const ShaderStateEntry&) = delete;
    ShaderStateEntry& operator=(const ShaderStateEntry&) = delete;

    void set(miInteger value) {
        mi_shaderstate_set(state_, key_, &value, int(sizeof value), 1);
        set_ = true;
    }

  private:
    miState* state_;
    const char* key_;
    std::vector<unsigned char> saved_;
    bool had_value_ = false;
    bool set_ = false;
};

bool read_integer(miState* state, const char* key, miInteger* value) {
    int size = 0;
    const void* stored = mi_shaderstate_get(state, key, &size);
    if (!stored || size < int(sizeof(miInteger))) return false;
    std::memcpy(value, stored, sizeof *value);
    return true;
}

// What the occlusion sampler is given, from the parameters and the instance record.
struct OcclusionInputs {
    miColor bright, dark;
    miVector bias_point;
    float bias;
};

struct Occlusion {
    miColor value; // 1 unoccluded, 0 occluded (between bright and dark)
    miVector bent; // average open direction, normalised, in the requested space
};

// Casts occlusion probes around the normal and weighs each hit by its distance, between
// ao_near (dark) and ao_far (bright).
class OcclusionSampler {
  public:
    OcclusionSampler(miState* state, const megatk_instance& inst, const OcclusionInputs& in)
        : state_(state), inst_(inst), in_(in) {}

    Occlusion run() {
        Occlusion out{{1.f, 1.f, 1.f, 1.f}, {0.f, 0.f, 0.f}};
        miVector towards_bias{0.f, 0.f, 0.f};
        if (in_.bias > 0.f) {
            miVector P;
            mi_point_to_world(state_, &P, &state_->point);
            miVector d{in_.bias_point.x - P.x, in_.bias_point.y - P.y, in_.bias_point.z - P.z};
            mi_normal_from_world(state_, &towards_bias, &d);
            orn::normalize(&towards_bias);
        }
        if (inst_.ao_samples <= 0 || (inst_.ao_skip_finalgather && state_->type == miRAY_FINALGATHER))
            return out;

        std::optional<ShaderStateEntry> opacity_only;
        std::optional<OptionsCopy> plain_shadows;
        if (inst_.ao_mode == 1) {
            opacity_only.emplace(state_, kOpacityOnlyKey);
            opacity_only->set(1);
        } else if (inst_.ao_mode == 2 && state_->options) {
            // The hit's shadow shader must answer for itself, not continue the ray in segments.
            plain_shadows.emplace(state_).options().shadow = 'l';
        }
        const RayFalloffScope falloff(state_, inst_.ao_near, inst_.ao_far);
        exponent_ = inst_.ao_falloff != 0.f ? 1.f / inst_.ao_falloff : 0.f;

        miVector M = state_->normal;
        if (in_.bias > 0.f) {
            M = M * (1.f - in_.bias) + towards_bias * in_.bias;
            orn::normalize(&M);
        }
        const float spread = inst_.ao_spread * 0.00555f;
        const miVector base = M * (1.f - spread);

        miColor sum{0.f, 0.f, 0.f, 0.f};
        double sample[2];
        int instance = 0;
        miUint count = miUint(inst_.ao_samples);
        int taken = 0;
        auto add = [&sum, &taken](const miColor& v) {
            sum = {sum.r + v.r, sum.g + v.g, sum.b + v.b, sum.a + v.a};
            ++taken;
        };
        // Where only the distance of a hit matters the probes go to the renderer together, a
        // batch at a time, and no hit state is made for them.
        if (inst_.ao_mode != 1 && inst_.ao_mode != 2 && !inst_.ao_environment) {
            constexpr int kBatch = 32;
            miVector dirs[kBatch];
            double dist[kBatch];
            for (bool more = true; more;) {
                int n = 0;
                while (n < kBatch && (more = mi_sample(sample, &instance, state_, 2, &count)))
                    dirs[n++] = base + orn::sphere_point(sample[0], sample[1]) * spread;
                if (n == 0) break;
                if (mi_trace_probes(state_, &state_->point, dirs, n, miPROBE_DISTANCE_ONLY, dist) < 0)
                    std::fill_n(dist, n, 0.0);
                for (int i = 0; i < n; ++i)
                    add(value(dist[i] > 0.0, float(dist[i]), &dirs[i], &out.bent));
            }
        } else {
            while (mi_sample(sample, &instance, state_, 2, &count)) {
                miVector D = base + orn::sphere_point(sample[0], sample[1]) * spread;
                add(probe(&D, &out.bent));
            }
        }
        if (taken > 0) {
            const float inv = 1.f / float(taken);
            out.value = {sum.r * inv, sum.g * inv, sum.b * inv, sum.a * inv};
        }
        const float gamma = inst_.ao_gamma_inverse;
        if (gamma != 1.f) {
            out.value.r = std::pow(out.value.r, gamma);
            out.value.g = std::pow(out.value.g, gamma);
            out.value.b = std::pow(out.value.b, gamma);
        }

        orn::normalize(&out.bent);
        if (inst_.ao_bent_space == 1)
            mi_vector_to_object(state_, &out.bent, &out.bent);
        else if (inst_.ao_bent_space == 2)
            mi_vector_to_camera(state_, &out.bent, &out.bent);
        return out;
    }

  private:
    // The value of one probe along D (not normalised); open directions add to `bent`.
    miColor probe(miVector* D, miVector* bent) {
        if (!mi_trace_probe(state_, D, &state_->point) || !state_->child) return value(false, 0.f, D, bent);
        miState* hit = state_->child;
        float t = float(hit->dist);
        if ((inst_.ao_mode == 1 || inst_.ao_mode == 2) && passes_light(hit)) t = inst_.ao_far;
        return value(true, t, D, bent);
    }

    // The value of a probe along D that hit at distance t, or missed.
    miColor value(bool hit, float t, miVector* D, miVector* bent) {
        if (!hit) {
            if (inst_.ao_bent_on) *bent = *bent + *D;
            return lit(in_.bright, D);
        }
        if (t <= inst_.ao_near) return in_.dark;
        if (t >= inst_.ao_far) return lit(in_.bright, D);
        const float x = 1.f - (t - inst_.ao_near) / (inst_.ao_far - inst_.ao_near);
        const float f = exponent_ == 1.f ? x : std::pow(x, exponent_); // a linear falloff is common
        const miColor& b = in_.bright;
        const miColor& k = in_.dark;
        const miColor mix{(1.f - f) * b.r + f * k.r, (1.f - f) * b.g + f * k.g, (1.f - f) * b.b + f * k.b,
                          (1.f - f) * b.a + f * k.a};
        return lit(mix, D);
    }

    // An unoccluded value, tinted by the environment when asked to.
    miColor lit(const miColor& value, miVector* D) {
        if (!inst_.ao_environment) return value;
        miColor E{0.f, 0.f, 0.f, 0.f};
        mi_trace_environment(&E, state_, D);
        return {value.r * E.r, value.g * E.g, value.b * E.b, value.a * E.a};
    }

    // Whether the hit surface lets enough light through to count as open (modes 1 and 2).
    bool passes_light(miState* hit) {
        miVector tex[8];
        int spaces = 0;
        for (; spaces < 8; ++spaces) {
            miVector *a = nullptr, *b = nullptr, *c = nullptr;
            if (!mi_tri_vectors(hit, 't', spaces, &a, &b, &c)) break;
            tex[spaces] = *a * hit->bary[0] + *b * hit->bary[1] + *c * hit->bary[2];
        }
        miVector* const saved_tex = hit->tex_list;
        const int saved_type = hit->type;
        if (spaces > 0) hit->tex_list = tex;
        hit->child = nullptr;

        miColor c{1.f, 1.f, 1.f, 1.f};
        bool open = false;
        if (inst_.ao_mode == 1) {
            open = mi_call_material(&c, hit) && c.a < 0.3f;
        } else {
            hit->type = miRAY_SHADOW;
            open = mi_call_shadow_material(&c, hit) && average(c) > 0.7f;
        }
        hit->type = saved_type;
        hit->tex_list = saved_tex;
        return open;
    }

    miState* state_;
    const megatk_instance& inst_;
    const OcclusionInputs& in_;
    float exponent_ = 1.f;
};

// Indirect light gathered with the material's own diffuse rays. Nested gathering (a gathering
// ray that hits this material again) fires one ray per call up to indirect_depth levels.
class OwnGathering {
  public:
    // `groups` receives each light group's share of what run() returns.
    OwnGathering(miState* state, const megatk_instance& inst, orn::GroupShares& groups)
        : state_(state), inst_(inst), groups_(groups) {}

    miColor run() {
        const miColor none = grey(0.f);
        if (state_->options && state_->reflection_level >= state_->options->reflection_depth) return none;
        const int n = inst_.indirect_samples;
        if (n < 1 || inst_.indirect_depth < 1) return none;

        miInteger outer_level = 0;
        const bool top = state_->reflection_level < 1 || !read_integer(state_, kGatherLevelKey, &outer_level);
        const miInteger level = top ? 1 : outer_level + 1;
        if (level > inst_.indirect_depth) return none;

        ShaderStateEntry entry(state_, kGatherLevelKey);
        int rays = 1;
        if (n > 1 && top) {
            if (orn::tk_single_sample(state_)) {
                rays = n >> 3;
            } else {
                const unsigned levels = unsigned(state_->reflection_level + state_->refraction_level);
                rays = n >> ((levels * unsigned(inst_.sample_falloff)) & 31u);
            }
        }
        if (rays <= 1) return gather(entry, level);

        miColor sum = none;
        double sample[2];
        int instance = 0;
        miUint count = miUint(rays);
        while (mi_sample(sample, &instance, state_, 2, &count))
            sum = sum + gather(entry, level);
        groups_.scale(1.f / float(rays));
        return sum * (1.f / float(rays));
    }

  private:
    // One diffuse ray; a ray that hits nothing sees the environment.
    miColor gather(ShaderStateEntry& entry, miInteger level) {
        entry.set(level); // nested gathering below the previous ray may have raised it
        miVector dir;
        mi_reflection_dir_diffuse(&dir, state_);
        miColor c{0.f, 0.f, 0.f, 0.f};
        const bool hit = mi_trace_reflection(&c, state_, &dir) && state_->child && state_->child->pri;
        if (!hit) {
            c = {0.f, 0.f, 0.f, 0.f};
            mi_trace_environment(&c, state_, &dir);
        } else {
            groups_.add_traced(state_, grey(1.f));
        }
        return rgb_of(c);
    }

    miState* state_;
    const megatk_instance& inst_;
    orn::GroupShares& groups_;
};

// The blend of value with its occluded version by the occlusion factor a (0 none, 1 fully).
miColor occluded(const miColor& value, const miColor& O, float a) {
    if (a == 1.f) return O * value;
    return (O * a + grey(1.f - a)) * value;
}

} // namespace

miColor incandescence(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst, float g,
                      orn::GroupShares& groups) {
    if (!inst.incandescence_on || !(g > kNegligible)) return grey(0.f);
    const float scale = mi_eval_scalar(&paras->incandescence_scale);
    if (scale == 0.f) return grey(0.f);
    // A shader that lights the colour (a translucency glow) says which lights it came from.
    const miColor c = groups.take_from(state, [&] { return *mi_eval_color(&paras->incandescence_color); });
    groups.scale(scale);
    return rgb_of(c) * scale;
}

void ambient_occlusion(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst, float g,
                       miColor* O, miColor* B) {
    if (!inst.ao_on || !(g > kNegligible)) return;
    const miColor tint = *mi_eval_color(&paras->ao_color);
    *O = {tint.r, tint.g, tint.b, 1.f};
    const bool skipped = (state->type == miRAY_REFLECT && inst.ao_skip_reflection) ||
                         (state->type == miRAY_REFRACT && inst.ao_skip_refraction) || inst.ao_samples <= 0;
    if (skipped) return;

    OcclusionInputs in;
    in.bright = *mi_eval_color(&paras->ao_bright);
    in.dark = *mi_eval_color(&paras->ao_dark);
    in.bias = mi_eval_scalar(&paras->ao_bias);
    in.bias_point = in.bias > 0.f ? *mi_eval_vector(&paras->ao_bias_point) : miVector{0.f, 0.f, 0.f};
    const Occlusion occ = OcclusionSampler(state, inst, in).run();
    *O = {O->r * occ.value.r, O->g * occ.value.g, O->b * occ.value.b, O->a};
    if (inst.ao_bent_on) *B = {occ.bent.x, occ.bent.y, occ.bent.z, 0.f};
}

void occluded_ambient(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst, float g,
                      const miColor& Cd, const miColor& O, miColor* Amb, miColor* AmbO) {
    if (!inst.amb_occl_on || !(g > kNegligible)) return;
    const float w = mi_eval_scalar(&paras->amb_occl_scale);
    if (!(w > kNegligible)) return;
    *Amb = Cd * rgb_of(*mi_eval_color(&paras->amb_occl_color)) * w;
    const float a = inst.ao_on ? mi_eval_scalar(&paras->ao_on_ambient) : 0.f;
    *AmbO = inst.ao_on && a > 0.f ? occluded(*Amb, O, a) : *Amb;
}

miColor indirect_light(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst, float g,
                       const miColor& Cd, float Lrr, const miColor& O, orn::GroupShares& groups) {
    if (!inst.indirect_on || !(g > kNegligible)) return grey(0.f);
    miColor I{0.f, 0.f, 0.f, 0.f};
    // Only the material's own rays tell which lights the light they bring came from.
    if (inst.indirect_own_rays)
        I = OwnGathering(state, inst, groups).run();
    else if (!mi_compute_irradiance(&I, state))
        I = grey(0.f);

    const float s = mi_eval_scalar(&paras->indirect_saturation);
    auto desaturate = [s](const miColor& c) {
        const float m = (c.r + c.g + c.b) * 0.3333f;
        return s == 0.f ? grey(m) : c * s + grey((1.f - s) * m);
    };
    if (s < 1.f) {
        I = desaturate(I);
        for (int k = 0; k < groups.size(); ++k)
            groups[k] = desaturate(groups[k]);
    }
    I = rgb_of(I) * (1.f - Lrr);
    const miColor tint = Cd * rgb_of(*mi_eval_color(&paras->indirect_color));
    const float a = inst.ao_on ? mi_eval_scalar(&paras->ao_on_indirect) : 0.f;
    const miColor w = (inst.ao_on && a > 0.f ? occluded(grey(1.f - Lrr), O, a) : grey(1.f - Lrr)) * tint;
    groups.scale(w);
    return (inst.ao_on && a > 0.f ? occluded(I, O, a) : I) * tint;
}

miColor occlusion_on_specular(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst,
                              const miColor& O, miColor* specular_shd) {
    if (!inst.ao_on) return grey(1.f);
    const float a = mi_eval_scalar(&paras->ao_on_specular);
    if (!(a > kNegligible)) return grey(1.f);
    const miColor darker = occluded(*specular_shd, O, a);
    specular_shd->r = darker.r;
    specular_shd->g = darker.g;
    specular_shd->b = darker.b;
    return occluded(grey(1.f), O, a);
}

} // namespace orn::megatk
