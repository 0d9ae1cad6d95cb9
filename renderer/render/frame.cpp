#include "render/frame.h"

#include "core/messages.h"
#include "film/image_output.h"
#include "photon/photon_map.h"
#include "render/category_check.h"
#include "render/output_shader_file.h"
#include "texture/texture_store.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <immintrin.h>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace fs = std::filesystem;

namespace orn {

namespace {

film::FilterSpec filter_spec(const OptionsElement* o) {
    film::FilterSpec f;
    if (!o) return f;
    if (auto t = film::parse_filter_type(o->filter)) f.type = *t;
    f.width = std::clamp(o->record.filter_size_x, 0.01f, film::max_filter_width);
    f.height = std::clamp(o->record.filter_size_y, 0.01f, film::max_filter_width);
    return f;
}

// Samples per pixel from the options' maximum sampling level: 4^level, at least 1.
int samples_per_pixel(const miOptions* o) {
    const int level = o ? std::clamp(o->max_samples, 0, 4) : 0;
    return 1 << (2 * level);
}

// Progress on standard error: a bar redrawn in place on a terminal, otherwise a plain line
// at every tenth of the frame or every 10 s, so that logs collected from a file show it.
class ProgressBar {
  public:
    ProgressBar(bool on, bool lines, int total)
        : on_(on), lines_(lines), total_(total), start_(std::chrono::steady_clock::now()),
          last_line_(start_) {}
    void update(int done) {
        if (!on_ || total_ <= 0) return;
        const int pct = done * 100 / total_;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double left = done > 0 ? elapsed * (total_ - done) / done : 0.0;
        if (lines_) {
            const bool step = pct / 10 > last_ / 10 || (pct == 100 && last_ < 100);
            if (!step && (pct == last_ || now - last_line_ < std::chrono::seconds(10))) return;
            last_ = pct;
            last_line_ = now;
            if (done > 0 && pct < 100)
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
        if (pct < 100 && done > 0)
            std::fprintf(stderr, ", about %.0f s left   ", left + 0.5);
        else
            std::fputs("                    ", stderr);
        if (pct == 100) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

  private:
    bool on_, lines_;
    int total_;
    int last_ = -1;
    std::chrono::steady_clock::time_point start_, last_line_;
    std::mutex mutex_;
};

} // namespace

std::atomic<bool>& Frame::aborted() {
    static std::atomic<bool> flag{false};
    return flag;
}

Frame::Frame(Database& db, World& world, RenderSettings settings)
    : db_(db), world_(world), camera_(camera_record()), settings_(std::move(settings)) {
    const miCamera* c = camera_;
    film_ = std::make_unique<film::Film>(c->x_resolution, c->y_resolution,
                                         samples_per_pixel(options_record()), filter_spec(world_.options()));
    threads_ =
        settings_.threads > 0 ? settings_.threads : int(std::max(1u, std::thread::hardware_concurrency()));
    main_context_ = std::make_unique<ThreadContext>(*this, 0);
    const Matrix& c2w = world_.camera_to_world();
    const Matrix& w2c = world_.world_to_camera();
    cam_origin_ = c2w.point({0, 0, 0});
    cam_x_ = c2w.vector({1, 0, 0});
    cam_y_ = c2w.vector({0, 1, 0});
    cam_z_ = c2w.vector({0, 0, 1});
    view_z_ = {float(w2c.m[2]), float(w2c.m[6]), float(w2c.m[10])};
}

Frame::~Frame() {
    if (prepared_) exit_shaders();
}

miTag Frame::camera_instance_tag() const {
    return world_.camera_instance() ? world_.camera_instance()->tag : 0;
}
miCamera* Frame::camera_record() const {
    return world_.camera() ? &world_.camera()->record : nullptr;
}
miOptions* Frame::options_record() const {
    return world_.options() ? &world_.options()->record : nullptr;
}

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

void Frame::init_shaders() {
    // Shader-level init once per declaration in use, then per instance when asked for.
    miState* st = main_context_->begin_sample(0, 0, 0);
    st->type = miRAY_NONE;
    std::unordered_set<ShaderCode*> seen;
    for (Element* e : db_.all(miSCENE_FUNCTION)) {
        miFunction& f = static_cast<FunctionElement*>(e)->function;
        ShaderCode* code = f.decl && f.decl->code ? f.decl->code.get() : nullptr;
        if (!code || !code->init) continue;
        if (seen.insert(code).second) {
            miBoolean want = miFALSE;
            st->shader = &f;
            code->init(st, nullptr, &want);
            code->wants_instance_init = want != miFALSE;
            initialised_.push_back(code);
        }
        if (code->wants_instance_init && !f.instance_initialised) {
            miBoolean dummy = miFALSE;
            st->shader = &f;
            code->init(st, f.block(), &dummy);
            f.instance_initialised = true;
            instance_initialised_.push_back(&f);
        }
    }
    st->shader = nullptr;
}

void Frame::exit_shaders() {
    miState* st = main_context_->begin_sample(0, 0, 0);
    st->type = miRAY_NONE;
    for (miFunction* f : instance_initialised_) {
        if (f->decl->code->exit) {
            st->shader = f;
            f->decl->code->exit(st, f->block());
        }
        f->instance_initialised = false;
    }
    for (ShaderCode* code : initialised_)
        if (code->exit) {
            st->shader = nullptr;
            code->exit(st, nullptr);
        }
    instance_initialised_.clear();
    initialised_.clear();
    prepared_ = false;
}

bool Frame::prepare() {
    // Before the calls: the pass set-up defines a buffer for each group.
    light_groups_ = LightGroups::resolve(db_, world_);
    main_context_->set_light_groups(light_groups_.count());
    if (!run_calls()) return false;
    if (mode_ != Mode::Merge) warn_category_mismatches(db_, world_);
    setup_buffers();
    setup_light_group_buffers();
    main_context_->set_light_groups(tracked_groups_);
    mattes_.setup(db_, world_, world_.options(), *film_);
    main_context_->mattes.enable(mattes_.on());
    refresh_buffer_offsets();
    // A part writes no output; the merge checks them where it writes them.
    if (mode_ != Mode::Part && !check_outputs()) return false;
    if (!db_.all(miSCENE_IMAGE).empty()) {
        textures_ = std::make_unique<TextureStore>(db_, threads_);
        if (!textures_->open()) return false;
    }
    init_shaders();
    shadows_opaque_ = true;
    auto casts_filtered_shadow = [this](miTag material) {
        auto* m = db_.get_as<MaterialElement>(material, miSCENE_MATERIAL);
        return m && m->shadow;
    };
    bool coincident = false;
    for (const WorldInstance& wi : world_.instances()) {
        if (casts_filtered_shadow(wi.default_material)) shadows_opaque_ = false;
        coincident = coincident || needs_coincident(wi.default_material);
        for (miTag m : wi.polygon_materials) {
            if (casts_filtered_shadow(m)) shadows_opaque_ = false;
            coincident = coincident || needs_coincident(m);
        }
    }
    world_.geometry().set_coincident(coincident);
    prepared_ = true;
    const miCamera* cam = camera_record();
    auto* lens = cam ? db_.get_as<FunctionElement>(cam->lens, miSCENE_FUNCTION) : nullptr;
    lens_ = lens ? &lens->function : nullptr;
    read_gi_settings();
    if (mode_ != Mode::Merge)
        emit_photons();
    else
        photon_map_ = std::make_unique<PhotonMap>(); // nothing is rendered
    return true;
}

void Frame::shade_sample(ThreadContext& tc, film::Film::Tile& tile, int x, int y, int s,
                         const film::SamplePosition& pos, const EyeRay* ray, const Hit* hit, float* out) {
    const std::vector<float>& clear = film_->clear_sample();
    float* sample = out ? out : tc.sample_storage.data();
    tc.film_sample = sample;
    if (tc.mattes.on()) tc.mattes.begin_sample();
    // A few floats: 16 bytes at a time rather than a library call.
    size_t i = 0;
    for (; i + 4 <= clear.size(); i += 4)
        _mm_storeu_ps(sample + i, _mm_loadu_ps(clear.data() + i));
    for (; i < clear.size(); ++i)
        sample[i] = clear[i];
    miColor color{0.f, 0.f, 0.f, 0.f};
    miBoolean got;
    miState* root;
    if (lens_) {
        // A lens shader decides which rays leave the camera for this sample.
        root = tc.begin_sample(x, y, s);
        root->raster_x = pos.x;
        root->raster_y = pos.y;
        miVector org, dir;
        camera_ray(pos.x, pos.y, org, dir);
        root->org = org;
        root->dir = dir;
        tc.lens_eye_rays = 0;
        tc.lens_moved_origin = false;
        tc.lens_sample_org = org;
        got = call_shader(lens_, &color, root);
        if (tc.lens_eye_rays > 1 || tc.lens_moved_origin) {
            // The standard images of a sample the lens spread over several rays, or over its
            // aperture, come from the ray through the centre of the lens, the sample's own
            // camera ray: taking the last lens ray would dither every edge out of focus. It is
            // only intersected.
            const EyeRay r = eye_ray(pos.x, pos.y);
            if (miState* st = tc.child_of(root, miRAY_EYE)) {
                st->org = r.org;
                st->dir = r.dir;
                Hit hit;
                if (world_.geometry().intersect(r.org, r.dir, r.tnear, r.tfar, kMaskEye, hit))
                    fill_hit(st, hit);
            }
        }
    } else {
        EyeRay own_ray;
        Hit own_hit;
        if (!ray) {
            own_ray = eye_ray(pos.x, pos.y);
            ray = &own_ray;
            hit = world_.geometry().intersect(ray->org, ray->dir, ray->tnear, ray->tfar, kMaskEye, own_hit)
                      ? &own_hit
                      : nullptr;
        }
        miState* st = tc.begin_eye_sample(x, y, s);
        root = st->parent;
        root->raster_x = st->raster_x = pos.x;
        root->raster_y = st->raster_y = pos.y;
        root->org = st->org = ray->org;
        root->dir = ray->camera_dir;
        st->dir = ray->dir;
        got = shade_eye_hit(&color, root, st, hit);
    }
    const miState* seen = root->child;
    float* c = sample + color_offset_;
    c[0] = color.r;
    c[1] = color.g;
    c[2] = color.b;
    c[3] = color.a;
    if (tracked_groups_) write_light_groups(tc, sample, color);
    if (got && seen && seen->pri) {
        sample[depth_offset_] = -(dot3(seen->point - cam_origin_, view_z_));
        float* n = sample + normal_offset_;
        n[0] = seen->normal.x;
        n[1] = seen->normal.y;
        n[2] = seen->normal.z;
        film::store_label(sample + label_offset_, seen->label);
        if (seen->motion.x != 0.f || seen->motion.y != 0.f || seen->motion.z != 0.f) {
            // The motion image holds where the hit point moves on screen, in pixels, and
            // the change of its camera-space depth.
            const miVector p0 = raster_of(seen->point), p1 = raster_of(seen->point + seen->motion);
            float* m = sample + motion_offset_;
            m[0] = p1.x - p0.x;
            m[1] = p1.y - p0.y;
            m[2] = p1.z - p0.z;
        }
        sample[coverage_offset_] = 1.f;
    }
    const int hits = tc.mattes.on() ? matte_hits(tc, color.a) : 0;
    if (!out)
        film_->add_sample(tile, x, y, pos, sample, tc.matte_hits.data(), hits);
    else if (tc.mattes.on())
        film_->write_sample_mattes(x, y, tc.matte_hits.data(), hits, tc.matte_scratch);
}

int Frame::matte_hits(ThreadContext& tc, float alpha) {
    tc.mattes.coverages(alpha, lens_ ? tc.lens_eye_rays : 1, tc.matte_coverage);
    return mattes_.hits(tc.mattes, tc.matte_coverage, tc.matte_hits);
}

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

void Frame::render_thread(int index, std::atomic<int>& next_bucket, std::atomic<int>& done) {
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
    std::vector<float> watched; // a bucket's pixels for the watch
    for (;;) {
        if (aborted().load(std::memory_order_relaxed)) break;
        const int b = next_bucket.fetch_add(1);
        if (b >= total) break;
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
            if (xa < xb && ya < yb) shade_bucket(own, tile, band, xa, xb, ya, yb);
            if (settings_.watch) watch_bucket(&tile, xa, ya, xb, yb, watched);
            film_->merge_tile(tile, b);
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
    if (settings_.watch) watch_started(total);
    ProgressBar bar(settings_.progress, settings_.progress_lines, total);
    std::vector<std::thread> pool;
    for (int i = 1; i < threads_; ++i)
        pool.emplace_back([&, i] { render_thread(i, next, done); });
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
                bar.update(done.load());
                finished_cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return finished; });
            }
        });
    render_thread(0, next, done);
    for (auto& t : pool)
        t.join();
    {
        std::lock_guard<std::mutex> lock(finished_mutex);
        finished = true;
    }
    finished_cv.notify_all();
    if (watcher.joinable()) watcher.join();
    bar.update(done.load());
    film_->resolve();
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

void Frame::run_outputs() {
    const bool interrupted = aborted().load();
    for (const auto& o : *output_entries()) {
        // An unfinished picture must not replace a finished one under the final name, and an
        // output shader would write whatever the film holds (zeros where no bucket finished).
        if (interrupted) {
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
            if (err) {
                Messages::emit(Severity::Error, *err);
                outputs_ok_ = false;
            } else {
                Messages::emitf(Severity::Info, "wrote %s", req.path.c_str());
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
        if (!ok) {
            Messages::emitf(Severity::Error, "output shader \"%s\" failed",
                            fe->function.decl->decl.name.c_str());
            outputs_ok_ = false;
        }
        ThreadContext::set_current(nullptr);
    }
}

void Frame::finish() {
    run_outputs();
    write_buffer_files();
    exit_shaders();
}

bool Frame::check_region() const {
    if (!settings_.region) return true;
    const auto& r = *settings_.region;
    const int w = film_->width(), h = film_->height();
    const std::string text = std::to_string(r[0]) + " " + std::to_string(r[1]) + " " + std::to_string(r[2]) +
                             " " + std::to_string(r[3]);
    if (std::max(0, r[0]) >= std::min(w, r[2]) || std::max(0, r[1]) >= std::min(h, r[3])) {
        Messages::emitf(Severity::Error, "--region %s holds no pixel of the %d x %d image", text.c_str(), w,
                        h);
        return false;
    }
    if (r[0] < 0 || r[1] < 0 || r[2] > w || r[3] > h)
        Messages::emitf(
            Severity::Warning, "--region %s reaches past the %d x %d image; only %d %d %d %d is rendered",
            text.c_str(), w, h, std::max(0, r[0]), std::max(0, r[1]), std::min(w, r[2]), std::min(h, r[3]));
    return true;
}

bool Frame::render() {
    if (!check_region() || !prepare()) return false;
    render_pixels();
    finish();
    if (settings_.watch) watch_finished();
    return outputs_ok_;
}

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
        Messages::emit(Severity::Error, *err);
        exit_shaders();
        return false;
    }
    if (!write) {
        exit_shaders();
        return true;
    }
    finish();
    return outputs_ok_;
}

} // namespace orn
