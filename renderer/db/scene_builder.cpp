#include "db/scene_builder.h"

#include "core/messages.h"
#include "core/nearest_name.h"
#include "db/texture_element.h"
#include "image/image_library.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

namespace fs = std::filesystem;

namespace orn {

using scene::ParamType;
using scene::Value;

namespace {

std::string number_text(double d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", d);
    return buf;
}

// What a value is, as an error message names it: "the number 16.5", not just "numbers".
std::string found_text(const Value& v) {
    switch (v.kind) {
    case Value::Kind::Numbers: {
        if (v.numbers.size() == 1) return "the number " + number_text(v.numbers[0]);
        std::string out = std::to_string(v.numbers.size()) + " numbers";
        // The first few say enough about the slip.
        for (size_t i = 0; i < v.numbers.size() && i < 4; ++i)
            out += (i ? " " : ": ") + number_text(v.numbers[i]);
        return v.numbers.size() > 4 ? out + " ..." : out;
    }
    case Value::Kind::Boolean:
        return v.boolean ? "the switch on" : "the switch off";
    case Value::Kind::String:
        return "the string \"" + v.text + "\"";
    case Value::Kind::Connection:
        return "a connection to shader \"" + v.text + "\"";
    case Value::Kind::Array:
        return "an array of " + std::to_string(v.elements.size()) + " values";
    case Value::Kind::Struct:
        return "a struct";
    }
    return "a value";
}

std::vector<std::string> member_names(const FieldLayout& field) {
    std::vector<std::string> out;
    for (const auto& m : field.members)
        out.push_back(m.name);
    return out;
}

// The elements a tag-valued parameter of this type may name.
std::vector<miScene_types> element_types(ParamType t) {
    switch (t) {
    case ParamType::ColorTexture:
    case ParamType::ScalarTexture:
    case ParamType::VectorTexture:
        return {miSCENE_IMAGE};
    case ParamType::Light:
        return {miSCENE_LIGHT, miSCENE_INSTANCE};
    case ParamType::Material:
        return {miSCENE_MATERIAL};
    case ParamType::Shader:
        return {miSCENE_FUNCTION};
    default:
        return {miSCENE_FUNCTION, miSCENE_MATERIAL, miSCENE_LIGHT,  miSCENE_OBJECT,
                miSCENE_INSTANCE, miSCENE_GROUP,    miSCENE_CAMERA, miSCENE_IMAGE};
    }
}

std::string loc_prefix(const scene::SourceLoc& loc) {
    return loc.file + ":" + std::to_string(loc.line) + ":" + std::to_string(loc.col) + ": ";
}

// The result type a connected shader must have to feed a parameter of type `t`.
bool connectable(ParamType param, const scene::ParamDecl& result) {
    const ParamType r = result.type;
    switch (param) {
    case ParamType::Color:
    case ParamType::ColorTexture:
        return r == ParamType::Color;
    case ParamType::Scalar:
    case ParamType::ScalarTexture:
        return r == ParamType::Scalar;
    case ParamType::Vector:
    case ParamType::VectorTexture:
        return r == ParamType::Vector;
    case ParamType::Boolean:
        return r == ParamType::Boolean || r == ParamType::Integer;
    case ParamType::Integer:
        return r == ParamType::Integer || r == ParamType::Boolean;
    case ParamType::Transform:
        return r == ParamType::Transform;
    default:
        return false;
    }
}

} // namespace

void SceneBuilder::error(const scene::SourceLoc& loc, std::string message) {
    errors_.push_back({loc, std::move(message)});
}

void SceneBuilder::warning(const scene::SourceLoc& loc, const std::string& message) {
    Messages::emit(Severity::Warning, loc_prefix(loc) + message);
}

bool SceneBuilder::add(std::vector<scene::Statement>& statements) {
    // Reading stops at the first error: later statements would only report what follows
    // from it.
    const size_t before = errors_.size();
    for (auto& st : statements) {
        std::visit([this](auto& s) { on(s); }, st);
        if (errors_.size() != before) return false;
    }
    return true;
}

void SceneBuilder::on(const scene::LinkStmt& s) {
    // The directories the user gave (-L), then the renderer's own, then the scene's: a module
    // that happens to lie beside a scene must not replace the renderer's own of the same name.
    // A scene that means another module names it with a path.
    std::vector<std::string> dirs = module_dirs_;
    if (!s.loc.file.empty()) dirs.push_back(fs::path(s.loc.file).parent_path().string());
    for (auto& d : dirs)
        if (d.empty()) d = ".";
    std::string why;
    if (!modules_.load(s.module, dirs, why)) error(s.loc, why);
}

bool SceneBuilder::bind_code(Declaration& d, const scene::SourceLoc& loc) {
    if (d.code) return true;
    const std::string& name = d.decl.name;
    auto fn = reinterpret_cast<ShaderFn>(modules_.find(name));
    if (!fn) return false;
    // A module exports more than shaders (its handle setter, each shader's version, init and
    // exit functions, object callbacks); called as a shader, such a function would get arguments
    // it does not take. A shader is what comes with a version function of its own.
    const auto version = reinterpret_cast<VersionFn>(modules_.find(name + "_version"));
    if (!version) {
        error(loc, "\"" + name +
                       "\" of the linked module is not a shader (a shader comes with its version "
                       "function \"" +
                       name + "_version\"), so it cannot be declared as one");
        return false;
    }
    auto code = std::make_unique<ShaderCode>();
    code->name = name;
    code->fn = fn;
    code->version = version;
    code->init = reinterpret_cast<InitFn>(modules_.find(name + "_init"));
    code->exit = reinterpret_cast<ExitFn>(modules_.find(name + "_exit"));
    if (const int v = version(); v != d.decl.version)
        warning(loc, "shader \"" + name + "\": declared version " + std::to_string(d.decl.version) +
                         " differs from version " + std::to_string(v) + " of the linked module");
    d.code = std::move(code);
    return true;
}

namespace {

// Same parameter names, types and nesting in the same order: the shape of the parameter block.
bool same_shape(const scene::ParamDecl& a, const scene::ParamDecl& b) {
    if (a.name != b.name || a.type != b.type || a.is_array != b.is_array ||
        a.members.size() != b.members.size())
        return false;
    for (size_t i = 0; i < a.members.size(); ++i)
        if (!same_shape(a.members[i], b.members[i])) return false;
    return true;
}

bool same_block(const scene::ShaderDecl& a, const scene::ShaderDecl& b) {
    if (a.params.size() != b.params.size() || !same_shape(a.result, b.result)) return false;
    for (size_t i = 0; i < a.params.size(); ++i)
        if (!same_shape(a.params[i], b.params[i])) return false;
    return true;
}

} // namespace

void SceneBuilder::on(const scene::ShaderDecl& s) {
    // The linked code reads its parameter block as the first declaration laid it out: a later
    // declaration of another shape would let it read past the block.
    if (auto* earlier = db_.get_as<DeclElement>(db_.lookup(s.name), miSCENE_FUNCTION_DECL)) {
        const scene::ShaderDecl& first = earlier->declaration.decl;
        if (!same_block(first, s)) {
            error(s.loc, "shader \"" + s.name + "\" is declared again with other parameters than at " +
                             first.loc.file + ":" + std::to_string(first.loc.line) + ":" +
                             std::to_string(first.loc.col));
            return;
        }
    }
    auto e = std::make_unique<DeclElement>(s.name);
    Declaration& d = e->declaration;
    d.decl = s;
    d.layout = compute_layout(s.params);
    d.defaults.assign((d.layout.size + 3) / 4, 0u);
    auto* block = reinterpret_cast<unsigned char*>(d.defaults.data());
    for (size_t i = 0; i < s.params.size(); ++i) {
        const scene::ParamDecl& p = s.params[i];
        if (!p.default_value) continue;
        switch (p.type) {
        case ParamType::Boolean:
        case ParamType::Integer:
        case ParamType::Scalar:
        case ParamType::String:
        case ParamType::Color:
        case ParamType::Vector:
        case ParamType::Transform:
            fill_single(d.layout.fields[i], block + d.layout.fields[i].offset, *p.default_value, s.name);
            break;
        default:
            error(p.default_value->loc, "parameter \"" + p.name + "\" of shader \"" + s.name + "\" is a " +
                                            scene::to_string(p.type) + " and takes no default");
        }
    }
    d.c_record.version = s.version;
    d.result_bytes = result_size(s.result);
    bind_code(d, s.loc);
    db_.add(std::move(e));
}

// Names a scene element; a name defined before is taken over by the later definition, which a
// user would rather hear about.
miTag SceneBuilder::add_named(std::unique_ptr<Element> e, const scene::SourceLoc& loc) {
    if (!e->name.empty() && db_.lookup(e->name))
        warning(loc, "\"" + e->name + "\" is defined again; the later definition is used");
    return db_.add(std::move(e));
}

// A light, or an instance of one; an instance whose item is not defined yet is taken on trust
// (names are resolved when the frame is set up).
bool SceneBuilder::names_a_light(miTag tag) const {
    if (db_.get_as<LightElement>(tag, miSCENE_LIGHT)) return true;
    auto* inst = db_.get_as<InstanceElement>(tag, miSCENE_INSTANCE);
    if (!inst) return false;
    const miTag item = db_.lookup(inst->item_name);
    return !item || db_.get_as<LightElement>(item, miSCENE_LIGHT);
}

bool SceneBuilder::fill_single(const FieldLayout& field, unsigned char* at, const Value& v,
                               const std::string& shader) {
    auto fail = [&](const std::string& expected) {
        error(v.loc, "parameter \"" + field.name + "\" of shader \"" + shader + "\" expects " + expected +
                         ", found " + found_text(v));
        return false;
    };
    switch (field.type) {
    case ParamType::Boolean: {
        int32_t b;
        if (v.kind == Value::Kind::Boolean)
            b = v.boolean ? 1 : 0;
        else if (v.kind == Value::Kind::Numbers && v.numbers.size() == 1)
            b = v.numbers[0] != 0 ? 1 : 0;
        else
            return fail("on/off");
        std::memcpy(at, &b, 4);
        return true;
    }
    case ParamType::Integer: {
        if (v.kind == Value::Kind::Boolean) {
            int32_t i = v.boolean ? 1 : 0;
            std::memcpy(at, &i, 4);
            return true;
        }
        if (v.kind != Value::Kind::Numbers) return fail("an integer");
        if (v.numbers.size() != 1) return fail("one integer");
        const double d = v.numbers[0];
        if (d != std::floor(d) || d < std::numeric_limits<int32_t>::min() ||
            d > std::numeric_limits<int32_t>::max())
            return fail("an integer");
        int32_t i = int32_t(d);
        std::memcpy(at, &i, 4);
        return true;
    }
    case ParamType::Scalar: {
        if (v.kind != Value::Kind::Numbers) return fail("a number");
        if (v.numbers.size() != 1) return fail("one number");
        float f = float(v.numbers[0]);
        std::memcpy(at, &f, 4);
        return true;
    }
    case ParamType::Color: {
        if (v.kind != Value::Kind::Numbers) return fail("a colour");
        if (v.numbers.size() < 3 || v.numbers.size() > 4) return fail("a colour of 3 or 4 numbers");
        // A colour given as r g b is opaque.
        float c[4] = {float(v.numbers[0]), float(v.numbers[1]), float(v.numbers[2]),
                      v.numbers.size() == 4 ? float(v.numbers[3]) : 1.f};
        std::memcpy(at, c, 16);
        return true;
    }
    case ParamType::Vector: {
        if (v.kind != Value::Kind::Numbers) return fail("a vector");
        if (v.numbers.size() != 3) return fail("a vector of 3 numbers");
        float c[3] = {float(v.numbers[0]), float(v.numbers[1]), float(v.numbers[2])};
        std::memcpy(at, c, 12);
        return true;
    }
    case ParamType::Transform: {
        if (v.kind != Value::Kind::Numbers) return fail("a transform");
        if (v.numbers.size() != 16) return fail("a transform of 16 numbers");
        float c[16];
        for (int i = 0; i < 16; ++i)
            c[i] = float(v.numbers[i]);
        std::memcpy(at, c, 64);
        return true;
    }
    case ParamType::Struct: {
        if (v.kind != Value::Kind::Struct) return fail("a struct");
        for (const auto& [name, mv] : v.members) {
            const FieldLayout* m = nullptr;
            for (const auto& f : field.members)
                if (f.name == name) m = &f;
            if (!m) {
                error(mv.loc, "struct parameter \"" + field.name + "\" of shader \"" + shader +
                                  "\" has no member \"" + name + "\"" +
                                  did_you_mean(name, member_names(field)));
                return false;
            }
            if (m->is_array) {
                error(mv.loc, "arrays inside structs are not supported (\"" + name + "\")");
                return false;
            }
            if (!fill_single(*m, at + m->offset, mv, shader)) return false;
        }
        return true;
    }
    default:
        break;
    }
    // tag-valued types
    miTag tag = miNULLTAG;
    if (field.type == ParamType::String) {
        if (v.kind != Value::Kind::String) return fail("a string");
        tag = db_.add_string(v.text);
    } else {
        if (v.kind != Value::Kind::String) return fail("the name of a scene element");
        tag = db_.lookup(v.text);
        if (!tag && failed_.count(v.text)) return false; // its own error names the cause
        if (!tag) {
            error(v.loc, "parameter \"" + field.name + "\" of shader \"" + shader + "\": unknown element \"" +
                             v.text + "\"" + did_you_mean(v.text, db_.names_of(element_types(field.type))));
            return false;
        }
        if (field.type == ParamType::ColorTexture || field.type == ParamType::ScalarTexture) {
            // Either kind of texture serves either parameter: a grey image gives a grey colour.
            if (!db_.get_as<TextureElement>(tag, miSCENE_IMAGE)) {
                error(v.loc, "parameter \"" + field.name + "\" of shader \"" + shader + "\": \"" + v.text +
                                 "\" is not a texture (declare it with color texture \"" + v.text +
                                 "\" \"file\")");
                return false;
            }
        }
        if (field.type == ParamType::Light && !names_a_light(tag)) {
            error(v.loc, "parameter \"" + field.name + "\" of shader \"" + shader + "\": \"" + v.text +
                             "\" is not a light or a light instance");
            return false;
        }
    }
    std::memcpy(at, &tag, 4);
    return true;
}

bool SceneBuilder::fill_value(miFunction& f, const FieldLayout& field, unsigned char* at, const Value& v,
                              const std::string& shader) {
    if (v.kind == Value::Kind::Connection) {
        if (field.is_array) {
            error(v.loc, "array parameter \"" + field.name + "\" cannot be connected to a shader");
            return false;
        }
        miTag t = db_.lookup(v.text);
        auto* target = db_.get_as<FunctionElement>(t, miSCENE_FUNCTION);
        if (!target) {
            error(v.loc, "parameter \"" + field.name + "\" of shader \"" + shader + "\" is connected to \"" +
                             v.text + "\", which is not a shader");
            return false;
        }
        if (!connectable(field.type, target->function.decl->decl.result)) {
            error(v.loc, "cannot connect shader \"" + v.text + "\" (result " +
                             scene::to_string(target->function.decl->decl.result.type) + ") to parameter \"" +
                             field.name + "\" of type " + scene::to_string(field.type));
            return false;
        }
        f.connections.push_back({field.offset, field.size, &target->function});
        return true;
    }
    if (!field.is_array) return fill_single(field, at, v, shader);

    if (v.kind != Value::Kind::Array) {
        error(v.loc, "parameter \"" + field.name + "\" of shader \"" + shader +
                         "\" expects an array [ ... ], found " + found_text(v));
        return false;
    }
    // Elements go after everything stored so far, at a distance from x[0] that is a whole
    // number of elements, so x[i_x + k] addresses them.
    const size_t elem = field.size;
    const size_t used = f.storage.size() * 4;
    const size_t first = field.array_offset + (used - field.array_offset + elem - 1) / elem * elem;
    const size_t end = first + elem * v.elements.size();
    f.storage.resize((end + 3) / 4, 0u);
    auto* base = reinterpret_cast<unsigned char*>(f.storage.data());
    for (size_t k = 0; k < v.elements.size(); ++k)
        if (!fill_single(field, base + first + k * elem, v.elements[k], shader)) return false;
    const int32_t start = int32_t((first - field.array_offset) / elem);
    const int32_t count = int32_t(v.elements.size());
    std::memcpy(base + field.offset, &start, 4);
    std::memcpy(base + field.offset + 4, &count, 4);
    (void)at;
    return true;
}

void SceneBuilder::on(const scene::ShaderInstanceStmt& s) {
    miTag dt = db_.lookup(s.decl_name);
    auto* de = db_.get_as<DeclElement>(dt, miSCENE_FUNCTION_DECL);
    if (!de) {
        error(s.loc, "unknown shader \"" + s.decl_name + "\" (no declaration)" +
                         did_you_mean(s.decl_name, db_.names_of({miSCENE_FUNCTION_DECL})));
        failed_.insert(s.name);
        return;
    }
    Declaration& d = de->declaration;
    const size_t errors_before = errors_.size();
    if (!bind_code(d, s.loc)) {
        if (errors_.size() == errors_before)
            error(s.loc, "shader \"" + s.decl_name + "\" is declared but no linked module provides it");
        failed_.insert(s.name);
        return;
    }
    auto e = std::make_unique<FunctionElement>(s.name);
    miFunction& f = e->function;
    f.decl = &d;
    f.name = s.name;
    f.block_size = d.layout.size;
    f.storage = d.defaults;
    bool ok = true;
    for (const auto& pv : s.params) {
        const FieldLayout* field = nullptr;
        for (const auto& fl : d.layout.fields)
            if (fl.name == pv.name) field = &fl;
        if (!field) {
            std::vector<std::string> known;
            for (const auto& fl : d.layout.fields)
                known.push_back(fl.name);
            error(pv.loc, "unknown parameter \"" + pv.name + "\" of shader \"" + s.decl_name + "\"" +
                              did_you_mean(pv.name, known));
            ok = false;
            continue;
        }
        auto* base = reinterpret_cast<unsigned char*>(f.storage.data());
        if (!fill_value(f, *field, base + field->offset, pv.value, s.decl_name)) ok = false;
    }
    if (!ok) {
        failed_.insert(s.name);
        return;
    }
    f.tag = add_named(std::move(e), s.loc);
}

miTag SceneBuilder::shader_ref(const scene::ShaderRef& ref, const char* what) {
    miTag t = db_.lookup(ref.instance_name);
    if (!db_.get_as<FunctionElement>(t, miSCENE_FUNCTION)) {
        // A shader that already failed with its own error needs no second one here.
        if (failed_.count(ref.instance_name)) return miNULLTAG;
        error(ref.loc, std::string(what) + " shader \"" + ref.instance_name + "\" is not defined" +
                           did_you_mean(ref.instance_name, db_.names_of({miSCENE_FUNCTION})));
        return miNULLTAG;
    }
    return t;
}

void SceneBuilder::on(const scene::MaterialStmt& s) {
    auto e = std::make_unique<MaterialElement>(s.name);
    e->opaque = s.opaque;
    e->surface = shader_ref(s.surface, "material");
    if (s.shadow) e->shadow = shader_ref(*s.shadow, "shadow");
    if (s.photon) e->photon = shader_ref(*s.photon, "photon");
    if (s.volume) e->volume = shader_ref(*s.volume, "volume");
    if (s.environment) e->environment = shader_ref(*s.environment, "environment");
    if (s.displace) e->displace = shader_ref(*s.displace, "displacement");
    add_named(std::move(e), s.loc);
}

void SceneBuilder::on(const scene::LightStmt& s) {
    auto e = std::make_unique<LightElement>(s.name);
    e->shader = shader_ref(s.shader, "light");
    e->light_group = s.light_group;
    if (s.origin) e->origin = {(*s.origin)[0], (*s.origin)[1], (*s.origin)[2]};
    if (s.direction) e->direction = {(*s.direction)[0], (*s.direction)[1], (*s.direction)[2]};
    if (s.origin && s.direction && s.spread) {
        e->light_type = LightType::Spot;
        e->spread = *s.spread;
    } else if (s.direction && !s.origin) {
        e->light_type = LightType::Directional;
    } else {
        e->light_type = LightType::Point;
    }
    switch (s.area) {
    case scene::LightStmt::Area::None:
        e->area = AreaShape::None;
        break;
    case scene::LightStmt::Area::Rectangle:
        e->area = AreaShape::Rectangle;
        break;
    case scene::LightStmt::Area::Disc:
        e->area = AreaShape::Disc;
        break;
    case scene::LightStmt::Area::Sphere:
        e->area = AreaShape::Sphere;
        break;
    }
    e->area_params = s.area_params;
    e->energy = {s.energy[0], s.energy[1], s.energy[2], 0.f};
    e->samples_u = std::max(1, s.samples_u);
    e->samples_v = std::max(1, s.samples_v);
    // Every shaded point takes the whole grid: its size is counted in 64 bits (65536 x 65536
    // overflows an int) and scaled down to the cap, keeping the grid's proportions.
    const int64_t grid = int64_t(e->samples_u) * int64_t(e->samples_v);
    if (e->area != AreaShape::None && grid > kMaxAreaLightSamples) {
        const double f = std::sqrt(double(kMaxAreaLightSamples) / double(grid));
        int nu = std::clamp(int(double(e->samples_u) * f), 1, kMaxAreaLightSamples);
        const int nv = std::clamp(int(double(e->samples_v) * f), 1, kMaxAreaLightSamples / nu);
        nu = std::min(nu, kMaxAreaLightSamples / nv);
        warning(s.loc, "light \"" + s.name + "\": samples " + std::to_string(e->samples_u) + " " +
                           std::to_string(e->samples_v) + " make " + std::to_string(grid) +
                           " samples per shaded point, more than " + std::to_string(kMaxAreaLightSamples) +
                           "; using " + std::to_string(nu) + " " + std::to_string(nv));
        e->samples_u = nu;
        e->samples_v = nv;
    }
    add_named(std::move(e), s.loc);
}

void SceneBuilder::on(scene::ObjectStmt& s) {
    auto e = std::make_unique<ObjectElement>(s.name);
    e->visible = s.visible;
    e->shadow = s.shadow;
    e->trace = s.trace;
    e->label = s.tag_label;
    // Taken over rather than copied: a big mesh would otherwise be held twice until the
    // statements are gone.
    e->mesh = std::move(s.mesh);
    // Which material each triangle names matters only when some polygon names one.
    if (e->mesh.materials.empty()) std::vector<int>().swap(e->mesh.triangle_material);
    if (s.hair) {
        e->hair = std::make_shared<const scene::HairCurves>(scene::make_curves(*s.hair));
        s.hair.reset();
    }
    e->loc = s.loc;
    e->sync_to_record();
    if (s.transform) warning(s.loc, "object transforms are ignored; place objects with instance transforms");
    add_named(std::move(e), s.loc);
}

void SceneBuilder::on(const scene::InstanceStmt& s) {
    auto e = std::make_unique<InstanceElement>(s.name);
    e->item_name = s.item;
    e->material_names = s.materials;
    e->light_link_names = s.light_link_names;
    e->light_link = InstanceElement::LightLink(int(s.light_link));
    e->transform = s.transform;
    e->motion_transform = s.motion_transform;
    e->has_label = s.has_label;
    e->record.label = miUint(s.label);
    e->record.visible = s.visible.value_or(true);
    e->record.shadow = s.shadow.value_or(true);
    e->record.trace = s.trace.value_or(true);
    if (s.geometry) e->geometry = shader_ref(*s.geometry, "geometry");
    e->loc = s.loc;
    InstanceElement* inst = e.get();
    // Instances are not copied per use here: each record's parent is its own scene instance.
    inst->record.parent = add_named(std::move(e), s.loc);
}

void SceneBuilder::on(const scene::InstgroupStmt& s) {
    auto e = std::make_unique<GroupElement>(s.name);
    e->items = s.items;
    e->loc = s.loc;
    add_named(std::move(e), s.loc);
}

void SceneBuilder::on(const scene::CameraStmt& s) {
    auto e = std::make_unique<CameraElement>(s.name);
    miCamera& c = e->record;
    c.orthographic = s.orthographic;
    c.focal = float(s.focal);
    c.aperture = float(s.aperture);
    c.aspect = float(s.aspect);
    c.clip = {float(s.clip_near), float(s.clip_far)};
    if (!(s.clip_near < s.clip_far))
        error(s.loc, "camera \"" + s.name + "\": clip near " + std::to_string(s.clip_near) +
                         " is not in front of clip far " + std::to_string(s.clip_far));
    c.x_resolution = s.xres;
    c.y_resolution = s.yres;
    c.frame = s.frame;
    c.frame_time = float(s.frame_time);
    if (s.offset) {
        c.x_offset = float((*s.offset)[0]);
        c.y_offset = float((*s.offset)[1]);
    }
    c.window_xl = 0;
    c.window_yl = 0;
    c.window_xh = s.xres;
    c.window_yh = s.yres;
    if (s.window) {
        c.window_xl = (*s.window)[0];
        c.window_yl = (*s.window)[1];
        c.window_xh = (*s.window)[2];
        c.window_yh = (*s.window)[3];
        if (std::max(0, c.window_xl) >= std::min(s.xres, c.window_xh) ||
            std::max(0, c.window_yl) >= std::min(s.yres, c.window_yh))
            error(s.loc, "camera \"" + s.name + "\": window " + std::to_string(c.window_xl) + " " +
                             std::to_string(c.window_yl) + " " + std::to_string(c.window_xh) + " " +
                             std::to_string(c.window_yh) + " holds no pixel of the " +
                             std::to_string(s.xres) + " x " + std::to_string(s.yres) + " image");
    }
    if (s.xres <= 0 || s.yres <= 0 || s.xres > 65536 || s.yres > 65536)
        error(s.loc, "camera \"" + s.name + "\": resolution " + std::to_string(s.xres) + " x " +
                         std::to_string(s.yres) + " is out of range (1 to 65536)");
    if (!(s.focal > 0) || !(s.aperture > 0) || !(s.aspect > 0))
        error(s.loc, "camera \"" + s.name + "\": focal, aperture and aspect must be positive");
    if (s.lens) c.lens = shader_ref(*s.lens, "lens");
    if (s.environment) {
        // A texture there is a latitude-longitude map that the renderer looks up itself.
        const miTag t = db_.lookup(s.environment->instance_name);
        c.environment =
            db_.get_as<TextureElement>(t, miSCENE_IMAGE) ? t : shader_ref(*s.environment, "environment");
    }
    if (s.volume) c.volume = shader_ref(*s.volume, "volume");
    auto list = std::make_unique<OutputListElement>();
    for (const auto& o : s.outputs) {
        OutputEntry out;
        out.is_file = o.kind == scene::OutputStmt::Kind::File;
        out.types = o.types;
        out.format = o.format;
        out.filename = o.filename;
        out.loc = o.loc;
        if (!out.is_file) out.shader = shader_ref(o.shader, "output");
        list->entries.push_back(std::move(out));
    }
    c.output = db_.add(std::move(list));
    auto fbs = std::make_unique<FramebufferElement>();
    for (const auto& fb : s.framebuffers) {
        fbs->buffer(fb.name);
        for (const auto& p : fb.properties) {
            FbValue v;
            switch (p.value.kind) {
            case Value::Kind::String:
                v.kind = FbValue::Kind::String;
                v.text = p.value.text;
                break;
            case Value::Kind::Boolean:
                v.kind = FbValue::Kind::Boolean;
                v.boolean = p.value.boolean;
                break;
            case Value::Kind::Numbers:
                if (p.value.numbers.size() == 1 && p.value.numbers[0] == std::floor(p.value.numbers[0])) {
                    v.kind = FbValue::Kind::Integer;
                    v.integer = int(p.value.numbers[0]);
                    break;
                }
                if (p.value.numbers.size() == 1) {
                    v.kind = FbValue::Kind::Scalar;
                    v.scalar = float(p.value.numbers[0]);
                    break;
                }
                [[fallthrough]];
            default:
                error(p.loc, "frame buffer \"" + fb.name + "\": property \"" + p.name +
                                 "\" takes a string, a switch or one number");
                continue;
            }
            fbs->set(fb.name, p.name, std::move(v));
        }
    }
    c.buffertag = db_.add(std::move(fbs));
    add_named(std::move(e), s.loc);
}

// The sampling levels and contrast as the frame takes them; every value changed is told.
void SceneBuilder::sampling(const scene::OptionsStmt& s, miOptions& o) {
    int lo = s.samples_min, hi = s.samples_max;
    const std::string given = "samples " + std::to_string(lo) + " " + std::to_string(hi);
    if (hi > 4) {
        warning(s.loc, given + ": " + std::to_string(hi) + " is more than 4 (256 per pixel); using 4");
        hi = 4;
    } else if (hi < 0) {
        warning(s.loc, given + ": a maximum below 0 takes no fewer samples than 0 (one per pixel); using 0");
        hi = 0;
    }
    // Fewer samples than pixels are not taken: a negative minimum counts as 0, one per pixel.
    if (lo < 0) {
        if (s.samples_given && s.samples_min != s.samples_max)
            warning(s.loc, given + ": every pixel takes at least one sample; the minimum " +
                               std::to_string(lo) + " counts as 0");
        lo = 0;
    }
    if (lo > hi) {
        warning(s.loc, given + ": the minimum is above the maximum; using " + std::to_string(hi) + " " +
                           std::to_string(hi));
        lo = hi;
    }
    o.min_samples = lo;
    o.max_samples = hi;
    static const char* const channel[4] = {"red", "green", "blue", "alpha"};
    float c[4];
    for (int i = 0; i < 4; ++i) {
        const double v = s.contrast[size_t(i)];
        c[i] = float(v);
        if (!(v >= 0.0)) {
            char text[64];
            std::snprintf(text, sizeof text, "%g", v);
            warning(s.loc, "contrast " + std::string(channel[i]) + " " + text +
                               " is not a contrast (0 or more); using 0.1");
            c[i] = 0.1f;
        }
    }
    o.contrast = {c[0], c[1], c[2], c[3]};
}

void SceneBuilder::on(const scene::OptionsStmt& s) {
    auto e = std::make_unique<OptionsElement>(s.name);
    miOptions& o = e->record;
    o.trace = s.trace;
    sampling(s, o);
    o.reflection_depth = s.reflection_depth;
    o.refraction_depth = s.refraction_depth;
    o.trace_depth = s.trace_depth;
    o.shadow = s.shadow == "off" ? 0 : s.shadow == "segments" ? 's' : s.shadow == "sort" ? 'e' : 'l';
    o.scanline = s.scanline == "off" ? 0 : (s.scanline == "rasterizer" || s.scanline == "rapid") ? 'r' : 1;
    o.filter_size_x = float(s.filter_w);
    o.filter_size_y = float(s.filter_h);
    e->filter = s.filter;
    e->string_options = s.string_options;
    e->light_groups = s.light_groups;
    e->light_groups_on = s.light_groups_on;
    e->mattes = s.mattes;
    e->matte_depth = s.matte_depth;
    // Deeper ray trees than this add nothing visible and can take forever.
    constexpr int kMaxDepth = 64;
    for (int* depth : {&o.reflection_depth, &o.refraction_depth, &o.trace_depth})
        if (*depth > kMaxDepth) {
            warning(s.loc, "trace depth " + std::to_string(*depth) + " is more than " +
                               std::to_string(kMaxDepth) + "; using " + std::to_string(kMaxDepth));
            *depth = kMaxDepth;
        }
    bool single_ray = false;
    if (e->get("lens single ray", &single_ray)) o.lens_single_ray = single_ray ? 1u : 0u;
    OptionsElement* raw = e.get();
    raw->record.string_options = add_named(std::move(e), s.loc);
}

// The command line sets the message level (ornrender -v); a scene's own verbose statement
// is read for compatibility and has no effect.
void SceneBuilder::on(const scene::VerboseStmt&) {}

void SceneBuilder::on(const scene::CallStmt& s) {
    const miTag t = shader_ref({s.shader, s.loc}, "called");
    if (t) db_.calls.push_back(t);
}

void SceneBuilder::on(const scene::TextureStmt& s) {
    // Read now (every pixel), so a scene with a missing or damaged file renders nothing.
    const std::string problem = image::texture_file_problem(s.path);
    if (!problem.empty()) {
        std::error_code ec;
        const std::string resolved = fs::absolute(s.path, ec).lexically_normal().string();
        error(s.loc, "texture \"" + s.name + "\": cannot read \"" + s.file + "\" (looked for \"" +
                         (ec ? s.path : resolved) + "\"): " + problem);
        failed_.insert(s.name);
        return;
    }
    auto e = std::make_unique<TextureElement>(
        s.name, s.scalar ? TextureElement::Kind::Scalar : TextureElement::Kind::Color, s.path);
    e->loc = s.loc;
    add_named(std::move(e), s.loc);
}

void SceneBuilder::on(const scene::RenderStmt& s) {
    renders_.push_back(s);
}

} // namespace orn
