#pragma once

#include "film/filter.h"
#include "film/id_mattes.h"
#include "film/sample_pattern.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace orn::film {

// Thrown by a film whose cancel flag was raised while it built or resolved its planes: a stop
// asked for, not a failure.
class Interrupted : public std::runtime_error {
  public:
    Interrupted() : std::runtime_error("interrupted") {}
};

// Planes every film has, with fixed ids.
enum StandardPlane : int {
    Color = 0,   // rgba, filtered
    Depth = 1,   // 1 component, 0 = no hit
    Normal = 2,  // 3 components
    Motion = 3,  // 3 components
    Label = 4,   // uint32 bit pattern in a float slot
    Coverage = 5 // 1 component, filtered
};
constexpr int standard_plane_count = 6;

const char* standard_plane_name(StandardPlane plane);

struct PlaneInfo {
    std::string name;
    int components = 1;                 // 1..4
    bool filtered = true;               // false: the pixel takes its sample nearest the centre
    std::array<float, 4> clear_value{}; // per component
    bool sampled = true;                // false: pixels only, which the film fills after the samples
};

// Label values travel through float slots bit for bit.
inline void store_label(float* slot, std::uint32_t label) {
    std::memcpy(slot, &label, sizeof label);
}
inline std::uint32_t load_label(const float* slot) {
    std::uint32_t label;
    std::memcpy(&label, slot, sizeof label);
    return label;
}

// Image planes and the reconstruction of their samples into pixels.
//
// Pixel (0, 0) is the bottom-left one. Rendering splats samples into per-bucket tiles that
// reach as far as the filter does; tiles are merged in bucket order, so a frame gives the same
// bits whatever the thread count, and memory grows with pixels, not with samples. With a box
// no wider than a pixel every pixel belongs to one bucket: its tile finishes it, and merging
// writes its final values, so resolve() has nothing left to do for it. Every filtered plane
// uses the same weights. For small films and tests, samples may also be staged
// one by one with sample_data() (that keeps every sample in memory).
//
// Methods throw std::invalid_argument for bad sizes, plane definitions and filters, and
// std::out_of_range for plane, pixel or sample indices outside the film.
class Film {
  public:
    // With a `cancel` flag, building planes (a large frame's planes take seconds to touch) and
    // resolve() look at it as they go and throw Interrupted once it is raised. `base_spp` below
    // spp: pixels take from base_spp up to spp samples, as many as the renderer decides, from a
    // progressive pattern (see SamplePattern); 0 means spp.
    Film(int width, int height, int spp, const FilterSpec& filter = {},
         const std::atomic<bool>* cancel = nullptr, int base_spp = 0);

    int width() const { return width_; }
    const std::atomic<bool>* cancel_flag() const { return cancel_; }
    int height() const { return height_; }
    int spp() const { return pattern_.spp(); }
    int base_spp() const { return pattern_.base(); }
    const FilterSpec& filter() const { return filter_.settings(); }
    void set_filter(const FilterSpec& filter) {
        filter_ = Filter(filter);
        layout();
    }

    // Adds a user plane and returns its id; names are unique.
    int add_plane(const std::string& name, int components, bool filtered,
                  const std::array<float, 4>& clear = {});
    // Adds a plane that samples do not carry, whose pixels the film computes itself (the ID
    // mattes' ranks) or the caller writes after resolve(); they start at 0.
    int add_image_plane(const std::string& name, int components);
    // ID mattes: `mattes` of them, each ranking `depth` IDs per pixel into the image planes
    // `planes` (ceil(depth / 2) per matte, matte after matte, two ranks per plane as ID and
    // coverage). Samples then bring their MatteHits along; resolve() fills the planes.
    void set_mattes(int mattes, int depth, const std::vector<int>& planes);
    int mattes() const { return mattes_; }
    // Whether the plane's pixels filter their samples or take the one nearest the centre
    // (standard planes too; labels are the caller's to keep unfiltered).
    void set_filtered(int plane, bool filtered);
    // -1 when no plane has that name.
    int plane_id(const std::string& name) const;
    int plane_count() const { return static_cast<int>(planes_.size()); }
    const PlaneInfo& plane_info(int plane) const;

    SamplePosition sample_position(int x, int y, int s) const;
    // The same without the bounds check, for the render loop (checked in debug builds).
    SamplePosition sample_position_unchecked(int x, int y, int s) const {
#ifndef NDEBUG
        sample_index(x, y, s);
#endif
        return pattern_.position(x, y, s);
    }
    // Rows above and below a pixel whose samples the filter carries into it.
    int filter_reach_y() const;

    // The plane's components of one staged sample.
    float* sample_data(int plane, int x, int y, int s);
    const float* sample_data(int plane, int x, int y, int s) const;

    // ---- rendering in buckets
    // A sample is the components of every plane, concatenated in plane order.
    int sample_size() const {
        return sample_size_;
    }
    int plane_offset(int plane) const {
        return checked_plane(plane).offset;
    }
    // A sample holding every plane's clear value.
    const std::vector<float>& clear_sample() const {
        return clear_sample_;
    }

    struct Tile {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;     // own pixels [x0, x1) x [y0, y1)
        int mx0 = 0, my0 = 0, mx1 = 0, my1 = 0; // pixels the filter reaches from them
        std::vector<float> acc;                 // per reached pixel: weight, |weight|, filtered components
        std::vector<float> own;                 // per own pixel: nearest distance, unfiltered components,
                                                // sample count, filtered sums (the box fallback);
                                                // narrow box: distance and count per pixel, then
                                                // each plane's sums or values
        MatteLists matte;                       // per reached pixel, weighted as the colour
        MatteLists matte_box;                   // per own pixel, unweighted (the box fallback)
        MatteScratch scratch;                   // ranking a narrow box's finished pixels
        std::vector<float> filtered;            // the filtered components of the sample being added
        std::vector<float> column_weights;      // its filter weights of the columns it reaches
    };
    // Sets `tile` up for pixels [x0, x1) x [y0, y1), reusing its memory, or that of a merged tile
    // when it has none. Planes must all be added before the first tile. Thread-safe.
    void make_tile(Tile& tile, int x0, int y0, int x1, int y1);
    void add_sample(Tile& tile, int x, int y, int s, const float* sample) {
        add_sample(tile, x, y, sample_position(x, y, s), sample);
    }
    // A sample at position p (sample_position(x, y, s)) of pixel (x, y), which the tile owns.
    // Threads may add samples of different tiles at the same time. `scale` multiplies its filter
    // weights: a pixel that took fewer samples than others weighs each of them more, so that
    // every pixel's samples together count alike in the pixels around it.
    void add_sample(Tile& tile, int x, int y, const SamplePosition& p, const float* sample,
                    const MatteHit* hits = nullptr, int hit_count = 0, float scale = 1.0f);
    // Whether, after clear(), each pixel's one sample may go straight into the planes with
    // write_samples(): one sample per pixel and a box no wider than a pixel, whose pixels are
    // their samples.
    bool writes_samples() const {
        return box_only_ && spp() == 1 && cleared_ && !staged_;
    }
    // The samples of pixels [x0, x1) of row y, sample_size() floats each in pixel order, as
    // those pixels' final values. Threads may write different pixels at the same time. The
    // stores bypass the caches and are weakly ordered: a thread calls end_writes() after its last
    // row, before another thread may read them (fencing every row stalls on each).
    void write_samples(int x0, int x1, int y, const float* samples);
    // The ID mattes of pixel (x, y) from its one sample, as write_samples() takes it.
    // Threads may write different pixels at the same time, each with its own scratch.
    void write_sample_mattes(int x, int y, const MatteHit* hits, int hit_count, MatteScratch& scratch);
    void end_writes();
    // Hands a finished tile's samples over; thread-safe. Tiles are merged in the order given,
    // 0, 1, 2, ... The tile may be made again for other pixels afterwards.
    void merge_tile(Tile& tile, int order);

    // A bucket's pixels [x0, x1) x [y0, y1) as they stand once its samples are in, for a live
    // view: sample_size() floats per pixel, row after row from y0, in sample layout. From the
    // finished tile before merge_tile(), or from the film when the samples went straight in
    // (null tile). A filter wider than a pixel normalises over the bucket's own samples only,
    // so pixels at its edge change a little when the neighbours are merged.
    void bucket_pixels(const Tile* tile, int x0, int y0, int x1, int y1, float* out) const;

    // Writable pixels, for output shaders that change an image after the frame.
    float* pixel_mutable(int plane, int x, int y);

    // Starts the film over: staged samples take their plane's clear value, and every pixel
    // that no sample reaches by the next resolve() takes it then (pixels are not cleared here,
    // which would cost a pass over the whole frame).
    void clear();

    // Filters samples into pixels. Filtered planes all use the same weights, so quantities that
    // are linear in them (ratios of passes, sums of components) stay consistent with the colour.
    void resolve();
    bool is_resolved() const {
        return resolved_;
    }

    // Pixels of a plane, width * height * components floats, row 0 at the bottom.
    const std::vector<float>& resolved(int plane) const;
    const float* pixel(int plane, int x, int y) const;

  private:
    struct Plane {
        PlaneInfo info;
        int offset = 0;             // in a sample
        int slot = 0;               // in the filtered or unfiltered part of a tile
        std::vector<float> samples; // staged samples, only when sample_data() was used
        std::vector<float> pixels;
    };

    const Plane& checked_plane(int plane) const;
    std::size_t pixel_index(int x, int y) const;
    std::size_t sample_index(int x, int y, int s) const;
    void fill_plane(Plane& plane) const;
    void layout();
    void accumulate(Tile& tile);
    // Box filter no wider than a pixel: the tile's sampled pixels, final, into the planes.
    void write_finished(Tile& tile);
    // Sizes the per-pixel flags and weights, for films rendered without clear().
    void ensure_pixel_state();
    // Sets a tile up for pixels [x0, x1) x [y0, y1), reusing its memory.
    void shape_tile(Tile& tile, int x0, int y0, int x1, int y1) const;
    // Filters with negative lobes can cancel their weights out; such pixels fall back to the
    // plain average of their own samples, which tiles then keep as well.
    bool box_fallback() const {
        return box_fallback_;
    }

    // The weight resolve() divides a pixel's filtered sums by, 0 when no sample reached it; with
    // `box_sums` set, the plain average of its own samples stands in for cancelled weights.
    double pixel_weight(std::size_t pixel, unsigned char flags, const float*& box_sums) const;
    void resolve_mattes();
    // The ranks of pixel `pixel` of `lists` (coverage sums divided by `weight`) into the planes.
    void write_matte_pixel(const MatteLists& lists, std::size_t list_pixel, std::size_t pixel, double weight,
                           MatteScratch& scratch);
    void add_matte_hits(MatteLists& lists, std::size_t pixel, const MatteHit* hits, int n, float w) const {
        for (int i = 0; i < n; ++i)
            lists.add(pixel, hits[i].matte, hits[i].id, w * hits[i].coverage);
    }

    // `v` resized to `n` elements, element i holding pattern[i % period], a slice at a time so
    // that a raised cancel flag stops it within moments.
    template <class T>
    void build(std::vector<T>& v, std::size_t n, const T* pattern, std::size_t period) const;
    void check_cancel() const {
        if (cancel_ && cancel_->load(std::memory_order_relaxed)) throw Interrupted();
    }

    int width_;
    int height_;
    const std::atomic<bool>* cancel_ = nullptr;
    SamplePattern pattern_;
    Filter filter_;
    std::vector<Plane> planes_;
    bool resolved_ = false;
    bool staged_ = false;
    bool box_only_ = false; // the filter reaches no neighbour and weighs every sample 1
    bool box_fallback_ = false;
    int sample_size_ = 0;
    int filtered_size_ = 0; // filtered components of a sample
    int unfiltered_size_ = 0;
    std::vector<float> clear_sample_;
    // The planes as a narrow box's tiles lay them out, in plane order: a compact copy for the
    // sample loop.
    struct TilePlane {
        std::size_t offset; // in a sample
        std::size_t components;
        bool filtered;
    };
    std::vector<TilePlane> tile_planes_;
    std::vector<int> filtered_src_; // sample offsets of the filtered components, in slot order
    std::vector<int> unfiltered_src_;
    // Per pixel since the last resolve(): whether merged tiles added filtered sums into the
    // pixel (kTouched), whether one owned it and so wrote its unfiltered planes (kOwned), and
    // whether its tile wrote its final values (kDone, box filter no wider than a pixel).
    static constexpr unsigned char kTouched = 1, kOwned = 2, kDone = 4;
    std::vector<unsigned char> flags_;
    std::vector<float> weights_; // per touched pixel: filter weight sum and sum of |weight|
    std::vector<float> box_;     // per pixel: sample count, filtered sums
    bool cleared_ = false;       // clear() ran: pixels no sample reaches take their clear value
    std::map<int, Tile> pending_;
    std::vector<Tile> spare_; // merged tiles whose memory make_tile() hands out again
    int next_order_ = 0;
    std::unique_ptr<std::mutex> merge_mutex_ = std::make_unique<std::mutex>();
    int mattes_ = 0, matte_depth_ = 0;
    std::vector<int> matte_planes_;
    MatteLists matte_acc_; // per pixel since clear(), weighted
    MatteLists matte_box_; // per pixel since clear(), unweighted (the box fallback)
};

} // namespace orn::film
