// Drawing the contact sheet: labels that stay inside their tile, and ID mattes in false colours
// where objects that meet in the picture get hues far apart.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orn::film {

// A tile's label as it is drawn, in a 5 x 7 font whose characters advance 6 pixels per scale:
// the layer's name at `name_scale` (2 where it fits, else 1, else shortened in the middle with
// ".."), then at scale 1 from `detail_x` the part in parentheses, shortened the same way or left
// out where too little of it would fit. Both stay 2 pixels inside the tile's edges.
struct LabelLayout {
    std::string name;
    int name_scale = 2;
    std::string detail;
    int detail_x = 0;
};
LabelLayout layout_label(const std::string& label, int tile_width);

// Width in pixels of `text` drawn at `scale`.
int text_width(const std::string& text, int scale);

// Draws `text` with its top left at (x0, y0) into an RGB picture `w` pixels wide, white, with no
// pixel at or beyond column `clip`.
void draw_text(std::vector<float>& rgb, int w, int x0, int y0, const std::string& text, int scale, int clip);

// The false colour of every ID of a matte (ID channels and coverage channels in turn, rank by
// rank, `width` x `height` pixels): linear RGB of a saturated hue. IDs that share a pixel or lie
// in neighbouring pixels get hues as far apart as the other neighbours allow; larger objects
// choose first. ID 0 (nothing) has no colour.
std::map<std::uint32_t, std::array<float, 3>>
matte_colours(int width, int height, const std::vector<const std::vector<float>*>& ranks);

} // namespace orn::film
