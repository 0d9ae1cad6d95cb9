// orn_MegaTK's ray work, shared by the steps of one call: the scatter choice, reflection and
// refraction, occlusion and indirect light, shadow and photon rays. Internal to the module.
//
// Every function here leaves the state as it found it (options pointer, ray falloff,
// shader-state keys, normal), except the media: reflection_strengths() sets the indices of
// refraction and the refraction volume for the rays traced from the call, and segment shadows
// set the volume of the next segment. A MediumScope kept for the whole call puts them back.
#pragma once

#include "common/light_groups.h"
#include "source/toolkit/orn_MegaTK.h"

namespace orn::megatk {

constexpr float kNegligible = 0.0001f;   // strengths at or below this count as off
constexpr float kShadowOpacity = 0.001f; // opacities at or below this cast no shadow

// ------------------------------------------------------------------ colour (rgb) and vector arithmetic

inline miColor rgb_of(const miColor& c) {
    return {c.r, c.g, c.b, 0.f};
}
inline miColor grey(float v) {
    return {v, v, v, 0.f};
}
inline miColor operator*(const miColor& a, const miColor& b) {
    return {a.r * b.r, a.g * b.g, a.b * b.b, 0.f};
}
inline miColor operator*(const miColor& c, float s) {
    return {c.r * s, c.g * s, c.b * s, 0.f};
}
inline miColor operator+(const miColor& a, const miColor& b) {
    return {a.r + b.r, a.g + b.g, a.b + b.b, 0.f};
}
inline miVector operator+(const miVector& a, const miVector& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline miVector operator*(const miVector& v, float s) {
    return {v.x * s, v.y * s, v.z * s};
}
inline float max_channel(const miColor& c) {
    const float m = c.r > c.g ? c.r : c.g;
    return m > c.b ? m : c.b;
}
inline float average(const miColor& c) {
    return (c.r + c.g + c.b) * 0.33333f;
}

// Transmission over distance d through a medium that keeps `per_unit` of the light per unit
// of distance.
float medium_transmission(float per_unit, double d);

// ------------------------------------------------------------------ state changes that undo themselves

// A private copy of the options in state->options while it lives, for changes that must not
// reach the renderer's record or other rays. state->options must not be null.
class OptionsCopy {
  public:
    explicit OptionsCopy(miState* state) : state_(state), saved_(state->options), copy_(*state->options) {
        state->options = &copy_;
    }
    ~OptionsCopy() { state_->options = saved_; }
    OptionsCopy(const OptionsCopy&) = delete;
    OptionsCopy& operator=(const OptionsCopy&) = delete;

    miOptions& options() { return copy_; }

  private:
    miState* state_;
    miOptions* saved_;
    miOptions copy_;
};

// A distance falloff for the rays traced from the state while it lives.
class RayFalloffScope {
  public:
    RayFalloffScope(miState* state, double start, double stop) : state_(state), start_(start), stop_(stop) {
        mi_ray_falloff(state_, &start_, &stop_); // hands back the falloff it replaces
    }
    ~RayFalloffScope() { mi_ray_falloff(state_, &start_, &stop_); }
    RayFalloffScope(const RayFalloffScope&) = delete;
    RayFalloffScope& operator=(const RayFalloffScope&) = delete;

  private:
    miState* state_;
    double start_, stop_;
};

// ------------------------------------------------------------------ scatter choice

// Photon scatter types by the renderer's numbers.
enum ScatterType : int {
    kAbsorb = miPHOTON_ABSORB,
    kSpecularReflection = miPHOTON_REFLECT_SPECULAR,
    kDiffuseReflection = miPHOTON_REFLECT_DIFFUSE,
    kSpecularTransmission = miPHOTON_TRANSMIT_SPECULAR,
    kTransparency = miPHOTON_TRANSPARENT,
};

// Picks diffuse reflection, transparency, specular reflection, specular transmission or
// absorption at random, weighted by the average strength of each input (any may be null).
// The chosen input is overwritten with the weight of its path: the total strength e, or
// min(e, 1) for transparency. Draws one number, and none when everything is black.
ScatterType choose_scatter(miState* state, float* transparency, miColor* diffuse, miColor* reflect,
                           miColor* transmit);

// ------------------------------------------------------------------ media

bool is_photon_type(int type);

// Keeps the state's indices of refraction and refraction volume, and puts them back when
// the call ends.
class MediumScope {
  public:
    explicit MediumScope(miState* state)
        : state_(state), ior_(state->ior), ior_in_(state->ior_in), volume_(state->refraction_volume) {}
    ~MediumScope() {
        state_->ior = ior_;
        state_->ior_in = ior_in_;
        state_->refraction_volume = volume_;
    }
    MediumScope(const MediumScope&) = delete;
    MediumScope& operator=(const MediumScope&) = delete;

  private:
    miState* state_;
    miScalar ior_, ior_in_;
    miTag volume_;
};

// ------------------------------------------------------------------ reflection and refraction

struct RayStrengths {
    float kr = 0.f, kt = 0.f; // reflection and refraction strengths
    float Lrr = 0.f;          // light they take from the diffuse models
    float sc = 1.f;           // compensation of the one-branch rule for the path it keeps
    bool use_r = true, use_t = true;
    bool entering = true; // the ray enters the material
    float n_mat = 1.f, n_out = 1.f;
};

// Decides inside or outside, sets state->ior, ior_in and refraction_volume for the rest of
// the call, and weighs reflection against refraction (with the one-branch rule).
RayStrengths reflection_strengths(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst);

// Traces reflection into R and refraction into Tr (rgb), for a surface of opacity g.
// `groups` (may be off) receives each light group's share of R + Tr.
void reflection_and_refraction(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst, float g,
                               const RayStrengths& k, miColor* R, miColor* Tr, orn::GroupShares* groups);

// The count of glossy or gathering rays at the state's depth: halved `sample_falloff` times
// per trace level, or one when the renderer wants a single sample.
int sample_count(miState* state, int n, int sample_falloff);

// ------------------------------------------------------------------ occlusion, indirect light, incandescence

miColor incandescence(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst, float g,
                      orn::GroupShares& groups);

// Ambient occlusion of the call: O becomes ao_color times the sampled occlusion, B the bent
// normal when it is collected. Both are left alone when occlusion is off.
void ambient_occlusion(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst, float g,
                       miColor* O, miColor* B);

// The occluded-ambient term before (Amb) and after (AmbO) occlusion.
void occluded_ambient(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst, float g,
                      const miColor& Cd, const miColor& O, miColor* Amb, miColor* AmbO);

// Indirect light around state->normal, less what reflection and refraction take (Lrr).
miColor indirect_light(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst, float g,
                       const miColor& Cd, float Lrr, const miColor& O, orn::GroupShares& groups);

// Darkens the shadowed specular light by occlusion.
// Returns the factor the specular light was multiplied by (white when occlusion leaves it).
miColor occlusion_on_specular(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst,
                              const miColor& O, miColor* specular_shd);

// ------------------------------------------------------------------ shadow and photon rays

// Filters the light of a shadow ray through a surface of opacity g (transparency T);
// false when nothing passes.
miBoolean shadow_transmission(miColor* result, miState* state, orn_MegaTK_params* paras,
                              const megatk_instance& inst, float g, float T);

struct PhotonSurface {
    float g, T; // opacity and transparency
    miColor Cd; // surface colour
    float kd;   // diffuse strength
    RayStrengths k;
};

// Stores the incoming photon `energy` where it belongs and sends it on by one scatter type.
miBoolean scatter_photon(miColor* energy, miState* state, orn_MegaTK_params* paras,
                         const megatk_instance& inst, const PhotonSurface& surface);

} // namespace orn::megatk
