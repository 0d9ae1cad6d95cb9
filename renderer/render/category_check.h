// Light categories that can never meet: a toolkit light takes part only in the material
// components of its own category (names compared exactly), so a typo renders black without any
// error. Checked once before each frame, on what the scene itself sets.
#pragma once

#include "db/database.h"
#include "render/world.h"

#include <optional>
#include <string>

namespace orn {

// Warns, naming the light instance or the material, about a light category no material
// component names, a material component category no light has (pointing out a near miss in
// case only), a toolkit light without a category, and a toolkit material that names no category
// in a scene whose toolkit lights have them.
void warn_category_mismatches(const Database& db, const World& world);

// The category a toolkit light shader `shader` is set to ("" when none is set); nullopt for a
// light shader without a category parameter (not a toolkit light) or one connected to a shader.
std::optional<std::string> light_category(const Database& db, miTag shader);

} // namespace orn
