#include "trace/matte_recorder.h"

#include <algorithm>

namespace orn {

namespace {
float unit(float v) {
    return std::isfinite(v) ? std::clamp(v, 0.f, 1.f) : 0.f;
}
} // namespace

void MatteRecorder::finish(int depth, const WorldInstance* instance, miTag material, float alpha) {
    if (!on_chain(depth)) return;
    const float a = unit(alpha), behind = behind_[depth];
    float opacity, through;
    const bool told = std::isfinite(opacity_[depth]);
    if (told) {
        // The shader said how opaque it is: what it does not cover shows the surface behind,
        // however the shader composites its alpha (the toolkit adds the alpha from behind
        // unscaled, so a matte is what a compositor cuts the surface out with, not a split of
        // that alpha).
        opacity = unit(opacity_[depth]);
        through = 1.f - opacity;
    } else {
        // Otherwise its alpha is taken to be its own plus what lies behind.
        opacity = std::max(0.f, a - behind);
        through = 1.f;
    }
    nodes_.push_back({depth, instance, material, opacity, through, told});
    if (on_chain(depth - 1)) behind_[depth - 1] = a;
}

void MatteRecorder::coverages(float alpha, int lens_rays, std::vector<float>& coverage) const {
    coverage.assign(nodes_.size(), 0.f);
    const float a = std::isfinite(alpha) ? std::max(alpha, 0.f) : 0.f;
    if (nodes_.empty() || a <= 0.f) return;
    // Nodes come child before parent; from the last back, every surface comes after the ones in
    // front of it, so what reaches a depth is known when its surface is met.
    float through[kMatteMaxDepth + 1]; // per depth, what reaches it from the front
    through[1] = 1.f / float(std::max(lens_rays, 1));
    double sum = 0.0;
    bool told = false;
    for (std::size_t i = nodes_.size(); i-- > 0;) {
        const MatteNode& n = nodes_[i];
        coverage[i] = through[n.depth] * n.opacity;
        through[n.depth + 1] = through[n.depth] * n.through;
        sum += coverage[i];
        told = told || n.told;
    }
    // Surfaces that said how opaque they are keep their visible shares. Where every share was
    // taken from an alpha, the alpha the sample got is the truth: shaders that composite alpha
    // their own way still give coverages that add up to it.
    if (sum <= 0.0 || told) return;
    const double scale = double(a) / sum;
    for (float& c : coverage)
        c = float(c * scale);
}

} // namespace orn
