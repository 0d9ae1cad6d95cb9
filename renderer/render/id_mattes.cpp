#include "render/id_mattes.h"

#include "core/messages.h"
#include "db/database.h"
#include "film/cryptomatte.h"
#include "render/world.h"
#include "trace/matte_recorder.h"

#include <algorithm>

namespace orn {

namespace {

struct KindName {
    const char* option;
    IdMattes::Kind kind;
    const char* type_name;
};
constexpr KindName kKinds[] = {{"object", IdMattes::Kind::Object, "CryptoObject"},
                               {"material", IdMattes::Kind::Material, "CryptoMaterial"},
                               {"asset", IdMattes::Kind::Asset, "CryptoAsset"}};

} // namespace

void IdMattes::setup(const Database& db, const World& world, const OptionsElement* options,
                     film::Film& film) {
    mattes_.clear();
    if (!options || options->mattes.empty()) return;
    depth_ = options->matte_depth;
    const std::vector<WorldInstance>& instances = world.instances();
    first_instance_ = instances.data();
    object_ids_.assign(instances.size(), 0);
    asset_ids_.assign(instances.size(), 0);
    material_ids_.assign(db.size() + 1, 0);
    std::vector<std::string> objects, assets, materials;
    for (std::size_t i = 0; i < instances.size(); ++i) {
        const WorldInstance& wi = instances[i];
        if (wi.instance) {
            object_ids_[i] = film::matte_id(wi.instance->name);
            objects.push_back(wi.instance->name);
        }
        if (wi.object) {
            asset_ids_[i] = film::matte_id(wi.object->name);
            assets.push_back(wi.object->name);
        }
    }
    for (const Element* e : db.all(miSCENE_MATERIAL)) {
        if (e->tag >= material_ids_.size()) continue;
        material_ids_[e->tag] = film::matte_id(e->name);
        materials.push_back(e->name);
    }
    // A frame buffer of the same name as a layer would be written over by the ranks.
    for (const KindName& k : kKinds)
        for (const std::string& layer : film::matte_layer_names(k.type_name, depth_)) {
            const int id = film.plane_id(layer);
            if (id >= 0 && film.plane_info(id).sampled) {
                Messages::emitf(
                    Severity::Warning,
                    "frame buffer \"%s\" has the name of an ID-matte layer; no ID mattes are written",
                    layer.c_str());
                return;
            }
        }
    std::vector<int> planes;
    for (const KindName& k : kKinds) {
        if (std::find(options->mattes.begin(), options->mattes.end(), k.option) == options->mattes.end())
            continue;
        Matte m;
        m.kind = k.kind;
        m.type_name = k.type_name;
        m.layers = film::matte_layer_names(m.type_name, depth_);
        for (const std::string& layer : m.layers) {
            int id = film.plane_id(layer);
            if (id < 0) id = film.add_image_plane(layer, 4);
            m.planes.push_back(id);
            planes.push_back(id);
        }
        const std::vector<std::string>& names = k.kind == Kind::Object     ? objects
                                                : k.kind == Kind::Material ? materials
                                                                           : assets;
        std::vector<std::string> renamed;
        m.attributes = film::matte_attributes(m.type_name, film::matte_manifest(names, &renamed));
        for (const std::string& key : renamed)
            Messages::emitf(Severity::Warning,
                            "%s: names that differ only in bytes that are not UTF-8 would share one manifest "
                            "entry; one of them is listed as %s",
                            m.type_name.c_str(), key.c_str());
        mattes_.push_back(std::move(m));
    }
    film.set_mattes(count(), depth_, planes);
}

int IdMattes::hits(const MatteRecorder& recorder, const std::vector<float>& coverage,
                   std::vector<film::MatteHit>& out) const {
    out.clear();
    const std::vector<MatteNode>& nodes = recorder.nodes();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const float c = coverage[i];
        if (!(c > 0.f)) continue;
        const MatteNode& n = nodes[i];
        const std::size_t inst = n.instance ? std::size_t(n.instance - first_instance_) : object_ids_.size();
        for (int m = 0; m < count(); ++m) {
            std::uint32_t id = 0;
            switch (mattes_[std::size_t(m)].kind) {
            case Kind::Object:
                id = inst < object_ids_.size() ? object_ids_[inst] : 0;
                break;
            case Kind::Asset:
                id = inst < asset_ids_.size() ? asset_ids_[inst] : 0;
                break;
            case Kind::Material:
                id = n.material < material_ids_.size() ? material_ids_[n.material] : 0;
                break;
            }
            // The environment, and a surface without a name of this kind (no material), go to
            // ID 0, the ID of no object, which no name has: the coverages still add up.
            out.push_back({id, m, c});
        }
    }
    return int(out.size());
}

} // namespace orn
