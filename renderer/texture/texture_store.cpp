#include "texture/texture_store.h"

#include "core/messages.h"

#include <algorithm>
#include <cmath>

namespace orn {

namespace {

constexpr float kPi = 3.14159265358979323846f;

std::string located(const scene::SourceLoc& loc) {
    return loc.file + ":" + std::to_string(loc.line) + ":" + std::to_string(loc.col) + ": ";
}

} // namespace

TextureStore::TextureStore(const Database& db, int threads) : db_(db), threads_(threads) {}

TextureStore::~TextureStore() = default;

bool TextureStore::open() {
    entries_.clear();
    slot_of_tag_.assign(db_.size() + 1, -1);
    if (!textures_) {
        std::string error;
        const image::Library* images = image::library(error);
        if (!images) {
            Messages::emit(Severity::Error, error);
            return false;
        }
        textures_ = images->textures(threads_);
    }
    bool ok = true;
    for (Element* e : db_.all(miSCENE_IMAGE)) {
        const auto* tex = static_cast<const TextureElement*>(e);
        Entry entry;
        std::string why;
        entry.texture = textures_->open(tex->path, entry.channels, why);
        if (entry.texture < 0) {
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

bool TextureStore::filtered(const Entry& e, int thread, image::Textures::Wrap wrap, float s, float t,
                            float ds, float dt, miColor* result) const {
    float c[4] = {0.f, 0.f, 0.f, 1.f};
    const int n = std::min(e.channels, 4);
    std::string why;
    if (!textures_->filter(e.texture, thread, wrap, s, t, ds, dt, n, c, why)) {
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
    // The texture system's t runs down the image from row 0.
    return filtered(*e, thread, image::Textures::Wrap::Clamp, u, 1.f - v, std::fabs(du), std::fabs(dv),
                    result);
}

bool TextureStore::environment(miTag tag, int thread, const miVector& dir, float angle,
                               miColor* result) const {
    const Entry* e = entry(tag);
    const float len = std::sqrt(dir.x * dir.x + dir.y * dir.y + dir.z * dir.z);
    if (!e || !(len > 0.f) || !std::isfinite(len)) return false;
    const float y = std::clamp(dir.y / len, -1.f, 1.f);
    const float u = 0.5f + std::atan2(dir.x, -dir.z) / (2.f * kPi);
    const float v = 0.5f + std::asin(y) / kPi;
    const float w = std::fabs(angle);
    return filtered(*e, thread, image::Textures::Wrap::PeriodicS, u, 1.f - v, w / (2.f * kPi), w / kPi,
                    result);
}

} // namespace orn
