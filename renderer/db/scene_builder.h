// Turns the statements of a scene file into database elements: loads linked modules,
// binds declarations to module code, builds parameter blocks and resolves names.
#pragma once

#include "db/database.h"
#include "db/module_loader.h"
#include "scene/ast.h"

#include <string>
#include <unordered_set>
#include <vector>

namespace orn {

class SceneBuilder {
  public:
    SceneBuilder(Database& db, ModuleLoader& modules, std::vector<std::string> module_dirs)
        : db_(db), modules_(modules), module_dirs_(std::move(module_dirs)) {}

    // Adds the statements to the database; false when any statement had an error. Objects take
    // their meshes and hairs over: the statements are left without them.
    bool add(std::vector<scene::Statement>& statements);
    const std::vector<scene::Diagnostic>& errors() const { return errors_; }
    const std::vector<scene::RenderStmt>& renders() const { return renders_; }

  private:
    void error(const scene::SourceLoc& loc, std::string message);
    void warning(const scene::SourceLoc& loc, const std::string& message);
    void sampling(const scene::OptionsStmt& s, miOptions& o);
    void on(const scene::LinkStmt& s);
    void on(const scene::ShaderDecl& s);
    void on(const scene::ShaderInstanceStmt& s);
    void on(const scene::MaterialStmt& s);
    void on(const scene::LightStmt& s);
    void on(scene::ObjectStmt& s);
    void on(const scene::InstanceStmt& s);
    void on(const scene::InstgroupStmt& s);
    void on(const scene::CameraStmt& s);
    void on(const scene::OptionsStmt& s);
    void on(const scene::VerboseStmt& s);
    void on(const scene::CallStmt& s);
    void on(const scene::TextureStmt& s);
    void on(const scene::RenderStmt& s);
    friend class Session;

  public:
    bool bind_code(Declaration& d, const scene::SourceLoc& loc);

  private:
    miTag shader_ref(const scene::ShaderRef& ref, const char* what);
    bool fill_value(miFunction& f, const FieldLayout& field, unsigned char* at, const scene::Value& v,
                    const std::string& shader);
    bool names_a_light(miTag tag) const;
    miTag add_named(std::unique_ptr<Element> e, const scene::SourceLoc& loc);
    bool fill_single(const FieldLayout& field, unsigned char* at, const scene::Value& v,
                     const std::string& shader);

    Database& db_;
    ModuleLoader& modules_;
    std::vector<std::string> module_dirs_;
    std::vector<scene::Diagnostic> errors_;
    std::vector<scene::RenderStmt> renders_;
    std::unordered_set<std::string> failed_;
};

} // namespace orn
