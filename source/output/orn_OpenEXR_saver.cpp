// Multi-layer OpenEXR output: after the frame, writes the standard images and the tk pass
// buffers as channel groups of one scan-line file, with the camera's data in its header.
#include "source/output/orn_OpenEXR_saver.h"

#include "common/atomic_file.h"
#include "common/conventions.h"
#include "common/light_groups.h"
#include "common/tk_buffers.h"

#include <Imath/ImathMatrix.h>
#include <Imath/half.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfCompression.h>
#include <OpenEXR/ImfConvert.h>
#include <OpenEXR/ImfFloatAttribute.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIntAttribute.h>
#include <OpenEXR/ImfMatrixAttribute.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <OpenEXR/ImfStdIO.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenEXR/ImfThreading.h>
#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using Params = orn_OpenEXR_saver_params;

// Millimetres per inch as the header has always stored it (bit pattern 0x41CB334E).
constexpr float kMmPerInch = 25.400051f;

// ------------------------------------------------------------------ parameters

struct StandardFields {
    miBoolean Params::*pass;
    miInteger Params::*format;
};

constexpr StandardFields kStandardFields[6] = {
    {&Params::rgbaPass, &Params::rgbaFormat}, {&Params::zPass, &Params::zFormat},
    {&Params::nPass, &Params::nFormat},       {&Params::mPass, &Params::mFormat},
    {&Params::tPass, &Params::tFormat},       {&Params::cPass, &Params::cFormat},
};

struct TkFields {
    miBoolean Params::*pass;
    miTag Params::*buffer;
    miInteger Params::*format;
};

#define ORN_TK_FIELDS(g)                                                                                     \
    { &Params::g##Pass, &Params::g##Buffer, &Params::g##Format }
// In the order k of the tk buffer table.
constexpr TkFields kTkFields[orn::kTkBufferCount] = {
    ORN_TK_FIELDS(shading),          ORN_TK_FIELDS(color),         ORN_TK_FIELDS(diffuse),
    ORN_TK_FIELDS(diffuseShadow),    ORN_TK_FIELDS(specular),      ORN_TK_FIELDS(specularShadow),
    ORN_TK_FIELDS(diffuseOcclusion), ORN_TK_FIELDS(indirectIllum), ORN_TK_FIELDS(ambient),
    ORN_TK_FIELDS(ambOcclusion),     ORN_TK_FIELDS(reflect),       ORN_TK_FIELDS(refract),
    ORN_TK_FIELDS(incandescence),    ORN_TK_FIELDS(depth),         ORN_TK_FIELDS(bentNormal),
    ORN_TK_FIELDS(specialC1),        ORN_TK_FIELDS(specialC2),     ORN_TK_FIELDS(specialC3),
    ORN_TK_FIELDS(specialC4),        ORN_TK_FIELDS(specialC5),     ORN_TK_FIELDS(specialC6),
    ORN_TK_FIELDS(specialC7),        ORN_TK_FIELDS(specialC8),     ORN_TK_FIELDS(specialC9),
    ORN_TK_FIELDS(specialC10),
};
#undef ORN_TK_FIELDS

// A string parameter's text; nothing for a null tag or a tag that holds no string.
std::optional<std::string> read_string(miTag tag) {
    if (tag == miNULLTAG || mi_db_type(tag) != miSCENE_STRING) return std::nullopt;
    const char* text = static_cast<const char*>(mi_db_access(tag));
    std::optional<std::string> out;
    if (text) out = text;
    mi_db_unpin(tag);
    return out;
}

// ------------------------------------------------------------------ pixel formats

struct Format {
    Imf::PixelType type;
    size_t bytes;
    const char* word; // in progress lines
};

std::optional<Format> format_of(miInteger code) {
    switch (code) {
    case 0:
        return Format{Imf::UINT, 4, "unint"};
    case 1:
        return Format{Imf::HALF, 2, "half"};
    case 2:
        return Format{Imf::FLOAT, 4, "float"};
    default:
        return std::nullopt;
    }
}

// A group is written only when its switch is exactly 1 and its format known.
std::optional<Format> requested(miBoolean pass, miInteger format) {
    return pass == 1 ? format_of(format) : std::nullopt;
}

template <typename T> T from_float(float v) {
    if constexpr (std::is_same_v<T, unsigned int>)
        return Imf::floatToUint(v);
    else if constexpr (std::is_same_v<T, half>)
        return half(v);
    else
        return v;
}

// Half samples of a row: eight at a time with the processor's conversion instructions where it
// has them (both round to nearest even, so the bits are those of half(float)).
__attribute__((target("avx,f16c"))) void floats_to_halves_f16c(const float* src, half* dst, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), h);
    }
    for (; i < n; ++i)
        dst[i] = half(src[i]);
}

// F16C is CPUID leaf 1, ECX bit 29; its instructions need AVX, which the compiler's check
// confirms the operating system saves.
bool has_f16c() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    return (ecx & (1u << 29)) != 0 && __builtin_cpu_supports("avx");
}

template <typename T> void convert_row(const float* src, T* dst, size_t n) {
    if constexpr (std::is_same_v<T, half>) {
        static const bool f16c = has_f16c();
        if (f16c) return floats_to_halves_f16c(src, dst, n);
    }
    for (size_t i = 0; i < n; ++i)
        dst[i] = from_float<T>(src[i]);
}

template <typename T> T from_label(miUint label) {
    if constexpr (std::is_same_v<T, unsigned int>)
        return label;
    else if constexpr (std::is_same_v<T, half>)
        return Imf::uintToHalf(label);
    else
        return float(label);
}

// ------------------------------------------------------------------ groups

enum class Reader { Color, Depth, Normal, Label };

// One channel group: where its pixels come from and what the file calls them.
struct Group {
    std::string name; // in progress lines: "RGBA", ..., or the tk layer
    miUint image;     // output image number
    Reader reader;
    std::vector<std::string> channels;
    Format format;
    bool tk; // pixel memory from the renderer's allocator, released on failure
};

Group standard_group(int i, Format format) {
    switch (i) {
    case 0:
        return {"RGBA", miRC_IMAGE_RGBA, Reader::Color, {"R", "G", "B", "A"}, format, false};
    case 1:
        return {"Z", miRC_IMAGE_Z, Reader::Depth, {"Z.z"}, format, false};
    case 2:
        return {"Normal", miRC_IMAGE_N, Reader::Normal, {"Normal.r", "Normal.g", "Normal.b"}, format, false};
    case 3:
        return {"Motion", miRC_IMAGE_M, Reader::Normal, {"Motion.r", "Motion.g", "Motion.b"}, format, false};
    case 4:
        return {"Label", miRC_IMAGE_TAG, Reader::Label, {"Label.x"}, format, false};
    default:
        return {"Coverage", miRC_IMAGE_COVERAGE, Reader::Depth, {"Coverage.x"}, format, false};
    }
}

Group tk_group(int k, int64_t index, Format format) {
    const std::string layer = orn::kTkBuffers[k].layer;
    std::vector<std::string> channels = {layer + ".r", layer + ".g", layer + ".b"};
    return {layer, miUint(index) + miRC_IMAGE_USER, Reader::Color, std::move(channels), format, true};
}

// The light groups' buffers, each group's share of the colour, as layers named like the tk
// layers ("orn_MegaTK_lightgroup_key"), and the rest's ("orn_MegaTK_lightgroup_rest").
std::vector<Group> light_group_groups(miState* state, Format format) {
    std::vector<Group> out;
    for (const std::string& name : orn::light_group_layer_names(state)) {
        const int64_t index = orn::tk_buffer_index(state, (orn::kLightGroupBuffer + name).c_str());
        if (index < 0) continue;
        const std::string layer = orn::kLightGroupLayer + name;
        out.push_back({layer,
                       miUint(index) + miRC_IMAGE_USER,
                       Reader::Color,
                       {layer + ".r", layer + ".g", layer + ".b"},
                       format,
                       true});
    }
    return out;
}

// The frame's ID mattes, every layer in 32-bit float whatever the other formats: its IDs are
// bit patterns that no other type keeps.
std::vector<Group> matte_groups(miState* state) {
    std::vector<Group> out;
    for (int m = 0; m < mi_cryptomatte_count(state); ++m) {
        miUint image = 0;
        for (int l = 0; const char* name = mi_cryptomatte_layer(state, m, l, &image); ++l) {
            const std::string layer = name;
            out.push_back({layer,
                           image,
                           Reader::Color,
                           {layer + ".r", layer + ".g", layer + ".b", layer + ".a"},
                           Format{Imf::FLOAT, 4, "float"},
                           true});
        }
    }
    return out;
}

void insert_matte_attributes(Imf::Header& header, miState* state) {
    for (int m = 0; m < mi_cryptomatte_count(state); ++m) {
        const char* value = nullptr;
        for (int i = 0; const char* name = mi_cryptomatte_attribute(state, m, i, &value); ++i)
            if (value) header.insert(name, Imf::StringAttribute(value));
    }
}

// One row of a group's source image, from column 0: a float array per channel (null skips
// one), or the labels as integers. False when the image gave nothing.
bool read_row(Reader reader, miImg_image* image, int y, int count, float* const* out, miUint* labels) {
    switch (reader) {
    case Reader::Color:
        return mi_img_get_color_row(image, y, 0, count, out[0], out[1], out[2], out[3]);
    case Reader::Depth:
        return mi_img_get_depth_row(image, y, 0, count, out[0]);
    case Reader::Normal:
        return mi_img_get_normal_row(image, y, 0, count, out[0], out[1], out[2]);
    case Reader::Label:
        return mi_img_get_label_row(image, y, 0, count, labels);
    }
    return false;
}

// The component of the renderer's pixel that channel c of a group reads unchanged, or -1 when
// the reader makes the value up (a missing alpha or normal axis) or converts it (labels).
int source_component(Reader reader, int c, int components) {
    switch (reader) {
    case Reader::Color:
        if (c == 3) return components >= 4 ? 3 : -1;
        return components >= 3 ? c : 0;
    case Reader::Depth:
        return 0;
    case Reader::Normal:
        return c < components ? c : -1;
    case Reader::Label:
        break;
    }
    return -1;
}

// An output image held open for one group.
class OpenImage {
  public:
    OpenImage(miState* state, miUint number)
        : state_(state), number_(number), image_(mi_output_image_open(state, number)) {}
    ~OpenImage() {
        if (image_) mi_output_image_close(state_, number_);
    }
    OpenImage(const OpenImage&) = delete;
    OpenImage& operator=(const OpenImage&) = delete;
    miImg_image* get() const { return image_; }

  private:
    miState* state_;
    miUint number_;
    miImg_image* image_;
};

// One channel's samples, left uninitialised: the copy writes every one of them.
class ChannelArray {
  public:
    // From the heap (standard groups) or the renderer's allocator (tk groups); empty when the
    // memory cannot be had.
    static ChannelArray allocate(size_t bytes, bool from_renderer) {
        if (from_renderer) {
            if (bytes > size_t(INT_MAX)) return ChannelArray(nullptr, mi_mem_release);
            return ChannelArray(static_cast<char*>(mi_mem_test_allocate(int(bytes))), mi_mem_release);
        }
        return ChannelArray(static_cast<char*>(std::malloc(bytes)), std::free);
    }
    bool empty() const { return !data_; }
    char* data() const { return data_.get(); }

  private:
    ChannelArray(char* data, void (*release)(void*)) : data_(data, release) {}
    std::unique_ptr<char[], void (*)(void*)> data_;
};

// The file being assembled: header, OpenEXR frame buffer and every channel's samples.
class ExrImage {
  public:
    ExrImage(int width, int height, Imf::Compression compression)
        : width_(width), height_(height),
          header_(width, height, 1.f, Imath::V2f(0.f, 0.f), 1.f, Imf::INCREASING_Y, Imf::ZIP_COMPRESSION) {
        header_.compression() = compression;
    }

    Imf::Header& header() { return header_; }
    int height() const { return height_; }
    const Imf::FrameBuffer& frame_buffer() const { return frame_buffer_; }

    // Adds one group's channels with their samples. False when the pixel memory or the image
    // cannot be had: the channels then stay in the header with no data, which the file
    // stores as zeros.
    bool add(miState* state, const Group& g) {
        for (const std::string& c : g.channels)
            header_.channels().insert(c, Imf::Channel(g.format.type, 1, 1));
        OpenImage image(state, g.image);
        // Every column is checked for an abort before any is copied, in column order up to
        // the first abort; the columns that passed are then copied row by row.
        int columns = 0;
        while (columns < width_ && !mi_par_aborted())
            ++columns;
        if (image.get() && g.format.type == Imf::FLOAT && columns == width_ && add_in_place(image.get(), g)) {
            progress(g);
            return true;
        }
        std::vector<ChannelArray> arrays;
        const size_t bytes = size_t(width_) * size_t(height_) * g.format.bytes;
        for (size_t c = 0; c < g.channels.size(); ++c) {
            arrays.push_back(ChannelArray::allocate(bytes, g.tk));
            if (arrays.back().empty()) return false;
        }
        if (!image.get()) return false;
        switch (g.format.type) {
        case Imf::UINT:
            copy<unsigned int>(image.get(), g, columns, arrays);
            break;
        case Imf::HALF:
            copy<half>(image.get(), g, columns, arrays);
            break;
        default:
            copy<float>(image.get(), g, columns, arrays);
            break;
        }
        progress(g);
        for (size_t c = 0; c < g.channels.size(); ++c) {
            frame_buffer_.insert(g.channels[c], Imf::Slice(g.format.type, arrays[c].data(), g.format.bytes,
                                                           size_t(width_) * g.format.bytes, 1, 1, 0.0));
            arrays_.push_back(std::move(arrays[c]));
        }
        return true;
    }

  private:
    void progress(const Group& g) const {
        mi_progress("orn_OpenEXR_saver(): %s...(%s)", g.name.c_str(), g.format.word);
    }

    // Float samples the renderer holds exactly as the file stores them need no copy: each
    // channel's slice points at its component in the renderer's image, which outlives the
    // write. The file's row 0 is the renderer's top row, so the slices step downwards through
    // memory: OpenEXR adds y times the row stride to the base in wrapping address arithmetic,
    // which makes a negative stride work. False when a channel has no component of its own or
    // the image is not the frame's size.
    bool add_in_place(miImg_image* image, const Group& g) {
        int width = 0, height = 0, comps = 0;
        const float* data = mi_img_get_samples(image, &width, &height, &comps);
        if (!data || width != width_ || height != height_ || comps < 1) return false;
        int source[4] = {};
        for (size_t c = 0; c < g.channels.size(); ++c)
            if ((source[c] = source_component(g.reader, int(c), comps)) < 0) return false;
        const size_t pixel = size_t(comps) * sizeof(float);
        const size_t row = size_t(width_) * pixel;
        const char* top = reinterpret_cast<const char*>(data) + size_t(height_ - 1) * row;
        for (size_t c = 0; c < g.channels.size(); ++c) {
            char* base = const_cast<char*>(top) + size_t(source[c]) * sizeof(float);
            frame_buffer_.insert(g.channels[c],
                                 Imf::Slice(Imf::FLOAT, base, pixel, size_t(0) - row, 1, 1, 0.0));
        }
        return true;
    }

    // Copies the first `columns` columns row by row, reading a whole row of the group per call
    // and converting it channel by channel; the rest of each row, which an abort left out, is
    // black. Float channels are read straight into their rows. Row 0 of the arrays is the top
    // of the image, the renderer's row height - 1.
    template <typename T>
    void copy(miImg_image* image, const Group& g, int columns,
              const std::vector<ChannelArray>& arrays) const {
        const size_t n = arrays.size();
        const size_t count = size_t(columns);
        T* dst[4] = {};
        for (size_t c = 0; c < n; ++c)
            dst[c] = reinterpret_cast<T*>(arrays[c].data());
        constexpr bool direct = std::is_same_v<T, float>;
        std::vector<float> values(direct || g.reader == Reader::Label ? 0 : n * count);
        std::vector<miUint> labels(g.reader == Reader::Label ? count : 0);
        for (int r = 0; r < height_; ++r) {
            const size_t row = size_t(r) * size_t(width_);
            float* out[4] = {};
            for (size_t c = 0; c < n; ++c) {
                if constexpr (direct)
                    out[c] = dst[c] + row;
                else
                    out[c] = values.data() + c * count;
            }
            size_t done = 0;
            if (columns > 0 && read_row(g.reader, image, height_ - 1 - r, columns, out, labels.data())) {
                if (g.reader == Reader::Label) {
                    for (size_t x = 0; x < count; ++x)
                        dst[0][row + x] = from_label<T>(labels[x]);
                } else if constexpr (!direct) {
                    for (size_t c = 0; c < n; ++c)
                        convert_row(out[c], dst[c] + row, count);
                }
                done = count;
            }
            for (size_t c = 0; c < n; ++c)
                std::fill(dst[c] + row + done, dst[c] + row + size_t(width_), T(0.f));
        }
    }

    int width_;
    int height_;
    Imf::Header header_;
    Imf::FrameBuffer frame_buffer_;
    std::vector<ChannelArray> arrays_;
};

// ------------------------------------------------------------------ header

struct CompressionChoice {
    Imf::Compression method;
    const char* name; // the "compress" attribute
};

CompressionChoice compression_of(miInteger v) {
    static const CompressionChoice table[8] = {
        {Imf::NO_COMPRESSION, "none"},   {Imf::RLE_COMPRESSION, "rle"},   {Imf::ZIPS_COMPRESSION, "zip1"},
        {Imf::ZIP_COMPRESSION, "zip16"}, {Imf::PIZ_COMPRESSION, "piz"},   {Imf::PXR24_COMPRESSION, "pxr24"},
        {Imf::B44_COMPRESSION, "b44"},   {Imf::B44A_COMPRESSION, "b44a"},
    };
    return v >= 1 && v <= 8 ? table[v - 1] : table[0];
}

Imath::M44f to_matrix(const miMatrix m) {
    return Imath::M44f(m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8], m[9], m[10], m[11], m[12], m[13],
                       m[14], m[15]);
}

// Instance records without a motion transform describe a camera that does not move.
template <typename I, typename = void> struct has_motion_transform : std::false_type {};
template <typename I>
struct has_motion_transform<I, std::void_t<decltype(std::declval<I&>().motion_transform)>> : std::true_type {
};

template <typename I> Imath::M44f motion_of(const I& inst) {
    if constexpr (has_motion_transform<I>::value)
        return to_matrix(inst.motion_transform);
    else
        return Imath::M44f();
}

// The attributes of OpenEXR's standard set that compositing tools read for a rendered frame:
// the camera (world to camera, and world to normalised device coordinates, where x runs right
// and y down over the display window from 0 to 1, after the homogeneous division), the
// primaries of the linear colour (Rec. 709 with a D65 white) and the frame number.
void insert_standard_attributes(Imf::Header& header, const miCamera& cam,
                                const Imath::M44f& world_to_camera) {
    Imf::addWorldToCamera(header, world_to_camera);
    if (!cam.orthographic && cam.aperture > 0.f && cam.focal > 0.f && cam.aspect > 0.f) {
        // Camera space looks down -z; a point (x, y, z) lands at f x / -z across an image plane
        // `aperture` wide and `aperture / aspect` high.
        const float sx = cam.focal / cam.aperture, sy = cam.focal * cam.aspect / cam.aperture;
        const Imath::M44f projection(sx, 0.f, 0.f, 0.f,       //
                                     0.f, -sy, 0.f, 0.f,      //
                                     -0.5f, -0.5f, 0.f, -1.f, //
                                     0.f, 0.f, 1.f, 0.f);
        Imf::addWorldToNDC(header, world_to_camera * projection);
    }
    Imf::addChromaticities(header, Imf::Chromaticities());
    header.insert("frame", Imf::IntAttribute(cam.frame));
}

void insert_camera_attributes(Imf::Header& header, miState* state, const char* compress) {
    const miCamera& cam = *state->camera;
    const float angle = std::atan(cam.aperture * kMmPerInch * 0.5f / (cam.focal * kMmPerInch));
    const double degrees = double(angle) * 57.29577951308232 * 2.0;
    header.insert("comments", Imf::StringAttribute("Created using mental ray orn_OpenEXR_saver shader"));
    header.insert("aperture", Imf::FloatAttribute(cam.aperture));
    header.insert("focal", Imf::FloatAttribute(cam.focal * kMmPerInch));
    header.insert("angleOfView", Imf::FloatAttribute(float(degrees)));
    header.insert("clipNear", Imf::FloatAttribute(cam.clip.min));
    header.insert("clipFar", Imf::FloatAttribute(cam.clip.max));
    header.insert("compress", Imf::StringAttribute(compress));

    Imath::M44f transform, motion, world_to_camera;
    const miTag tag = state->camera_inst;
    if (tag != miNULLTAG && mi_db_type(tag) == miSCENE_INSTANCE) {
        if (const auto* inst = static_cast<const miInstance*>(mi_db_access(tag))) {
            transform = to_matrix(inst->tf_local_to_global);
            world_to_camera = to_matrix(inst->tf_global_to_local);
            motion = motion_of(*inst);
        }
        mi_db_unpin(tag);
    }
    header.insert("cameraTransform", Imf::M44fAttribute(transform));
    header.insert("cameraMotion", Imf::M44fAttribute(motion));
    insert_standard_attributes(header, cam, world_to_camera);
}

// ------------------------------------------------------------------ writing

// Writes the rows into a file that appears whole or not at all, a slice at a time so that a
// stop ends a large file's write within moments (the older file stays). OpenEXR finishes the
// file in its destructor, where it cannot report failure, so the stream's state is checked
// after it has gone. Returns the reason of a failure.
std::optional<std::string> write_file(const std::string& path, ExrImage& image) {
    orn::AtomicFile file(path, ".exr");
    if (!file.error().empty()) return file.error();
    try {
        std::ofstream stream(file.temp_path(), std::ios::binary | std::ios::trunc);
        if (!stream) return std::string(std::strerror(errno));
        {
            Imf::StdOFStream os(stream, file.temp_path().c_str());
            Imf::OutputFile out(os, image.header(), Imf::globalThreadCount());
            out.setFrameBuffer(image.frame_buffer());
            const int slice = 64;
            for (int done = 0; done < image.height(); done += slice) {
                if (mi_par_aborted()) return std::string("interrupted");
                out.writePixels(std::min(slice, image.height() - done));
            }
        }
        stream.close();
        if (stream.fail()) return std::string("the data could not be written out");
    } catch (const std::exception& e) {
        return std::string(e.what());
    } catch (...) {
        return std::string("unknown failure");
    }
    return file.commit();
}

struct TkRequest {
    std::optional<Format> format;
    int64_t index = -1;
};

} // namespace

ORN_SHADER_VERSION(orn_OpenEXR_saver, 3)
ORN_SHADER miBoolean orn_OpenEXR_saver(miBoolean* result, miState* state, Params* paras) {
    *result = miFALSE;
    std::array<std::optional<Format>, 6> standard;
    for (size_t i = 0; i < standard.size(); ++i) {
        const miBoolean pass = mi_eval_boolean(&(paras->*kStandardFields[i].pass));
        standard[i] = requested(pass, mi_eval_integer(&(paras->*kStandardFields[i].format)));
    }
    std::array<TkRequest, orn::kTkBufferCount> tk;
    for (int k = 0; k < orn::kTkBufferCount; ++k) {
        const miBoolean pass = mi_eval_boolean(&(paras->*kTkFields[k].pass));
        tk[k].format = requested(pass, mi_eval_integer(&(paras->*kTkFields[k].format)));
        const miTag buffer = mi_eval_tag(&(paras->*kTkFields[k].buffer));
        if (buffer == miNULLTAG) {
            mi_error("OpenEXR_saver shader: could not eval buffer miTag");
            continue;
        }
        if (const auto name = read_string(buffer)) {
            tk[k].index = orn::tk_buffer_index(state, name->c_str());
            // Image -1 + 12 would be another buffer's: such a group is never read.
            if (tk[k].index < 0 && tk[k].format)
                mi_warning("orn_OpenEXR_saver(): no frame buffer \"%s\" for %s, layer skipped", name->c_str(),
                           orn::kTkBuffers[k].layer);
        }
    }

    const auto path = read_string(mi_eval_tag(&paras->fileName));
    if (!path) return miFALSE;
    if (!state->camera || state->camera->x_resolution <= 0 || state->camera->y_resolution <= 0) {
        mi_error("orn_OpenEXR_saver(): the frame has no camera resolution, %s not written", path->c_str());
        return miFALSE;
    }
    const CompressionChoice compression = compression_of(mi_eval_integer(&paras->compression));
    ExrImage image(state->camera->x_resolution, state->camera->y_resolution, compression.method);
    mi_progress("orn_OpenEXR_saver(): writing image file %s", path->c_str());

    for (int i = 0; i < int(standard.size()); ++i) {
        if (!standard[i]) continue;
        const Group group = standard_group(i, *standard[i]);
        if (!image.add(state, group))
            mi_warning("orn_OpenEXR_saver(): failed to create %s pass channels", group.name.c_str());
    }
    for (int k = 0; k < orn::kTkBufferCount; ++k)
        if (tk[k].format && tk[k].index >= 0 && !image.add(state, tk_group(k, tk[k].index, *tk[k].format)))
            mi_warning("orn_OpenEXR_saver(): failed to create %s pass channels", orn::kTkBuffers[k].layer);
    // Where the saver writes the tk passes it writes the light groups too, in the colour's
    // format, so that they add up to the colour as written.
    const bool writes_tk =
        std::any_of(tk.begin(), tk.end(), [](const TkRequest& r) { return r.format.has_value(); });
    if (writes_tk)
        if (const auto format = format_of(mi_eval_integer(&paras->rgbaFormat)))
            for (const Group& group : light_group_groups(state, *format))
                if (!image.add(state, group))
                    mi_warning("orn_OpenEXR_saver(): failed to create %s pass channels", group.name.c_str());

    for (const Group& group : matte_groups(state))
        if (!image.add(state, group))
            mi_warning("orn_OpenEXR_saver(): failed to create %s pass channels", group.name.c_str());

    // An aborted frame leaves its channels partly zero: such a file must not replace a finished
    // one of the same name.
    if (mi_par_aborted()) {
        mi_warning("orn_OpenEXR_saver(): rendering was aborted; %s not written, an older file is kept",
                   path->c_str());
        return miFALSE;
    }
    insert_camera_attributes(image.header(), state, compression.name);
    insert_matte_attributes(image.header(), state);
    // Files of finished frames say so, for checks that must not pass a file of zeros.
    image.header().insert("ornFrameComplete", Imf::IntAttribute(1));
    if (const auto reason = write_file(*path, image)) {
        if (mi_par_aborted()) {
            mi_warning("orn_OpenEXR_saver(): rendering was aborted; %s not written, an older file is kept",
                       path->c_str());
            return miFALSE;
        }
        mi_error("orn_OpenEXR_saver(): Error writing exr file. Please check your permission or free space.");
        mi_error("orn_OpenEXR_saver(): %s: %s", path->c_str(), reason->c_str());
        return miFALSE;
    }
    mi_progress("orn_OpenEXR_saver(): File saved!");
    mi_info("orn_OpenEXR_saver(): wrote %s", path->c_str());
    *result = miTRUE;
    return miTRUE;
}
