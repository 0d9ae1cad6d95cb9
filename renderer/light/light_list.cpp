#include "light/light_list.h"

#include "db/world_items.h"
#include "light/light_sampling.h"
#include "trace/thread_context.h"

namespace orn {

void LightListImpl::reset(LightSource& source, miState* state, const miVector* axis, miScalar spread_cos,
                          const miTag* lights, miUint n_lights) {
    source_ = &source;
    state_ = state;
    use_axis_ = axis && (axis->x != 0.f || axis->y != 0.f || axis->z != 0.f);
    axis_ = use_axis_ ? normalized(*axis) : miVector{0, 0, 0};
    spread_cos_ = spread_cos;
    lights_.clear();
    current_ = size_t(-1);
    next_ = taken_ = 0;
    RayData& rd = ThreadContext::data(state);
    seed_ = rd.path ^ (uint64_t(++rd.sample_calls) << 32);
    const std::vector<WorldLight>& all = source.lights();
    if (!lights || n_lights == 0) {
        const InstanceElement* inst = rd.hit ? rd.hit->instance : nullptr;
        for (const auto& wl : all)
            if (light_linked(inst, wl)) lights_.push_back(&wl);
        return;
    }
    for (miUint i = 0; i < n_lights; ++i)
        lights_for_tag(all, lights[i], lights_);
}

LightListImpl* acquire_light_list(ThreadContext& tc) {
    // Only this function fills the pool, so every entry is one of ours.
    for (auto& l : tc.light_lists) {
        auto* list = static_cast<LightListImpl*>(l.get());
        if (!list->in_use) {
            list->in_use = true;
            return list;
        }
    }
    auto list = std::make_unique<LightListImpl>();
    list->in_use = true;
    tc.light_lists.push_back(std::move(list));
    return static_cast<LightListImpl*>(tc.light_lists.back().get());
}

miTag LightListImpl::get_light_tag(size_t i) const {
    return i < lights_.size() ? lights_[i]->instance->tag : 0;
}

miBoolean LightListImpl::sample(size_t i) {
    if (i >= lights_.size()) return miFALSE;
    if (i != current_) {
        current_ = i;
        next_ = taken_ = 0;
    }
    const WorldLight& wl = *lights_[i];
    const int n = light_sample_count(wl);
    while (next_ < n) {
        const int k = next_++;
        taken_ = next_;
        const LightSample ls =
            sample_light(wl, state_->point, k, seed_ ^ (uint64_t(i) * 0x9e3779b97f4a7c15ULL));
        if (use_axis_ && dot3(axis_, ls.dir) <= spread_cos_) continue;
        miColor c{0, 0, 0, 0};
        if (!source_->call_light(&c, state_, wl, ls)) continue;
        color_ = c;
        dir_ = ls.dir;
        dot_nl_ = dot3(state_->normal, ls.dir);
        return miTRUE;
    }
    return miFALSE;
}

} // namespace orn
