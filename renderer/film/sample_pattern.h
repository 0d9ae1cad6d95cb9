#pragma once

namespace orn::film {

struct SamplePosition {
    float x;
    float y;
};

// Stratified, jittered sample positions. Stateless: the jitter comes from a hash of the pixel and
// the sample number, so every thread and every call sees the same pattern.
//
// With a base count below spp the pattern is progressive, for pixels that take a varying number
// of samples: its first `base` samples are those of the plain pattern of `base` samples, and
// every longer prefix of 4^k samples holds one sample in each cell of a 2^k x 2^k grid, the
// new ones going into the cells the earlier ones left empty.
class SamplePattern {
  public:
    // `base` 0 means spp (not progressive). Both are powers of 4 when progressive.
    explicit SamplePattern(int spp, int base = 0);

    int spp() const { return spp_; }
    int base() const { return base_; }
    // Raster position of sample s of pixel (x, y); always inside [x, x+1) x [y, y+1).
    SamplePosition position(int x, int y, int s) const {
        // One sample per pixel sits at its centre: inline, as the render loop asks for each.
        if (s < base_) {
            if (base_ == 1) return {static_cast<float>(x) + 0.5f, static_cast<float>(y) + 0.5f};
            return jittered(x, y, s);
        }
        return progressive(x, y, s);
    }

  private:
    struct Unit {
        double u, v; // in the pixel, [0, 1)
    };
    SamplePosition jittered(int x, int y, int s) const;
    SamplePosition progressive(int x, int y, int s) const;
    // Where sample s lies in its pixel, exactly: cells are told apart without rounding.
    Unit unit(int x, int y, int s) const;
    // The one sample among the first 4^level that lies in cell (cx, cy) of the 2^level grid.
    Unit occupant(int x, int y, int level, int cx, int cy) const;
    int spp_;
    int base_;
    int base_grid_;  // strata per axis of the base pattern
    int base_level_; // base = 4^base_level_ when progressive
};

} // namespace orn::film
