// A rendering session: reads scene files into a database, loads the modules they link,
// and renders each `render` statement.
#pragma once

#include "db/database.h"
#include "db/module_loader.h"
#include "render/frame.h"
#include "render/world.h"
#include "scene/ast.h"

#include <memory>
#include <string>
#include <vector>

namespace orn {

struct SessionOptions {
    std::vector<std::string> include_paths; // searched after the including file's directory
    std::vector<std::string> module_dirs;   // searched after the scene file's directory
    RenderSettings render;
};

// `pattern` with each run of '#' replaced by `frame`, padded with zeros to the run's length
// ("shot.####.exr", 7 -> "shot.0007.exr").
std::string frame_name(const std::string& pattern, int frame);

class Session {
  public:
    explicit Session(SessionOptions options = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Reads and builds a scene; false (errors printed with file, line and column) when the
    // scene has errors, in which case nothing may be rendered from it.
    bool load_file(const std::string& path);
    bool load_string(const std::string& text, const std::string& name = "<string>");
    // Renders every render statement read so far.
    bool render_all();
    // Hands a frame number to the scene read so far: every camera's frame becomes `frame`, and
    // each run of '#' in its file outputs' names becomes the number padded with zeros to the
    // run's length. False (with a message) when `sequence` is set and a file output has no '#',
    // since every frame would then write over the same file.
    bool set_frame(int frame, bool sequence);

    // The frame of a render statement, prepared for shading by hand (tests, benchmarks).
    std::unique_ptr<Frame> make_frame(size_t render_index = 0);

    Database& db() { return db_; }
    const std::vector<scene::Diagnostic>& errors() const { return errors_; }
    const std::vector<scene::RenderStmt>& renders() const { return renders_; }
    World* world() { return world_.get(); }

  private:
    bool render_one(size_t index);
    bool build(const std::vector<scene::Statement>& statements,
               const std::vector<scene::Diagnostic>& parse_errors, bool parsed);

    SessionOptions options_;
    Database db_;
    ModuleLoader modules_;
    std::vector<scene::Diagnostic> errors_;
    std::vector<scene::RenderStmt> renders_;
    std::unique_ptr<World> world_;
};

} // namespace orn
