// The frame's side of a live view: the layers, each finished bucket's pixels, the final film.
#include "render/frame.h"

#include "render/category_check.h"

#include <cstring>

namespace orn {

namespace {

// A light's shader and its "intensity" and "color" as the scene set them.
WatchedLight watched_light(const Database& db, const LightElement& light) {
    WatchedLight out;
    out.name = light.name;
    const auto* fe = db.get_as<FunctionElement>(light.shader, miSCENE_FUNCTION);
    if (!fe || !fe->function.decl) return out;
    const miFunction& f = fe->function;
    out.shader = f.decl->decl.name;
    out.toolkit = light_category(db, light.shader).has_value();
    const auto* base = reinterpret_cast<const unsigned char*>(f.storage.data());
    for (const FieldLayout& field : f.decl->layout.fields) {
        if (field.is_array || f.connection_at(base + field.offset)) continue;
        if (field.name == "intensity" && field.type == scene::ParamType::Scalar &&
            field.offset + sizeof(float) <= f.block_size) {
            float v;
            std::memcpy(&v, base + field.offset, sizeof v);
            out.intensity = v;
        } else if (field.name == "color" && field.type == scene::ParamType::Color &&
                   field.offset + 4 * sizeof(float) <= f.block_size) {
            std::array<float, 4> v;
            std::memcpy(v.data(), base + field.offset, sizeof v);
            out.color = v;
        }
    }
    return out;
}

} // namespace

void Frame::watch_started(int buckets) {
    WatchedFrame w;
    w.width = film_->width();
    w.height = film_->height();
    w.frame = camera_->frame;
    w.buckets = buckets;
    w.pixel_size = film_->sample_size();
    w.window = {window_[0], window_[1], window_[2], window_[3]};
    // Every plane the samples carry: the standard images, the pass buffers and any other frame
    // buffer (not the ID mattes' ranks, which exist only once the frame is resolved).
    std::vector<int> layer_of(size_t(film_->plane_count()), -1);
    for (int p = 0; p < film_->plane_count(); ++p) {
        const film::PlaneInfo& info = film_->plane_info(p);
        if (!info.sampled) continue;
        layer_of[size_t(p)] = int(w.layers.size());
        w.layers.push_back({info.name, film_->plane_offset(p), info.components, p == film::Label});
    }
    for (const BufferPlane& b : buffers_)
        if (b.label && b.plane >= 0 && layer_of[size_t(b.plane)] >= 0)
            w.layers[size_t(layer_of[size_t(b.plane)])].label = true;
    // Each group's lights, for the scene text of a mix.
    for (int g = 0; g < light_groups_.count(); ++g)
        w.groups.push_back({light_groups_.name(g), {}});
    for (const WorldLight& wl : world_.lights()) {
        const int g = light_groups_.group_of(wl.instance->tag);
        if (g < 0 || g >= int(w.groups.size())) continue;
        w.groups[size_t(g)].lights.push_back(watched_light(db_, *wl.light));
    }
    settings_.watch->frame_started(w);
}

void Frame::watch_bucket(const film::Film::Tile* tile, int x0, int y0, int x1, int y1,
                         std::vector<float>& pixels) {
    if (x0 >= x1 || y0 >= y1) {
        settings_.watch->bucket_done(0, 0, 0, 0, nullptr);
        return;
    }
    pixels.resize(size_t(x1 - x0) * size_t(y1 - y0) * size_t(film_->sample_size()));
    film_->bucket_pixels(tile, x0, y0, x1, y1, pixels.data());
    settings_.watch->bucket_done(x0, y0, x1, y1, pixels.data());
}

void Frame::watch_finished() {
    // A stopped frame's film is not resolved: the view keeps the buckets it was shown.
    if (aborted().load() || !film_->is_resolved()) {
        settings_.watch->frame_finished({}, true);
        return;
    }
    std::vector<const float*> planes;
    for (int p = 0; p < film_->plane_count(); ++p)
        if (film_->plane_info(p).sampled) planes.push_back(film_->resolved(p).data());
    settings_.watch->frame_finished(planes, aborted().load());
}

} // namespace orn
