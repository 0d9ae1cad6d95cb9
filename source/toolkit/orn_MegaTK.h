// orn_MegaTK: the multi-pass surface material. Its parameter block (in declaration order)
// and the record it keeps per shader instance.
#pragma once

#include "common/tk_buffers.h"
#include "host/shader.h"

#include <atomic>

struct orn_MegaTK_params {
    // surface
    miColor diffuse_color;
    miColor opacity;
    miInteger opacity_channel;
    miBoolean ambient_on;
    miScalar ambient_scale;
    miColor ambient_color;
    miBoolean diffuse_on;
    miScalar diffuse_weight;
    miScalar diffuse_softness;
    miTag diffuse_category;
    miBoolean fur_on;
    miScalar fur_weight;
    miScalar fur_angle;
    miColor fur_skin_color;
    miScalar fur_density;
    miScalar fur_reflect;
    miScalar fur_transmit;
    miScalar fur_self_shadow;
    miScalar fur_terminator;
    miScalar fur_terminator_start;
    miScalar fur_terminator_end;
    miScalar fur_length;
    miScalar fur_base_width;
    miScalar fur_tip_width;
    miTag fur_category;
    miBoolean phong_on;
    miScalar phong_weight;
    miColor phong_color;
    miScalar phong_exponent;
    miTag phong_category;
    miBoolean blinn_on;
    miScalar blinn_weight;
    miColor blinn_color;
    miScalar blinn_eccentricity;
    miScalar blinn_reflectivity;
    miTag blinn_category;
    miBoolean velvet_on;
    miScalar velvet_weight;
    miColor velvet_color;
    miScalar velvet_backscatter;
    miScalar velvet_edginess;
    miScalar velvet_roughness;
    miTag velvet_category;
    miBoolean toon_on;
    miScalar toon_weight;
    miColor toon_color;
    miScalar toon_size;
    miScalar toon_sharpness;
    miTag toon_category;
    miBoolean ward_on;
    miScalar ward_weight;
    miColor ward_color;
    miScalar ward_shiny_u;
    miScalar ward_shiny_v;
    miBoolean ward_derivs_frame;
    miVector ward_u;
    miVector ward_v;
    miTag ward_category;
    miBoolean strand_on;
    miScalar strand_weight;
    miScalar strand_angle;
    miColor strand_primary_color;
    miScalar strand_primary_exponent;
    miColor strand_secondary_color;
    miScalar strand_secondary_exponent;
    miScalar strand_noise_amount;
    miScalar strand_noise_frequency;
    miTag strand_category;

    // indirect light and occlusion
    miBoolean indirect_on;
    miColor indirect_color;
    miScalar indirect_saturation;
    miBoolean indirect_own_rays;
    miInteger indirect_samples;
    miInteger indirect_depth;
    miBoolean indirect_keep_normal;
    miBoolean amb_occl_on;
    miScalar amb_occl_scale;
    miColor amb_occl_color;
    miBoolean ao_on;
    miColor ao_bright;
    miColor ao_dark;
    miScalar ao_spread;
    miInteger ao_samples;
    miScalar ao_near;
    miScalar ao_far;
    miScalar ao_falloff;
    miScalar ao_gamma;
    miVector ao_bias_point;
    miScalar ao_bias;
    miInteger ao_mode;
    miBoolean ao_bent_on;
    miInteger ao_bent_space;
    miBoolean ao_environment;
    miBoolean ao_skip_finalgather;
    miBoolean ao_skip_reflection;
    miBoolean ao_skip_refraction;
    miScalar ao_on_color;
    miScalar ao_on_specular;
    miScalar ao_on_indirect;
    miScalar ao_on_ambient;
    miColor ao_color;

    // reflection and refraction
    miBoolean reflect_on;
    miScalar reflect_amount;
    miColor reflect_color;
    miScalar reflect_gloss;
    miBoolean reflect_aniso;
    miScalar reflect_shiny_u;
    miScalar reflect_shiny_v;
    miInteger reflect_samples;
    miScalar reflect_fresnel;
    miScalar reflect_falloff_start;
    miScalar reflect_falloff_end;
    miBoolean reflect_falloff_color_on;
    miColor reflect_falloff_color;
    miScalar reflect_diffuse_loss;
    miColor reflect_add;
    miBoolean refract_on;
    miScalar refract_amount;
    miColor refract_color;
    miScalar refract_gloss;
    miBoolean refract_aniso;
    miScalar refract_shiny_u;
    miScalar refract_shiny_v;
    miInteger refract_samples;
    miScalar ior;
    miColor absorb_inside;
    miScalar outside_ior;
    miColor absorb_outside;
    miScalar refract_fresnel;
    miScalar refract_falloff_start;
    miScalar refract_falloff_end;
    miBoolean refract_falloff_color_on;
    miColor refract_falloff_color;
    miScalar refract_diffuse_loss;
    miColor refract_add;
    miInteger branch_mode;
    miInteger branch_depth;
    miInteger sample_falloff;
    miBoolean entering_by_count;
    miInteger reflect_depth;
    miInteger refract_depth;

    // incandescence and the ten free channels
    miBoolean incandescence_on;
    miScalar incandescence_scale;
    miColor incandescence_color;
    miBoolean special_on_1;
    miColor special_color_1;
    miBoolean special_on_2;
    miColor special_color_2;
    miBoolean special_on_3;
    miColor special_color_3;
    miBoolean special_on_4;
    miColor special_color_4;
    miBoolean special_on_5;
    miColor special_color_5;
    miBoolean special_on_6;
    miColor special_color_6;
    miBoolean special_on_7;
    miColor special_color_7;
    miBoolean special_on_8;
    miColor special_color_8;
    miBoolean special_on_9;
    miColor special_color_9;
    miBoolean special_on_10;
    miColor special_color_10;

    // normal and depth
    miBoolean normal_on;
    miBoolean normal_add;
    miVector normal_vector;
    miBoolean depth_on;
    miScalar depth_near;
    miScalar depth_far;
    miBoolean depth_transparent;
    miBoolean depth_reflect;
    miBoolean depth_refract;
    miBoolean depth_raw;
    miBoolean depth_invert;

    // tk pass switches, in pass-buffer order
    miBoolean pass_shading;
    miBoolean pass_color;
    miBoolean pass_diffuse;
    miBoolean pass_shadow;
    miBoolean pass_specular;
    miBoolean pass_spec_shd;
    miBoolean pass_diff_occl;
    miBoolean pass_indirect;
    miBoolean pass_ambient;
    miBoolean pass_amb_occlus;
    miBoolean pass_reflect;
    miBoolean pass_refract;
    miBoolean pass_incand;
    miBoolean pass_z;
    miBoolean pass_bent;
    miBoolean pass_specialC1;
    miBoolean pass_specialC2;
    miBoolean pass_specialC3;
    miBoolean pass_specialC4;
    miBoolean pass_specialC5;
    miBoolean pass_specialC6;
    miBoolean pass_specialC7;
    miBoolean pass_specialC8;
    miBoolean pass_specialC9;
    miBoolean pass_specialC10;

    // light list
    miInteger light_mode;
    miInteger i_lights;
    miInteger n_lights;
    miTag lights[1];
};

namespace orn::megatk {

constexpr int kPassCount = 25;    // tk_shading ... tk_specialC10, in the order of the pass switches
constexpr int kSpecialCount = 10; // special_color_1 ... special_color_10

} // namespace orn::megatk

// One tk pass of one instance: the writers' shared view of the buffer (common/tk_buffers.h).
using megatk_pass_slot = orn::TkSlot;

// Built by orn_MegaTK_init from the parameters that hold for the whole frame. A category is
// the renderer's text of the component's string parameter, or null for none.
struct megatk_instance {
    miInteger opacity_channel;
    miBoolean ambient_on;
    miBoolean diffuse_on;

    const char* diffuse_category;
    miBoolean fur_on;
    const char* fur_category;
    miBoolean phong_on;
    const char* phong_category;
    miBoolean blinn_on;
    const char* blinn_category;
    miBoolean velvet_on;
    const char* velvet_category;
    miBoolean toon_on;
    const char* toon_category;
    miBoolean ward_on;
    const char* ward_category;
    miBoolean ward_derivs_frame;
    miBoolean strand_on;
    const char* strand_category;

    miBoolean indirect_on;
    miBoolean indirect_own_rays;
    miInteger indirect_samples;
    miInteger indirect_depth;
    miBoolean indirect_keep_normal;
    miBoolean amb_occl_on;
    miBoolean ao_on;
    miBoolean ao_environment;
    miBoolean ao_skip_finalgather;
    miBoolean ao_skip_reflection;
    miBoolean ao_skip_refraction;

    miScalar ao_spread;
    miInteger ao_samples;
    miScalar ao_near;
    miScalar ao_far;
    miScalar ao_falloff;
    miScalar ao_gamma_inverse; // 1 / ao_gamma, unchecked
    miInteger ao_mode;
    miBoolean ao_bent_on;
    miInteger ao_bent_space;

    miBoolean reflect_on;
    miBoolean refract_on;
    miBoolean refract_aniso;
    miInteger branch_mode;
    miInteger sample_falloff;
    miCBoolean entering_by_count;
    miCBoolean outside_ior_set; // false when outside_ior was 0 or negative

    miBoolean incandescence_on;
    miBoolean special_on[orn::megatk::kSpecialCount];
    miBoolean depth_on;
    miBoolean depth_transparent;
    miBoolean depth_reflect;
    miBoolean depth_refract;
    miBoolean depth_raw;
    miBoolean depth_invert;
    miBoolean normal_on;
    miBoolean normal_add;

    miScalar ior;         // > 0, or NaN as given
    miScalar outside_ior; // 1 when not set
    miInteger branch_start_depth;

    megatk_pass_slot passes[orn::megatk::kPassCount];
    // Set the first time a connection gives a NaN opacity, so that the warning comes once per
    // instance.
    mutable std::atomic<bool> nan_opacity_warned;
};
