#include "render/region_files.h"

#include "core/messages.h"
#include "film/exr_file.h"
#include "film/image_output.h"
#include "image/exr_size_check.h"

#include <OpenEXR/ImfBoxAttribute.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfIntAttribute.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace orn {

namespace {

bool is_exr(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char magic[4] = {};
    in.read(reinterpret_cast<char*>(magic), 4);
    return in && magic[0] == 0x76 && magic[1] == 0x2f && magic[2] == 0x31 && magic[3] == 0x01;
}

// A finished frame of the whole picture: of this size, marked finished, not a region alone.
bool full_frame(const std::string& path, int width, int height) {
    if (image::exr_size_problem(path, false)) return false;
    try {
        Imf::InputFile file(path.c_str(), 1);
        const Imf::Header& h = file.header();
        const Imath::Box2i dw = h.dataWindow();
        const auto* done = h.findTypedAttribute<Imf::IntAttribute>(film::kFrameCompleteAttribute);
        return dw.min.x == 0 && dw.min.y == 0 && dw.max.x + 1 == width && dw.max.y + 1 == height && done &&
               done->value() == 1 && !h.findTypedAttribute<Imf::Box2iAttribute>(kRenderedRegionAttribute) &&
               file.isComplete();
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

RegionFiles::RegionFiles(std::array<int, 4> region, int width, int height)
    : region_(region), width_(width), height_(height) {}

RegionFiles::~RegionFiles() {
    // after() not reached (an exception): the earlier frames' second names go, the frames stay.
    for (const Target& t : targets_)
        if (!t.kept.empty()) ::unlink(t.kept.c_str());
}

void RegionFiles::before(const std::string& path) {
    for (const Target& t : targets_)
        if (t.path == path) return;
    Target t;
    t.path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        t.existed = true;
        t.dev = st.st_dev;
        t.ino = st.st_ino;
        t.mtime = (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
        if (!is_exr(path)) {
            Messages::emitf(Severity::Warning,
                            "%s is not an EXR file: the region render writes it with the region alone",
                            path.c_str());
        } else if (full_frame(path, width_, height_)) {
            const fs::path p(path);
            const std::string kept = (p.parent_path() / ("." + p.filename().string() + ".before-region." +
                                                         std::to_string(::getpid())))
                                         .string();
            ::unlink(kept.c_str());
            std::error_code ec;
            if (::link(path.c_str(), kept.c_str()) == 0 || fs::copy_file(path, kept, ec))
                t.kept = kept;
            else
                Messages::emitf(Severity::Warning, "cannot keep the earlier frame %s aside: %s", path.c_str(),
                                ec.message().c_str());
        }
    }
    targets_.push_back(std::move(t));
}

void RegionFiles::after() {
    // The region in the file's pixel rows, which run from the top.
    const int x0 = region_[0], x1 = region_[2];
    const int r0 = height_ - region_[3], r1 = height_ - region_[1];
    const Imath::Box2i box(Imath::V2i(x0, r0), Imath::V2i(x1 - 1, r1 - 1));
    for (Target& t : targets_) {
        const std::string kept = t.kept;
        struct stat st {};
        const bool written = ::stat(t.path.c_str(), &st) == 0 &&
                             !(t.existed && st.st_dev == t.dev && st.st_ino == t.ino &&
                               (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec == t.mtime);
        if (written && is_exr(t.path)) {
            film::ExrFile fresh, earlier;
            if (auto err = film::read_exr_file(t.path, fresh)) {
                Messages::emitf(Severity::Warning, "region render: %s%s%s", err->c_str(),
                                kept.empty() ? "" : "; the earlier frame is kept as ", kept.c_str());
                t.kept.clear();
                continue;
            } else {
                bool merged = false;
                if (!kept.empty()) {
                    if (auto err = film::read_exr_file(kept, earlier))
                        Messages::emitf(Severity::Warning, "region render: %s", err->c_str());
                    bool same = earlier.width == fresh.width && earlier.height == fresh.height &&
                                earlier.channels.size() == fresh.channels.size();
                    for (size_t c = 0; same && c < fresh.channels.size(); ++c)
                        same = earlier.channels[c].name == fresh.channels[c].name &&
                               earlier.channels[c].type == fresh.channels[c].type;
                    if (!same)
                        Messages::emitf(
                            Severity::Warning,
                            "region render: the earlier frame in %s has other layers; the file now "
                            "holds the region alone",
                            t.path.c_str());
                    if (same) {
                        // The region's pixels into the earlier frame, every channel.
                        const size_t w = size_t(fresh.width);
                        for (size_t c = 0; c < fresh.channels.size(); ++c) {
                            film::ExrChannel& to = earlier.channels[c];
                            const film::ExrChannel& from = fresh.channels[c];
                            for (int r = r0; r < r1; ++r)
                                for (int x = x0; x < x1; ++x) {
                                    const size_t i = size_t(r) * w + size_t(x);
                                    if (to.type == Imf::UINT)
                                        to.bits[i] = from.bits[i];
                                    else
                                        to.values[i] = from.values[i];
                                }
                        }
                        earlier.header = fresh.header;
                        earlier.header.insert(kUpdatedRegionAttribute, Imf::Box2iAttribute(box));
                        if (auto err = film::write_exr_file(t.path, earlier))
                            Messages::emitf(
                                Severity::Warning,
                                "region render: cannot put the region into the earlier frame: %s; "
                                "the earlier frame is kept as %s",
                                err->c_str(), kept.c_str());
                        else
                            merged = true;
                        if (!merged) {
                            t.kept.clear(); // stays for the lighter
                            continue;
                        }
                    }
                }
                if (!merged) {
                    fresh.header.insert(kRenderedRegionAttribute, Imf::Box2iAttribute(box));
                    if (auto err = film::write_exr_file(t.path, fresh))
                        Messages::emitf(Severity::Warning, "region render: cannot mark %s: %s",
                                        t.path.c_str(), err->c_str());
                }
            }
        }
        if (!kept.empty()) ::unlink(kept.c_str());
        t.kept.clear();
    }
    targets_.clear();
}

} // namespace orn
