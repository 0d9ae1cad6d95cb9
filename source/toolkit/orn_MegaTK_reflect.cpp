// orn_MegaTK reflection and refraction: inside or outside, the indices of refraction through
// nested materials, Fresnel-weighted strengths, the one-branch rule, and the mirror, glossy
// and anisotropic rays with their distance falloff and absorption.
#include "source/toolkit/orn_MegaTK_call.h"

#include "common/conventions.h"
#include "common/light_record.h"
#include "common/passages.h"

#include <climits>
#include <cmath>
#include <optional>

namespace orn::megatk {

namespace {

// Clamps to [0, 1]; NaN gives 0.
float clamp01(float x) {
    return x > 0.f ? (x < 1.f ? x : 1.f) : 0.f;
}

// The anisotropy frame from the first surface derivative; zero without derivatives.
void derivative_frame(const miState* state, miVector* u, miVector* v) {
    *u = *v = {0.f, 0.f, 0.f};
    if (!state->derivs) return;
    const miVector& N = state->normal;
    const miVector& D = state->derivs[0];
    const float dn = orn::dot(D, N);
    *u = {D.x - dn * N.x, D.y - dn * N.y, D.z - dn * N.z};
    orn::normalize(u);
    *v = {N.y * u->z - N.z * u->y, N.z * u->x - N.x * u->z, N.x * u->y - N.y * u->x};
}

enum class Side { Reflection, Refraction };

// What one of reflection and refraction traces, from its parameters.
struct Lobe {
    miColor w{};       // weight of a traced ray
    float gloss = 0.f; // 0: a single mirror or clear ray
    bool aniso = false;
    float shiny_u = 0.f, shiny_v = 0.f;
    double start = 0.0, end = 0.0; // falloff distances; end <= 0: none
    bool fade_to_colour = false;   // the material fades, not the renderer
    miColor fade{};                // its alpha weights it for rays that leave the scene
    int samples = 0;
    const miColor* absorb = nullptr; // refraction only
};

// Traces the rays of one lobe and averages what they bring back.
class LobeTrace {
  public:
    // `groups` (may be off) receives each light group's share of what run() returns.
    LobeTrace(miState* state, Side side, const Lobe& lobe, orn::GroupShares& groups)
        : state_(state), side_(side), lobe_(lobe), groups_(groups) {}

    miColor run(int sample_falloff) {
        if (lobe_.samples < 1) return grey(0.f);
        std::optional<RayFalloffScope> falloff;
        if (lobe_.end > 0.0 && !lobe_.fade_to_colour) falloff.emplace(state_, lobe_.start, lobe_.end);

        miVector dir;
        if (lobe_.gloss == 0.f && !lobe_.aniso) return mirror_direction(&dir) ? shade(dir) : grey(0.f);

        const int n = sample_count(state_, lobe_.samples, sample_falloff);
        if (lobe_.aniso) derivative_frame(state_, &u_, &v_);
        miColor sum = grey(0.f);
        double sample[2];
        int instance = 0;
        miUint count = miUint(n);
        while (mi_sample(sample, &instance, state_, 2, &count))
            if (sampled_direction(&dir, sample)) sum = sum + shade(dir); // a failed sample still counts
        groups_.scale(1.f / float(n));
        return sum * (1.f / float(n));
    }

  private:
    bool mirror_direction(miVector* dir) {
        if (side_ == Side::Reflection) {
            mi_reflection_dir_specular(dir, state_);
            return true;
        }
        return mi_refraction_dir(dir, state_, state_->ior_in, state_->ior);
    }

    bool sampled_direction(miVector* dir, double* s) {
        if (side_ == Side::Reflection) {
            if (lobe_.aniso)
                mi_reflection_dir_anisglossy_x(dir, state_, &u_, &v_, lobe_.shiny_u, lobe_.shiny_v, s);
            else
                mi_reflection_dir_glossy_x(dir, state_, lobe_.gloss, s);
            return true;
        }
        if (lobe_.aniso)
            return mi_transmission_dir_anisglossy_x(dir, state_, state_->ior_in, state_->ior, &u_, &v_,
                                                    lobe_.shiny_u, lobe_.shiny_v, s);
        return mi_transmission_dir_glossy_x(dir, state_, state_->ior_in, state_->ior, lobe_.gloss, s);
    }

    // The weighted value of one ray in direction dir: w x (a x C (1 - t) + fade t), with a the
    // medium's absorption and t the fade towards the falloff colour. Only the part that came
    // from the traced ray, w x a x (1 - t), carries the ray's light groups.
    miColor shade(miVector dir) {
        miColor C{0.f, 0.f, 0.f, 0.f};
        const bool from_ray = side_ == Side::Reflection ? mi_trace_reflection(&C, state_, &dir)
                                                        : mi_trace_refraction(&C, state_, &dir);
        bool traced = from_ray;
        if (!traced) traced = mi_trace_environment(&C, state_, &dir);
        const miColor& fc = lobe_.fade;
        if (!traced) {
            if (lobe_.end > 0.0 && lobe_.fade_to_colour && fc.a > 0.f) return rgb_of(fc) * fc.a * lobe_.w;
            return grey(0.f);
        }
        const double d = state_->child ? state_->child->dist : 0.0;
        miColor a = grey(1.f);
        if (lobe_.absorb && d != 0.0)
            a = {medium_transmission(lobe_.absorb->r, d), medium_transmission(lobe_.absorb->g, d),
                 medium_transmission(lobe_.absorb->b, d), 0.f};
        C = {C.r * a.r, C.g * a.g, C.b * a.b, C.a};
        miColor value, kept; // the value, and the share of the ray's colour in it
        if (!lobe_.fade_to_colour || lobe_.end <= 0.0) {
            value = rgb_of(C) * lobe_.w;
            kept = lobe_.w;
        } else if (d == 0.0) {
            value = (rgb_of(C) * (1.f - fc.a) + rgb_of(fc) * fc.a) * lobe_.w;
            kept = lobe_.w * (1.f - fc.a);
        } else if (d <= lobe_.start) {
            value = rgb_of(C) * lobe_.w;
            kept = lobe_.w;
        } else if (d >= lobe_.end) {
            value = rgb_of(fc) * lobe_.w;
            kept = grey(0.f);
        } else {
            const float t = float((d - lobe_.start) / (lobe_.end - lobe_.start));
            value = (rgb_of(C) * (1.f - t) + rgb_of(fc) * t) * lobe_.w;
            kept = lobe_.w * (1.f - t);
        }
        if (from_ray && groups_.on()) groups_.add_traced(state_, a * kept);
        return value;
    }

    miState* state_;
    Side side_;
    const Lobe& lobe_;
    orn::GroupShares& groups_;
    miVector u_{0.f, 0.f, 0.f}, v_{0.f, 0.f, 0.f};
};

// The distance falloff parameters of either side.
void read_falloff(miState* state, miScalar* start, miScalar* end, miBoolean* colour_on, miColor* colour,
                  Lobe* lobe) {
    const float e = mi_eval_scalar(end);
    const float s = mi_eval_scalar(start);
    lobe->end = e;
    lobe->start = s < e ? s : e; // a start beyond the end behaves as the end
    lobe->fade_to_colour = mi_eval_boolean(colour_on) != miFALSE;
    if (lobe->fade_to_colour) lobe->fade = *mi_eval_color(colour);
}

// The trace depth that applies to this material's rays of one kind: the scene's, or the
// material's own override, which is put into a private options copy while it traces.
class DepthOverride {
  public:
    DepthOverride(miState* state, int wanted, int miOptions::*depth) {
        depth_ = state->options ? state->options->*depth : INT_MAX;
        if (wanted > 0 && wanted != depth_) {
            depth_ = wanted;
            if (state->options) copy_.emplace(state).options().*depth = wanted;
        }
    }
    int depth() const { return depth_; }

  private:
    int depth_;
    std::optional<OptionsCopy> copy_;
};

miColor reflection(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst,
                   const RayStrengths& k, orn::GroupShares& groups) {
    const DepthOverride depth(state, mi_eval_integer(&paras->reflect_depth), &miOptions::reflection_depth);
    miColor R = grey(0.f);
    Lobe lobe;
    lobe.w = rgb_of(*mi_eval_color(&paras->reflect_color)) * (k.sc * k.kr);
    if (state->reflection_level <= depth.depth() && max_channel(lobe.w) > kNegligible) {
        lobe.samples = mi_eval_integer(&paras->reflect_samples);
        if (lobe.samples >= 1) {
            lobe.gloss = mi_eval_scalar(&paras->reflect_gloss);
            lobe.aniso = mi_eval_boolean(&paras->reflect_aniso) != miFALSE;
            if (lobe.aniso) {
                lobe.shiny_u = mi_eval_scalar(&paras->reflect_shiny_u);
                lobe.shiny_v = mi_eval_scalar(&paras->reflect_shiny_v);
            }
            read_falloff(state, &paras->reflect_falloff_start, &paras->reflect_falloff_end,
                         &paras->reflect_falloff_color_on, &paras->reflect_falloff_color, &lobe);
            R = LobeTrace(state, Side::Reflection, lobe, groups).run(inst.sample_falloff);
        }
    }
    return R + rgb_of(*mi_eval_color(&paras->reflect_add)) * k.kr;
}

miColor refraction(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst,
                   const RayStrengths& k, orn::GroupShares& groups) {
    const DepthOverride depth(state, mi_eval_integer(&paras->refract_depth), &miOptions::refraction_depth);
    miColor Tr = grey(0.f);
    Lobe lobe;
    lobe.w = rgb_of(*mi_eval_color(&paras->refract_color)) * k.kt;
    if (state->refraction_level <= depth.depth() && max_channel(lobe.w) > kNegligible) {
        lobe.samples = mi_eval_integer(&paras->refract_samples);
        if (lobe.samples >= 1) {
            lobe.gloss = mi_eval_scalar(&paras->refract_gloss);
            lobe.aniso = inst.refract_aniso != miFALSE;
            if (lobe.aniso) {
                lobe.shiny_u = mi_eval_scalar(&paras->refract_shiny_u);
                lobe.shiny_v = mi_eval_scalar(&paras->refract_shiny_v);
            }
            read_falloff(state, &paras->refract_falloff_start, &paras->refract_falloff_end,
                         &paras->refract_falloff_color_on, &paras->refract_falloff_color, &lobe);
            // the refracted ray travels inside when it enters, outside when it leaves
            lobe.absorb = mi_eval_color(k.entering ? &paras->absorb_inside : &paras->absorb_outside);
            Tr = LobeTrace(state, Side::Refraction, lobe, groups).run(inst.sample_falloff);
        }
    }
    // Radiance across the surface scales with the square of the index ratio: the traced ray's
    // medium against the viewer's.
    const float ratio =
        k.entering ? (k.n_out * k.n_out) / (k.n_mat * k.n_mat) : (k.n_mat * k.n_mat) / (k.n_out * k.n_out);
    const float s = (std::isfinite(ratio) ? ratio : 1.f) * k.sc;
    groups.scale(s);
    return Tr * s + rgb_of(*mi_eval_color(&paras->refract_add)) * k.kt;
}

} // namespace

bool is_photon_type(int type) {
    switch (type) {
    case miPHOTON_ABSORB:
    case miPHOTON_LIGHT:
    case miPHOTON_REFLECT_SPECULAR:
    case miPHOTON_REFLECT_GLOSSY:
    case miPHOTON_REFLECT_DIFFUSE:
    case miPHOTON_TRANSMIT_SPECULAR:
    case miPHOTON_TRANSMIT_GLOSSY:
    case miPHOTON_TRANSMIT_DIFFUSE:
    case miPHOTON_SCATTER_VOLUME:
    case miPHOTON_TRANSPARENT:
    case miPHOTON_EMIT_GLOBILLUM:
    case miPHOTON_EMIT_CAUSTIC:
    case miPHOTON_EMIT_SHADOW:
        return true;
    default:
        return false;
    }
}

float medium_transmission(float per_unit, double d) {
    if (!(per_unit > 0.f)) return 0.f;
    if (per_unit >= 1.f) return 1.f;
    return float(std::pow(double(per_unit), d));
}

int sample_count(miState* state, int n, int sample_falloff) {
    if (n <= 1) return n;
    if (orn::tk_single_sample(state)) return 1;
    const unsigned levels = unsigned(state->reflection_level + state->refraction_level);
    const unsigned shift = (levels * unsigned(sample_falloff)) & 31u;
    const int m = n >> shift;
    return m < 1 ? 1 : m;
}

RayStrengths reflection_strengths(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst) {
    RayStrengths k;
    k.n_mat = inst.ior;
    k.n_out = inst.outside_ior;
    if (!inst.reflect_on && !inst.refract_on) return k;

    const orn::Passages passages = orn::count_passages(state, true);
    k.entering = inst.entering_by_count ? passages.count % 2 == 0 : !state->inv_normal;
    // Where the ray's history does not tell the medium on the other side, a set outside index
    // does: a ray that came into the water through its own top and leaves it through the
    // water/glass boundary has never been in the glass, and would otherwise bend as into air.
    const float unknown_outside = inst.outside_ior_set ? inst.outside_ior : 1.f;
    if (k.entering) {
        if (state->refraction_volume == miNULLTAG) state->refraction_volume = state->volume;
        k.n_out = state->parent && state->parent->ior != 0.f ? state->parent->ior : unknown_outside;
        state->ior_in = k.n_out;
        state->ior = k.n_mat;
    } else {
        const miState* outer = passages.outer;
        state->refraction_volume = outer ? outer->volume : state->camera ? state->camera->volume : miNULLTAG;
        k.n_out = outer && outer->ior_in != 0.f ? outer->ior_in : unknown_outside;
        state->ior = k.n_out;
        state->ior_in = k.n_mat;
    }

    const float F = clamp01(mi_fresnel_reflection(state, state->ior_in, state->ior));
    if (inst.reflect_on) {
        const float amount = mi_eval_scalar(&paras->reflect_amount);
        const float fr = mi_eval_scalar(&paras->reflect_fresnel);
        k.kr = fr > kNegligible ? amount * (fr * F + 1.f - fr) : amount;
        k.Lrr += k.kr * mi_eval_scalar(&paras->reflect_diffuse_loss);
    }
    if (inst.refract_on) {
        const float amount = mi_eval_scalar(&paras->refract_amount);
        const float ft = mi_eval_scalar(&paras->refract_fresnel);
        k.kt = ft > kNegligible ? amount * ((1.f - F) * ft + 1.f - ft) : amount;
        k.Lrr += k.kt * mi_eval_scalar(&paras->refract_diffuse_loss);
    }

    // Deep in the ray tree only one of the two continues, weighted so that on average the
    // pair keeps its strength.
    const int level = state->reflection_level + state->refraction_level;
    if (inst.branch_mode == 1 && inst.reflect_on && inst.refract_on && inst.branch_start_depth <= level &&
        !is_photon_type(state->type)) {
        miColor reflect = grey(k.kr), transmit = grey(k.kt);
        switch (choose_scatter(state, nullptr, nullptr, &reflect, &transmit)) {
        case kSpecularReflection:
            k.use_t = false;
            if (k.kr != 0.f) k.sc = reflect.r / k.kr;
            break;
        case kSpecularTransmission:
            k.use_r = false;
            if (k.kt != 0.f) k.sc = transmit.r / k.kt;
            break;
        default:
            k.use_r = k.use_t = false;
            break;
        }
    }
    return k;
}

void reflection_and_refraction(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst, float g,
                               const RayStrengths& k, miColor* R, miColor* Tr, orn::GroupShares* groups) {
    if (!(g > kNegligible)) return;
    if (inst.reflect_on && k.use_r && k.kr > kNegligible) {
        orn::GroupShares lobe(state);
        *R = reflection(state, paras, inst, k, lobe);
        if (groups) groups->add(lobe, 1.f);
    }
    if (inst.refract_on && k.use_t && k.kt > kNegligible) {
        orn::GroupShares lobe(state);
        *Tr = refraction(state, paras, inst, k, lobe);
        if (groups) groups->add(lobe, 1.f);
    }
}

} // namespace orn::megatk
