// One frame: renders a World into a Film with a pool of threads, runs the shader
// lifecycle around it and writes the camera's outputs.
#pragma once

#include "core/math.h"
#include "db/database.h"
#include "film/film.h"
#include "film/image_output.h"
#include "light/light_list.h"
#include "light/light_sampling.h"
#include "render/frame_watch.h"
#include "render/id_mattes.h"
#include "render/light_groups.h"
#include "render/progress_estimate.h"
#include "render/world.h"
#include "trace/geometry_scene.h"
#include "trace/thread_context.h"

#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

// An output image: a view of one resolved film plane, refreshed at every open.
struct miImg_image {
    orn::film::Film* film;
    int plane;
    bool label;
    float* data; // width * height * components floats, row 0 at the bottom
    int components;
    int width, height;
};

namespace orn {

class TextureStore;

struct RenderSettings {
    int threads = 0;             // 0: one per core
    bool progress = true;        // progress bar on standard error
    bool progress_lines = false; // progress as occasional plain lines instead of a bar
    std::string output_dir;      // relative output paths are taken from here ("" = current directory)
    int bucket_size = 32;
    // Eye rays in packets where the scene gives them the same hits as one by one (off: tests
    // that compare the two).
    bool eye_packets = true;
    // Pixels to render instead of the camera's window: x in [0], [2]), y in [1], [3]).
    std::optional<std::array<int, 4>> region;
    FrameWatch* watch = nullptr; // told of every bucket as it finishes
};

class Frame final : public LightSource, public TraceHost {
  public:
    Frame(Database& db, World& world, RenderSettings settings);
    ~Frame();
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // Renders and writes the outputs; false (with messages) when the frame failed.
    bool render();
    // Part `index` of `count` of a split frame, as strips of whole bucket rows with part 0 at the
    // top. Renders the strip's buckets and the neighbours whose filter reaches into it, merged in
    // the whole frame's bucket order, so the strip's pixels get the same bits as in one piece.
    // Runs no output: film rows [row0, row1) are the strip's raw frame buffers. False when the
    // frame failed, was interrupted or has fewer bucket rows than parts.
    bool render_part(int index, int count, int& row0, int& row1);
    // The whole frame's outputs (output list and buffer files, as render() writes them) from
    // pixels that `load` puts into the film instead of rendering; `load` returns an error or
    // nullopt. With `write` off the outputs are checked and not run.
    bool render_from(const std::function<std::optional<std::string>(film::Film&)>& load, bool write = true);
    // Shader lifecycle and eye samples without the file outputs, for tests and benchmarks.
    bool prepare();
    void render_pixels();
    void finish();

    // Where a relative output file name of the scene ends up.
    std::string output_path(const std::string& filename) const;

    film::Film& film() { return *film_; }
    World& world() { return world_; }
    Database& db() { return db_; }
    miTag camera_instance_tag() const override;
    miCamera* camera_record() const override;
    miOptions* options_record() const override;
    int thread_count() const { return threads_; }
    // Rays traced and eye samples taken by the last render_pixels().
    uint64_t rays_traced() const { return rays_traced_; }
    uint64_t eye_samples() const { return eye_samples_; }
    uint64_t shadow_rays() const { return shadow_rays_; }
    // Rays of one type (miRAY_*): the states made for them, so occluders a shadow ray met
    // count as shadow rays here, and environment lookups as rays.
    uint64_t rays_of_type(int type) const { return rays_of_type_[unsigned(type) & 31]; }
    // Benchmarks: the next render_pixels() records each thread's shadow rays in logs[thread].
    void log_shadow_rays(std::vector<std::vector<float>>* logs) { shadow_logs_ = logs; }

    // ---- tracing, for the renderer functions
    miBoolean trace_eye(miColor* result, miState* state, const miVector& org, const miVector& dir);
    miBoolean trace_secondary(miColor* result, miState* state, int type, const miVector& dir);
    miBoolean trace_probe(miState* state, const miVector& dir, const miVector& org);
    // Probes from one point (mi_trace_probes): dist[i] the nearest hit's distance, 0 for a miss;
    // the number of hits. With `distance_only` no state is made for them, but the ray tree moves
    // on as if each had had its own, so what is traced afterwards samples the same.
    int trace_probes(miState* state, const miVector& org, const miVector* dirs, int count, bool distance_only,
                     double* dist);
    miBoolean trace_continue(miColor* result, miState* state);
    miBoolean trace_environment(miColor* result, miState* state, const miVector& dir);
    miBoolean call_material(miColor* result, miState* state);
    // ---- image textures (frame_textures.cpp)
    // Filtered lookup of texture `tag` at (coord.x, coord.y) over the footprint of one pixel
    // on the state's surface; false when `tag` is no texture of the scene.
    miBoolean lookup_texture(miColor* result, miState* state, miTag tag, const miVector& coord);
    // The frame's textures; null before prepare().
    const TextureStore* textures() const { return textures_.get(); }
    // Calls a light's shader for one light sample seen from `state`; the light state becomes
    // state->child.
    miBoolean call_light(miColor* result, miState* state, const WorldLight& light,
                         const LightSample& sample) override;
    const std::vector<WorldLight>& lights() const override { return world_.lights(); }
    // Filters `result` through the occluders between state->point and the light sample;
    // false when the light is blocked.
    miBoolean trace_shadow(miColor* result, miState* state);
    // Segment shadows: the shadow ray from a shadow state's hit on towards the shaded point.
    miBoolean trace_shadow_segment(miColor* result, miState* state);
    // Segment shadows: from a shadow state's occluder on to the next one.
    miBoolean continue_shadow_segment(miColor* result, miState* state);
    miBoolean call_shadow_material(miColor* result, miState* state);
    // Calls `f` with `result` (`capacity` bytes). A shader whose declared result is larger (a
    // record where the caller keeps a colour) writes into scratch memory of its own size, and
    // the caller gets the leading `capacity` bytes.
    miBoolean call_shader(miFunction* f, void* result, size_t capacity, miState* state);
    template <class T> miBoolean call_shader(miFunction* f, T* result, miState* state) {
        static_assert(!std::is_void_v<T>, "a result of unknown size needs its capacity");
        return call_shader(f, result, sizeof(T), state);
    }
    void* eval(miState* state, void* param);
    bool sample(double* out, int* instance, miState* state, int dim, miUint* n);

    // Transforms of the state's own instance (identity when the state hit nothing).
    const Matrix& world_to_object(miState* state) const;
    const Matrix& object_to_world(miState* state) const;

    // Eye ray through raster position (rx, ry), world space.
    void camera_ray(float rx, float ry, miVector& org, miVector& dir) const {
        const miCamera* c = camera_;
        const float x = (rx - c->x_offset) / float(c->x_resolution) - 0.5f;
        const float y = (ry - c->y_offset) / float(c->y_resolution) - 0.5f;
        const float px = x * c->aperture;
        const float py = y * c->aperture / c->aspect;
        // The camera's axes in world space, taken from its transform once per frame.
        if (c->orthographic) {
            org = cam_origin_ + cam_x_ * px + cam_y_ * py;
            dir = normalized(-cam_z_);
        } else {
            org = cam_origin_;
            dir = normalized(cam_x_ * px + cam_y_ * py - cam_z_ * c->focal);
        }
    }
    // Raster position of a world-space point: pixels from the bottom-left corner, z the
    // camera-space depth.
    miVector raster_of(const miVector& p) const;

    // ---- global illumination
    // Indirect light at the state's point: the photon map's estimate and, with final
    // gathering, the average of final-gather rays; radiance-like (irradiance / pi).
    miBoolean compute_irradiance(miColor* result, miState* state);
    // Continues a photon from the state's point; false when it goes nowhere.
    miBoolean trace_photon(miColor* energy, miState* state, int type, const miVector& dir);
    void store_photon(const miColor& energy, miState* state);
    size_t photon_count() const;

    // ---- frame buffers and output images
    // Writes or reads the current eye sample's value of a named buffer (by index).
    miBoolean fb_put(miState* state, int buffer, const void* data);
    miBoolean fb_get(miState* state, int buffer, void* data);
    // Image n: 0 to 5 the standard images, buffer index + 12 a named buffer; null if none.
    miImg_image* open_image(miUint n);
    FramebufferElement* framebuffers() const;

    // Set by an interrupt; the frame stops taking new buckets, and in the buckets under way
    // traces and sample loops end at once, so even an expensive bucket stops within moments.
    static std::atomic<bool>& aborted();
    static bool stopping() { return aborted().load(std::memory_order_relaxed); }
    // The files the frames' outputs wrote (renderer's files, output shaders' files, buffer files)
    // since forget_files_written(), for a run to tell what a stop left behind.
    static std::vector<std::string> files_written();
    static void forget_files_written();
    // Whether the last finish() ran every output (none left out by a stop).
    bool complete() const { return complete_; }

    // Scratch state for calling one shader outside a render (tests, init and exit).
    ThreadContext& main_context() { return *main_context_; }

    // The frame's light groups (from prepare() on), and how many of them shaders track while
    // rendering: all of them when the frame has a buffer for one, else none.
    const LightGroups& light_groups() const { return light_groups_; }
    int tracked_light_groups() const { return tracked_groups_; }
    // The ID mattes the frame writes; image number of one of their layers for the output
    // shaders (see open_image()).
    const IdMattes& id_mattes() const { return mattes_; }
    static constexpr miUint kMatteImageBase = 0x10000;
    // The frame buffer that, when the camera has one, gets each pixel's number of eye samples.
    static constexpr const char* kSamplesBuffer = "Samples";
    // The named option that asks for that buffer without the camera's: on, or a file to write.
    static constexpr const char* kSampleCountsOption = "sample counts";

  private:
    struct BufferPlane {
        int plane = -1;     // film plane
        int offset = 0;     // of the plane in a sample (see refresh_buffer_offsets())
        int components = 0; // what mi_fb_put copies
        bool label = false;
        bool useopacity = false;
    };
    // Each buffer's sample offset, for mi_fb_get and mi_fb_put, once the film's planes are set.
    void refresh_buffer_offsets();
    bool rasterise_behind(miColor* result, miState* hit);
    // The first shadow occluder from `from` along `dir` between t0 and end: false when none;
    // `occluder` is its shadow state, null when the ray tree is too deep for one.
    // `through`: the ray leaves the surface of `from` (see intersect_through).
    bool find_occluder(miState* from, const miVector& start, const miVector& dir, float t0, float end,
                       miState*& occluder, float& t, bool through = false);
    // The shadow state of an occluder `from`'s shadow ray met; null when the ray tree is too deep.
    miState* occluder_state(miState* from, const miVector& start, const miVector& dir, const Hit& hit);
    // Segment shadows: the first segment from the light towards the shaded point, and one
    // segment from `start` along `dir` up to the distance left to the shaded point.
    miBoolean trace_first_segment(miColor* result, miState* state, const miVector& to_light, float to_point);
    miBoolean shadow_segment(miColor* result, miState* from, const miVector& start, const miVector& dir,
                             float skipped, bool through);
    // Filters `result` through the occluder's shadow shader; no shadow shader blocks.
    miBoolean shade_occluder(miColor* result, miState* occluder);
    // Runs the scene's `call` statements; false when one of them failed.
    bool run_calls();
    void read_gi_settings();
    void emit_photons();
    void setup_buffers();
    // The light groups' buffers: each group's share of the sample's colour, and the rest.
    void setup_light_group_buffers();
    void write_light_groups(ThreadContext& tc, float* sample, const miColor& color) const;
    std::vector<OutputEntry>* output_entries() const;
    // The file request of a camera output; user buffers ("fb0" to "fb7") become their planes.
    std::optional<std::string> output_request(const OutputEntry& o, film::OutputRequest& req) const;
    // Every file the outputs, the output shaders and the frame buffers may write.
    std::vector<std::string> output_files();
    void write_buffer_files();
    bool check_outputs();
    void init_shaders();
    void exit_shaders();
    // Renders buckets order[next_bucket++] (indices into the frame's bucket list) until none is
    // left, telling `progress` what each cost.
    void render_thread(int index, std::atomic<int>& next_bucket, std::atomic<int>& done,
                       const std::vector<int>& order, ProgressEstimate& progress);
    // --region: false (with a message) when it holds no pixel of the image.
    bool check_region() const;
    // The watch's side of a frame (frame_watch.cpp).
    void watch_started(int buckets);
    void watch_bucket(const film::Film::Tile* tile, int x0, int y0, int x1, int y1,
                      std::vector<float>& pixels);
    void watch_finished();
    // The eye ray through raster position (rx, ry) as trace_eye() traces it: the camera's
    // direction (the root state's), the unit direction traced and the camera's clip range.
    struct EyeRay {
        miVector org, camera_dir, dir;
        float tnear = 0.f, tfar = INFINITY;
    };
    EyeRay eye_ray(float rx, float ry) const {
        EyeRay r;
        camera_ray(rx, ry, r.org, r.camera_dir);
        r.dir = normalized(r.camera_dir);
        eye_clip(r.dir, r.tnear, r.tfar);
        return r;
    }
    void eye_clip(const miVector& dir, float& tnear, float& tfar) const {
        tnear = 0.f;
        tfar = INFINITY;
        const float cz = std::fabs(dot3(dir, view_z_));
        if (cz > 1e-8f) {
            tnear = camera_->clip.min / cz;
            tfar = camera_->clip.max / cz;
        }
    }
    // The eye rays of a packet's raster positions, and the camera directions of their root
    // states, exactly as eye_ray() gives them one by one.
    void eye_packet(const float* rx, const float* ry, GeometryScene::Packet& packet,
                    miVector* camera_dir) const;
    // Eye rays go to Embree in packets over blocks of kBlockWidth x kBandRows pixels.
    static constexpr int kBlockWidth = 4, kBandRows = GeometryScene::kPacket / kBlockWidth;
    static_assert(GeometryScene::kPacket % kBlockWidth == 0, "packets of whole block rows");
    // A render thread's eye samples of a few rows of a bucket, in shading order, with their
    // traced rays: kept from bucket to bucket so that no sample allocates.
    struct EyeBand {
        struct Slot {
            int x, y, s;
            film::SamplePosition pos;
        };
        std::vector<Slot> slots;    // in shading order
        std::vector<unsigned> lane; // per slot: packet * kPacket + its lane
        std::vector<GeometryScene::Packet> packets;
        std::vector<miVector> camera_dir; // per packet lane
        std::vector<Hit> hits;            // per packet lane
        std::vector<unsigned char> found; // per packet lane
        std::vector<float> samples;       // the band's samples, when the film takes them as they are
    };
    // Pixels [x0, x1) x [y0, y1) of a bucket, sample after sample in row order.
    void shade_bucket(ThreadContext& tc, film::Film::Tile& tile, EyeBand& band, int x0, int x1, int y0,
                      int y1);
    // One eye sample. Without a lens shader the caller may have traced its ray already: `ray`
    // and `hit` (null for a miss) are then taken instead of tracing it here.
    // The sample goes into the tile, or, given `out`, is left there for the film to take (with
    // adaptive sampling, its ID-matte hits too, in tc.matte_hits: their count is returned).
    int shade_sample(ThreadContext& tc, film::Film::Tile& tile, int x, int y, int s,
                     const film::SamplePosition& pos, const EyeRay* ray, const Hit* hit, float* out);
    // ---- adaptive sampling (frame_adaptive.cpp)
    // A render thread's memory for a bucket's adaptive pixels, kept from bucket to bucket.
    struct AdaptiveScratch {
        std::vector<float> base;          // base samples of the bucket and the pixels around it
        std::vector<float> range;         // per pixel of those: lowest and highest value per channel
        std::vector<film::MatteHit> hits; // ID-matte hits of the base samples, in order
        std::vector<uint32_t> hit_end;    // per base sample: end of its hits
        std::vector<float> extra;         // the samples a pixel takes past its base ones
        std::vector<film::MatteHit> extra_hits;
        std::vector<uint32_t> extra_hit_end;
        std::vector<float> own; // the pixel's own range while it refines
    };
    // Which sample components the contrast test compares, and the frame's sampling levels.
    void setup_sampling();
    // The "Samples" plane that the "sample counts" option asks for, and its file after the frame.
    void setup_sample_counts();
    void write_sample_counts();
    bool adaptive() const { return min_level_ < max_level_; }
    // Pixels [x0, x1) x [y0, y1) of a bucket with adaptive sampling: each pixel's base samples,
    // then, while their contrast (with the neighbours' base samples at first, its own after)
    // exceeds the thresholds, 3 times as many again, up to the most; then its samples go into
    // the tile in order. A pixel's decision depends only on its own and its neighbours' samples,
    // which are the same whichever bucket or part shades them.
    void shade_adaptive(ThreadContext& tc, film::Film::Tile& tile, AdaptiveScratch& a, int x0, int x1, int y0,
                        int y1);
    // Shades the eye state `st`, a child of `state`, whose ray met `hit`, or the environment
    // when it met nothing (null).
    miBoolean shade_eye_hit(miColor* result, miState* state, miState* st, const Hit* hit);
    void fill_hit(miState* child, const Hit& hit) const;
    void fill_hair_hit(miState* child, const Hit& hit, const WorldInstance& wi) const;
    void run_outputs();
    static void note_written(const std::string& path);
    // One sample's ID-matte hits, from what tc's recorder met, given the sample's alpha.
    int matte_hits(ThreadContext& tc, float alpha);
    // Adds the ID mattes' layers and header attributes to an EXR file holding the colour.
    void add_matte_layers(film::OutputRequest& request) const;
    float secondary_tnear(const miVector& p) const;
    // Width of one pixel's footprint at `distance` along an eye ray, world units.
    float pixel_footprint(double distance) const;
    miBoolean environment_texture(miColor* result, miState* state, miTag texture, const miVector& dir);
    // A ray from `from`'s hit that carries on through its surface. In coincident mode it meets
    // a coinciding surface of another object at once, never the surfaces it starts on.
    bool intersect_through(const miState* from, const miVector& dir, float tfar, unsigned mask,
                           Hit& hit) const;
    // Whether a material's shaders rely on rays meeting coincident surfaces.
    bool needs_coincident(miTag material) const;

    Database& db_;
    World& world_;
    miCamera* camera_; // the frame's camera record; a frame always has one
    RenderSettings settings_;
    std::unique_ptr<film::Film> film_;
    std::unique_ptr<ThreadContext> main_context_;
    int threads_ = 1;
    int buckets_x_ = 0, buckets_y_ = 0;
    int window_[4] = {0, 0, 0, 0}; // pixels rendered: x in [0], [2]), y in [1], [3]), clipped to the image
    bool prepared_ = false;
    enum class Mode { Whole, Part, Merge } mode_ = Mode::Whole;
    std::vector<int> bucket_list_;     // the buckets render_pixels() renders, in order; empty: all
    int shade_rows_[2] = {0, 1 << 30}; // pixel rows render_pixels() shades: [0], [1])
    std::atomic<uint64_t> rays_traced_{0}, eye_samples_{0}, shadow_rays_{0};
    std::atomic<uint64_t> rays_of_type_[32] = {};
    std::vector<std::vector<float>>* shadow_logs_ = nullptr;
    // No material in the scene has a shadow shader: every occluder blocks, and a shadow ray
    // only asks whether anything is in the way.
    bool shadows_opaque_ = false;
    miFunction* lens_ = nullptr;  // the camera's lens shader, called for every eye sample
    bool eye_packets_ = false;    // eye rays are traced a packet at a time
    bool writes_samples_ = false; // one sample per pixel goes straight into the film
    bool outputs_ok_ = true;
    bool complete_ = false; // finish() ran every output
    std::vector<ShaderCode*> initialised_;
    std::vector<miFunction*> instance_initialised_;
    Matrix identity_;
    struct GiSettings {
        bool finalgather = false;
        int finalgather_rays = 64;
        bool globillum = false;
        int photons = 100000;
        int accuracy = 64;  // photons per estimate
        float radius = 0.f; // largest estimate radius; 0: as far as the nearest photons reach
    } gi_;
    std::unique_ptr<class PhotonMap> photon_map_;
    std::unique_ptr<TextureStore> textures_;
    std::vector<BufferPlane> buffers_; // by buffer index
    LightGroups light_groups_;
    IdMattes mattes_;
    int tracked_groups_ = 0;
    std::vector<int> group_offsets_;                   // per group: sample offset of its buffer, -1 for none
    int rest_offset_ = -1;                             // sample offset of the rest's buffer, -1 for none
    std::vector<std::unique_ptr<miImg_image>> images_; // by image number
    // Camera axes and origin in world space, and the world direction whose dot product gives
    // camera-space z.
    miVector cam_origin_{0, 0, 0}, cam_x_{1, 0, 0}, cam_y_{0, 1, 0}, cam_z_{0, 0, 1}, view_z_{0, 0, 1};
    struct ContrastChannel {
        int offset;      // in a sample
        float threshold; // the largest difference that needs no more samples
    };
    std::vector<ContrastChannel> contrast_;
    int min_level_ = 0, max_level_ = 0; // a pixel takes 4^min_level_ to 4^max_level_ samples
    int samples_plane_ = -1;            // film plane of the sample-count buffer, -1 for none
    int samples_offset_ = -1, samples_components_ = 0;
    int color_offset_ = 0, depth_offset_ = 0, normal_offset_ = 0, motion_offset_ = 0, label_offset_ = 0,
        coverage_offset_ = 0;
};

} // namespace orn
