// Light groups for shaders: which group a light is in, and each group's share of a shader's
// result and of what a traced ray brought back. An addition of this renderer.
#include "api/api_common.h"

using namespace orn;

namespace {
ThreadContext* tracking(miState* state) {
    if (!state || !state->cache) return nullptr;
    ThreadContext* tc = ThreadContext::data(state).thread;
    return tc->light_groups ? tc : nullptr;
}
} // namespace

ORN_API int mi_lightgroup_count(miState* state) {
    if (state && state->cache) return ThreadContext::data(state).thread->light_groups;
    ThreadContext* tc = ThreadContext::current();
    return tc ? tc->light_groups : 0;
}

ORN_API const char* mi_lightgroup_name(miState* state, int group) {
    Frame* f = frame_of(state);
    if (!f || group < 0 || group >= f->light_groups().count()) return nullptr;
    return f->light_groups().name(group).c_str();
}

ORN_API int mi_lightgroup_of(miState* state, miTag light) {
    Frame* f = frame_of(state);
    return f ? f->light_groups().group_of(light) : -1;
}

ORN_API miColor* mi_lightgroup_result(miState* state) {
    ThreadContext* tc = tracking(state);
    return tc ? tc->group_result(ThreadContext::data(state).depth) : nullptr;
}

ORN_API const miColor* mi_lightgroup_traced(miState* state) {
    ThreadContext* tc = tracking(state);
    return tc ? tc->group_traced(ThreadContext::data(state).depth) : nullptr;
}
