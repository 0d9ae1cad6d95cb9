#include "render/category_check.h"

#include "core/messages.h"
#include "core/nearest_name.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace orn {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

struct Component {
    std::string param, category;
};

// The category parameters ("category" of a light, "<component>_category" of a material) of
// the shader `tag`; empty when the shader takes none, which is how toolkit shaders are told.
std::vector<Component> categories(const Database& db, miTag tag, bool light) {
    std::vector<Component> out;
    auto* fe = db.get_as<FunctionElement>(tag, miSCENE_FUNCTION);
    if (!fe || !fe->function.decl) return out;
    for (const FieldLayout& field : fe->function.decl->layout.fields) {
        if (field.type != scene::ParamType::String || field.is_array) continue;
        const bool named =
            light ? field.name == "category"
                  : field.name.size() > 9 && field.name.compare(field.name.size() - 9, 9, "_category") == 0;
        if (!named) continue;
        if (auto text = scene_string(db, fe->function, field)) out.push_back({field.name, *text});
    }
    return out;
}

struct Light {
    std::string instance, category;
    bool toolkit = false;
};

// Of `known`, the name that differs from `name` only in case.
const std::string* near_miss(const std::string& name, const std::set<std::string>& known) {
    for (const std::string& k : known)
        if (k != name && lower(k) == lower(name)) return &k;
    return nullptr;
}

} // namespace

std::optional<std::string> light_category(const Database& db, miTag shader) {
    const auto cats = categories(db, shader, true);
    if (cats.empty()) return std::nullopt;
    return cats.front().category;
}

void warn_category_mismatches(const Database& db, const World& world) {
    std::vector<Light> lights;
    std::set<std::string> light_names; // non-empty categories of the lights
    bool any_plain = false;            // a light every toolkit material takes, whatever its categories
    for (const WorldLight& wl : world.lights()) {
        Light l{wl.instance->name, "", false};
        const auto cats = categories(db, wl.light->shader, true);
        if (cats.empty()) {
            any_plain = true;
        } else {
            l.toolkit = true;
            l.category = cats.front().category;
            if (l.category.empty())
                any_plain = true;
            else
                light_names.insert(l.category);
        }
        lights.push_back(std::move(l));
    }
    if (lights.empty()) return;

    std::set<miTag> seen;
    std::set<std::string> material_names; // non-empty categories the materials name
    // A material without category parameters (orn_HairTK, for one) takes every light it samples.
    bool any_blind = false;
    std::vector<std::pair<const MaterialElement*, std::vector<Component>>> materials;
    auto visit = [&](miTag tag) {
        if (!tag || !seen.insert(tag).second) return;
        auto* m = db.get_as<MaterialElement>(tag, miSCENE_MATERIAL);
        if (!m) return;
        auto comps = categories(db, m->surface, false);
        if (comps.empty()) {
            any_blind = true;
            return;
        }
        for (const auto& c : comps)
            if (!c.category.empty()) material_names.insert(c.category);
        materials.emplace_back(m, std::move(comps));
    };
    for (const WorldInstance& wi : world.instances()) {
        visit(wi.default_material);
        for (miTag m : wi.polygon_materials)
            visit(m);
    }
    if (materials.empty()) return;

    for (const Light& l : lights) {
        if (!l.toolkit) continue;
        if (l.category.empty()) {
            // Without categories anywhere every light meets every component: nothing is amiss.
            if (material_names.empty()) continue;
            Messages::emitf(Severity::Warning,
                            "light \"%s\" has no category, so it lights only material components without "
                            "one",
                            l.instance.c_str());
        } else if (!material_names.count(l.category)) {
            const std::string* near = near_miss(l.category, material_names);
            // Where materials without categories take the light, only a likely slip is amiss.
            if (any_blind && !near &&
                nearest_name(l.category, {material_names.begin(), material_names.end()}).empty())
                continue;
            Messages::emitf(Severity::Warning,
                            "light \"%s\": no material component names its category \"%s\"%s, so it lights "
                            "no toolkit material",
                            l.instance.c_str(), l.category.c_str(),
                            near ? (" (a material names \"" + *near + "\": only the case differs)").c_str()
                                 : "");
        }
    }
    for (const auto& [m, comps] : materials) {
        bool names_any = false;
        for (const Component& c : comps) {
            if (c.category.empty()) continue;
            names_any = true;
            if (light_names.count(c.category)) continue;
            const std::string* near = near_miss(c.category, light_names);
            Messages::emitf(Severity::Warning,
                            "material \"%s\": no light has the category \"%s\" of its \"%s\"%s, so that "
                            "component gets no light from toolkit lights",
                            m->name.c_str(), c.category.c_str(), c.param.c_str(),
                            near ? (" (a light has \"" + *near + "\": only the case differs)").c_str() : "");
        }
        if (!names_any && !light_names.empty()) {
            std::string which;
            for (const Light& l : lights)
                if (l.toolkit && !l.category.empty())
                    which += (which.empty() ? "\"" : ", \"") + l.instance + "\"";
            Messages::emitf(Severity::Warning,
                            "material \"%s\" names no light category, so the lights with one (%s) do not "
                            "light it%s",
                            m->name.c_str(), which.c_str(), any_plain ? "" : "; it renders black");
        }
    }
}

} // namespace orn
