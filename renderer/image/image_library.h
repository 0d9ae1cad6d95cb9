// Image files and image textures, behind a small interface to a library of ours that is loaded
// on first use. The image formats behind it pull in a few hundred shared libraries whose loading
// took most of the renderer's start-up; a frame that reads and writes no image does not load it.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orn::image {

// Raised whenever a declaration below changes, so that a stale library is refused at load time
// instead of being called through the wrong layout.
constexpr int kInterfaceVersion = 5;

enum class PixelType { Float, Half, UInt32, UInt16, UInt8 };

// An image file to write.
struct WriteSpec {
    int width = 0, height = 0;
    std::vector<std::string> channels; // names, in file order
    std::vector<PixelType> types;      // each channel's type in the file
    int alpha_channel = -1, z_channel = -1;
    // Marks the colour as stored unchanged (no division by alpha on the way out).
    bool unassociated_alpha = false;
    std::string compression; // empty: the format's default
    // Integer metadata for the header, where the format keeps such (EXR).
    std::vector<std::pair<std::string, int>> int_attributes;
    std::vector<std::pair<std::string, std::string>> string_attributes;
    // The pixels handed over: interleaved, top row first, either each channel already in its
    // file type or all of them as float (converted by the writer).
    bool data_is_float = false;
    // Looked at between slices of rows: once raised, the write stops with "interrupted".
    const std::atomic<bool>* cancel = nullptr;
};

// All channels of an image file as float, interleaved, top row first.
struct FloatImage {
    int width = 0, height = 0;
    std::vector<std::string> channels;
    std::vector<float> pixels;
};

// One frame's filtered texture lookups. Lookups are const and take the render thread's index,
// so threads never share a lookup context; an index outside the count given at creation gets
// one of the texture system's own.
class Textures {
  public:
    virtual ~Textures() = default;
    // Resolves a texture file, reading it anew when it changed since an earlier frame read it:
    // its index for lookups, or -1 with `why`.
    virtual int open(const std::string& path, int& channels, std::string& why) = 0;

    enum class Wrap { Clamp, PeriodicS }; // PeriodicS: s wraps around, t clamps
    // `n` (at most 4) channels at (s, t), t running down from row 0, over a footprint ds x dt,
    // interpolated bilinearly and trilinearly between MIP levels. False with `why` when the
    // read fails.
    virtual bool filter(int texture, int thread, Wrap wrap, float s, float t, float ds, float dt, int n,
                        float* result, std::string& why) const = 0;
};

class Library {
  public:
    virtual ~Library() = default;
    // Writes `data` as laid out by `spec` to `path` (format from its extension); an error
    // message (the reason only) or nullopt.
    virtual std::optional<std::string> write(const std::string& path, const WriteSpec& spec,
                                             const void* data) const = 0;
    // Reads every channel; an error message naming the path, or nullopt.
    virtual std::optional<std::string> read(const std::string& path, FloatImage& image) const = 0;
    // Why the file cannot serve as a texture, or nothing when it can: reads every pixel of every
    // MIP level through a small buffer in a process of its own (ornimagecheck), refusing images
    // of more than 65536 pixels a side or 64 channels before any pixel is read.
    virtual std::string problem(const std::string& path) const = 0;
    virtual std::unique_ptr<Textures> textures(int threads) const = 0;
};

// The library, loaded from beside libornrender.so on the first call and kept for the life of
// the process; null, with a message naming the library and the reason, when it cannot be
// loaded. Safe to call from several threads.
const Library* library(std::string& error);

// Why an image file cannot serve as a texture, or nothing when it can. Reads every pixel once,
// so that a damaged file is refused here rather than failing inside a render thread.
std::string texture_file_problem(const std::string& path);

// Loads the library from `path` (the first call's work; tests name other paths).
struct Loaded {
    const Library* library = nullptr;
    std::string error;
};
Loaded load(const std::string& path);

// The file name of the library, searched beside libornrender.so.
constexpr const char* kLibraryFile = "libornimage.so";

} // namespace orn::image

// The library's one exported function: its implementation, or null when it was built for
// another interface version.
extern "C" {
using OrnImageLibraryEntry = const orn::image::Library* (*)(int interface_version);
}
