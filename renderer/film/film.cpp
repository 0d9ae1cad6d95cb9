#include "film/film.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

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

struct Tap {
    std::size_t sample;
    float weight;
};

// Weighted mean of the taps; the component count is a template argument so the sums stay in
// registers.
template <std::size_t Comps>
void accumulate(const std::vector<Tap>& taps, const float* samples, double wsum, float* out) {
    double sum[Comps] = {};
    for (const Tap& t : taps) {
        const float* v = samples + t.sample * Comps;
        for (std::size_t c = 0; c < Comps; ++c)
            sum[c] += static_cast<double>(t.weight) * v[c];
    }
    for (std::size_t c = 0; c < Comps; ++c)
        out[c] = static_cast<float>(sum[c] / wsum);
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

Film::Film(int width, int height, int spp, const FilterSpec& filter)
    : width_(width), height_(height), pattern_(std::max(spp, 1)), filter_(filter) {
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
    return plane_count() - 1;
}

int Film::plane_id(const std::string& name) const {
    for (std::size_t i = 0; i < planes_.size(); ++i)
        if (planes_[i].info.name == name) return static_cast<int>(i);
    return -1;
}

const PlaneInfo& Film::plane_info(int plane) const {
    return checked_plane(plane).info;
}

SamplePosition Film::sample_position(int x, int y, int s) const {
    sample_index(x, y, s); // bounds check
    return pattern_.position(x, y, s);
}

float* Film::sample_data(int plane, int x, int y, int s) {
    const Plane& p = checked_plane(plane);
    const std::size_t i = sample_index(x, y, s) * static_cast<std::size_t>(p.info.components);
    return planes_[static_cast<std::size_t>(plane)].samples.data() + i;
}

const float* Film::sample_data(int plane, int x, int y, int s) const {
    const Plane& p = checked_plane(plane);
    return p.samples.data() + sample_index(x, y, s) * static_cast<std::size_t>(p.info.components);
}

void Film::clear() {
    for (Plane& plane : planes_)
        fill_plane(plane);
    resolved_ = false;
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

void Film::fill_plane(Plane& plane) const {
    const std::size_t comps = static_cast<std::size_t>(plane.info.components);
    const std::size_t pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    plane.samples.resize(pixels * static_cast<std::size_t>(spp()) * comps);
    plane.pixels.resize(pixels * comps);
    const float* clear = plane.info.clear_value.data();
    for (auto* data : {&plane.samples, &plane.pixels}) {
        float* v = data->data();
        for (std::size_t i = 0; i < data->size(); i += comps)
            for (std::size_t c = 0; c < comps; ++c)
                v[i + c] = clear[c];
    }
}

// Per-thread working memory of resolve(), reused from row to row.
struct Film::ResolveScratch {
    std::vector<Tap> taps;
    // Samples of the rows that reach the output row: raster x and vertical weight.
    std::vector<float> sample_x;
    std::vector<float> weight_y;
};

void Film::resolve() {
    std::vector<int> filtered;
    std::vector<int> nearest;
    for (int p = 0; p < plane_count(); ++p)
        (planes_[static_cast<std::size_t>(p)].info.filtered ? filtered : nearest).push_back(p);

    // Rows are handed out one at a time; each row writes only its own pixels.
    std::atomic<int> next_row{0};
    std::mutex failure_lock;
    std::exception_ptr failure;
    auto work = [&]() {
        try {
            ResolveScratch scratch;
            for (int y = next_row++; y < height_; y = next_row++)
                resolve_row(y, filtered, nearest, scratch);
        } catch (...) {
            std::lock_guard<std::mutex> lock(failure_lock);
            if (!failure) failure = std::current_exception();
            next_row = height_;
        }
    };
    const int threads = std::max(1, std::min(static_cast<int>(std::thread::hardware_concurrency()), height_));
    std::vector<std::thread> helpers;
    for (int i = 1; i < threads; ++i)
        helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers)
        t.join();
    if (failure) std::rethrow_exception(failure);
    resolved_ = true;
}

void Film::resolve_row(int y, const std::vector<int>& filtered, const std::vector<int>& nearest,
                       ResolveScratch& scratch) {
    const std::size_t count = static_cast<std::size_t>(spp());
    const std::size_t width = static_cast<std::size_t>(width_);
    const int kx = reach(filter_.radius_x());
    const int ky = reach(filter_.radius_y());
    const int y0 = std::max(0, y - ky);
    const int y1 = std::min(height_ - 1, y + ky);
    const float cy = static_cast<float>(y) + 0.5f;

    // Each sample's position and vertical weight once per output row, not once per output pixel.
    const std::size_t band = static_cast<std::size_t>(y1 - y0 + 1) * width * count;
    scratch.sample_x.resize(band);
    scratch.weight_y.resize(band);
    for (int ny = y0; ny <= y1; ++ny)
        for (int nx = 0; nx < width_; ++nx)
            for (std::size_t s = 0; s < count; ++s) {
                const std::size_t i =
                    (static_cast<std::size_t>(ny - y0) * width + static_cast<std::size_t>(nx)) * count + s;
                const SamplePosition p = pattern_.position(nx, ny, static_cast<int>(s));
                scratch.sample_x[i] = p.x;
                scratch.weight_y[i] = filter_.weight_y(p.y - cy);
            }

    auto& taps = scratch.taps;
    for (int x = 0; x < width_; ++x) {
        const float cx = static_cast<float>(x) + 0.5f;
        const std::size_t own = pixel_index(x, y);

        taps.clear();
        double wsum = 0.0;
        double wabs = 0.0;
        for (int ny = y0; ny <= y1; ++ny) {
            for (int nx = std::max(0, x - kx); nx <= std::min(width_ - 1, x + kx); ++nx) {
                const std::size_t pixel = static_cast<std::size_t>(ny) * width + static_cast<std::size_t>(nx);
                const std::size_t cached =
                    (static_cast<std::size_t>(ny - y0) * width + static_cast<std::size_t>(nx)) * count;
                for (std::size_t s = 0; s < count; ++s) {
                    const float wy = scratch.weight_y[cached + s];
                    if (wy == 0.0f) continue;
                    const float w = filter_.weight_x(scratch.sample_x[cached + s] - cx) * wy;
                    if (w == 0.0f) continue;
                    taps.push_back({pixel * count + s, w});
                    wsum += w;
                    wabs += std::fabs(w);
                }
            }
        }
        // Negative lobes can cancel the weights out; a near-zero sum would blow values up.
        if (!(wsum > 1e-6 * wabs) || taps.empty()) {
            taps.clear();
            for (std::size_t s = 0; s < count; ++s)
                taps.push_back({own * count + s, 1.0f});
            wsum = static_cast<double>(count);
        }

        for (int id : filtered) {
            Plane& plane = planes_[static_cast<std::size_t>(id)];
            float* out = &plane.pixels[own * static_cast<std::size_t>(plane.info.components)];
            switch (plane.info.components) {
            case 1:
                accumulate<1>(taps, plane.samples.data(), wsum, out);
                break;
            case 2:
                accumulate<2>(taps, plane.samples.data(), wsum, out);
                break;
            case 3:
                accumulate<3>(taps, plane.samples.data(), wsum, out);
                break;
            default:
                accumulate<4>(taps, plane.samples.data(), wsum, out);
                break;
            }
        }

        if (nearest.empty()) continue;
        std::size_t best = 0;
        float best_d2 = 0.0f;
        for (std::size_t s = 0; s < count; ++s) {
            const SamplePosition p = pattern_.position(x, y, static_cast<int>(s));
            const float d2 = (p.x - cx) * (p.x - cx) + (p.y - cy) * (p.y - cy);
            if (s == 0 || d2 < best_d2) {
                best = s;
                best_d2 = d2;
            }
        }
        const std::size_t sample = own * count + best;
        for (int id : nearest) {
            Plane& plane = planes_[static_cast<std::size_t>(id)];
            const std::size_t comps = static_cast<std::size_t>(plane.info.components);
            // memcpy keeps label bit patterns that happen to be NaNs intact.
            std::memcpy(&plane.pixels[own * comps], &plane.samples[sample * comps], comps * sizeof(float));
        }
    }
}

} // namespace orn::film
