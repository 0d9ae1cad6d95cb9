// A bucket's eye samples in bands of a few rows, with their eye rays traced by Embree a packet
// at a time where the scene gives packets the same hits as rays one by one.
#include "render/frame.h"

#include <algorithm>
#include <cmath>
#include <immintrin.h>

namespace orn {

void Frame::shade_bucket(ThreadContext& tc, film::Film::Tile& tile, EyeBand& band, int x0, int x1, int y0,
                         int y1) {
    const int spp = film_->spp();
    // With one sample per pixel in a narrow box the film takes the samples of a row as they
    // are: they are shaded side by side and written as one.
    const size_t width = size_t(x1 - x0), sample_size = size_t(film_->sample_size());
    if (writes_samples_ && band.samples.size() < size_t(kBandRows) * width * sample_size)
        band.samples.resize(size_t(kBandRows) * width * sample_size);
    if (!eye_packets_) {
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x)
                for (int s = 0; s < spp; ++s)
                    shade_sample(tc, tile, x, y, s, film_->sample_position_unchecked(x, y, s), nullptr,
                                 nullptr,
                                 writes_samples_ ? &band.samples[size_t(x - x0) * sample_size] : nullptr);
            if (writes_samples_) film_->write_samples(x0, x1, y, band.samples.data());
        }
        return;
    }
    // Eye rays are traced a packet at a time over blocks of a few rows, whose rays stay closer
    // together than along one row; the samples of those rows are then shaded one by one in the
    // same order as without packets.
    constexpr int K = GeometryScene::kPacket, kRows = kBandRows;
    const size_t band_size = size_t(kRows) * width * size_t(spp);
    const size_t most_packets = (band_size + K - 1) / K; // a packet may span blocks
    if (band.slots.size() < band_size) {
        band.slots.resize(band_size);
        band.lane.resize(band_size);
    }
    if (band.packets.size() < most_packets) {
        band.packets.resize(most_packets);
        band.camera_dir.resize(most_packets * K);
        band.hits.resize(most_packets * K);
        band.found.resize(most_packets * K);
    }
    float rx[K], ry[K];
    bool found[K];
    size_t index[K];
    int n = 0;
    size_t packets = 0;
    auto flush = [&] {
        for (int k = 0; k < n; ++k) {
            const film::SamplePosition& pos = band.slots[index[k]].pos;
            rx[k] = pos.x, ry[k] = pos.y;
            band.lane[index[k]] = unsigned(packets * K + size_t(k));
        }
        for (int k = n; k < K; ++k)
            rx[k] = rx[0], ry[k] = ry[0];
        GeometryScene::Packet& packet = band.packets[packets];
        eye_packet(rx, ry, packet, &band.camera_dir[packets * K]);
        world_.geometry().intersect_packet(n, packet, kMaskEye, &band.hits[packets * K], found);
        for (int k = 0; k < n; ++k)
            band.found[packets * K + size_t(k)] = found[k];
        ++packets;
        n = 0;
    };
    for (int yb = y0; yb < y1; yb += kRows) {
        const int ye = std::min(y1, yb + kRows);
        size_t count = 0;
        for (int y = yb; y < ye; ++y)
            for (int x = x0; x < x1; ++x)
                for (int s = 0; s < spp; ++s)
                    band.slots[count++] = {x, y, s, film_->sample_position_unchecked(x, y, s)};
        packets = 0;
        for (int bx = x0; bx < x1; bx += kBlockWidth) {
            const int be = std::min(x1, bx + kBlockWidth);
            for (int y = yb; y < ye; ++y)
                for (int x = bx; x < be; ++x)
                    for (int s = 0; s < spp; ++s) {
                        index[n] = (size_t(y - yb) * width + size_t(x - x0)) * size_t(spp) + size_t(s);
                        if (++n == K) flush();
                    }
        }
        if (n) flush();
        for (size_t i = 0; i < count; ++i) {
            const EyeBand::Slot& slot = band.slots[i];
            const unsigned l = band.lane[i];
            const GeometryScene::Packet& p = band.packets[l / K];
            const unsigned k = l % K;
            EyeRay ray;
            ray.org = {p.org_x[k], p.org_y[k], p.org_z[k]};
            ray.camera_dir = band.camera_dir[l];
            ray.dir = {p.dir_x[k], p.dir_y[k], p.dir_z[k]};
            shade_sample(tc, tile, slot.x, slot.y, slot.s, slot.pos, &ray,
                         band.found[l] ? &band.hits[l] : nullptr,
                         writes_samples_ ? &band.samples[i * sample_size] : nullptr);
        }
        if (writes_samples_)
            for (int y = yb; y < ye; ++y)
                film_->write_samples(x0, x1, y, &band.samples[size_t(y - yb) * width * sample_size]);
    }
}

void Frame::eye_packet(const float* rx, const float* ry, GeometryScene::Packet& p,
                       miVector* camera_dir) const {
    constexpr int K = GeometryScene::kPacket;
    const miCamera* c = camera_;
    if (c->orthographic) {
        for (int k = 0; k < K; ++k) {
            const EyeRay r = eye_ray(rx[k], ry[k]);
            p.org_x[k] = r.org.x, p.org_y[k] = r.org.y, p.org_z[k] = r.org.z;
            p.dir_x[k] = r.dir.x, p.dir_y[k] = r.dir.y, p.dir_z[k] = r.dir.z;
            p.tnear[k] = r.tnear, p.tfar[k] = r.tfar;
            camera_dir[k] = r.camera_dir;
        }
        return;
    }
    // eye_ray()'s arithmetic four lanes at a time: the same operations in the same order, each
    // correctly rounded, give the same bits.
    static_assert(K % 4 == 0, "packets of whole SSE vectors");
    const __m128 xoff = _mm_set1_ps(c->x_offset), yoff = _mm_set1_ps(c->y_offset);
    const __m128 xres = _mm_set1_ps(float(c->x_resolution)), yres = _mm_set1_ps(float(c->y_resolution));
    const __m128 half = _mm_set1_ps(0.5f), aperture = _mm_set1_ps(c->aperture),
                 aspect = _mm_set1_ps(c->aspect);
    const __m128 ax = _mm_set1_ps(cam_x_.x), ay = _mm_set1_ps(cam_x_.y), az = _mm_set1_ps(cam_x_.z);
    const __m128 bx = _mm_set1_ps(cam_y_.x), by = _mm_set1_ps(cam_y_.y), bz = _mm_set1_ps(cam_y_.z);
    const __m128 fx = _mm_set1_ps(cam_z_.x * c->focal), fy = _mm_set1_ps(cam_z_.y * c->focal),
                 fz = _mm_set1_ps(cam_z_.z * c->focal);
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.f), sign = _mm_set1_ps(-0.f);
    const __m128 vzx = _mm_set1_ps(view_z_.x), vzy = _mm_set1_ps(view_z_.y), vzz = _mm_set1_ps(view_z_.z);
    const __m128 least = _mm_set1_ps(1e-8f), near = _mm_set1_ps(c->clip.min), far = _mm_set1_ps(c->clip.max);
    const __m128 inf = _mm_set1_ps(INFINITY);
    // m ? a : b
    auto pick = [](__m128 m, __m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(m, a), _mm_andnot_ps(m, b)); };
    float cx[K], cy[K], cz[K];
    for (int k = 0; k < K; k += 4) {
        const __m128 x = _mm_sub_ps(_mm_div_ps(_mm_sub_ps(_mm_loadu_ps(rx + k), xoff), xres), half);
        const __m128 y = _mm_sub_ps(_mm_div_ps(_mm_sub_ps(_mm_loadu_ps(ry + k), yoff), yres), half);
        const __m128 px = _mm_mul_ps(x, aperture);
        const __m128 py = _mm_div_ps(_mm_mul_ps(y, aperture), aspect);
        const __m128 vx = _mm_sub_ps(_mm_add_ps(_mm_mul_ps(ax, px), _mm_mul_ps(bx, py)), fx);
        const __m128 vy = _mm_sub_ps(_mm_add_ps(_mm_mul_ps(ay, px), _mm_mul_ps(by, py)), fy);
        const __m128 vz = _mm_sub_ps(_mm_add_ps(_mm_mul_ps(az, px), _mm_mul_ps(bz, py)), fz);
        const __m128 l =
            _mm_sqrt_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(vx, vx), _mm_mul_ps(vy, vy)), _mm_mul_ps(vz, vz)));
        const __m128 inv = _mm_div_ps(one, l), lm = _mm_cmpgt_ps(l, zero);
        const __m128 ux = pick(lm, _mm_mul_ps(vx, inv), vx), uy = pick(lm, _mm_mul_ps(vy, inv), vy),
                     uz = pick(lm, _mm_mul_ps(vz, inv), vz);
        const __m128 l2 =
            _mm_sqrt_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(ux, ux), _mm_mul_ps(uy, uy)), _mm_mul_ps(uz, uz)));
        const __m128 inv2 = _mm_div_ps(one, l2), lm2 = _mm_cmpgt_ps(l2, zero);
        const __m128 dx = pick(lm2, _mm_mul_ps(ux, inv2), ux), dy = pick(lm2, _mm_mul_ps(uy, inv2), uy),
                     dz = pick(lm2, _mm_mul_ps(uz, inv2), uz);
        const __m128 depth = _mm_andnot_ps(
            sign, _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, vzx), _mm_mul_ps(dy, vzy)), _mm_mul_ps(dz, vzz)));
        const __m128 clipped = _mm_cmpgt_ps(depth, least);
        _mm_storeu_ps(cx + k, ux);
        _mm_storeu_ps(cy + k, uy);
        _mm_storeu_ps(cz + k, uz);
        _mm_storeu_ps(p.dir_x + k, dx);
        _mm_storeu_ps(p.dir_y + k, dy);
        _mm_storeu_ps(p.dir_z + k, dz);
        _mm_storeu_ps(p.tnear + k, pick(clipped, _mm_div_ps(near, depth), zero));
        _mm_storeu_ps(p.tfar + k, pick(clipped, _mm_div_ps(far, depth), inf));
        _mm_storeu_ps(p.org_x + k, _mm_set1_ps(cam_origin_.x));
        _mm_storeu_ps(p.org_y + k, _mm_set1_ps(cam_origin_.y));
        _mm_storeu_ps(p.org_z + k, _mm_set1_ps(cam_origin_.z));
    }
    for (int k = 0; k < K; ++k)
        camera_dir[k] = {cx[k], cy[k], cz[k]};
}

} // namespace orn
