#include "render/merge.h"

#include "core/messages.h"
#include "film/part_file.h"
#include "render/frame.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>

namespace fs = std::filesystem;

namespace orn {

namespace {

bool error(const std::string& text) {
    Messages::emit(Severity::Error, text);
    return false;
}

std::string frame_text(const film::PartFile& p) {
    return "frame " + std::to_string(p.origin.frame) + " (render " + std::to_string(p.origin.render + 1) +
           ", camera \"" + p.origin.camera + "\")";
}

// The parts of one frame of one render statement, sorted by row, are one whole frame. Nothing
// is sized from a header's counts: a part number is checked against the parts at hand.
bool check_group(std::vector<film::PartFile>& parts) {
    const film::PartFile& first = parts.front();
    const std::string what = frame_text(first);
    for (const film::PartFile& p : parts) {
        if (p.origin.scenes != first.origin.scenes || p.origin.files != first.origin.files ||
            p.origin.frame_given != first.origin.frame_given)
            return error(what + ": " + p.path + " and " + first.path + " come from different scenes");
        if (p.width != first.width || p.height != first.height || p.planes != first.planes)
            return error(what + ": " + p.path + " (" + std::to_string(p.width) + "x" +
                         std::to_string(p.height) + ") and " + first.path + " (" +
                         std::to_string(first.width) + "x" + std::to_string(first.height) +
                         ") differ in resolution or frame buffers");
        if (p.origin.tiles != first.origin.tiles)
            return error(what + ": " + p.path + " is part of " + std::to_string(p.origin.tiles) + ", " +
                         first.path + " of " + std::to_string(first.origin.tiles));
    }
    std::sort(parts.begin(), parts.end(),
              [](const film::PartFile& a, const film::PartFile& b) { return a.origin.tile < b.origin.tile; });
    int next = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const film::PartFile& p = parts[i];
        if (i > 0 && p.origin.tile == parts[i - 1].origin.tile)
            return error(what + ": part " + std::to_string(p.origin.tile) + " twice, " + parts[i - 1].path +
                         " and " + p.path);
        if (p.origin.tile > next) break;
        next = p.origin.tile + 1;
    }
    if (next < first.origin.tiles)
        return error(what + ": part " + std::to_string(next) + " of " + std::to_string(first.origin.tiles) +
                     " is missing");
    std::sort(parts.begin(), parts.end(),
              [](const film::PartFile& a, const film::PartFile& b) { return a.row0 < b.row0; });
    // Film rows count from the bottom; messages give the picture's rows, counted from the top.
    const int h = first.height;
    int covered = 0;
    for (const film::PartFile& p : parts) {
        if (p.row0 > covered)
            return error(what + ": picture rows " + std::to_string(h - p.row0) + " to " +
                         std::to_string(h - 1 - covered) + " are in no part");
        if (p.row0 < covered)
            return error(what + ": " + p.path + " overlaps another part in picture rows " +
                         std::to_string(h - covered) + " to " + std::to_string(h - 1 - p.row0));
        covered = p.row1;
    }
    if (covered < h)
        return error(what + ": picture rows 0 to " + std::to_string(h - 1 - covered) + " are in no part");
    return true;
}

// The part files among `inputs`: named files as they are, and the *.exr files of directories
// except hidden ones (the temporary files of a part writer that was killed).
bool collect(const std::vector<std::string>& inputs, std::vector<std::string>& files) {
    for (const auto& in : inputs) {
        std::error_code ec;
        if (!fs::is_directory(in, ec)) {
            files.push_back(in);
            continue;
        }
        std::vector<std::string> found;
        for (const auto& e : fs::directory_iterator(in, ec)) {
            const std::string name = e.path().filename().string();
            if (e.path().extension() == ".exr" && name[0] != '.' && e.is_regular_file(ec))
                found.push_back(e.path().string());
        }
        if (ec) return error("cannot read the directory " + in + ": " + ec.message());
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return true;
}

using Renders = std::map<int, std::vector<film::PartFile>>;

// The scene files of `frame` as the merge's command line names them, absolute with links
// resolved as a part records them.
std::vector<std::string> scenes_of(const std::vector<std::string>& patterns, int frame) {
    std::vector<std::string> out;
    for (const std::string& pattern : patterns) {
        std::error_code ec;
        const fs::path path = fs::absolute(frame_name(pattern, frame), ec).lexically_normal();
        const fs::path canonical = fs::weakly_canonical(path, ec);
        out.push_back(ec ? path.string() : canonical.string());
    }
    return out;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names)
        out += (out.empty() ? "" : ", ") + n;
    return out;
}

// The frame's scene, read from the merge's own command line with its own search paths (a part
// names neither: what it records is only compared), once the parts were found to come from
// that very scene; null, with a message, when they do not, when the scene now reads other files
// than the parts' runs did, or when one of those files changed since.
std::unique_ptr<Session> load_scene(int frame, const Renders& renders, const std::vector<std::string>& scenes,
                                    const SessionOptions& options) {
    const film::PartFile& first = renders.begin()->second.front();
    const film::PartOrigin& origin = first.origin;
    const std::string what = "frame " + std::to_string(frame);
    for (const auto& [render, parts] : renders)
        if (parts.front().origin.scenes != origin.scenes || parts.front().origin.files != origin.files) {
            error(what + ": " + parts.front().path + " and " + first.path + " come from different scenes");
            return nullptr;
        }
    const std::vector<std::string> given = scenes_of(scenes, frame);
    if (origin.scenes != given) {
        error(what + ": " + first.path + " was rendered from " + joined(origin.scenes) + ", not from " +
              joined(given) + " given to the merge; nothing merged");
        return nullptr;
    }
    auto session = std::make_unique<Session>(options);
    for (const auto& s : given)
        if (!session->load_file(s)) {
            if (!Frame::stopping()) error(what + ": " + s + " has errors; nothing merged");
            return nullptr;
        }
    std::vector<std::string> recorded;
    for (const film::ReadFile& f : origin.files)
        recorded.push_back(f.path);
    std::sort(recorded.begin(), recorded.end());
    const std::vector<std::string> now = session->read_files();
    for (const std::string& f : now)
        if (!std::binary_search(recorded.begin(), recorded.end(), f)) {
            error(
                what + ": the scene now reads " + f +
                ", which the parts' runs did not (other -I or -L directories than theirs?); nothing merged");
            return nullptr;
        }
    for (const std::string& f : recorded)
        if (!std::binary_search(now.begin(), now.end(), f)) {
            error(what + ": the parts' runs read " + f +
                  ", which the scene now does not (other -I or -L directories than theirs?); nothing merged");
            return nullptr;
        }
    // Every path is now one the merge's own scene read; the parts only tell their contents.
    if (auto err = film::changed_file(origin.files)) {
        error(what + ": " + *err + "; nothing merged");
        return nullptr;
    }
    // set_frame without the sequence check: the tile runs made it already.
    if (origin.frame_given) session->set_frame(frame, false);
    return session;
}

// One frame from its parts; with `write` off everything is checked and nothing written.
bool merge_frame(int frame, const Renders& renders, const std::vector<std::string>& scenes,
                 const SessionOptions& options, bool write) {
    auto session = load_scene(frame, renders, scenes, options);
    if (!session) return false;
    for (const auto& [render, parts] : renders) {
        const auto& strips = parts; // a structured binding cannot be captured in C++17
        auto load = [&strips](film::Film& film) -> std::optional<std::string> {
            for (const film::PartFile& p : strips) {
                if (Frame::stopping()) return std::string("interrupted");
                if (auto err = film::read_part_pixels(p, film)) return err;
            }
            return std::nullopt;
        };
        if (!session->render_merged(size_t(render), load, write))
            return error("frame " + std::to_string(frame) + ": the merge failed");
        if (Frame::aborted().load()) return false;
    }
    return true;
}

bool merge_all(const std::vector<std::string>& scenes, const std::vector<std::string>& inputs,
               const SessionOptions& options) {
    std::vector<std::string> files;
    if (!collect(inputs, files)) return false;
    // By frame, then render statement.
    std::map<int, Renders> frames;
    for (const auto& f : files) {
        film::PartFile part;
        if (auto err = film::read_part_header(f, part)) return error(*err);
        frames[part.origin.frame][part.origin.render].push_back(std::move(part));
    }
    if (frames.empty()) return error("no part files found to merge");
    size_t groups = 0;
    for (auto& [frame, renders] : frames)
        for (auto& [render, parts] : renders) {
            if (!check_group(parts)) return false;
            ++groups;
        }
    // A single frame is checked in full before its outputs run; several are all checked
    // (scene, outputs, every part's pixels) before the first of them writes a file.
    if (groups > 1)
        for (const auto& [frame, renders] : frames)
            if (!merge_frame(frame, renders, scenes, options, false)) return false;
    for (const auto& [frame, renders] : frames)
        if (!merge_frame(frame, renders, scenes, options, true)) return false;
    return true;
}

} // namespace

bool merge_parts(const std::vector<std::string>& scenes, const std::vector<std::string>& inputs,
                 const SessionOptions& options) {
    if (scenes.empty()) return error("the merge needs the scene files the parts were rendered from");
    try {
        return merge_all(scenes, inputs, options);
    } catch (const std::bad_alloc&) {
        return error("not enough memory to merge the parts");
    } catch (const std::exception& e) {
        return error(std::string("the merge failed: ") + e.what());
    }
}

} // namespace orn
