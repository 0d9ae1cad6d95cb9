// Wavefront OBJ files as object geometry (`file "mesh.obj"` in an object).
#pragma once

#include "scene/ast.h"

#include <atomic>
#include <string>

namespace orn::scene {

// Loads `path` into `out` (replacing its contents): triangulated; positions; normals when the file has them
// (N stays empty otherwise); texture coordinates, when present, as texture space 0 with (u, v, 0). One mesh
// vertex is made per distinct (position, normal, uv) index triple. Materials of the file are ignored, so
// every triangle gets material -1. On failure returns false with a message in `error`. Once `cancel` is set
// the reading stops and fails.
bool load_obj(const std::string& path, PolygonMesh& out, std::string& error,
              const std::atomic<bool>* cancel = nullptr);

} // namespace orn::scene
