// The frame as a live view sees it: every layer's pixels as buckets finish, the progress, and
// the final film once the frame is done. Render threads hand buckets in; the view's server
// reads from here. Nothing here waits on a client.
#pragma once

#include "render/frame_watch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orn::view {

// A word as a POSIX shell reads it back: quoted unless it holds only safe characters.
std::string shell_word(const std::string& word);
// The command line without its --region and the four numbers after it, each word for a shell.
std::vector<std::string> command_without_region(const std::vector<std::string>& args);

class LiveView final : public FrameWatch {
  public:
    explicit LiveView(std::vector<std::string> command = {});

    void frame_started(const WatchedFrame& frame) override;
    void bucket_done(int x0, int y0, int x1, int y1, const float* pixels) override;
    void frame_finished(const std::vector<const float*>& layer_pixels, bool interrupted) override;

    // What a client of the event stream has seen so far.
    struct Cursor {
        std::uint64_t generation = 0; // of the frame it was told of
        std::size_t rects = 0;        // buckets with pixels of that frame it was told of
        int done = 0;                 // buckets finished, as it was told
        bool finished = false;
        std::chrono::steady_clock::time_point sent{};
    };
    // The server-sent events a client has not seen yet: a new frame, the buckets finished since
    // (with the progress), the end of the frame. Waits until there is news, `stop` is set or
    // `heartbeat` passes (a comment line then, so that a client that went away is noticed),
    // and sends at most one message per `interval`.
    std::string events(Cursor& cursor, const std::atomic<bool>& stop,
                       std::chrono::milliseconds interval = std::chrono::milliseconds(200),
                       std::chrono::milliseconds heartbeat = std::chrono::milliseconds(2000));
    // Wakes every events() call (the server is stopping).
    void wake();

    // The frame's layout as JSON; "generation" 0 before the first frame.
    std::string info_json() const;
    // Layer `layer` over pixels [x0, x1) x [y0, y1) as little-endian float32, row after row from
    // y0. The HTTP status: 200, 409 when the view has moved on from frame `generation`, 400 when
    // the request does not fit the frame (`out` then holds the reason).
    int layer_pixels(std::uint64_t generation, int layer, int x0, int y0, int x1, int y1,
                     std::string& out) const;
    // Every layer's value at pixel (x, y) as JSON; the status as for layer_pixels().
    int pixel_json(std::uint64_t generation, int x, int y, std::string& out) const;
    // A frame has been shown.
    bool has_frame() const;

  private:
    bool news(const Cursor& c) const;
    std::string info_json_locked() const;
    double elapsed_locked() const;

    const std::vector<std::string> command_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t generation_ = 0;
    WatchedFrame frame_;
    // Every layer of every pixel, in the frame's pixel layout (a bucket is then a row of copies),
    // row 0 at the bottom.
    // Zeroed by the system page by page as buckets reach them, not all at once at the start.
    struct Free {
        void operator()(float* p) const { std::free(p); }
    };
    std::unique_ptr<float[], Free> pixels_;
    std::vector<std::array<int, 4>> rects_; // finished buckets with pixels, in order
    int done_ = 0;                          // finished buckets, with or without pixels
    bool finished_ = false, interrupted_ = false;
    std::chrono::steady_clock::time_point start_, end_;
};

} // namespace orn::view
