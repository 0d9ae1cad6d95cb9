// What the view's web server reads: the frame as the browser is shown it. The server lives in a
// library of its own that the renderer loads only for --view, and reaches the frame only
// through this interface.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace orn::view {

class ViewSource {
  public:
    virtual ~ViewSource() = default;

    // What a client of the event stream has seen so far.
    struct Cursor {
        std::uint64_t generation = 0; // of the frame it was told of
        std::size_t rects = 0;        // buckets with pixels of that frame it was told of
        int done = 0;                 // buckets finished, as it was told
        bool finished = false;
        std::chrono::steady_clock::time_point sent{};
    };
    // The server-sent events a client has not seen yet: a new frame, the buckets finished since
    // (with the progress), the end of the frame. Waits until there is news or `stop` is set, at
    // most one message per 200 ms; after 2 s without news a comment line, so that a client that
    // went away is noticed. Empty once `stop` is set.
    virtual std::string events(Cursor& cursor, const std::atomic<bool>& stop) = 0;
    // Wakes every events() call (the server is stopping).
    virtual void wake() = 0;
    // The frame's layout as JSON; "generation" 0 before the first frame.
    virtual std::string info_json() const = 0;
    // Layer `layer` over pixels [x0, x1) x [y0, y1) as little-endian float32, row after row from
    // y0. The HTTP status: 200, 409 when the view has moved on from frame `generation`, 400 when
    // the request does not fit the frame (`out` then holds the reason).
    virtual int layer_pixels(std::uint64_t generation, int layer, int x0, int y0, int x1, int y1,
                             std::string& out) const = 0;
    // Every layer's value at pixel (x, y) as JSON; the status as for layer_pixels().
    virtual int pixel_json(std::uint64_t generation, int x, int y, std::string& out) const = 0;
    // The light mix `mix` (as --mix reads it) as scene text for the lights of frame `generation`;
    // the status as for layer_pixels().
    virtual int mix_text(std::uint64_t generation, const std::string& mix, std::string& out) const = 0;
};

} // namespace orn::view
