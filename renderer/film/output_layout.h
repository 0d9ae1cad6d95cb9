#pragma once

#include "film/image_output.h"

#include <optional>
#include <string>
#include <vector>

namespace orn::film {

enum class ImageFormat { Exr, Tiff, Png, Iff };
enum class PixelKind { Float, Half, UInt32, UInt16, UInt8 };

// One channel of the file and where its values come from.
struct ChannelSource {
    std::string name;
    std::string plane;
    int component = 0;
    std::string data_type; // for messages
    PixelKind kind = PixelKind::Float;
};

struct OutputLayout {
    ImageFormat format = ImageFormat::Exr;
    std::string extension; // ".exr", ".tif", ".png"
    std::vector<ChannelSource> channels;
};

// Turns a request into the channel list of its file, or an error message naming the path.
struct LayoutResult {
    OutputLayout layout;
    std::optional<std::string> error;
};
LayoutResult plan_output(const OutputRequest& request);

} // namespace orn::film
