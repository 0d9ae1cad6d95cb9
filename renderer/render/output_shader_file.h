// Files that output shaders write, as far as the renderer can tell them before a frame renders.
#pragma once

#include "db/database.h"

#include <string>

namespace orn {

// The file the output shader `f` will write: the "fileName" of orn_OpenEXR_saver when the
// scene gives it as a string (not through a connected shader). Empty for any other shader.
std::string output_shader_file(const Database& db, const miFunction& f);

} // namespace orn
