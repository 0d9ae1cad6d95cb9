// ID mattes: per pixel, the coverage of every object (or material, ...) the pixel's samples saw,
// filtered with the colour's own weights, then ranked and written as (ID, coverage) pairs.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace orn::film {

// What one sample saw of one ID in one matte: `coverage` is the part of the sample's alpha that
// the surface with that ID makes.
struct MatteHit {
    std::uint32_t id;
    int matte;
    float coverage;
};

// Weighted coverage sums per (pixel, matte) and ID. Lists grow in an arena reused from frame to
// frame and tile to tile, so sampling allocates only while the arena is still warming up.
class MatteLists {
  public:
    // Empties every list of `pixels` pixels and `mattes` mattes, keeping the memory.
    void reset(std::size_t pixels, int mattes);
    bool empty() const { return heads_.empty(); }
    // Adds w into the ID's sum, which starts at the end of the list when new, so a list keeps
    // the order in which IDs first came.
    void add(std::size_t pixel, int matte, std::uint32_t id, float w);
    // Adds every sum of `from`'s pixel into this one's, in `from`'s order.
    void add_all(std::size_t pixel, const MatteLists& from, std::size_t from_pixel);
    // Calls f(id, sum) for the pixel's IDs of the matte, in list order.
    template <typename F> void for_each(std::size_t pixel, int matte, F&& f) const {
        for (std::int32_t e = heads_[pixel * std::size_t(mattes_) + std::size_t(matte)]; e >= 0;
             e = entries_[std::size_t(e)].next)
            f(entries_[std::size_t(e)].id, entries_[std::size_t(e)].sum);
    }

  private:
    struct Entry {
        std::uint32_t id;
        float sum;
        std::int32_t next;
    };
    int mattes_ = 0;
    std::vector<std::int32_t> heads_;
    std::vector<Entry> entries_;
};

// Reused memory for ranking, one per thread that ranks.
struct MatteScratch {
    MatteLists lists;
    std::vector<std::pair<float, std::uint32_t>> ranks;
    std::vector<float> pixel; // one pixel's ranks, 2 floats per rank
};

// Ranks a pixel's IDs of one matte by coverage (largest first; equal ones by ID, so that frames
// come out the same whatever the order of their samples) and writes `depth` ranks into
// consecutive (ID, coverage) float pairs: the ID's bits as a float, ranks beyond the list 0.
void write_ranks(const MatteLists& lists, std::size_t pixel, int matte, double weight, int depth,
                 std::vector<std::pair<float, std::uint32_t>>& scratch, float* out);

} // namespace orn::film
