// A light mix: each light group's layer scaled by a factor (a colour, so it tints as well), the
// beauty changed by the same amounts. Written frames are mixed into a new file here; the live
// view mixes in the browser with the same rule.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace orn::film {

struct LightMix {
    struct Entry {
        std::string group;
        std::array<float, 3> factor{1.f, 1.f, 1.f};
    };
    std::vector<Entry> entries;

    // "key=0.5,fill=1:0.9:0.8", the form parse_light_mix() reads.
    std::string text() const;
};

// "GROUP=K" or "GROUP=R:G:B" (or "GROUP=off" for 0), separated by commas. Factors must be finite
// and not negative; a group may appear once. nullopt with the reason in `error` otherwise.
std::optional<LightMix> parse_light_mix(const std::string& text, std::string& error);

// The light groups of a file with these channels: the saver's layers
// ("orn_MegaTK_lightgroup_<g>.r/.g/.b") or the buffers' own ("tk_lightgroup_<g>.R/.G/.B"), the
// rest included; for each its three channel names.
struct GroupLayer {
    std::string group;
    std::array<std::string, 3> channels;
};
std::vector<GroupLayer> light_group_layers(const std::vector<std::string>& channels);

// Reads `in`, applies the mix, writes `out` (never `in` itself): beauty R G B += sum over the
// mixed groups of (factor - 1) x layer, each mixed group's layer x factor, every other channel
// and attribute as it was, and the header attributes "ornLightMix" (the mix as text) and
// "ornMixedFrom" (the input's path). A group the file lacks, a file without groups and a file
// without beauty fail with a message before anything is written.
std::optional<std::string> mix_exr(const std::string& in, const std::string& out, const LightMix& mix);

inline constexpr const char* kLightMixAttribute = "ornLightMix";
inline constexpr const char* kMixedFromAttribute = "ornMixedFrom";

} // namespace orn::film
