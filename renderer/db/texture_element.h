// The database's record of a texture the scene declares; the texture system reads its file.
#pragma once

#include "db/database.h"
#include "scene/ast.h"

#include <string>

namespace orn {

// A texture declared by the scene: `color texture "name" "file"`.
struct TextureElement : Element {
    enum class Kind { Color, Scalar };
    TextureElement(std::string n, Kind k, std::string p)
        : Element(miSCENE_IMAGE, std::move(n)), kind(k), path(std::move(p)) {}
    Kind kind;
    std::string path; // resolved like the scene's other file paths
    scene::SourceLoc loc;
};

} // namespace orn
