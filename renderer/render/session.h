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
