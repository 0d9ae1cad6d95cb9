// A rendering session: reads scene files into a database, loads the modules they link,
// and renders each `render` statement.
#pragma once

#include "db/database.h"
#include "db/module_loader.h"
#include "render/frame.h"
#include "render/world.h"
#include "scene/ast.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orn {

struct SessionOptions {
    std::vector<std::string> include_paths; // searched after the including file's directory
    std::vector<std::string> module_dirs;   // searched first, before the renderer's and the scene's directory
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
    // Builds statements as the scene reader makes them, for scenes a program generates
    // (benchmarks of big scenes).
    bool load_statements(std::vector<scene::Statement> statements);
    // Renders every render statement read so far.
    bool render_all();
    // Hands a frame number to the scene read so far: every camera's frame becomes `frame`, and
    // each run of '#' in its file outputs' names becomes the number padded with zeros to the
    // run's length. False (with a message) when `sequence` is set and a file output has no '#',
    // since every frame would then write over the same file.
    bool set_frame(int frame, bool sequence);
    // Renders part `index` of `count` of every render statement's frame (Frame::render_part) into
    // a part file in `dir` named part_file_name(). False when a frame failed or was interrupted;
    // no part file is then written for it.
    bool render_parts(int index, int count, const std::string& dir);
    // The whole frame of render statement `render` from the film that `load` fills (the merged
    // parts), with every output written as render_all() writes it; with `write` off, only
    // checked up to the outputs (their paths, the parts), and nothing written.
    bool render_merged(size_t render, const std::function<std::optional<std::string>(film::Film&)>& load,
                       bool write = true);
    // The scene files read so far, absolute.
    const std::vector<std::string>& files() const { return files_; }
    // Every file the scenes read so far were made of (scene files, included files, meshes,
    // textures, linked modules), absolute with links resolved, sorted, each once.
    std::vector<std::string> read_files() const;

    // The frame of a render statement, prepared for shading by hand (tests, benchmarks).
    std::unique_ptr<Frame> make_frame(size_t render_index = 0);

    Database& db() { return db_; }
    const std::vector<scene::Diagnostic>& errors() const { return errors_; }
    const std::vector<scene::RenderStmt>& renders() const { return renders_; }
    World* world() { return world_.get(); }

  private:
    bool render_one(size_t index);
    bool build(std::vector<scene::Statement>& statements, const std::vector<scene::Diagnostic>& parse_errors,
               bool parsed);

    SessionOptions options_;
    Database db_;
    ModuleLoader modules_;
    std::vector<scene::Diagnostic> errors_;
    std::vector<scene::RenderStmt> renders_;
    std::unique_ptr<World> world_;
    std::vector<std::string> files_;
    std::vector<std::string> read_; // files of the scenes read, as named in their statements
    bool frame_given_ = false;
};

// "<scene>.<frame>.r<render>.part<index>of<count>.exr": a part's file name, from the first
// scene file's name without its extension and the frame padded to 4 digits.
std::string part_file_name(const std::string& scene, int frame, size_t render, int index, int count);

} // namespace orn
