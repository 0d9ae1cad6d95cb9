// Test support for lights: sampling one light from a shaded point the way a toolkit material
// does. Colour comparisons and scene text come with it.
#pragma once

#include "support/expect.h"
#include "support/scene_fixture.h"
#include "support/scene_text.h"

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

// Loads `scene`, takes the floor under pixel (50, 50) and samples the named light once from it:
// the light's colour after whatever lies between; black, with a test failure, when the scene
// does not load or the floor is missing.
miColor light_at_floor(const std::string& scene, const std::string& light_instance);

} // namespace orn::test
