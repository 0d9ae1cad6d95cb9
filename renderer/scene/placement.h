// Instance placement written as steps (translate, rotate, scale, look at) instead of a matrix.
#pragma once

#include "core/math.h"

#include <array>
#include <optional>
#include <string>

namespace orn::scene {

// The steps move the object (or camera) in the world, each after the ones before it; the
// instance keeps their inverse, the world-to-object matrix a `transform` statement gives.
class Placement {
  public:
    void translate(double x, double y, double z);
    void scale(double x, double y, double z);
    // Degrees about an axis through the origin, counter-clockwise looking down the axis;
    // an error text for a zero axis.
    std::optional<std::string> rotate(double degrees, const std::array<double, 3>& axis);
    // Turns the object where it stands so that its -z axis (the camera's view) points at
    // `target` and its +y axis leans towards `up`; scale steps before it are dropped. An error
    // text when the target is where the object stands or lies straight along `up`.
    std::optional<std::string> look_at(const std::array<double, 3>& target, const std::array<double, 3>& up);
    // nullopt when a zero scale made it singular.
    std::optional<std::array<double, 16>> world_to_object() const;

  private:
    Matrix object_to_world_;
};

} // namespace orn::scene
