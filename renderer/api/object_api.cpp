// Objects and hair made by geometry shaders and their callbacks, and the scene-edit calls.
// Geometry shaders run while a frame's world is put together, on that one thread: the object
// being defined is kept here until mi_api_object_end hands it to the database.
#include "api/api_common.h"

#include "core/messages.h"
#include "scene/hair.h"

#include <cstdlib>
#include <memory>
#include <string>

using namespace orn;

namespace {

// Enough for a few million hairs; a count beyond it is a broken generator, not a big scene.
constexpr int kMaxHairScalars = 1 << 28;

struct OpenObject {
    bool open = false;
    std::string name;
    ObjectElement* existing = nullptr;    // redefined in place
    std::unique_ptr<ObjectElement> fresh; // added at the end
    miObject staged{};
    miApi_object_callback callback = nullptr;
    void* callback_args = nullptr;
    bool failed = false;
    // hair
    enum class Hair { None, Open, Done } hair = Hair::None;
    miHair_list hair_record{};
    scene::HairData data;
    int scalars_declared = -1, hairs_declared = -1;
};

OpenObject& open_object() {
    static OpenObject open;
    return open;
}

// The object being defined, or null with a message naming the call.
OpenObject* defining(const char* call) {
    OpenObject& o = open_object();
    if (o.open) return &o;
    Messages::emitf(Severity::Error, "%s: no object is being defined (mi_api_object_begin first)", call);
    return nullptr;
}

OpenObject* defining_hair(const char* call) {
    OpenObject* o = defining(call);
    if (o && o->hair != OpenObject::Hair::Open) {
        Messages::emitf(Severity::Error, "%s: object \"%s\" has no open hair (mi_api_hair_begin first)", call,
                        o->name.c_str());
        return nullptr;
    }
    return o;
}

void fail(OpenObject& o, const std::string& message) {
    Messages::emitf(Severity::Error, "object \"%s\": %s", o.name.c_str(), message.c_str());
    o.failed = true;
}

} // namespace

ORN_API miObject* mi_api_object_begin(char* name) {
    const std::string n = take_string(name);
    Database* db = Database::current();
    OpenObject& o = open_object();
    if (o.open) {
        Messages::emitf(Severity::Error, "mi_api_object_begin: object \"%s\" is still being defined",
                        o.name.c_str());
        return nullptr;
    }
    if (!db || n.empty()) {
        Messages::emit(Severity::Error, "mi_api_object_begin: an object needs a name");
        return nullptr;
    }
    o = OpenObject{};
    o.open = true;
    o.name = n;
    // In incremental mode an existing object of the name is redefined where it is, so that the
    // instances that already use it see the new geometry; the placeholder being built wins
    // over a later object of the same name.
    ObjectElement* existing = nullptr;
    if (db->incremental) {
        if (db->expanding && db->expanding->name == n)
            existing = db->expanding;
        else
            existing = db->get_as<ObjectElement>(db->lookup(n), miSCENE_OBJECT);
    }
    if (existing) {
        o.existing = existing;
        o.staged = existing->record;
    } else {
        o.fresh = std::make_unique<ObjectElement>(n);
        o.fresh->sync_to_record();
        o.fresh->record.kind = 0;
        o.staged = o.fresh->record;
    }
    return &o.staged;
}

ORN_API miBoolean mi_api_object_callback(miApi_object_callback callback, void* args) {
    OpenObject* o = defining("mi_api_object_callback");
    if (!o) return miFALSE;
    o->callback = callback;
    o->callback_args = args;
    return miTRUE;
}

ORN_API miTag mi_api_object_end(void) {
    OpenObject* o = defining("mi_api_object_end");
    Database* db = Database::current();
    if (!o || !db) return miNULLTAG;
    if (o->hair == OpenObject::Hair::Open) fail(*o, "mi_api_object_end before mi_api_hair_end");
    const bool failed = o->failed;
    OpenObject done = std::move(*o);
    *o = OpenObject{};
    if (failed) return miNULLTAG;

    ObjectElement* e = done.existing ? done.existing : done.fresh.get();
    e->record = done.staged;
    if (done.hair == OpenObject::Hair::Done) {
        e->hair = std::make_shared<const scene::HairCurves>(scene::make_curves(done.data));
        e->mesh = {};
        e->built = true;
    }
    if (done.callback) {
        e->callback = done.callback;
        e->callback_args = done.callback_args;
        // A placeholder: its box stands for the geometry until the callback has run.
        if (done.hair == OpenObject::Hair::None) e->built = false;
    }
    e->record.kind = e->hair ? 2 : e->mesh.triangles.empty() ? 0 : 1;
    e->sync_from_record();
    if (done.existing) return done.existing->tag;
    return db->add(std::move(done.fresh));
}

ORN_API miHair_list* mi_api_hair_begin(void) {
    OpenObject* o = defining("mi_api_hair_begin");
    if (!o) return nullptr;
    if (o->hair != OpenObject::Hair::None) {
        fail(*o, "mi_api_hair_begin called twice");
        return nullptr;
    }
    o->hair = OpenObject::Hair::Open;
    o->data = scene::HairData{};
    o->hair_record = miHair_list{o->data.degree, o->data.radius};
    return &o->hair_record;
}

ORN_API miBoolean mi_api_hair_info(int per_vertex, char kind, int count) {
    OpenObject* o = defining_hair("mi_api_hair_info");
    if (!o) return miFALSE;
    if (auto e = scene::check_hair_info(per_vertex != 0, kind, count)) {
        fail(*o, *e);
        return miFALSE;
    }
    (per_vertex ? o->data.vertex_info : o->data.hair_info).push_back({kind, count});
    return miTRUE;
}

ORN_API miScalar* mi_api_hair_scalars_begin(int count) {
    OpenObject* o = defining_hair("mi_api_hair_scalars_begin");
    if (!o) return nullptr;
    if (count < 0 || count > kMaxHairScalars) {
        fail(*o, "mi_api_hair_scalars_begin(" + std::to_string(count) + "): the count must be 0 to " +
                     std::to_string(kMaxHairScalars));
        return nullptr;
    }
    o->scalars_declared = count;
    o->data.scalars.assign(size_t(count), 0.f);
    return o->data.scalars.data();
}

ORN_API miBoolean mi_api_hair_scalars_end(int count) {
    OpenObject* o = defining_hair("mi_api_hair_scalars_end");
    if (!o) return miFALSE;
    if (count != o->scalars_declared) {
        fail(*o, "mi_api_hair_scalars_end(" + std::to_string(count) +
                     ") does not match mi_api_hair_scalars_begin(" + std::to_string(o->scalars_declared) +
                     ")");
        return miFALSE;
    }
    return miTRUE;
}

ORN_API miGeoIndex* mi_api_hair_hairs_begin(int count) {
    OpenObject* o = defining_hair("mi_api_hair_hairs_begin");
    if (!o) return nullptr;
    if (count < 0 || count > kMaxHairScalars) {
        fail(*o, "mi_api_hair_hairs_begin(" + std::to_string(count) + "): the count must be 0 to " +
                     std::to_string(kMaxHairScalars));
        return nullptr;
    }
    o->hairs_declared = count;
    o->data.hairs.assign(size_t(count), 0u);
    return o->data.hairs.data();
}

ORN_API miBoolean mi_api_hair_hairs_end(void) {
    return defining_hair("mi_api_hair_hairs_end") ? miTRUE : miFALSE;
}

ORN_API miBoolean mi_api_hair_end(void) {
    OpenObject* o = defining_hair("mi_api_hair_end");
    if (!o) return miFALSE;
    o->hair = OpenObject::Hair::Done;
    if (o->scalars_declared < 0 || o->hairs_declared < 0) {
        fail(*o, "hair without scalars or without a hair list");
        return miFALSE;
    }
    o->data.degree = o->hair_record.degree;
    o->data.radius = o->hair_record.radius;
    if (auto e = scene::check_hair(o->data)) {
        fail(*o, *e);
        return miFALSE;
    }
    return miTRUE;
}

ORN_API void* mi_scene_edit(miTag tag) {
    Database* db = Database::current();
    Element* e = db ? db->get(tag) : nullptr;
    if (!e) {
        Messages::emitf(Severity::Error, "mi_scene_edit: tag %u names no scene element", tag);
        return nullptr;
    }
    return e->data();
}

ORN_API void mi_scene_edit_end(miTag tag) {
    Database* db = Database::current();
    if (auto* o = db ? db->get_as<ObjectElement>(tag, miSCENE_OBJECT) : nullptr) o->sync_from_record();
}

ORN_API miBoolean mi_geoshader_add_result(miTag* result, miTag item) {
    Database* db = Database::current();
    if (!result || !db || !db->get(item)) return miFALSE;
    if (!*result) {
        *result = item;
        return miTRUE;
    }
    if (auto* list = dynamic_cast<GeometryListElement*>(db->get(*result))) {
        list->items.push_back(item);
        return miTRUE;
    }
    auto list = std::make_unique<GeometryListElement>();
    list->items = {*result, item};
    *result = db->add(std::move(list));
    return miTRUE;
}
