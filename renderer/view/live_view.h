// The frame as a live view sees it: every layer's pixels as buckets finish, the progress, and
// the final film once the frame is done. Render threads hand buckets in; the view's server
// reads from here. Nothing here waits on a client.
#pragma once

#include "render/frame_watch.h"
#include "view/view_source.h"

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

class LiveView final : public FrameWatch, public ViewSource {
  public:
    explicit LiveView(std::vector<std::string> command = {});

    void frame_started(const WatchedFrame& frame) override;
    void bucket_done(int x0, int y0, int x1, int y1, const float* pixels) override;
    void progress(double share, std::optional<double> seconds_left) override;
    void frame_finished(const std::vector<const float*>& layer_pixels, bool interrupted) override;

    std::string events(Cursor& cursor, const std::atomic<bool>& stop) override;
    void wake() override;
    std::string info_json() const override;
    int layer_pixels(std::uint64_t generation, int layer, int x0, int y0, int x1, int y1,
                     std::string& out) const override;
    int pixel_json(std::uint64_t generation, int x, int y, std::string& out) const override;
    int mix_text(std::uint64_t generation, const std::string& mix, std::string& out) const override;
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
    double share_ = 0.0;         // of the frame's work, as the frame estimates it
    std::optional<double> left_; // seconds, as of left_at_
    std::chrono::steady_clock::time_point left_at_;
    std::chrono::steady_clock::time_point start_, end_;
};

} // namespace orn::view
