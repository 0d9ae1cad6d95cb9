// The full read of a texture file, shared by the image library (its header check) and the
// texture checker, which reads every pixel in a process of its own.
#pragma once

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace orn::image {

// The checker's file name, beside the image library.
constexpr const char* kCheckerFile = "ornimagecheck";

// Textures are at most this many pixels a side and channels deep: far beyond any real texture,
// and small enough that a header claiming more cannot make the reader ask for gigabytes.
constexpr int kMaxTextureSide = 65536;
constexpr int kMaxTextureChannels = 64;

inline std::optional<std::string> texture_size_problem(const OIIO::ImageSpec& spec) {
    if (spec.width <= 0 || spec.height <= 0 || spec.nchannels <= 0)
        return std::string("the image holds no pixels");
    if (spec.depth != 1) return std::string("a volume image is no texture");
    if (spec.width > kMaxTextureSide || spec.height > kMaxTextureSide || spec.nchannels > kMaxTextureChannels)
        return std::to_string(spec.width) + " x " + std::to_string(spec.height) + " pixels of " +
               std::to_string(spec.nchannels) + " channels is more than a texture may hold (" +
               std::to_string(kMaxTextureSide) + " pixels a side, " + std::to_string(kMaxTextureChannels) +
               " channels)";
    return std::nullopt;
}

// Why the file cannot serve as a texture: every pixel of every MIP level is read once, in bands
// of rows (whole tile rows for tiled files), with the errors checked. Empty when it can.
inline std::string texture_read_problem(const std::string& path) {
    try {
        auto in = OIIO::ImageInput::open(path);
        if (!in) {
            std::string why = OIIO::geterror();
            return why.empty() ? "not an image file this renderer can read" : why;
        }
        in->threads(1);
        std::vector<float> band;
        for (int level = 0; in->seek_subimage(0, level); ++level) {
            const OIIO::ImageSpec spec = in->spec();
            if (auto why = texture_size_problem(spec)) return *why;
            const size_t row = size_t(spec.width) * size_t(spec.nchannels);
            const int step =
                spec.tile_width > 0 ? std::max(1, spec.tile_height) : std::max(1, int((1u << 20) / row));
            for (int y = 0; y < spec.height; y += step) {
                const int y0 = spec.y + y, y1 = spec.y + std::min(spec.height, y + step);
                band.resize(row * size_t(y1 - y0));
                const bool ok =
                    spec.tile_width > 0
                        ? in->read_tiles(0, level, spec.x, spec.x + spec.width, y0, y1, spec.z, spec.z + 1, 0,
                                         spec.nchannels, OIIO::TypeDesc::FLOAT, band.data())
                        : in->read_scanlines(0, level, y0, y1, spec.z, 0, spec.nchannels,
                                             OIIO::TypeDesc::FLOAT, band.data());
                if (!ok) {
                    const std::string why = in->geterror();
                    return "damaged: " + (why.empty() ? "its pixels cannot be read" : why);
                }
            }
        }
        const std::string left = in->geterror();
        if (!left.empty()) return "damaged: " + left;
    } catch (const std::exception& e) {
        return std::string("damaged: ") + e.what();
    }
    return {};
}

} // namespace orn::image
