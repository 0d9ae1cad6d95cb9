#include "film/exr_file.h"

#include "common/atomic_file.h"
#include "image/exr_size_check.h"

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfMultiPartInputFile.h>
#include <OpenEXR/ImfOutputFile.h>

#include <exception>
#include <new>

namespace orn::film {

ExrChannel* ExrFile::find(const std::string& name) {
    for (ExrChannel& c : channels)
        if (c.name == name) return &c;
    return nullptr;
}

const ExrChannel* ExrFile::find(const std::string& name) const {
    return const_cast<ExrFile*>(this)->find(name);
}

namespace {

// The frame buffer of `file`'s channels, rows from the top, each slice in the channel's own type
// class (float for HALF and FLOAT, uint for UINT).
Imf::FrameBuffer slices(ExrFile& file) {
    Imf::FrameBuffer fb;
    const size_t w = size_t(file.width);
    for (ExrChannel& c : file.channels) {
        if (c.type == Imf::UINT)
            fb.insert(c.name, Imf::Slice(Imf::UINT, reinterpret_cast<char*>(c.bits.data()),
                                         sizeof(std::uint32_t), sizeof(std::uint32_t) * w));
        else
            fb.insert(c.name, Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(c.values.data()), sizeof(float),
                                         sizeof(float) * w));
    }
    return fb;
}

} // namespace

std::optional<std::string> read_exr_file(const std::string& path, ExrFile& out) {
    // A damaged header must not make the library allocate what it declares.
    if (auto why = image::exr_size_problem(path)) return *why;
    try {
        if (Imf::MultiPartInputFile(path.c_str(), 1).parts() > 1)
            return "\"" + path + "\" has several parts; only single-part files are read here";
        Imf::InputFile in(path.c_str(), 1);
        const Imf::Header& h = in.header();
        if (h.hasType() && (h.type() == "deepscanline" || h.type() == "deeptile"))
            return "\"" + path + "\" holds deep pixels, which are not read here";
        if (!in.isComplete()) return "\"" + path + "\" is incomplete (cut short while it was written?)";
        const Imath::Box2i dw = h.dataWindow();
        if (dw.min.x != 0 || dw.min.y != 0 || !(dw == h.displayWindow()))
            return "\"" + path + "\" has a data window other than its whole picture from 0 0";
        out = ExrFile{};
        out.header = h;
        out.width = dw.max.x + 1;
        out.height = dw.max.y + 1;
        const size_t n = size_t(out.width) * size_t(out.height);
        for (auto it = h.channels().begin(); it != h.channels().end(); ++it) {
            if (it.channel().xSampling != 1 || it.channel().ySampling != 1)
                return "\"" + path + "\" has subsampled channel \"" + it.name() + "\"";
            ExrChannel c;
            c.name = it.name();
            c.type = it.channel().type;
            if (c.type == Imf::UINT)
                c.bits.assign(n, 0);
            else
                c.values.assign(n, 0.f);
            out.channels.push_back(std::move(c));
        }
        in.setFrameBuffer(slices(out));
        in.readPixels(0, out.height - 1);
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return "not enough memory to read \"" + path + "\"";
    } catch (const std::exception& e) {
        return "cannot read \"" + path + "\": " + e.what();
    }
}

std::optional<std::string> write_exr_file(const std::string& path, const ExrFile& file) {
    AtomicFile target(path, ".exr");
    if (!target.error().empty()) return target.error();
    try {
        Imf::Header header = file.header;
        // Written as scan lines whatever the input was.
        header.erase("tiles");
        header.lineOrder() = Imf::INCREASING_Y;
        Imf::ChannelList list;
        for (const ExrChannel& c : file.channels)
            list.insert(c.name, Imf::Channel(c.type));
        header.channels() = list;
        ExrFile& pixels = const_cast<ExrFile&>(file); // the slices only read here
        {
            Imf::OutputFile out(target.temp_path().c_str(), header, 1);
            out.setFrameBuffer(slices(pixels));
            out.writePixels(file.height);
        }
        if (auto err = target.commit()) return err;
        return std::nullopt;
    } catch (const std::exception& e) {
        return "cannot write \"" + path + "\": " + e.what();
    }
}

} // namespace orn::film
