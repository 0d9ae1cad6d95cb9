// Where the samples of a light lie, and the light lists of a shaded point: default lights
// with the instance's light links, and the inclusive and exclusive lists.
#pragma once

#include "db/world_items.h"

#include <vector>

namespace orn {

struct LightSample {
    miVector position{0, 0, 0}; // world space; for directional lights a far point
    miVector dir{0, 0, 0};      // unit, from the shaded point towards the sample
    float dist = 0.f;
};

// Number of samples a light takes per shaded point (area lights: their sample grid).
int light_sample_count(const WorldLight& light);

// Sample k of a light as seen from `point`; `seed` decorrelates shaded points.
LightSample sample_light(const WorldLight& light, const miVector& point, int k, uint64_t seed);

// Whether a tag names this world light: its instance, or the light itself.
bool light_named(const WorldLight& light, miTag tag);

// The world lights a tag names: a light instance, or every instance of a light.
void lights_for_tag(const std::vector<WorldLight>& lights, miTag tag, std::vector<const WorldLight*>& out);
const WorldLight* first_light_for_tag(const std::vector<WorldLight>& lights, miTag tag);

// Whether the instance hit by a state may be lit by a light, after its light links.
bool light_linked(const InstanceElement* inst, const WorldLight& light);

} // namespace orn
