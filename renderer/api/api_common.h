// Helpers shared by the exported renderer functions.
#pragma once

#include "host/shader.h"
#include "render/frame.h"
#include "trace/thread_context.h"

#include <cstdlib>
#include <string>

#define ORN_API extern "C" __attribute__((visibility("default")))

namespace orn {

// The frame a state belongs to; null for a state the renderer did not make.
inline Frame* frame_of(miState* state) {
    if (state && state->cache) return &ThreadContext::data(state).thread->frame;
    ThreadContext* tc = ThreadContext::current();
    return tc ? &tc->frame : nullptr;
}

// A string handed to a scene-construction call: the call owns it (the caller made it with
// mi_mem_strdup) and frees it here.
inline std::string take_string(char* text) {
    if (!text) return {};
    std::string s(text);
    std::free(text);
    return s;
}

} // namespace orn
