// orn_HairTK, the hair material, and orn_HairTK_shadow, its shadow shader: their parameter
// blocks (in declaration order) and the material's record per shader instance.
#pragma once

#include "common/tk_buffers.h"
#include "host/shader.h"

struct orn_HairTK_params {
    // diffuse
    miBoolean diffuse;
    miScalar diffuse_weight;
    miScalar diffuse_backlight;
    miColor root_color;
    miColor tip_color;
    miScalar saturation_variation;
    miScalar color_variation;
    miScalar brightness_variation;
    miScalar diffuse_geometric_normal;
    // specular lobes
    miBoolean specular;
    miScalar specular_weight;
    miColor primary_color;
    miScalar primary_glossiness;
    miScalar primary_shift;
    miColor secondary_color;
    miScalar secondary_glossiness;
    miScalar secondary_shift;
    miColor backscatter_color;
    miScalar backscatter_glossiness;
    miScalar backscatter_shift;
    miScalar fresnel_ior;
    miScalar fresnel_weight;
    miScalar tangent_normal_blend;
    miScalar forward_scatter_weight;
    // transparency
    miBoolean transparency;
    miColor transparency_min_color;
    miScalar root_transparency;
    miScalar tip_transparency;
    miScalar transparency_position;
    miScalar transparency_spread;
    miScalar edge_transparency;
    miInteger edge_frequency;
    miScalar transparency_cutoff;
    miInteger max_transparency_layers;
    // indirect, ambient, occlusion, incandescence
    miBoolean indirect;
    miColor indirect_color;
    miScalar indirect_saturation;
    miInteger finalgather_mode;
    miBoolean ambient;
    miScalar ambient_weight;
    miColor ambient_color;
    miBoolean occlusion;
    miScalar occlusion_on_color;
    miScalar occlusion_on_specular;
    miScalar occlusion_on_indirect;
    miScalar occlusion_on_ambient;
    miColor occlusion_color;
    miBoolean incandescence;
    miScalar incandescence_weight;
    miColor incandescence_color;
    // user channels
    miBoolean special_c1;
    miColor special_c1_color;
    miBoolean special_c2;
    miColor special_c2_color;
    miBoolean special_c3;
    miColor special_c3_color;
    miBoolean special_c4;
    miColor special_c4_color;
    miBoolean special_c5;
    miColor special_c5_color;
    miBoolean special_c6;
    miColor special_c6_color;
    miBoolean special_c7;
    miColor special_c7_color;
    miBoolean special_c8;
    miColor special_c8_color;
    miBoolean special_c9;
    miColor special_c9_color;
    miBoolean special_c10;
    miColor special_c10_color;
    // depth
    miInteger depth_mode;
    miScalar depth_near;
    miScalar depth_far;
    miInteger depth_transparent_mode;
    miBoolean depth_unnormalized;
    miBoolean depth_invert;
    // tk pass switches
    miBoolean write_tk_shading;
    miBoolean write_tk_color;
    miBoolean write_tk_diffuse;
    miBoolean write_tk_shadow;
    miBoolean write_tk_specular;
    miBoolean write_tk_spec_shd;
    miBoolean write_tk_diff_occl;
    miBoolean write_tk_indirect;
    miBoolean write_tk_ambient;
    miBoolean write_tk_amb_occlus;
    miBoolean write_tk_incand;
    miBoolean write_tk_z;
    miBoolean write_tk_specialC1;
    miBoolean write_tk_specialC2;
    miBoolean write_tk_specialC3;
    miBoolean write_tk_specialC4;
    miBoolean write_tk_specialC5;
    miBoolean write_tk_specialC6;
    miBoolean write_tk_specialC7;
    miBoolean write_tk_specialC8;
    miBoolean write_tk_specialC9;
    miBoolean write_tk_specialC10;
    // lights
    miInteger light_mode;
    miInteger i_lights;
    miInteger n_lights;
    miTag lights[1];
};

namespace orn::hair {
constexpr int kSpecialCount = 10;
constexpr int kPassCount = 22; // the tk pass buffers a hair writes: no reflection, refraction or bent normal
} // namespace orn::hair

// Set up when the instance starts; render threads only read it, apart from the pass slots,
// which each resolve once (see orn::TkSlot).
struct hairtk_instance {
    miInteger indirect;
    miInteger finalgather_mode;
    miInteger ambient;
    miInteger occlusion;
    miInteger incandescence;
    miInteger depth_invert;
    miInteger depth_unnormalized;
    miInteger special[orn::hair::kSpecialCount];
    orn::TkSlot passes[orn::hair::kPassCount]; // in the order of the write_tk_ switches
};

struct orn_HairTK_shadow_params {
    miBoolean transparency;
    miColor transparency_min_color;
    miScalar root_transparency;
    miScalar tip_transparency;
    miScalar transparency_position;
    miScalar transparency_spread;
    miScalar edge_transparency;
    miInteger edge_frequency;
    miScalar transparency_cutoff;      // unused: a shadow ray has no chain of hair layers
    miInteger max_transparency_layers; // unused
    miColor shadow_color;
    miScalar shadow_color_weight;
    miScalar transparency_weight;
    miInteger light_mode;
    miInteger i_lights;
    miInteger n_lights;
    miTag lights[1];
};
