#pragma once

#include "film/filter.h"
#include "film/sample_pattern.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace orn::film {

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

// Per-sample image planes and their reconstruction into pixels.
//
// Pixel (0, 0) is the bottom-left one. Render threads may write the samples of disjoint pixels
// concurrently; resolve() runs after rendering and reads neighbouring pixels.
//
// Methods throw std::invalid_argument for bad sizes, plane definitions and filters, and
// std::out_of_range for plane, pixel or sample indices outside the film.
class Film {
  public:
    Film(int width, int height, int spp, const FilterSpec& filter = {});

    int width() const { return width_; }
    int height() const { return height_; }
    int spp() const { return pattern_.spp(); }
    const FilterSpec& filter() const { return filter_.settings(); }
    void set_filter(const FilterSpec& filter) { filter_ = Filter(filter); }

    // Adds a user plane and returns its id; names are unique.
    int add_plane(const std::string& name, int components, bool filtered,
                  const std::array<float, 4>& clear = {});
    // -1 when no plane has that name.
    int plane_id(const std::string& name) const;
    int plane_count() const { return static_cast<int>(planes_.size()); }
    const PlaneInfo& plane_info(int plane) const;

    SamplePosition sample_position(int x, int y, int s) const;

    // The plane's components of one sample.
    float* sample_data(int plane, int x, int y, int s);
    const float* sample_data(int plane, int x, int y, int s) const;

    // Resets every sample and pixel to its plane's clear value.
    void clear();

    // Filters samples into pixels. Filtered planes all use the same weights, so quantities that
    // are linear in them (ratios of passes, sums of components) stay consistent with the colour.
    void resolve();
    bool is_resolved() const { return resolved_; }

    // Pixels of a plane, width * height * components floats, row 0 at the bottom.
    const std::vector<float>& resolved(int plane) const;
    const float* pixel(int plane, int x, int y) const;

  private:
    struct Plane {
        PlaneInfo info;
        std::vector<float> samples;
        std::vector<float> pixels;
    };

    const Plane& checked_plane(int plane) const;
    std::size_t pixel_index(int x, int y) const;
    std::size_t sample_index(int x, int y, int s) const;
    void fill_plane(Plane& plane) const;
    struct ResolveScratch;
    void resolve_row(int y, const std::vector<int>& filtered, const std::vector<int>& nearest,
                     ResolveScratch& scratch);

    int width_;
    int height_;
    SamplePattern pattern_;
    Filter filter_;
    std::vector<Plane> planes_;
    bool resolved_ = false;
};

} // namespace orn::film
