// The frame's flattened scene items: leaf instances and light instances with their world
// transforms. The world builds them; tracing and light sampling read them.
#pragma once

#include "core/math.h"
#include "db/database.h"

#include <vector>

namespace orn {

struct WorldInstance {
    InstanceElement* instance = nullptr;
    const ObjectElement* object = nullptr;
    Matrix world_to_object, object_to_world;
    // Object to world at the end of the shutter interval; `moves` when it differs from the
    // start or the mesh has motion vectors.
    Matrix object_to_world_end;
    bool moves = false;
    miTag default_material = miNULLTAG;
    // Set when an instance on the way down overrides the materials below it, the polygons' too.
    bool material_override = false;
    std::vector<const InstanceElement*> ancestors; // the group instances above, outermost first
    std::vector<miTag> polygon_materials;          // per object material name; 0 where the default applies
    // A hair object's control points in world space (x y z radius): the object's own where the
    // instance leaves them as they are, else `hair_copy`.
    const float* hair_points = nullptr;
    std::vector<float> hair_copy;
};

struct WorldLight {
    InstanceElement* instance = nullptr;
    LightElement* light = nullptr;
    Matrix world_to_light, light_to_world;
    miVector origin{0, 0, 0};     // world space
    miVector direction{0, 0, -1}; // world space, unit
};

} // namespace orn
