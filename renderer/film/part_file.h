// Part files of a split frame: the raw film planes of a strip of rows, before any output
// shader ran, with what is needed to find the scene again and to rebuild the whole frame.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orn::film {

class Film;

// A file the scene was made of, and a hash of its contents when the part was rendered.
struct ReadFile {
    std::string path; // absolute, links resolved
    std::string hash;
    bool operator==(const ReadFile& o) const { return path == o.path && hash == o.hash; }
    bool operator!=(const ReadFile& o) const { return !(*this == o); }
};

// Where a part comes from. A part carries no search paths: the merge finds the scene's files
// with its own, and refuses a scene that reads other files or other contents than these.
struct PartOrigin {
    std::vector<std::string> scenes; // scene files named on the command line, absolute, in order
    std::vector<ReadFile> files;     // every file read: scenes, includes, meshes, textures, modules
    int frame = 0;                   // the cameras' frame number
    bool frame_given = false;        // the frame came from --frames (outputs' '#' runs take it)
    int render = 0;                  // which render statement of the scene
    std::string camera;              // its camera instance, for messages
    int tile = 0, tiles = 1;         // part `tile` of `tiles`
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

// Content hash of a file, hex; empty when it cannot be read.
std::string hash_file(const std::string& path);
// Each file with its hash; the error naming the first that cannot be read, or nullopt.
std::optional<std::string> record_files(const std::vector<std::string>& paths, std::vector<ReadFile>& files);
// The first recorded file that is gone or whose contents changed since, named, or nullopt.
std::optional<std::string> changed_file(const std::vector<ReadFile>& files);

// Writes film rows [row0, row1) of every plane as 32-bit float channels "plane.0" to
// "plane.3" (labels as unsigned integers, bit for bit) into an OpenEXR file whose display window
// is the whole frame and whose data window is the strip. Atomic, like every output. The error,
// or nullopt.
std::optional<std::string> write_part(const Film& film, int row0, int row1, const PartOrigin& origin,
                                      const std::string& path);

// Reads a part's header. The error (not an OpenEXR file, not a part, damaged, a count out of
// range), or nullopt. Nothing is allocated from the header's counts.
std::optional<std::string> read_part_header(const std::string& path, PartFile& part);

// Copies a part's rows into the film, whose planes must match the part's layout.
std::optional<std::string> read_part_pixels(const PartFile& part, Film& film);

} // namespace orn::film
