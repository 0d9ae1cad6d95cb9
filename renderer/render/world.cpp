#include "render/world.h"

#include "core/nearest_name.h"
#include "render/frame.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace orn {

namespace {

// How materials come down an instance path, the same for the walk and for a redefinition before
// the frame: an instance's own material replaces the one it inherits unless an instance above
// overrides the materials below it, and an overriding instance with a material (its own or an
// inherited one) does that for everything below it, the polygons' own materials too.
void inherit_material(miTag own, bool overrides, miTag& material, bool& overridden) {
    if (own && !overridden) material = own;
    overridden = overridden || (overrides && material);
}

void fail(std::vector<scene::Diagnostic>& errors, const scene::SourceLoc& loc, std::string msg) {
    errors.push_back({loc, std::move(msg)});
}
} // namespace

bool World::run_geometry_shader(Database& db, InstanceElement* inst, std::vector<scene::Diagnostic>& errors) {
    auto* fe = db.get_as<FunctionElement>(inst->geometry, miSCENE_FUNCTION);
    if (inst->geometry_failed || !fe) return false;
    miFunction& f = fe->function;
    const auto* code = f.decl && f.decl->code ? f.decl->code.get() : nullptr;
    if (!code || !code->fn) {
        fail(errors, inst->loc,
             "instance \"" + inst->name + "\": geometry shader \"" + fe->name +
                 "\" has no code in a linked module");
        inst->geometry_failed = true;
        return false;
    }
    // Geometry shaders see constant parameters (no shader connections: nothing is rendering
    // yet) and start outside incremental mode, so the objects they make are new ones.
    miState state{};
    state.version = 1;
    state.type = miRAY_NONE;
    state.options = options_ ? &options_->record : nullptr;
    state.shader = &f;
    const bool incremental = db.incremental;
    db.incremental = false;
    // The result storage is as large as the declared result, whatever the shader returns.
    std::vector<unsigned char> storage(std::max(sizeof(miTag), f.decl->result_bytes));
    const miBoolean ok = code->fn(storage.data(), &state, f.block());
    db.incremental = incremental;
    miTag result = miNULLTAG;
    std::memcpy(&result, storage.data(), sizeof result);
    std::vector<miTag> items;
    if (auto* list = dynamic_cast<GeometryListElement*>(db.get(result)))
        items = list->items;
    else if (result)
        items = {result};
    if (!ok || items.empty()) {
        fail(errors, inst->loc,
             "instance \"" + inst->name + "\": geometry shader \"" + fe->name + "\" " +
                 (ok ? "made no geometry" : "failed"));
        inst->geometry_failed = true;
        return false;
    }
    inst->geometry_items = std::move(items);
    if (inst->item_name.empty()) {
        const Element* first = db.get(inst->geometry_items.front());
        inst->item_name = first ? first->name : std::string();
    }
    inst->record.item = inst->geometry_items.front();
    return true;
}

bool World::build_placeholder(Database& db, ObjectElement* obj, const InstanceElement* inst,
                              std::vector<scene::Diagnostic>& errors) {
    // Whatever happens, the callback runs once: a failed one is not retried on every frame.
    obj->built = true;
    const bool incremental = db.incremental;
    db.incremental = false;
    db.expanding = obj;
    const miBoolean ok = obj->callback ? obj->callback(obj->tag, obj->callback_args) : miFALSE;
    db.expanding = nullptr;
    db.incremental = incremental;
    if (!ok) {
        fail(errors, inst->loc,
             "instance \"" + inst->name + "\": the callback that builds object \"" + obj->name + "\" failed");
        return false;
    }
    return true;
}

bool World::walk(Database& db, const std::string& name, const Matrix& parent, const Matrix& parent_end,
                 miTag inherited_material, const scene::SourceLoc& loc, int depth,
                 std::vector<scene::Diagnostic>& errors, bool overridden) {
    if (depth > 64) {
        fail(errors, loc, "instance groups nest deeper than 64 levels (a group containing itself?)");
        return false;
    }
    Element* e = db.get(db.lookup(name));
    if (!e) {
        fail(errors, loc,
             "unknown instance or instgroup \"" + name + "\"" +
                 did_you_mean(name, db.names_of({miSCENE_INSTANCE, miSCENE_GROUP})));
        return false;
    }
    if (e->type == miSCENE_GROUP) {
        auto* g = static_cast<GroupElement*>(e);
        for (const auto& item : g->items)
            if (!walk(db, item, parent, parent_end, inherited_material, g->loc, depth + 1, errors,
                      overridden))
                return false;
        return true;
    }
    if (e->type != miSCENE_INSTANCE) {
        fail(errors, loc,
             "\"" + name + "\" is not an instance or instgroup" +
                 did_you_mean(name, db.names_of({miSCENE_INSTANCE, miSCENE_GROUP})));
        return false;
    }
    auto* inst = static_cast<InstanceElement*>(e);
    const Matrix local = inst->transform ? Matrix::from(*inst->transform) : Matrix::identity();
    const Matrix w2l = parent * local;
    Matrix l2w;
    if (!w2l.inverse(l2w)) {
        fail(errors, inst->loc, "instance \"" + inst->name + "\" has a singular transform");
        return false;
    }
    w2l.to_floats(inst->record.tf_global_to_local);
    l2w.to_floats(inst->record.tf_local_to_global);
    // Where the instance is at the end of the shutter interval: its motion transform, else
    // its transform, under the parent's end position.
    const Matrix w2l_end =
        parent_end * (inst->motion_transform ? Matrix::from(*inst->motion_transform) : local);
    Matrix l2w_end;
    if (!w2l_end.inverse(l2w_end)) {
        fail(errors, inst->loc, "instance \"" + inst->name + "\" has a singular motion transform");
        return false;
    }
    (inst->motion_transform ? w2l_end : Matrix::identity()).to_floats(inst->record.motion_transform);

    miTag own = miNULLTAG;
    if (!inst->material_names.empty()) {
        own = db.lookup(inst->material_names.front());
        if (!db.get_as<MaterialElement>(own, miSCENE_MATERIAL)) {
            fail(errors, inst->loc,
                 "instance \"" + inst->name + "\": unknown material \"" + inst->material_names.front() +
                     "\"" + did_you_mean(inst->material_names.front(), db.names_of({miSCENE_MATERIAL})));
            return false;
        }
        inst->record.material = own;
    }
    miTag material = inherited_material;
    bool override_below = overridden;
    inherit_material(own, inst->record.material_override, material, override_below);
    // Light links are looked up once here, not on every light sample.
    inst->light_link_tags.clear();
    for (const auto& name : inst->light_link_names) {
        const miTag t = db.lookup(name);
        const Element* linked = db.get(t);
        // A light instance may not have been walked yet: follow its item by name.
        const Element* item = linked && linked->type == miSCENE_INSTANCE
                                  ? db.get(db.lookup(static_cast<const InstanceElement*>(linked)->item_name))
                                  : linked;
        if (!item || item->type != miSCENE_LIGHT) {
            fail(errors, inst->loc,
                 "instance \"" + inst->name + "\": light link \"" + name + "\" is not a light" +
                     (linked ? std::string()
                             : did_you_mean(name, db.names_of({miSCENE_LIGHT, miSCENE_INSTANCE}))));
            return false;
        }
        inst->light_link_tags.push_back(t);
    }
    if (inst->geometry) {
        if (inst->geometry_items.empty() && !run_geometry_shader(db, inst, errors)) return false;
        for (miTag t : inst->geometry_items)
            if (!place(db, inst, t, {w2l, w2l_end, l2w, l2w_end}, material, depth, errors, override_below))
                return false;
        return true;
    }
    miTag item_tag = db.lookup(inst->item_name);
    if (!db.get(item_tag)) {
        fail(errors, inst->loc,
             "instance \"" + inst->name + "\": unknown item \"" + inst->item_name + "\"" +
                 did_you_mean(inst->item_name, db.names_of({miSCENE_OBJECT, miSCENE_LIGHT, miSCENE_CAMERA,
                                                            miSCENE_GROUP, miSCENE_INSTANCE})));
        return false;
    }
    inst->record.item = item_tag;
    return place(db, inst, item_tag, {w2l, w2l_end, l2w, l2w_end}, material, depth, errors, override_below);
}

bool World::place(Database& db, InstanceElement* inst, miTag item_tag, const Placement& at, miTag material,
                  int depth, std::vector<scene::Diagnostic>& errors, bool overridden) {
    const Matrix &w2l = at.w2l, &l2w = at.l2w, &l2w_end = at.l2w_end;
    Element* item = db.get(item_tag);
    switch (item->type) {
    case miSCENE_GROUP: {
        path_.push_back(inst);
        const bool ok =
            walk(db, item->name, w2l, at.w2l_end, material, inst->loc, depth + 1, errors, overridden);
        path_.pop_back();
        return ok;
    }
    case miSCENE_INSTANCE:
        fail(errors, inst->loc, "instance \"" + inst->name + "\" names another instance; use an instgroup");
        return false;
    case miSCENE_CAMERA:
        if (inst->name == camera_instance_name_) {
            camera_ = static_cast<CameraElement*>(item);
            camera_instance_ = inst;
            world_to_camera_ = w2l;
            camera_to_world_ = l2w;
        }
        return true;
    case miSCENE_LIGHT: {
        WorldLight wl;
        wl.instance = inst;
        wl.light = static_cast<LightElement*>(item);
        wl.world_to_light = w2l;
        wl.light_to_world = l2w;
        wl.origin = l2w.point(wl.light->origin);
        wl.direction = normalized(l2w.vector(wl.light->direction));
        lights_.push_back(wl);
        return true;
    }
    case miSCENE_OBJECT: {
        auto* obj = static_cast<ObjectElement*>(item);
        if (!obj->built && !build_placeholder(db, obj, inst, errors)) return false;
        WorldInstance wi;
        wi.instance = inst;
        wi.object = obj;
        wi.world_to_object = w2l;
        wi.object_to_world = l2w;
        wi.object_to_world_end = l2w_end;
        wi.moves =
            l2w_end.m != l2w.m || !obj->mesh.motion.empty() || (obj->hair && !obj->hair->end_points.empty());
        wi.default_material = material;
        wi.material_override = overridden;
        wi.ancestors = path_;
        for (const auto& mname : obj->mesh.materials) {
            miTag m = db.lookup(mname);
            if (!db.get_as<MaterialElement>(m, miSCENE_MATERIAL)) {
                fail(errors, obj->loc,
                     "object \"" + obj->name + "\": unknown material \"" + mname + "\"" +
                         did_you_mean(mname, db.names_of({miSCENE_MATERIAL})));
                return false;
            }
            wi.polygon_materials.push_back(m);
        }
        if (!inst->has_label) inst->record.label = miUint(obj->label);
        inst->record.visible = inst->record.visible && obj->visible;
        inst->record.shadow = inst->record.shadow && obj->shadow;
        inst->record.trace = inst->record.trace && obj->trace;
        instances_.push_back(std::move(wi));
        return true;
    }
    default:
        fail(errors, inst->loc,
             "instance \"" + inst->name + "\": \"" + inst->item_name +
                 "\" is not an object, light, camera or instgroup");
        return false;
    }
}

void World::redefined(const InstanceElement* instance) {
    for (WorldInstance& wi : instances_) {
        if (wi.instance != instance &&
            std::find(wi.ancestors.begin(), wi.ancestors.end(), instance) == wi.ancestors.end())
            continue;
        miTag material = miNULLTAG;
        bool overridden = false;
        for (const InstanceElement* a : wi.ancestors)
            inherit_material(a->record.material, a->record.material_override, material, overridden);
        inherit_material(wi.instance->record.material, wi.instance->record.material_override, material,
                         overridden);
        wi.default_material = material;
        wi.material_override = overridden;
    }
}

bool World::build(Database& db, const scene::RenderStmt& render, std::vector<scene::Diagnostic>& errors) {
    const size_t before = errors.size();
    options_ = db.get_as<OptionsElement>(db.lookup(render.options), miSCENE_OPTIONS);
    if (!options_)
        fail(errors, render.loc,
             "render: unknown options \"" + render.options + "\"" +
                 did_you_mean(render.options, db.names_of({miSCENE_OPTIONS})));
    camera_instance_name_ = render.camera_instance;
    auto* cam_inst = db.get_as<InstanceElement>(db.lookup(render.camera_instance), miSCENE_INSTANCE);
    if (!cam_inst)
        fail(errors, render.loc,
             "render: unknown camera instance \"" + render.camera_instance + "\"" +
                 did_you_mean(render.camera_instance, db.names_of({miSCENE_INSTANCE})));
    if (errors.size() == before)
        walk(db, render.root, Matrix::identity(), Matrix::identity(), miNULLTAG, render.loc, 0, errors);
    // Only a walk that went through can tell that the camera is missing from it.
    if (cam_inst && !camera_ && errors.size() == before)
        fail(errors, render.loc,
             "render: \"" + render.camera_instance + "\" is not an instance of a camera inside instgroup \"" +
                 render.root + "\"");
    if (errors.size() != before) return false;

    geometry_ = std::make_unique<GeometryScene>();
    for (auto& wi : instances_) {
        unsigned mask = 0;
        if (wi.instance->record.visible) mask |= kMaskEye;
        if (wi.instance->record.trace) mask |= kMaskTrace;
        if (wi.instance->record.shadow) mask |= kMaskShadow;
        if (const scene::HairCurves* hair = wi.object->hair.get()) {
            // Radii grow with the instance's scale (the cube root of its volume change).
            const Matrix& m = wi.object_to_world;
            const double det = m.m[0] * (m.m[5] * m.m[10] - m.m[6] * m.m[9]) -
                               m.m[1] * (m.m[4] * m.m[10] - m.m[6] * m.m[8]) +
                               m.m[2] * (m.m[4] * m.m[9] - m.m[5] * m.m[8]);
            const float scale = float(std::cbrt(std::fabs(det)));
            const auto& p = hair->points;
            const size_t count = hair->point_count();
            auto world = [&](size_t i, float* out) {
                const miVector w = m.point({p[i], p[i + 1], p[i + 2]});
                out[0] = w.x;
                out[1] = w.y;
                out[2] = w.z;
                out[3] = p[i + 3] * scale;
            };
            // Where the world-space points are the object's own to the bit, Embree reads those:
            // a copy would double the largest array of a big hair object.
            bool same = m.m == Matrix::identity().m;
            for (size_t i = 0; same && i < 4 * count; i += 4) {
                float w[4];
                world(i, w);
                same = std::memcmp(w, &p[i], sizeof w) == 0;
            }
            if (same) {
                wi.hair_points = p.data();
            } else {
                wi.hair_copy.assign(p.size(), 0.f); // the same four zeros after the last point
                for (size_t i = 0; i < 4 * count; i += 4)
                    world(i, &wi.hair_copy[i]);
                wi.hair_points = wi.hair_copy.data();
            }
            geometry_->add_curves(wi.hair_points, count, hair->first, hair->degree, mask);
            hairs_ += hair->hair_count;
            continue;
        }
        const auto& P = wi.object->mesh.P;
        geometry_->add_mesh(P.size() / 3, wi.object->mesh.triangles, mask, [&](float* out) {
            for (size_t i = 0; i + 2 < P.size(); i += 3) {
                const miVector w = wi.object_to_world.point({P[i], P[i + 1], P[i + 2]});
                out[i] = w.x;
                out[i + 1] = w.y;
                out[i + 2] = w.z;
            }
        });
        triangles_ += wi.object->mesh.triangles.size() / 3;
    }
    geometry_->set_cancel_flag(&Frame::aborted());
    geometry_->commit();
    return true;
}

} // namespace orn
