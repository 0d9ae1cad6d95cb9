// The frame's flattened scene: leaf instances with their world transforms and materials,
// light instances, the camera and the options, plus the Embree geometry built from them.
#pragma once

#include "core/math.h"
#include "db/database.h"
#include "db/world_items.h"
#include "scene/ast.h"
#include "trace/geometry_scene.h"

#include <memory>
#include <string>
#include <vector>

namespace orn {

class World {
  public:
    // Resolves the render statement's names and builds the geometry. Errors name the
    // statement that refers to a missing or wrong element.
    bool build(Database& db, const scene::RenderStmt& render, std::vector<scene::Diagnostic>& errors);

    GeometryScene& geometry() { return *geometry_; }
    const GeometryScene& geometry() const { return *geometry_; }
    const std::vector<WorldInstance>& instances() const { return instances_; } // indexed by mesh id
    // An instance redefined before the frame: the placements of it and of every instance below
    // it take their material anew from the instances on their way down.
    void redefined(const InstanceElement* instance);
    const std::vector<WorldLight>& lights() const { return lights_; }
    CameraElement* camera() const { return camera_; }
    InstanceElement* camera_instance() const { return camera_instance_; }
    OptionsElement* options() const { return options_; }
    const Matrix& world_to_camera() const { return world_to_camera_; }
    const Matrix& camera_to_world() const { return camera_to_world_; }
    size_t triangle_count() const { return triangles_; }
    size_t hair_count() const { return hairs_; }

  private:
    // `parent` and `parent_end`: world to parent space at the start and the end of the shutter.
    bool walk(Database& db, const std::string& name, const Matrix& parent, const Matrix& parent_end,
              miTag inherited_material, const scene::SourceLoc& loc, int depth,
              std::vector<scene::Diagnostic>& errors, bool overridden = false);

    struct Placement {
        Matrix w2l, w2l_end, l2w, l2w_end;
    };
    // Puts an instance's item (object, light, camera or group) into the world.
    bool place(Database& db, InstanceElement* inst, miTag item, const Placement& at, miTag material,
               int depth, std::vector<scene::Diagnostic>& errors, bool overridden);
    // Runs the geometry shader of `inst` once; its items are kept for later frames.
    bool run_geometry_shader(Database& db, InstanceElement* inst, std::vector<scene::Diagnostic>& errors);
    // Runs the callback of a placeholder object that a frame reaches for the first time.
    bool build_placeholder(Database& db, ObjectElement* obj, const InstanceElement* inst,
                           std::vector<scene::Diagnostic>& errors);

    std::unique_ptr<GeometryScene> geometry_;
    std::vector<WorldInstance> instances_;
    std::vector<WorldLight> lights_;
    CameraElement* camera_ = nullptr;
    InstanceElement* camera_instance_ = nullptr;
    OptionsElement* options_ = nullptr;
    Matrix world_to_camera_, camera_to_world_;
    size_t triangles_ = 0, hairs_ = 0;
    std::string camera_instance_name_;
    std::vector<const InstanceElement*> path_; // the group instances the walk is inside
};

} // namespace orn
