#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orn::film {

class Film;

// Integer header attribute, 1 in every EXR file of a finished frame (the renderer's own and the
// toolkit saver's); an interrupted frame writes no file at all.
inline constexpr const char* kFrameCompleteAttribute = "ornFrameComplete";

// One image file to write from a resolved film.
struct OutputRequest {
    // Film planes read by the data types, in the same order; empty: each type reads its standard
    // plane (rgba/rgb: Color, z: Depth, n: Normal, m: Motion, tag: Label, coverage: Coverage).
    std::vector<std::string> planes;
    // "exr", "tif", "tiff", "png" or "iff" (16-bit colour); empty: taken from the path's extension.
    std::string format;
    // Comma-separated data types, each optionally prefixed by '+' or '-': "rgba", "rgb", "rgba_fp",
    // "rgb_fp", "rgba_h", "rgb_h", "z", "n", "m", "tag", "coverage". Several only in exr.
    std::string data_type;
    std::string path;
    // exr: none, rle, zips, zip, piz, pxr24, b44, b44a, dwaa, dwab; tif: none, lzw, zip,
    // packbits; ignored for png. Empty: the format's default.
    std::string compression = {};
    // exr (other formats leave them out): film planes of 4 components written after the data
    // types, bit for bit as 32-bit float channels "<plane>.r", ".g", ".b", ".a" (the ID mattes'
    // ranks), and string attributes for the header.
    std::vector<std::string> layers = {};
    std::vector<std::pair<std::string, std::string>> attributes = {};
};

// All three return an error message naming the path, or nullopt when all is well.

// Checks format, data types and their combination without touching the disk.
std::optional<std::string> check_output_type(const OutputRequest& request);

// Creates and removes a temporary file beside `path` and loads the image library, so a bad
// output location or a missing writer fails before rendering starts.
std::optional<std::string> check_writable(const std::string& path);

// Writes the film's resolved planes, top row first. The file appears atomically: on failure any
// file already at the path is left untouched and no partial file remains.
std::optional<std::string> write_image(const Film& film, const OutputRequest& request);

} // namespace orn::film
