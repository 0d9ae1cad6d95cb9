// orn_MegaTK: the multi-pass surface material. One call prepares normal and opacity,
// dispatches by ray type, gathers direct light through the lighting models into shadowed
// and unshadowed diffuse and specular sums, and combines the components into its colour.
#include "source/toolkit/orn_MegaTK.h"

#include "common/conventions.h"
#include "common/light_groups.h"
#include "common/light_record.h"
#include "source/toolkit/orn_MegaTK_call.h"
#include "source/toolkit/orn_MegaTK_lighting.h"
#include "source/toolkit/orn_MegaTK_passes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace mt = orn::megatk;

namespace {

constexpr float kMinStrength = 0.0001f; // opacities, weights and colours at or below this count as off

using BoolParam = miBoolean orn_MegaTK_params::*;
using ColorParam = miColor orn_MegaTK_params::*;
using TagParam = miTag orn_MegaTK_params::*;

constexpr BoolParam kPassSwitches[mt::kPassCount] = {
    &orn_MegaTK_params::pass_shading,    &orn_MegaTK_params::pass_color,
    &orn_MegaTK_params::pass_diffuse,    &orn_MegaTK_params::pass_shadow,
    &orn_MegaTK_params::pass_specular,   &orn_MegaTK_params::pass_spec_shd,
    &orn_MegaTK_params::pass_diff_occl,  &orn_MegaTK_params::pass_indirect,
    &orn_MegaTK_params::pass_ambient,    &orn_MegaTK_params::pass_amb_occlus,
    &orn_MegaTK_params::pass_reflect,    &orn_MegaTK_params::pass_refract,
    &orn_MegaTK_params::pass_incand,     &orn_MegaTK_params::pass_z,
    &orn_MegaTK_params::pass_bent,       &orn_MegaTK_params::pass_specialC1,
    &orn_MegaTK_params::pass_specialC2,  &orn_MegaTK_params::pass_specialC3,
    &orn_MegaTK_params::pass_specialC4,  &orn_MegaTK_params::pass_specialC5,
    &orn_MegaTK_params::pass_specialC6,  &orn_MegaTK_params::pass_specialC7,
    &orn_MegaTK_params::pass_specialC8,  &orn_MegaTK_params::pass_specialC9,
    &orn_MegaTK_params::pass_specialC10,
};

constexpr BoolParam kSpecialSwitches[mt::kSpecialCount] = {
    &orn_MegaTK_params::special_on_1,  &orn_MegaTK_params::special_on_2, &orn_MegaTK_params::special_on_3,
    &orn_MegaTK_params::special_on_4,  &orn_MegaTK_params::special_on_5, &orn_MegaTK_params::special_on_6,
    &orn_MegaTK_params::special_on_7,  &orn_MegaTK_params::special_on_8, &orn_MegaTK_params::special_on_9,
    &orn_MegaTK_params::special_on_10,
};

constexpr ColorParam kSpecialColors[mt::kSpecialCount] = {
    &orn_MegaTK_params::special_color_1, &orn_MegaTK_params::special_color_2,
    &orn_MegaTK_params::special_color_3, &orn_MegaTK_params::special_color_4,
    &orn_MegaTK_params::special_color_5, &orn_MegaTK_params::special_color_6,
    &orn_MegaTK_params::special_color_7, &orn_MegaTK_params::special_color_8,
    &orn_MegaTK_params::special_color_9, &orn_MegaTK_params::special_color_10,
};

const miColor kBlack{0.f, 0.f, 0.f, 0.f};
const miColor kWhite{1.f, 1.f, 1.f, 1.f};

miColor times(const miColor& a, const miColor& b) {
    return {a.r * b.r, a.g * b.g, a.b * b.b, 0.f};
}
miColor times(const miColor& c, float s) {
    return {c.r * s, c.g * s, c.b * s, 0.f};
}

// ------------------------------------------------------------------ instance set-up

// The text of a category parameter, or null. Only a parameter that holds a tag is evaluated.
const char* category_text(miState* state, miTag* param) {
    if (*param == miNULLTAG) return nullptr;
    const miTag tag = mi_eval_tag(param);
    if (tag == miNULLTAG || mi_db_type(tag) != miSCENE_STRING) return nullptr;
    const char* text = static_cast<const char*>(mi_db_access(tag));
    mi_db_unpin(tag); // the renderer keeps scene strings for the whole frame
    return text;
}

void read_indices_of_refraction(miState* state, orn_MegaTK_params* paras, megatk_instance* rec) {
    const miScalar ior = mi_eval_scalar(&paras->ior);
    if (ior <= 0.f) {
        mi_warning("orn_MegaTK cannot use zero or negative index of refraction %f (using 1.0)", double(ior));
        rec->ior = 1.f;
    } else {
        rec->ior = ior;
    }

    const miScalar outside = mi_eval_scalar(&paras->outside_ior);
    if (outside < 0.f) {
        mi_warning("cannot use negative index of refraction %f for orn_MegaTK (ignoring)", double(outside));
    }
    // 0 is the default and means "not set".
    rec->outside_ior_set = !(outside <= 0.f);
    rec->outside_ior = rec->outside_ior_set ? outside : 1.f;
}

// Depth from which the one-branch rule traces only one of reflection and refraction.
miInteger branch_start_depth(const miState* state, miInteger branch_depth) {
    const int max_samples = state->options ? state->options->max_samples : 0;
    if (max_samples < 1) return 4;
    return std::max(branch_depth - max_samples, 1);
}

void build_record(miState* state, orn_MegaTK_params* paras, megatk_instance* rec) {
    read_indices_of_refraction(state, paras, rec);
    rec->branch_start_depth = branch_start_depth(state, mi_eval_integer(&paras->branch_depth));

    rec->opacity_channel = mi_eval_integer(&paras->opacity_channel);
    rec->ambient_on = mi_eval_boolean(&paras->ambient_on);
    rec->diffuse_on = mi_eval_boolean(&paras->diffuse_on);
    rec->diffuse_category = category_text(state, &paras->diffuse_category);
    rec->fur_on = mi_eval_boolean(&paras->fur_on);
    rec->fur_category = category_text(state, &paras->fur_category);
    rec->phong_on = mi_eval_boolean(&paras->phong_on);
    rec->phong_category = category_text(state, &paras->phong_category);
    rec->blinn_on = mi_eval_boolean(&paras->blinn_on);
    rec->blinn_category = category_text(state, &paras->blinn_category);
    rec->velvet_on = mi_eval_boolean(&paras->velvet_on);
    rec->velvet_category = category_text(state, &paras->velvet_category);
    rec->toon_on = mi_eval_boolean(&paras->toon_on);
    rec->toon_category = category_text(state, &paras->toon_category);
    rec->ward_on = mi_eval_boolean(&paras->ward_on);
    rec->ward_category = category_text(state, &paras->ward_category);
    rec->ward_derivs_frame = mi_eval_boolean(&paras->ward_derivs_frame);
    rec->strand_on = mi_eval_boolean(&paras->strand_on);
    rec->strand_category = category_text(state, &paras->strand_category);

    rec->indirect_on = mi_eval_boolean(&paras->indirect_on);
    rec->indirect_own_rays = mi_eval_boolean(&paras->indirect_own_rays);
    rec->indirect_samples = mi_eval_integer(&paras->indirect_samples);
    rec->indirect_depth = mi_eval_integer(&paras->indirect_depth);
    rec->indirect_keep_normal = mi_eval_boolean(&paras->indirect_keep_normal);
    rec->amb_occl_on = mi_eval_boolean(&paras->amb_occl_on);
    rec->ao_on = mi_eval_boolean(&paras->ao_on);
    rec->ao_environment = mi_eval_boolean(&paras->ao_environment);
    rec->ao_skip_finalgather = mi_eval_boolean(&paras->ao_skip_finalgather);
    rec->ao_skip_reflection = mi_eval_boolean(&paras->ao_skip_reflection);
    rec->ao_skip_refraction = mi_eval_boolean(&paras->ao_skip_refraction);
    rec->ao_spread = mi_eval_scalar(&paras->ao_spread);
    rec->ao_samples = mi_eval_integer(&paras->ao_samples);
    rec->ao_near = mi_eval_scalar(&paras->ao_near);
    rec->ao_far = mi_eval_scalar(&paras->ao_far);
    rec->ao_falloff = mi_eval_scalar(&paras->ao_falloff);
    rec->ao_mode = mi_eval_integer(&paras->ao_mode);
    rec->ao_bent_on = mi_eval_boolean(&paras->ao_bent_on);
    rec->ao_bent_space = mi_eval_integer(&paras->ao_bent_space);

    rec->reflect_on = mi_eval_boolean(&paras->reflect_on);
    rec->refract_on = mi_eval_boolean(&paras->refract_on);
    rec->refract_aniso = mi_eval_boolean(&paras->refract_aniso);
    rec->branch_mode = mi_eval_integer(&paras->branch_mode);
    rec->sample_falloff = mi_eval_integer(&paras->sample_falloff);
    rec->entering_by_count = mi_eval_boolean(&paras->entering_by_count) ? 1 : 0;

    rec->incandescence_on = mi_eval_boolean(&paras->incandescence_on);
    for (int k = 0; k < mt::kSpecialCount; ++k)
        rec->special_on[k] = mi_eval_boolean(&(paras->*kSpecialSwitches[k]));
    rec->depth_on = mi_eval_boolean(&paras->depth_on);
    rec->depth_transparent = mi_eval_boolean(&paras->depth_transparent);
    rec->depth_reflect = mi_eval_boolean(&paras->depth_reflect);
    rec->depth_refract = mi_eval_boolean(&paras->depth_refract);
    rec->depth_raw = mi_eval_boolean(&paras->depth_raw);
    rec->depth_invert = mi_eval_boolean(&paras->depth_invert);
    rec->normal_on = mi_eval_boolean(&paras->normal_on);
    rec->normal_add = mi_eval_boolean(&paras->normal_add);

    rec->ao_gamma_inverse = 1.f / mi_eval_scalar(&paras->ao_gamma);

    for (int k = 0; k < mt::kPassCount; ++k) {
        rec->passes[k].enabled.store(mi_eval_boolean(&(paras->*kPassSwitches[k])), std::memory_order_relaxed);
        rec->passes[k].index.store(-1, std::memory_order_relaxed);
    }
}

void release_record(void** slot) {
    if (!slot || !*slot) return;
    static_cast<megatk_instance*>(*slot)->~megatk_instance();
    mi_mem_release(*slot);
    *slot = nullptr;
}

// ------------------------------------------------------------------ one call

// The shading normal of one call: the renderer's, or the parameter's replacement. The
// renderer's normal is back in the state when the call ends.
class ShadingNormal {
  public:
    ShadingNormal(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst)
        : state_(state), original_(state->normal), shading_(state->normal), dot_nd_(state->dot_nd) {
        replaced_ = inst.normal_on && !(state->type == miRAY_FINALGATHER && inst.indirect_keep_normal);
        if (!replaced_) return;
        miVector n = *mi_eval_vector(&paras->normal_vector);
        if (inst.normal_add) n = {n.x + original_.x, n.y + original_.y, n.z + original_.z};
        orn::normalize(&n);
        shading_ = n;
        state->normal = n;
        state->dot_nd = orn::dot(state->dir, n);
    }
    ~ShadingNormal() {
        state_->normal = original_;
        state_->dot_nd = dot_nd_;
    }
    ShadingNormal(const ShadingNormal&) = delete;
    ShadingNormal& operator=(const ShadingNormal&) = delete;

    bool replaced() const { return replaced_; }
    const miVector& shading() const { return shading_; }
    void use_original() { state_->normal = original_; }
    void use_shading() { state_->normal = shading_; }

  private:
    miState* state_;
    miVector original_, shading_;
    double dot_nd_;
    bool replaced_ = false;
};

float opacity_channel(const miColor& o, miInteger channel) {
    switch (channel) {
    case 0:
        return o.r;
    case 1:
        return o.g;
    case 2:
        return o.b;
    case 3:
        return o.a;
    case 5:
        return 0.299f * o.r + 0.587f * o.g + 0.114f * o.b;
    default:
        return (o.r + o.g + o.b) / 3.f;
    }
}

// How much reflection and refraction take; they also decide how much light is left for
// the diffuse models.
using Strengths = mt::RayStrengths;

// Direct light gathered over all lights.
struct LightSums {
    miColor diffuse_shd = kBlack, diffuse_uns = kBlack;
    miColor specular_shd = kBlack, specular_uns = kBlack;

    void add(const LightSums& o, float scale) {
        mt::accumulate(&diffuse_shd, o.diffuse_shd, scale);
        mt::accumulate(&diffuse_uns, o.diffuse_uns, scale);
        mt::accumulate(&specular_shd, o.specular_shd, scale);
        mt::accumulate(&specular_uns, o.specular_uns, scale);
    }
};

// The components one call combines (and, on eye and transparency rays, hands to the passes).
struct Components {
    miColor Cd = kBlack;  // surface colour
    miColor Cao = kBlack; // surface colour after occlusion
    LightSums light;      // diffuse sums start at the ambient term
    miColor O = kWhite;   // occlusion
    miColor R = kBlack, Tr = kBlack;
    miColor Ind = kBlack, Amb = kBlack, AmbO = kBlack, Inc = kBlack;
    miColor B = kBlack; // bent normal
    miColor special[mt::kSpecialCount] = {};
};

// Each light group's share of the shadowed diffuse and specular sums.
struct GroupSums {
    explicit GroupSums(miState* state) : diffuse(state), specular(state) {}
    orn::GroupShares diffuse, specular;
};

// Samples the selected lights and sums what the lighting models make of them. Lights are
// sampled against the renderer's normal; the models see the shading normal.
class LightLoop {
  public:
    LightLoop(miState* state, const mt::LightingModels& models, ShadingNormal& normal, float Lrr,
              GroupSums& groups)
        : state_(state), models_(models), normal_(normal), diffuse_allowed_(Lrr < 1.f), groups_(groups) {}

    LightSums run(const orn::LightSelection& selection) {
        LightSums total;
        // A record left over from elsewhere in the ray tree must not pass a plain light off
        // as a toolkit light.
        orn::drop_light_record(state_);
        mi::shader::LightIterator it(state_, selection.lights, miUint(selection.count));
        for (; !it.at_end(); ++it) {
            LightSums light;
            while (it->sample())
                add_sample(it, &light);
            orn::drop_light_record(state_);
            const miInteger n = it->get_number_of_samples();
            const float w = n != 0 ? 1.f / float(n) : 1.f;
            total.add(light, w);
            if (groups_.diffuse.on()) {
                const int g = mi_lightgroup_of(state_, *it);
                groups_.diffuse.add(g, light.diffuse_shd, {w, w, w, 0.f});
                groups_.specular.add(g, light.specular_shd, {w, w, w, 0.f});
            }
        }
        return total;
    }

  private:
    void add_sample(mi::shader::LightIterator& it, LightSums* sums) {
        miColor Lc;
        it->get_contribution(&Lc);
        const miVector L = it->get_direction();
        float c = it->get_dot_nl();
        if (normal_.replaced()) {
            normal_.use_shading();
            // Near the renderer's terminator the replaced normal fades out, so that it
            // cannot light what the geometry faces away from.
            float cn = orn::dot(L, normal_.shading());
            if (c <= 0.2f && cn > 0.f) cn = (1.f - 5.f * c) * c + 5.f * c * cn;
            c = std::max(cn, 0.f);
        }
        ltk_record rec;
        if (orn::read_light_record(state_, &rec)) {
            unsigned allowed = 0;
            if (rec.emit_diffuse && diffuse_allowed_) allowed |= mt::kDiffuseModels;
            if (rec.emit_specular) allowed |= mt::kSpecularModels;
            const unsigned mask = models_.accepting(models_.active() & allowed, rec.category);
            if (mask) {
                const mt::SampleTerms t = models_.evaluate(state_, L, c, mask);
                mt::accumulate(&sums->diffuse_shd, t.diffuse, rec.shadowed);
                mt::accumulate(&sums->diffuse_uns, t.diffuse, rec.unshadowed);
                mt::accumulate(&sums->specular_shd, t.specular, rec.shadowed);
                mt::accumulate(&sums->specular_uns, t.specular, rec.unshadowed);
            }
        } else {
            // A plain light: no categories, and no unshadowed colour to offer.
            const unsigned mask =
                models_.active() & (diffuse_allowed_ ? mt::kAllModels : mt::kSpecularModels);
            if (mask) {
                const mt::SampleTerms t = models_.evaluate(state_, L, c, mask);
                mt::accumulate(&sums->diffuse_shd, t.diffuse, Lc);
                mt::accumulate(&sums->specular_shd, t.specular, Lc);
            }
        }
        normal_.use_original();
    }

    miState* state_;
    const mt::LightingModels& models_;
    ShadingNormal& normal_;
    bool diffuse_allowed_;
    GroupSums& groups_;
};

// The light_mode and lights parameters.
struct LightParams {
    miInteger mode;
    miTag* tags;
    miInteger count;
};

class SurfaceCall {
  public:
    SurfaceCall(miColor* result, miState* state, orn_MegaTK_params* paras, const megatk_instance& inst)
        : result_(result), state_(state), paras_(paras), inst_(inst), normal_(state, paras, inst),
          medium_(state) {}

    miBoolean run();

  private:
    void opacity();
    miBoolean shadow();
    miBoolean opacity_only();
    void surface_colour();
    void reflection_strengths();
    void diffuse_strength();
    miBoolean photon();
    void emission_and_ambient();
    void reflection_and_refraction();
    bool any_lighting_model() const;
    LightParams light_params();
    void direct_light(const mt::LightingModels& models, const LightParams& lights);
    void occlusion_and_indirect();
    void colour_after_occlusion();
    void combine();

    miColor* result_;
    miState* state_;
    orn_MegaTK_params* paras_;
    const megatk_instance& inst_;
    ShadingNormal normal_;
    mt::MediumScope medium_;                 // the media reflection_strengths() sets for this call
    GroupSums light_groups_{state_};         // of the direct light
    orn::GroupShares traced_groups_{state_}; // of the other terms that may carry light
    float g_ = 0.f, T_ = 1.f;                // opacity and transparency
    Strengths k_;
    float kd_ = 0.f, p_ = 0.f; // diffuse strength and exponent
    Components out_;
};

miBoolean SurfaceCall::run() {
    opacity();
    if (state_->type == miRAY_SHADOW) return shadow();
    int size = 0;
    if (mi_shaderstate_get(state_, "ra_o", &size)) return opacity_only();

    surface_colour();
    reflection_strengths();
    diffuse_strength();
    if (mt::is_photon_type(state_->type)) return photon();
    emission_and_ambient();

    const LightParams lights = light_params();
    miVector V{-state_->dir.x, -state_->dir.y, -state_->dir.z};
    orn::normalize(&V);
    miVector Nn = normal_.shading();
    orn::normalize(&Nn);
    const mt::LightingModels models(state_, paras_, inst_, {normal_.shading(), Nn, V, kd_, p_});

    reflection_and_refraction();
    if (g_ > kMinStrength && any_lighting_model()) direct_light(models, lights);
    occlusion_and_indirect();
    combine();
    return miTRUE;
}

void SurfaceCall::opacity() {
    miState* state = state_;
    float g = opacity_channel(*mi_eval_color(&paras_->opacity), inst_.opacity_channel);
    if (std::isnan(g)) {
        // A NaN would pass the clamp and turn every pass of the pixel into NaN: the surface
        // is taken as fully transparent instead.
        if (!inst_.nan_opacity_warned.exchange(true, std::memory_order_relaxed))
            mi_warning("orn_MegaTK: the opacity is NaN; the surface is taken as transparent.");
        g = 0.f;
    }
    g_ = std::clamp(g, 0.f, 1.f);
    T_ = 1.f - g_;
}

// Shadow rays: opacity and refraction filter the light.
miBoolean SurfaceCall::shadow() {
    return mt::shadow_transmission(result_, state_, paras_, inst_, g_, T_);
}

// Another shader asked for opacity only (occlusion rays): alpha is the coverage of this
// surface and of what lies behind it.
miBoolean SurfaceCall::opacity_only() {
    *result_ = kBlack;
    if (g_ < 0.999f && mi_trace_transparent(result_, state_)) {
        result_->r = result_->g = result_->b = 0.f;
        result_->a *= T_;
    }
    result_->a += g_;
    return miTRUE;
}

void SurfaceCall::surface_colour() {
    miState* state = state_;
    if (g_ > kMinStrength) out_.Cd = *mi_eval_color(&paras_->diffuse_color);
}

void SurfaceCall::reflection_strengths() {
    k_ = mt::reflection_strengths(state_, paras_, inst_);
}

void SurfaceCall::diffuse_strength() {
    miState* state = state_;
    if (!inst_.diffuse_on || !(g_ > kMinStrength)) return;
    kd_ = (1.f - k_.Lrr) * mi_eval_scalar(&paras_->diffuse_weight);
    p_ = 1.f / (mi_eval_scalar(&paras_->diffuse_softness) + 1.f);
}

miBoolean SurfaceCall::photon() {
    return mt::scatter_photon(result_, state_, paras_, inst_, {g_, T_, out_.Cd, kd_, k_});
}

void SurfaceCall::emission_and_ambient() {
    miState* state = state_;
    orn::GroupShares glow(state);
    out_.Inc = mt::incandescence(state, paras_, inst_, g_, glow);
    traced_groups_.add(glow, 1.f);
    miColor ambient = kBlack;
    if (inst_.ambient_on && g_ > kMinStrength) {
        const float scale = mi_eval_scalar(&paras_->ambient_scale);
        if (scale != 0.f) ambient = times(*mi_eval_color(&paras_->ambient_color), scale);
    }
    *result_ = kBlack;
    out_.light.diffuse_shd = ambient;
    out_.light.diffuse_uns = ambient;
}

void SurfaceCall::reflection_and_refraction() {
    mt::reflection_and_refraction(state_, paras_, inst_, g_, k_, &out_.R, &out_.Tr, &traced_groups_);
}

bool SurfaceCall::any_lighting_model() const {
    return inst_.diffuse_on || inst_.fur_on || inst_.phong_on || inst_.blinn_on || inst_.velvet_on ||
           inst_.toon_on || inst_.ward_on || inst_.strand_on;
}

LightParams SurfaceCall::light_params() {
    miState* state = state_;
    const miInteger mode = mi_eval_integer(&paras_->light_mode);
    const miInteger count = mi_eval_integer(&paras_->n_lights);
    const miInteger first = mi_eval_integer(&paras_->i_lights);
    return {mode, static_cast<miTag*>(mi_eval(state, paras_->lights)) + first, count};
}

void SurfaceCall::direct_light(const mt::LightingModels& models, const LightParams& lights) {
    normal_.use_original();
    orn::LightSelection selection = orn::select_lights(state_, lights.mode, lights.tags, lights.count);
    // Only modes 0 to 2 skip the loop on an empty list; in other modes the iterator gets the
    // empty array and supplies the default lights.
    if (!selection.run && (lights.mode < 0 || lights.mode > 2)) selection = {nullptr, 0, true};
    if (selection.run)
        out_.light.add(LightLoop(state_, models, normal_, k_.Lrr, light_groups_).run(selection), 1.f);
    normal_.use_shading();
}

void SurfaceCall::occlusion_and_indirect() {
    mt::ambient_occlusion(state_, paras_, inst_, g_, &out_.O, &out_.B);
    mt::occluded_ambient(state_, paras_, inst_, g_, out_.Cd, out_.O, &out_.Amb, &out_.AmbO);
    // Indirect light may keep the renderer's normal, like final-gather rays do.
    if (inst_.normal_on && inst_.indirect_keep_normal) normal_.use_original();
    out_.Ind = mt::indirect_light(state_, paras_, inst_, g_, out_.Cd, k_.Lrr, out_.O, traced_groups_);
    normal_.use_shading();
    const miColor darker = mt::occlusion_on_specular(state_, paras_, inst_, out_.O, &out_.light.specular_shd);
    light_groups_.specular.scale(darker);
}

void SurfaceCall::colour_after_occlusion() {
    miState* state = state_;
    const float a = inst_.ao_on && g_ > kMinStrength ? mi_eval_scalar(&paras_->ao_on_color) : 0.f;
    if (!inst_.ao_on || a <= kMinStrength || g_ <= kMinStrength) {
        out_.Cao = out_.Cd;
        out_.O = kWhite;
        return;
    }
    if (a != 1.f) out_.O = {a * out_.O.r + 1.f - a, a * out_.O.g + 1.f - a, a * out_.O.b + 1.f - a, out_.O.a};
    out_.Cao = times(out_.O, out_.Cd);
}

void SurfaceCall::combine() {
    miState* state = state_;
    colour_after_occlusion();

    // The light groups' shares of the result, summed as the result is.
    orn::GroupShares groups(state);

    // What lies behind a partly transparent surface, seen through it.
    if (g_ < 0.9999f && mi_trace_transparent(result_, state)) {
        result_->r *= T_;
        result_->g *= T_;
        result_->b *= T_;
        groups.add_traced(state, {T_, T_, T_, 0.f});
    }

    if (g_ > kMinStrength) {
        if (groups.on()) {
            groups.add(light_groups_.diffuse, times(out_.Cao, miColor{g_, g_, g_, 0.f}));
            groups.add(light_groups_.specular, g_);
            groups.add(traced_groups_, g_);
        }
        miColor sum = times(out_.Cao, out_.light.diffuse_shd);
        for (const miColor* c :
             {&out_.Inc, &out_.light.specular_shd, &out_.Ind, &out_.R, &out_.Tr, &out_.AmbO})
            mt::accumulate(&sum, *c, 1.f);
        mt::accumulate(result_, sum, g_);
        result_->a = std::clamp(result_->a + g_, 0.f, 1.f);
        for (int k = 0; k < mt::kSpecialCount; ++k)
            if (inst_.special_on[k]) out_.special[k] = *mi_eval_color(&(paras_->*kSpecialColors[k]));
    }

    mt::write_passes(state, paras_, inst_,
                     {g_, out_.Cao, out_.light.diffuse_shd, out_.light.diffuse_uns, out_.light.specular_shd,
                      out_.light.specular_uns, out_.O, out_.Ind, out_.Amb, out_.AmbO, out_.R, out_.Tr,
                      out_.Inc, out_.B, out_.special});
    orn::guard_result("orn_MegaTK", result_);
    groups.publish(state);
    // The rasteriser composites by itself and needs the opacity; on eye and transparency rays
    // the renderer's ID mattes take it as this surface's own part of the alpha.
    if ((state->options && state->options->scanline == 'r') || state->type == miRAY_EYE ||
        state->type == miRAY_TRANSPARENT) {
        miColor o{g_, g_, g_, g_};
        mi_opacity_set(state, &o);
    }
}

} // namespace

// ------------------------------------------------------------------ exports

ORN_SHADER_VERSION(orn_MegaTK, 3)

ORN_SHADER miBoolean orn_MegaTK_init(miState* state, orn_MegaTK_params* paras, miBoolean* inst_init_req) {
    if (!paras) {
        if (inst_init_req) *inst_init_req = miTRUE;
        return miTRUE;
    }
    void** slot = orn::instance_slot(state);
    if (!slot) {
        mi_error("orn_MegaTK: no per-instance data slot; this instance will not shade");
        return miFALSE;
    }
    release_record(slot); // initialised twice without an exit in between
    void* memory = mi_mem_allocate(int(sizeof(megatk_instance)));
    if (!memory) {
        mi_error("orn_MegaTK: out of memory for the instance data; this instance will not shade");
        return miFALSE;
    }
    auto* rec = new (memory) megatk_instance{};
    *slot = rec;
    build_record(state, paras, rec);
    return miTRUE;
}

ORN_SHADER miBoolean orn_MegaTK_exit(miState* state, orn_MegaTK_params* paras) {
    if (paras) release_record(orn::instance_slot(state));
    return miTRUE;
}

ORN_SHADER miBoolean orn_MegaTK(miColor* result, miState* state, orn_MegaTK_params* paras) {
    if (state->type == miRAY_DISPLACE) return miFALSE;
    const auto* inst = orn::instance_record<megatk_instance>(state);
    if (!inst) return miFALSE; // the instance failed to initialise and said so
    SurfaceCall call(result, state, paras, *inst);
    return call.run();
}
