#include "film/film.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <immintrin.h>

namespace orn::film {

namespace {

constexpr int max_resolution = 1 << 16;
constexpr int max_spp = 1 << 14;

const PlaneInfo standard_planes[standard_plane_count] = {
    {"Color", 4, true, {}},   {"Depth", 1, false, {}}, {"Normal", 3, false, {}},
    {"Motion", 3, false, {}}, {"Label", 1, false, {}}, {"Coverage", 1, true, {}},
};

// Pixels on either side whose samples can fall inside a support of radius r: a neighbour k
// pixels away holds offsets in [k - 0.5, k + 0.5).
int reach(float r) {
    return static_cast<int>(std::ceil(r + 0.5f)) - 1;
}

// `n` pixels of C components from a strided layout into a packed one, as bit patterns: labels
// may look like NaNs.
template <std::size_t C> void copy_row(float* dst, const float* src, std::size_t n, std::size_t src_stride) {
    for (std::size_t i = 0; i < n; ++i, dst += C, src += src_stride)
        std::memcpy(dst, src, C * sizeof(float));
}

void check_dimension(int v, int limit, const char* what) {
    if (v < 1 || v > limit)
        throw std::invalid_argument(std::string("film ") + what + " must be in [1, " + std::to_string(limit) +
                                    "], got " + std::to_string(v));
}

} // namespace

const char* standard_plane_name(StandardPlane plane) {
    const int i = static_cast<int>(plane);
    return i >= 0 && i < standard_plane_count ? standard_planes[i].name.c_str() : "";
}

Film::Film(int width, int height, int spp, const FilterSpec& filter, const std::atomic<bool>* cancel,
           int base_spp)
    : width_(width), height_(height), cancel_(cancel),
      pattern_(std::max(spp, 1), std::clamp(base_spp, 0, std::max(spp, 1))), filter_(filter) {
    check_dimension(width, max_resolution, "width");
    check_dimension(height, max_resolution, "height");
    check_dimension(spp, max_spp, "samples per pixel");
    for (const PlaneInfo& info : standard_planes)
        add_plane(info.name, info.components, info.filtered);
}

int Film::add_plane(const std::string& name, int components, bool filtered,
                    const std::array<float, 4>& clear) {
    if (name.empty()) throw std::invalid_argument("film plane needs a name");
    if (components < 1 || components > 4)
        throw std::invalid_argument("film plane \"" + name + "\" must have 1 to 4 components, got " +
                                    std::to_string(components));
    if (plane_id(name) >= 0) throw std::invalid_argument("film plane \"" + name + "\" already exists");

    Plane plane;
    plane.info = {name, components, filtered, clear};
    fill_plane(plane);
    planes_.push_back(std::move(plane));
    layout();
    return plane_count() - 1;
}

int Film::add_image_plane(const std::string& name, int components) {
    const int id = add_plane(name, components, false);
    Plane& p = planes_[static_cast<std::size_t>(id)];
    p.info.sampled = false;
    p.samples = {};
    layout();
    return id;
}

void Film::set_mattes(int mattes, int depth, const std::vector<int>& planes) {
    if (mattes < 0 || depth < 1 || planes.size() != std::size_t(mattes) * std::size_t((depth + 1) / 2))
        throw std::invalid_argument("ID mattes need a positive depth and ceil(depth / 2) planes per matte");
    for (int id : planes) {
        const Plane& p = checked_plane(id);
        if (p.info.sampled || p.info.components != 4)
            throw std::invalid_argument("film plane \"" + p.info.name + "\" cannot hold ID-matte ranks");
    }
    mattes_ = mattes;
    matte_depth_ = depth;
    matte_planes_ = planes;
}

void Film::set_filtered(int plane, bool filtered) {
    if (plane < 0 || plane >= plane_count())
        throw std::out_of_range("no film plane " + std::to_string(plane));
    Plane& p = planes_[static_cast<std::size_t>(plane)];
    if (p.info.filtered == filtered || !p.info.sampled) return;
    p.info.filtered = filtered;
    layout();
}

int Film::plane_id(const std::string& name) const {
    for (std::size_t i = 0; i < planes_.size(); ++i)
        if (planes_[i].info.name == name) return static_cast<int>(i);
    return -1;
}

const PlaneInfo& Film::plane_info(int plane) const {
    return checked_plane(plane).info;
}

int Film::filter_reach_y() const {
    return reach(filter_.radius_y());
}

SamplePosition Film::sample_position(int x, int y, int s) const {
    sample_index(x, y, s); // bounds check
    return pattern_.position(x, y, s);
}

float* Film::sample_data(int plane, int x, int y, int s) {
    if (!checked_plane(plane).info.sampled)
        throw std::invalid_argument("film plane \"" + checked_plane(plane).info.name + "\" has no samples");
    const std::size_t i = sample_index(x, y, s);
    if (!staged_) {
        // The first staged sample sets every plane's sample store up.
        staged_ = true;
        for (Plane& p : planes_)
            fill_plane(p);
    }
    Plane& p = planes_[static_cast<std::size_t>(plane)];
    return p.samples.data() + i * static_cast<std::size_t>(p.info.components);
}

const float* Film::sample_data(int plane, int x, int y, int s) const {
    const Plane& p = checked_plane(plane);
    const std::size_t i = sample_index(x, y, s) * static_cast<std::size_t>(p.info.components);
    if (!staged_) return p.info.clear_value.data();
    return p.samples.data() + i;
}

void Film::clear() {
    if (staged_)
        for (Plane& plane : planes_)
            fill_plane(plane);
    std::lock_guard<std::mutex> lock(*merge_mutex_);
    box_.clear();
    pending_.clear();
    const unsigned char no_flags = 0;
    build(flags_, static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), &no_flags, 1);
    // Pixels no sample reaches hold no ID; the ranks are written only where samples are.
    for (int id : matte_planes_)
        std::fill(planes_[std::size_t(id)].pixels.begin(), planes_[std::size_t(id)].pixels.end(), 0.0f);
    matte_acc_.reset(0, mattes_);
    matte_box_.reset(0, mattes_);
    cleared_ = true;
    next_order_ = 0;
    resolved_ = false;
}

float* Film::pixel_mutable(int plane, int x, int y) {
    Plane& p = planes_[static_cast<std::size_t>(plane)];
    checked_plane(plane);
    return p.pixels.data() + pixel_index(x, y) * static_cast<std::size_t>(p.info.components);
}

const std::vector<float>& Film::resolved(int plane) const {
    return checked_plane(plane).pixels;
}

const float* Film::pixel(int plane, int x, int y) const {
    const Plane& p = checked_plane(plane);
    return p.pixels.data() + pixel_index(x, y) * static_cast<std::size_t>(p.info.components);
}

const Film::Plane& Film::checked_plane(int plane) const {
    if (plane < 0 || plane >= plane_count())
        throw std::out_of_range("film has no plane " + std::to_string(plane));
    return planes_[static_cast<std::size_t>(plane)];
}

std::size_t Film::pixel_index(int x, int y) const {
    if (x < 0 || x >= width_ || y < 0 || y >= height_)
        throw std::out_of_range("pixel (" + std::to_string(x) + ", " + std::to_string(y) +
                                ") is outside the " + std::to_string(width_) + "x" + std::to_string(height_) +
                                " film");
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x);
}

std::size_t Film::sample_index(int x, int y, int s) const {
    const std::size_t pixel = pixel_index(x, y);
    if (s < 0 || s >= spp())
        throw std::out_of_range("sample " + std::to_string(s) + " is outside 0.." +
                                std::to_string(spp() - 1));
    return pixel * static_cast<std::size_t>(spp()) + static_cast<std::size_t>(s);
}

template <class T>
void Film::build(std::vector<T>& v, std::size_t n, const T* pattern, std::size_t period) const {
    check_cancel();
    v.clear();
    v.reserve(n); // address space only: the pages are touched below, slice by slice
    const std::size_t slice = (std::size_t(1) << 22) / period * period;
    while (v.size() < n) {
        check_cancel();
        const std::size_t from = v.size(), to = std::min(n, from + slice);
        v.resize(to);
        T* d = v.data();
        bool zero = true;
        for (std::size_t c = 0; c < period; ++c)
            zero = zero && pattern[c] == T(0);
        if (!zero)
            for (std::size_t i = from; i < to; i += period)
                for (std::size_t c = 0; c < period; ++c)
                    d[i + c] = pattern[c];
    }
}

void Film::fill_plane(Plane& plane) const {
    const std::size_t comps = static_cast<std::size_t>(plane.info.components);
    const std::size_t pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    const float* clear = plane.info.clear_value.data();
    try {
        build(plane.samples,
              staged_ && plane.info.sampled ? pixels * static_cast<std::size_t>(spp()) * comps : 0, clear,
              comps);
        build(plane.pixels, pixels * comps, clear, comps);
    } catch (const Interrupted&) {
        plane.samples = {};
        plane.pixels = {};
        throw;
    }
}

void Film::layout() {
    const FilterSpec& f = filter_.settings();
    box_only_ = f.type == FilterType::Box && f.width <= 1.0f && f.height <= 1.0f;
    box_fallback_ = f.type == FilterType::Mitchell || f.type == FilterType::Lanczos;
    sample_size_ = filtered_size_ = unfiltered_size_ = 0;
    clear_sample_.clear();
    filtered_src_.clear();
    unfiltered_src_.clear();
    tile_planes_.clear();
    for (Plane& p : planes_) {
        // Planes without samples take no room in them: no components in a sample or a tile.
        const int components = p.info.sampled ? p.info.components : 0;
        tile_planes_.push_back(
            {static_cast<std::size_t>(sample_size_), static_cast<std::size_t>(components), p.info.filtered});
        p.offset = sample_size_;
        p.slot = p.info.filtered ? filtered_size_ : unfiltered_size_;
        for (int c = 0; c < components; ++c) {
            clear_sample_.push_back(p.info.clear_value[static_cast<std::size_t>(c)]);
            (p.info.filtered ? filtered_src_ : unfiltered_src_).push_back(sample_size_ + c);
        }
        (p.info.filtered ? filtered_size_ : unfiltered_size_) += components;
        sample_size_ += components;
    }
}

void Film::ensure_pixel_state() {
    const std::size_t pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    const unsigned char no_flags = 0;
    const float no_weight = 0.0f;
    if (flags_.size() != pixels) build(flags_, pixels, &no_flags, 1);
    if (weights_.size() != 2 * pixels) build(weights_, 2 * pixels, &no_weight, 1);
}

void Film::make_tile(Tile& t, int x0, int y0, int x1, int y1) {
    {
        std::lock_guard<std::mutex> lock(*merge_mutex_);
        if (t.own.empty() && !spare_.empty()) {
            t = std::move(spare_.back());
            spare_.pop_back();
        }
        ensure_pixel_state();
    }
    shape_tile(t, x0, y0, x1, y1);
}

void Film::shape_tile(Tile& t, int x0, int y0, int x1, int y1) const {
    t.x0 = std::max(0, x0);
    t.y0 = std::max(0, y0);
    t.x1 = std::min(width_, x1);
    t.y1 = std::min(height_, y1);
    const int kx = reach(filter_.radius_x()), ky = reach(filter_.radius_y());
    t.mx0 = std::max(0, t.x0 - kx);
    t.my0 = std::max(0, t.y0 - ky);
    t.mx1 = std::min(width_, t.x1 + kx);
    t.my1 = std::min(height_, t.y1 + ky);
    const std::size_t owned = static_cast<std::size_t>(t.x1 - t.x0) * static_cast<std::size_t>(t.y1 - t.y0);
    if (box_only_) {
        // Per own pixel its nearest distance (infinite until sampled) and sample count, then
        // each plane's sums or nearest values over the tile, plane after plane, so that merging
        // copies whole rows. Only the distances need setting up.
        t.acc.clear();
        const std::size_t size = owned * static_cast<std::size_t>(2 + sample_size_);
        if (t.own.size() < size) t.own.resize(size);
        for (std::size_t i = 0; i < owned; ++i)
            t.own[2 * i] = INFINITY;
        if (mattes_) t.matte.reset(owned, mattes_);
        return;
    }
    const std::size_t reached =
        static_cast<std::size_t>(t.mx1 - t.mx0) * static_cast<std::size_t>(t.my1 - t.my0);
    t.acc.assign(reached * static_cast<std::size_t>(2 + filtered_size_), 0.0f);
    t.filtered.resize(static_cast<std::size_t>(filtered_size_));
    t.column_weights.resize(static_cast<std::size_t>(t.mx1 - t.mx0));
    if (mattes_) {
        t.matte.reset(reached, mattes_);
        if (box_fallback()) t.matte_box.reset(owned, mattes_);
    }
    const std::size_t own_stride =
        static_cast<std::size_t>(1 + unfiltered_size_ + (box_fallback() ? 1 + filtered_size_ : 0));
    t.own.assign(owned * own_stride, 0.0f);
    for (std::size_t i = 0; i < owned; ++i) {
        float* o = &t.own[i * own_stride];
        o[0] = INFINITY;
        for (int c = 0; c < unfiltered_size_; ++c)
            o[1 + c] = clear_sample_[static_cast<std::size_t>(unfiltered_src_[static_cast<std::size_t>(c)])];
    }
}

void Film::add_sample(Tile& t, int x, int y, const SamplePosition& p, const float* sample,
                      const MatteHit* hits, int hit_count, float scale) {
#ifndef NDEBUG
    if (x < t.x0 || x >= t.x1 || y < t.y0 || y >= t.y1)
        throw std::out_of_range("sample of pixel (" + std::to_string(x) + ", " + std::to_string(y) +
                                ") added to a tile that does not own it");
#endif
    if (box_only_) {
        // A box no wider than a pixel sees only the pixel's own samples, all with weight 1, and
        // every pixel belongs to one bucket: the tile finishes its pixels, and merging writes
        // them into the film once.
        const std::size_t owned =
            static_cast<std::size_t>(t.x1 - t.x0) * static_cast<std::size_t>(t.y1 - t.y0);
        const std::size_t pix = static_cast<std::size_t>(y - t.y0) * static_cast<std::size_t>(t.x1 - t.x0) +
                                static_cast<std::size_t>(x - t.x0);
        float* h = &t.own[2 * pix];
        const bool first = h[0] == INFINITY; // sample positions lie inside their pixel
        const float cx = static_cast<float>(x) + 0.5f, cy = static_cast<float>(y) + 0.5f;
        const float d2 = (p.x - cx) * (p.x - cx) + (p.y - cy) * (p.y - cy);
        const bool nearer = first || d2 < h[0];
        if (nearer) h[0] = d2;
        h[1] = first ? 1.0f : h[1] + 1.0f;
        if (hit_count) add_matte_hits(t.matte, pix, hits, hit_count, 1.0f);
        float* values = t.own.data() + 2 * owned;
        for (const TilePlane& tp : tile_planes_) {
            float* v = values + owned * tp.offset + pix * tp.components;
            const float* src = sample + tp.offset;
            if (tp.filtered) {
                // A sum starts from 0: 0 + -0 is +0.
                for (std::size_t c = 0; c < tp.components; ++c)
                    v[c] = (first ? 0.0f : v[c]) + src[c];
            } else if (nearer) {
                // memcpy keeps label bit patterns that happen to be NaNs intact.
                for (std::size_t c = 0; c < tp.components; ++c)
                    std::memcpy(&v[c], &src[c], sizeof(float));
            }
        }
        return;
    }
    const std::size_t stride = static_cast<std::size_t>(2 + filtered_size_);
    const int mw = t.mx1 - t.mx0;
    // The filtered components side by side once, so that adding them into each pixel the filter
    // reaches is a run of 4-wide multiply-adds (the same operations, so the same bits, as one
    // at a time).
    float* fs = t.filtered.data();
    for (int c = 0; c < filtered_size_; ++c)
        fs[c] = sample[filtered_src_[static_cast<std::size_t>(c)]];
    {
        // Pixels whose support holds the sample: centre within [-r, r) of it.
        const int px0 = std::max(t.mx0, static_cast<int>(std::floor(p.x - filter_.radius_x() - 0.5f)) + 1);
        const int px1 = std::min(t.mx1 - 1, static_cast<int>(std::floor(p.x + filter_.radius_x() - 0.5f)));
        const int py0 = std::max(t.my0, static_cast<int>(std::floor(p.y - filter_.radius_y() - 0.5f)) + 1);
        const int py1 = std::min(t.my1 - 1, static_cast<int>(std::floor(p.y + filter_.radius_y() - 0.5f)));
        // The column weights once for all the rows.
        float* wx = t.column_weights.data();
        for (int px = px0; px <= px1; ++px)
            wx[px - px0] = filter_.weight_x(p.x - (static_cast<float>(px) + 0.5f));
        for (int py = py0; py <= py1; ++py) {
            // A scale of 1 leaves the weights' bits as they are; a power of 2 scales them exactly.
            const float wy = filter_.weight_y(p.y - (static_cast<float>(py) + 0.5f)) * scale;
            if (wy == 0.0f) continue;
            for (int px = px0; px <= px1; ++px) {
                const float w = wx[px - px0] * wy;
                if (w == 0.0f) continue;
                float* a = &t.acc[(static_cast<std::size_t>(py - t.my0) * static_cast<std::size_t>(mw) +
                                   static_cast<std::size_t>(px - t.mx0)) *
                                  stride];
                a[0] += w;
                a[1] += std::fabs(w);
                float* sums = a + 2;
                const __m128 wv = _mm_set1_ps(w);
                int c = 0;
                for (; c + 4 <= filtered_size_; c += 4)
                    _mm_storeu_ps(sums + c,
                                  _mm_add_ps(_mm_loadu_ps(sums + c), _mm_mul_ps(wv, _mm_loadu_ps(fs + c))));
                for (; c < filtered_size_; ++c)
                    sums[c] += w * fs[c];
                if (hit_count)
                    add_matte_hits(t.matte,
                                   static_cast<std::size_t>(py - t.my0) * static_cast<std::size_t>(mw) +
                                       static_cast<std::size_t>(px - t.mx0),
                                   hits, hit_count, w);
            }
        }
    }
    const bool box = box_fallback();
    const std::size_t own_stride =
        static_cast<std::size_t>(1 + unfiltered_size_ + (box ? 1 + filtered_size_ : 0));
    float* o = &t.own[(static_cast<std::size_t>(y - t.y0) * static_cast<std::size_t>(t.x1 - t.x0) +
                       static_cast<std::size_t>(x - t.x0)) *
                      own_stride];
    const float cx = static_cast<float>(x) + 0.5f, cy = static_cast<float>(y) + 0.5f;
    const float d2 = (p.x - cx) * (p.x - cx) + (p.y - cy) * (p.y - cy);
    if (d2 < o[0]) {
        o[0] = d2;
        // memcpy keeps label bit patterns that happen to be NaNs intact.
        for (int c = 0; c < unfiltered_size_; ++c)
            std::memcpy(&o[1 + c], &sample[unfiltered_src_[static_cast<std::size_t>(c)]], sizeof(float));
    }
    if (box) {
        float* b = o + 1 + unfiltered_size_;
        b[0] += 1.0f;
        for (int c = 0; c < filtered_size_; ++c)
            b[1 + c] += fs[c];
        if (hit_count)
            add_matte_hits(t.matte_box,
                           static_cast<std::size_t>(y - t.y0) * static_cast<std::size_t>(t.x1 - t.x0) +
                               static_cast<std::size_t>(x - t.x0),
                           hits, hit_count, 1.0f);
    }
}

void Film::accumulate(Tile& t) {
    if (box_only_) {
        write_finished(t);
        return;
    }
    const std::size_t pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    const std::size_t stride = static_cast<std::size_t>(2 + filtered_size_);
    const bool box = box_fallback();
    const std::size_t box_stride = static_cast<std::size_t>(1 + filtered_size_);
    ensure_pixel_state();
    if (box && box_.empty()) box_.assign(pixels * box_stride, 0.0f);
    if (mattes_ && matte_acc_.empty()) matte_acc_.reset(pixels, mattes_);
    if (mattes_ && box && matte_box_.empty()) matte_box_.reset(pixels, mattes_);
    // Filtered sums go straight into the planes' pixels, which resolve() divides by the
    // weights. A pixel's first tile starts its sums from 0 instead of adding to what the
    // pixel held, so the film needs no clearing pass per frame.
    const std::size_t mw = static_cast<std::size_t>(t.mx1 - t.mx0);
    for (int y = t.my0; y < t.my1; ++y) {
        const float* a = &t.acc[static_cast<std::size_t>(y - t.my0) * mw * stride];
        const std::size_t row_start = pixel_index(t.mx0, y);
        unsigned char* f = &flags_[row_start];
        float* w = &weights_[2 * row_start];
        for (std::size_t i = 0; i < mw; ++i) {
            const bool first = !(f[i] & kTouched);
            w[2 * i] = (first ? 0.0f : w[2 * i]) + a[i * stride];
            w[2 * i + 1] = (first ? 0.0f : w[2 * i + 1]) + a[i * stride + 1];
        }
        for (Plane& plane : planes_) {
            if (!plane.info.filtered) continue;
            const std::size_t comps = static_cast<std::size_t>(plane.info.components);
            float* dst = &plane.pixels[row_start * comps];
            const float* src = a + 2 + plane.slot;
            for (std::size_t i = 0; i < mw; ++i) {
                const bool first = !(f[i] & kTouched);
                for (std::size_t c = 0; c < comps; ++c)
                    dst[i * comps + c] = (first ? 0.0f : dst[i * comps + c]) + src[i * stride + c];
            }
        }
        for (std::size_t i = 0; i < mw; ++i)
            f[i] |= kTouched;
        if (mattes_)
            for (std::size_t i = 0; i < mw; ++i)
                matte_acc_.add_all(row_start + i, t.matte, static_cast<std::size_t>(y - t.my0) * mw + i);
    }
    const std::size_t own_stride = static_cast<std::size_t>(1 + unfiltered_size_) + (box ? box_stride : 0);
    const std::size_t tile_width = static_cast<std::size_t>(t.x1 - t.x0);
    for (int y = t.y0; y < t.y1; ++y) {
        const float* o = &t.own[static_cast<std::size_t>(y - t.y0) * tile_width * own_stride];
        const std::size_t row_start = pixel_index(t.x0, y);
        for (std::size_t i = 0; i < tile_width; ++i)
            flags_[row_start + i] |= kOwned;
        for (Plane& plane : planes_) {
            if (plane.info.filtered || !plane.info.sampled) continue;
            const std::size_t comps = static_cast<std::size_t>(plane.info.components);
            float* dst = &plane.pixels[row_start * comps];
            const float* src = o + 1 + plane.slot;
            switch (comps) {
            case 1:
                copy_row<1>(dst, src, tile_width, own_stride);
                break;
            case 2:
                copy_row<2>(dst, src, tile_width, own_stride);
                break;
            case 3:
                copy_row<3>(dst, src, tile_width, own_stride);
                break;
            default:
                copy_row<4>(dst, src, tile_width, own_stride);
                break;
            }
        }
        if (box)
            for (std::size_t i = 0; i < tile_width; ++i) {
                float* b = &box_[(row_start + i) * box_stride];
                const float* from = o + i * own_stride + 1 + unfiltered_size_;
                for (std::size_t c = 0; c < box_stride; ++c)
                    b[c] += from[c];
                if (mattes_)
                    matte_box_.add_all(row_start + i, t.matte_box,
                                       static_cast<std::size_t>(y - t.y0) * tile_width + i);
            }
    }
}

namespace {

// Streaming stores keep the film out of the caches: it is written once and read only by the
// outputs after the frame, and cached it would push out the scene the next buckets trace.
void stream(float* dst, float v) {
    int bits;
    std::memcpy(&bits, &v, sizeof bits);
    _mm_stream_si32(reinterpret_cast<int*>(dst), bits);
}

void stream_row(float* dst, const float* src, std::size_t n) {
    std::size_t i = 0;
    for (; i < n && (reinterpret_cast<std::uintptr_t>(dst + i) & 15) != 0; ++i)
        stream(dst + i, src[i]);
    for (; i + 4 <= n; i += 4)
        _mm_stream_ps(dst + i, _mm_loadu_ps(src + i));
    for (; i < n; ++i)
        stream(dst + i, src[i]);
}

} // namespace

void Film::write_finished(Tile& t) {
    // The pixels as resolve() would make them from the same sums: dividing by the sample count
    // (rather than multiplying by its reciprocal) gives exactly 1 where every sample was 1.
    const std::size_t tile_width = static_cast<std::size_t>(t.x1 - t.x0);
    const std::size_t owned = tile_width * static_cast<std::size_t>(t.y1 - t.y0);
    float* values = t.own.data() + 2 * owned;
    for (int y = t.y0; y < t.y1; ++y) {
        const std::size_t row = static_cast<std::size_t>(y - t.y0) * tile_width;
        const float* h = &t.own[2 * row];
        const std::size_t row_start = pixel_index(t.x0, y);
        unsigned char* f = &flags_[row_start];
        bool all = true, single = true;
        for (std::size_t i = 0; i < tile_width; ++i) {
            const bool sampled = h[2 * i] != INFINITY;
            all = all && sampled;
            single = single && h[2 * i + 1] == 1.0f;
            if (sampled) f[i] |= kDone;
            if (sampled && mattes_)
                write_matte_pixel(t.matte, row + i, row_start + i, h[2 * i + 1], t.scratch);
        }
        for (std::size_t p = 0; p < tile_planes_.size(); ++p) {
            const TilePlane& tp = tile_planes_[p];
            const std::size_t comps = tp.components;
            float* src = values + owned * tp.offset + row * comps;
            float* dst = &planes_[p].pixels[row_start * comps];
            if (all) {
                if (tp.filtered && !single)
                    for (std::size_t i = 0; i < tile_width; ++i)
                        for (std::size_t c = 0; c < comps; ++c)
                            src[i * comps + c] =
                                static_cast<float>(double(src[i * comps + c]) / double(h[2 * i + 1]));
                stream_row(dst, src, tile_width * comps);
                continue;
            }
            for (std::size_t i = 0; i < tile_width; ++i) {
                if (h[2 * i] == INFINITY) continue; // not sampled
                for (std::size_t c = 0; c < comps; ++c) {
                    const float v = src[i * comps + c];
                    stream(dst + i * comps + c,
                           tp.filtered ? static_cast<float>(double(v) / double(h[2 * i + 1])) : v);
                }
            }
        }
    }
    // Streaming stores are weakly ordered: they must reach memory before the merge is done.
    _mm_sfence();
}

void Film::write_samples(int x0, int x1, int y, const float* samples) {
    if (x1 < x0 || x1 > width_) throw std::out_of_range("samples past the end of a film row");
    const std::size_t n = static_cast<std::size_t>(x1 - x0), start = pixel_index(x0, y);
    const std::size_t size = static_cast<std::size_t>(sample_size_);
    unsigned char* f = &flags_[start];
    for (std::size_t i = 0; i < n; ++i)
        f[i] |= kDone;
    // What a tile makes of one sample: a filtered plane's sum starts from 0 (0 + -0 is +0) and
    // is not divided by a count of 1; the others keep the sample's bits.
    const __m128 zero = _mm_setzero_ps();
    for (std::size_t p = 0; p < tile_planes_.size(); ++p) {
        const TilePlane& tp = tile_planes_[p];
        const std::size_t comps = tp.components;
        const float* src = samples + tp.offset;
        float* dst = &planes_[p].pixels[start * comps];
        if (comps == 4 && (reinterpret_cast<std::uintptr_t>(dst) & 15) == 0) {
            for (std::size_t i = 0; i < n; ++i) {
                const __m128 v = _mm_loadu_ps(src + i * size);
                _mm_stream_ps(dst + 4 * i, tp.filtered ? _mm_add_ps(zero, v) : v);
            }
            continue;
        }
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t c = 0; c < comps; ++c)
                stream(dst + i * comps + c, tp.filtered ? 0.0f + src[i * size + c] : src[i * size + c]);
    }
}

void Film::end_writes() {
    _mm_sfence();
}

void Film::write_sample_mattes(int x, int y, const MatteHit* hits, int hit_count, MatteScratch& scratch) {
    if (!mattes_) return;
    scratch.lists.reset(1, mattes_);
    add_matte_hits(scratch.lists, 0, hits, hit_count, 1.0f);
    write_matte_pixel(scratch.lists, 0, pixel_index(x, y), 1.0, scratch);
}

void Film::write_matte_pixel(const MatteLists& lists, std::size_t list_pixel, std::size_t pixel,
                             double weight, MatteScratch& scratch) {
    const std::size_t layers = std::size_t(matte_depth_ + 1) / 2;
    scratch.pixel.assign(4 * layers, 0.0f);
    for (int m = 0; m < mattes_; ++m) {
        write_ranks(lists, list_pixel, m, weight, matte_depth_, scratch.ranks, scratch.pixel.data());
        for (std::size_t l = 0; l < layers; ++l)
            std::memcpy(&planes_[std::size_t(matte_planes_[std::size_t(m) * layers + l])].pixels[4 * pixel],
                        &scratch.pixel[4 * l], 4 * sizeof(float));
    }
}

void Film::merge_tile(Tile& tile, int order) {
    if (box_only_) {
        // Tiles share no pixels: they need no order, and the merge needs no lock. The tile stays
        // with its thread, whose cache holds it.
        write_finished(tile);
        return;
    }
    std::lock_guard<std::mutex> lock(*merge_mutex_);
    pending_.emplace(order, std::move(tile));
    tile = Tile{};
    // Merging in a fixed order keeps float sums, and so the frame, reproducible.
    for (auto it = pending_.find(next_order_); it != pending_.end(); it = pending_.find(next_order_)) {
        accumulate(it->second);
        spare_.push_back(std::move(it->second));
        pending_.erase(it);
        ++next_order_;
    }
}

double Film::pixel_weight(std::size_t pixel, unsigned char flags, const float*& box_sums) const {
    box_sums = nullptr;
    const float* ws = flags & kTouched ? &weights_[2 * pixel] : nullptr;
    if (ws && ws[0] > 1e-6f * ws[1] && ws[0] != 0.0f) return ws[0];
    const std::size_t box_stride = static_cast<std::size_t>(1 + filtered_size_);
    if (!box_.empty() && box_[pixel * box_stride] > 0.0f) {
        box_sums = &box_[pixel * box_stride + 1];
        return box_[pixel * box_stride];
    }
    return 0.0;
}

void Film::resolve_mattes() {
    MatteScratch scratch;
    const MatteLists none;
    const std::size_t pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    for (std::size_t i = 0; i < pixels; ++i) {
        const unsigned char f = flags_.empty() ? 0 : flags_[i];
        if (f & kDone) continue; // ranked when its tile finished it
        const float* box_sums;
        const double weight = pixel_weight(i, f, box_sums);
        if (weight != 0.0)
            write_matte_pixel(box_sums ? matte_box_ : matte_acc_, i, i, weight, scratch);
        else if ((f & kTouched) || cleared_)
            write_matte_pixel(none, 0, i, 0.0, scratch);
    }
    matte_acc_.reset(0, mattes_);
    matte_box_.reset(0, mattes_);
}

void Film::resolve() {
    std::lock_guard<std::mutex> lock(*merge_mutex_);
    // Tiles of buckets whose neighbours never came (an interrupted frame) go in as they are.
    for (auto& [order, tile] : pending_)
        accumulate(tile);
    pending_.clear();
    if (staged_) {
        // Staged samples behave as one tile over the whole film.
        ensure_pixel_state();
        Tile t;
        shape_tile(t, 0, 0, width_, height_);
        std::vector<float> sample(static_cast<std::size_t>(sample_size_));
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x)
                for (int s = 0; s < spp(); ++s) {
                    const std::size_t i = sample_index(x, y, s);
                    for (const Plane& p : planes_) {
                        if (!p.info.sampled) continue;
                        const std::size_t comps = static_cast<std::size_t>(p.info.components);
                        std::memcpy(&sample[static_cast<std::size_t>(p.offset)], &p.samples[i * comps],
                                    comps * sizeof(float));
                    }
                    add_sample(t, x, y, s, sample.data());
                }
        accumulate(t);
    }
    const std::size_t pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    // A row at a time: each pixel's weight, then each plane's row.
    const std::size_t w = static_cast<std::size_t>(width_);
    std::vector<double> weight(w);
    std::vector<const float*> box_sums(w);
    std::vector<unsigned char> no_flags(flags_.empty() ? w : 0, 0);
    for (std::size_t row = 0; row < pixels; row += w) {
        if ((row / w) % 64 == 0) check_cancel();
        const unsigned char* f = flags_.empty() ? no_flags.data() : &flags_[row];
        // Rows whose pixels tiles finished need nothing more.
        if (std::all_of(f, f + w, [](unsigned char flag) { return (flag & kDone) != 0; })) continue;
        for (std::size_t i = 0; i < w; ++i)
            weight[i] = pixel_weight(row + i, f[i], box_sums[i]);
        // Dividing by the weight sum (rather than multiplying by its reciprocal) gives exactly 1
        // where every sample was 1: the weighted sum and the weight sum are the same additions.
        // A pixel no sample reached takes its clear value.
        for (Plane& plane : planes_) {
            if (!plane.info.sampled) continue;
            const std::size_t comps = static_cast<std::size_t>(plane.info.components);
            float* out = &plane.pixels[row * comps];
            const float* clear = plane.info.clear_value.data();
            if (!plane.info.filtered) {
                if (cleared_)
                    for (std::size_t i = 0; i < w; ++i)
                        if (!(f[i] & (kOwned | kDone))) std::copy_n(clear, comps, out + i * comps);
                continue;
            }
            for (std::size_t i = 0; i < w; ++i) {
                if (f[i] & kDone) continue;
                for (std::size_t c = 0; c < comps; ++c) {
                    float& o = out[i * comps + c];
                    if (weight[i] == 0.0) {
                        if ((f[i] & kTouched) || cleared_) o = clear[c];
                    } else {
                        const float sum =
                            box_sums[i] ? box_sums[i][static_cast<std::size_t>(plane.slot) + c] : o;
                        o = static_cast<float>(double(sum) / weight[i]);
                    }
                }
            }
        }
    }
    if (mattes_) resolve_mattes();
    cleared_ = false;
    std::fill(flags_.begin(), flags_.end(), 0);
    box_.clear();
    box_.shrink_to_fit();
    next_order_ = 0;
    resolved_ = true;
}

} // namespace orn::film
