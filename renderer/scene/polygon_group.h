// The polygon part of an object: `group <vectors> <vertex lines> <polygons> end group`.
#pragma once

#include "scene/ast.h"
#include "scene/token_stream.h"

namespace orn::scene {

// Reads a group (its "group" keyword already read, at `loc`) and appends its triangles to `mesh`.
// Every vector and vertex index is checked; an index out of range is an error at the index.
void parse_polygon_group(TokenStream& in, const SourceLoc& loc, PolygonMesh& mesh);

// Appends `src` to `dst`. A per-vertex attribute that only one of them has is filled with zeros for the
// other's vertices, so every attribute stays either empty or 3 floats per vertex.
void append_mesh(PolygonMesh& dst, const PolygonMesh& src);

} // namespace orn::scene
