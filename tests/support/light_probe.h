// Test support for lights: sampling one light from a shaded point the way a toolkit material
// does, and comparing colours.
#pragma once

#include "support/scene_fixture.h"

#include "common/light_record.h"

#include <string>

namespace orn::test {

struct SampledLight {
    bool sampled = false;
    miColor color{0, 0, 0, 0};
    bool has_record = false;
    ltk_record record{};
    miVector light_org{0, 0, 0}, light_dir{0, 0, 0}; // the light state after the shader returned
};

// Samples the named light instance once from `hit` and reads the record it left.
SampledLight sample_light_once(SceneFixture& fx, miState* hit, const std::string& light_instance);

void expect_color(const miColor& c, float r, float g, float b, float a, float tol = 1e-6f);
void expect_rgb(const miColor& c, float r, float g, float b, float tol = 1e-6f);

// A scene seen by a camera at the origin looking down -z, with the quad z = -5 (normal +z,
// material "floor_m", white orn_constant) filling the view; `body` adds lights, objects and
// instances, and `names` the instances to render besides the camera and the floor.
std::string floor_scene(const std::string& body, const std::string& names,
                        const std::string& shadow_mode = "on");

// A quad of half size h in the plane z = `z`, centred on the z axis, facing +z.
std::string quad_object(const std::string& name, float z, float h = 20.f);

} // namespace orn::test
