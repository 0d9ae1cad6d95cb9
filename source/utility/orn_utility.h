// Parameter blocks and results of the small utility shaders, in declaration order.
#pragma once

#include "host/shader.h"

struct orn_irradiance_params {
    miColor color;
};

struct orn_photon_basic_params {
    miColor diffuse;
    miColor specular;
    miColor transmission;
    miScalar ior;
};

struct orn_maya_shadingengine_params {
    miColor color;
    miBoolean override_normal;
    miVector normal;
    miInteger matte_mode;
    miScalar matte_value;
};

struct orn_maya_shadingengine_result {
    miColor out_color;
    miColor out_black;
    miColor out_matte;
    miColor out_transparency;
};

struct orn_bake_read_params {
    miInteger i_object_names;
    miInteger n_object_names;
    miTag object_names[1]; // strings
    miVector uv;
    miInteger i_textures;
    miInteger n_textures;
    miTag textures[1]; // colour textures, paired with object_names by position
};

// One user frame buffer to write: a switch and the colour that goes in.
struct orn_buffer_slot {
    miBoolean write;
    miColor value;
};

struct orn_buffer_writer_params {
    miColor color;
    orn_buffer_slot slots[8]; // write_0, value_0 ... write_7, value_7
    miBoolean restore_normal;
};
