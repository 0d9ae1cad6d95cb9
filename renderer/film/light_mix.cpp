#include "film/light_mix.h"

#include "common/light_groups.h"
#include "core/nearest_name.h"
#include "film/exr_file.h"

#include <OpenEXR/ImfStringAttribute.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

namespace orn::film {

namespace {

// The shortest of %g's forms that reads back as the same float.
std::string number(float v) {
    char buf[32];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, double(v));
        if (std::strtof(buf, nullptr) == v) break;
    }
    return buf;
}

// A factor as written: finite, not negative.
bool read_factor(const std::string& text, float& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v) || v < 0.0 || v > 3.4e38) return false;
    out = float(v);
    return true;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

} // namespace

std::string LightMix::text() const {
    std::string out;
    for (const Entry& e : entries) {
        out += (out.empty() ? "" : ",") + e.group + "=";
        const auto& f = e.factor;
        out += f[0] == f[1] && f[1] == f[2] ? number(f[0])
                                            : number(f[0]) + ":" + number(f[1]) + ":" + number(f[2]);
    }
    return out;
}

std::optional<LightMix> parse_light_mix(const std::string& text, std::string& error) {
    LightMix mix;
    std::set<std::string> seen;
    for (const std::string& item : split(text, ',')) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "light mix \"" + text + "\": \"" + item + "\" is not GROUP=FACTOR or GROUP=R:G:B";
            return std::nullopt;
        }
        LightMix::Entry e;
        e.group = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        if (!seen.insert(e.group).second) {
            error = "light mix \"" + text + "\": group \"" + e.group + "\" is given twice";
            return std::nullopt;
        }
        if (value == "off") {
            e.factor = {0.f, 0.f, 0.f};
        } else {
            const std::vector<std::string> parts = split(value, ':');
            bool ok = parts.size() == 1 || parts.size() == 3;
            for (size_t c = 0; ok && c < 3; ++c)
                ok = read_factor(parts[parts.size() == 1 ? 0 : c], e.factor[c]);
            if (!ok) {
                error = "light mix \"" + text + "\": the factor of \"" + e.group + "\" (\"" + value +
                        "\") must be a number or R:G:B of numbers, each finite and 0 or more (or \"off\")";
                return std::nullopt;
            }
        }
        mix.entries.push_back(std::move(e));
    }
    return mix;
}

std::vector<GroupLayer> light_group_layers(const std::vector<std::string>& channels) {
    const std::set<std::string> have(channels.begin(), channels.end());
    std::vector<GroupLayer> out;
    std::set<std::string> groups;
    // Two spellings of a group layer: the saver's and the renderer's own buffer files.
    static const char* const kSuffixes[2][3] = {{".r", ".g", ".b"}, {".R", ".G", ".B"}};
    for (const std::string& name : channels)
        for (const std::string prefix : {kLightGroupLayer, kLightGroupBuffer})
            for (const auto& sfx : kSuffixes) {
                const std::string first = sfx[0];
                if (name.size() <= prefix.size() + first.size() ||
                    name.compare(0, prefix.size(), prefix) != 0 ||
                    name.compare(name.size() - first.size(), first.size(), first) != 0)
                    continue;
                const std::string base = name.substr(0, name.size() - first.size());
                GroupLayer g{base.substr(prefix.size()), {base + sfx[0], base + sfx[1], base + sfx[2]}};
                if (have.count(g.channels[1]) && have.count(g.channels[2]) && groups.insert(g.group).second)
                    out.push_back(std::move(g));
            }
    return out;
}

std::optional<std::string> mix_exr(const std::string& in, const std::string& out, const LightMix& mix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::equivalent(in, out, ec))
        return "the mix of \"" + in + "\" must go to another file; the input is left as it is";
    if (mix.entries.empty()) return std::string("the light mix names no group");
    ExrFile file;
    if (auto err = read_exr_file(in, file)) return err;
    std::vector<std::string> names;
    for (const ExrChannel& c : file.channels)
        names.push_back(c.name);
    const std::vector<GroupLayer> layers = light_group_layers(names);
    if (layers.empty())
        return "\"" + in + "\" has no light-group layers (" + kLightGroupLayer +
               "<group>.r/.g/.b): render it with light groups to mix it; nothing written";
    std::vector<std::string> groups;
    for (const GroupLayer& g : layers)
        groups.push_back(g.group);
    ExrChannel* beauty[3] = {file.find("R"), file.find("G"), file.find("B")};
    for (ExrChannel* b : beauty)
        if (!b || b->type == Imf::UINT)
            return "\"" + in + "\" has no beauty (R, G, B) to mix; nothing written";
    // Every group is checked before a pixel changes.
    std::vector<std::pair<const GroupLayer*, std::array<float, 3>>> todo;
    for (const LightMix::Entry& e : mix.entries) {
        const GroupLayer* layer = nullptr;
        for (const GroupLayer& g : layers)
            if (g.group == e.group) layer = &g;
        if (!layer) {
            std::string list;
            for (const std::string& g : groups)
                list += (list.empty() ? "\"" : ", \"") + g + "\"";
            return "\"" + in + "\" has no light group \"" + e.group + "\"" + did_you_mean(e.group, groups) +
                   " (its groups: " + list + "); nothing written";
        }
        for (const std::string& c : layer->channels)
            if (file.find(c)->type == Imf::UINT)
                return "\"" + in + "\": light-group channel \"" + c + "\" holds integers; nothing written";
        todo.emplace_back(layer, e.factor);
    }
    const size_t n = size_t(file.width) * size_t(file.height);
    for (int c = 0; c < 3; ++c) {
        std::vector<float>& b = beauty[c]->values;
        for (const auto& [layer, factor] : todo) {
            std::vector<float>& v = file.find(layer->channels[size_t(c)])->values;
            const float f = factor[size_t(c)];
            for (size_t i = 0; i < n; ++i) {
                const float scaled = v[i] * f;
                b[i] += scaled - v[i];
                v[i] = scaled;
            }
        }
    }
    file.header.insert(kLightMixAttribute, Imf::StringAttribute(mix.text()));
    file.header.insert(kMixedFromAttribute, Imf::StringAttribute(in));
    return write_exr_file(out, file);
}

} // namespace orn::film
