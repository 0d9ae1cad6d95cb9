// Per-thread shading memory: the chain of states of the current ray tree, scratch memory
// for parameter results, and the per-sample shader-state store. Nothing here is shared
// between threads, and nothing is allocated per sample once a thread has warmed up.
#pragma once

#include "film/id_mattes.h"
#include "host/shader.h"
#include "trace/matte_recorder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace orn {

struct WorldInstance;
struct WorldLight;

constexpr int kMaxRayDepth = 64;
constexpr int kMaxTextureSpaces = 8;

// Renderer-private data of one state (state->cache).
struct RayData {
    class ThreadContext* thread = nullptr;
    const WorldInstance* hit = nullptr; // instance hit by this ray, if any
    const WorldLight* light = nullptr;  // light of a light ray
    uint64_t path = 0;                  // position in the ray tree, for sampling
    uint32_t children = 0;              // rays traced from this state so far
    uint32_t sample_calls = 0;          // mi_sample calls made from this state
    int depth = 0;
    double falloff_start = 0.0, falloff_stop = 0.0; // 0,0: no falloff
    double shadow_remaining = 0.0;                  // segment shadows: distance left to the shaded point
    miVector tex[kMaxTextureSpaces];
    miVector bump_x[kMaxTextureSpaces], bump_y[kMaxTextureSpaces];
    miVector derivs[2];
    miVector tri[3]; // the vertex vectors mi_tri_vectors hands out
    int n_tex = 0;
    int n_bump = 0;
    // The eye sample's standard images describe this ray's surface: the eye ray, and the rays
    // that continue it behind surfaces passed over as if they were not there.
    bool shows = false;
    // This ray's surface is on the ID mattes' chain of the eye sample (set when it is shaded).
    bool matte_chain = false;
    // The last mi_sample loop of this state: its counter's address and sequence seed.
    const int* loop_instance = nullptr;
    uint64_t loop_seed = 0;
    // The loop's shifts of dimensions 1 to kLoopShifts, worked out once per loop rather than
    // once per sample; `loop_shifts` of them are known.
    static constexpr int kLoopShifts = 3;
    double loop_shift[kLoopShifts] = {};
    int loop_shifts = 0;

    // A new ray from this state's slot: nothing hit, traced or sampled yet.
    void restart(double start = 0.0, double stop = 0.0) {
        hit = nullptr;
        light = nullptr;
        children = 0;
        sample_calls = 0;
        falloff_start = start;
        falloff_stop = stop;
        n_tex = n_bump = 0;
        shows = matte_chain = false;
        loop_instance = nullptr;
    }
};

// The surface an eye sample shows once a material passed over the one its eye ray met: what
// lay behind it (kept when that surface's shader returned, since the state's slot is reused),
// or nothing.
struct ShownSurface {
    bool passed = false; // a surface on the eye ray was passed over
    bool hit = false;    // and a surface lies behind it
    miVector point{0, 0, 0}, normal{0, 0, 0}, motion{0, 0, 0};
    miUint label = 0;
};

// Bump allocator released in stack order around shader calls.
class Arena {
  public:
    explicit Arena(size_t bytes) : mem_(new unsigned char[bytes]), cap_(bytes) {}
    void* alloc(size_t bytes) {
        const size_t at = (top_ + 15) & ~size_t(15);
        if (at + bytes > cap_) return nullptr;
        top_ = at + bytes;
        return mem_.get() + at;
    }
    size_t mark() const { return top_; }
    void release(size_t mark) { top_ = mark; }

  private:
    std::unique_ptr<unsigned char[]> mem_;
    size_t cap_;
    size_t top_ = 0;
};

// Key-value entries shared by every state of one eye sample's ray tree.
class ShaderStateStore {
  public:
    void clear() {
        if (!dirty_) return; // most samples store nothing
        for (auto& e : entries_)
            e.used = false;
        dirty_ = false;
    }
    bool set(const char* key, const void* value, int size);
    void* get(const char* key, int* size);

  private:
    struct Entry {
        std::string key;
        std::vector<unsigned char> value;
        int size = 0;
        bool used = false;
    };
    // Keys are a few characters, compared on every light sample: one pass, no length first.
    static bool same_key(const Entry& e, const char* key) { return std::strcmp(e.key.c_str(), key) == 0; }
    std::vector<Entry> entries_;
    bool dirty_ = false; // an entry was stored since the last clear()
};

// What a thread context needs of the frame it traces for: the camera and options, which stay put
// while the frame renders. The frame implements it, and the renderer functions reach the frame
// through the context of the state they are given.
class TraceHost {
  public:
    virtual miTag camera_instance_tag() const = 0;
    virtual miCamera* camera_record() const = 0;
    virtual miOptions* options_record() const = 0;

  protected:
    ~TraceHost() = default;
};

class ThreadContext {
  public:
    ThreadContext(TraceHost& host, int index);
    ~ThreadContext();
    ThreadContext(const ThreadContext&) = delete;
    ThreadContext& operator=(const ThreadContext&) = delete;

    // Starts a new eye sample: resets the root state, scratch memory and the store.
    miState* begin_sample(int x, int y, int s);
    // The state of a ray traced from `parent`, initialised from it; null when the ray tree
    // is too deep. It stays valid until the next trace from the same parent.
    miState* child_of(miState* parent, int type);
    // begin_sample() followed by child_of(root, miRAY_EYE), for eye samples without a lens
    // shader, which never hand the root state to a shader: the root is not set up anew but
    // has only what changes per sample written, and the eye ray's state is copied from one
    // made once. Returns the eye ray's state; its parent is the root.
    miState* begin_eye_sample(int x, int y, int s);

    static ThreadContext* current();
    static void set_current(ThreadContext* context);
    static RayData& data(miState* state) { return *static_cast<RayData*>(state->cache); }

    TraceHost& host;
    int index;
    int pixel_x = 0, pixel_y = 0, pixel_sample = 0;
    int call_depth = 0;
    uint64_t rays = 0;         // rays traced by this thread (light states are not rays)
    uint64_t rays_of[32] = {}; // the same by ray type (miRAY_*)
    uint64_t samples = 0;      // eye samples started
    uint64_t shadow_rays = 0;  // mi_trace_shadow calls that traced a ray (in segments or whole)
    // When set (benchmarks), every shadow ray's origin, direction, tnear and tfar are appended.
    std::vector<float>* shadow_log = nullptr;
    Arena arena;
    ShaderStateStore store;
    // Every film plane of the current eye sample (null outside one): in sample_storage, or
    // where the film takes it from.
    float* film_sample = nullptr;
    std::vector<float> sample_storage;
    // An eye sample of this thread's own holding `clear`, every plane's clear value.
    void own_film_sample(const std::vector<float>& clear) {
        sample_storage = clear;
        film_sample = sample_storage.data();
    }
    // Opacity a material handed over with mi_opacity_set for the current layer (rasteriser).
    miColor layer_opacity{1, 1, 1, 1};
    bool opacity_set = false;
    // Set when the current eye sample passed over the surface its eye ray met.
    ShownSurface shown;
    // The eye rays the lens shader has traced for the current sample, whether one of them
    // started away from the sample's own camera ray origin, and that origin.
    int lens_eye_rays = 0;
    bool lens_moved_origin = false;
    miVector lens_sample_org{0, 0, 0};
    // The surfaces the current eye sample met on its chain of eye and transparency rays, when
    // the frame writes ID mattes.
    MatteRecorder mattes;
    std::vector<float> matte_coverage;
    std::vector<film::MatteHit> matte_hits;
    film::MatteScratch matte_scratch;
    // Light lists handed to shaders (see acquire_light_list()); reused, so iterating lights
    // allocates nothing.
    std::vector<std::unique_ptr<mi::shader::LightList>> light_lists;

    // Light groups of the frame (0: none, and nothing below is kept). Per ray depth: each
    // group's share of the result of the shader that shades that depth's state (the shader sets
    // it; it starts at zero with every new state), and of the last ray traced from that state.
    void set_light_groups(int count);
    int light_groups = 0;
    miColor* group_result(int depth) { return group_result_.data() + size_t(depth) * size_t(light_groups); }
    miColor* group_traced(int depth) { return group_traced_.data() + size_t(depth) * size_t(light_groups); }

  private:
    uint64_t sample_seed(int s);
    // The ray-tree path of an eye sample's root.
    uint64_t pixel_path(int x, int y, int s);
    // What the n-th ray of a state, of the given type, adds to the ray-tree path.
    static uint64_t path_step(uint32_t n, int type);
    // The frame's camera and options, which stay put while it renders.
    miTag camera_inst_;
    miCamera* camera_;
    miOptions* options_;
    miState states_[kMaxRayDepth];
    RayData data_[kMaxRayDepth];
    // begin_eye_sample(): the eye ray's state as child_of() makes it from a new root, and the
    // part of the ray-tree path that is the same for every eye ray.
    bool eye_ready_ = false;
    miState eye_template_;
    uint64_t eye_path_step_ = 0;
    int last_s_ = -1;
    uint64_t last_s_seed_ = 0;
    std::vector<miColor> group_result_, group_traced_;
    void clear_group_result(int depth) {
        if (light_groups) std::fill_n(group_result(depth), light_groups, miColor{0.f, 0.f, 0.f, 0.f});
    }
};

} // namespace orn
