// Image textures: the scene's texture elements and the frame's texture system, which reads
// them tile by tile, builds their MIP levels in memory and filters every lookup.
#pragma once

#include "db/database.h"
#include "host/shader.h"
#include "scene/ast.h"

#include <OpenImageIO/texture.h>

#include <memory>
#include <string>
#include <vector>

namespace orn {

// A texture declared by the scene: `color texture "name" "file"`.
struct TextureElement : Element {
    enum class Kind { Color, Scalar };
    TextureElement(std::string n, Kind k, std::string p)
        : Element(miSCENE_IMAGE, std::move(n)), kind(k), path(std::move(p)) {}
    Kind kind;
    std::string path; // resolved like the scene's other file paths
    scene::SourceLoc loc;
};

// Why an image file cannot serve as a texture, or nothing when it can (reads the header only).
std::string texture_file_problem(const std::string& path);

// The textures of one frame: every texture's handle is resolved once when the store opens,
// and each render thread has its own lookup context, so a lookup does no name lookup and takes
// no lock or allocation of ours. The texture system behind them is OpenImageIO's process-wide
// one: its tiles and MIP levels then serve every frame of a sequence, and a private system
// cannot be freed cleanly (OpenImageIO 2.4 deletes it as the wrong type).
//
// Coordinates: u runs from the left edge of the image (0) to its right edge (1), v from the
// bottom edge (0) to the top edge (1), so image row 0 is at v = 1. Outside [0, 1] a lookup
// takes the colour of the nearest edge (clamp). Lookups interpolate bilinearly within a MIP
// level and pick the level (trilinear) from the footprint given in texture units.
class TextureStore {
  public:
    TextureStore(const Database& db, int threads);
    ~TextureStore();
    TextureStore(const TextureStore&) = delete;
    TextureStore& operator=(const TextureStore&) = delete;

    // Opens every texture of the database; false, with one error per texture naming its file
    // and scene location, when one cannot be read.
    bool open();

    bool is_texture(miTag tag) const { return entry(tag) != nullptr; }
    // The filtered colour at (u, v) over a footprint du x dv (0: the finest level); greys
    // and alpha 1 complete images with fewer channels. False for a tag that is no texture, a
    // coordinate that is not finite, or a read that failed (result black).
    bool lookup(miTag tag, int thread, float u, float v, float du, float dv, miColor* result) const;
    // A latitude-longitude environment map seen along `dir` (world space, y up): the image
    // centre looks down -z, u grows towards +x and wraps around, v = 1 is straight up.
    // `angle` is the footprint of the lookup in radians.
    bool environment(miTag tag, int thread, const miVector& dir, float angle, miColor* result) const;

  private:
    using TS = OIIO::TextureSystem;
    struct Entry {
        TS::TextureHandle* handle = nullptr;
        int channels = 0;
    };
    const Entry* entry(miTag tag) const {
        if (tag >= slot_of_tag_.size()) return nullptr;
        const int slot = slot_of_tag_[tag];
        return slot < 0 ? nullptr : &entries_[size_t(slot)];
    }
    bool filtered(const Entry& e, int thread, OIIO::TextureOpt& opt, float s, float t, float ds, float dt,
                  miColor* result) const;
    TS::Perthread* perthread(int thread) const;

    const Database& db_;
    TS* system_;                            // not owned
    std::vector<TS::Perthread*> perthread_; // one per render thread, owned
    std::vector<Entry> entries_;
    std::vector<int> slot_of_tag_; // entries_ index by tag, -1 for other elements
};

} // namespace orn
