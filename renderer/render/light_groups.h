// Light groups: named sets of lights whose share of the colour the frame keeps apart, so that a
// compositor can scale each set on its own. By default every toolkit light joins the group of its
// category; the options' `lightgroup` entries place any light, toolkit or not, by name.
#pragma once

#include "common/light_groups.h"
#include "db/database.h"
#include "film/light_mix.h"
#include "render/frame_watch.h"
#include "render/world.h"

#include <string>
#include <vector>

namespace orn {

// The buffer the frame fills with a group's share (kLightGroupBuffer + name).
std::string light_group_buffer(const std::string& group);

// A group name as buffer and layer names can hold it: characters other than letters, digits,
// '_' and '-' become '_'.
std::string light_group_identifier(const std::string& name);

// The mix as scene text a lighter pastes into each light of the mixed groups: for a toolkit light
// its "intensity" and "color" such that a render with them gives the mixed picture (the factor's
// largest component goes to the intensity, the rest of it to the colour); for another light, or
// one whose parameters a shader sets, a comment with the factor to apply to what it emits.
// nullopt with `error` for a group the frame does not have.
std::optional<std::string> mix_scene_text(const std::vector<WatchedGroup>& groups, const film::LightMix& mix,
                                          std::string& error);

class LightGroups {
  public:
    // The groups of a frame, from its options and the scene's lights; warns about every entry
    // that names no light, a light in two groups, a group left without lights, and the reserved
    // name. Lights in no group are the rest.
    static LightGroups resolve(const Database& db, const World& world);

    int count() const { return int(names_.size()); }
    const std::string& name(int group) const { return names_[size_t(group)]; }
    // The group of a light instance or light, -1 for the rest.
    // Shaders ask for every light they sample at every shaded point: a table by tag.
    int group_of(miTag light) const { return light < of_.size() ? of_[light] : -1; }

  private:
    int add(const std::string& name);

    std::vector<std::string> names_;
    std::vector<int> of_; // by tag, -1 for the rest
    void place(miTag tag, int group, bool keep_first);
};

} // namespace orn
