// The image library loaded on first use (libornimage.so): image files and texture filtering
// through OpenImageIO. Only its entry function is exported.
#include "image/image_library.h"
#include "image/texture_check.h"

#include <OpenImageIO/imageio.h>
#include <OpenImageIO/texture.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// The image libraries report over several lines; the renderer's messages are one line each.
std::string one_line(const std::string& text) {
    std::string out;
    bool gap = false;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            gap = !out.empty();
            continue;
        }
        if (gap) out += "; ";
        gap = false;
        out += c;
    }
    return out;
}

// Some image formats' own libraries print their complaints on the standard error themselves
// ("libpng error: ..."), outside the renderer's messages. While a file is read or written here,
// the standard error goes to a scratch file instead; what arrived there becomes part of the
// one message of a failure, and is dropped otherwise. The standard error is the process's: while
// one capture is under way, a file read or written on another thread at the same moment is not
// captured (no lock is held across the image libraries, whose own locks it would tangle with).
class StderrCapture {
  public:
    StderrCapture() : owner_(!active().exchange(true)) {
        if (!owner_) return;
        std::fflush(stderr);
        scratch_ = std::tmpfile();
        saved_ = scratch_ ? ::dup(2) : -1;
        if (saved_ >= 0 && ::dup2(::fileno(scratch_), 2) < 0) {
            ::close(saved_);
            saved_ = -1;
        }
    }
    ~StderrCapture() {
        restore();
        if (scratch_) std::fclose(scratch_);
        if (owner_) active().store(false);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // `reason`, with what the libraries printed meanwhile, on one line.
    std::string with_output(const std::string& reason) {
        restore();
        std::string printed;
        if (scratch_ && std::fseek(scratch_, 0, SEEK_SET) == 0) {
            char buf[512];
            size_t n;
            while (printed.size() < 4096 && (n = std::fread(buf, 1, sizeof buf, scratch_)) > 0)
                printed.append(buf, n);
        }
        printed = one_line(printed);
        const std::string why = one_line(reason);
        if (printed.empty() || why.find(printed) != std::string::npos) return why;
        return why.empty() ? printed : why + " (" + printed + ")";
    }

  private:
    static std::atomic<bool>& active() {
        static std::atomic<bool> flag{false};
        return flag;
    }
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    bool owner_;
    std::FILE* scratch_ = nullptr;
    int saved_ = -1;
};

} // namespace

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
    for (const auto& [name, value] : spec.int_attributes)
        header.attribute(name, value);
    for (const auto& [name, value] : spec.string_attributes)
        header.attribute(name, value);
    return header;
}

// Every pixel of the file read by the checker beside this library (ornimagecheck), in a process
// of its own: a damaged file can make an image reader abort or overrun its own buffers, which
// there ends the checker, and the renderer reports the file instead of dying inside its texture
// system later. A fresh process rather than a fork, which would inherit the image libraries'
// thread pools without their threads.
std::string read_apart(const std::string& path) {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&read_apart), &info) || !info.dli_fname)
        return "the texture checker cannot be found";
    const std::string checker = (std::filesystem::path(info.dli_fname).parent_path() / kCheckerFile).string();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::string("cannot start the texture checker: ") + std::strerror(errno);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    // The image libraries' own complaints: the checker's answer is the message.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv = {const_cast<char*>(checker.c_str()), const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = -1;
    const int err = posix_spawn(&pid, checker.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (err != 0) {
        ::close(fds[0]);
        return "cannot start the texture checker " + checker + ": " + std::strerror(err);
    }
    std::string why;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) why.append(buf, size_t(n));
        if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return "the texture checker was lost";
    if (WIFSIGNALED(status))
        return std::string("damaged: the image reader died reading it (") + ::strsignal(WTERMSIG(status)) +
               ")";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "damaged: the image reader failed reading it";
    return why;
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
        StderrCapture capture;
        if (auto why = write_file(path, spec, data)) return capture.with_output(*why);
        return std::nullopt;
    }

    std::optional<std::string> read(const std::string& path, FloatImage& image) const override {
        StderrCapture capture;
        if (auto why = read_file(path, image)) return capture.with_output(*why);
        return std::nullopt;
    }

    std::string problem(const std::string& path) const override {
        // The header here, so that the usual mistakes (no such format, an empty image) cost no
        // process; then every pixel in a process of its own.
        StderrCapture capture;
        std::string why;
        try {
            auto in = OIIO::ImageInput::open(path);
            if (!in) {
                why = OIIO::geterror();
                if (why.empty()) why = "not an image file this renderer can read";
            } else if (auto size = texture_size_problem(in->spec())) {
                why = *size;
            }
        } catch (const std::exception& e) {
            why = std::string("damaged: ") + e.what();
        }
        if (why.empty()) why = read_apart(path);
        return why.empty() ? why : capture.with_output(why);
    }

    std::unique_ptr<Textures> textures(int threads) const override {
        return std::make_unique<OiioTextures>(threads);
    }

  private:
    std::optional<std::string> write_file(const std::string& path, const WriteSpec& spec,
                                          const void* data) const {
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
        // The library writes a slice of rows between calls of the callback; a true answer ends
        // the write there (and the caller drops the unfinished file).
        auto stop = [](void* flag, float) {
            return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
        };
        const bool written =
            spec.cancel ? out->write_image(type, data, OIIO::AutoStride, OIIO::AutoStride, OIIO::AutoStride,
                                           stop, const_cast<std::atomic<bool>*>(spec.cancel))
                        : out->write_image(type, data);
        if (!written) {
            const std::string reason = out->geterror();
            out->close();
            return reason;
        }
        if (spec.cancel && spec.cancel->load()) {
            out->close();
            return std::string("interrupted");
        }
        if (!out->close()) return out->geterror();
        return std::nullopt;
    }

    std::optional<std::string> read_file(const std::string& path, FloatImage& image) const {
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
};

} // namespace

} // namespace orn::image

extern "C" __attribute__((visibility("default"))) const orn::image::Library* orn_image_library(int version) {
    static const orn::image::OiioLibrary library;
    return version == orn::image::kInterfaceVersion ? &library : nullptr;
}
