#include "render/output_shader_file.h"

#include <cstring>

namespace orn {

std::string output_shader_file(const Database& db, const miFunction& f) {
    if (!f.decl || f.decl->decl.name != "orn_OpenEXR_saver") return {};
    for (const FieldLayout& field : f.decl->layout.fields) {
        if (field.name != "fileName" || field.type != scene::ParamType::String || field.is_array) continue;
        if (field.offset + sizeof(miTag) > f.block_size) return {};
        const auto* base = reinterpret_cast<const unsigned char*>(f.storage.data());
        if (f.connection_at(base + field.offset)) return {};
        miTag tag = miNULLTAG;
        std::memcpy(&tag, base + field.offset, sizeof tag);
        const auto* text = db.get_as<StringElement>(tag, miSCENE_STRING);
        return text ? text->text : std::string();
    }
    return {};
}

} // namespace orn
