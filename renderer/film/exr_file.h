// A whole single-part EXR file in memory, every channel in its own pixel type and the header with
// all its attributes: what a tool that changes some layers of a written frame and keeps the rest
// bit for bit (the light mix, a region put into an earlier frame) reads and writes back.
#pragma once

#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfPixelType.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orn::film {

struct ExrChannel {
    std::string name;
    Imf::PixelType type = Imf::FLOAT;
    // HALF and FLOAT channels as float (a half survives the trip exactly), UINT ones as bits in
    // `bits`; rows from the top of the picture.
    std::vector<float> values;
    std::vector<std::uint32_t> bits;
};

struct ExrFile {
    Imf::Header header;
    int width = 0, height = 0;
    std::vector<ExrChannel> channels;

    ExrChannel* find(const std::string& name);
    const ExrChannel* find(const std::string& name) const;
};

// Reads a scan-line or tiled single-part file; the reason on failure (deep and multi-part files
// are refused, as are files whose data window does not start at 0 0 or is not the display window).
std::optional<std::string> read_exr_file(const std::string& path, ExrFile& out);

// Writes `file` at `path` as a scan-line file with its header's attributes and compression,
// atomically: the old file stays whole until the new one is complete.
std::optional<std::string> write_exr_file(const std::string& path, const ExrFile& file);

} // namespace orn::film
