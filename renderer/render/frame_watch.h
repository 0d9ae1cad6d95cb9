// What a frame tells a live view of itself while it renders. A frame without a watch (the
// default) does none of this work.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace orn {

// A film plane as the view shows it: its components in a pixel of bucket_done().
struct WatchedLayer {
    std::string name;
    int offset = 0;     // in a pixel
    int components = 1; // 1 to 4
    bool label = false; // uint32 bit patterns in float slots
};

// A light of a light group, with what a mix changes to render the mix again: for a toolkit light
// its "intensity" and "color" as the scene set them (none where a shader is connected).
struct WatchedLight {
    std::string name;   // the light's own name in the scene
    std::string shader; // its shader's declaration name
    bool toolkit = false;
    std::optional<float> intensity;
    std::optional<std::array<float, 4>> color;
};

struct WatchedGroup {
    std::string name;
    std::vector<WatchedLight> lights;
};

struct WatchedFrame {
    int width = 0, height = 0;
    int frame = 0;   // the camera's frame number
    int buckets = 0; // bucket_done() calls to come
    int pixel_size = 0;
    std::array<int, 4> window{}; // pixels rendered: x in [0], [2]), y in [1], [3])
    std::vector<WatchedLayer> layers;
    std::vector<WatchedGroup> groups; // the light groups, in layer order, without the rest
};

class FrameWatch {
  public:
    virtual ~FrameWatch() = default;
    // Before the first bucket.
    virtual void frame_started(const WatchedFrame& frame) = 0;
    // From the render thread that finished the bucket, once per bucket (empty when it lies outside
    // the window): pixels [x0, x1) x [y0, y1) row after row from y0, pixel_size floats each. Must
    // be quick and must never wait on anything but a short lock.
    virtual void bucket_done(int x0, int y0, int x1, int y1, const float* pixels) = 0;
    // After a bucket: the share of the frame's work done and the seconds left as the frame
    // estimates them (none yet when nothing has cost anything). From a render thread; quick.
    virtual void progress(double /*share*/, std::optional<double> /*seconds_left*/) {}
    // After the outputs ran: layer_pixels[i] holds layer i's pixels as the files got them, row 0
    // at the bottom; `interrupted` when the frame did not finish.
    virtual void frame_finished(const std::vector<const float*>& layer_pixels, bool interrupted) = 0;
};

} // namespace orn
