#include "render/session.h"

#include "core/messages.h"
#include "core/renderer_directory.h"
#include "db/scene_builder.h"
#include "film/image_output.h"
#include "film/part_file.h"
#include "scene/parser.h"

#include <algorithm>
#include <filesystem>
#include <type_traits>
#include <variant>

namespace fs = std::filesystem;

namespace orn {

namespace {
std::string located(const scene::Diagnostic& d) {
    if (d.loc.line <= 0) return (d.loc.file.empty() ? "" : d.loc.file + ": ") + d.message;
    return d.loc.file + ":" + std::to_string(d.loc.line) + ":" + std::to_string(d.loc.col) + ": " + d.message;
}
} // namespace

Session::Session(SessionOptions options) : options_(std::move(options)) {
    const std::string here = renderer_directory();
    options_.module_dirs.push_back(here);
    options_.include_paths.push_back((fs::path(here).parent_path() / "include").string());
    options_.include_paths.push_back(here);
    Database::set_current(&db_);
    db_.code_binder = [this](Declaration& d) {
        SceneBuilder binder(db_, modules_, options_.module_dirs);
        return binder.bind_code(d, d.decl.loc);
    };
}

Session::~Session() {
    world_.reset();
    if (Database::current() == &db_) Database::set_current(nullptr);
}

bool Session::build(std::vector<scene::Statement>& statements,
                    const std::vector<scene::Diagnostic>& parse_errors, bool parsed) {
    Database::set_current(&db_);
    if (!parsed) {
        // A scene whose reading a stop cut short has no error to tell of.
        if (Frame::stopping()) return false;
        for (const auto& d : parse_errors) {
            Messages::emit(Severity::Error, located(d));
            errors_.push_back(d);
        }
        return false;
    }
    SceneBuilder builder(db_, modules_, options_.module_dirs);
    const bool ok = builder.add(statements);
    if (!ok && Frame::stopping()) return false;
    for (const auto& d : builder.errors()) {
        Messages::emit(Severity::Error, located(d));
        errors_.push_back(d);
    }
    if (ok) renders_.insert(renders_.end(), builder.renders().begin(), builder.renders().end());
    return ok;
}

bool Session::load_file(const std::string& path) {
    scene::ParseOptions po;
    po.include_paths = options_.include_paths;
    po.cancel = &Frame::aborted();
    auto result = scene::parse_file(path, po);
    std::error_code ec;
    files_.push_back(fs::absolute(path, ec).lexically_normal().string());
    read_.push_back(path);
    for (const scene::Statement& statement : result.statements)
        std::visit(
            [this](const auto& st) {
                // Every file holding a statement; an included file without any adds nothing.
                if (read_.back() != st.loc.file) read_.push_back(st.loc.file);
                using T = std::decay_t<decltype(st)>;
                if constexpr (std::is_same_v<T, scene::ObjectStmt>) {
                    read_.insert(read_.end(), st.files.begin(), st.files.end());
                } else if constexpr (std::is_same_v<T, scene::TextureStmt>) {
                    read_.push_back(st.path);
                }
            },
            statement);
    return build(result.statements, result.errors, result.ok);
}

std::vector<std::string> Session::read_files() const {
    std::vector<std::string> out;
    auto add = [&out](const std::string& p) {
        std::error_code ec;
        const fs::path canonical = fs::weakly_canonical(fs::absolute(p, ec), ec);
        out.push_back(ec ? fs::absolute(p).lexically_normal().string() : canonical.string());
    };
    for (const std::string& p : read_)
        add(p);
    for (const std::string& p : modules_.paths())
        add(p);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

bool Session::load_string(const std::string& text, const std::string& name) {
    scene::ParseOptions po;
    po.include_paths = options_.include_paths;
    po.cancel = &Frame::aborted();
    auto result = scene::parse_string(text, name, po);
    return build(result.statements, result.errors, result.ok);
}

bool Session::load_statements(std::vector<scene::Statement> statements) {
    return build(statements, {}, true);
}

std::unique_ptr<Frame> Session::make_frame(size_t index) {
    if (index >= renders_.size()) return nullptr;
    world_ = std::make_unique<World>();
    std::vector<scene::Diagnostic> errs;
    if (!world_->build(db_, renders_[index], errs)) {
        for (const auto& d : errs) {
            Messages::emit(Severity::Error, located(d));
            errors_.push_back(d);
        }
        world_.reset();
        return nullptr;
    }
    return std::make_unique<Frame>(db_, *world_, options_.render);
}

bool Session::render_all() {
    if (renders_.empty()) {
        Messages::emit(Severity::Error, "the scene has no render statement");
        return false;
    }
    bool ok = true;
    for (size_t i = 0; i < renders_.size(); ++i) {
        if (Frame::stopping()) {
            ok = false;
            break;
        }
        // A frame that cannot get its memory, or meets another failure of the machinery,
        // fails with a message instead of taking the process down.
        try {
            ok = render_one(i) && ok;
        } catch (const film::Interrupted&) {
            ok = false; // the run says so once it has stopped
        } catch (const std::bad_alloc&) {
            Messages::emitf(Severity::Error, "render \"%s\": not enough memory for the frame",
                            renders_[i].root.c_str());
            ok = false;
        } catch (const std::exception& e) {
            Messages::emitf(Severity::Error, "render \"%s\": %s", renders_[i].root.c_str(), e.what());
            ok = false;
        }
        Messages::flush_repeats();
    }
    return ok;
}

bool Session::render_one(size_t i) {
    auto frame = make_frame(i);
    if (!frame || Frame::stopping()) return false;
    const std::string hairs =
        world_->hair_count() ? ", " + std::to_string(world_->hair_count()) + " hairs" : std::string();
    const film::Film& film = frame->film();
    const std::string spp = film.base_spp() < film.spp()
                                ? std::to_string(film.base_spp()) + " to " + std::to_string(film.spp())
                                : std::to_string(film.spp());
    Messages::emitf(Severity::Info,
                    "rendering \"%s\" with camera \"%s\": %d x %d, %s samples per pixel, %zu triangles%s",
                    renders_[i].root.c_str(), renders_[i].camera_instance.c_str(), film.width(),
                    film.height(), spp.c_str(), world_->triangle_count(), hairs.c_str());
    const bool ok = frame->render();
    if (frame->eye_samples())
        Messages::emitf(Severity::Info, "%llu eye samples, %llu rays (%.2f per eye sample)",
                        static_cast<unsigned long long>(frame->eye_samples()),
                        static_cast<unsigned long long>(frame->rays_traced()),
                        double(frame->rays_traced()) / double(frame->eye_samples()));
    return ok;
}

std::string frame_name(const std::string& pattern, int frame) {
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        if (pattern[i] != '#') {
            out += pattern[i++];
            continue;
        }
        size_t run = 0;
        while (i + run < pattern.size() && pattern[i + run] == '#')
            ++run;
        std::string digits = std::to_string(frame < 0 ? -frame : frame);
        if (digits.size() < run) digits.insert(0, run - digits.size(), '0');
        out += (frame < 0 ? "-" : "") + digits;
        i += run;
    }
    return out;
}

bool Session::set_frame(int frame, bool sequence) {
    frame_given_ = true;
    bool ok = true;
    for (Element* e : db_.all(miSCENE_CAMERA)) {
        auto* camera = static_cast<CameraElement*>(e);
        camera->record.frame = frame;
        auto* list = dynamic_cast<OutputListElement*>(db_.get(camera->record.output));
        if (!list) continue;
        for (OutputEntry& o : list->entries) {
            if (!o.is_file) continue;
            if (sequence && o.filename.find('#') == std::string::npos) {
                Messages::emitf(Severity::Error,
                                "%s:%d:%d: output \"%s\" of camera \"%s\" has no '#' for the frame number; "
                                "every frame would write over it",
                                o.loc.file.c_str(), o.loc.line, o.loc.col, o.filename.c_str(),
                                camera->name.c_str());
                ok = false;
                continue;
            }
            o.filename = frame_name(o.filename, frame);
        }
    }
    return ok;
}

std::string part_file_name(const std::string& scene, int frame, size_t render, int index, int count) {
    return fs::path(scene).stem().string() + "." + frame_name("####", frame) + ".r" + std::to_string(render) +
           ".part" + std::to_string(index) + "of" + std::to_string(count) + ".exr";
}

bool Session::render_parts(int index, int count, const std::string& dir) {
    if (renders_.empty()) {
        Messages::emit(Severity::Error, "the scene has no render statement");
        return false;
    }
    film::PartOrigin origin;
    origin.scenes = files_;
    for (std::string& scene : origin.scenes) {
        std::error_code ec;
        const fs::path canonical = fs::weakly_canonical(scene, ec);
        if (!ec) scene = canonical.string();
    }
    if (auto err = film::record_files(read_files(), origin.files)) {
        Messages::emit(Severity::Error, "cannot record the scene's files for the parts: " + *err);
        return false;
    }
    origin.frame_given = frame_given_;
    origin.tile = index;
    origin.tiles = count;
    bool ok = true;
    for (size_t i = 0; i < renders_.size() && ok; ++i) {
        try {
            auto frame = make_frame(i);
            if (!frame) {
                ok = false;
                break;
            }
            origin.frame = frame->camera_record()->frame;
            origin.render = int(i);
            origin.camera = renders_[i].camera_instance;
            const std::string name =
                part_file_name(files_.empty() ? "scene" : files_.front(), origin.frame, i, index, count);
            const std::string path = dir.empty() ? name : (fs::path(dir) / name).string();
            // Where the part goes is known before a pixel is rendered.
            if (auto err = film::check_writable(path)) {
                Messages::emit(Severity::Error, *err);
                ok = false;
                break;
            }
            int row0 = 0, row1 = 0;
            if (!frame->render_part(index, count, row0, row1)) {
                ok = false;
                break;
            }
            if (auto err = film::write_part(frame->film(), row0, row1, origin, path)) {
                if (!Frame::stopping()) Messages::emit(Severity::Error, *err);
                ok = false;
            } else {
                Messages::emitf(Severity::Info, "wrote %s (rows %d to %d of %d)", path.c_str(), row0,
                                row1 - 1, frame->film().height());
            }
        } catch (const film::Interrupted&) {
            ok = false;
        } catch (const std::exception& e) {
            Messages::emitf(Severity::Error, "render \"%s\": %s", renders_[i].root.c_str(), e.what());
            ok = false;
        }
    }
    Messages::flush_repeats();
    return ok;
}

bool Session::render_merged(size_t render, const std::function<std::optional<std::string>(film::Film&)>& load,
                            bool write) {
    if (render >= renders_.size()) {
        Messages::emitf(Severity::Error, "the scene has no render statement %zu", render + 1);
        return false;
    }
    bool ok = false;
    try {
        auto frame = make_frame(render);
        ok = frame && frame->render_from(load, write);
    } catch (const film::Interrupted&) {
        ok = false;
    } catch (const std::exception& e) {
        Messages::emitf(Severity::Error, "render \"%s\": %s", renders_[render].root.c_str(), e.what());
    }
    Messages::flush_repeats();
    return ok;
}

} // namespace orn
