// Parameter blocks of the fisheye lens, the eye texture and the environment lookup, in
// declaration order.
#pragma once

#include "host/shader.h"

struct orn_fisheye_params {
    miScalar fisheye_amount;
};

struct orn_environment_params {
    miScalar intensity;
    miColor tint;
    miScalar spread;
    miInteger samples;
    miBoolean use_normal;
    miVector direction;
};

struct orn_eye_params {
    miColor pupil_color;
    miScalar pupil_radius;
    miScalar pupil_slit;
    miScalar pupil_blur;
    miColor iris_color1;
    miScalar noise1_scale_angle;
    miScalar noise1_scale_radius;
    miScalar iris_blend;
    miScalar iris_edge_noise;
    miScalar iris_edge_noise_scale;
    miScalar iris_blend_width;
    miColor iris_color2;
    miScalar noise2_scale_angle;
    miScalar noise2_scale_radius;
    miScalar iris_radius;
    miScalar limbus_fade;
    miColor limbus_color;
    miScalar limbus_width;
    miScalar limbus_blur;
    miColor sclera_color;
    miColor sclera_edge_color;
    miBoolean u_is_radial;
    miScalar radial_scale;
};
