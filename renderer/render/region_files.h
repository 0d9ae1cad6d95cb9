// The files of a region render. A region is rendered to change part of a frame, so where an
// earlier finished full frame of the same size lies at an output's path, the region's pixels go
// into it, every layer, and the rest of it stays; otherwise the file holds the region alone, its
// outside not rendered (alpha 0), and says so in its header. Only EXR files are handled this way;
// the others are written as the region alone.
#pragma once

#include <array>
#include <string>
#include <sys/types.h>
#include <vector>

namespace orn {

// The header attribute (box2i, EXR pixel coordinates: x from the left, y from the top row, both
// ends included) of the rectangle a region render put into an earlier frame ...
inline constexpr const char* kUpdatedRegionAttribute = "ornUpdatedRegion";
// ... and of the one it rendered alone, everything outside of it not rendered.
inline constexpr const char* kRenderedRegionAttribute = "ornRenderedRegion";

class RegionFiles {
  public:
    // `region`: the pixels rendered, x in [0], [2]), y in [1], [3]) from the bottom row, of a
    // `width` x `height` frame.
    RegionFiles(std::array<int, 4> region, int width, int height);
    ~RegionFiles();
    RegionFiles(const RegionFiles&) = delete;
    RegionFiles& operator=(const RegionFiles&) = delete;

    // Before the outputs write `path`: an earlier full frame of this size there is kept aside (a
    // second name for it in the same directory, or a copy) until after().
    void before(const std::string& path);
    // After the outputs: every file written since before() gets the region put into its earlier
    // frame, atomically, or is marked as the region alone. Files not written (an interrupted
    // frame) are left as they are. Problems are warnings; nothing earlier is lost.
    void after();

  private:
    struct Target {
        std::string path, kept; // kept: the earlier frame's second name, empty when none
        dev_t dev = 0;
        ino_t ino = 0;
        long long mtime = 0; // of the file before the outputs, to tell whether they wrote it
        bool existed = false;
    };
    std::array<int, 4> region_;
    int width_, height_;
    std::vector<Target> targets_;
};

} // namespace orn
