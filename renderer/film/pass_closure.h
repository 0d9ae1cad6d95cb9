// The pass-closure check: rebuilds the beauty of a multi-layer EXR written by the toolkit's
// saver from its pass layers and compares it with the colour channels.
#pragma once

#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace orn::film {

struct ClosureReport {
    bool ok = false;   // the file was read and every pixel is within the tolerance
    std::string error; // why the file could not be checked
    std::array<double, 3> max_diff{};
    std::array<double, 3> mean_diff{};
    double share_over = 0.0; // pixels with some channel over the tolerance, 0 to 1
    int width = 0, height = 0;
    std::vector<std::string> used;    // layers that went into the sum
    std::vector<std::string> missing; // terms of the sum that the file does not hold
    // Why the file cannot count as closed even where the sums agree (a frame marked unfinished,
    // an empty beauty), and doubts that do not fail the check (no finished-frame mark).
    std::vector<std::string> failures, warnings;
    // Light groups: the group layers found ("key", ..., "rest"), and how far their sum is from
    // the beauty (checked with the same tolerance, only when the file has group layers).
    std::vector<std::string> groups;
    std::array<double, 3> group_max_diff{};
    double group_share_over = 0.0;
    // ID mattes: per matte type found ("CryptoObject", ...), the largest amount by which a
    // pixel's summed coverages exceed its alpha or fall below (1 - 1/e) of it; over 1e-5 the
    // check fails (raise the matte's depth when a pixel holds more IDs than it has ranks).
    std::vector<std::pair<std::string, double>> mattes;
};

// The ID mattes of a file with these channels: each type ("CryptoObject") with its layers
// ("CryptoObject00", "CryptoObject01", ...), every one of which has channels .r .g .b .a.
std::map<std::string, std::vector<std::string>> matte_layers(const std::vector<std::string>& channels);

// The light-group layers ("orn_MegaTK_lightgroup_<group>", the rest included) must add up to the
// beauty with the same tolerance.
// beauty = shading + incand + indirect + reflect + refract + spec_shd x specular
//          + amb_occlus x ambient, per channel; a pixel passes when
// |beauty - rebuilt| <= absolute + relative x |beauty| for r, g and b. A file whose header marks
// the frame unfinished, or whose beauty is empty (every pixel 0), does not pass: a file of zeros
// adds up trivially.
ClosureReport check_pass_closure(const std::string& exr_path, double absolute = 2e-5, double relative = 1e-5);

// One picture of a contact sheet: its label and the three channels it shows (one channel
// three times for a single-channel layer); data layers are stretched to their own range.
struct SheetTile {
    std::string label;
    std::array<std::string, 3> channels;
    bool normalise = false;
    // An ID matte: its layers ("CryptoObject00", ...), drawn as each ID's own colour weighted by
    // its coverage; `channels` are then unused.
    std::vector<std::string> matte_layers = {};
};

// The tiles of a file with these channels, in the order the compositing formula reads them:
// the beauty ("BEAUTY (R G B A)"), the additive layers, each ratio beside its denominator, then
// the data layers and whatever else the file holds, in the file's order.
std::vector<SheetTile> contact_sheet_tiles(const std::vector<std::string>& channels);

// A PNG that shows the beauty and every layer of a multi-layer EXR side by side, each
// named, for a person to look at the passes without a compositor.
// Returns an error message, or an empty string on success.
std::string write_contact_sheet(const std::string& exr_path, const std::string& png_path,
                                int tile_width = 320);

// An 8-bit PNG of an EXR's colour channels (display gamma 2.2), full size.
std::string write_preview(const std::string& exr_path, const std::string& png_path);

} // namespace orn::film
