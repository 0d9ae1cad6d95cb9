#include "render/light_groups.h"

#include "core/json.h"
#include "core/messages.h"
#include "core/nearest_name.h"
#include "render/category_check.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <unordered_map>

namespace orn {

std::string light_group_buffer(const std::string& group) {
    return kLightGroupBuffer + group;
}

std::string light_group_identifier(const std::string& name) {
    // One '_' per character: a letter of another script is one character, however many bytes
    // it takes; a byte that is not UTF-8 counts as one.
    std::string id;
    for (size_t i = 0; i < name.size();) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        id += std::isalnum(c) || c == '_' || c == '-' ? char(c) : '_';
        i += std::max<size_t>(1, utf8_length(name, i));
    }
    return id;
}

namespace {

bool is_rest(const std::string& name) {
    const std::string id = light_group_identifier(name);
    return id.empty() || id == kRestGroup;
}

std::string lower(std::string s) {
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Layer names for group names: each name its own, even where two names keep the same letters
// ("a.b" and "a_b") or differ only in case ("Key" and "key" would share their files where file
// names ignore case). The first name to ask keeps its identifier; a later one gets a number.
class LayerNames {
  public:
    LayerNames() { holder_[kRestGroup] = ""; }
    const std::string& of(const std::string& name) {
        auto it = ids_.find(name);
        if (it != ids_.end()) return it->second;
        const std::string base = light_group_identifier(name);
        std::string id = base;
        for (int n = 2; holder_.count(lower(id)); ++n)
            id = base + "_" + std::to_string(n);
        if (id != base) {
            const std::string other = holder_[lower(base)];
            const std::string who = other.empty() ? std::string("the rest") : "light group \"" + other + "\"";
            const std::string its = other.empty() ? std::string(kRestGroup) : ids_[other];
            Messages::emitf(
                Severity::Warning,
                "light group \"%s\" would share its layer with %s (\"lightgroup_%s\": layer names "
                "keep letters, digits, _ and -, and file names may ignore case); its layer is "
                "\"lightgroup_%s\"",
                name.c_str(), who.c_str(), its.c_str(), id.c_str());
        }
        holder_[lower(id)] = name;
        return ids_[name] = id;
    }

  private:
    std::unordered_map<std::string, std::string> ids_;    // group name -> layer identifier
    std::unordered_map<std::string, std::string> holder_; // identifier in lower case -> group name
};

std::string number(double v) {
    char buf[32];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
        if (float(std::strtod(buf, nullptr)) == float(v)) break;
    }
    return buf;
}

} // namespace

std::optional<std::string> mix_scene_text(const std::vector<WatchedGroup>& groups, const film::LightMix& mix,
                                          std::string& error) {
    std::string out = "# light mix " + mix.text() +
                      ": set these parameters of each light (the others stay) and render again\n";
    for (const film::LightMix::Entry& e : mix.entries) {
        const auto& f = e.factor;
        const std::string factor = number(f[0]) + " " + number(f[1]) + " " + number(f[2]);
        if (e.group == kRestGroup) {
            out +=
                "# \"rest\" (ambient light, incandescence, the environment, lights in no group) has no light "
                "to set: scale those where they are set, by " +
                factor + "\n";
            continue;
        }
        const WatchedGroup* group = nullptr;
        for (const WatchedGroup& g : groups)
            if (g.name == e.group) group = &g;
        if (!group) {
            std::vector<std::string> names;
            for (const WatchedGroup& g : groups)
                names.push_back(g.name);
            error = "the frame has no light group \"" + e.group + "\"" + did_you_mean(e.group, names);
            return std::nullopt;
        }
        const float most = std::max({f[0], f[1], f[2]});
        for (const WatchedLight& l : group->lights) {
            out += "# light \"" + l.name + "\" (" + l.shader + ", group \"" + e.group + "\")\n";
            if (!l.toolkit || !l.intensity || !l.color) {
                out += "#   not a toolkit light with a set \"intensity\" and \"color\": multiply what it "
                       "emits by " +
                       factor + " (docs/lights.md)\n";
                continue;
            }
            const auto& c = *l.color;
            std::string color;
            for (int k = 0; k < 3; ++k)
                color += number(most > 0.f ? double(c[size_t(k)]) * f[size_t(k)] / most : c[size_t(k)]) + " ";
            out += "\"intensity\" " + number(double(*l.intensity) * most) + ", \"color\" " + color +
                   number(c[3]) + "\n";
        }
    }
    return out;
}

namespace {
// Whether a toolkit light of the rendered scene has the category `name`.
bool category_named(const Database& db, const std::vector<WorldLight>& lights, const std::string& name) {
    for (const WorldLight& wl : lights) {
        const auto category = light_category(db, wl.light->shader);
        if (category && *category == name) return true;
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
    std::unordered_map<const InstanceElement*, std::string> placed; // light instance -> group name
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
            // A light placed in the rest stays there, whatever its category.
            const bool rest = is_rest(g.name);
            if (g.name.empty())
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
                    auto [it, fresh] =
                        placed.try_emplace(wl.instance, rest ? std::string(kRestGroup) : g.name);
                    if (!fresh) {
                        if (it->second != g.name)
                            Messages::emitf(
                                Severity::Warning,
                                "%slight \"%s\" is in light groups \"%s\" and \"%s\"; it stays in \"%s\"",
                                where.c_str(), wl.instance->name.c_str(), it->second.c_str(), g.name.c_str(),
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
                if (!explicit_names.count(g.name))
                    Messages::emitf(
                        Severity::Warning, "%slight group \"%s\" holds no light of the rendered scene%s",
                        where.c_str(), g.name.c_str(),
                        category_named(db, lights, g.name) ? "; the lights of that category form it"
                                                           : "; it gets no layer");
                continue;
            }
            explicit_names.insert(g.name);
        }

    // Groups in the order the scene names them: explicit ones, then the lights' own and their
    // categories as lights come.
    LayerNames layers;
    if (options)
        for (const scene::LightGroupStmt& g : options->light_groups)
            if (explicit_names.count(g.name) && groups.add(layers.of(g.name)) < 0) over_limit = true;
    for (const WorldLight& wl : lights) {
        std::string name;
        if (auto it = placed.find(wl.instance); it != placed.end()) {
            name = it->second;
        } else if (wl.light->light_group) {
            // Named where the light is defined.
            name = *wl.light->light_group;
        } else {
            const auto category = light_category(db, wl.light->shader);
            if (!category || category->empty()) continue; // no category: the rest
            name = *category;
        }
        if (is_rest(name)) continue;
        const int g = groups.add(layers.of(name));
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
