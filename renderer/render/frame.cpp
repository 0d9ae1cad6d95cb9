// The frame's order of events: the shaders' set-up, the eye samples over the buckets, the
// outputs and the shaders' exit. Each job has a file of its own beside this one (frame_*.cpp).
#include "render/frame.h"

#include "render/region_files.h"

#include "core/messages.h"
#include "photon/photon_map.h"
#include "render/category_check.h"
#include "texture/texture_store.h"

#include <algorithm>
#include <cmath>
#include <thread>
#include <tuple>
#include <unordered_set>

namespace orn {

namespace {

film::FilterSpec filter_spec(const OptionsElement* o) {
    film::FilterSpec f;
    if (!o) return f;
    if (auto t = film::parse_filter_type(o->filter)) f.type = *t;
    // A wider filter costs every sample that many more pixels; neither limit is silent.
    auto bounded = [](float v, const char* what) {
        const float b = std::isnan(v) ? 1.f : std::clamp(v, 0.01f, film::max_filter_width);
        if (b != v)
            Messages::emitf(Severity::Warning, "filter %s %g is outside 0.01 to %g pixels; using %g", what,
                            double(v), double(film::max_filter_width), double(b));
        return b;
    };
    f.width = bounded(o->record.filter_size_x, "width");
    f.height = bounded(o->record.filter_size_y, "height");
    return f;
}

// Sampling levels of the options: a pixel takes 4^min to 4^max samples (the scene reader has
// said what it corrected; a record made otherwise is held to the same range).
std::pair<int, int> sampling_levels(const miOptions* o) {
    const int hi = o ? std::clamp(o->max_samples, 0, 4) : 0;
    const int lo = o ? std::clamp(o->min_samples, 0, hi) : 0;
    return {lo, hi};
}

} // namespace

std::atomic<bool>& Frame::aborted() {
    static std::atomic<bool> flag{false};
    return flag;
}

Frame::Frame(Database& db, World& world, RenderSettings settings)
    : db_(db), world_(world), camera_(camera_record()), settings_(std::move(settings)) {
    forget_files_written(); // what a stop reports is this frame's
    const miCamera* c = camera_;
    std::tie(min_level_, max_level_) = sampling_levels(options_record());
    film_ = std::make_unique<film::Film>(c->x_resolution, c->y_resolution, 1 << (2 * max_level_),
                                         filter_spec(world_.options()), &aborted(), 1 << (2 * min_level_));
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
    // Every step of the set-up looks for a stop first: a stopped frame ends within moments,
    // however large it is.
    if (stopping() || !run_calls()) return false;
    if (mode_ != Mode::Merge) warn_category_mismatches(db_, world_);
    setup_buffers();
    setup_sample_counts();
    setup_light_group_buffers();
    main_context_->set_light_groups(tracked_groups_);
    if (stopping()) return false;
    mattes_.setup(db_, world_, world_.options(), *film_);
    main_context_->mattes.enable(mattes_.on());
    refresh_buffer_offsets();
    setup_sampling();
    // A part writes no output; the merge checks them where it writes them.
    if (stopping() || (mode_ != Mode::Part && !check_outputs())) return false;
    if (!db_.all(miSCENE_IMAGE).empty()) {
        textures_ = std::make_unique<TextureStore>(db_, threads_);
        if (!textures_->open()) return false;
    }
    if (stopping()) return false;
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

void Frame::finish() {
    complete_ = true;
    // A region render keeps the earlier frames at its outputs' paths and puts the region into them.
    std::optional<RegionFiles> region;
    if (settings_.region && mode_ == Mode::Whole) {
        region.emplace(std::array<int, 4>{window_[0], window_[1], window_[2], window_[3]}, film_->width(),
                       film_->height());
        for (const std::string& path : output_files())
            region->before(path);
    }
    run_outputs();
    write_buffer_files();
    write_sample_counts();
    if (region) region->after();
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
    return outputs_ok_ && complete_;
}

} // namespace orn
