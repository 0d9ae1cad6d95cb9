// A finished bucket's pixels for a live view, read from its tile before the merge.
#include "film/film.h"

#include <cmath>
#include <stdexcept>

namespace orn::film {

void Film::bucket_pixels(const Tile* tile, int x0, int y0, int x1, int y1, float* out) const {
    if (x0 < 0 || y0 < 0 || x1 > width_ || y1 > height_ || x1 < x0 || y1 < y0)
        throw std::out_of_range("bucket outside the film");
    const std::size_t size = static_cast<std::size_t>(sample_size_);
    if (!tile) {
        // The samples went straight into the planes: they are the pixels.
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x, out += size)
                for (const Plane& p : planes_) {
                    if (!p.info.sampled) continue;
                    const std::size_t comps = static_cast<std::size_t>(p.info.components);
                    std::memcpy(out + p.offset, &p.pixels[pixel_index(x, y) * comps], comps * sizeof(float));
                }
        return;
    }
    const Tile& t = *tile;
    if (x0 < t.x0 || y0 < t.y0 || x1 > t.x1 || y1 > t.y1) throw std::out_of_range("bucket outside its tile");
    const std::size_t tile_width = static_cast<std::size_t>(t.x1 - t.x0);
    const std::size_t owned = tile_width * static_cast<std::size_t>(t.y1 - t.y0);
    const bool box = box_fallback();
    const std::size_t stride = static_cast<std::size_t>(2 + filtered_size_);
    const std::size_t own_stride =
        static_cast<std::size_t>(1 + unfiltered_size_ + (box ? 1 + filtered_size_ : 0));
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x, out += size) {
            const std::size_t pix =
                static_cast<std::size_t>(y - t.y0) * tile_width + static_cast<std::size_t>(x - t.x0);
            if (box_only_) {
                const float* h = &t.own[2 * pix];
                if (h[0] == INFINITY) { // not sampled
                    std::memcpy(out, clear_sample_.data(), size * sizeof(float));
                    continue;
                }
                const float* values = t.own.data() + 2 * owned;
                for (const TilePlane& tp : tile_planes_) {
                    const float* v = values + owned * tp.offset + pix * tp.components;
                    for (std::size_t c = 0; c < tp.components; ++c)
                        out[tp.offset + c] =
                            tp.filtered ? static_cast<float>(double(v[c]) / double(h[1])) : v[c];
                }
                continue;
            }
            const float* a =
                &t.acc[(static_cast<std::size_t>(y - t.my0) * static_cast<std::size_t>(t.mx1 - t.mx0) +
                        static_cast<std::size_t>(x - t.mx0)) *
                       stride];
            const float* o = &t.own[pix * own_stride];
            // As resolve() weighs: a weight sum that cancels out falls back to the plain average.
            const float* sums = a + 2;
            double weight = a[0] > 1e-6f * a[1] && a[0] != 0.0f ? a[0] : 0.0;
            if (weight == 0.0 && box && o[1 + unfiltered_size_] > 0.0f) {
                sums = o + 2 + unfiltered_size_;
                weight = o[1 + unfiltered_size_];
            }
            for (const Plane& p : planes_) {
                if (!p.info.sampled) continue;
                const std::size_t comps = static_cast<std::size_t>(p.info.components);
                float* dst = out + p.offset;
                if (!p.info.filtered) {
                    std::memcpy(dst, o + 1 + p.slot, comps * sizeof(float));
                    continue;
                }
                for (std::size_t c = 0; c < comps; ++c)
                    dst[c] = weight == 0.0
                                 ? p.info.clear_value[c]
                                 : static_cast<float>(double(sums[std::size_t(p.slot) + c]) / weight);
            }
        }
}

} // namespace orn::film
