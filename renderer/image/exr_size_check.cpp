#include "image/exr_size_check.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

namespace orn::image {

namespace {

constexpr unsigned char kMagic[4] = {0x76, 0x2f, 0x31, 0x01};
constexpr std::uint32_t kTiledFlag = 0x200, kDeepFlag = 0x800, kMultipartFlag = 0x1000;
constexpr std::size_t kMaxName = 255; // attribute and type names, long names included

struct Channel {
    int type = 0; // 0 uint, 1 half, 2 float
    std::int64_t xs = 1, ys = 1;
};

struct Part {
    bool window = false;
    std::int64_t x0 = 0, y0 = 0, x1 = -1, y1 = -1;
    int compression = 0;
    std::vector<Channel> channels;
    bool tiles = false;
    std::int64_t tile_x = 0, tile_y = 0;
    std::int64_t chunk_count = -1;
    bool deep = false;
};

std::int64_t le32(const unsigned char* b) {
    const std::uint32_t v = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                            std::uint32_t(b[3]) << 24;
    return std::int64_t(std::int32_t(v));
}

// Reads within the file's size only, so that nothing the header says makes it read more.
class Reader {
  public:
    Reader(const std::string& path, std::uint64_t size) : in_(path, std::ios::binary), size_(size) {}
    bool ok() const { return bool(in_); }
    std::uint64_t left() const { return size_ - pos_; }
    bool read(void* out, std::uint64_t n) {
        if (n > left()) return false;
        in_.read(static_cast<char*>(out), std::streamsize(n));
        pos_ += n;
        return bool(in_);
    }
    bool skip(std::uint64_t n) {
        if (n > left()) return false;
        in_.seekg(std::streamoff(n), std::ios::cur);
        pos_ += n;
        return bool(in_);
    }
    // A name ended by a zero byte, at most kMaxName characters.
    bool name(std::string& s) {
        s.clear();
        for (;;) {
            char c;
            if (!read(&c, 1)) return false;
            if (c == 0) return true;
            if (s.size() >= kMaxName) return false;
            s += c;
        }
    }

  private:
    std::ifstream in_;
    std::uint64_t size_, pos_ = 0;
};

std::optional<std::string> parse_channels(const std::vector<unsigned char>& v, Part& part) {
    std::size_t i = 0;
    while (i < v.size() && v[i] != 0) {
        const auto end = std::find(v.begin() + std::ptrdiff_t(i), v.end(), 0);
        i = std::size_t(end - v.begin()) + 1;
        if (end == v.end() || i + 16 > v.size()) return std::string("a channel list that ends early");
        Channel c;
        c.type = int(le32(&v[i]));
        c.xs = le32(&v[i + 8]);
        c.ys = le32(&v[i + 12]);
        if (c.type < 0 || c.type > 2 || c.xs < 1 || c.ys < 1)
            return std::string("a channel of unknown type or sampling");
        part.channels.push_back(c);
        i += 16;
    }
    return std::nullopt;
}

// One header: its attributes up to the empty name that ends it; `first` is the first name,
// already read (a multi-part file's next header is told from its end by it).
std::optional<std::string> parse_header(Reader& r, std::string first, Part& part, std::uint64_t file_size) {
    std::string name = std::move(first), type;
    while (!name.empty()) {
        unsigned char size_bytes[4];
        if (!r.name(type) || !r.read(size_bytes, 4)) return std::string("an attribute that ends early");
        const std::int64_t size = le32(size_bytes);
        if (size < 0 || std::uint64_t(size) > r.left())
            return "attribute \"" + name + "\" declares " + std::to_string(size) +
                   " bytes, more than the file's " + std::to_string(file_size) + " bytes hold";
        const auto n = std::uint64_t(size);
        std::vector<unsigned char> v;
        const bool window = name == "dataWindow" && type == "box2i" && n == 16;
        const bool compression = name == "compression" && type == "compression" && n == 1;
        const bool channels = name == "channels" && type == "chlist";
        const bool tiles = name == "tiles" && type == "tiledesc" && n == 9;
        const bool chunk_count = name == "chunkCount" && type == "int" && n == 4;
        const bool part_type = name == "type" && type == "string";
        const bool preview = type == "preview", strings = type == "stringvector";
        if (window || compression || channels || tiles || chunk_count || part_type || preview || strings) {
            v.resize(std::size_t(n));
            if (!r.read(v.data(), n)) return std::string("an attribute that ends early");
        } else if (!r.skip(n)) {
            return std::string("an attribute that ends early");
        }
        if (window) {
            part.window = true;
            part.x0 = le32(&v[0]);
            part.y0 = le32(&v[4]);
            part.x1 = le32(&v[8]);
            part.y1 = le32(&v[12]);
        } else if (compression) {
            part.compression = v[0];
        } else if (channels) {
            if (auto err = parse_channels(v, part)) return err;
        } else if (tiles) {
            part.tiles = true;
            part.tile_x = le32(&v[0]) & 0xffffffffLL;
            part.tile_y = le32(&v[4]) & 0xffffffffLL;
        } else if (chunk_count) {
            part.chunk_count = le32(&v[0]);
        } else if (preview) {
            // Its width and height size the library's buffer before the pixels are read.
            const long double need = v.size() < 8 ? 1e30L
                                                  : 8.0L + 4.0L * (long double)(le32(&v[0]) & 0xffffffffLL) *
                                                               (long double)(le32(&v[4]) & 0xffffffffLL);
            if (need > (long double)n) return "preview image \"" + name + "\" is larger than its attribute";
        } else if (strings) {
            // Each string's length sizes a buffer before its characters are read.
            for (std::size_t at = 0; at < v.size();) {
                if (v.size() - at < 4) return "string list \"" + name + "\" ends early";
                const std::int64_t length = le32(&v[at]);
                at += 4;
                if (length < 0 || std::uint64_t(length) > v.size() - at)
                    return "string list \"" + name + "\" holds a string longer than the list";
                at += std::size_t(length);
            }
        } else if (part_type) {
            const std::string t(v.begin(), v.end());
            part.deep = t.rfind("deep", 0) == 0;
        }
        if (!r.name(name)) return std::string("an attribute name that ends early");
    }
    return std::nullopt;
}

// Scan lines per chunk of each compression method.
std::int64_t lines_per_chunk(int compression) {
    switch (compression) {
    case 3: // zip
    case 5: // pxr24
        return 16;
    case 4: // piz
    case 6: // b44
    case 7: // b44a
    case 8: // dwaa
        return 32;
    case 9: // dwab
        return 256;
    default: // none, rle, zips
        return 1;
    }
}

} // namespace

std::optional<std::string> exr_size_problem(const std::string& path, bool pixels) {
    std::error_code ec;
    const std::uint64_t file_size = std::filesystem::file_size(path, ec);
    if (ec || file_size < 8) return std::nullopt;
    Reader r(path, file_size);
    unsigned char head[8];
    if (!r.ok() || !r.read(head, 8) || !std::equal(head, head + 4, kMagic)) return std::nullopt;
    const std::uint32_t flags = std::uint32_t(le32(head + 4));
    const std::string damaged = path + ": damaged OpenEXR header: ";
    std::vector<Part> parts;
    std::string name;
    for (;;) {
        if (!r.name(name)) return damaged + "an attribute name that ends early";
        if (name.empty() && !parts.empty()) break; // the end of a multi-part file's headers
        parts.emplace_back();
        parts.back().tiles = (flags & kTiledFlag) != 0;
        parts.back().deep = (flags & kDeepFlag) != 0;
        if (auto err = parse_header(r, name, parts.back(), file_size)) return damaged + *err;
        if (!(flags & kMultipartFlag)) break;
    }
    // Each chunk takes an 8-byte offset in the table and at least 8 bytes of its own.
    std::uint64_t chunks = 0;
    for (const Part& p : parts) {
        if (!p.window || p.x1 < p.x0 || p.y1 < p.y0) return damaged + "no data window, or an empty one";
        const std::int64_t w = p.x1 - p.x0 + 1, h = p.y1 - p.y0 + 1;
        // In floating point: tiles of one pixel over 2^32 x 2^32 pixels overflow 64 bits.
        long double n = (long double)p.chunk_count;
        if (n < 0 && p.tiles) {
            if (p.tile_x < 1 || p.tile_y < 1) return damaged + "tiles of no size";
            n = (long double)((w + p.tile_x - 1) / p.tile_x) * (long double)((h + p.tile_y - 1) / p.tile_y);
        } else if (n < 0) {
            n = (long double)((h + lines_per_chunk(p.compression) - 1) / lines_per_chunk(p.compression));
        }
        const long double all = (long double)chunks + n;
        chunks = all > 1e18L ? std::uint64_t(1e18) : std::uint64_t(all);
        if (all > (long double)(r.left() / 16))
            return damaged + "its data window of " + std::to_string(w) + " x " + std::to_string(h) +
                   " pixels takes " + std::to_string(chunks) + " chunks, more than the file's " +
                   std::to_string(file_size) + " bytes hold";
        if (!pixels || p.deep) continue;
        long double bytes = 0;
        for (const Channel& c : p.channels)
            bytes += (long double)((w + c.xs - 1) / c.xs) * (long double)((h + c.ys - 1) / c.ys) *
                     (c.type == 1 ? 2 : 4);
        const long double limit =
            (long double)(file_size) * (p.compression == 0 ? 1 : kMaxExrExpansion) + 65536.0L;
        if (bytes > limit)
            return damaged + "it declares " + std::to_string(w) + " x " + std::to_string(h) + " pixels of " +
                   std::to_string(p.channels.size()) + " channels, more than a file of " +
                   std::to_string(file_size) + " bytes can hold";
    }
    return std::nullopt;
}

} // namespace orn::image
