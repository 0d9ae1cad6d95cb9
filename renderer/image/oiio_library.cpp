// The image library loaded on first use (libornimage.so): image files and texture filtering
// through OpenImageIO. Only its entry function is exported.
#include "image/image_library.h"

#include <OpenImageIO/imageio.h>
#include <OpenImageIO/texture.h>

#include <algorithm>

namespace orn::image {

namespace {

OIIO::TypeDesc type_desc(PixelType type) {
    switch (type) {
    case PixelType::Float:
        return OIIO::TypeDesc::FLOAT;
    case PixelType::Half:
        return OIIO::TypeDesc::HALF;
    case PixelType::UInt32:
        return OIIO::TypeDesc::UINT32;
    case PixelType::UInt16:
        return OIIO::TypeDesc::UINT16;
    case PixelType::UInt8:
        return OIIO::TypeDesc::UINT8;
    }
    return OIIO::TypeDesc::FLOAT;
}

OIIO::ImageSpec make_header(const WriteSpec& spec) {
    const int channels = static_cast<int>(spec.channels.size());
    OIIO::ImageSpec header(spec.width, spec.height, channels, type_desc(spec.types.front()));
    header.channelnames = spec.channels;
    const bool mixed = std::any_of(spec.types.begin(), spec.types.end(),
                                   [&](PixelType t) { return t != spec.types.front(); });
    if (mixed)
        for (PixelType t : spec.types)
            header.channelformats.push_back(type_desc(t));
    header.alpha_channel = spec.alpha_channel;
    header.z_channel = spec.z_channel;
    if (spec.unassociated_alpha) header.attribute("oiio:UnassociatedAlpha", 1);
    if (!spec.compression.empty()) header.attribute("compression", spec.compression);
    return header;
}

// Textures are at most this many pixels a side and channels deep: far beyond any real texture,
// and small enough that a header claiming more cannot make the reader ask for gigabytes.
constexpr int kMaxTextureSide = 65536;
constexpr int kMaxTextureChannels = 64;

std::optional<std::string> size_problem(const OIIO::ImageSpec& spec) {
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

// Reads one MIP level in bands of rows (whole tile rows for tiled files) into `band`.
std::optional<std::string> read_problem(OIIO::ImageInput& in, const OIIO::ImageSpec& spec, int level,
                                        std::vector<float>& band) {
    const size_t row = size_t(spec.width) * size_t(spec.nchannels);
    const int step = spec.tile_width > 0 ? std::max(1, spec.tile_height) : std::max(1, int((1u << 20) / row));
    for (int y = 0; y < spec.height; y += step) {
        const int y0 = spec.y + y, y1 = spec.y + std::min(spec.height, y + step);
        band.resize(row * size_t(y1 - y0));
        const bool ok = spec.tile_width > 0
                            ? in.read_tiles(0, level, spec.x, spec.x + spec.width, y0, y1, spec.z, spec.z + 1,
                                            0, spec.nchannels, OIIO::TypeDesc::FLOAT, band.data())
                            : in.read_scanlines(0, level, y0, y1, spec.z, 0, spec.nchannels,
                                                OIIO::TypeDesc::FLOAT, band.data());
        if (!ok) {
            const std::string why = in.geterror();
            return "damaged: " + (why.empty() ? "its pixels cannot be read" : why);
        }
    }
    return std::nullopt;
}

class OiioTextures final : public Textures {
  public:
    explicit OiioTextures(int threads) : system_(TS::create(true)) {
        // Plain scanline images (the usual .hdr, .exr or .png) are tiled and MIP-mapped in
        // memory when first read, so every file gets filtered lookups without a conversion step.
        system_->attribute("autotile", 64);
        system_->attribute("automip", 1);
        perthread_.resize(size_t(std::max(1, threads)));
        for (auto& p : perthread_)
            p = system_->create_thread_info();
    }
    ~OiioTextures() override {
        for (TS::Perthread* p : perthread_)
            system_->destroy_thread_info(p);
    }
    OiioTextures(const OiioTextures&) = delete;
    OiioTextures& operator=(const OiioTextures&) = delete;

    int open(const std::string& path, int& channels, std::string& why) override {
        system_->invalidate(OIIO::ustring(path), false);
        TS::TextureHandle* handle = system_->get_texture_handle(OIIO::ustring(path), perthread_[0]);
        channels = 0;
        if (!handle || !system_->good(handle) ||
            !system_->get_texture_info(handle, perthread_[0], 0, OIIO::ustring("channels"),
                                       OIIO::TypeDesc::INT, &channels) ||
            channels <= 0) {
            why = system_->geterror();
            if (why.empty()) why = "not an image file this renderer can read";
            return -1;
        }
        handles_.push_back(handle);
        return int(handles_.size()) - 1;
    }

    bool filter(int texture, int thread, Wrap wrap, float s, float t, float ds, float dt, int n,
                float* result, std::string& why) const override {
        OIIO::TextureOpt opt;
        opt.swrap = wrap == Wrap::PeriodicS ? OIIO::TextureOpt::WrapPeriodic : OIIO::TextureOpt::WrapClamp;
        opt.twrap = OIIO::TextureOpt::WrapClamp;
        opt.interpmode = OIIO::TextureOpt::InterpBilinear;
        opt.mipmode = OIIO::TextureOpt::MipModeTrilinear;
        if (system_->texture(handles_[size_t(texture)], perthread(thread), opt, s, t, ds, 0.f, 0.f, dt, n,
                             result))
            return true;
        // Taking the text also clears it, which would otherwise grow with every failure.
        why = system_->geterror();
        return false;
    }

  private:
    // The process-wide system: its tiles and MIP levels then serve every frame of a sequence,
    // and a private system cannot be freed cleanly (OpenImageIO 2.4 deletes it as the wrong type).
    using TS = OIIO::TextureSystem;
    TS::Perthread* perthread(int thread) const {
        if (thread >= 0 && size_t(thread) < perthread_.size()) return perthread_[size_t(thread)];
        return system_->get_perthread_info();
    }
    TS* system_;                            // not owned
    std::vector<TS::Perthread*> perthread_; // one per render thread, owned
    std::vector<TS::TextureHandle*> handles_;
};

class OiioLibrary final : public Library {
  public:
    std::optional<std::string> write(const std::string& path, const WriteSpec& spec,
                                     const void* data) const override {
        if (spec.channels.empty() || spec.types.size() != spec.channels.size())
            return std::string("no channels to write");
        const OIIO::ImageSpec header = make_header(spec);
        auto out = OIIO::ImageOutput::create(path);
        if (!out) {
            const std::string reason = OIIO::geterror();
            return reason.empty() ? "no image writer for this format" : reason;
        }
        // Stay on the calling thread: files are small next to a render, and the library's own
        // worker pool is opaque to the sanitizer builds.
        out->threads(1);
        if (!out->open(path, header)) return out->geterror();
        // Naming a single type outright matters: the iff writer mangles "native" 16-bit data.
        const OIIO::TypeDesc type = spec.data_is_float              ? OIIO::TypeDesc::FLOAT
                                    : header.channelformats.empty() ? header.format
                                                                    : OIIO::TypeDesc::UNKNOWN;
        if (!out->write_image(type, data)) {
            const std::string reason = out->geterror();
            out->close();
            return reason;
        }
        if (!out->close()) return out->geterror();
        return std::nullopt;
    }

    std::optional<std::string> read(const std::string& path, FloatImage& image) const override {
        auto in = OIIO::ImageInput::open(path);
        if (!in) return "cannot read \"" + path + "\": " + OIIO::geterror();
        const OIIO::ImageSpec& spec = in->spec();
        image.width = spec.width;
        image.height = spec.height;
        image.channels = spec.channelnames;
        image.pixels.assign(spec.image_pixels() * size_t(std::max(0, spec.nchannels)), 0.f);
        if (!in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, image.pixels.data()))
            return "cannot read the pixels of \"" + path + "\": " + in->geterror();
        return std::nullopt;
    }

    std::string problem(const std::string& path) const override {
        // Every pixel of every MIP level is read once here, with the errors checked: the texture
        // system reads tiles later from threads where a damaged file could only abort the
        // process. Rows go through a small buffer, so the check costs no memory of the image's size.
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
                if (auto why = size_problem(spec)) return *why;
                if (auto why = read_problem(*in, spec, level, band)) return *why;
            }
            const std::string left = in->geterror();
            if (!left.empty()) return "damaged: " + left;
        } catch (const std::exception& e) {
            return std::string("damaged: ") + e.what();
        }
        return {};
    }

    std::unique_ptr<Textures> textures(int threads) const override {
        return std::make_unique<OiioTextures>(threads);
    }
};

} // namespace

} // namespace orn::image

extern "C" __attribute__((visibility("default"))) const orn::image::Library* orn_image_library(int version) {
    static const orn::image::OiioLibrary library;
    return version == orn::image::kInterfaceVersion ? &library : nullptr;
}
