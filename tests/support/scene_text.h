// Test support for scene text: a camera looking at a quad, quads, toolkit and plain lights,
// orn_MegaTK instances and tk pass buffers.
#pragma once

#include "support/expect.h"

#include <string>
#include <vector>

namespace orn::test {

std::string vec_text(const Vec& v);

// A quad of half size h in the plane z = `z`, centred on the z axis, facing +z. A textured
// quad has texture coordinates s along +x and t along +y, each 0 to 1 across the quad.
std::string quad_object(const std::string& name, float z, float h = 20.f, bool textured = false);

// A scene seen by a camera at the origin looking down -z, with the quad z = -5 (normal +z,
// material "floor_m", white orn_constant) filling the view; `body` adds lights, objects and
// instances, and `names` the instances to render besides the camera and the floor.
std::string floor_scene(const std::string& body, const std::string& names,
                        const std::string& shadow_mode = "on");

// The camera of floor_scene (90 degrees, 100 x 100 pixels; the centre pixel's ray is
// (0, 0, -1)) looking at the textured quad "surface" at z = -5, 40 wide, with `material`.
struct QuadScene {
    std::string options = "samples 0 0";
    std::string camera;                 // more camera statements: frame buffers, environment
    std::string defs;                   // shaders, materials, lights and their instances
    std::string material;               // of the quad
    std::string placement;              // more statements of the quad's instance (motion transform)
    std::vector<std::string> instances; // rendered besides the camera and the quad
    std::string text() const;
};

// An orn_MegaTK shader `name` with its material "<name>_m"; unlisted parameters are 0, except
// the index of refraction, which is 1 unless given.
std::string mega(const std::string& name, const std::string& params, const std::string& opacity = "1 1 1 1");

// Light placements: a directional light shining from the direction `to_light`, and an area
// light at `origin` with a shape such as "rectangle ux uy uz vx vy vz nu nv".
std::string directional(const Vec& to_light);
std::string area_light(const Vec& origin, const std::string& shape);

// An orn_DirectTK light `name` without shadows, and its instance "<name>_i".
std::string toolkit_light(const std::string& name, const std::string& placement, const std::string& color,
                          double intensity = 1.0, const std::string& category = "k", bool emit_diffuse = true,
                          bool emit_specular = true);
// A light whose shader (orn_constant) publishes no light record, and its instance "<name>_i".
std::string plain_light(const std::string& name, const std::string& placement, const std::string& color);

// Camera statements for user frame buffers of three floats, such as the tk pass buffers.
std::string rgb_buffers(const std::vector<std::string>& names);

} // namespace orn::test
