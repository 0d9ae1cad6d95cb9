#include "texture/texture_store.h"

#include "core/messages.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace orn {

namespace {

constexpr float kPi = 3.14159265358979323846f;

std::string located(const scene::SourceLoc& loc) {
    return loc.file + ":" + std::to_string(loc.line) + ":" + std::to_string(loc.col) + ": ";
}

} // namespace

std::string texture_file_problem(const std::string& path) {
    // Devices and pipes could block the reader; a directory or nothing gives a vaguer message.
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return "no such file";
    if (!std::filesystem::is_regular_file(path, ec)) return "not a regular file";
    auto in = OIIO::ImageInput::open(path);
    if (!in) {
        std::string why = OIIO::geterror();
        return why.empty() ? "not an image file this renderer can read" : why;
    }
    const OIIO::ImageSpec& spec = in->spec();
    if (spec.width <= 0 || spec.height <= 0 || spec.nchannels <= 0) return "the image holds no pixels";
    return {};
}

TextureStore::TextureStore(const Database& db, int threads) : db_(db), system_(TS::create(true)) {
    // Plain scanline images (the usual .hdr, .exr or .png) are tiled and MIP-mapped in memory
    // when first read, so every file gets filtered lookups without a conversion step.
    system_->attribute("autotile", 64);
    system_->attribute("automip", 1);
    perthread_.resize(size_t(std::max(1, threads)));
    for (auto& p : perthread_)
        p = system_->create_thread_info();
}

TextureStore::~TextureStore() {
    for (TS::Perthread* p : perthread_)
        system_->destroy_thread_info(p);
}

bool TextureStore::open() {
    entries_.clear();
    slot_of_tag_.assign(db_.size() + 1, -1);
    bool ok = true;
    for (Element* e : db_.all(miSCENE_IMAGE)) {
        const auto* tex = static_cast<const TextureElement*>(e);
        Entry entry;
        // A file changed on disk since an earlier frame read it is read anew.
        system_->invalidate(OIIO::ustring(tex->path), false);
        entry.handle = system_->get_texture_handle(OIIO::ustring(tex->path), perthread_[0]);
        if (!entry.handle || !system_->good(entry.handle) ||
            !system_->get_texture_info(entry.handle, perthread_[0], 0, OIIO::ustring("channels"),
                                       OIIO::TypeDesc::INT, &entry.channels) ||
            entry.channels <= 0) {
            std::string why = system_->geterror();
            if (why.empty()) why = "not an image file this renderer can read";
            Messages::emit(Severity::Error, located(tex->loc) + "texture \"" + tex->name +
                                                "\": cannot read \"" + tex->path + "\": " + why);
            ok = false;
            continue;
        }
        if (e->tag < slot_of_tag_.size()) {
            slot_of_tag_[e->tag] = int(entries_.size());
            entries_.push_back(entry);
        }
    }
    return ok;
}

TextureStore::TS::Perthread* TextureStore::perthread(int thread) const {
    // A thread the frame did not count (a benchmark's own) gets the system's per-thread data.
    if (thread >= 0 && size_t(thread) < perthread_.size()) return perthread_[size_t(thread)];
    return system_->get_perthread_info();
}

bool TextureStore::filtered(const Entry& e, int thread, OIIO::TextureOpt& opt, float s, float t, float ds,
                            float dt, miColor* result) const {
    opt.interpmode = OIIO::TextureOpt::InterpBilinear;
    opt.mipmode = OIIO::TextureOpt::MipModeTrilinear;
    float c[4] = {0.f, 0.f, 0.f, 1.f};
    const int n = std::min(e.channels, 4);
    if (!system_->texture(e.handle, perthread(thread), opt, s, t, ds, 0.f, 0.f, dt, n, c)) {
        // Clears the system's error text, which would otherwise grow with every failure.
        const std::string why = system_->geterror();
        Messages::emitf(Severity::Warning, "texture lookup failed: %s", why.c_str());
        *result = {0.f, 0.f, 0.f, 0.f};
        return false;
    }
    if (n == 2) c[3] = c[1]; // grey and alpha
    if (n < 3) c[1] = c[2] = c[0];
    *result = {c[0], c[1], c[2], c[3]};
    return true;
}

bool TextureStore::lookup(miTag tag, int thread, float u, float v, float du, float dv,
                          miColor* result) const {
    const Entry* e = entry(tag);
    if (!e || !std::isfinite(u) || !std::isfinite(v)) return false;
    OIIO::TextureOpt opt;
    opt.swrap = opt.twrap = OIIO::TextureOpt::WrapClamp;
    // The texture system's t runs down the image from row 0.
    return filtered(*e, thread, opt, u, 1.f - v, std::fabs(du), std::fabs(dv), result);
}

bool TextureStore::environment(miTag tag, int thread, const miVector& dir, float angle,
                               miColor* result) const {
    const Entry* e = entry(tag);
    const float len = std::sqrt(dir.x * dir.x + dir.y * dir.y + dir.z * dir.z);
    if (!e || !(len > 0.f) || !std::isfinite(len)) return false;
    const float y = std::clamp(dir.y / len, -1.f, 1.f);
    const float u = 0.5f + std::atan2(dir.x, -dir.z) / (2.f * kPi);
    const float v = 0.5f + std::asin(y) / kPi;
    OIIO::TextureOpt opt;
    opt.swrap = OIIO::TextureOpt::WrapPeriodic;
    opt.twrap = OIIO::TextureOpt::WrapClamp;
    const float w = std::fabs(angle);
    return filtered(*e, thread, opt, u, 1.f - v, w / (2.f * kPi), w / kPi, result);
}

} // namespace orn
