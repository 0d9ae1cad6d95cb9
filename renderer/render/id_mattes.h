// The frame's ID mattes: which are written, the IDs of the scene's names, and each sample's
// coverage of them.
#pragma once

#include "film/film.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orn {

class Database;
class World;
class MatteRecorder;
struct OptionsElement;
struct WorldInstance;

class IdMattes {
  public:
    enum class Kind { Object, Material, Asset };
    struct Matte {
        Kind kind;
        std::string type_name;           // "CryptoObject", "CryptoMaterial", "CryptoAsset"
        std::vector<std::string> layers; // film planes, two ranks each
        std::vector<int> planes;
        std::vector<std::pair<std::string, std::string>> attributes; // for EXR headers
    };

    // The mattes the options ask for: their film planes (made when missing, so a merge's film
    // matches its parts'), the IDs of every instance, object and material, and the manifests.
    void setup(const Database& db, const World& world, const OptionsElement* options, film::Film& film);
    bool on() const { return !mattes_.empty(); }
    int count() const { return int(mattes_.size()); }
    int depth() const { return depth_; }
    const Matte& matte(int m) const { return mattes_[std::size_t(m)]; }

    // One sample's hits: for each matte, the ID of every surface the recorder met with its
    // coverage (ID 0 for the environment and surfaces without a name of the matte's kind).
    // Returns how many went into `hits`.
    int hits(const MatteRecorder& recorder, const std::vector<float>& coverage,
             std::vector<film::MatteHit>& hits) const;

  private:
    std::vector<Matte> mattes_;
    int depth_ = 0;
    const WorldInstance* first_instance_ = nullptr; // the world's instance array
    std::vector<std::uint32_t> object_ids_;         // per world instance
    std::vector<std::uint32_t> asset_ids_;
    std::vector<std::uint32_t> material_ids_; // per tag
};

} // namespace orn
