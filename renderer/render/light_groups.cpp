#include "render/light_groups.h"

#include "core/messages.h"
#include "core/nearest_name.h"
#include "render/category_check.h"

#include <cctype>
#include <set>
#include <unordered_map>

namespace orn {

std::string light_group_buffer(const std::string& group) {
    return kLightGroupBuffer + group;
}

std::string light_group_identifier(const std::string& name) {
    std::string id = name;
    for (char& c : id)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
    return id;
}

namespace {
// Whether a toolkit light of the rendered scene has the category that gives group `id`.
bool category_named(const Database& db, const std::vector<WorldLight>& lights, const std::string& id) {
    for (const WorldLight& wl : lights) {
        const auto category = light_category(db, wl.light->shader);
        if (category && light_group_identifier(*category) == id) return true;
    }
    return false;
}
} // namespace

int LightGroups::add(const std::string& name) {
    for (size_t i = 0; i < names_.size(); ++i)
        if (names_[i] == name) return int(i);
    if (names_.size() >= size_t(kMaxLightGroups)) return -1;
    names_.push_back(name);
    return int(names_.size()) - 1;
}

void LightGroups::place(miTag tag, int group, bool keep_first) {
    if (tag >= of_.size()) of_.resize(size_t(tag) + 1, -1);
    if (!keep_first || of_[tag] < 0) of_[tag] = group;
}

LightGroups LightGroups::resolve(const Database& db, const World& world) {
    LightGroups groups;
    const OptionsElement* options = world.options();
    if (options && !options->light_groups_on) return groups;
    const std::vector<WorldLight>& lights = world.lights();

    // Explicit entries first: a light a lighter placed by name stays where it was placed.
    std::unordered_map<const InstanceElement*, std::string> placed; // light instance -> group it is in
    std::vector<std::string> known;                                 // names a misspelt light is matched to
    for (const WorldLight& wl : lights) {
        known.push_back(wl.instance->name);
        known.push_back(wl.light->name);
    }
    std::set<std::string> explicit_names;
    bool over_limit = false;
    if (options)
        for (const scene::LightGroupStmt& g : options->light_groups) {
            const std::string where = g.loc.file + ":" + std::to_string(g.loc.line) + ": ";
            const std::string id = light_group_identifier(g.name);
            // A light placed in the rest stays there, whatever its category.
            const bool rest = id.empty() || id == kRestGroup;
            if (id.empty())
                Messages::emitf(Severity::Warning,
                                "%slight group with an empty name: its lights stay in \"%s\"", where.c_str(),
                                kRestGroup);
            else if (rest)
                Messages::emitf(
                    Severity::Warning,
                    "%slight group \"%s\": \"%s\" is the layer of every light outside the groups; "
                    "its lights stay there",
                    where.c_str(), g.name.c_str(), kRestGroup);
            int members = 0;
            for (const std::string& name : g.lights) {
                bool found = false;
                for (const WorldLight& wl : lights) {
                    if (wl.instance->name != name && wl.light->name != name) continue;
                    found = true;
                    auto [it, fresh] = placed.try_emplace(wl.instance, rest ? std::string(kRestGroup) : id);
                    if (!fresh) {
                        if (it->second != id)
                            Messages::emitf(
                                Severity::Warning,
                                "%slight \"%s\" is in light groups \"%s\" and \"%s\"; it stays in \"%s\"",
                                where.c_str(), wl.instance->name.c_str(), it->second.c_str(), id.c_str(),
                                it->second.c_str());
                        continue;
                    }
                    ++members;
                }
                if (!found) {
                    const std::string near = nearest_name(name, known);
                    const bool elsewhere = db.lookup(name) != miNULLTAG;
                    Messages::emitf(
                        Severity::Warning, "%slight group \"%s\": %s \"%s\"%s%s", where.c_str(),
                        g.name.c_str(),
                        elsewhere ? "the rendered scene has no light instance or light" : "no light is named",
                        name.c_str(), near.empty() ? "" : ("; did you mean \"" + near + "\"?").c_str(),
                        elsewhere ? " (a light must be placed with an instance in the render's root)" : "");
                }
            }
            if (rest) continue;
            if (members == 0) {
                // A group whose every light is missing would be an empty layer nobody asked for.
                if (!explicit_names.count(id))
                    Messages::emitf(Severity::Warning,
                                    "%slight group \"%s\" holds no light of the rendered scene%s",
                                    where.c_str(), g.name.c_str(),
                                    category_named(db, lights, id) ? "; the lights of that category form it"
                                                                   : "; it gets no layer");
                continue;
            }
            explicit_names.insert(id);
        }

    // Groups in the order the scene names them: explicit ones, then categories as lights come.
    if (options)
        for (const scene::LightGroupStmt& g : options->light_groups) {
            const std::string id = light_group_identifier(g.name);
            if (explicit_names.count(id) && groups.add(id) < 0) over_limit = true;
        }
    for (const WorldLight& wl : lights) {
        std::string id;
        if (auto it = placed.find(wl.instance); it != placed.end()) {
            id = it->second;
            if (id == kRestGroup) continue;
        } else {
            const auto category = light_category(db, wl.light->shader);
            if (!category || category->empty()) continue; // no category: the rest
            id = light_group_identifier(*category);
            if (id == kRestGroup) continue;
        }
        const int g = groups.add(id);
        if (g < 0) {
            over_limit = true;
            continue;
        }
        groups.place(wl.instance->tag, g, false);
        groups.place(wl.light->tag, g, true);
    }
    if (over_limit)
        Messages::emitf(
            Severity::Warning,
            "more than %d light groups: the lights of the groups after the first %d stay in \"%s\"",
            kMaxLightGroups, kMaxLightGroups, kRestGroup);
    return groups;
}

} // namespace orn
