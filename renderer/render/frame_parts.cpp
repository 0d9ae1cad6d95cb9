// Split frames: one strip of a frame rendered into a part file, and the whole frame's outputs
// from merged parts.
#include "render/frame.h"

#include "core/messages.h"

#include <algorithm>

namespace orn {

bool Frame::render_part(int index, int count, int& row0, int& row1) {
    const int bs = std::max(4, settings_.bucket_size);
    const int rows = (film_->height() + bs - 1) / bs;
    if (count < 1 || index < 0 || index >= count || count > rows) {
        Messages::emitf(Severity::Error,
                        "part %d of %d: the frame has %d bucket rows of %d pixels and splits into at most "
                        "that many parts",
                        index, count, rows, bs);
        return false;
    }
    // Bucket rows count from the bottom of the picture, parts from the top.
    const int strip = count - 1 - index;
    const int b0 = int(int64_t(strip) * rows / count), b1 = int(int64_t(strip + 1) * rows / count);
    row0 = b0 * bs;
    row1 = std::min(film_->height(), b1 * bs);
    mode_ = Mode::Part;
    if (!check_region() || !prepare()) return false;
    // Every bucket whose samples reach the strip through the filter, in the whole frame's order:
    // each pixel of the strip then adds the same contributions in the same order. Of the
    // neighbours only the rows within the filter's reach are shaded; their other samples would
    // land on pixels outside the strip.
    const int reach = film_->filter_reach_y();
    shade_rows_[0] = row0 - reach;
    shade_rows_[1] = row1 + reach;
    const int columns = (film_->width() + bs - 1) / bs;
    bucket_list_.clear();
    for (int by = 0; by < rows; ++by) {
        if (by * bs - reach >= row1 || (by + 1) * bs + reach <= row0) continue;
        for (int bx = 0; bx < columns; ++bx)
            bucket_list_.push_back(by * columns + bx);
    }
    render_pixels();
    if (settings_.watch) watch_finished();
    bucket_list_.clear();
    shade_rows_[0] = 0;
    shade_rows_[1] = 1 << 30;
    exit_shaders();
    return !aborted().load();
}

bool Frame::render_from(const std::function<std::optional<std::string>(film::Film&)>& load, bool write) {
    mode_ = Mode::Merge;
    if (!prepare()) return false;
    if (auto err = load(*film_)) {
        if (!stopping()) Messages::emit(Severity::Error, *err);
        exit_shaders();
        return false;
    }
    if (!write) {
        exit_shaders();
        return true;
    }
    finish();
    return outputs_ok_ && complete_;
}
} // namespace orn
