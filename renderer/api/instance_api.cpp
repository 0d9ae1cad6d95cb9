// Instance redefinition by scene-editing shaders before the frame. Only an existing
// instance can be redefined, over the same item, and only in incremental mode; what changes
// is its material, its override flag and its label, which the frame reads at every hit.
#include "api/api_common.h"

#include "core/messages.h"

#include <cstdlib>
#include <string>

using namespace orn;

namespace {

struct OpenInstance {
    InstanceElement* element = nullptr;
    miInstance staged{}; // what the caller edits until mi_api_instance_end
};

// Scene editing runs on the frame's preparing thread only.
OpenInstance& open_instance() {
    static OpenInstance open;
    return open;
}

} // namespace

ORN_API miBoolean mi_api_incremental(miBoolean on) {
    Database* db = Database::current();
    if (!db) return miFALSE;
    db->incremental = on != miFALSE;
    return miTRUE;
}

ORN_API miInstance* mi_api_instance_begin(char* name) {
    const std::string n = take_string(name);
    OpenInstance& open = open_instance();
    open.element = nullptr;
    Database* db = Database::current();
    if (!db) return nullptr;
    Element* e = db->get(db->lookup(n));
    if (!e) {
        Messages::emitf(
            Severity::Error,
            "mi_api_instance_begin: no instance \"%s\" to redefine (instances cannot be added while "
            "a frame is prepared)",
            n.c_str());
        return nullptr;
    }
    if (e->type != miSCENE_INSTANCE) {
        Messages::emitf(Severity::Error, "mi_api_instance_begin: \"%s\" is not an instance", n.c_str());
        return nullptr;
    }
    if (!db->incremental) {
        Messages::emitf(Severity::Error,
                        "mi_api_instance_begin: instance \"%s\" exists; redefining it needs incremental mode",
                        n.c_str());
        return nullptr;
    }
    open.element = static_cast<InstanceElement*>(e);
    open.staged = open.element->record;
    return &open.staged;
}

ORN_API miTag mi_api_instance_end(char* item_name, miTag, miTag) {
    const std::string item = take_string(item_name);
    OpenInstance& open = open_instance();
    InstanceElement* inst = open.element;
    open.element = nullptr;
    Database* db = Database::current();
    if (!inst || !db) {
        Messages::emit(Severity::Error, "mi_api_instance_end: no instance is being defined");
        return miNULLTAG;
    }
    if (!item.empty() && db->lookup(item) != inst->record.item) {
        Messages::emitf(Severity::Error,
                        "mi_api_instance_end: instance \"%s\" can only be redefined over its own item "
                        "\"%s\", not \"%s\"",
                        inst->name.c_str(), inst->item_name.c_str(), item.c_str());
        return miNULLTAG;
    }
    const miInstance& s = open.staged;
    const auto* material = db->get_as<MaterialElement>(s.material, miSCENE_MATERIAL);
    if (s.material && !material) {
        Messages::emitf(Severity::Error, "mi_api_instance_end: instance \"%s\": tag %u is not a material",
                        inst->name.c_str(), s.material);
        return miNULLTAG;
    }
    inst->record.material = s.material;
    inst->record.mtl_array_size = s.mtl_array_size;
    inst->record.material_override = s.material_override;
    inst->record.label = s.label;
    inst->has_label = true;
    // Later frames of the scene walk the instance again and keep the new material.
    inst->material_names.clear();
    if (material) inst->material_names.push_back(material->name);
    if (Frame* f = frame_of(nullptr)) f->world().redefined(inst);
    return inst->record.parent;
}
