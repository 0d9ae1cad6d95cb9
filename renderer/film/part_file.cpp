#include "film/part_file.h"

#include "common/atomic_file.h"
#include "film/film.h"
#include "image/exr_size_check.h"

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfIntAttribute.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfStringAttribute.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace orn::film {

namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& s : items)
        out += s + "\n";
    return out;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::string channel_name(const std::string& plane, int component) {
    return plane + "." + std::to_string(component);
}

// Part files name their attributes with this prefix; the rest of the header is OpenEXR's own.
template <class A, class T> void put(Imf::Header& h, const char* name, const T& value) {
    h.insert(std::string("orn") + name, A(value));
}

template <class A> const A* get(const Imf::Header& h, const char* name) {
    return h.findTypedAttribute<A>(std::string("orn") + name);
}

} // namespace

std::string plane_layout(const Film& film) {
    std::string out;
    for (int p = 0; p < film.plane_count(); ++p) {
        const PlaneInfo& info = film.plane_info(p);
        out += info.name + " " + std::to_string(info.components) +
               (info.filtered ? " filtered\n" : " nearest\n");
    }
    return out;
}

std::string hash_file(const std::string& path) {
    // 64-bit FNV-1a over the file's bytes and length, read in blocks.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return "";
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    uint64_t h = 0xcbf29ce484222325ULL, length = 0;
    auto add = [&h](unsigned char c) {
        h ^= c;
        h *= 0x100000001b3ULL;
    };
    std::vector<char> block(1 << 16);
    while (in) {
        in.read(block.data(), std::streamsize(block.size()));
        const size_t n = size_t(in.gcount());
        for (size_t i = 0; i < n; ++i)
            add(static_cast<unsigned char>(block[i]));
        length += n;
    }
    if (in.bad()) return "";
    for (int i = 0; i < 8; ++i)
        add(static_cast<unsigned char>(length >> (8 * i)));
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

std::optional<std::string> record_files(const std::vector<std::string>& paths, std::vector<ReadFile>& files) {
    files.clear();
    for (const auto& p : paths) {
        ReadFile f{p, hash_file(p)};
        if (f.hash.empty()) return p + " cannot be read";
        files.push_back(std::move(f));
    }
    return std::nullopt;
}

std::optional<std::string> changed_file(const std::vector<ReadFile>& files) {
    for (const ReadFile& f : files) {
        const std::string now = hash_file(f.path);
        if (now.empty()) return f.path + " is gone or cannot be read";
        if (now != f.hash) return f.path + " changed since the parts were rendered";
    }
    return std::nullopt;
}

std::optional<std::string> write_part(const Film& film, int row0, int row1, const PartOrigin& origin,
                                      const std::string& path) {
    const int w = film.width(), h = film.height();
    if (row0 < 0 || row1 > h || row0 >= row1) return "cannot write " + path + ": no rows to write";
    // OpenEXR counts rows from the top: film rows [row0, row1) are file rows [h - row1, h - row0).
    const Imath::Box2i display({0, 0}, {w - 1, h - 1});
    const Imath::Box2i data({0, h - row1}, {w - 1, h - 1 - row0});
    Imf::Header header(display, data, 1.f, Imath::V2f(0, 0), 1.f, Imf::INCREASING_Y, Imf::ZIP_COMPRESSION);
    // Parts live until the merge: the fastest zlib level costs a fraction of the default's time
    // for files a little larger.
    header.zipCompressionLevel() = 1;
    const size_t rows = size_t(row1 - row0), width = size_t(w);
    // Per plane, its rows turned top first and kept interleaved as the film keeps them.
    std::vector<std::vector<float>> staged(size_t(film.plane_count()));
    Imf::FrameBuffer fb;
    for (int p = 0; p < film.plane_count(); ++p) {
        const PlaneInfo& info = film.plane_info(p);
        const size_t comps = size_t(info.components), row = width * comps;
        std::vector<float>& s = staged[size_t(p)];
        s.resize(rows * row);
        const std::vector<float>& pixels = film.resolved(p);
        for (size_t r = 0; r < rows; ++r)
            std::memcpy(&s[r * row], &pixels[(size_t(row1) - 1 - r) * row], row * sizeof(float));
        const Imf::PixelType type = p == Label ? Imf::UINT : Imf::FLOAT;
        for (size_t c = 0; c < comps; ++c) {
            const std::string name = channel_name(info.name, int(c));
            header.channels().insert(name, Imf::Channel(type));
            fb.insert(name,
                      Imf::Slice::Make(type, s.data() + c, data, comps * sizeof(float), row * sizeof(float)));
        }
    }
    put<Imf::StringAttribute>(header, "Scenes", joined(origin.scenes));
    std::string files;
    for (const ReadFile& f : origin.files)
        files += f.hash + " " + f.path + "\n";
    put<Imf::StringAttribute>(header, "Files", files);
    put<Imf::IntAttribute>(header, "Frame", origin.frame);
    put<Imf::IntAttribute>(header, "FrameGiven", origin.frame_given ? 1 : 0);
    put<Imf::IntAttribute>(header, "Render", origin.render);
    put<Imf::StringAttribute>(header, "Camera", origin.camera);
    put<Imf::IntAttribute>(header, "Tile", origin.tile);
    put<Imf::IntAttribute>(header, "Tiles", origin.tiles);
    put<Imf::StringAttribute>(header, "Planes", plane_layout(film));

    AtomicFile file(path, ".exr");
    if (!file.error().empty()) return "cannot write " + path + ": " + file.error();
    try {
        Imf::OutputFile out(file.temp_path().c_str(), header);
        out.setFrameBuffer(fb);
        // A slice of rows at a time: a stop ends the write within moments, leaving no part.
        const std::atomic<bool>* cancel = film.cancel_flag();
        for (size_t done = 0; done < rows; done += 64) {
            if (cancel && cancel->load()) return "interrupted: " + path + " not written";
            out.writePixels(int(std::min<size_t>(64, rows - done)));
        }
    } catch (const std::exception& e) {
        // OpenEXR names the temporary file; the user knows the part by its own name.
        return "cannot write " + path + ": " + e.what();
    }
    if (auto err = file.commit()) return "cannot write " + path + ": " + *err;
    return std::nullopt;
}

std::optional<std::string> read_part_header(const std::string& path, PartFile& part) {
    // What the header declares is checked against the file before the EXR library sizes
    // anything from it.
    if (auto err = image::exr_size_problem(path)) return *err;
    try {
        Imf::InputFile in(path.c_str());
        const Imf::Header& h = in.header();
        const auto* scenes = get<Imf::StringAttribute>(h, "Scenes");
        const auto* files = get<Imf::StringAttribute>(h, "Files");
        const auto* frame = get<Imf::IntAttribute>(h, "Frame");
        const auto* given = get<Imf::IntAttribute>(h, "FrameGiven");
        const auto* render = get<Imf::IntAttribute>(h, "Render");
        const auto* camera = get<Imf::StringAttribute>(h, "Camera");
        const auto* tile = get<Imf::IntAttribute>(h, "Tile");
        const auto* tiles = get<Imf::IntAttribute>(h, "Tiles");
        const auto* planes = get<Imf::StringAttribute>(h, "Planes");
        if (!scenes || !files || !frame || !given || !render || !camera || !tile || !tiles || !planes)
            return path + " is not a part of a split frame (no ornrender part attributes)";
        const Imath::Box2i& display = h.displayWindow();
        const Imath::Box2i& data = h.dataWindow();
        // In 64 bits: a crafted window must not wrap around into a plausible size.
        const int64_t width = int64_t(display.max.x) - display.min.x + 1;
        const int64_t height = int64_t(display.max.y) - display.min.y + 1;
        if (display.min.x != 0 || display.min.y != 0 || width < 1 || height < 1 || width > INT32_MAX ||
            height > INT32_MAX || data.min.x != 0 || data.max.x != display.max.x || data.min.y < 0 ||
            data.max.y > display.max.y || data.min.y > data.max.y)
            return path + ": its data window is not whole rows inside the frame";
        if (tiles->value() < 1 || tiles->value() > height || tile->value() < 0 ||
            tile->value() >= tiles->value())
            return path + ": part " + std::to_string(tile->value()) + " of " +
                   std::to_string(tiles->value()) + " cannot be part of a frame of " +
                   std::to_string(height) + " rows";
        if (render->value() < 0)
            return path + ": render statement " + std::to_string(render->value()) + " does not exist";
        part.path = path;
        part.origin.scenes = split_lines(scenes->value());
        part.origin.files.clear();
        for (const std::string& line : split_lines(files->value())) {
            const size_t space = line.find(' ');
            if (space == std::string::npos || space == 0 || space + 1 == line.size())
                return path + ": its list of scene files is damaged";
            part.origin.files.push_back(ReadFile{line.substr(space + 1), line.substr(0, space)});
        }
        if (part.origin.scenes.empty()) return path + ": it names no scene file";
        for (const std::string& scene : part.origin.scenes)
            if (std::none_of(part.origin.files.begin(), part.origin.files.end(),
                             [&](const ReadFile& f) { return f.path == scene; }))
                return path + ": its scene file " + scene + " is not among the files it records";
        part.origin.frame = frame->value();
        part.origin.frame_given = given->value() != 0;
        part.origin.render = render->value();
        part.origin.camera = camera->value();
        part.origin.tile = tile->value();
        part.origin.tiles = tiles->value();
        part.planes = planes->value();
        part.width = int(width);
        part.height = int(height);
        part.row0 = part.height - 1 - data.max.y;
        part.row1 = part.height - data.min.y;
        return std::nullopt;
    } catch (const std::exception& e) {
        return path + " cannot be read as an OpenEXR file: " + e.what();
    }
}

std::optional<std::string> read_part_pixels(const PartFile& part, Film& film) {
    if (part.width != film.width() || part.height != film.height() || part.planes != plane_layout(film))
        return part.path + " does not match the frame's resolution or frame buffers";
    const size_t rows = size_t(part.row1 - part.row0), width = size_t(part.width);
    const Imath::Box2i data({0, part.height - part.row1}, {part.width - 1, part.height - 1 - part.row0});
    std::vector<std::vector<float>> staged(size_t(film.plane_count()));
    Imf::FrameBuffer fb;
    if (auto err = image::exr_size_problem(part.path)) return *err;
    try {
        Imf::InputFile in(part.path.c_str());
        const Imf::ChannelList& channels = in.header().channels();
        for (int p = 0; p < film.plane_count(); ++p) {
            const PlaneInfo& info = film.plane_info(p);
            const size_t comps = size_t(info.components);
            std::vector<float>& s = staged[size_t(p)];
            s.resize(rows * width * comps);
            const Imf::PixelType type = p == Label ? Imf::UINT : Imf::FLOAT;
            for (size_t c = 0; c < comps; ++c) {
                const std::string name = channel_name(info.name, int(c));
                const Imf::Channel* ch = channels.findChannel(name);
                if (!ch || ch->type != type) return part.path + ": channel " + name + " is missing";
                fb.insert(name, Imf::Slice::Make(type, s.data() + c, data, comps * sizeof(float),
                                                 width * comps * sizeof(float)));
            }
        }
        in.setFrameBuffer(fb);
        in.readPixels(data.min.y, data.max.y);
    } catch (const std::exception& e) {
        return part.path + " cannot be read: " + e.what();
    }
    for (int p = 0; p < film.plane_count(); ++p) {
        const size_t row = width * size_t(film.plane_info(p).components);
        const std::vector<float>& s = staged[size_t(p)];
        for (size_t r = 0; r < rows; ++r)
            std::memcpy(film.pixel_mutable(p, 0, part.row1 - 1 - int(r)), &s[r * row], row * sizeof(float));
    }
    return std::nullopt;
}

} // namespace orn::film
