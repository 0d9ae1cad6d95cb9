// Helpers shared by the exported renderer functions.
#pragma once

#include "host/shader.h"
#include "render/frame.h"
#include "trace/thread_context.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#define ORN_API extern "C" __attribute__((visibility("default")))

namespace orn {

// The frame a state belongs to; null for a state the renderer did not make.
inline Frame* frame_of(miState* state) {
    // Every thread context belongs to a frame.
    if (state && state->cache) return &static_cast<Frame&>(ThreadContext::data(state).thread->host);
    ThreadContext* tc = ThreadContext::current();
    return tc ? &static_cast<Frame&>(tc->host) : nullptr;
}

// Around a trace of a shader's: what the ray brought back of each light group becomes the
// state's traced share (zero when no ray left the state, or it was not shaded by a shader that
// keeps its groups).
class TracedGroups {
  public:
    explicit TracedGroups(miState* state) {
        if (!state || !state->cache) return;
        RayData& rd = ThreadContext::data(state);
        if (!rd.thread->light_groups) return;
        tc_ = rd.thread;
        rd_ = &rd;
        children_ = rd.children;
        std::fill_n(tc_->group_traced(rd.depth), tc_->light_groups, miColor{0.f, 0.f, 0.f, 0.f});
    }
    ~TracedGroups() {
        if (!tc_ || rd_->children == children_ || rd_->depth + 1 >= kMaxRayDepth) return;
        const miColor* child = tc_->group_result(rd_->depth + 1);
        std::copy(child, child + tc_->light_groups, tc_->group_traced(rd_->depth));
    }
    TracedGroups(const TracedGroups&) = delete;
    TracedGroups& operator=(const TracedGroups&) = delete;

  private:
    ThreadContext* tc_ = nullptr;
    RayData* rd_ = nullptr;
    uint32_t children_ = 0;
};

// A string handed to a scene-construction call: the call owns it (the caller made it with
// mi_mem_strdup) and frees it here.
inline std::string take_string(char* text) {
    if (!text) return {};
    std::string s(text);
    std::free(text);
    return s;
}

} // namespace orn
