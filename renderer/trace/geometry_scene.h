// Triangle intersection with Embree. Meshes are added in world space; each mesh keeps
// ray-visibility flags so eye, secondary and shadow rays see only what they should.
#pragma once

#include "host/shader.h"

#include <embree3/rtcore.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

namespace orn {

// The filter of hair curves: a ray meets a tube only from outside (benchmarks of bare Embree
// set it on their curves too).
void hair_outside_only(const RTCFilterFunctionNArguments* args);

enum RayMask : unsigned { kMaskEye = 1, kMaskTrace = 2, kMaskShadow = 4 };

struct Hit {
    float t = 0.f;
    unsigned mesh = 0;      // index of the mesh as added
    unsigned triangle = 0;  // triangle within the mesh, or curve segment
    float u = 0.f, v = 0.f; // barycentrics of vertices 1 and 2
    miVector ng{0, 0, 0};   // geometric normal (unnormalised, winding order)
};

// Where a ray that carries on through a surface starts: the objects whose surfaces meet at
// its origin (the one it leaves first) and the primitive it leaves. Hits on those objects
// closer than `offset` are the surfaces just passed; every other object is seen from zero
// distance, so a surface that coincides with the one left is met at once.
struct Departure {
    static constexpr int kMaxObjects = 4;
    unsigned mesh[kMaxObjects] = {};
    int count = 0;
    unsigned primitive = ~0u; // of mesh[0]; ~0u: none to skip
    float offset = 0.f;
};

// The nearest hits of one ray, nearest first, found in one traversal: shadow rays whose
// occluders are shaded in order take them from here instead of tracing again behind each.
struct HitList {
    static constexpr int kMax = 8;
    // Only the first `count` hold hits: left unset, so that a shadow ray does not clear them all
    // first.
    union {
        Hit hits[kMax];
    };
    int count = 0;
    float complete_to = INFINITY; // every hit nearer than this is in the list
    HitList() {}
};

// Embree's context with the ray kind, for the mask filter, and in coincident mode where the
// ray starts and the nearest hit held back because the ray leaves a surface there. Every
// single-ray query passes one (bench_frame reads `mask` to tell the ray kinds apart); eye
// packets pass Embree's plain context.
struct MaskContext {
    RTCIntersectContext base;
    const std::vector<unsigned>* masks;
    unsigned mask;
    bool check_mask = false;
    const Departure* from = nullptr;
    float back = 0.f;   // how far behind its origin a departing ray starts
    float behind = 0.f; // hits this far before the origin still count as at the origin
    bool has_leaving = false;
    Hit leaving;
    HitList* list = nullptr; // collect(): where the hits go
};

class GeometryScene {
  public:
    GeometryScene();
    ~GeometryScene();
    GeometryScene(const GeometryScene&) = delete;
    GeometryScene& operator=(const GeometryScene&) = delete;

    // A mesh of `vertices` vertices and the triangles of `triangles` (3 vertex indices each),
    // which Embree reads in place: the caller keeps them alive and unchanged while the scene
    // lives. `fill(float* out)` writes the world-space positions, 3 floats per vertex, into the
    // scene's own vertex buffer. Returns the mesh index.
    template <typename Fill>
    unsigned add_mesh(size_t vertices, const std::vector<uint32_t>& triangles, unsigned mask, Fill&& fill) {
        float* positions = nullptr;
        RTCGeometry geom = new_mesh(vertices, triangles, positions);
        fill(positions);
        return attach(geom, mask);
    }
    // Round curves through `points` (x, y, z, radius, world space; readable 16 bytes past the
    // end): cubic Bezier segments of four points or linear segments of two, each starting at its
    // entry of `first`. Embree reads both in place: the caller keeps them alive and unchanged.
    unsigned add_curves(const float* points, size_t count, const std::vector<uint32_t>& first, int degree,
                        unsigned mask);
    // Builds the acceleration structure; `cancel`, when set, stops a long build.
    void commit();
    void set_cancel_flag(std::atomic<bool>* cancel) { cancel_ = cancel; }
    // Closest hit within (tnear, tfar) among meshes whose mask shares a bit with `mask`.
    bool intersect(const miVector& org, const miVector& dir, float tnear, float tfar, unsigned mask,
                   Hit& hit) const;
    // Closest hit within (0, tfar) of a ray leaving the surfaces of `from` (coincident mode).
    bool intersect_from(const miVector& org, const miVector& dir, const Departure& from, float tfar,
                        unsigned mask, Hit& hit) const;
    // Coincident mode: hits of different objects within coincidence(p) of each other along a
    // ray count as one place, where a surface the ray enters comes before one it leaves, and
    // rays may leave through a surface with intersect_from. Changing it rebuilds the scene.
    void set_coincident(bool on);
    bool coincident() const { return coincident_; }
    static float coincidence(const miVector& p);
    // Coherent rays in packets of up to kPacket, with the hits intersect() would give them one
    // by one: packets_exact(mask) says whether this scene can promise that for rays of that
    // mask (no ray filters, no curves); otherwise callers trace one ray at a time.
    static constexpr int kPacket = 16;
    bool packets_exact(unsigned mask) const {
        return !coincident_ && !needs_filter_[mask & 7] && !has_curves_;
    }
    // Packets of 16 go to Embree as two of 8, as on CPUs without 16-wide vectors (for tests).
    void split_packets() { native16_ = false; }
    struct Packet {
        float org_x[kPacket], org_y[kPacket], org_z[kPacket];
        float dir_x[kPacket], dir_y[kPacket], dir_z[kPacket];
        float tnear[kPacket], tfar[kPacket];
    };
    // The first n rays of the packet; found[i]: whether ray i hit anything, hits[i] is then
    // its closest hit.
    void intersect_packet(int n, const Packet& rays, unsigned mask, Hit* hits, bool* found) const;
    // Whether anything lies within (tnear, tfar): the cheaper query when the order of the
    // hits does not matter.
    bool occluded(const miVector& org, const miVector& dir, float tnear, float tfar, unsigned mask) const;
    // The nearest hits within (tnear, tfar), up to HitList::kMax of them; false when the scene
    // cannot list them as intersect() finds them one after another (coincident mode, curves).
    bool collect(const miVector& org, const miVector& dir, float tnear, float tfar, unsigned mask,
                 HitList& list) const;
    // Whether a hit lies where intersect() might meet a neighbouring primitive at the same
    // distance instead (a shared triangle edge or corner): which one a traversal
    // keeps depends on its order, so such a hit is traced again.
    bool near_seam(const Hit& hit) const {
        return std::min(std::min(hit.u, hit.v), 1.f - hit.u - hit.v) < 1e-4f;
    }
    size_t mesh_count() const { return masks_.size(); }
    // World-space bounds of everything added: lower corner then upper corner.
    void bounds(miVector& lower, miVector& upper) const;
    RTCScene handle() const { return scene_; }

  private:
    // A triangle geometry with its own vertex buffer (returned in `positions`) and `triangles`
    // as its index buffer.
    RTCGeometry new_mesh(size_t vertices, const std::vector<uint32_t>& triangles, float*& positions);
    // Commits a filled geometry, adds it to the scene and records its ray mask.
    unsigned attach(RTCGeometry geom, unsigned mask);
    void init_context(MaskContext& ctx, unsigned mask, bool ordered) const;
    void apply_flags();
    bool closest(MaskContext& ctx, const miVector& org, const miVector& dir, float tnear, float tfar,
                 Hit& hit) const;
    // The scene a ray kind is traced in: of its own when some mesh is hidden from it.
    RTCScene scene_for(unsigned mask) const { return visible_[mask & 7] ? visible_[mask & 7] : scene_; }

    RTCDevice device_ = nullptr;
    RTCScene scene_ = nullptr;
    // Per single ray kind (eye, trace, shadow) that some mesh is hidden from: a scene of the
    // meshes it sees, under the same ids. Traversing a hidden mesh only to reject its every hit
    // in a filter cost more than its own BVH (a dome around the set, seen by every shadow ray).
    RTCScene visible_[8] = {};
    std::vector<unsigned> masks_;
    std::vector<unsigned> geom_ids_;
    bool needs_filter_[8] = {};
    std::atomic<bool>* cancel_ = nullptr;
    bool coincident_ = false;
    bool committed_ = false;
    bool has_curves_ = false;
    bool native16_ = false; // Embree traces packets of 16 in one go on this CPU
};

} // namespace orn
