// The frame's side of a live view: the layers, each finished bucket's pixels, the final film.
#include "render/frame.h"

namespace orn {

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
