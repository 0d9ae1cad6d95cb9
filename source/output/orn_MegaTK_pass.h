// Parameter block of the pass set-up shader, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_MegaTK_pass_params {
    miTag file_name; // string: base name of every output file
    miTag directory; // string
    miInteger frame_digits;
    miInteger output_mode; // 0 TIFF per pass, 1 IFF per pass, 2 shared EXR, 3 EXR saver
    miInteger compression;
    miInteger bit_depth;
    miInteger filtering; // exactly 1 turns filtering on
    miBoolean contrast_all_buffers;
    // standard buffers: switch and format
    miBoolean rgba_pass;
    miInteger rgba_format;
    miBoolean z_pass;
    miInteger z_format;
    miBoolean normal_pass;
    miInteger normal_format;
    miBoolean motion_pass;
    miInteger motion_format;
    miBoolean label_pass;
    miInteger label_format;
    miBoolean coverage_pass;
    miInteger coverage_format;
    // tk pass switches, k = 0 to 24
    miBoolean shading_pass;
    miBoolean color_pass;
    miBoolean diffuse_pass;
    miBoolean diffuse_shadow_pass;
    miBoolean specular_pass;
    miBoolean specular_shadow_pass;
    miBoolean diffuse_occlusion_pass;
    miBoolean indirect_pass;
    miBoolean ambient_pass;
    miBoolean ambient_occlusion_pass;
    miBoolean reflect_pass;
    miBoolean refract_pass;
    miBoolean incandescence_pass;
    miBoolean depth_pass;
    miBoolean bent_normal_pass;
    miBoolean special_c1_pass;
    miBoolean special_c2_pass;
    miBoolean special_c3_pass;
    miBoolean special_c4_pass;
    miBoolean special_c5_pass;
    miBoolean special_c6_pass;
    miBoolean special_c7_pass;
    miBoolean special_c8_pass;
    miBoolean special_c9_pass;
    miBoolean special_c10_pass;
};
