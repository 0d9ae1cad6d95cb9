#include "render/output_shader_file.h"

namespace orn {

std::string output_shader_file(const Database& db, const miFunction& f) {
    if (!f.decl || f.decl->decl.name != "orn_OpenEXR_saver") return {};
    for (const FieldLayout& field : f.decl->layout.fields) {
        if (field.name != "fileName" || field.type != scene::ParamType::String || field.is_array) continue;
        return scene_string(db, f, field).value_or(std::string());
    }
    return {};
}

} // namespace orn
