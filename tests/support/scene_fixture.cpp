#include "support/scene_fixture.h"

#include "scene/parser.h"

#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace orn::test {

std::string module_preamble() {
    return std::string("link \"") + ORN_BUILD_DIR + "/lib/shaders_orn.so\"\n$include \"" + ORN_SOURCE_DIR +
           "/declarations/shaders_orn.mi\"\n";
}

std::string zero_defaults(const std::string& shader) {
    static const scene::ParseResult decls = scene::parse_file(ORN_SOURCE_DIR "/declarations/shaders_orn.mi");
    std::string out;
    for (const auto& st : decls.statements) {
        const auto* d = std::get_if<scene::ShaderDecl>(&st);
        if (!d || d->name != shader) continue;
        for (const auto& p : d->params) {
            if (!p.default_value || p.type == scene::ParamType::String) continue;
            const char* zero = p.type == scene::ParamType::Color    ? "0 0 0 0"
                               : p.type == scene::ParamType::Vector ? "0 0 0"
                                                                    : "0";
            out += "\"" + p.name + "\" " + zero + ", ";
        }
    }
    return out;
}

MessageCapture::MessageCapture() {
    Messages::set_sink([this](Severity s, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.emplace_back(s, text);
    });
}

MessageCapture::~MessageCapture() {
    Messages::set_sink({});
}

std::vector<std::string> MessageCapture::of(Severity severity) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [s, t] : messages_)
        if (s == severity) out.push_back(t);
    return out;
}

bool MessageCapture::contains(const std::string& fragment) const {
    return all().find(fragment) != std::string::npos;
}

std::string MessageCapture::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& m : messages_)
        out += m.second + "\n";
    return out;
}

SceneFixture::SceneFixture(int threads) {
    SessionOptions o;
    o.render.progress = false;
    o.render.threads = threads;
    session_ = std::make_unique<Session>(o);
}

SceneFixture::~SceneFixture() {
    ThreadContext::set_current(nullptr);
    frame_.reset();
    session_.reset();
}

bool SceneFixture::load(const std::string& text) {
    if (!session_->load_string(text, "test.mi")) return false;
    frame_ = session_->make_frame(0);
    if (!frame_ || !frame_->prepare()) return false;
    ThreadContext::set_current(&frame_->main_context());
    // Shader calls made by hand write frame buffers into this eye sample.
    frame_->main_context().own_film_sample(frame_->film().clear_sample());
    return true;
}

miState* SceneFixture::root(int x, int y) {
    return frame_->main_context().begin_sample(x, y, 0);
}

miState* SceneFixture::probe_eye(float rx, float ry) {
    miState* r = root(int(rx), int(ry));
    miVector org, dir;
    frame_->camera_ray(rx, ry, org, dir);
    r->org = org;
    r->dir = dir;
    if (!frame_->trace_probe(r, dir, org)) return nullptr;
    miState* hit = r->child;
    hit->type = miRAY_EYE;
    return hit;
}

bool SceneFixture::call(const std::string& shader, void* result, miState* state) {
    auto* fe = session_->db().get_as<FunctionElement>(session_->db().lookup(shader), miSCENE_FUNCTION);
    if (!fe) {
        ADD_FAILURE() << "no shader instance named " << shader;
        return false;
    }
    // The test hands storage for the shader's declared result.
    const size_t bytes = fe->function.decl ? fe->function.decl->result_bytes : sizeof(miColor);
    return frame_->call_shader(&fe->function, result, bytes, state) != miFALSE;
}

miColor SceneFixture::shade_hit(const std::string& shader, float rx, float ry, int type) {
    miState* hit = probe_eye(rx, ry);
    miColor c{-1, -1, -1, -1};
    if (!hit) {
        ADD_FAILURE() << "the eye ray through " << rx << ", " << ry << " hits nothing";
        return c;
    }
    hit->type = type;
    c = {0, 0, 0, 0};
    EXPECT_TRUE(call(shader, &c, hit)) << shader;
    return c;
}

miColor SceneFixture::shade(float rx, float ry, bool* hit) {
    miState* r = root(int(rx), int(ry));
    miVector org, dir;
    frame_->camera_ray(rx, ry, org, dir);
    r->org = org;
    r->dir = dir;
    r->raster_x = rx;
    r->raster_y = ry;
    miColor c{0, 0, 0, 0};
    const bool got = frame_->trace_eye(&c, r, org, dir);
    if (hit) *hit = got && r->child && r->child->pri;
    return c;
}

miColor SceneFixture::through_lens(float rx, float ry) {
    miState* r = root(int(rx), int(ry));
    miVector org, dir;
    frame_->camera_ray(rx, ry, org, dir);
    r->org = org;
    r->dir = dir;
    r->raster_x = rx;
    r->raster_y = ry;
    miColor c{0, 0, 0, 0};
    auto* lens = session_->db().get_as<FunctionElement>(frame_->camera_record()->lens, miSCENE_FUNCTION);
    if (!lens) {
        ADD_FAILURE() << "the camera has no lens";
        return c;
    }
    EXPECT_TRUE(frame_->call_shader(&lens->function, &c, r));
    return c;
}

void SceneFixture::render() {
    ThreadContext::set_current(nullptr);
    frame_->render_pixels();
    ThreadContext::set_current(&frame_->main_context());
}

float* SceneFixture::sample_buffer(const std::string& name) {
    auto& film = frame_->film();
    const int id = film.plane_id(name);
    if (id < 0) return nullptr;
    return frame_->main_context().film_sample + film.plane_offset(id);
}

CommandResult run_command(const std::string& command) {
    const std::string cmd = command + " 2>&1";
    CommandResult r;
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        r.output.append(buf, n);
    const int st = pclose(pipe);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

CommandResult run_ornrender(const std::string& args) {
    return run_command(std::string(ORN_BUILD_DIR) + "/bin/ornrender " + args);
}

std::vector<float> rendered_rgba(std::string scene_text, int threads) {
    const std::string file = temp_path("rendered" + std::to_string(threads) + ".exr");
    scene_text.replace(scene_text.find("end camera"), 10,
                       "output \"rgba\" \"exr\" \"" + file + "\" end camera");
    SessionOptions o;
    o.render.threads = threads;
    o.render.progress = false;
    Session session(o);
    if (!session.load_string(scene_text, "rendered.mi") || !session.render_all()) {
        ADD_FAILURE() << "the scene did not render";
        return {};
    }
    auto in = OIIO::ImageInput::open(file);
    if (!in) {
        ADD_FAILURE() << "cannot read " << file;
        return {};
    }
    std::vector<float> pixels(size_t(in->spec().image_pixels()) * size_t(in->spec().nchannels));
    if (!in->read_image(0, 0, 0, -1, OIIO::TypeDesc::FLOAT, pixels.data())) pixels.clear();
    return pixels;
}

namespace {

// This process's own directory, removed when the process ends: runs that overlap (two build
// trees, a sanitizer build beside the plain one) never share a file.
const fs::path& process_dir() {
    struct Dir {
        fs::path path = fs::temp_directory_path() / "orn_tests" / std::to_string(::getpid());
        ~Dir() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    };
    static const Dir dir;
    return dir.path;
}

} // namespace

std::string test_dir() {
    return fs::path(temp_path("")).parent_path().string();
}

std::string temp_path(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path dir = process_dir() / (std::string(info ? info->test_suite_name() : "suite") + "." +
                                    (info ? info->name() : "test"));
    // A test starts from an empty directory, whatever an earlier run that was killed left.
    static std::string current;
    if (dir.string() != current) {
        std::error_code ec;
        fs::remove_all(dir, ec);
        current = dir.string();
    }
    fs::create_directories(dir);
    return (dir / name).string();
}

} // namespace orn::test
