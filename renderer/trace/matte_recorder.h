// What an eye sample saw along its chain of eye and transparency rays, for the ID mattes: every
// surface on the chain, with the part of the sample's alpha that it makes.
#pragma once

#include "host/shader.h"

#include <cmath>
#include <vector>

namespace orn {

struct WorldInstance;

constexpr int kMatteMaxDepth = 64;

// One surface on the chain, recorded when its shader returned.
struct MatteNode {
    int depth;
    const WorldInstance* instance;
    miTag material;
    float opacity; // its own share of what reaches it
    float through; // the share of what reaches it that it lets through to the surface behind
    bool told;     // its shader said how opaque it is
};

class MatteRecorder {
  public:
    bool on() const { return on_; }
    void enable(bool on) {
        on_ = on;
        if (on) nodes_.reserve(16);
    }
    void begin_sample() { nodes_.clear(); }

    // A ray of `type` from a state at depth - 1 starts shading a surface at `depth`: it is on the
    // chain when it is an eye or transparency ray leaving the camera (a lens) or a surface on it.
    // Answers whether it is.
    bool start(int depth, int type) {
        if (depth <= 0 || depth >= kMatteMaxDepth) return false;
        chain_[depth] = (type == miRAY_EYE || type == miRAY_TRANSPARENT) && (depth == 1 || chain_[depth - 1]);
        behind_[depth] = 0.f;
        opacity_[depth] = NAN;
        return chain_[depth];
    }
    bool on_chain(int depth) const { return depth > 0 && depth < kMatteMaxDepth && chain_[depth]; }
    // A shader on the chain says how opaque its surface is (mi_opacity_set).
    void report_opacity(int depth, float opacity) {
        if (on_chain(depth)) opacity_[depth] = opacity;
    }
    // The surface at `depth` returned `alpha`.
    void finish(int depth, const WorldInstance* instance, miTag material, float alpha);

    // Each surface's coverage of the sample, in the order recorded, given the sample's alpha and
    // the number of rays the lens averaged: fills `coverage` parallel to nodes().
    void coverages(float alpha, int lens_rays, std::vector<float>& coverage) const;
    const std::vector<MatteNode>& nodes() const { return nodes_; }

  private:
    bool on_ = false;
    bool chain_[kMatteMaxDepth] = {};
    float behind_[kMatteMaxDepth] = {}; // the alpha the surface's own look behind it brought back
    float opacity_[kMatteMaxDepth] = {};
    std::vector<MatteNode> nodes_;
};

} // namespace orn
