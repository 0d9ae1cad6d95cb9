// Scene preparation for shaders that run before the frame: declarations, shader calls
// and the camera's output list. Every string handed in is the renderer's to free.
#include "api/api_common.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

// A parameter declaration built with mi_api_parameter_decl; lists are chained by `next`.
struct miParameter {
    orn::scene::ParamDecl decl;
    miParameter* next = nullptr;
};

using namespace orn;

namespace {

// Strings given to scene-construction calls were allocated by mi_mem_strdup.
scene::ParamType param_type(int type) {
    switch (type) {
    case miTYPE_BOOLEAN:
        return scene::ParamType::Boolean;
    case miTYPE_INTEGER:
        return scene::ParamType::Integer;
    case miTYPE_SCALAR:
        return scene::ParamType::Scalar;
    case miTYPE_STRING:
        return scene::ParamType::String;
    case miTYPE_COLOR:
        return scene::ParamType::Color;
    case miTYPE_VECTOR:
        return scene::ParamType::Vector;
    case miTYPE_TRANSFORM:
        return scene::ParamType::Transform;
    case miTYPE_SHADER:
        return scene::ParamType::Shader;
    case miTYPE_SCALAR_TEX:
        return scene::ParamType::ScalarTexture;
    case miTYPE_COLOR_TEX:
        return scene::ParamType::ColorTexture;
    case miTYPE_VECTOR_TEX:
        return scene::ParamType::VectorTexture;
    case miTYPE_LIGHT:
        return scene::ParamType::Light;
    case miTYPE_STRUCT:
        return scene::ParamType::Struct;
    case miTYPE_MATERIAL:
        return scene::ParamType::Material;
    case miTYPE_GEOMETRY:
        return scene::ParamType::Geometry;
    default:
        return scene::ParamType::Data;
    }
}

void free_list(miParameter* p) {
    while (p) {
        miParameter* next = p->next;
        delete p;
        p = next;
    }
}

// Scene preparation runs on one thread before the frame; these hold the call in progress.
struct Pending {
    std::unique_ptr<DeclElement> decl;
    std::unique_ptr<FunctionElement> call;
    const FieldLayout* field = nullptr;
};
Pending& pending() {
    static thread_local Pending p;
    return p;
}

} // namespace

ORN_API miParameter* mi_api_parameter_decl(int type, char* name, int) {
    auto* p = new miParameter;
    p->decl.name = take_string(name);
    p->decl.type = param_type(type);
    return p;
}

ORN_API miParameter* mi_api_parameter_append(miParameter* list, miParameter* param) {
    if (!list) return param;
    miParameter* last = list;
    while (last->next)
        last = last->next;
    last->next = param;
    return list;
}

ORN_API miFunction_decl* mi_api_funcdecl_begin(miParameter* result, char* name, miParameter* params) {
    Pending& p = pending();
    p.decl = std::make_unique<DeclElement>(take_string(name));
    scene::ShaderDecl& d = p.decl->declaration.decl;
    d.name = p.decl->name;
    d.loc.file = "(declared by a shader)";
    if (result && !result->next) {
        d.result.type = result->decl.type;
    } else if (result) {
        d.result.type = scene::ParamType::Struct;
        for (miParameter* r = result; r; r = r->next)
            d.result.members.push_back(r->decl);
    } else {
        d.result.type = scene::ParamType::Boolean;
    }
    for (miParameter* q = params; q; q = q->next)
        d.params.push_back(q->decl);
    free_list(result);
    free_list(params);
    return &p.decl->declaration.c_record;
}

ORN_API miTag mi_api_funcdecl_end(void) {
    Pending& p = pending();
    Database* db = Database::current();
    if (!p.decl || !db) return miNULLTAG;
    Declaration& d = p.decl->declaration;
    d.decl.version = d.c_record.version;
    d.layout = compute_layout(d.decl.params);
    d.defaults.assign((d.layout.size + 3) / 4, 0u);
    d.result_bytes = result_size(d.decl.result);
    if (db->code_binder) db->code_binder(d);
    return db->add(std::move(p.decl));
}

ORN_API struct miFunction_decl* mi_api_decl_lookup(char* name) {
    Database* db = Database::current();
    const std::string n = take_string(name);
    auto* d = db ? db->get_as<DeclElement>(db->lookup(n), miSCENE_FUNCTION_DECL) : nullptr;
    return d ? &d->declaration.c_record : nullptr;
}

ORN_API miBoolean mi_api_function_call(char* name) {
    Pending& p = pending();
    p.call.reset();
    p.field = nullptr;
    Database* db = Database::current();
    const std::string n = take_string(name);
    auto* d = db ? db->get_as<DeclElement>(db->lookup(n), miSCENE_FUNCTION_DECL) : nullptr;
    if (!d) return miFALSE;
    Declaration& decl = d->declaration;
    if (!decl.code && db->code_binder) db->code_binder(decl);
    p.call = std::make_unique<FunctionElement>("");
    miFunction& f = p.call->function;
    f.decl = &decl;
    f.name = n;
    f.block_size = decl.layout.size;
    f.storage = decl.defaults;
    return miTRUE;
}

ORN_API miBoolean mi_api_parameter_name(char* name) {
    Pending& p = pending();
    const std::string n = take_string(name);
    p.field = nullptr;
    if (!p.call) return miFALSE;
    for (const auto& f : p.call->function.decl->layout.fields)
        if (f.name == n && !f.is_array) p.field = &f;
    return p.field ? miTRUE : miFALSE;
}

ORN_API miBoolean mi_api_parameter_value(int type, void* value, int*, int*) {
    Pending& p = pending();
    Database* db = Database::current();
    if (!p.call || !p.field || !db) {
        if (type == miTYPE_STRING) std::free(value);
        return miFALSE;
    }
    auto* at = reinterpret_cast<unsigned char*>(p.call->function.storage.data()) + p.field->offset;
    switch (type) {
    case miTYPE_STRING: {
        const miTag tag = db->add_string(take_string(static_cast<char*>(value)));
        std::memcpy(at, &tag, sizeof tag);
        break;
    }
    case miTYPE_BOOLEAN:
    case miTYPE_INTEGER:
    case miTYPE_SCALAR:
    case miTYPE_SHADER:
    case miTYPE_LIGHT:
    case miTYPE_MATERIAL:
    case miTYPE_GEOMETRY:
    case miTYPE_DATA:
        if (!value) return miFALSE;
        std::memcpy(at, value, 4);
        break;
    case miTYPE_COLOR:
        if (!value) return miFALSE;
        std::memcpy(at, value, 16);
        break;
    case miTYPE_VECTOR:
        if (!value) return miFALSE;
        std::memcpy(at, value, 12);
        break;
    default:
        return miFALSE;
    }
    p.field = nullptr;
    return miTRUE;
}

ORN_API miTag mi_api_function_call_end(miTag) {
    Pending& p = pending();
    Database* db = Database::current();
    if (!p.call || !db) return miNULLTAG;
    p.field = nullptr;
    miFunction& f = p.call->function;
    const miTag tag = db->add(std::move(p.call));
    f.tag = tag;
    return tag;
}

// Drops an output list: the camera then has no outputs until a new list is appended.
ORN_API miBoolean mi_api_function_delete(miTag* list) {
    if (!list) return miFALSE;
    Database* db = Database::current();
    if (auto* l = dynamic_cast<OutputListElement*>(db ? db->get(*list) : nullptr)) l->entries.clear();
    *list = miNULLTAG;
    return miTRUE;
}

ORN_API miTag mi_api_output_function_def(miUint, miUint, miTag function) {
    Database* db = Database::current();
    if (!db) return miNULLTAG;
    auto e = std::make_unique<OutputEntryElement>();
    e->entry.is_file = false;
    e->entry.shader = function;
    return db->add(std::move(e));
}

ORN_API miTag mi_api_function_append(miTag list, miTag function) {
    Database* db = Database::current();
    if (!db) return list;
    OutputEntry entry;
    entry.is_file = false;
    if (auto* e = dynamic_cast<OutputEntryElement*>(db->get(function)))
        entry = e->entry;
    else
        entry.shader = function;
    auto* l = dynamic_cast<OutputListElement*>(db->get(list));
    if (!l) {
        auto fresh = std::make_unique<OutputListElement>();
        fresh->entries.push_back(entry);
        return db->add(std::move(fresh));
    }
    l->entries.push_back(entry);
    return list;
}

// One bit per standard image an output reads: colour, depth, normal, motion, label, coverage.
ORN_API miBoolean mi_api_output_type_identify(miUint* type_map, miUint* interp_map, char* types) {
    const std::string text = take_string(types);
    miUint map = 0;
    std::stringstream in(text);
    std::string word;
    while (std::getline(in, word, ',')) {
        if (!word.empty() && (word[0] == '+' || word[0] == '-')) word.erase(0, 1);
        if (word.empty()) continue;
        if (word.rfind("rgb", 0) == 0)
            map |= 1u << 0;
        else if (word == "z")
            map |= 1u << 1;
        else if (word == "n")
            map |= 1u << 2;
        else if (word == "m")
            map |= 1u << 3;
        else if (word == "tag")
            map |= 1u << 4;
        else if (word == "coverage")
            map |= 1u << 5;
        else
            return miFALSE;
    }
    if (type_map) *type_map = map;
    if (interp_map) *interp_map = map;
    return miTRUE;
}
