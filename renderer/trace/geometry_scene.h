// Triangle intersection with Embree. Meshes are added in world space; each mesh keeps
// ray-visibility flags so eye, secondary and shadow rays see only what they should.
#pragma once

#include "host/shader.h"

#include <embree3/rtcore.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace orn {

struct MaskContext;

enum RayMask : unsigned { kMaskEye = 1, kMaskTrace = 2, kMaskShadow = 4 };

struct Hit {
    float t = 0.f;
    unsigned mesh = 0;      // index of the mesh as added
    unsigned triangle = 0;  // triangle within the mesh, or curve segment
    float u = 0.f, v = 0.f; // barycentrics of vertices 1 and 2
    miVector ng{0, 0, 0};   // geometric normal (unnormalised, winding order)
};

class GeometryScene {
  public:
    GeometryScene();
    ~GeometryScene();
    GeometryScene(const GeometryScene&) = delete;
    GeometryScene& operator=(const GeometryScene&) = delete;

    // Positions: 3 floats per vertex, world space. Returns the mesh index.
    unsigned add_mesh(const std::vector<float>& positions, const std::vector<uint32_t>& triangles,
                      unsigned mask);
    // Round curves through `points` (x, y, z, radius, world space; the caller keeps them alive
    // and readable 16 bytes past the end): cubic Bezier segments of four points or linear
    // segments of two, each starting at its entry of `first`.
    unsigned add_curves(const float* points, size_t count, const std::vector<uint32_t>& first, int degree,
                        unsigned mask);
    // Builds the acceleration structure; `cancel`, when set, stops a long build.
    void commit();
    void set_cancel_flag(std::atomic<bool>* cancel) { cancel_ = cancel; }
    // Closest hit within (tnear, tfar) among meshes whose mask shares a bit with `mask`.
    bool intersect(const miVector& org, const miVector& dir, float tnear, float tfar, unsigned mask,
                   Hit& hit) const;
    // Whether anything lies within (tnear, tfar): the cheaper query when the order of the
    // hits does not matter.
    bool occluded(const miVector& org, const miVector& dir, float tnear, float tfar, unsigned mask) const;
    size_t mesh_count() const { return masks_.size(); }
    // World-space bounds of everything added: lower corner then upper corner.
    void bounds(miVector& lower, miVector& upper) const;
    RTCScene handle() const { return scene_; }

  private:
    void init_context(MaskContext& ctx, unsigned mask) const;

    RTCDevice device_ = nullptr;
    RTCScene scene_ = nullptr;
    std::vector<unsigned> masks_;
    std::vector<unsigned> geom_ids_;
    bool needs_filter_[8] = {};
    std::atomic<bool>* cancel_ = nullptr;
};

} // namespace orn
