#include "film/image_output.h"

#include "common/atomic_file.h"
#include "film/film.h"
#include "film/output_layout.h"
#include "image/image_library.h"

#include <Imath/half.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>

namespace orn::film {

namespace {

std::string in_quotes(const std::string& s) {
    return "\"" + s + "\"";
}

std::string write_error(const std::string& path, const std::string& reason) {
    return "cannot write " + in_quotes(path) + ": " + reason;
}

std::size_t byte_size(PixelKind kind) {
    switch (kind) {
    case PixelKind::Float:
    case PixelKind::UInt32:
        return 4;
    case PixelKind::Half:
    case PixelKind::UInt16:
        return 2;
    case PixelKind::UInt8:
        return 1;
    }
    return 4;
}

image::PixelType pixel_type(PixelKind kind) {
    switch (kind) {
    case PixelKind::Float:
        return image::PixelType::Float;
    case PixelKind::Half:
        return image::PixelType::Half;
    case PixelKind::UInt32:
        return image::PixelType::UInt32;
    case PixelKind::UInt16:
        return image::PixelType::UInt16;
    case PixelKind::UInt8:
        return image::PixelType::UInt8;
    }
    return image::PixelType::Float;
}

float unit(float v) {
    return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f; // NaN lands on 0
}

// Stores one film value in the file's pixel type; the source stays a float slot so that labels
// keep their bit pattern.
void encode(const float* src, PixelKind kind, unsigned char* dst) {
    switch (kind) {
    case PixelKind::Float:
    case PixelKind::UInt32:
        std::memcpy(dst, src, 4);
        return;
    case PixelKind::Half: {
        const std::uint16_t bits = Imath::half(*src).bits();
        std::memcpy(dst, &bits, 2);
        return;
    }
    case PixelKind::UInt8: {
        *dst = static_cast<unsigned char>(std::lround(unit(*src) * 255.0f));
        return;
    }
    case PixelKind::UInt16: {
        const auto v = static_cast<std::uint16_t>(std::lround(unit(*src) * 65535.0f));
        std::memcpy(dst, &v, 2);
        return;
    }
    }
}

struct BoundChannel {
    const ChannelSource* source;
    const std::vector<float>* pixels;
    std::size_t components;
    std::size_t offset; // byte offset inside a file pixel
};

// Looks the planes up in the film; an error when one is missing or has too few components.
std::optional<std::string> bind_channels(const Film& film, const OutputLayout& layout,
                                         const std::string& path, std::vector<BoundChannel>& bound,
                                         std::size_t& pixel_bytes) {
    pixel_bytes = 0;
    for (const ChannelSource& channel : layout.channels) {
        const int id = film.plane_id(channel.plane);
        if (id < 0) return "film has no plane " + in_quotes(channel.plane) + " for " + in_quotes(path);
        const PlaneInfo& info = film.plane_info(id);
        if (channel.component >= info.components)
            return "plane " + in_quotes(channel.plane) + " has " + std::to_string(info.components) +
                   " components, too few for data type " + in_quotes(channel.data_type) + " in " +
                   in_quotes(path);
        bound.push_back(
            {&channel, &film.resolved(id), static_cast<std::size_t>(info.components), pixel_bytes});
        pixel_bytes += byte_size(channel.kind);
    }
    return std::nullopt;
}

image::WriteSpec make_header(const Film& film, const OutputLayout& layout, const OutputRequest& request) {
    image::WriteSpec header;
    header.width = film.width();
    header.height = film.height();
    const int channels = static_cast<int>(layout.channels.size());
    for (int i = 0; i < channels; ++i) {
        const ChannelSource& c = layout.channels[static_cast<std::size_t>(i)];
        header.channels.push_back(c.name);
        header.types.push_back(pixel_type(c.kind));
        if (c.name == "A") header.alpha_channel = i;
        if (c.data_type == "z" && c.name == "Z") header.z_channel = i;
    }
    // Values go out as they are; the colour is already premultiplied.
    header.unassociated_alpha = true;
    header.cancel = film.cancel_flag();
    header.compression = request.compression;
    // The iff writer's run-length coding garbles runs of 16-bit alpha: iff files go out plain.
    if (layout.format == ImageFormat::Iff) header.compression = "none";
    // Only a finished frame is ever written; the mark tells it from a file of zeros that some
    // other writer left behind.
    if (layout.format == ImageFormat::Exr) {
        header.int_attributes.emplace_back(kFrameCompleteAttribute, 1);
        header.string_attributes = request.attributes;
    }
    return header;
}

// Packs the file's pixels, top scanline first, each channel in its own pixel type.
std::vector<unsigned char> pack_pixels(const Film& film, const std::vector<BoundChannel>& bound,
                                       std::size_t pixel_bytes) {
    const std::size_t width = static_cast<std::size_t>(film.width());
    const std::size_t height = static_cast<std::size_t>(film.height());
    std::vector<unsigned char> data(width * height * pixel_bytes);
    const std::atomic<bool>* cancel = film.cancel_flag();
    for (std::size_t row = 0; row < height; ++row) {
        if (cancel && row % 64 == 0 && cancel->load(std::memory_order_relaxed)) throw Interrupted();
        const std::size_t film_row = height - 1 - row;
        for (std::size_t x = 0; x < width; ++x) {
            unsigned char* dst = data.data() + (row * width + x) * pixel_bytes;
            const std::size_t pixel = film_row * width + x;
            for (const BoundChannel& b : bound) {
                const float* src =
                    b.pixels->data() + pixel * b.components + static_cast<std::size_t>(b.source->component);
                encode(src, b.source->kind, dst + b.offset);
            }
        }
    }
    return data;
}

std::optional<std::string> read_back(const image::Library& images, const std::string& file,
                                     const image::WriteSpec& header) {
    image::FloatImage back;
    if (images.read(file, back) || back.width != header.width || back.height != header.height ||
        back.channels.size() != header.channels.size())
        return std::string("the file came out incomplete (is the disk full?)");
    return std::nullopt;
}

} // namespace

std::optional<std::string> check_output_type(const OutputRequest& request) {
    return plan_output(request).error;
}

std::optional<std::string> check_writable(const std::string& path) {
    if (path.empty()) return std::string("no output file name given");
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return write_error(path, "is a directory");
    AtomicFile probe(path, ".tmp");
    if (!probe.error().empty()) return write_error(path, probe.error());
    // The writer is loaded now rather than after a long render that could not be saved.
    std::string error;
    if (!image::library(error)) return write_error(path, error);
    return std::nullopt;
}

std::optional<std::string> write_image(const Film& film, const OutputRequest& request) {
    const std::string& path = request.path;
    try {
        const LayoutResult plan = plan_output(request);
        if (plan.error) return plan.error;

        std::vector<BoundChannel> bound;
        std::size_t pixel_bytes = 0;
        if (auto error = bind_channels(film, plan.layout, path, bound, pixel_bytes)) return error;

        std::string error;
        const image::Library* images = image::library(error);
        if (!images) return write_error(path, error);
        const image::WriteSpec header = make_header(film, plan.layout, request);
        const std::vector<unsigned char> data = pack_pixels(film, bound, pixel_bytes);

        AtomicFile file(path, plan.layout.extension);
        if (!file.error().empty()) return write_error(path, file.error());
        if (auto reason = images->write(file.temp_path(), header, data.data()))
            return write_error(path, *reason);
        // The png and iff writers do not notice a short write (a full disk): such files are read
        // back whole before they may replace anything.
        if (plan.layout.format == ImageFormat::Png || plan.layout.format == ImageFormat::Iff)
            if (auto reason = read_back(*images, file.temp_path(), header)) return write_error(path, *reason);
        if (auto reason = file.commit()) return write_error(path, *reason);
        return std::nullopt;
    } catch (const std::exception& e) {
        return write_error(path, e.what());
    }
}

} // namespace orn::film
