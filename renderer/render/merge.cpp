#include "render/merge.h"

#include "core/messages.h"
#include "film/part_file.h"
#include "render/frame.h"

#include <algorithm>
#include <filesystem>
#include <map>

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

// The parts of one frame of one render statement, sorted by row, are one whole frame.
bool check_group(std::vector<film::PartFile>& parts) {
    const film::PartFile& first = parts.front();
    const std::string what = frame_text(first);
    for (const film::PartFile& p : parts) {
        if (p.origin.scenes != first.origin.scenes || p.origin.scene_hash != first.origin.scene_hash ||
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
        if (p.origin.tile < 0 || p.origin.tile >= p.origin.tiles)
            return error(p.path + ": part " + std::to_string(p.origin.tile) + " of " +
                         std::to_string(p.origin.tiles) + " does not exist");
    }
    std::sort(parts.begin(), parts.end(),
              [](const film::PartFile& a, const film::PartFile& b) { return a.row0 < b.row0; });
    std::vector<const film::PartFile*> by_index(size_t(first.origin.tiles), nullptr);
    for (const film::PartFile& p : parts) {
        const film::PartFile*& slot = by_index[size_t(p.origin.tile)];
        if (slot)
            return error(what + ": part " + std::to_string(p.origin.tile) + " twice, " + slot->path +
                         " and " + p.path);
        slot = &p;
    }
    for (size_t i = 0; i < by_index.size(); ++i)
        if (!by_index[i])
            return error(what + ": part " + std::to_string(i) + " of " + std::to_string(by_index.size()) +
                         " is missing");
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

} // namespace

bool merge_parts(const std::vector<std::string>& inputs, const SessionOptions& options) {
    std::vector<std::string> files;
    for (const auto& in : inputs) {
        std::error_code ec;
        if (!fs::is_directory(in, ec)) {
            files.push_back(in);
            continue;
        }
        std::vector<std::string> found;
        for (const auto& e : fs::directory_iterator(in, ec))
            if (e.path().extension() == ".exr" && e.is_regular_file(ec)) found.push_back(e.path().string());
        if (ec) return error("cannot read the directory " + in + ": " + ec.message());
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    // By frame, then render statement.
    std::map<int, std::map<int, std::vector<film::PartFile>>> frames;
    for (const auto& f : files) {
        film::PartFile part;
        if (auto err = film::read_part_header(f, part)) return error(*err);
        frames[part.origin.frame][part.origin.render].push_back(std::move(part));
    }
    if (frames.empty()) return error("no part files found to merge");
    for (auto& [frame, renders] : frames)
        for (auto& [render, parts] : renders)
            if (!check_group(parts)) return false;
    for (auto& [frame, renders] : frames) {
        const film::PartOrigin& origin = renders.begin()->second.front().origin;
        const std::string what = "frame " + std::to_string(frame);
        // The scene as the tile runs read it: their search paths first, then the merge's own.
        SessionOptions opts = options;
        opts.include_paths.insert(opts.include_paths.begin(), origin.include_paths.begin(),
                                  origin.include_paths.end());
        opts.module_dirs.insert(opts.module_dirs.begin(), origin.library_paths.begin(),
                                origin.library_paths.end());
        if (renders.size() > 1)
            for (const auto& [render, parts] : renders)
                if (parts.front().origin.scenes != origin.scenes ||
                    parts.front().origin.scene_hash != origin.scene_hash)
                    return error(what + ": " + parts.front().path + " and " +
                                 renders.begin()->second.front().path + " come from different scenes");
        if (film::hash_files(origin.scenes) != origin.scene_hash)
            return error(what + ": the scene files changed (or went) since the parts were rendered: " +
                         origin.scenes.front());
        Session session(opts);
        for (const auto& s : origin.scenes)
            if (!session.load_file(s)) return error(what + ": " + s + " has errors; nothing merged");
        // set_frame without the sequence check: the tile runs made it already.
        if (origin.frame_given) session.set_frame(frame, false);
        for (auto& [render, parts] : renders) {
            const auto& strips = parts; // a structured binding cannot be captured in C++17
            auto load = [&strips](film::Film& film) -> std::optional<std::string> {
                for (const film::PartFile& p : strips)
                    if (auto err = film::read_part_pixels(p, film)) return err;
                return std::nullopt;
            };
            if (!session.render_merged(size_t(render), load)) return error(what + ": the merge failed");
            if (Frame::aborted().load()) return false;
        }
    }
    return true;
}

} // namespace orn
