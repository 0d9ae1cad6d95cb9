// The declaration file against the module: every parameter block the shaders read has the
// layout the renderer computes from the declaration, and every exported shader reports the
// version its declaration states.
#include "db/param_layout.h"
#include "scene/parameter_docs.h"
#include "scene/parser.h"
#include "source/camera/orn_camera_env.h"
#include "source/camera/orn_physlensdof.h"
#include "source/hair/geofeather.h"
#include "source/hair/orn_HairTK.h"
#include "source/hair/orn_hair_mapping.h"
#include "source/lights/orn_DirectTK.h"
#include "source/lights/orn_PointTK.h"
#include "source/lights/orn_scatter_wrap.h"
#include "source/lights/orn_shadow.h"
#include "source/lights/orn_shadow_transparency.h"
#include "source/output/orn_MegaTK_pass.h"
#include "source/output/orn_OpenEXR_saver.h"
#include "source/output/orn_math_output.h"
#include "source/toolkit/orn_MegaTK.h"
#include "source/utility/orn_CSG.h"
#include "source/utility/orn_conversion.h"
#include "source/utility/orn_dielectric_interface.h"
#include "source/utility/orn_facing_ratio.h"
#include "source/utility/orn_grade_color.h"
#include "source/utility/orn_motion_to_rgb.h"
#include "source/utility/orn_ray_type.h"
#include "source/utility/orn_shader_replacer.h"
#include "source/utility/orn_utility.h"
#include "source/utility/orn_z.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstddef>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct CBlock {
    size_t size;
    std::vector<std::pair<std::string, size_t>> fields;
};

#define F(S, f)                                                                                              \
    { #f, offsetof(S, f) }

// The C records the implemented shaders read, field by field.
const std::map<std::string, CBlock>& c_blocks() {
    static const std::map<std::string, CBlock> blocks = {
        {"orn_constant",
         {sizeof(orn_constant_params),
          {F(orn_constant_params, color), F(orn_constant_params, override_alpha),
           F(orn_constant_params, alpha)}}},
        {"orn_color_plus_alpha",
         {sizeof(orn_color_plus_alpha_params),
          {F(orn_color_plus_alpha_params, color), F(orn_color_plus_alpha_params, opacity),
           F(orn_color_plus_alpha_params, ior)}}},
        {"orn_color_to_float",
         {sizeof(orn_color_to_float_params),
          {F(orn_color_to_float_params, color), F(orn_color_to_float_params, channel),
           F(orn_color_to_float_params, min_value), F(orn_color_to_float_params, max_value),
           F(orn_color_to_float_params, invert)}}},
        {"orn_float2_to_vector",
         {sizeof(orn_float2_to_vector_params),
          {F(orn_float2_to_vector_params, x), F(orn_float2_to_vector_params, y)}}},
        {"orn_float3_to_vector",
         {sizeof(orn_float3_to_vector_params),
          {F(orn_float3_to_vector_params, x), F(orn_float3_to_vector_params, y),
           F(orn_float3_to_vector_params, z)}}},
        {"orn_float4_to_color",
         {sizeof(orn_float4_to_color_params),
          {F(orn_float4_to_color_params, r), F(orn_float4_to_color_params, g),
           F(orn_float4_to_color_params, b), F(orn_float4_to_color_params, a),
           F(orn_float4_to_color_params, clamp_low), F(orn_float4_to_color_params, clamp_high)}}},
        {"orn_grade_color",
         {sizeof(orn_grade_color_params),
          {F(orn_grade_color_params, color), F(orn_grade_color_params, in_black),
           F(orn_grade_color_params, in_white), F(orn_grade_color_params, saturation),
           F(orn_grade_color_params, luminance_weights), F(orn_grade_color_params, gain),
           F(orn_grade_color_params, gamma), F(orn_grade_color_params, multiply),
           F(orn_grade_color_params, offset), F(orn_grade_color_params, clamp_low),
           F(orn_grade_color_params, clamp_high), F(orn_grade_color_params, invert)}}},
        {"orn_facing_ratio",
         {sizeof(orn_facing_ratio_params),
          {F(orn_facing_ratio_params, facing_color), F(orn_facing_ratio_params, edge_color),
           F(orn_facing_ratio_params, exponent)}}},
        {"orn_ray_type",
         {sizeof(orn_ray_type_params),
          {F(orn_ray_type_params, reflect_enable), F(orn_ray_type_params, reflect_min_level),
           F(orn_ray_type_params, refract_enable), F(orn_ray_type_params, refract_min_level),
           F(orn_ray_type_params, transparent_enable), F(orn_ray_type_params, transparent_min_level),
           F(orn_ray_type_params, finalgather_enable), F(orn_ray_type_params, environment_enable),
           F(orn_ray_type_params, shadow_enable), F(orn_ray_type_params, default_color),
           F(orn_ray_type_params, reflect_color), F(orn_ray_type_params, refract_color),
           F(orn_ray_type_params, transparent_color), F(orn_ray_type_params, finalgather_color),
           F(orn_ray_type_params, environment_color), F(orn_ray_type_params, shadow_color)}}},
        {"orn_DirectTK",
         {sizeof(orn_DirectTK_params),
          {F(orn_DirectTK_params, color), F(orn_DirectTK_params, intensity),
           F(orn_DirectTK_params, emit_diffuse), F(orn_DirectTK_params, emit_specular),
           F(orn_DirectTK_params, shadow), F(orn_DirectTK_params, shadow_factor),
           F(orn_DirectTK_params, softness), F(orn_DirectTK_params, shadow_samples),
           F(orn_DirectTK_params, category)}}},
        {"orn_scatter_wrap",
         {sizeof(orn_scatter_wrap_params),
          {F(orn_scatter_wrap_params, wrap_lighting),
           F(orn_scatter_wrap_params, wrap_weight),
           F(orn_scatter_wrap_params, wrap_color),
           F(orn_scatter_wrap_params, wrap_amount),
           F(orn_scatter_wrap_params, terminator_weight),
           F(orn_scatter_wrap_params, terminator_color),
           F(orn_scatter_wrap_params, terminator_width),
           F(orn_scatter_wrap_params, translucency),
           F(orn_scatter_wrap_params, translucency_weight),
           F(orn_scatter_wrap_params, translucency_color),
           F(orn_scatter_wrap_params, scatter_depth),
           F(orn_scatter_wrap_params, scatter_spread),
           F(orn_scatter_wrap_params, scatter_samples),
           F(orn_scatter_wrap_params, light_occlusion),
           F(orn_scatter_wrap_params, light_jitter),
           F(orn_scatter_wrap_params, occluded_weight),
           F(orn_scatter_wrap_params, backlight),
           F(orn_scatter_wrap_params, backlight_weight),
           F(orn_scatter_wrap_params, backlight_color),
           F(orn_scatter_wrap_params, light_mode),
           {"lights", offsetof(orn_scatter_wrap_params, i_lights)}}}},
        {"orn_shadow_transparency",
         {sizeof(orn_shadow_transparency_params),
          {F(orn_shadow_transparency_params, shadow_color),
           F(orn_shadow_transparency_params, transparency),
           F(orn_shadow_transparency_params, invert),
           F(orn_shadow_transparency_params, distance_fade),
           F(orn_shadow_transparency_params, fade_start),
           F(orn_shadow_transparency_params, fade_end),
           F(orn_shadow_transparency_params, fade_strength),
           F(orn_shadow_transparency_params, facing_weight),
           F(orn_shadow_transparency_params, light_mode),
           {"lights", offsetof(orn_shadow_transparency_params, i_lights)}}}},
        {"orn_HairTK",
         {sizeof(orn_HairTK_params),
          {F(orn_HairTK_params, diffuse),
           F(orn_HairTK_params, diffuse_weight),
           F(orn_HairTK_params, diffuse_backlight),
           F(orn_HairTK_params, root_color),
           F(orn_HairTK_params, tip_color),
           F(orn_HairTK_params, saturation_variation),
           F(orn_HairTK_params, color_variation),
           F(orn_HairTK_params, brightness_variation),
           F(orn_HairTK_params, diffuse_geometric_normal),
           F(orn_HairTK_params, specular),
           F(orn_HairTK_params, specular_weight),
           F(orn_HairTK_params, primary_color),
           F(orn_HairTK_params, primary_glossiness),
           F(orn_HairTK_params, primary_shift),
           F(orn_HairTK_params, secondary_color),
           F(orn_HairTK_params, secondary_glossiness),
           F(orn_HairTK_params, secondary_shift),
           F(orn_HairTK_params, backscatter_color),
           F(orn_HairTK_params, backscatter_glossiness),
           F(orn_HairTK_params, backscatter_shift),
           F(orn_HairTK_params, fresnel_ior),
           F(orn_HairTK_params, fresnel_weight),
           F(orn_HairTK_params, tangent_normal_blend),
           F(orn_HairTK_params, forward_scatter_weight),
           F(orn_HairTK_params, transparency),
           F(orn_HairTK_params, transparency_min_color),
           F(orn_HairTK_params, root_transparency),
           F(orn_HairTK_params, tip_transparency),
           F(orn_HairTK_params, transparency_position),
           F(orn_HairTK_params, transparency_spread),
           F(orn_HairTK_params, edge_transparency),
           F(orn_HairTK_params, edge_frequency),
           F(orn_HairTK_params, transparency_cutoff),
           F(orn_HairTK_params, max_transparency_layers),
           F(orn_HairTK_params, indirect),
           F(orn_HairTK_params, indirect_color),
           F(orn_HairTK_params, indirect_saturation),
           F(orn_HairTK_params, finalgather_mode),
           F(orn_HairTK_params, ambient),
           F(orn_HairTK_params, ambient_weight),
           F(orn_HairTK_params, ambient_color),
           F(orn_HairTK_params, occlusion),
           F(orn_HairTK_params, occlusion_on_color),
           F(orn_HairTK_params, occlusion_on_specular),
           F(orn_HairTK_params, occlusion_on_indirect),
           F(orn_HairTK_params, occlusion_on_ambient),
           F(orn_HairTK_params, occlusion_color),
           F(orn_HairTK_params, incandescence),
           F(orn_HairTK_params, incandescence_weight),
           F(orn_HairTK_params, incandescence_color),
           F(orn_HairTK_params, special_c1),
           F(orn_HairTK_params, special_c1_color),
           F(orn_HairTK_params, special_c2),
           F(orn_HairTK_params, special_c2_color),
           F(orn_HairTK_params, special_c3),
           F(orn_HairTK_params, special_c3_color),
           F(orn_HairTK_params, special_c4),
           F(orn_HairTK_params, special_c4_color),
           F(orn_HairTK_params, special_c5),
           F(orn_HairTK_params, special_c5_color),
           F(orn_HairTK_params, special_c6),
           F(orn_HairTK_params, special_c6_color),
           F(orn_HairTK_params, special_c7),
           F(orn_HairTK_params, special_c7_color),
           F(orn_HairTK_params, special_c8),
           F(orn_HairTK_params, special_c8_color),
           F(orn_HairTK_params, special_c9),
           F(orn_HairTK_params, special_c9_color),
           F(orn_HairTK_params, special_c10),
           F(orn_HairTK_params, special_c10_color),
           F(orn_HairTK_params, depth_mode),
           F(orn_HairTK_params, depth_near),
           F(orn_HairTK_params, depth_far),
           F(orn_HairTK_params, depth_transparent_mode),
           F(orn_HairTK_params, depth_unnormalized),
           F(orn_HairTK_params, depth_invert),
           F(orn_HairTK_params, write_tk_shading),
           F(orn_HairTK_params, write_tk_color),
           F(orn_HairTK_params, write_tk_diffuse),
           F(orn_HairTK_params, write_tk_shadow),
           F(orn_HairTK_params, write_tk_specular),
           F(orn_HairTK_params, write_tk_spec_shd),
           F(orn_HairTK_params, write_tk_diff_occl),
           F(orn_HairTK_params, write_tk_indirect),
           F(orn_HairTK_params, write_tk_ambient),
           F(orn_HairTK_params, write_tk_amb_occlus),
           F(orn_HairTK_params, write_tk_incand),
           F(orn_HairTK_params, write_tk_z),
           F(orn_HairTK_params, write_tk_specialC1),
           F(orn_HairTK_params, write_tk_specialC2),
           F(orn_HairTK_params, write_tk_specialC3),
           F(orn_HairTK_params, write_tk_specialC4),
           F(orn_HairTK_params, write_tk_specialC5),
           F(orn_HairTK_params, write_tk_specialC6),
           F(orn_HairTK_params, write_tk_specialC7),
           F(orn_HairTK_params, write_tk_specialC8),
           F(orn_HairTK_params, write_tk_specialC9),
           F(orn_HairTK_params, write_tk_specialC10),
           F(orn_HairTK_params, light_mode),
           {"lights", offsetof(orn_HairTK_params, i_lights)}}}},
        {"orn_HairTK_shadow",
         {sizeof(orn_HairTK_shadow_params),
          {F(orn_HairTK_shadow_params, transparency),
           F(orn_HairTK_shadow_params, transparency_min_color),
           F(orn_HairTK_shadow_params, root_transparency),
           F(orn_HairTK_shadow_params, tip_transparency),
           F(orn_HairTK_shadow_params, transparency_position),
           F(orn_HairTK_shadow_params, transparency_spread),
           F(orn_HairTK_shadow_params, edge_transparency),
           F(orn_HairTK_shadow_params, edge_frequency),
           F(orn_HairTK_shadow_params, transparency_cutoff),
           F(orn_HairTK_shadow_params, max_transparency_layers),
           F(orn_HairTK_shadow_params, shadow_color),
           F(orn_HairTK_shadow_params, shadow_color_weight),
           F(orn_HairTK_shadow_params, transparency_weight),
           F(orn_HairTK_shadow_params, light_mode),
           {"lights", offsetof(orn_HairTK_shadow_params, i_lights)}}}},
        {"geofeather",
         {sizeof(geofeather_params),
          {F(geofeather_params, barb_count), F(geofeather_params, visibility_flag)}}},
        {"orn_hair_mapping",
         {sizeof(orn_hair_mapping_params),
          {F(orn_hair_mapping_params, direction), F(orn_hair_mapping_params, repeat)}}},
        {"orn_shadow",
         {sizeof(orn_shadow_params),
          {F(orn_shadow_params, front_only),
           F(orn_shadow_params, light_mode),
           {"lights", offsetof(orn_shadow_params, i_lights)}}}},
        {"orn_PointTK",
         {sizeof(orn_PointTK_params),
          {F(orn_PointTK_params, color), F(orn_PointTK_params, intensity),
           F(orn_PointTK_params, emit_diffuse), F(orn_PointTK_params, emit_specular),
           F(orn_PointTK_params, decay_type), F(orn_PointTK_params, decay_start),
           F(orn_PointTK_params, decay_end), F(orn_PointTK_params, shadow),
           F(orn_PointTK_params, shadow_factor), F(orn_PointTK_params, softness),
           F(orn_PointTK_params, shadow_samples), F(orn_PointTK_params, shadow_threshold),
           F(orn_PointTK_params, category)}}},
        {"orn_SpotTK",
         {sizeof(orn_SpotTK_params),
          {F(orn_SpotTK_params, color), F(orn_SpotTK_params, intensity), F(orn_SpotTK_params, emit_diffuse),
           F(orn_SpotTK_params, emit_specular), F(orn_SpotTK_params, decay_type),
           F(orn_SpotTK_params, decay_start), F(orn_SpotTK_params, decay_end),
           F(orn_SpotTK_params, cone_angle), F(orn_SpotTK_params, cone_falloff_exponent),
           F(orn_SpotTK_params, shadow), F(orn_SpotTK_params, shadow_factor), F(orn_SpotTK_params, softness),
           F(orn_SpotTK_params, shadow_samples), F(orn_SpotTK_params, shadow_threshold),
           F(orn_SpotTK_params, category)}}},
        {"orn_physical_lens_dof",
         {sizeof(orn_physical_lens_dof_params),
          {F(orn_physical_lens_dof_params, focus_plane), F(orn_physical_lens_dof_params, lens_radius),
           F(orn_physical_lens_dof_params, samples)}}},
        {"orn_fisheye", {sizeof(orn_fisheye_params), {F(orn_fisheye_params, fisheye_amount)}}},
        {"orn_environment",
         {sizeof(orn_environment_params),
          {F(orn_environment_params, intensity), F(orn_environment_params, tint),
           F(orn_environment_params, spread), F(orn_environment_params, samples),
           F(orn_environment_params, use_normal), F(orn_environment_params, direction)}}},
        {"orn_eye",
         {sizeof(orn_eye_params),
          {F(orn_eye_params, pupil_color),         F(orn_eye_params, pupil_radius),
           F(orn_eye_params, pupil_slit),          F(orn_eye_params, pupil_blur),
           F(orn_eye_params, iris_color1),         F(orn_eye_params, noise1_scale_angle),
           F(orn_eye_params, noise1_scale_radius), F(orn_eye_params, iris_blend),
           F(orn_eye_params, iris_edge_noise),     F(orn_eye_params, iris_edge_noise_scale),
           F(orn_eye_params, iris_blend_width),    F(orn_eye_params, iris_color2),
           F(orn_eye_params, noise2_scale_angle),  F(orn_eye_params, noise2_scale_radius),
           F(orn_eye_params, iris_radius),         F(orn_eye_params, limbus_fade),
           F(orn_eye_params, limbus_color),        F(orn_eye_params, limbus_width),
           F(orn_eye_params, limbus_blur),         F(orn_eye_params, sclera_color),
           F(orn_eye_params, sclera_edge_color),   F(orn_eye_params, u_is_radial),
           F(orn_eye_params, radial_scale)}}},
        {"orn_z",
         {sizeof(orn_z_params),
          {F(orn_z_params, near_distance), F(orn_z_params, far_distance), F(orn_z_params, opacity),
           F(orn_z_params, reflectivity), F(orn_z_params, reflect_glossiness), F(orn_z_params, transparency),
           F(orn_z_params, refract_glossiness), F(orn_z_params, ior), F(orn_z_params, raw_distance),
           F(orn_z_params, invert), F(orn_z_params, channel_mode), F(orn_z_params, premultiply)}}},
        {"orn_motion_to_rgb",
         {sizeof(orn_motion_to_rgb_params),
          {F(orn_motion_to_rgb_params, output_mode), F(orn_motion_to_rgb_params, max_pixels)}}},
        {"orn_OpenEXR_saver",
         {sizeof(orn_OpenEXR_saver_params),
          {F(orn_OpenEXR_saver_params, fileName),
           F(orn_OpenEXR_saver_params, compression),
           F(orn_OpenEXR_saver_params, rgbaPass),
           F(orn_OpenEXR_saver_params, rgbaFormat),
           F(orn_OpenEXR_saver_params, zPass),
           F(orn_OpenEXR_saver_params, zFormat),
           F(orn_OpenEXR_saver_params, nPass),
           F(orn_OpenEXR_saver_params, nFormat),
           F(orn_OpenEXR_saver_params, mPass),
           F(orn_OpenEXR_saver_params, mFormat),
           F(orn_OpenEXR_saver_params, tPass),
           F(orn_OpenEXR_saver_params, tFormat),
           F(orn_OpenEXR_saver_params, cPass),
           F(orn_OpenEXR_saver_params, cFormat),
           F(orn_OpenEXR_saver_params, shadingPass),
           F(orn_OpenEXR_saver_params, shadingBuffer),
           F(orn_OpenEXR_saver_params, shadingFormat),
           F(orn_OpenEXR_saver_params, colorPass),
           F(orn_OpenEXR_saver_params, colorBuffer),
           F(orn_OpenEXR_saver_params, colorFormat),
           F(orn_OpenEXR_saver_params, diffusePass),
           F(orn_OpenEXR_saver_params, diffuseBuffer),
           F(orn_OpenEXR_saver_params, diffuseFormat),
           F(orn_OpenEXR_saver_params, diffuseShadowPass),
           F(orn_OpenEXR_saver_params, diffuseShadowBuffer),
           F(orn_OpenEXR_saver_params, diffuseShadowFormat),
           F(orn_OpenEXR_saver_params, specularPass),
           F(orn_OpenEXR_saver_params, specularBuffer),
           F(orn_OpenEXR_saver_params, specularFormat),
           F(orn_OpenEXR_saver_params, specularShadowPass),
           F(orn_OpenEXR_saver_params, specularShadowBuffer),
           F(orn_OpenEXR_saver_params, specularShadowFormat),
           F(orn_OpenEXR_saver_params, diffuseOcclusionPass),
           F(orn_OpenEXR_saver_params, diffuseOcclusionBuffer),
           F(orn_OpenEXR_saver_params, diffuseOcclusionFormat),
           F(orn_OpenEXR_saver_params, indirectIllumPass),
           F(orn_OpenEXR_saver_params, indirectIllumBuffer),
           F(orn_OpenEXR_saver_params, indirectIllumFormat),
           F(orn_OpenEXR_saver_params, ambientPass),
           F(orn_OpenEXR_saver_params, ambientBuffer),
           F(orn_OpenEXR_saver_params, ambientFormat),
           F(orn_OpenEXR_saver_params, ambOcclusionPass),
           F(orn_OpenEXR_saver_params, ambOcclusionBuffer),
           F(orn_OpenEXR_saver_params, ambOcclusionFormat),
           F(orn_OpenEXR_saver_params, reflectPass),
           F(orn_OpenEXR_saver_params, reflectBuffer),
           F(orn_OpenEXR_saver_params, reflectFormat),
           F(orn_OpenEXR_saver_params, refractPass),
           F(orn_OpenEXR_saver_params, refractBuffer),
           F(orn_OpenEXR_saver_params, refractFormat),
           F(orn_OpenEXR_saver_params, incandescencePass),
           F(orn_OpenEXR_saver_params, incandescenceBuffer),
           F(orn_OpenEXR_saver_params, incandescenceFormat),
           F(orn_OpenEXR_saver_params, depthPass),
           F(orn_OpenEXR_saver_params, depthBuffer),
           F(orn_OpenEXR_saver_params, depthFormat),
           F(orn_OpenEXR_saver_params, bentNormalPass),
           F(orn_OpenEXR_saver_params, bentNormalBuffer),
           F(orn_OpenEXR_saver_params, bentNormalFormat),
           F(orn_OpenEXR_saver_params, specialC1Pass),
           F(orn_OpenEXR_saver_params, specialC1Buffer),
           F(orn_OpenEXR_saver_params, specialC1Format),
           F(orn_OpenEXR_saver_params, specialC2Pass),
           F(orn_OpenEXR_saver_params, specialC2Buffer),
           F(orn_OpenEXR_saver_params, specialC2Format),
           F(orn_OpenEXR_saver_params, specialC3Pass),
           F(orn_OpenEXR_saver_params, specialC3Buffer),
           F(orn_OpenEXR_saver_params, specialC3Format),
           F(orn_OpenEXR_saver_params, specialC4Pass),
           F(orn_OpenEXR_saver_params, specialC4Buffer),
           F(orn_OpenEXR_saver_params, specialC4Format),
           F(orn_OpenEXR_saver_params, specialC5Pass),
           F(orn_OpenEXR_saver_params, specialC5Buffer),
           F(orn_OpenEXR_saver_params, specialC5Format),
           F(orn_OpenEXR_saver_params, specialC6Pass),
           F(orn_OpenEXR_saver_params, specialC6Buffer),
           F(orn_OpenEXR_saver_params, specialC6Format),
           F(orn_OpenEXR_saver_params, specialC7Pass),
           F(orn_OpenEXR_saver_params, specialC7Buffer),
           F(orn_OpenEXR_saver_params, specialC7Format),
           F(orn_OpenEXR_saver_params, specialC8Pass),
           F(orn_OpenEXR_saver_params, specialC8Buffer),
           F(orn_OpenEXR_saver_params, specialC8Format),
           F(orn_OpenEXR_saver_params, specialC9Pass),
           F(orn_OpenEXR_saver_params, specialC9Buffer),
           F(orn_OpenEXR_saver_params, specialC9Format),
           F(orn_OpenEXR_saver_params, specialC10Pass),
           F(orn_OpenEXR_saver_params, specialC10Buffer),
           F(orn_OpenEXR_saver_params, specialC10Format)}}},
        {"orn_MegaTK",
         {sizeof(orn_MegaTK_params),
          {F(orn_MegaTK_params, diffuse_color),
           F(orn_MegaTK_params, opacity),
           F(orn_MegaTK_params, opacity_channel),
           F(orn_MegaTK_params, ambient_on),
           F(orn_MegaTK_params, ambient_scale),
           F(orn_MegaTK_params, ambient_color),
           F(orn_MegaTK_params, diffuse_on),
           F(orn_MegaTK_params, diffuse_weight),
           F(orn_MegaTK_params, diffuse_softness),
           F(orn_MegaTK_params, diffuse_category),
           F(orn_MegaTK_params, fur_on),
           F(orn_MegaTK_params, fur_weight),
           F(orn_MegaTK_params, fur_angle),
           F(orn_MegaTK_params, fur_skin_color),
           F(orn_MegaTK_params, fur_density),
           F(orn_MegaTK_params, fur_reflect),
           F(orn_MegaTK_params, fur_transmit),
           F(orn_MegaTK_params, fur_self_shadow),
           F(orn_MegaTK_params, fur_terminator),
           F(orn_MegaTK_params, fur_terminator_start),
           F(orn_MegaTK_params, fur_terminator_end),
           F(orn_MegaTK_params, fur_length),
           F(orn_MegaTK_params, fur_base_width),
           F(orn_MegaTK_params, fur_tip_width),
           F(orn_MegaTK_params, fur_category),
           F(orn_MegaTK_params, phong_on),
           F(orn_MegaTK_params, phong_weight),
           F(orn_MegaTK_params, phong_color),
           F(orn_MegaTK_params, phong_exponent),
           F(orn_MegaTK_params, phong_category),
           F(orn_MegaTK_params, blinn_on),
           F(orn_MegaTK_params, blinn_weight),
           F(orn_MegaTK_params, blinn_color),
           F(orn_MegaTK_params, blinn_eccentricity),
           F(orn_MegaTK_params, blinn_reflectivity),
           F(orn_MegaTK_params, blinn_category),
           F(orn_MegaTK_params, velvet_on),
           F(orn_MegaTK_params, velvet_weight),
           F(orn_MegaTK_params, velvet_color),
           F(orn_MegaTK_params, velvet_backscatter),
           F(orn_MegaTK_params, velvet_edginess),
           F(orn_MegaTK_params, velvet_roughness),
           F(orn_MegaTK_params, velvet_category),
           F(orn_MegaTK_params, toon_on),
           F(orn_MegaTK_params, toon_weight),
           F(orn_MegaTK_params, toon_color),
           F(orn_MegaTK_params, toon_size),
           F(orn_MegaTK_params, toon_sharpness),
           F(orn_MegaTK_params, toon_category),
           F(orn_MegaTK_params, ward_on),
           F(orn_MegaTK_params, ward_weight),
           F(orn_MegaTK_params, ward_color),
           F(orn_MegaTK_params, ward_shiny_u),
           F(orn_MegaTK_params, ward_shiny_v),
           F(orn_MegaTK_params, ward_derivs_frame),
           F(orn_MegaTK_params, ward_u),
           F(orn_MegaTK_params, ward_v),
           F(orn_MegaTK_params, ward_category),
           F(orn_MegaTK_params, strand_on),
           F(orn_MegaTK_params, strand_weight),
           F(orn_MegaTK_params, strand_angle),
           F(orn_MegaTK_params, strand_primary_color),
           F(orn_MegaTK_params, strand_primary_exponent),
           F(orn_MegaTK_params, strand_secondary_color),
           F(orn_MegaTK_params, strand_secondary_exponent),
           F(orn_MegaTK_params, strand_noise_amount),
           F(orn_MegaTK_params, strand_noise_frequency),
           F(orn_MegaTK_params, strand_category),
           F(orn_MegaTK_params, indirect_on),
           F(orn_MegaTK_params, indirect_color),
           F(orn_MegaTK_params, indirect_saturation),
           F(orn_MegaTK_params, indirect_own_rays),
           F(orn_MegaTK_params, indirect_samples),
           F(orn_MegaTK_params, indirect_depth),
           F(orn_MegaTK_params, indirect_keep_normal),
           F(orn_MegaTK_params, amb_occl_on),
           F(orn_MegaTK_params, amb_occl_scale),
           F(orn_MegaTK_params, amb_occl_color),
           F(orn_MegaTK_params, ao_on),
           F(orn_MegaTK_params, ao_bright),
           F(orn_MegaTK_params, ao_dark),
           F(orn_MegaTK_params, ao_spread),
           F(orn_MegaTK_params, ao_samples),
           F(orn_MegaTK_params, ao_near),
           F(orn_MegaTK_params, ao_far),
           F(orn_MegaTK_params, ao_falloff),
           F(orn_MegaTK_params, ao_gamma),
           F(orn_MegaTK_params, ao_bias_point),
           F(orn_MegaTK_params, ao_bias),
           F(orn_MegaTK_params, ao_mode),
           F(orn_MegaTK_params, ao_bent_on),
           F(orn_MegaTK_params, ao_bent_space),
           F(orn_MegaTK_params, ao_environment),
           F(orn_MegaTK_params, ao_skip_finalgather),
           F(orn_MegaTK_params, ao_skip_reflection),
           F(orn_MegaTK_params, ao_skip_refraction),
           F(orn_MegaTK_params, ao_on_color),
           F(orn_MegaTK_params, ao_on_specular),
           F(orn_MegaTK_params, ao_on_indirect),
           F(orn_MegaTK_params, ao_on_ambient),
           F(orn_MegaTK_params, ao_color),
           F(orn_MegaTK_params, reflect_on),
           F(orn_MegaTK_params, reflect_amount),
           F(orn_MegaTK_params, reflect_color),
           F(orn_MegaTK_params, reflect_gloss),
           F(orn_MegaTK_params, reflect_aniso),
           F(orn_MegaTK_params, reflect_shiny_u),
           F(orn_MegaTK_params, reflect_shiny_v),
           F(orn_MegaTK_params, reflect_samples),
           F(orn_MegaTK_params, reflect_fresnel),
           F(orn_MegaTK_params, reflect_falloff_start),
           F(orn_MegaTK_params, reflect_falloff_end),
           F(orn_MegaTK_params, reflect_falloff_color_on),
           F(orn_MegaTK_params, reflect_falloff_color),
           F(orn_MegaTK_params, reflect_diffuse_loss),
           F(orn_MegaTK_params, reflect_add),
           F(orn_MegaTK_params, refract_on),
           F(orn_MegaTK_params, refract_amount),
           F(orn_MegaTK_params, refract_color),
           F(orn_MegaTK_params, refract_gloss),
           F(orn_MegaTK_params, refract_aniso),
           F(orn_MegaTK_params, refract_shiny_u),
           F(orn_MegaTK_params, refract_shiny_v),
           F(orn_MegaTK_params, refract_samples),
           F(orn_MegaTK_params, ior),
           F(orn_MegaTK_params, absorb_inside),
           F(orn_MegaTK_params, outside_ior),
           F(orn_MegaTK_params, absorb_outside),
           F(orn_MegaTK_params, refract_fresnel),
           F(orn_MegaTK_params, refract_falloff_start),
           F(orn_MegaTK_params, refract_falloff_end),
           F(orn_MegaTK_params, refract_falloff_color_on),
           F(orn_MegaTK_params, refract_falloff_color),
           F(orn_MegaTK_params, refract_diffuse_loss),
           F(orn_MegaTK_params, refract_add),
           F(orn_MegaTK_params, branch_mode),
           F(orn_MegaTK_params, branch_depth),
           F(orn_MegaTK_params, sample_falloff),
           F(orn_MegaTK_params, entering_by_count),
           F(orn_MegaTK_params, reflect_depth),
           F(orn_MegaTK_params, refract_depth),
           F(orn_MegaTK_params, incandescence_on),
           F(orn_MegaTK_params, incandescence_scale),
           F(orn_MegaTK_params, incandescence_color),
           F(orn_MegaTK_params, special_on_1),
           F(orn_MegaTK_params, special_color_1),
           F(orn_MegaTK_params, special_on_2),
           F(orn_MegaTK_params, special_color_2),
           F(orn_MegaTK_params, special_on_3),
           F(orn_MegaTK_params, special_color_3),
           F(orn_MegaTK_params, special_on_4),
           F(orn_MegaTK_params, special_color_4),
           F(orn_MegaTK_params, special_on_5),
           F(orn_MegaTK_params, special_color_5),
           F(orn_MegaTK_params, special_on_6),
           F(orn_MegaTK_params, special_color_6),
           F(orn_MegaTK_params, special_on_7),
           F(orn_MegaTK_params, special_color_7),
           F(orn_MegaTK_params, special_on_8),
           F(orn_MegaTK_params, special_color_8),
           F(orn_MegaTK_params, special_on_9),
           F(orn_MegaTK_params, special_color_9),
           F(orn_MegaTK_params, special_on_10),
           F(orn_MegaTK_params, special_color_10),
           F(orn_MegaTK_params, normal_on),
           F(orn_MegaTK_params, normal_add),
           F(orn_MegaTK_params, normal_vector),
           F(orn_MegaTK_params, depth_on),
           F(orn_MegaTK_params, depth_near),
           F(orn_MegaTK_params, depth_far),
           F(orn_MegaTK_params, depth_transparent),
           F(orn_MegaTK_params, depth_reflect),
           F(orn_MegaTK_params, depth_refract),
           F(orn_MegaTK_params, depth_raw),
           F(orn_MegaTK_params, depth_invert),
           F(orn_MegaTK_params, pass_shading),
           F(orn_MegaTK_params, pass_color),
           F(orn_MegaTK_params, pass_diffuse),
           F(orn_MegaTK_params, pass_shadow),
           F(orn_MegaTK_params, pass_specular),
           F(orn_MegaTK_params, pass_spec_shd),
           F(orn_MegaTK_params, pass_diff_occl),
           F(orn_MegaTK_params, pass_indirect),
           F(orn_MegaTK_params, pass_ambient),
           F(orn_MegaTK_params, pass_amb_occlus),
           F(orn_MegaTK_params, pass_reflect),
           F(orn_MegaTK_params, pass_refract),
           F(orn_MegaTK_params, pass_incand),
           F(orn_MegaTK_params, pass_z),
           F(orn_MegaTK_params, pass_bent),
           F(orn_MegaTK_params, pass_specialC1),
           F(orn_MegaTK_params, pass_specialC2),
           F(orn_MegaTK_params, pass_specialC3),
           F(orn_MegaTK_params, pass_specialC4),
           F(orn_MegaTK_params, pass_specialC5),
           F(orn_MegaTK_params, pass_specialC6),
           F(orn_MegaTK_params, pass_specialC7),
           F(orn_MegaTK_params, pass_specialC8),
           F(orn_MegaTK_params, pass_specialC9),
           F(orn_MegaTK_params, pass_specialC10),
           F(orn_MegaTK_params, light_mode),
           {"lights", offsetof(orn_MegaTK_params, i_lights)}}}},
        {"orn_math_output",
         {sizeof(orn_math_output_params),
          {F(orn_math_output_params, buffer_a), F(orn_math_output_params, buffer_b),
           F(orn_math_output_params, operation)}}},
        {"orn_MegaTK_pass",
         {sizeof(orn_MegaTK_pass_params),
          {F(orn_MegaTK_pass_params, file_name),
           F(orn_MegaTK_pass_params, directory),
           F(orn_MegaTK_pass_params, frame_digits),
           F(orn_MegaTK_pass_params, output_mode),
           F(orn_MegaTK_pass_params, compression),
           F(orn_MegaTK_pass_params, bit_depth),
           F(orn_MegaTK_pass_params, filtering),
           F(orn_MegaTK_pass_params, contrast_all_buffers),
           F(orn_MegaTK_pass_params, rgba_pass),
           F(orn_MegaTK_pass_params, rgba_format),
           F(orn_MegaTK_pass_params, z_pass),
           F(orn_MegaTK_pass_params, z_format),
           F(orn_MegaTK_pass_params, normal_pass),
           F(orn_MegaTK_pass_params, normal_format),
           F(orn_MegaTK_pass_params, motion_pass),
           F(orn_MegaTK_pass_params, motion_format),
           F(orn_MegaTK_pass_params, label_pass),
           F(orn_MegaTK_pass_params, label_format),
           F(orn_MegaTK_pass_params, coverage_pass),
           F(orn_MegaTK_pass_params, coverage_format),
           F(orn_MegaTK_pass_params, shading_pass),
           F(orn_MegaTK_pass_params, color_pass),
           F(orn_MegaTK_pass_params, diffuse_pass),
           F(orn_MegaTK_pass_params, diffuse_shadow_pass),
           F(orn_MegaTK_pass_params, specular_pass),
           F(orn_MegaTK_pass_params, specular_shadow_pass),
           F(orn_MegaTK_pass_params, diffuse_occlusion_pass),
           F(orn_MegaTK_pass_params, indirect_pass),
           F(orn_MegaTK_pass_params, ambient_pass),
           F(orn_MegaTK_pass_params, ambient_occlusion_pass),
           F(orn_MegaTK_pass_params, reflect_pass),
           F(orn_MegaTK_pass_params, refract_pass),
           F(orn_MegaTK_pass_params, incandescence_pass),
           F(orn_MegaTK_pass_params, depth_pass),
           F(orn_MegaTK_pass_params, bent_normal_pass),
           F(orn_MegaTK_pass_params, special_c1_pass),
           F(orn_MegaTK_pass_params, special_c2_pass),
           F(orn_MegaTK_pass_params, special_c3_pass),
           F(orn_MegaTK_pass_params, special_c4_pass),
           F(orn_MegaTK_pass_params, special_c5_pass),
           F(orn_MegaTK_pass_params, special_c6_pass),
           F(orn_MegaTK_pass_params, special_c7_pass),
           F(orn_MegaTK_pass_params, special_c8_pass),
           F(orn_MegaTK_pass_params, special_c9_pass),
           F(orn_MegaTK_pass_params, special_c10_pass)}}},
        {"orn_CSG",
         {sizeof(orn_CSG_params),
          {F(orn_CSG_params, color1), F(orn_CSG_params, color2), F(orn_CSG_params, object1),
           F(orn_CSG_params, object2), F(orn_CSG_params, swap), F(orn_CSG_params, operation),
           F(orn_CSG_params, detect_inside)}}},
        {"orn_dielectric_interface",
         {sizeof(orn_dielectric_interface_params),
          {F(orn_dielectric_interface_params, color1), F(orn_dielectric_interface_params, color2),
           F(orn_dielectric_interface_params, interface_color),
           F(orn_dielectric_interface_params, match_mode), F(orn_dielectric_interface_params, object1),
           F(orn_dielectric_interface_params, object2), F(orn_dielectric_interface_params, reserved1),
           F(orn_dielectric_interface_params, reserved2), F(orn_dielectric_interface_params, label1),
           F(orn_dielectric_interface_params, label2), F(orn_dielectric_interface_params, reserved3)}}},
        {"orn_shader_replacer",
         {sizeof(orn_shader_replacer_params),
          {F(orn_shader_replacer_params, enable),
           F(orn_shader_replacer_params, verbose),
           F(orn_shader_replacer_params, material),
           {"instances", offsetof(orn_shader_replacer_params, i_instances)}}}},
        {"orn_irradiance", {sizeof(orn_irradiance_params), {F(orn_irradiance_params, color)}}},
        {"orn_photon_basic",
         {sizeof(orn_photon_basic_params),
          {F(orn_photon_basic_params, diffuse), F(orn_photon_basic_params, specular),
           F(orn_photon_basic_params, transmission), F(orn_photon_basic_params, ior)}}},
        {"orn_maya_shadingengine",
         {sizeof(orn_maya_shadingengine_params),
          {F(orn_maya_shadingengine_params, color), F(orn_maya_shadingengine_params, override_normal),
           F(orn_maya_shadingengine_params, normal), F(orn_maya_shadingengine_params, matte_mode),
           F(orn_maya_shadingengine_params, matte_value)}}},
        {"orn_bake_read",
         {sizeof(orn_bake_read_params),
          {{"object_names", offsetof(orn_bake_read_params, i_object_names)},
           F(orn_bake_read_params, uv),
           {"textures", offsetof(orn_bake_read_params, i_textures)}}}},
        {"orn_buffer_writer",
         {sizeof(orn_buffer_writer_params),
          {F(orn_buffer_writer_params, color),
           {"write_0", offsetof(orn_buffer_writer_params, slots[0].write)},
           {"value_0", offsetof(orn_buffer_writer_params, slots[0].value)},
           {"write_1", offsetof(orn_buffer_writer_params, slots[1].write)},
           {"value_1", offsetof(orn_buffer_writer_params, slots[1].value)},
           {"write_2", offsetof(orn_buffer_writer_params, slots[2].write)},
           {"value_2", offsetof(orn_buffer_writer_params, slots[2].value)},
           {"write_3", offsetof(orn_buffer_writer_params, slots[3].write)},
           {"value_3", offsetof(orn_buffer_writer_params, slots[3].value)},
           {"write_4", offsetof(orn_buffer_writer_params, slots[4].write)},
           {"value_4", offsetof(orn_buffer_writer_params, slots[4].value)},
           {"write_5", offsetof(orn_buffer_writer_params, slots[5].write)},
           {"value_5", offsetof(orn_buffer_writer_params, slots[5].value)},
           {"write_6", offsetof(orn_buffer_writer_params, slots[6].write)},
           {"value_6", offsetof(orn_buffer_writer_params, slots[6].value)},
           {"write_7", offsetof(orn_buffer_writer_params, slots[7].write)},
           {"value_7", offsetof(orn_buffer_writer_params, slots[7].value)},
           F(orn_buffer_writer_params, restore_normal)}}},
    };
    return blocks;
}

std::vector<orn::scene::ShaderDecl> declarations() {
    auto result = orn::scene::parse_file(ORN_SOURCE_DIR "/declarations/shaders_orn.mi");
    EXPECT_TRUE(result.ok) << (result.errors.empty() ? "" : result.errors.front().str());
    std::vector<orn::scene::ShaderDecl> out;
    for (auto& st : result.statements)
        if (auto* d = std::get_if<orn::scene::ShaderDecl>(&st)) out.push_back(*d);
    return out;
}

TEST(Declarations, DeclareAll37ShadersWithTheTableVersions) {
    const std::map<std::string, int> versions = {{"geofeather", 1},
                                                 {"orn_HairTK", 1},
                                                 {"orn_HairTK_shadow", 1},
                                                 {"orn_MegaTK_pass", 1},
                                                 {"orn_hair_mapping", 1},
                                                 {"orn_photon_basic", 1},
                                                 {"orn_physical_lens_dof", 1},
                                                 {"orn_shader_replacer", 1},
                                                 {"orn_shadow_transparency", 1},
                                                 {"orn_CSG", 2},
                                                 {"orn_DirectTK", 2},
                                                 {"orn_PointTK", 2},
                                                 {"orn_SpotTK", 2},
                                                 {"orn_bake_read", 2},
                                                 {"orn_color_plus_alpha", 2},
                                                 {"orn_color_to_float", 2},
                                                 {"orn_constant", 2},
                                                 {"orn_dielectric_interface", 2},
                                                 {"orn_environment", 2},
                                                 {"orn_eye", 2},
                                                 {"orn_facing_ratio", 2},
                                                 {"orn_fisheye", 2},
                                                 {"orn_float2_to_vector", 2},
                                                 {"orn_float3_to_vector", 2},
                                                 {"orn_float4_to_color", 2},
                                                 {"orn_grade_color", 2},
                                                 {"orn_irradiance", 2},
                                                 {"orn_math_output", 2},
                                                 {"orn_maya_shadingengine", 2},
                                                 {"orn_shadow", 2},
                                                 {"orn_z", 2},
                                                 {"orn_MegaTK", 3},
                                                 {"orn_OpenEXR_saver", 3},
                                                 {"orn_buffer_writer", 3},
                                                 {"orn_ray_type", 3},
                                                 {"orn_scatter_wrap", 3},
                                                 {"orn_motion_to_rgb", 4}};
    const auto decls = declarations();
    ASSERT_EQ(decls.size(), 37u);
    for (const auto& d : decls) {
        auto it = versions.find(d.name);
        ASSERT_NE(it, versions.end()) << d.name;
        EXPECT_EQ(d.version, it->second) << d.name;
    }
}

TEST(Declarations, ParameterBlocksMatchTheShadersRecords) {
    const auto decls = declarations();
    size_t checked = 0;
    for (const auto& d : decls) {
        auto it = c_blocks().find(d.name);
        if (it == c_blocks().end()) continue;
        const auto layout = orn::compute_layout(d.params);
        const CBlock& c = it->second;
        ASSERT_EQ(layout.fields.size(), c.fields.size()) << d.name;
        for (size_t i = 0; i < c.fields.size(); ++i) {
            EXPECT_EQ(layout.fields[i].name, c.fields[i].first) << d.name << " field " << i;
            EXPECT_EQ(layout.fields[i].offset, c.fields[i].second) << d.name << "." << c.fields[i].first;
        }
        EXPECT_EQ(layout.size, c.size) << d.name;
        ++checked;
    }
    EXPECT_EQ(checked, c_blocks().size()) << "every implemented shader has a declaration";
}

TEST(Declarations, ExportedShadersReportTheDeclaredVersion) {
    void* module = dlopen(ORN_BUILD_DIR "/lib/shaders_orn.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    size_t exported = 0;
    for (const auto& d : declarations()) {
        void* fn = dlsym(module, d.name.c_str());
        auto version = reinterpret_cast<int (*)()>(dlsym(module, (d.name + "_version").c_str()));
        if (!fn) continue;
        ++exported;
        ASSERT_NE(version, nullptr) << d.name << " is exported without its version function";
        EXPECT_EQ(version(), d.version) << d.name;
    }
    EXPECT_GE(exported, c_blocks().size());
    dlclose(module);
}

// The default a reference table shows: the declared value, or the zero every block starts with.
std::string default_text(const orn::scene::ParamDecl& p) {
    using orn::scene::ParamType;
    using Kind = orn::scene::Value::Kind;
    if (p.is_array) return "empty";
    if (!p.default_value) {
        switch (p.type) {
        case ParamType::Boolean:
            return "off";
        case ParamType::Color:
            return "0 0 0 0";
        case ParamType::Vector:
            return "0 0 0";
        case ParamType::String:
            return "none";
        default:
            return "0";
        }
    }
    const auto& v = *p.default_value;
    if (v.kind == Kind::Boolean) return v.boolean ? "on" : "off";
    if (v.kind == Kind::String) return "\"" + v.text + "\"";
    std::ostringstream out;
    for (size_t i = 0; i < v.numbers.size(); ++i)
        out << (i ? " " : "") << v.numbers[i];
    return out.str();
}

// "| a | b |" -> {"a", "b"}
std::vector<std::string> split_cells(const std::string& row) {
    std::vector<std::string> cells;
    std::istringstream in(row.substr(1));
    for (std::string cell; std::getline(in, cell, '|');)
        cells.push_back(cell.substr(1, cell.size() >= 2 ? cell.size() - 2 : 0));
    return cells;
}

// docs/shaders.md has a section for every shader the module exports, a row for each of its
// parameters with the declared type and default, and names every other declaration as not built.
TEST(Declarations, TheShaderReferenceMatchesTheDeclarations) {
    std::ifstream file(ORN_SOURCE_DIR "/docs/shaders.md");
    ASSERT_TRUE(file);
    std::map<std::string, std::vector<std::vector<std::string>>> rows; // by section
    std::string line, section, not_built;
    while (std::getline(file, line)) {
        if (line.rfind("## ", 0) == 0) section = line.substr(3);
        if (section == "Declared, not yet built") not_built += line;
        if (line.rfind("| `", 0) == 0) rows[section].push_back(split_cells(line));
    }
    std::ifstream again(ORN_SOURCE_DIR "/docs/shaders.md");
    std::ostringstream text;
    text << again.rdbuf();
    auto meanings = orn::scene::parse_parameter_meanings(text.str());
    void* module = dlopen(ORN_BUILD_DIR "/lib/shaders_orn.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    size_t documented = 0;
    for (const auto& d : declarations()) {
        if (!dlsym(module, d.name.c_str())) {
            EXPECT_NE(not_built.find("`" + d.name + "`"), std::string::npos) << d.name;
            continue;
        }
        auto it = rows.find("`" + d.name + "`");
        ASSERT_NE(it, rows.end()) << "no section for " << d.name;
        ++documented;
        for (const auto& p : d.params) {
            const std::vector<std::string>* row = nullptr;
            for (const auto& r : it->second)
                if (r.size() == 4 && (", " + r[0] + ",").find(" `" + p.name + "`,") != std::string::npos)
                    row = &r;
            ASSERT_NE(row, nullptr) << d.name << " has no row for " << p.name;
            EXPECT_EQ((*row)[1], (p.is_array ? "array " : "") + orn::scene::to_string(p.type))
                << d.name << "." << p.name;
            EXPECT_EQ((*row)[2], "`" + default_text(p) + "`") << d.name << "." << p.name;
            // what `ornrender --describe` shows for it
            EXPECT_FALSE(meanings[d.name][p.name].empty()) << d.name << "." << p.name;
        }
    }
    EXPECT_EQ(documented, c_blocks().size());
    dlclose(module);
}

TEST(Declarations, ParameterMeaningsAreTheFirstSentenceInPlainText) {
    const auto m = orn::scene::parse_parameter_meanings(
        "## `orn_a`\n\n| Parameter | Type | Default | Meaning |\n|---|---|---|---|\n"
        "| `x`, `y` | scalar | `0` | Scales **both**, as in [lights.md](lights.md). Later words. |\n"
        "| `z` | string | `none` | Picks `a | b`, e.g. 0.5 of it |\n"
        "## Worked example\n| `w` | scalar | `0` | Not a parameter. |\n");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m.at("orn_a").at("x"), "Scales both, as in lights.md.");
    EXPECT_EQ(m.at("orn_a").at("y"), "Scales both, as in lights.md.");
    EXPECT_EQ(m.at("orn_a").at("z"), "Picks a | b, e.g. 0.5 of it");
}

TEST(Declarations, ArraysTakeStartCountAndFirstElement) {
    auto result = orn::scene::parse_string("declare shader color \"t\" (color \"c\", array light \"lights\", "
                                           "array color \"cols\", scalar \"s\") "
                                           "version 1 end declare",
                                           "t.mi", {});
    ASSERT_TRUE(result.ok);
    const auto& d = std::get<orn::scene::ShaderDecl>(result.statements.at(0));
    const auto layout = orn::compute_layout(d.params);
    // color 16 | i_lights n_lights lights[1] = 12 | i_cols n_cols cols[1] = 24 | scalar 4
    ASSERT_EQ(layout.fields.size(), 4u);
    EXPECT_EQ(layout.fields[1].offset, 16u);
    EXPECT_EQ(layout.fields[1].array_offset, 24u);
    EXPECT_EQ(layout.fields[2].offset, 28u);
    EXPECT_EQ(layout.fields[2].array_offset, 36u);
    EXPECT_EQ(layout.fields[3].offset, 52u);
    EXPECT_EQ(layout.size, 56u);
}

} // namespace
