// Adaptive sampling: a pixel starts with its base samples and takes more where they, or they and
// the neighbours' base samples, differ by more than the options' contrast. Decisions depend only
// on samples that are the same whoever shades them, so frames stay the same bits across threads,
// buckets and split parts.
#include "render/frame.h"

#include "core/messages.h"
#include "film/film.h"
#include "film/image_output.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orn {

namespace {

// Lowest and highest value per channel of the samples seen, in pairs.
void reset_range(float* range, size_t channels) {
    for (size_t c = 0; c < channels; ++c) {
        range[2 * c] = INFINITY;
        range[2 * c + 1] = -INFINITY;
    }
}

// The options' "sample counts": true with a file name, true with "" for on, false for off or none.
bool sample_counts_option(const OptionsElement* o, std::string& file) {
    file.clear();
    if (!o) return false;
    for (const auto& [name, v] : o->string_options) {
        if (name != Frame::kSampleCountsOption) continue;
        if (v.kind == scene::Value::Kind::String) {
            file = v.text;
            return !file.empty();
        }
        bool on = false;
        return o->get(Frame::kSampleCountsOption, &on) && on;
    }
    return false;
}

} // namespace

void Frame::setup_sample_counts() {
    std::string file;
    if (samples_plane_ >= 0 || !sample_counts_option(world_.options(), file)) return;
    const float most = float(film_->spp());
    samples_plane_ = film_->plane_id(kSamplesBuffer);
    if (samples_plane_ < 0)
        samples_plane_ = film_->add_plane(kSamplesBuffer, 1, false, {most, most, most, most});
}

void Frame::write_sample_counts() {
    std::string file;
    if (!sample_counts_option(world_.options(), file) || file.empty() || samples_plane_ < 0) return;
    if (aborted().load()) {
        Messages::emitf(Severity::Warning, "frame interrupted: %s not written", output_path(file).c_str());
        return;
    }
    film::OutputRequest req;
    req.planes = {kSamplesBuffer};
    req.data_type = "z";
    req.path = output_path(file);
    if (auto err = film::write_image(*film_, req)) {
        Messages::emit(Severity::Error, *err);
        outputs_ok_ = false;
    } else {
        Messages::emitf(Severity::Info, "wrote %s", req.path.c_str());
    }
}

void Frame::setup_sampling() {
    contrast_.clear();
    samples_offset_ = samples_plane_ >= 0 ? film_->plane_offset(samples_plane_) : -1;
    samples_components_ = samples_plane_ >= 0 ? film_->plane_info(samples_plane_).components : 0;
    const miOptions* o = options_record();
    const miColor t = o ? o->contrast : miColor{0.1f, 0.1f, 0.1f, 0.1f};
    const float thresholds[4] = {t.r, t.g, t.b, t.a};
    const int color = film_->plane_offset(film::Color);
    for (int c = 0; c < 4; ++c)
        contrast_.push_back({color + c, thresholds[c]});
    // The pass set-up turns this on so that a pass that is noisy where the colour is flat gets
    // its samples too: every filtered user buffer counts, component by component.
    bool all = false;
    if (world_.options()) world_.options()->get("contrast all buffers", &all);
    if (!all) return;
    for (const BufferPlane& b : buffers_) {
        if (b.plane < film::standard_plane_count || b.label || b.plane == samples_plane_) continue;
        const film::PlaneInfo& info = film_->plane_info(b.plane);
        if (!info.sampled || !info.filtered) continue;
        for (int c = 0; c < info.components; ++c)
            contrast_.push_back({film_->plane_offset(b.plane) + c, thresholds[c]});
    }
}

void Frame::shade_adaptive(ThreadContext& tc, film::Film::Tile& tile, AdaptiveScratch& a, int x0, int x1,
                           int y0, int y1) {
    const size_t size = size_t(film_->sample_size()), channels = contrast_.size();
    const int base = film_->base_spp(), most = film_->spp();
    // The bucket's pixels and a ring of one pixel around them (inside the image), whose base
    // samples are shaded here only to be compared.
    const int rx0 = std::max(0, x0 - 1), ry0 = std::max(0, y0 - 1);
    const int rx1 = std::min(film_->width(), x1 + 1), ry1 = std::min(film_->height(), y1 + 1);
    const size_t rw = size_t(rx1 - rx0), pixels = rw * size_t(ry1 - ry0);
    if (a.base.size() < pixels * size_t(base) * size) a.base.resize(pixels * size_t(base) * size);
    if (a.range.size() < pixels * 2 * channels) a.range.resize(pixels * 2 * channels);
    if (a.hit_end.size() < pixels * size_t(base)) a.hit_end.resize(pixels * size_t(base));
    if (a.extra.size() < size_t(most - base) * size) {
        a.extra.resize(size_t(most - base) * size);
        a.extra_hit_end.resize(size_t(most - base));
    }
    a.own.resize(2 * channels);
    a.hits.clear();
    const bool mattes = tc.mattes.on();
    auto widen = [&](float* range, const float* sample) {
        for (size_t c = 0; c < channels; ++c) {
            const float v = sample[contrast_[c].offset];
            range[2 * c] = std::min(range[2 * c], v);
            range[2 * c + 1] = std::max(range[2 * c + 1], v);
        }
    };
    // Base samples, row after row.
    for (int y = ry0; y < ry1; ++y)
        for (int x = rx0; x < rx1; ++x) {
            const size_t p = size_t(y - ry0) * rw + size_t(x - rx0);
            float* range = &a.range[p * 2 * channels];
            reset_range(range, channels);
            const bool own = x >= x0 && x < x1 && y >= y0 && y < y1;
            for (int s = 0; s < base; ++s) {
                float* sample = &a.base[(p * size_t(base) + size_t(s)) * size];
                const int hits = shade_sample(tc, tile, x, y, s, film_->sample_position_unchecked(x, y, s),
                                              nullptr, nullptr, sample);
                widen(range, sample);
                if (mattes && own)
                    a.hits.insert(a.hits.end(), tc.matte_hits.begin(), tc.matte_hits.begin() + hits);
                a.hit_end[p * size_t(base) + size_t(s)] = uint32_t(a.hits.size());
                if (stopping()) return;
            }
        }
    auto exceeds = [&](const float* range) {
        for (size_t c = 0; c < channels; ++c)
            if (range[2 * c + 1] - range[2 * c] > contrast_[c].threshold) return true;
        return false;
    };
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const size_t p = size_t(y - ry0) * rw + size_t(x - rx0);
            // The pixel's samples together with its eight neighbours' base samples: one sample of
            // a pixel alone shows no contrast, and a detail may fall between the samples of one
            // pixel but not of the next. A pixel beside an edge keeps refining too: four samples
            // that all miss a sliver of the edge inside it would otherwise stop it.
            float* own = a.own.data();
            std::memcpy(own, &a.range[p * 2 * channels], 2 * channels * sizeof(float));
            for (int ny = std::max(ry0, y - 1); ny <= std::min(ry1 - 1, y + 1); ++ny)
                for (int nx = std::max(rx0, x - 1); nx <= std::min(rx1 - 1, x + 1); ++nx) {
                    const float* n = &a.range[(size_t(ny - ry0) * rw + size_t(nx - rx0)) * 2 * channels];
                    for (size_t c = 0; c < channels; ++c) {
                        own[2 * c] = std::min(own[2 * c], n[2 * c]);
                        own[2 * c + 1] = std::max(own[2 * c + 1], n[2 * c + 1]);
                    }
                }
            bool refine = exceeds(own);
            // 4 times as many samples at each step, while they differ.
            int taken = base;
            a.extra_hits.clear();
            while (refine && taken < most) {
                for (int s = taken; s < 4 * taken; ++s) {
                    float* sample = &a.extra[size_t(s - base) * size];
                    const int hits =
                        shade_sample(tc, tile, x, y, s, film_->sample_position_unchecked(x, y, s), nullptr,
                                     nullptr, sample);
                    widen(own, sample);
                    if (mattes)
                        a.extra_hits.insert(a.extra_hits.end(), tc.matte_hits.begin(),
                                            tc.matte_hits.begin() + hits);
                    a.extra_hit_end[size_t(s - base)] = uint32_t(a.extra_hits.size());
                    if (stopping()) return;
                }
                taken *= 4;
                refine = exceeds(own);
            }
            // Every pixel's samples weigh as much together as those of a pixel that took them all:
            // a power of 2, which scales the filter weights exactly.
            const float scale = float(most / taken);
            for (int s = 0; s < taken; ++s) {
                float* sample = s < base ? &a.base[(p * size_t(base) + size_t(s)) * size]
                                         : &a.extra[size_t(s - base) * size];
                for (int c = 0; c < samples_components_; ++c)
                    sample[samples_offset_ + c] = float(taken);
                const film::MatteHit* hits = nullptr;
                int count = 0;
                if (mattes) {
                    // A sample's hits run from where the previous sample's ended (ring pixels
                    // keep none).
                    const size_t i = p * size_t(base) + size_t(s), e = size_t(s - base);
                    const uint32_t begin =
                        s < base ? (i > 0 ? a.hit_end[i - 1] : 0) : (e > 0 ? a.extra_hit_end[e - 1] : 0);
                    const uint32_t end = s < base ? a.hit_end[i] : a.extra_hit_end[e];
                    hits = (s < base ? a.hits.data() : a.extra_hits.data()) + begin;
                    count = int(end - begin);
                }
                film_->add_sample(tile, x, y, film_->sample_position_unchecked(x, y, s), sample, hits, count,
                                  scale);
            }
        }
}

} // namespace orn
