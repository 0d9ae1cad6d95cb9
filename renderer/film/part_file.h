// Part files of a split frame: the raw film planes of a strip of rows, before any output
// shader ran, with what is needed to find the scene again and to rebuild the whole frame.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orn::film {

class Film;

// Where a part comes from.
struct PartOrigin {
    std::vector<std::string> scenes;        // scene files read, absolute, in order
    std::string scene_hash;                 // of their contents: a scene edited since is refused
    std::vector<std::string> include_paths; // -I and -L of the tile run
    std::vector<std::string> library_paths;
    int frame = 0;            // the cameras' frame number
    bool frame_given = false; // the frame came from --frames (outputs' '#' runs take it)
    int render = 0;           // which render statement of the scene
    std::string camera;       // its camera instance, for messages
    int tile = 0, tiles = 1;  // part `tile` of `tiles`
};

struct PartFile {
    std::string path;
    PartOrigin origin;
    int width = 0, height = 0; // of the whole frame
    int row0 = 0, row1 = 0;    // film rows held, [row0, row1), row 0 at the bottom
    std::string planes;        // the film's plane layout (plane_layout)
};

// One line per plane: name, components, filtered.
std::string plane_layout(const Film& film);

// Content hash of files, hex; empty when one cannot be read.
std::string hash_files(const std::vector<std::string>& paths);

// Writes film rows [row0, row1) of every plane as 32-bit float channels "plane.0" to
// "plane.3" (labels as unsigned integers, bit for bit) into an OpenEXR file whose display window
// is the whole frame and whose data window is the strip. Atomic, like every output. The error,
// or nullopt.
std::optional<std::string> write_part(const Film& film, int row0, int row1, const PartOrigin& origin,
                                      const std::string& path);

// Reads a part's header. The error (not an OpenEXR file, not a part, damaged), or nullopt.
std::optional<std::string> read_part_header(const std::string& path, PartFile& part);

// Copies a part's rows into the film, whose planes must match the part's layout.
std::optional<std::string> read_part_pixels(const PartFile& part, Film& film);

} // namespace orn::film
