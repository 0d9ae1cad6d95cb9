// Test support: loads a scene into a real session with the real module, prepares its
// frame, and lets a test trace rays and call shaders on the states the renderer builds.
#pragma once

#include "core/messages.h"
#include "render/frame.h"
#include "render/session.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orn::test {

// Scene preamble: links the module and includes its declarations.
std::string module_preamble();

// Parameter-list entries ("p" 0, ...) that set every non-string parameter of `shader` with a
// declared default back to zero, for scenes whose values assume a block that starts at zero.
std::string zero_defaults(const std::string& shader);

// Collects renderer messages while alive (and keeps them off standard error).
class MessageCapture {
  public:
    MessageCapture();
    ~MessageCapture();
    std::vector<std::string> of(Severity severity) const;
    bool contains(const std::string& fragment) const;
    std::string all() const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::pair<Severity, std::string>> messages_;
};

class SceneFixture {
  public:
    explicit SceneFixture(int threads = 2);
    ~SceneFixture();

    // Loads the scene and prepares the frame of its first render statement.
    bool load(const std::string& scene_text);
    Frame& frame() { return *frame_; }
    Session& session() { return *session_; }

    // A root state for a new eye sample at pixel (x, y).
    miState* root(int x = 0, int y = 0);
    // Traces an eye ray through raster position (rx, ry) without shading; the state of the
    // hit (or null). Its type, levels and options may be changed before calling shaders.
    miState* probe_eye(float rx, float ry);
    // Calls the named shader instance on `state`; its result lands in `result`.
    bool call(const std::string& shader, void* result, miState* state);
    // Calls the named shader on the hit of the eye ray through (rx, ry) as a ray of `type`,
    // with a black result to start from; the result, or (-1, -1, -1, -1) when nothing is hit.
    miColor shade_hit(const std::string& shader, float rx = 50.f, float ry = 50.f, int type = miRAY_EYE);
    // Traces and shades the eye ray through raster position (rx, ry).
    miColor shade(float rx, float ry, bool* hit = nullptr);
    // Hands the eye sample through raster position (rx, ry) to the camera's lens shader.
    miColor through_lens(float rx, float ry);
    // Renders all pixels and resolves the film.
    void render();
    // The values that shader calls made by hand see in a frame buffer (by name, such as a tk
    // pass buffer) at the current eye sample; null when the camera has no such buffer.
    float* sample_buffer(const std::string& name);

  private:
    std::unique_ptr<Session> session_;
    std::unique_ptr<Frame> frame_;
};

// Renders `scene_text` on `threads` threads with its camera writing float RGBA to an EXR file
// and returns that file's samples; empty (with a test failure) when anything fails.
std::vector<float> rendered_rgba(std::string scene_text, int threads);

// A shell command's exit status (-1 when it did not exit) and its standard error and output
// together; run_ornrender() runs the build's `ornrender ARGS`.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult run_command(const std::string& command);
CommandResult run_ornrender(const std::string& args);

// A file path inside a fresh temporary directory of this test and this process, and that
// directory itself.
std::string temp_path(const std::string& name);
std::string test_dir();

} // namespace orn::test
