#include "light/light_sampling.h"

#include "core/hash.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace orn {

namespace {

constexpr float kFar = 1e10f;

} // namespace

int light_sample_count(const WorldLight& light) {
    if (light.light->area == AreaShape::None) return 1;
    const int64_t n = int64_t(std::max(1, light.light->samples_u)) * std::max(1, light.light->samples_v);
    return int(std::min<int64_t>(n, kMaxAreaLightSamples));
}

LightSample sample_light(const WorldLight& wl, const miVector& point, int k, uint64_t seed) {
    const LightElement& l = *wl.light;
    LightSample s;
    if (l.light_type == LightType::Directional && l.area == AreaShape::None) {
        s.dir = -wl.direction;
        s.dist = kFar;
        s.position = point + s.dir * kFar;
        return s;
    }
    miVector local = l.origin;
    if (l.area != AreaShape::None) {
        // Stratified over the light's sample grid, jittered per shaded point.
        const int nu = std::max(1, l.samples_u), nv = std::max(1, l.samples_v);
        const uint64_t h = mix64(seed ^ mix64(uint64_t(k) + 0x632be59bd9b4e019ULL));
        const float a = (float(k % nu) + unit_float(h)) / float(nu);
        const float b = (float((k / nu) % nv) + unit_float(mix64(h))) / float(nv);
        const auto& p = l.area_params;
        if (l.area == AreaShape::Rectangle) {
            const miVector u{p[0], p[1], p[2]}, v{p[3], p[4], p[5]};
            local = local + u * (a - 0.5f) + v * (b - 0.5f);
        } else if (l.area == AreaShape::Disc) {
            const miVector n = normalized({p[0], p[1], p[2]});
            const miVector t = normalized(std::fabs(n.x) < 0.9f ? cross(n, {1, 0, 0}) : cross(n, {0, 1, 0}));
            const miVector bt = cross(n, t);
            const float r = p[3] * std::sqrt(a), phi = 6.2831853f * b;
            local = local + t * (r * std::cos(phi)) + bt * (r * std::sin(phi));
        } else {
            const float u = 2.f * a - 1.f, w = std::sqrt(std::max(0.f, 1.f - u * u)), phi = 6.2831853f * b;
            local = local + miVector{w * std::cos(phi), w * std::sin(phi), u} * p[0];
        }
    }
    s.position = wl.light_to_world.point(local);
    const miVector d = s.position - point;
    s.dist = length(d);
    s.dir = s.dist > 0.f ? d * (1.f / s.dist) : miVector{0, 0, 1};
    return s;
}

bool light_named(const WorldLight& light, miTag tag) {
    return light.instance->tag == tag || light.light->tag == tag;
}

void lights_for_tag(const std::vector<WorldLight>& lights, miTag tag, std::vector<const WorldLight*>& out) {
    for (const auto& wl : lights)
        if (light_named(wl, tag)) out.push_back(&wl);
}

const WorldLight* first_light_for_tag(const std::vector<WorldLight>& lights, miTag tag) {
    for (const auto& wl : lights)
        if (light_named(wl, tag)) return &wl;
    return nullptr;
}

bool light_linked(const InstanceElement* inst, const WorldLight& light) {
    if (!inst || inst->light_link == InstanceElement::LightLink::None) return true;
    bool listed = false;
    for (miTag t : inst->light_link_tags)
        if (light_named(light, t)) listed = true;
    return inst->light_link == InstanceElement::LightLink::Inclusive ? listed : !listed;
}

} // namespace orn
