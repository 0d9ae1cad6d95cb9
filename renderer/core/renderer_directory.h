// Where libornrender.so lies: the shader module, the declaration file and the libraries the
// renderer loads on demand live beside it.
#pragma once

#include <string>

namespace orn {

// Directory of libornrender.so ("." when it cannot be found).
std::string renderer_directory();
// Path of libornrender.so itself, empty when it cannot be found.
std::string renderer_path();

} // namespace orn
