// The camera's outputs: where their files go, the check before the frame renders that each can
// be written, and the output list run in order after it.
#include "render/frame.h"

#include "core/messages.h"
#include "film/image_output.h"
#include "render/output_shader_file.h"

#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace orn {

std::string Frame::output_path(const std::string& filename) const {
    fs::path p(filename);
    if (p.is_absolute() || settings_.output_dir.empty()) return p.string();
    return (fs::path(settings_.output_dir) / p).string();
}

bool Frame::check_outputs() {
    bool ok = true;
    for (const auto& o : *output_entries()) {
        if (!o.is_file) continue;
        film::OutputRequest req;
        auto err = output_request(o, req);
        if (!err) err = film::check_output_type(req);
        if (!err) err = film::check_writable(req.path);
        if (err) {
            Messages::emit(Severity::Error, o.loc.file + ":" + std::to_string(o.loc.line) + ":" +
                                                std::to_string(o.loc.col) + ": " + *err);
            ok = false;
        }
    }
    // The EXR saver's file too: a frame must not render for hours towards a file it cannot write.
    for (const auto& o : *output_entries()) {
        const auto* fe = o.is_file ? nullptr : db_.get_as<FunctionElement>(o.shader, miSCENE_FUNCTION);
        const std::string file = fe ? output_shader_file(db_, fe->function) : std::string();
        if (file.empty()) continue;
        if (auto err = film::check_writable(output_path(file))) {
            Messages::emitf(Severity::Error, "output shader \"%s\": %s", fe->function.decl->decl.name.c_str(),
                            err->c_str());
            ok = false;
        }
    }
    if (FramebufferElement* fbs = framebuffers())
        for (const auto& b : fbs->buffers) {
            const std::string file = b.text("filename");
            if (file.empty()) continue;
            if (auto err = film::check_writable(output_path(file))) {
                Messages::emitf(Severity::Error, "frame buffer \"%s\": %s", b.name.c_str(), err->c_str());
                ok = false;
            }
        }
    return ok;
}

std::vector<std::string> Frame::output_files() {
    std::vector<std::string> paths;
    for (const auto& o : *output_entries()) {
        if (o.is_file) {
            film::OutputRequest req;
            if (!output_request(o, req)) paths.push_back(req.path);
            continue;
        }
        const auto* fe = db_.get_as<FunctionElement>(o.shader, miSCENE_FUNCTION);
        const std::string file = fe ? output_shader_file(db_, fe->function) : std::string();
        if (!file.empty()) paths.push_back(output_path(file));
    }
    if (FramebufferElement* fbs = framebuffers())
        for (const auto& b : fbs->buffers) {
            const std::string file = b.text("filename");
            if (!file.empty()) paths.push_back(output_path(file));
        }
    return paths;
}

// The camera's output list runs in order: files are written and output shaders called
// as they come, so a shader sees what the entries before it produced.
namespace {

// Output shaders write files under names the scene gives them. Relative names follow the same
// rule as the renderer's own files (taken from -o, else the working directory), so while they
// run the working directory is the output directory. Output shaders run after the render
// threads have finished, one at a time.
class OutputDirectory {
  public:
    explicit OutputDirectory(const std::string& dir) {
        if (dir.empty()) return;
        std::error_code ec;
        saved_ = fs::current_path(ec);
        if (ec) return;
        fs::create_directories(dir, ec);
        fs::current_path(dir, ec);
        if (ec) {
            Messages::emitf(Severity::Error, "cannot use the output directory %s: %s", dir.c_str(),
                            ec.message().c_str());
            saved_.clear();
            return;
        }
        entered_ = true;
    }
    ~OutputDirectory() {
        std::error_code ec;
        if (entered_) fs::current_path(saved_, ec);
    }
    OutputDirectory(const OutputDirectory&) = delete;
    OutputDirectory& operator=(const OutputDirectory&) = delete;

  private:
    fs::path saved_;
    bool entered_ = false;
};

} // namespace

namespace {
std::mutex written_mutex;
std::vector<std::string> written_files;
} // namespace

void Frame::note_written(const std::string& path) {
    std::lock_guard<std::mutex> lock(written_mutex);
    written_files.push_back(path);
}

std::vector<std::string> Frame::files_written() {
    std::lock_guard<std::mutex> lock(written_mutex);
    return written_files;
}

void Frame::forget_files_written() {
    std::lock_guard<std::mutex> lock(written_mutex);
    written_files.clear();
}

void Frame::run_outputs() {
    for (const auto& o : *output_entries()) {
        // An unfinished picture must not replace a finished one under the final name, and an
        // output shader would write whatever the film holds (zeros where no bucket finished).
        // A stop while the outputs are written leaves the rest unwritten.
        if (aborted().load()) {
            complete_ = false;
            if (o.is_file)
                Messages::emitf(Severity::Warning, "frame interrupted: %s not written",
                                output_path(o.filename).c_str());
            else if (auto* fe = db_.get_as<FunctionElement>(o.shader, miSCENE_FUNCTION))
                Messages::emitf(Severity::Warning, "frame interrupted: output shader \"%s\" not run",
                                fe->function.name.c_str());
            continue;
        }
        if (o.is_file) {
            film::OutputRequest req;
            auto err = output_request(o, req);
            if (!err) {
                add_matte_layers(req);
                err = film::write_image(*film_, req);
            }
            if (err && aborted().load()) {
                complete_ = false;
                Messages::emitf(Severity::Warning, "frame interrupted: %s not written", req.path.c_str());
            } else if (err) {
                Messages::emit(Severity::Error, *err);
                outputs_ok_ = false;
            } else {
                Messages::emitf(Severity::Info, "wrote %s", req.path.c_str());
                note_written(req.path);
            }
            continue;
        }
        auto* fe = db_.get_as<FunctionElement>(o.shader, miSCENE_FUNCTION);
        if (!fe) continue;
        ThreadContext::set_current(main_context_.get());
        miState* st = main_context_->begin_sample(0, 0, 0);
        st->type = miRAY_OUTPUT;
        miBoolean result = miFALSE;
        bool ok;
        {
            const OutputDirectory in_output_dir(settings_.output_dir);
            ok = call_shader(&fe->function, &result, st) != miFALSE;
        }
        const std::string file = output_shader_file(db_, fe->function);
        if (!ok && aborted().load()) {
            complete_ = false; // the shader saw the stop and kept the older file
        } else if (!ok) {
            Messages::emitf(Severity::Error, "output shader \"%s\" failed",
                            fe->function.decl->decl.name.c_str());
            outputs_ok_ = false;
        } else if (!file.empty()) {
            note_written(output_path(file));
        }
        ThreadContext::set_current(nullptr);
    }
}

} // namespace orn
