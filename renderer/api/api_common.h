// Helpers shared by the exported renderer functions.
#pragma once

#include "host/shader.h"
#include "render/frame.h"
#include "trace/thread_context.h"

#define ORN_API extern "C" __attribute__((visibility("default")))

namespace orn {

// The frame a state belongs to; null for a state the renderer did not make.
inline Frame* frame_of(miState* state) {
    if (state && state->cache) return &ThreadContext::data(state).thread->frame;
    ThreadContext* tc = ThreadContext::current();
    return tc ? &tc->frame : nullptr;
}

} // namespace orn
