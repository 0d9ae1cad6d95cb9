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
    SamplePosition position(int x, int y, int s) const;

  private:
    int spp_;
    int grid_; // strata per axis
};

} // namespace orn::film
