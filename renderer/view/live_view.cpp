#include "view/live_view.h"

#include "core/json.h"
#include "render/light_groups.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace orn::view {

namespace {

// Round-trips a float; JSON has no NaN or infinity, so those go as strings.
std::string json_number(float v) {
    if (std::isnan(v)) return "\"NaN\"";
    if (std::isinf(v)) return v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", double(v));
    return buf;
}

std::string seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return buf;
}

// `n` pixels of `comps` floats from every `from`-th float to every `to`-th, bit for bit (labels may
// look like NaNs); a copy of fixed size is a plain move.
template <std::size_t C>
void copy_pixels(float* dst, std::size_t to, const float* src, std::size_t from, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, dst += to, src += from)
        std::memcpy(dst, src, C * sizeof(float));
}
void copy_pixels(float* dst, std::size_t to, const float* src, std::size_t from, std::size_t n, int comps) {
    switch (comps) {
    case 1:
        return copy_pixels<1>(dst, to, src, from, n);
    case 2:
        return copy_pixels<2>(dst, to, src, from, n);
    case 3:
        return copy_pixels<3>(dst, to, src, from, n);
    default:
        return copy_pixels<4>(dst, to, src, from, n);
    }
}

} // namespace

std::string shell_word(const std::string& word) {
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_-./,:=+@%", c);
    });
    if (plain) return word;
    std::string out = "'";
    for (char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::vector<std::string> command_without_region(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--region") {
            i += 4;
            continue;
        }
        out.push_back(shell_word(args[i]));
    }
    return out;
}

LiveView::LiveView(std::vector<std::string> command) : command_(command_without_region(command)) {}

void LiveView::frame_started(const WatchedFrame& frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The last frame's pixels go first; until the new ones are there, nothing can be read.
    pixels_.reset();
    frame_ = WatchedFrame{};
    const std::size_t floats =
        std::size_t(frame.width) * std::size_t(frame.height) * std::size_t(frame.pixel_size);
    pixels_.reset(static_cast<float*>(std::calloc(floats, sizeof(float))));
    if (!pixels_) throw std::bad_alloc();
    ++generation_;
    frame_ = frame;
    rects_.clear();
    done_ = 0;
    finished_ = interrupted_ = false;
    share_ = 0.0;
    left_.reset();
    start_ = std::chrono::steady_clock::now();
    changed_.notify_all();
}

void LiveView::bucket_done(int x0, int y0, int x1, int y1, const float* pixels) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    if (x0 < x1 && y0 < y1 && pixels) {
        const std::size_t width = std::size_t(frame_.width), size = std::size_t(frame_.pixel_size);
        const std::size_t row = std::size_t(x1 - x0) * size;
        for (int y = y0; y < y1; ++y)
            std::memcpy(&pixels_[(std::size_t(y) * width + std::size_t(x0)) * size],
                        pixels + std::size_t(y - y0) * row, row * sizeof(float));
        rects_.push_back({x0, y0, x1, y1});
    }
    changed_.notify_all();
}

void LiveView::progress(double share, std::optional<double> seconds_left) {
    std::lock_guard<std::mutex> lock(mutex_);
    share_ = share;
    left_ = seconds_left;
    left_at_ = std::chrono::steady_clock::now();
}

void LiveView::frame_finished(const std::vector<const float*>& layer_pixels, bool interrupted) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t count = std::size_t(frame_.width) * std::size_t(frame_.height);
    const std::size_t size = std::size_t(frame_.pixel_size), block = 1024;
    // A block of pixels at a time, every layer into it while it is in the cache.
    for (std::size_t i = 0; i < count; i += block)
        for (std::size_t l = 0; l < frame_.layers.size() && l < layer_pixels.size(); ++l) {
            const WatchedLayer& layer = frame_.layers[l];
            const std::size_t comps = std::size_t(layer.components);
            copy_pixels(&pixels_[i * size + std::size_t(layer.offset)], size, layer_pixels[l] + i * comps,
                        comps, std::min(block, count - i), layer.components);
        }
    finished_ = true;
    interrupted_ = interrupted;
    end_ = std::chrono::steady_clock::now();
    changed_.notify_all();
}

void LiveView::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

bool LiveView::has_frame() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_ > 0;
}

bool LiveView::news(const Cursor& c) const {
    if (generation_ == 0) return false;
    return c.generation != generation_ || c.rects < rects_.size() || c.done != done_ ||
           (finished_ && !c.finished);
}

double LiveView::elapsed_locked() const {
    const auto end = finished_ ? end_ : std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - start_).count();
}

std::string LiveView::events(Cursor& c, const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Buckets that finish within an interval go out together.
    changed_.wait_until(lock, c.sent + std::chrono::milliseconds(200), [&] { return stop.load(); });
    changed_.wait_for(lock, std::chrono::seconds(2), [&] { return stop.load() || news(c); });
    if (stop.load()) return {};
    c.sent = std::chrono::steady_clock::now();
    if (!news(c)) return ":\n\n";
    std::string out;
    if (c.generation != generation_) {
        out += "event: frame\ndata: " + info_json_locked() + "\n\n";
        c = Cursor{generation_, 0, 0, false, c.sent};
    }
    if (c.rects < rects_.size() || c.done != done_) {
        out += "event: buckets\ndata: {\"rects\":[";
        for (std::size_t i = c.rects; i < rects_.size(); ++i) {
            const auto& r = rects_[i];
            out += (i > c.rects ? ",[" : "[") + std::to_string(r[0]) + "," + std::to_string(r[1]) + "," +
                   std::to_string(r[2]) + "," + std::to_string(r[3]) + "]";
        }
        const double elapsed = elapsed_locked();
        out += "],\"done\":" + std::to_string(done_) + ",\"total\":" + std::to_string(frame_.buckets) +
               ",\"share\":" + seconds(done_ >= frame_.buckets ? 1.0 : share_) +
               ",\"elapsed\":" + seconds(elapsed) + ",\"left\":";
        // The frame's estimate, less the time since it was made.
        const double since = std::chrono::duration<double>(c.sent - left_at_).count();
        out += left_ && done_ < frame_.buckets ? seconds(std::max(0.0, *left_ - since)) : "null";
        out += "}\n\n";
        c.rects = rects_.size();
        c.done = done_;
    }
    if (finished_ && !c.finished) {
        out += "event: finished\ndata: {\"interrupted\":" + std::string(interrupted_ ? "true" : "false") +
               ",\"elapsed\":" + seconds(elapsed_locked()) + "}\n\n";
        c.finished = true;
    }
    return out;
}

std::string LiveView::info_json() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_json_locked();
}

std::string LiveView::info_json_locked() const {
    std::string out =
        "{\"generation\":" + std::to_string(generation_) + ",\"frame\":" + std::to_string(frame_.frame) +
        ",\"width\":" + std::to_string(frame_.width) + ",\"height\":" + std::to_string(frame_.height) +
        ",\"buckets\":" + std::to_string(frame_.buckets) + ",\"window\":[" +
        std::to_string(frame_.window[0]) + "," + std::to_string(frame_.window[1]) + "," +
        std::to_string(frame_.window[2]) + "," + std::to_string(frame_.window[3]) + "],\"layers\":[";
    for (std::size_t i = 0; i < frame_.layers.size(); ++i) {
        const WatchedLayer& l = frame_.layers[i];
        out += std::string(i ? "," : "") + "{\"name\":" + json_string(l.name) +
               ",\"components\":" + std::to_string(l.components) +
               ",\"label\":" + (l.label ? "true" : "false") + "}";
    }
    out += "],\"command\":[";
    for (std::size_t i = 0; i < command_.size(); ++i)
        out += (i ? "," : "") + json_string(command_[i]);
    return out + "]}";
}

int LiveView::layer_pixels(std::uint64_t generation, int layer, int x0, int y0, int x1, int y1,
                           std::string& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation_ == 0 || generation != generation_) {
        out = "the view has moved on to another frame";
        return 409;
    }
    if (layer < 0 || std::size_t(layer) >= frame_.layers.size()) {
        out = "the frame has no layer " + std::to_string(layer);
        return 400;
    }
    if (x0 < 0 || y0 < 0 || x1 > frame_.width || y1 > frame_.height || x0 >= x1 || y0 >= y1) {
        out = "the pixels asked for are not inside the " + std::to_string(frame_.width) + " x " +
              std::to_string(frame_.height) + " frame";
        return 400;
    }
    const WatchedLayer& l = frame_.layers[std::size_t(layer)];
    const std::size_t comps = std::size_t(l.components), size = std::size_t(frame_.pixel_size);
    const std::size_t row = std::size_t(x1 - x0) * comps;
    std::vector<float> floats(row * std::size_t(y1 - y0));
    for (int y = y0; y < y1; ++y)
        copy_pixels(&floats[std::size_t(y - y0) * row], comps,
                    &pixels_[(std::size_t(y) * std::size_t(frame_.width) + std::size_t(x0)) * size +
                             std::size_t(l.offset)],
                    size, std::size_t(x1 - x0), l.components);
    out.assign(reinterpret_cast<const char*>(floats.data()), floats.size() * sizeof(float));
    return 200;
}

int LiveView::mix_text(std::uint64_t generation, const std::string& mix, std::string& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation_ == 0 || generation != generation_) {
        out = "the view has moved on to another frame";
        return 409;
    }
    std::string error;
    const auto parsed = film::parse_light_mix(mix, error);
    const auto text = parsed ? mix_scene_text(frame_.groups, *parsed, error) : std::nullopt;
    out = text ? *text : error;
    return text ? 200 : 400;
}

int LiveView::pixel_json(std::uint64_t generation, int x, int y, std::string& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation_ == 0 || generation != generation_) {
        out = "the view has moved on to another frame";
        return 409;
    }
    if (x < 0 || y < 0 || x >= frame_.width || y >= frame_.height) {
        out = "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is not inside the " +
              std::to_string(frame_.width) + " x " + std::to_string(frame_.height) + " frame";
        return 400;
    }
    out = "{\"x\":" + std::to_string(x) + ",\"y\":" + std::to_string(y) + ",\"values\":[";
    const float* pixel = &pixels_[(std::size_t(y) * std::size_t(frame_.width) + std::size_t(x)) *
                                  std::size_t(frame_.pixel_size)];
    for (std::size_t l = 0; l < frame_.layers.size(); ++l) {
        const WatchedLayer& layer = frame_.layers[l];
        const float* v = pixel + layer.offset;
        out += l ? ",[" : "[";
        for (int c = 0; c < layer.components; ++c) {
            if (c) out += ",";
            if (layer.label) {
                std::uint32_t bits;
                std::memcpy(&bits, &v[c], sizeof bits);
                out += std::to_string(bits);
            } else {
                out += json_number(v[c]);
            }
        }
        out += "]";
    }
    out += "]}";
    return 200;
}

} // namespace orn::view
