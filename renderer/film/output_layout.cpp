#include "film/output_layout.h"

#include "film/film.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

namespace orn::film {

namespace {

struct DataType {
    const char* name;
    StandardPlane plane;
    int components;
    const char* exr_layer; // groups the channels of the standard plane in exr files
    const char* component_names[4];
    PixelKind exr;
    PixelKind tiff;
    const char* png_refusal; // why the type cannot go into png; null when it can (as 8 bit)
};

constexpr PixelKind F = PixelKind::Float;
constexpr PixelKind H = PixelKind::Half;
constexpr PixelKind U32 = PixelKind::UInt32;
constexpr PixelKind U8 = PixelKind::UInt8;

// tif keeps float precision for everything that is not a plain display colour or a coverage
// fraction; normals and motion have negative components that 8 bits would lose.
const DataType data_types[] = {
    {"rgba", Color, 4, "", {"R", "G", "B", "A"}, F, U8, nullptr},
    {"rgb", Color, 3, "", {"R", "G", "B"}, F, U8, nullptr},
    {"rgba_fp", Color, 4, "", {"R", "G", "B", "A"}, F, F, nullptr},
    {"rgb_fp", Color, 3, "", {"R", "G", "B"}, F, F, nullptr},
    {"rgba_h", Color, 4, "", {"R", "G", "B", "A"}, H, F, nullptr},
    {"rgb_h", Color, 3, "", {"R", "G", "B"}, H, F, nullptr},
    {"z", Depth, 1, "", {"Z"}, F, F, "cannot write depth into png, use exr or tif"},
    {"n", Normal, 3, "N", {"X", "Y", "Z"}, F, F, nullptr},
    {"m", Motion, 3, "M", {"X", "Y", "Z"}, F, F, nullptr},
    {"tag", Label, 1, "", {"Label"}, U32, U32, "cannot write labels into png, use exr or tif"},
    {"coverage", Coverage, 1, "", {"Coverage"}, F, U8, nullptr},
};

const char* const refused_formats[] = {"map", "ct", "st", "zt", "nt", "mt", "tt"};
const char* const exr_compressions[] = {"none",  "rle", "zips", "zip",  "piz",
                                        "pxr24", "b44", "b44a", "dwaa", "dwab"};
const char* const tiff_compressions[] = {"none", "lzw", "zip", "packbits"};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::string in_quotes(const std::string& s) {
    return "\"" + s + "\"";
}

template <std::size_t N> bool contains(const char* const (&list)[N], const std::string& s) {
    return std::find(std::begin(list), std::end(list), s) != std::end(list);
}

const DataType* find_type(const std::string& name) {
    for (const DataType& t : data_types)
        if (name == t.name) return &t;
    return nullptr;
}

std::vector<std::string> split_types(const std::string& text) {
    std::vector<std::string> types;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = std::min(text.find(',', begin), text.size());
        std::string item = trim(text.substr(begin, end - begin));
        // A sign in front of a type is accepted and means nothing here.
        if (!item.empty() && (item[0] == '+' || item[0] == '-')) item = trim(item.substr(1));
        if (!item.empty()) types.push_back(item);
        begin = end + 1;
    }
    return types;
}

struct FormatChoice {
    ImageFormat format = ImageFormat::Exr;
    const char* extension = ".exr";
};

std::optional<FormatChoice> parse_format(const std::string& name) {
    if (name == "exr") return FormatChoice{ImageFormat::Exr, ".exr"};
    if (name == "tif" || name == "tiff") return FormatChoice{ImageFormat::Tiff, ".tif"};
    if (name == "png") return FormatChoice{ImageFormat::Png, ".png"};
    if (name == "iff") return FormatChoice{ImageFormat::Iff, ".iff"};
    return std::nullopt;
}

} // namespace

LayoutResult plan_output(const OutputRequest& request) {
    LayoutResult result;
    const std::string& path = request.path;
    auto fail = [&result](std::string message) {
        result.error = std::move(message);
        return result;
    };
    if (path.empty()) return fail("no output file name given");

    std::string format = lower(trim(request.format));
    if (format.empty()) {
        format = lower(std::filesystem::path(path).extension().string());
        if (!format.empty()) format.erase(0, 1);
        if (format.empty()) return fail("no image format given for " + in_quotes(path));
    }
    if (contains(refused_formats, format))
        return fail("image format " + in_quotes(format) +
                    " is not supported (use exr, tif, png or iff) for " + in_quotes(path));
    const std::optional<FormatChoice> choice = parse_format(format);
    if (!choice) return fail("unknown image format " + in_quotes(format) + " for " + in_quotes(path));
    result.layout.format = choice->format;
    result.layout.extension = choice->extension;

    const std::string compression = lower(trim(request.compression));
    if (!compression.empty()) {
        if ((choice->format == ImageFormat::Exr && !contains(exr_compressions, compression)) ||
            (choice->format == ImageFormat::Tiff && !contains(tiff_compressions, compression)))
            return fail("unknown compression " + in_quotes(compression) + " for " + format + " file " +
                        in_quotes(path));
    }

    const std::vector<std::string> names = split_types(request.data_type);
    if (names.empty()) return fail("no data type given for " + in_quotes(path));
    std::vector<const DataType*> types;
    for (const std::string& name : names) {
        const DataType* type = find_type(lower(name));
        if (!type) return fail("unknown data type " + in_quotes(name) + " for " + in_quotes(path));
        types.push_back(type);
    }
    if (types.size() > 1 && choice->format != ImageFormat::Exr)
        return fail("only exr files can hold several data types (" + in_quotes(request.data_type) + ") for " +
                    in_quotes(path));
    if (!request.planes.empty() && request.planes.size() != types.size())
        return fail(std::to_string(request.planes.size()) + " planes given for " +
                    std::to_string(types.size()) + " data types for " + in_quotes(path));

    std::set<std::string> seen;
    for (std::size_t i = 0; i < types.size(); ++i) {
        const DataType& type = *types[i];
        const std::string standard = standard_plane_name(type.plane);
        // An empty plane name stands for the type's standard plane.
        const std::string plane =
            request.planes.empty() || request.planes[i].empty() ? standard : request.planes[i];

        PixelKind kind = type.exr;
        if (choice->format == ImageFormat::Tiff) kind = type.tiff;
        if (choice->format == ImageFormat::Png) {
            if (type.png_refusal) return fail(std::string(type.png_refusal) + " (" + in_quotes(path) + ")");
            kind = PixelKind::UInt8;
        }
        if (choice->format == ImageFormat::Iff) {
            // The iff writer takes 16-bit RGB or RGBA only: colour, clamped to [0, 1].
            if (type.plane != Color)
                return fail("iff files hold 16-bit colour only, not " + in_quotes(type.name) +
                            "; use exr or tif (" + in_quotes(path) + ")");
            kind = PixelKind::UInt16;
        }

        // Only exr has named channels worth a prefix; another plane's channels carry its name once
        // they share a file with other data.
        std::string prefix;
        if (choice->format == ImageFormat::Exr) {
            if (plane == standard)
                prefix = *type.exr_layer ? std::string(type.exr_layer) + "." : "";
            else if (types.size() > 1)
                prefix = plane + ".";
        }
        for (int c = 0; c < type.components; ++c) {
            ChannelSource channel{prefix + type.component_names[c], plane, c, type.name, kind};
            if (!seen.insert(channel.name).second)
                return fail("channel " + in_quotes(channel.name) + " appears twice in " + in_quotes(path));
            result.layout.channels.push_back(std::move(channel));
        }
    }
    // Only exr files have layers to hold them; other formats leave them out.
    if (choice->format == ImageFormat::Exr)
        for (const std::string& layer : request.layers)
            for (int c = 0; c < 4; ++c) {
                ChannelSource channel{layer + "." + "rgba"[c], layer, c, "ID matte", PixelKind::Float};
                if (!seen.insert(channel.name).second)
                    return fail("channel " + in_quotes(channel.name) + " appears twice in " +
                                in_quotes(path));
                result.layout.channels.push_back(std::move(channel));
            }
    return result;
}

} // namespace orn::film
