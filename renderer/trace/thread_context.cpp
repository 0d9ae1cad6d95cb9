#include "trace/thread_context.h"

#include "core/hash.h"

#include <cstring>
#include <emmintrin.h>
#include <utility>

namespace orn {

namespace {
thread_local ThreadContext* tls_context = nullptr;

} // namespace

bool ShaderStateStore::set(const char* key, const void* value, int size) {
    Entry* slot = nullptr;
    Entry* free_slot = nullptr;
    for (auto& e : entries_) {
        if (e.used && same_key(e, key))
            slot = &e;
        else if (!e.used && !free_slot)
            free_slot = &e;
    }
    if (!value) {
        if (slot) slot->used = false;
        return miTRUE;
    }
    if (size < 0) return miFALSE;
    dirty_ = true;
    if (!slot) {
        if (!free_slot) {
            entries_.emplace_back();
            free_slot = &entries_.back();
        }
        slot = free_slot;
        slot->key = key;
    }
    slot->value.resize(size_t(size));
    if (size) std::memcpy(slot->value.data(), value, size_t(size));
    slot->size = size;
    slot->used = true;
    return miTRUE;
}

void* ShaderStateStore::get(const char* key, int* size) {
    for (auto& e : entries_)
        if (e.used && same_key(e, key)) {
            if (size) *size = e.size;
            // An empty entry is still present: hand out a valid address for it.
            return e.value.empty() ? static_cast<void*>(&e.size) : e.value.data();
        }
    if (size) *size = 0;
    return nullptr;
}

ThreadContext::ThreadContext(TraceHost& h, int i)
    : host(h), index(i), arena(4u << 20), camera_inst_(h.camera_instance_tag()), camera_(h.camera_record()),
      options_(h.options_record()) {
    std::memset(states_, 0, sizeof states_);
    for (int d = 0; d < kMaxRayDepth; ++d) {
        data_[d].thread = this;
        data_[d].depth = d;
        states_[d].cache = &data_[d];
    }
}

ThreadContext::~ThreadContext() = default;

ThreadContext* ThreadContext::current() {
    return tls_context;
}
void ThreadContext::set_current(ThreadContext* c) {
    tls_context = c;
}

miState* ThreadContext::begin_sample(int x, int y, int s) {
    pixel_x = x;
    pixel_y = y;
    pixel_sample = s;
    call_depth = 0;
    ++samples;
    arena.release(0);
    store.clear();
    miState& st = states_[0];
    RayData& rd = data_[0];
    void* cache = st.cache;
    std::memset(&st, 0, sizeof st);
    st.cache = cache;
    st.version = 1;
    st.thread = index;
    st.type = miRAY_EYE;
    st.camera_inst = camera_inst_;
    st.camera = camera_;
    st.options = options_;
    st.ior = st.ior_in = 1.f;
    st.environment = camera_ ? camera_->environment : miNULLTAG;
    st.volume = camera_ ? camera_->volume : miNULLTAG;
    st.shadow_tol = 0.0;
    rd.restart();
    rd.path = pixel_path(x, y, s);
    shown.passed = false;
    clear_group_result(0);
    return &st;
}

void ThreadContext::set_light_groups(int count) {
    light_groups = count;
    group_result_.assign(size_t(kMaxRayDepth) * size_t(count), miColor{0.f, 0.f, 0.f, 0.f});
    group_traced_.assign(group_result_.size(), miColor{0.f, 0.f, 0.f, 0.f});
}

namespace {

// A whole state in 16-byte moves. The shader reads fields of the copy at once, and a CPU cannot
// forward the stores of a string move (what memcpy of this size becomes) to such loads: each
// waited for the whole copy to reach the cache.
template <size_t... I> void copy_quads(unsigned char* d, const unsigned char* s, std::index_sequence<I...>) {
    (_mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16 * I),
                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16 * I))),
     ...);
}
// Unrolled: as a loop, the compiler turns it back into the string move.
void copy_state(miState& to, const miState& from) {
    static_assert(sizeof(miState) % 8 == 0, "states are whole quadwords");
    auto* d = reinterpret_cast<unsigned char*>(&to);
    const auto* s = reinterpret_cast<const unsigned char*>(&from);
    constexpr size_t n = sizeof(miState) / 16;
    copy_quads(d, s, std::make_index_sequence<n>());
    if constexpr (sizeof(miState) % 16 != 0)
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 16 * n),
                         _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + 16 * n)));
}

} // namespace

uint64_t ThreadContext::path_step(uint32_t n, int type) {
    return mix64(uint64_t(n) * 0x2545f4914f6cdd1dULL + uint64_t(type));
}

uint64_t ThreadContext::pixel_path(int x, int y, int s) {
    return mix64((uint64_t(uint32_t(x)) << 32 | uint32_t(y)) ^ sample_seed(s));
}

uint64_t ThreadContext::sample_seed(int s) {
    if (s != last_s_) {
        last_s_ = s;
        last_s_seed_ = mix64(uint64_t(s) + 0x9e3779b97f4a7c15ULL);
    }
    return last_s_seed_;
}

miState* ThreadContext::begin_eye_sample(int x, int y, int s) {
    if (!eye_ready_) {
        const uint64_t r = rays, r_eye = rays_of[miRAY_EYE], n = samples;
        begin_sample(0, 0, 0);
        std::memcpy(&eye_template_, child_of(&states_[0], miRAY_EYE), sizeof eye_template_);
        rays = r;
        rays_of[miRAY_EYE] = r_eye;
        samples = n;
        eye_path_step_ = path_step(1, miRAY_EYE);
        eye_ready_ = true;
    }
    pixel_x = x;
    pixel_y = y;
    pixel_sample = s;
    call_depth = 0;
    ++samples;
    ++rays;
    ++rays_of[miRAY_EYE];
    arena.release(0);
    store.clear();
    miState& root = states_[0];
    RayData& rd = data_[0];
    root.child = &states_[1];
    root.user = nullptr;
    root.user_size = 0;
    rd.restart();
    rd.children = 1;
    rd.path = pixel_path(x, y, s);
    miState& st = states_[1];
    RayData& ed = data_[1];
    copy_state(st, eye_template_);
    ed.restart();
    ed.shows = true;
    shown.passed = false;
    ed.path = mix64(rd.path ^ eye_path_step_);
    clear_group_result(0);
    clear_group_result(1);
    return &st;
}

miState* ThreadContext::child_of(miState* parent, int type) {
    RayData& pd = data(parent);
    const int d = pd.depth + 1;
    if (d >= kMaxRayDepth) return nullptr;
    if (type != miRAY_LIGHT) {
        ++rays;
        ++rays_of[unsigned(type) & 31];
    }
    miState& st = states_[d];
    RayData& rd = data_[d];
    void* cache = st.cache;
    copy_state(st, *parent);
    st.cache = cache;
    st.parent = parent;
    st.child = nullptr;
    st.type = type;
    st.pri = nullptr;
    st.pri_idx = 0;
    st.instance = miNULLTAG;
    st.material = miNULLTAG;
    st.dist = 0.0;
    st.tex_list = nullptr;
    st.bump_x_list = st.bump_y_list = nullptr;
    st.derivs = nullptr;
    st.user = nullptr;
    st.user_size = 0;
    rd.restart(pd.falloff_start, pd.falloff_stop);
    rd.path = mix64(pd.path ^ path_step(++pd.children, type));
    clear_group_result(d);
    parent->child = &st;
    return &st;
}

} // namespace orn
