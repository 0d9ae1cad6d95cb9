#pragma once

namespace orn::film {

struct SamplePosition {
    float x;
    float y;
};

// Stratified, jittered sample positions. Stateless: the jitter comes from a hash of the pixel and
// the sample number, so every thread and every call sees the same pattern.
class SamplePattern {
  public:
    explicit SamplePattern(int spp);

    int spp() const { return spp_; }
    // Raster position of sample s of pixel (x, y); always inside [x, x+1) x [y, y+1).
    SamplePosition position(int x, int y, int s) const {
        // One sample per pixel sits at its centre: inline, as the render loop asks for each.
        if (spp_ == 1) return {static_cast<float>(x) + 0.5f, static_cast<float>(y) + 0.5f};
        return jittered(x, y, s);
    }

  private:
    SamplePosition jittered(int x, int y, int s) const;
    int spp_;
    int grid_; // strata per axis
};

} // namespace orn::film
