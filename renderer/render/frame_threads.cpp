// The render threads: each takes the next bucket until none is left; the calling thread renders
// too, and a watcher draws the progress.
#include "render/frame.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <time.h>

namespace orn {

namespace {

// Progress on standard error: a bar redrawn in place on a terminal, otherwise a plain line
// at every tenth of the frame or every 10 s, so that logs collected from a file show it. The share
// done and the time left are the estimate's, which weighs buckets by what they cost.
class ProgressBar {
  public:
    ProgressBar(bool on, bool lines, const ProgressEstimate& estimate)
        : on_(on), lines_(lines), estimate_(estimate), start_(std::chrono::steady_clock::now()),
          last_line_(start_) {}
    void update() {
        if (!on_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const ProgressEstimate::Estimate e = estimate_.estimate(elapsed);
        // 100% only once every bucket is done.
        const int pct = e.share >= 1.0 ? 100 : std::min(99, int(e.share * 100.0));
        const bool known = e.seconds_left && pct < 100;
        const double left = e.seconds_left.value_or(0.0);
        if (lines_) {
            const bool step = pct / 10 > last_ / 10 || (pct == 100 && last_ < 100);
            if (!step && (pct == last_ || now - last_line_ < std::chrono::seconds(10))) return;
            last_ = pct;
            last_line_ = now;
            if (known)
                std::fprintf(stderr, "ornrender: rendering %d%%, %.1f s elapsed, about %.0f s left\n", pct,
                             elapsed, left + 0.5);
            else
                std::fprintf(stderr, "ornrender: rendering %d%%, %.1f s elapsed\n", pct, elapsed);
            std::fflush(stderr);
            return;
        }
        if (pct == last_) return;
        last_ = pct;
        const int width = 40, filled = pct * width / 100;
        std::fprintf(stderr, "\rrendering [%.*s%*s] %3d%%  %.1f s", filled,
                     "########################################", width - filled, "", pct, elapsed);
        if (known)
            std::fprintf(stderr, ", about %.0f s left   ", left + 0.5);
        else
            std::fputs("                    ", stderr);
        if (pct == 100) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

  private:
    bool on_, lines_;
    const ProgressEstimate& estimate_;
    int last_ = -1;
    std::chrono::steady_clock::time_point start_, last_line_;
    std::mutex mutex_;
};

// The CPU time this thread has used, in seconds: a bucket's cost, whatever else the machine runs.
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

} // namespace

void Frame::render_thread(int index, std::atomic<int>& next_bucket, std::atomic<int>& done,
                          const std::vector<int>& order, ProgressEstimate& progress) {
    ThreadContext own(*this, index);
    own.own_film_sample(film_->clear_sample());
    own.set_light_groups(tracked_groups_);
    own.mattes.enable(mattes_.on());
    if (shadow_logs_) own.shadow_log = &(*shadow_logs_)[size_t(index)];
    ThreadContext::set_current(&own);
    const int total = bucket_list_.empty() ? buckets_x_ * buckets_y_ : int(bucket_list_.size());
    const int bs = settings_.bucket_size;
    film::Film::Tile tile;
    EyeBand band;
    AdaptiveScratch adaptive_scratch;
    std::vector<float> watched; // a bucket's pixels for the watch
    for (;;) {
        if (aborted().load(std::memory_order_relaxed)) break;
        const int k = next_bucket.fetch_add(1);
        if (k >= total) break;
        // Tiles merge in list order whatever order they render in, so the frame's bits do not
        // depend on it.
        const int b = order[size_t(k)];
        const double started = thread_seconds();
        const int bucket = bucket_list_.empty() ? b : bucket_list_[size_t(b)];
        const int bx = bucket % buckets_x_, by = bucket / buckets_x_;
        const int x1 = std::min(film_->width(), (bx + 1) * bs), y1 = std::min(film_->height(), (by + 1) * bs);
        const int ya = std::max({by * bs, window_[1], shade_rows_[0]});
        const int yb = std::min({y1, window_[3], shade_rows_[1]});
        const int xa = std::max(bx * bs, window_[0]), xb = std::min(x1, window_[2]);
        if (writes_samples_) {
            if (xa < xb && ya < yb) shade_bucket(own, tile, band, xa, xb, ya, yb);
            if (settings_.watch) watch_bucket(nullptr, xa, ya, xb, yb, watched);
        } else {
            film_->make_tile(tile, bx * bs, by * bs, x1, y1);
            if (xa < xb && ya < yb) {
                if (adaptive())
                    shade_adaptive(own, tile, adaptive_scratch, xa, xb, ya, yb);
                else
                    shade_bucket(own, tile, band, xa, xb, ya, yb);
            }
            if (settings_.watch) watch_bucket(&tile, xa, ya, xb, yb, watched);
            film_->merge_tile(tile, b);
        }
        progress.done(b, thread_seconds() - started);
        if (settings_.watch) {
            const ProgressEstimate::Estimate e = progress.estimate_now();
            settings_.watch->progress(e.share, e.seconds_left);
        }
        done.fetch_add(1);
    }
    if (writes_samples_) film_->end_writes();
    rays_traced_ += own.rays;
    eye_samples_ += own.samples;
    shadow_rays_ += own.shadow_rays;
    for (int t = 0; t < 32; ++t)
        if (own.rays_of[t]) rays_of_type_[t] += own.rays_of[t];
    ThreadContext::set_current(nullptr);
}

void Frame::render_pixels() {
    if (aborted().load()) return; // not even the film is cleared for a frame stopped already
    color_offset_ = film_->plane_offset(film::Color);
    depth_offset_ = film_->plane_offset(film::Depth);
    normal_offset_ = film_->plane_offset(film::Normal);
    motion_offset_ = film_->plane_offset(film::Motion);
    label_offset_ = film_->plane_offset(film::Label);
    coverage_offset_ = film_->plane_offset(film::Coverage);
    refresh_buffer_offsets();
    film_->clear();
    eye_packets_ = settings_.eye_packets && !lens_ && world_.geometry().packets_exact(kMaskEye);
    writes_samples_ = film_->writes_samples();
    rays_traced_ = 0;
    eye_samples_ = 0;
    shadow_rays_ = 0;
    for (auto& n : rays_of_type_)
        n = 0;
    if (shadow_logs_) {
        shadow_logs_->resize(size_t(threads_));
        for (auto& log : *shadow_logs_)
            log.clear();
    }
    const miCamera* cam = camera_record();
    const std::array<int, 4> window = settings_.region.value_or(
        std::array<int, 4>{cam->window_xl, cam->window_yl, cam->window_xh, cam->window_yh});
    window_[0] = std::max(0, window[0]);
    window_[1] = std::max(0, window[1]);
    window_[2] = std::min(film_->width(), window[2]);
    window_[3] = std::min(film_->height(), window[3]);
    const int bs = std::max(4, settings_.bucket_size);
    settings_.bucket_size = bs;
    buckets_x_ = (film_->width() + bs - 1) / bs;
    buckets_y_ = (film_->height() + bs - 1) / bs;
    const int total = bucket_list_.empty() ? buckets_x_ * buckets_y_ : int(bucket_list_.size());
    std::atomic<int> next{0}, done{0};
    // Each bucket's work is its pixels in the window times the samples they ask for.
    std::vector<ProgressEstimate::Item> items;
    items.reserve(size_t(total));
    const double spp = std::max(1, film_->spp());
    for (int b = 0; b < total; ++b) {
        const int bucket = bucket_list_.empty() ? b : bucket_list_[size_t(b)];
        const int bx = bucket % buckets_x_, by = bucket / buckets_x_;
        const int xa = std::max(bx * bs, window_[0]),
                  xb = std::min({(bx + 1) * bs, film_->width(), window_[2]});
        const int ya = std::max({by * bs, window_[1], shade_rows_[0]});
        const int yb = std::min({(by + 1) * bs, film_->height(), window_[3], shade_rows_[1]});
        items.push_back({bx, by, xa < xb && ya < yb ? double(xb - xa) * double(yb - ya) * spp : 0.0});
    }
    ProgressEstimate progress(std::move(items));
    const std::vector<int> order = progress.order();
    if (settings_.watch) watch_started(total);
    ProgressBar bar(settings_.progress, settings_.progress_lines, progress);
    std::vector<std::thread> pool;
    for (int i = 1; i < threads_; ++i)
        pool.emplace_back([&, i] { render_thread(i, next, done, order, progress); });
    // The calling thread renders too; a watcher redraws the progress every 100 ms and is woken
    // as soon as the last bucket is done, so a short frame does not wait for it.
    std::mutex finished_mutex;
    std::condition_variable finished_cv;
    bool finished = false;
    std::thread watcher;
    if (settings_.progress)
        watcher = std::thread([&] {
            std::unique_lock<std::mutex> lock(finished_mutex);
            while (!finished && done.load() < total && !aborted().load()) {
                bar.update();
                finished_cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return finished; });
            }
        });
    render_thread(0, next, done, order, progress);
    for (auto& t : pool)
        t.join();
    {
        std::lock_guard<std::mutex> lock(finished_mutex);
        finished = true;
    }
    finished_cv.notify_all();
    if (watcher.joinable()) watcher.join();
    bar.update();
    // A stopped frame writes nothing: resolving its film would only delay the stop.
    if (!aborted().load()) film_->resolve();
}

} // namespace orn
