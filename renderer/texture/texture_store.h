// Image textures: the scene's texture elements and the frame's texture system, which reads
// them tile by tile, builds their MIP levels in memory and filters every lookup.
#pragma once

#include "db/database.h"
#include "db/texture_element.h"
#include "host/shader.h"
#include "image/image_library.h"
#include "scene/ast.h"

#include <memory>
#include <string>
#include <vector>

namespace orn {

// The textures of one frame: every texture's handle is resolved once when the store opens,
// and each render thread has its own lookup context, so a lookup does no name lookup and takes
// no lock or allocation of ours. The texture system behind them belongs to the image library,
// which is loaded when the first store opens; it is process-wide, so its tiles and MIP levels
// serve every frame of a sequence.
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
    // and scene location, when one cannot be read (or one error when the image library cannot
    // be loaded).
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
    struct Entry {
        int texture = -1; // the image library's index
        int channels = 0;
    };
    const Entry* entry(miTag tag) const {
        if (tag >= slot_of_tag_.size()) return nullptr;
        const int slot = slot_of_tag_[tag];
        return slot < 0 ? nullptr : &entries_[size_t(slot)];
    }
    bool filtered(const Entry& e, int thread, image::Textures::Wrap wrap, float s, float t, float ds,
                  float dt, miColor* result) const;

    const Database& db_;
    int threads_;
    std::unique_ptr<image::Textures> textures_;
    std::vector<Entry> entries_;
    std::vector<int> slot_of_tag_; // entries_ index by tag, -1 for other elements
};

} // namespace orn
